// Creates a TUN device and keeps it attached until killed: a TUN device with
// no process behind it reads "down" in operstate even when set up.
//   tun_hold NAME [LOG]
// With LOG, every packet sent into the device is read and one line appended
// to LOG: "udp PORT" or "tcp PORT" (destination port), else "other".
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || strlen(argv[1]) >= IFNAMSIZ) {
    fprintf(stderr, "usage: tun_hold NAME [LOG]\n");
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
  if (argc == 2) {
    for (;;) {
      pause();
    }
  }
  FILE* log = fopen(argv[2], "ae");
  if (log == NULL) {
    perror("tun_hold: log");
    return 1;
  }
  unsigned char packet[65536];
  for (;;) {
    ssize_t n = read(fd, packet, sizeof(packet));
    if (n <= 0) {
      continue;
    }
    // IPv4: protocol at 9, header length in the low nibble of byte 0;
    // IPv6: next header at 6, fixed header of 40 bytes.
    size_t at = 0;
    int proto = -1;
    if ((packet[0] >> 4) == 4 && n >= 20) {
      proto = packet[9];
      at = (size_t)(packet[0] & 0x0f) * 4;
    } else if ((packet[0] >> 4) == 6 && n >= 40) {
      proto = packet[6];
      at = 40;
    }
    if ((proto == 6 || proto == 17) && (size_t)n >= at + 4) {
      fprintf(log, "%s %u\n", proto == 6 ? "tcp" : "udp",
              (unsigned)(packet[at + 2] << 8 | packet[at + 3]));
    } else {
      fprintf(log, "other\n");
    }
    fflush(log);
  }
}
