#include "agent/agent.h"

// The agent takes no options: cron or an init script starts it as it is.
int main() { return agent_run(); }
