// Which MAC address the router reports: the configured WAN MAC, or the NIC1
// hardware address when the configuration holds none.
#ifndef KELVORN_STORE_WANMAC_H_
#define KELVORN_STORE_WANMAC_H_

#include "agent/device_identity.h"

// The line that says the store was not opened and the run ends.
#define WANMAC_OPEN_FAILED "Initialize AP MIB failed!"

// Opens the configuration store. On failure prints why and returns false.
bool wanmac_store_open();

// Fills id.mac from the store and prints the MAC line. Never fails the run:
// a failed read is reported and the resolution goes on.
void wanmac_resolve(DeviceIdentity &id);

#endif  // KELVORN_STORE_WANMAC_H_
