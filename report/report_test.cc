#include "report/report.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <vector>

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

// The words /bin/sh makes of `line`, each as the shell hands it to a program.
std::vector<std::string> shell_words(const std::string &line) {
  std::string script = "printf '%s\\n' " + line;
  FILE *shell = popen(script.c_str(), "r");  // NOLINT(cert-env33-c): the shell is under test
  std::vector<std::string> words;
  char word[512];
  while (shell != nullptr && fgets(word, sizeof word, shell) != nullptr)
    words.emplace_back(word, strcspn(word, "\n"));
  if (shell != nullptr) pclose(shell);
  return words;
}

std::string regex_escape(const std::string &text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The line for `id` has the one exact shape, fits its buffer and carries the
// values back out unchanged.
void expect_exact_line(const DeviceIdentity &id, const std::regex &shape) {
  ReportCommand command = report_command_build(id);
  std::string line = command.line;
  ASSERT_LT(line.size(), sizeof command.line);

  std::smatch parts;
  ASSERT_TRUE(std::regex_match(line, parts, shape)) << line;
  std::string mac = parts[1];
  for (size_t b = 0; b < 6; ++b)
    EXPECT_EQ(std::stoul(mac.substr(b * 3, 2), nullptr, 16), id.mac[b]);
  in_addr ipv4;
  ASSERT_NE(inet_aton(parts[2].str().c_str(), &ipv4), 0);
  EXPECT_EQ(ipv4.s_addr, id.ipv4.s_addr);
}

// The line for `id` reaches curl as its six words and nothing more.
void expect_six_words(const DeviceIdentity &id) {
  std::string line = report_command_build(id).line;
  size_t url = line.find("https://");
  std::vector<std::string> want = {"curl",       "--silent",
                                   "--insecure", line.substr(url, line.find(" -o") - url),
                                   "-o",         "/tmp/vercheck.conf"};
  EXPECT_EQ(shell_words(line), want);
}

// Boundary values, then pseudo-random ones from a fixed seed, so that a
// failure reproduces.
TEST(ReportCommandBuild, EveryMacAndAddressGivesSixPlainWords) {
  std::vector<DeviceIdentity> ids = {
      identity({0, 0, 0, 0, 0, 0}, "0.0.0.0"),
      identity({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, "255.255.255.255"),
      identity({0x80, 0x7f, 0x01, 0xfe, 0x10, 0x09}, "128.127.1.254"),
  };
  std::mt19937 random(20261208);  // NOLINT(cert-msc32-c,cert-msc51-cpp): reproducible on purpose
  for (int i = 0; i < 300; ++i) {
    DeviceIdentity id = {};
    std::generate(std::begin(id.mac), std::end(id.mac),
                  [&random] { return static_cast<unsigned char>(random()); });
    id.ipv4.s_addr = static_cast<in_addr_t>(random());
    ids.push_back(id);
  }
  const std::regex shape("curl --silent --insecure https://" + regex_escape(KELVORN_REPORT_HOST) +
                         "/storage/router-dovrak-item/inform/"
                         "((?:[0-9a-f]{2}:){5}[0-9a-f]{2})/((?:[0-9]{1,3}\\.){3}[0-9]{1,3})"
                         "/1\\.0\\.164 -o /tmp/vercheck\\.conf");
  for (size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    expect_exact_line(ids[i], shape);
    // sh for every case would be slow under emulation: a sample is enough.
    if (i < 3 || i % 10 == 0) expect_six_words(ids[i]);
  }
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
