#include "store/wanmac.h"

#include <stdio.h>
#include <string.h>

#include "store/apmib.h"

bool wanmac_store_open() {
  if (apmib_init() == 0) {
    puts(WANMAC_OPEN_FAILED);
    return false;
  }
  return true;
}

static bool mac_is_zero(const unsigned char *mac) {
  static const unsigned char zero[6] = {};
  return memcmp(mac, zero, sizeof zero) == 0;
}

void wanmac_resolve(DeviceIdentity &id) {
  unsigned char *mac = id.mac;
  // Zeroed once: a read that fails without writing leaves an all-zero
  // address behind, which sends us on to NIC1.
  memset(mac, 0, sizeof id.mac);

  if (apmib_get(MIB_WAN_MAC_ADDR, mac) == 0) puts("MIB_WAN_MAC_ADDR apmib_get error");

  // Factory-fresh boards ship with no WAN MAC configured; the NIC1 address
  // burnt in at manufacture still identifies them. Whatever a failed read
  // left in the buffer is taken as it is.
  if (mac_is_zero(mac)) {
    puts("debug> MAC<-MIB_HW_NIC1_ADDR");
    if (apmib_get(MIB_HW_NIC1_ADDR, mac) == 0) puts("MIB_HW_NIC1_ADDR apmib_get error");
  }

  printf("wanMacAddr from config: %02x:%02x:%02x:%02x:%02x:%02x\n", mac[0], mac[1], mac[2], mac[3],
         mac[4], mac[5]);
}
