// What one run gathers about the router, handed from phase to phase.
#ifndef KELVORN_AGENT_DEVICE_IDENTITY_H_
#define KELVORN_AGENT_DEVICE_IDENTITY_H_

#include <netinet/in.h>

// Printed in the banner and sent as the last segment of the report URL.
constexpr char agent_version[] = "1.0.164";

// A 6-byte Ethernet address. Unsigned: char is signed on MIPS and x86, and a
// signed byte would print as ffffffab.
struct HwAddr {
  unsigned char octets[6];
};

struct DeviceIdentity {
  // The store writes the MAC here; only bytes 0 to 5 are the address. The
  // rest is slack for a store that writes more than it should.
  unsigned char mac[12];
  // IPv4 address of the report interface, network byte order.
  in_addr ipv4;
  // Hardware address of the report interface, shown on the console only.
  HwAddr hwaddr;
};

#endif  // KELVORN_AGENT_DEVICE_IDENTITY_H_
