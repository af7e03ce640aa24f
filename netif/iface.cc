#include "netif/iface.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// Issues one interface ioctl on a throwaway datagram socket: the kernel
// answers these on any socket, and an IPv4 one is always there on a router.
// Returns whether the kernel answered; `req` is zeroed before the query.
static bool iface_query(const char *name, unsigned long request, ifreq &req) {
  memset(&req, 0, sizeof req);
  // ifr_name must stay NUL-terminated: at most IFNAMSIZ - 1 characters.
  for (size_t i = 0; i + 1 < sizeof req.ifr_name && name[i] != '\0'; ++i) req.ifr_name[i] = name[i];
  req.ifr_addr.sa_family = AF_INET;

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  int rc = ioctl(fd, request, &req);
  close(fd);
  return rc == 0;
}

in_addr iface_ipv4_lookup(const char *name) {
  in_addr addr = {};
  ifreq req;
  if (iface_query(name, SIOCGIFADDR, req)) {
    sockaddr_in sin;
    memcpy(&sin, &req.ifr_addr, sizeof sin);
    addr = sin.sin_addr;
  }
  return addr;
}

HwAddr iface_hwaddr_lookup(const char *name) {
  HwAddr hw = {};
  ifreq req;
  if (iface_query(name, SIOCGIFHWADDR, req))
    memcpy(hw.octets, req.ifr_hwaddr.sa_data, sizeof hw.octets);
  return hw;
}

void iface_resolve(DeviceIdentity &id) {
  id.ipv4 = iface_ipv4_lookup(REPORT_INTERFACE);
  printf("iface: %s, IP: %s\n", REPORT_INTERFACE, inet_ntoa(id.ipv4));

  id.hwaddr = iface_hwaddr_lookup(REPORT_INTERFACE);
  const unsigned char *hw = id.hwaddr.octets;
  printf("Mac iface: %.2x:%.2x:%.2x:%.2x:%.2x:%.2x\n", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
}
