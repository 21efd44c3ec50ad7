// The relay on loopback UDP, with a sequenced-packet socket pair standing in
// for the TUN descriptor (both keep packet boundaries, both hang up when the
// other side goes), so no interface is needed.
#include "standins/xray/relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"

namespace lab {
namespace {

using Packet = std::vector<uint8_t>;

Packet IpPacket(uint8_t tag, size_t size = 28) {
  Packet p(size, tag);
  p[0] = 0x45;  // IPv4, header length 5
  return p;
}

UniqueFd Udp() {
  UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)), 0);
  return fd;
}

sockaddr_in LocalAddress(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return address;
}

void SendTo(int fd, const Packet& p, const sockaddr_in& to) {
  ASSERT_EQ(sendto(fd, p.data(), p.size(), 0,
                   reinterpret_cast<const sockaddr*>(&to), sizeof(to)),
            static_cast<ssize_t>(p.size()));
}

void Send(int fd, const Packet& p) {
  ASSERT_EQ(send(fd, p.data(), p.size(), 0), static_cast<ssize_t>(p.size()));
}

// Waits up to 5 s for one datagram; empty when none came.
Packet Receive(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  if (poll(&pfd, 1, 5000) != 1) {
    return {};
  }
  Packet p(65536);
  ssize_t n = recv(fd, p.data(), p.size(), 0);
  p.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return p;
}

bool NothingQueued(int fd) {
  uint8_t byte = 0;
  return recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

// Runs the relay on a thread; Stop() ends it the way SIGTERM does.
class RelayRun {
 public:
  RelayRun(int tun, int udp, RelayMode mode, int timer = -1) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    stop_read_.Reset(fds[0]);
    stop_write_.Reset(fds[1]);
    thread_ = std::thread([this, tun, udp, mode, timer] {
      end_ = RunRelay(
          {tun, udp, stop_read_.get(), timer}, mode,
          [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            log_ += line + "\n";
          },
          &stats_);
    });
  }
  ~RelayRun() { Stop(); }

  RelayEnd Stop() {
    if (thread_.joinable()) {
      signalfd_siginfo info{};
      info.ssi_signo = SIGTERM;
      EXPECT_EQ(write(stop_write_.get(), &info, sizeof(info)),
                static_cast<ssize_t>(sizeof(info)));
      thread_.join();
    }
    return end_;
  }
  RelayEnd Join() {
    thread_.join();
    return end_;
  }
  const RelayStats& stats() const { return stats_; }  // after Stop/Join
  std::string log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }

 private:
  UniqueFd stop_read_;
  UniqueFd stop_write_;
  std::thread thread_;
  RelayEnd end_ = RelayEnd::kFailed;
  RelayStats stats_;
  std::mutex mutex_;
  std::string log_;
};

struct TunPair {
  TunPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK,
                         0, fds),
              0);
    relay_side.Reset(fds[0]);
    test_side.Reset(fds[1]);
  }
  UniqueFd relay_side;
  UniqueFd test_side;
};

TEST(Relay, ClientCarriesPacketsBothWaysAndDropsNonIp) {
  TunPair tun;
  UniqueFd far_end = Udp();
  UniqueFd client = Udp();
  sockaddr_in far = LocalAddress(far_end.get());
  ASSERT_EQ(
      connect(client.get(), reinterpret_cast<sockaddr*>(&far), sizeof(far)), 0);
  RelayRun run(tun.relay_side.get(), client.get(), RelayMode::kClient);

  Packet out = IpPacket(1, 1400);
  Send(tun.test_side.get(), out);
  EXPECT_EQ(Receive(far_end.get()), out);

  sockaddr_in client_address = LocalAddress(client.get());
  SendTo(far_end.get(), Packet{1, 2, 3}, client_address);  // not a packet
  Packet in = IpPacket(2);
  SendTo(far_end.get(), in, client_address);
  EXPECT_EQ(Receive(tun.test_side.get()), in);
  Packet v6(40, 6);
  v6[0] = 0x60;
  SendTo(far_end.get(), v6, client_address);
  EXPECT_EQ(Receive(tun.test_side.get()), v6);

  EXPECT_EQ(run.Stop(), RelayEnd::kSignal);
  EXPECT_EQ(run.stats().to_peer, 1u);
  EXPECT_EQ(run.stats().from_peer, 2u);
  EXPECT_EQ(run.stats().dropped, 1u);
  EXPECT_NE(run.log().find("received SIGTERM"), std::string::npos);
}

