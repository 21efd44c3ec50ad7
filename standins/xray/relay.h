// The packet relay between a TUN interface and a UDP socket: every datagram
// carries exactly one IP packet, unencrypted.
#ifndef QUON_LAB_RELAY_H_
#define QUON_LAB_RELAY_H_

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>

namespace lab {

struct RelayFds {
  int tun = -1;     // -1: no interface (the noTun misbehaviour)
  int udp = -1;     // -1: nothing to carry
  int signal = -1;  // signalfd for the signals that end the run
  int timer = -1;   // timerfd that ends the run when it fires; -1: none
};

enum class RelayMode {
  // The UDP socket is connected to the server; packets go there.
  kClient,
  // Packets from the TUN go back to whichever client sent the last datagram.
  kServer,
};

enum class RelayEnd { kSignal, kTimer, kFailed };

struct RelayStats {
  uint64_t to_peer = 0;
  uint64_t from_peer = 0;
  uint64_t dropped = 0;
};

// Carries packets until a signal arrives on |fds.signal|, the timer fires or
// polling itself fails. Writes one log line per event through |log|.
RelayEnd RunRelay(const RelayFds& fds,
                  RelayMode mode,
                  const std::function<void(const std::string&)>& log,
                  RelayStats* stats);

// "198.51.100.10:7000" or "[2001:db8:2::10]:7000".
std::string FormatSockaddr(const sockaddr* address, socklen_t length);

}  // namespace lab

#endif  // QUON_LAB_RELAY_H_
