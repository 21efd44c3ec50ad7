#include "standins/xray/tun_device.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// The IPv6 address request of SIOCSIFADDR on an AF_INET6 socket; glibc's
// headers do not declare it and <linux/ipv6.h> clashes with <netinet/in.h>.
struct lab_in6_ifreq {
  in6_addr ifr6_addr;
  uint32_t ifr6_prefixlen;
  int ifr6_ifindex;
};

namespace lab {

namespace {

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

void CopyName(const std::string& name, ifreq* req) {
  std::memset(req, 0, sizeof(*req));
  // IsValidInterfaceName has bounded the length below IFNAMSIZ.
  std::memcpy(req->ifr_name, name.c_str(),
              std::min(name.size(), sizeof(req->ifr_name) - 1));
}

bool AddIpv4(int sock,
             const std::string& name,
             const InterfaceAddress& address,
             std::string* error) {
  ifreq req;
  CopyName(name, &req);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr = address.v4;
  std::memcpy(&req.ifr_addr, &sin, sizeof(sin));
  if (ioctl(sock, SIOCSIFADDR, &req) != 0) {
    *error = Errno("cannot add address " + address.text + " to " + name);
    return false;
  }
  CopyName(name, &req);
  sockaddr_in mask{};
  mask.sin_family = AF_INET;
  mask.sin_addr.s_addr = address.prefix_len == 0
                             ? 0
                             : htonl(~uint32_t{0} << (32 - address.prefix_len));
  std::memcpy(&req.ifr_netmask, &mask, sizeof(mask));
  if (ioctl(sock, SIOCSIFNETMASK, &req) != 0) {
    *error = Errno("cannot set the prefix of " + address.text + " on " + name);
    return false;
  }
  return true;
}

bool AddIpv6(const std::string& name,
             const InterfaceAddress& address,
             std::string* error) {
  UniqueFd sock(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) {
    *error = Errno("cannot open an IPv6 socket for " + address.text);
    return false;
  }
  unsigned index = if_nametoindex(name.c_str());
  if (index == 0) {
    *error = Errno("cannot find interface " + name);
    return false;
  }
  lab_in6_ifreq req{};
  req.ifr6_addr = address.v6;
  req.ifr6_prefixlen = static_cast<uint32_t>(address.prefix_len);
  req.ifr6_ifindex = static_cast<int>(index);
  if (ioctl(sock.get(), SIOCSIFADDR, &req) != 0) {
    *error = Errno("cannot add address " + address.text + " to " + name);
    return false;
  }
  return true;
}

}  // namespace

bool CreateTun(const std::string& name, UniqueFd* fd, std::string* error) {
  if (!IsValidInterfaceName(name)) {
    *error = "invalid interface name " + name;
    return false;
  }
  UniqueFd tun(open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK));
  if (!tun.valid()) {
    *error = Errno("cannot open /dev/net/tun");
    return false;
  }
  ifreq req;
  CopyName(name, &req);
  // IFF_TUN_EXCL: refuse to attach to an interface someone else made (for
  // example a persistent one), which would outlive us.
  req.ifr_flags = static_cast<short>(IFF_TUN | IFF_NO_PI | IFF_TUN_EXCL);
  if (ioctl(tun.get(), TUNSETIFF, &req) != 0) {
    if (errno == EBUSY) {
      *error = "cannot create TUN interface " + name +
               ": an interface of that name already exists";
    } else {
      *error = Errno("cannot create TUN interface " + name);
    }
    return false;
  }
  *fd = std::move(tun);
  return true;
}

bool ConfigureLink(const std::string& name,
                   int mtu,
                   const std::vector<InterfaceAddress>& addresses,
                   std::string* error) {
  UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) {
    *error = Errno("cannot open a socket to configure " + name);
    return false;
  }
  ifreq req;
  CopyName(name, &req);
  req.ifr_mtu = mtu;
  if (ioctl(sock.get(), SIOCSIFMTU, &req) != 0) {
    *error = Errno("cannot set MTU " + std::to_string(mtu) + " on " + name);
    return false;
  }
  CopyName(name, &req);
  if (ioctl(sock.get(), SIOCGIFFLAGS, &req) != 0) {
    *error = Errno("cannot read the flags of " + name);
    return false;
  }
  req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
  if (ioctl(sock.get(), SIOCSIFFLAGS, &req) != 0) {
    *error = Errno("cannot bring " + name + " up");
    return false;
  }
  for (const InterfaceAddress& address : addresses) {
    bool ok = address.family == AF_INET
                  ? AddIpv4(sock.get(), name, address, error)
                  : AddIpv6(name, address, error);
    if (!ok) {
      return false;
    }
  }
  return true;
}

}  // namespace lab
