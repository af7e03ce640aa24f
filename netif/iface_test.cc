#include "netif/iface.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

std::string ipv4_text(in_addr addr) { return inet_ntoa(addr); }

bool hw_is_zero(const HwAddr &hw) {
  static const HwAddr zero = {};
  return memcmp(hw.octets, zero.octets, sizeof zero.octets) == 0;
}

// Every Linux host has a loopback interface at 127.0.0.1 with no hardware
// address; the lookups run against the real kernel.
TEST(IfaceLookup, Loopback) {
  EXPECT_EQ(ipv4_text(iface_ipv4_lookup("lo")), "127.0.0.1");
  EXPECT_TRUE(hw_is_zero(iface_hwaddr_lookup("lo")));
}

TEST(IfaceLookup, MissingInterfaceGivesZeroAddresses) {
  EXPECT_EQ(ipv4_text(iface_ipv4_lookup("kelvorn-none0")), "0.0.0.0");
  EXPECT_TRUE(hw_is_zero(iface_hwaddr_lookup("kelvorn-none0")));
  EXPECT_EQ(ipv4_text(iface_ipv4_lookup("")), "0.0.0.0");
}

TEST(IfaceLookup, OverlongNameIsCutNotOverrun) {
  // Cut to 15 characters, "lo" plus padding names no interface.
  std::string name = "lo" + std::string(40, 'x');
  EXPECT_EQ(ipv4_text(iface_ipv4_lookup(name.c_str())), "0.0.0.0");
  EXPECT_TRUE(hw_is_zero(iface_hwaddr_lookup(name.c_str())));
}

}  // namespace
