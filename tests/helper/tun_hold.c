// Creates a TUN device and keeps it attached until killed: a TUN device with
// no process behind it reads "down" in operstate even when set up.
//   tun_hold NAME
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2 || strlen(argv[1]) >= IFNAMSIZ) {
    fprintf(stderr, "usage: tun_hold NAME\n");
    return 2;
  }
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    perror("tun_hold: /dev/net/tun");
    return 1;
  }
  struct ifreq ifr;
  memset(&ifr, 0, sizeof(ifr));
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  memcpy(ifr.ifr_name, argv[1], strlen(argv[1]));
  if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
    perror("tun_hold: TUNSETIFF");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  for (;;) {
    pause();
  }
}
