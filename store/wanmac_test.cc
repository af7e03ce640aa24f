#include "store/wanmac.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "store/apmib.h"

// A fake configuration store, linked in place of libapmib.so. Each item
// answers with `result` after writing its first `len` bytes.
namespace {

struct FakeItem {
  int result;
  int len;
  unsigned char bytes[12];
};

int g_init_result;
FakeItem g_wan, g_nic1;
std::string g_reads;  // ids read, in order: "100 202 "

}  // namespace

extern "C" int apmib_init(void) { return g_init_result; }

extern "C" int apmib_get(int id, void *value) {
  g_reads += std::to_string(id) + " ";
  const FakeItem *item = nullptr;
  if (id == MIB_WAN_MAC_ADDR) item = &g_wan;
  if (id == MIB_HW_NIC1_ADDR) item = &g_nic1;
  if (item == nullptr) return 0;
  memcpy(value, item->bytes, static_cast<size_t>(item->len));
  return item->result;
}

namespace {

constexpr FakeItem kFails = {0, 0, {}};

struct ResolveCase {
  const char *what;
  FakeItem wan, nic1;
  const char *reads;
  const char *console;
};

#define MAC_LINE "wanMacAddr from config: "
#define FALLBACK "debug> MAC<-MIB_HW_NIC1_ADDR\n"
#define WAN_ERR "MIB_WAN_MAC_ADDR apmib_get error\n"
#define NIC_ERR "MIB_HW_NIC1_ADDR apmib_get error\n"

// clang-format off
const ResolveCase kResolveCases[] = {
  {"configured WAN MAC", {1, 6, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}}, {1, 6, {0x02, 0, 0, 0xaa, 0xbb, 0xcc}}, "100 ", MAC_LINE "00:1a:2b:3c:4d:5e\n"},
  {"all-zero WAN MAC falls back", {1, 6, {}}, {1, 6, {0x02, 0, 0, 0xaa, 0xbb, 0xcc}}, "100 202 ", FALLBACK MAC_LINE "02:00:00:aa:bb:cc\n"},
  {"failed WAN read falls back", kFails, {1, 6, {0x02, 0, 0, 0xaa, 0xbb, 0xcc}}, "100 202 ", WAN_ERR FALLBACK MAC_LINE "02:00:00:aa:bb:cc\n"},
  {"both reads fail", kFails, kFails, "100 202 ", WAN_ERR FALLBACK NIC_ERR MAC_LINE "00:00:00:00:00:00\n"},
  {"zero WAN, failed NIC1", {1, 6, {}}, kFails, "100 202 ", FALLBACK NIC_ERR MAC_LINE "00:00:00:00:00:00\n"},
  {"zero WAN, zero NIC1", {1, 6, {}}, {1, 6, {}}, "100 202 ", FALLBACK MAC_LINE "00:00:00:00:00:00\n"},
  {"one set bit is not zero", {1, 6, {0, 0, 0, 0, 0, 0x01}}, kFails, "100 ", MAC_LINE "00:00:00:00:00:01\n"},
  {"broadcast is reported", {1, 6, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}}, kFails, "100 ", MAC_LINE "ff:ff:ff:ff:ff:ff\n"},
  {"bytes print unsigned", {1, 6, {0x00, 0x0f, 0x80, 0xff, 0x7f, 0xab}}, kFails, "100 ", MAC_LINE "00:0f:80:ff:7f:ab\n"},
  {"failed read's bytes taken as found", {0, 6, {0xde, 0xad, 0xbe, 0xef, 0, 0x01}}, kFails, "100 ", WAN_ERR MAC_LINE "de:ad:be:ef:00:01\n"},
  {"12-byte write, MAC part set", {1, 12, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 1, 2, 3, 4, 5, 6}}, kFails, "100 ", MAC_LINE "00:1a:2b:3c:4d:5e\n"},
  {"12-byte write, MAC part zero", {1, 12, {0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6}}, {1, 6, {0x02, 0, 0, 0xaa, 0xbb, 0xcc}}, "100 202 ", FALLBACK MAC_LINE "02:00:00:aa:bb:cc\n"},
};
// clang-format on

TEST(WanmacResolve, Cases) {
  for (const ResolveCase &c : kResolveCases) {
    SCOPED_TRACE(c.what);
    g_wan = c.wan;
    g_nic1 = c.nic1;
    g_reads.clear();
    // Leftovers from before the call must not count as a configured MAC.
    DeviceIdentity id;
    memset(&id, 0xa5, sizeof id);

    testing::internal::CaptureStdout();
    wanmac_resolve(id);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.console);
    EXPECT_EQ(g_reads, c.reads);
  }
}

TEST(WanmacResolve, ReportsTheBytesItPrints) {
  g_wan = {1, 6, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
  DeviceIdentity id = {};
  testing::internal::CaptureStdout();
  wanmac_resolve(id);
  testing::internal::GetCapturedStdout();
  const unsigned char want[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
  EXPECT_EQ(memcmp(id.mac, want, sizeof want), 0);
}

TEST(WanmacStoreOpen, ReportsFailure) {
  g_init_result = 0;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(wanmac_store_open());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Initialize AP MIB failed!\n");

  // Any nonzero value means ready, not just 1.
  g_init_result = 7;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(wanmac_store_open());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