// Replies follow the client that spoke last (a client that reconnects from a
// new port must get the traffic, the old one none of it).
TEST(Relay, ServerAnswersTheLastClient) {
  TunPair tun;
  UniqueFd server = Udp();
  sockaddr_in server_address = LocalAddress(server.get());
  UniqueFd a = Udp();
  UniqueFd b = Udp();
  RelayRun run(tun.relay_side.get(), server.get(), RelayMode::kServer);

  // Nobody to answer yet: dropped, not sent anywhere.
  Send(tun.test_side.get(), IpPacket(9));

  Packet from_a = IpPacket(1);
  SendTo(a.get(), from_a, server_address);
  EXPECT_EQ(Receive(tun.test_side.get()), from_a);
  Packet to_a = IpPacket(2);
  Send(tun.test_side.get(), to_a);
  EXPECT_EQ(Receive(a.get()), to_a);

  Packet from_b = IpPacket(3);
  SendTo(b.get(), from_b, server_address);
  EXPECT_EQ(Receive(tun.test_side.get()), from_b);
  Packet to_b = IpPacket(4);
  Send(tun.test_side.get(), to_b);
  EXPECT_EQ(Receive(b.get()), to_b);
  EXPECT_TRUE(NothingQueued(a.get()));

  EXPECT_EQ(run.Stop(), RelayEnd::kSignal);
  EXPECT_EQ(run.stats().dropped, 1u);
  EXPECT_EQ(run.stats().to_peer, 2u);
  EXPECT_EQ(run.stats().from_peer, 2u);
  std::string log = run.log();
  EXPECT_NE(log.find("client 127.0.0.1:" +
                     std::to_string(ntohs(LocalAddress(b.get()).sin_port))),
            std::string::npos)
      << log;
}

// A peer that is not there (ICMP port unreachable) is reported once and
// does not stop the relay.
TEST(Relay, ClientSurvivesAnAbsentPeer) {
  TunPair tun;
  sockaddr_in gone;
  {
    UniqueFd closed = Udp();
    gone = LocalAddress(closed.get());
  }
  UniqueFd client = Udp();
  ASSERT_EQ(
      connect(client.get(), reinterpret_cast<sockaddr*>(&gone), sizeof(gone)),
      0);
  RelayRun run(tun.relay_side.get(), client.get(), RelayMode::kClient);
  // Packets keep coming until the relay has met the error a few times over.
  for (uint8_t i = 0; i < 200 && run.log().find("refused") == std::string::npos;
       ++i) {
    Send(tun.test_side.get(), IpPacket(i));
    usleep(10000);  // paces the sender; the loop ends on the condition
  }
  for (uint8_t i = 0; i < 10; ++i) {
    Send(tun.test_side.get(), IpPacket(i));
  }
  EXPECT_EQ(run.Stop(), RelayEnd::kSignal);
  std::string log = run.log();
  size_t first = log.find("Connection refused");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("Connection refused", first + 1), std::string::npos)
      << "reported more than once: " << log;
}

TEST(Relay, EndsWhenTheTimerFires) {
  TunPair tun;
  UniqueFd timer(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  itimerspec expiry{};
  expiry.it_value.tv_nsec = 20L * 1000 * 1000;
  ASSERT_EQ(timerfd_settime(timer.get(), 0, &expiry, nullptr), 0);
  RelayRun run(tun.relay_side.get(), -1, RelayMode::kClient, timer.get());
  EXPECT_EQ(run.Join(), RelayEnd::kTimer);
}

TEST(Relay, EndsWhenTheInterfaceGoesAway) {
  TunPair tun;
  RelayRun run(tun.relay_side.get(), -1, RelayMode::kClient);
  tun.test_side.Reset();  // the peer of the pair hangs up
  EXPECT_EQ(run.Join(), RelayEnd::kFailed);
  EXPECT_NE(run.log().find("interface was closed"), std::string::npos);
}

}  // namespace
}  // namespace lab
