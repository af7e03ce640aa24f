// What the kernel knows of the interface the router reports from.
#ifndef KELVORN_NETIF_IFACE_H_
#define KELVORN_NETIF_IFACE_H_

#include <netinet/in.h>

#include "agent/device_identity.h"

// The WAN-side port on the routers this agent ships on.
constexpr char REPORT_INTERFACE[] = "eth1";

// IPv4 address of interface `name`; 0.0.0.0 when there is no such interface,
// it has no IPv4 address, or no socket could be had.
in_addr iface_ipv4_lookup(const char *name);

// Hardware address of interface `name`; all zero when the query fails.
HwAddr iface_hwaddr_lookup(const char *name);

// Fills id.ipv4 and id.hwaddr for REPORT_INTERFACE and prints both. A failed
// query is not reported: the run goes on with the zero address.
void iface_resolve(DeviceIdentity &id);

#endif  // KELVORN_NETIF_IFACE_H_
