#include "report/report.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>

#include "agent/console.h"

ReportCommand report_command_build(const DeviceIdentity &id) {
  ReportCommand command;
  const unsigned char *mac = id.mac;
  // Sized for the longest line (see REPORT_COMMAND_MAX): never cut.
  (void)snprintf(command.line, sizeof command.line, REPORT_COMMAND_TEMPLATE, mac[0], mac[1], mac[2],
                 mac[3], mac[4], mac[5], inet_ntoa(id.ipv4), agent_version);
  return command;
}

void report_command_run(const char *command) {
  printf("debug> %s\n", command);
  // Our lines stay ahead of anything the shell or curl write to the same
  // log, and they start as if cron had started them.
  console_handover();
  int status = system(command);  // NOLINT(cert-env33-c): the report is a shell command
  (void)status;
}
