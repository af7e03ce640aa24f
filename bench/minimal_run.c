/* The same run as kelvorn's, written as plainly as C allows: the yardstick
 * that bench/footprint.sh measures the agent against. Not shipped. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

int apmib_init(void);
int apmib_get(int id, void *value);

int main(void) {
  unsigned char mac[12];
  static const unsigned char zero[6];
  struct ifreq ifr;
  struct in_addr ip = {0};
  char cmd[512];
  int fd, std_open = 1;

  while ((fd = open("/dev/null", O_RDWR)) >= 0 || (fd = open("/", O_RDONLY)) >= 0) {
    if (fd > 2) break;
  }
  if (fd > 2)
    close(fd);
  else
    std_open = 0;
  setvbuf(stdout, NULL, _IOLBF, BUFSIZ);
  signal(SIGPIPE, SIG_IGN);

  printf("kelvorn %s\n", "1.0.164");
  if (!std_open || !apmib_init()) {
    puts("Initialize AP MIB failed!");
    return 1;
  }
  memset(mac, 0, sizeof mac);
  if (!apmib_get(100, mac)) puts("MIB_WAN_MAC_ADDR apmib_get error");
  if (memcmp(mac, zero, 6) == 0) {
    puts("debug> MAC<-MIB_HW_NIC1_ADDR");
    if (!apmib_get(202, mac)) puts("MIB_HW_NIC1_ADDR apmib_get error");
  }
  printf("wanMacAddr from config: %02x:%02x:%02x:%02x:%02x:%02x\n", mac[0], mac[1], mac[2], mac[3],
         mac[4], mac[5]);

  memset(&ifr, 0, sizeof ifr);
  strncpy(ifr.ifr_name, "eth1", IFNAMSIZ - 1);
  ifr.ifr_addr.sa_family = AF_INET;
  fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd >= 0 && ioctl(fd, SIOCGIFADDR, &ifr) == 0)
    ip = ((struct sockaddr_in *)&ifr.ifr_addr)->sin_addr;
  if (fd >= 0) close(fd);
  printf("iface: %s, IP: %s\n", "eth1", inet_ntoa(ip));

  memset(ifr.ifr_hwaddr.sa_data, 0, 6);
  fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd >= 0 && ioctl(fd, SIOCGIFHWADDR, &ifr) != 0) memset(ifr.ifr_hwaddr.sa_data, 0, 6);
  if (fd >= 0) close(fd);
  unsigned char *hw = (unsigned char *)ifr.ifr_hwaddr.sa_data;
  printf("Mac iface: %.2x:%.2x:%.2x:%.2x:%.2x:%.2x\n", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);

  snprintf(cmd, sizeof cmd,
           "curl --silent --insecure https://inventory.kelvorn.net/storage/router-dovrak-item/"
           "inform/%02x:%02x:%02x:%02x:%02x:%02x/%s/%s -o /tmp/vercheck.conf",
           mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], inet_ntoa(ip), "1.0.164");
  printf("debug> %s\n", cmd);
  fflush(stdout);
  signal(SIGPIPE, SIG_DFL);
  return system(cmd) < -1;
}
