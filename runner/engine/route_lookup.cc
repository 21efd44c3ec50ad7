#include "route_lookup.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

constexpr uint32_t kSequence = 1;

// Closes the socket however the lookup ends.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) {
      (void)close(fd_);
    }
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

RouteLookup Failed(int error) {
  RouteLookup lookup;
  lookup.result = RouteLookup::Result::kFailed;
  lookup.error = error;
  return lookup;
}

RouteLookup NoRoute(int error) {
  RouteLookup lookup;
  lookup.result = RouteLookup::Result::kNoRoute;
  lookup.error = error;
  return lookup;
}

// The route's output device from one RTM_NEWROUTE message, or why none.
RouteLookup ReadRoute(const nlmsghdr* header) {
  const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
  if (route->rtm_type == RTN_UNREACHABLE || route->rtm_type == RTN_BLACKHOLE ||
      route->rtm_type == RTN_PROHIBIT) {
    return NoRoute(ENETUNREACH);
  }
  auto attributes_size = static_cast<int>(RTM_PAYLOAD(header));
  for (const rtattr* attribute = RTM_RTA(route);
       RTA_OK(attribute, attributes_size);
       attribute = RTA_NEXT(attribute, attributes_size)) {
    if (attribute->rta_type != RTA_OIF ||
        RTA_PAYLOAD(attribute) < sizeof(uint32_t)) {
      continue;
    }
    uint32_t index = 0;
    std::memcpy(&index, RTA_DATA(attribute), sizeof(index));
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(index, name) == nullptr) {
      return Failed(errno);
    }
    RouteLookup lookup;
    lookup.result = RouteLookup::Result::kDevice;
    lookup.device = name;
    return lookup;
  }
  return NoRoute(ENETUNREACH);
}

// The answer to our request among the messages in |data|: the route's
// output device, or why none.
RouteLookup ReadAnswer(const char* data, size_t size) {
  size_t offset = 0;
  while (size - offset >= sizeof(nlmsghdr)) {
    const auto* header = reinterpret_cast<const nlmsghdr*>(data + offset);
    if (header->nlmsg_len < sizeof(nlmsghdr) ||
        header->nlmsg_len > size - offset) {
      break;
    }
    if (header->nlmsg_seq == kSequence) {
      if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        return error->error == 0 ? Failed(EPROTO) : NoRoute(-error->error);
      }
      if (header->nlmsg_type == RTM_NEWROUTE) {
        return ReadRoute(header);
      }
    }
    offset += NLMSG_ALIGN(header->nlmsg_len);
  }
  return Failed(EPROTO);
}

}  // namespace

RouteLookup LookupRoute(const std::string& address) {
  unsigned char destination[16] = {};
  int family = AF_INET;
  size_t length = 4;
  // inet_pton would stop at an embedded NUL and take the rest for nothing.
  if (address.find('\0') != std::string::npos) {
    return Failed(EINVAL);
  }
  if (inet_pton(AF_INET, address.c_str(), destination) != 1) {
    family = AF_INET6;
    length = 16;
    if (inet_pton(AF_INET6, address.c_str(), destination) != 1) {
      return Failed(EINVAL);
    }
  }

  Socket socket_fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (socket_fd.fd() < 0) {
    return Failed(errno);
  }
  const timeval limit = {1, 0};
  (void)setsockopt(socket_fd.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit,
                   sizeof(limit));

  struct {
    nlmsghdr header;
    rtmsg route;
    char attributes[64];
  } request = {};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
  request.header.nlmsg_type = RTM_GETROUTE;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = kSequence;
  request.route.rtm_family = static_cast<unsigned char>(family);
  request.route.rtm_dst_len = static_cast<unsigned char>(length * 8);
  auto* destination_attribute =
      reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) +
                                NLMSG_ALIGN(request.header.nlmsg_len));
  destination_attribute->rta_type = RTA_DST;
  destination_attribute->rta_len =
      static_cast<unsigned short>(RTA_LENGTH(length));
  std::memcpy(RTA_DATA(destination_attribute), destination, length);
  request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) +
                             RTA_ALIGN(destination_attribute->rta_len);

  sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  if (sendto(socket_fd.fd(), &request, request.header.nlmsg_len, 0,
             reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel)) < 0) {
    return Failed(errno);
  }
  // One answer: the route, or an error. Large enough for any route message.
  alignas(nlmsghdr) char answer[8192];
  for (;;) {
    const ssize_t got = recv(socket_fd.fd(), answer, sizeof(answer), 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return Failed(got < 0 ? errno : EPROTO);
    }
    return ReadAnswer(answer, static_cast<size_t>(got));
  }
}
