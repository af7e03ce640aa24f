#include "report/report.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

#define PREFIX \
  "curl --silent --insecure https://" KELVORN_REPORT_HOST "/storage/router-dovrak-item/inform/"
#define SUFFIX " -o /tmp/vercheck.conf"

DeviceIdentity identity(std::initializer_list<unsigned char> mac, const char *ipv4) {
  DeviceIdentity id = {};
  memcpy(id.mac, mac.begin(), mac.size());
  inet_aton(ipv4, &id.ipv4);
  return id;
}

struct LineCase {
  DeviceIdentity id;
  const char *line;
};

TEST(ReportCommandBuild, Lines) {
  // clang-format off
  const LineCase cases[] = {
      {identity({0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, "10.0.0.2"),
       PREFIX "00:1a:2b:3c:4d:5e/10.0.0.2/1.0.164" SUFFIX},
      {identity({0x00, 0x0f, 0x80, 0xff, 0x7f, 0x01}, "192.168.1.10"),
       PREFIX "00:0f:80:ff:7f:01/192.168.1.10/1.0.164" SUFFIX},
      {identity({0, 0, 0, 0, 0, 0}, "0.0.0.0"), PREFIX "00:00:00:00:00:00/0.0.0.0/1.0.164" SUFFIX},
      {identity({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, "255.255.255.254"),
       PREFIX "ff:ff:ff:ff:ff:ff/255.255.255.254/1.0.164" SUFFIX},
      // Bytes past the sixth are slack in the store's buffer, never sent.
      {identity({0x02, 0, 0, 0xaa, 0xbb, 0xcc, 0xde, 0xad, 0xbe, 0xef, 0x12, 0x34}, "1.2.3.4"),
       PREFIX "02:00:00:aa:bb:cc/1.2.3.4/1.0.164" SUFFIX},
  };
  // clang-format on
  for (const LineCase &c : cases) EXPECT_STREQ(report_command_build(c.id).line, c.line);
}

TEST(ReportCommandBuild, LongestLineFitsWithTheLongestHost) {
  ReportCommand command =
      report_command_build(identity({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, "255.255.255.255"));
  size_t host_slack = REPORT_HOST_MAX - strlen(KELVORN_REPORT_HOST);
  // With a 253-character host this line would fill the buffer to the last byte.
  EXPECT_EQ(strlen(command.line) + host_slack + 1, sizeof command.line);
  EXPECT_EQ(std::string(command.line).substr(strlen(command.line) - strlen(SUFFIX)), SUFFIX);
}

TEST(ReportCommandRun, EchoesThenRunsInOrder) {
  testing::internal::CaptureStdout();
  report_command_run("echo from-the-shell; exit 3");
  // The echo is flushed before the shell writes to the same stdout, and a
  // failing command changes nothing.
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "debug> echo from-the-shell; exit 3\nfrom-the-shell\n");
}

}  // namespace
