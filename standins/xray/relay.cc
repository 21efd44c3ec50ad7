#include "standins/xray/relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

namespace lab {

namespace {

constexpr size_t kMaxPacket = 65535;
// Packets handled per descriptor per wake-up, so that a flood on one side
// cannot starve the other side or the signal descriptor.
constexpr int kBurst = 64;

std::string SignalName(uint32_t signal) {
  switch (signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal);
  }
}

// A peer that is down answers every packet with an error; one line per
// change of error keeps the log readable.
class ErrorReport {
 public:
  ErrorReport(std::string failing,
              std::string recovered,
              const std::function<void(const std::string&)>& log)
      : failing_(std::move(failing)),
        recovered_(std::move(recovered)),
        log_(log) {}

  void Failed(int error) {
    if (error != last_) {
      log_(failing_ + ": " + std::strerror(error));
      last_ = error;
    }
  }
  void Succeeded() {
    if (last_ != 0) {
      log_(recovered_);
      last_ = 0;
    }
  }

 private:
  std::string failing_;
  std::string recovered_;
  const std::function<void(const std::string&)>& log_;
  int last_ = 0;
};

bool LooksLikeIpPacket(const uint8_t* data, size_t length) {
  if (length < 20) {
    return false;
  }
  int version = data[0] >> 4;
  return version == 4 || (version == 6 && length >= 40);
}

bool SameAddress(const sockaddr_storage& a,
                 socklen_t a_length,
                 const sockaddr_storage& b,
                 socklen_t b_length) {
  return a_length == b_length && std::memcmp(&a, &b, a_length) == 0;
}

}  // namespace

std::string FormatSockaddr(const sockaddr* address, socklen_t length) {
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &sin->sin_addr, text.data(), text.size());
    return std::string(text.data()) + ":" +
           std::to_string(ntohs(sin->sin_port));
  }
  if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &sin6->sin6_addr, text.data(), text.size());
    return "[" + std::string(text.data()) +
           "]:" + std::to_string(ntohs(sin6->sin6_port));
  }
  return "(address family " + std::to_string(address->sa_family) + ")";
}

RelayEnd RunRelay(const RelayFds& fds,
                  RelayMode mode,
                  const std::function<void(const std::string&)>& log,
                  RelayStats* stats) {
  std::vector<uint8_t> buffer(kMaxPacket);
  sockaddr_storage client{};
  socklen_t client_length = 0;
  // A UDP send "succeeds" even when the peer is gone (the ICMP error comes
  // back on a later call), so only a datagram received proves the peer is
  // back.
  ErrorReport peer_report("the peer is unreachable", "the peer answers again",
                          log);
  ErrorReport tun_write_report("writing to the interface failed",
                               "writing to the interface works again", log);

  enum { kTun, kUdp, kSignal, kTimer, kCount };
  std::array<pollfd, kCount> pfds{};
  pfds[kTun] = {fds.tun, POLLIN, 0};
  pfds[kUdp] = {fds.udp, POLLIN, 0};
  pfds[kSignal] = {fds.signal, POLLIN, 0};
  pfds[kTimer] = {fds.timer, POLLIN, 0};

  for (;;) {
    if (poll(pfds.data(), pfds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      log(std::string("poll failed: ") + std::strerror(errno));
      return RelayEnd::kFailed;
    }
    if (pfds[kSignal].revents != 0) {
      signalfd_siginfo info{};
      ssize_t n = read(fds.signal, &info, sizeof(info));
      if (n == static_cast<ssize_t>(sizeof(info))) {
        log("received " + SignalName(info.ssi_signo) + ", shutting down");
        return RelayEnd::kSignal;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        log(std::string("reading signals failed: ") + std::strerror(errno));
        return RelayEnd::kFailed;
      }
    }
    if (pfds[kTimer].revents != 0) {
      uint64_t expirations = 0;
      // Only the wake-up matters; the count of expirations does not.
      (void)read(fds.timer, &expirations, sizeof(expirations));
      return RelayEnd::kTimer;
    }
    if ((pfds[kTun].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      log("the interface was closed under us");
      return RelayEnd::kFailed;
    }
    if ((pfds[kTun].revents & POLLIN) != 0) {
      for (int i = 0; i < kBurst; ++i) {
        ssize_t n = read(fds.tun, buffer.data(), buffer.size());
        if (n < 0) {
          if (errno == EAGAIN || errno == EINTR) {
            break;
          }
          log(std::string("reading the interface failed: ") +
              std::strerror(errno));
          return RelayEnd::kFailed;
        }
        if (fds.udp < 0 || (mode == RelayMode::kServer && client_length == 0)) {
          ++stats->dropped;  // nowhere to send it yet
          continue;
        }
        ssize_t sent =
            mode == RelayMode::kClient
                ? send(fds.udp, buffer.data(), static_cast<size_t>(n), 0)
                : sendto(fds.udp, buffer.data(), static_cast<size_t>(n), 0,
                         reinterpret_cast<const sockaddr*>(&client),
                         client_length);
        if (sent < 0) {
          peer_report.Failed(errno);
          ++stats->dropped;
        } else {
          ++stats->to_peer;
        }
      }
    }
    if ((pfds[kUdp].revents & (POLLIN | POLLERR)) != 0) {
      for (int i = 0; i < kBurst; ++i) {
        sockaddr_storage from{};
        socklen_t from_length = sizeof(from);
        ssize_t n = recvfrom(fds.udp, buffer.data(), buffer.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &from_length);
        if (n < 0) {
          if (errno == EAGAIN || errno == EINTR) {
            break;
          }
          // ICMP errors of earlier sends (peer not listening yet, no
          // route): reported, then the relay goes on.
          peer_report.Failed(errno);
          continue;
        }
        peer_report.Succeeded();
        if (!LooksLikeIpPacket(buffer.data(), static_cast<size_t>(n))) {
          ++stats->dropped;
          continue;
        }
        if (mode == RelayMode::kServer &&
            !SameAddress(client, client_length, from, from_length)) {
          client = from;
          client_length = from_length;
          log("client " +
              FormatSockaddr(reinterpret_cast<const sockaddr*>(&from),
                             from_length));
        }
        if (fds.tun < 0) {
          ++stats->dropped;
          continue;
        }
        if (write(fds.tun, buffer.data(), static_cast<size_t>(n)) < 0) {
          tun_write_report.Failed(errno);
          ++stats->dropped;
        } else {
          tun_write_report.Succeeded();
          ++stats->from_peer;
        }
      }
    }
  }
}

}  // namespace lab
