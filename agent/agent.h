#ifndef KELVORN_AGENT_AGENT_H_
#define KELVORN_AGENT_AGENT_H_

// One pass from banner to report. Returns the process exit status: 1 when
// the configuration store cannot be opened, else 0.
int agent_run();

#endif  // KELVORN_AGENT_AGENT_H_
