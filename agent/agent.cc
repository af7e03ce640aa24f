#include "agent/agent.h"

#include <stdio.h>

#include "agent/device_identity.h"
#include "netif/iface.h"
#include "report/report.h"
#include "store/wanmac.h"

int agent_run() {
  printf("kelvorn %s\n", agent_version);

  // Without the store there is no MAC to report: nothing else is attempted.
  if (!wanmac_store_open()) return 1;

  DeviceIdentity id = {};
  wanmac_resolve(id);
  iface_resolve(id);

  ReportCommand command = report_command_build(id);
  report_command_run(command.line);

  // Whatever the reads, the query or curl did, the report was attempted.
  return 0;
}
