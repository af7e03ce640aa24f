#include "agent/agent.h"

#include <stdio.h>

#include "agent/console.h"
#include "agent/device_identity.h"
#include "netif/iface.h"
#include "report/report.h"
#include "store/wanmac.h"

int agent_run() {
  // First of all: a standard descriptor left closed by whatever started us
  // would go to the next file opened, and the store keeps its file open.
  bool std_open = console_std_open();
  console_begin();
  printf("kelvorn %s\n", agent_version);

  // Without the store there is no MAC to report: nothing else is attempted.
  // Nor is the store opened while it could be handed a standard descriptor.
  if (!std_open) {
    puts(WANMAC_OPEN_FAILED);
    return 1;
  }
  if (!wanmac_store_open()) return 1;

  DeviceIdentity id = {};
  wanmac_resolve(id);
  iface_resolve(id);

  ReportCommand command = report_command_build(id);
  report_command_run(command.line);

  // Whatever the reads, the query or curl did, the report was attempted.
  return 0;
}
