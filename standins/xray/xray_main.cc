// The lab's stand-in for the Xray core: enough of its command line and
// configuration to bring up the TUN interface that the runner waits for and
// to carry real IP traffic over UDP to a far end (the same program in server
// mode). See lab/README.md.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "standins/xray/lab_config.h"
#include "standins/xray/relay.h"
#include "standins/xray/tun_device.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: xray run -config PATH\n"
    "       xray server -listen HOST:PORT -tun NAME [-address ADDR/PREFIX]... "
    "[-mtu N]\n"
    "       xray version\n";

// Whole lines with write(2): unbuffered, so nothing is lost when we are
// killed, and lines from one write never interleave with another process
// appending to the same log.
void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;  // nowhere left to report it
    }
    done += static_cast<size_t>(n);
  }
}

void Log(const std::string& line) {
  WriteAll(STDOUT_FILENO, "xray: " + line + "\n");
}

int Fail(const std::string& line) {
  Log("error: " + line);
  return kExitFailure;
}

int Usage(const std::string& problem) {
  WriteAll(STDERR_FILENO, "xray: " + problem + "\n" + kUsage);
  return kExitUsage;
}

// SIGTERM, SIGINT and SIGHUP arrive through a descriptor that the relay
// polls, so shutdown runs in plain code with the interface closed by RAII.
bool MakeSignalFd(bool ignore_sigterm, UniqueFd* out, std::string* error) {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGHUP);
  if (ignore_sigterm) {
    // Unblocked and ignored, so a SIGTERM is dropped at once instead of
    // staying pending.
    signal(SIGTERM, SIG_IGN);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &term, nullptr);
  } else {
    sigaddset(&mask, SIGTERM);
  }
  UniqueFd fd(signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!fd.valid()) {
    *error = std::string("signalfd failed: ") + std::strerror(errno);
    return false;
  }
  *out = std::move(fd);
  return true;
}

bool MakeExitTimer(int64_t ms, UniqueFd* out, std::string* error) {
  UniqueFd fd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!fd.valid()) {
    *error = std::string("timerfd_create failed: ") + std::strerror(errno);
    return false;
  }
  itimerspec expiry{};
  expiry.it_value.tv_sec = static_cast<time_t>(ms / 1000);
  expiry.it_value.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
  if (ms == 0) {
    expiry.it_value.tv_nsec = 1;  // a zero value would disarm the timer
  }
  if (timerfd_settime(fd.get(), 0, &expiry, nullptr) != 0) {
    *error = std::string("timerfd_settime failed: ") + std::strerror(errno);
    return false;
  }
  *out = std::move(fd);
  return true;
}

bool ReadFile(const std::string& path, std::string* out, std::string* error) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    *error = std::strerror(errno);
    return false;
  }
  std::string text;
  char chunk[8192];
  for (;;) {
    ssize_t n = read(fd.get(), chunk, sizeof(chunk));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      *error = std::strerror(errno);
      return false;
    }
    if (n == 0) {
      break;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
  *out = std::move(text);
  return true;
}

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

// Resolves |host| (a literal or a name) and connects a UDP socket to the
// first address that has a route.
bool ConnectToServer(const std::string& host,
                     uint16_t port,
                     UniqueFd* out,
                     std::string* peer,
                     std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* raw = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &raw);
  if (rc != 0) {
    *error = "cannot resolve server " + host + ": " + gai_strerror(rc);
    return false;
  }
  std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
  std::string last = "no address";
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    UniqueFd fd(socket(ai->ai_family,
                       ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                       ai->ai_protocol));
    if (fd.valid() && connect(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0) {
      *peer = lab::FormatSockaddr(ai->ai_addr, ai->ai_addrlen);
      *out = std::move(fd);
      return true;
    }
    int failure = errno;  // before anything else can overwrite it
    last = lab::FormatSockaddr(ai->ai_addr, ai->ai_addrlen) + ": " +
           std::strerror(failure);
  }
  *error = "cannot reach server " + host + " (" + last + ")";
  return false;
}

bool ListenUdp(const lab::HostPort& listen, UniqueFd* out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* raw = nullptr;
  std::string service = std::to_string(listen.port);
  int rc = getaddrinfo(listen.host.c_str(), service.c_str(), &hints, &raw);
  if (rc != 0) {
    *error =
        "cannot use listen address " + listen.host + ": " + gai_strerror(rc);
    return false;
  }
  std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
  const addrinfo* ai = list.get();
  UniqueFd fd(socket(ai->ai_family,
                     ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                     ai->ai_protocol));
  if (!fd.valid()) {
    *error = std::string("socket failed: ") + std::strerror(errno);
    return false;
  }
  if (ai->ai_family == AF_INET6) {
    int off = 0;  // "[::]" takes IPv4 clients too
    (void)setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
  }
  if (bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
    *error = "cannot listen on " +
             lab::FormatSockaddr(ai->ai_addr, ai->ai_addrlen) + ": " +
             std::strerror(errno);
    return false;
  }
  *out = std::move(fd);
  return true;
}

bool BringUpTun(const std::string& name,
                int mtu,
                const std::vector<lab::InterfaceAddress>& addresses,
                UniqueFd* out,
                std::string* error) {
  UniqueFd tun;
  if (!lab::CreateTun(name, &tun, error) ||
      !lab::ConfigureLink(name, mtu, addresses, error)) {
    return false;  // closing |tun| removes a half-made interface
  }
  std::string line =
      "interface " + name + " created, up, MTU " + std::to_string(mtu);
  for (const lab::InterfaceAddress& address : addresses) {
    line += ", address " + address.text;
  }
  Log(line);
  *out = std::move(tun);
  return true;
}

int FinishRelay(lab::RelayEnd end,
                const lab::RelayStats& stats,
                int timer_exit_code,
                int64_t exit_after_ms) {
  Log("packets to peer " + std::to_string(stats.to_peer) + ", from peer " +
      std::to_string(stats.from_peer) + ", dropped " +
      std::to_string(stats.dropped));
  switch (end) {
    case lab::RelayEnd::kSignal:
      Log("stopped");
      return kExitOk;
    case lab::RelayEnd::kTimer:
      Log("exiting on my own after " + std::to_string(exit_after_ms) +
          " ms with status " + std::to_string(timer_exit_code));
      return timer_exit_code;
    case lab::RelayEnd::kFailed:
      break;
  }
  return kExitFailure;
}

int RunClient(const std::string& path) {
  std::string text;
  std::string error;
  if (!ReadFile(path, &text, &error)) {
    return Fail("cannot read configuration " + path + ": " + error);
  }
  lab::ClientConfig config;
  if (!ParseClientConfig(text, &config, &error)) {
    return Fail("invalid configuration " + path + ": " + error);
  }
  if (config.reject_config) {
    // Exactly the text, so that whoever shows our output shows just it.
    std::string out = *config.reject_config;
    if (out.empty() || out.back() != '\n') {
      out += '\n';
    }
    WriteAll(STDOUT_FILENO, out);
    return kExitFailure;
  }
  UniqueFd signals;
  if (!MakeSignalFd(config.ignore_sigterm, &signals, &error)) {
    return Fail(error);
  }
  Log("configuration read from " + path);
  if (config.ignore_sigterm) {
    Log("ignoring SIGTERM (labStandIn.ignoreSigterm)");
  }
  UniqueFd timer;
  if (config.exit_after_ms) {
    if (!MakeExitTimer(*config.exit_after_ms, &timer, &error)) {
      return Fail(error);
    }
    Log("will exit after " + std::to_string(*config.exit_after_ms) +
        " ms (labStandIn.exitAfterMs)");
  }
  UniqueFd udp;
  std::string peer;
  if (!ConnectToServer(config.server_host, config.server_port, &udp, &peer,
                       &error)) {
    return Fail(error);
  }
  Log("peer " + config.server_host + " port " +
      std::to_string(config.server_port) + " at " + peer);
  UniqueFd tun;
  if (config.no_tun) {
    Log("not creating interface " + config.tun_name + " (labStandIn.noTun)");
  } else if (!BringUpTun(config.tun_name, config.mtu, config.tun_addresses,
                         &tun, &error)) {
    return Fail(error);
  }
  lab::RelayStats stats;
  lab::RelayEnd end =
      lab::RunRelay({tun.get(), udp.get(), signals.get(), timer.get()},
                    lab::RelayMode::kClient, Log, &stats);
  return FinishRelay(end, stats, config.exit_code,
                     config.exit_after_ms.value_or(0));
}

struct ServerArgs {
  lab::HostPort listen;
  std::string tun_name;
  int mtu = 1500;
  std::vector<lab::InterfaceAddress> addresses;
};

int RunServer(const ServerArgs& args) {
  std::string error;
  UniqueFd signals;
  if (!MakeSignalFd(false, &signals, &error)) {
    return Fail(error);
  }
  UniqueFd udp;
  if (!ListenUdp(args.listen, &udp, &error)) {
    return Fail(error);
  }
  Log("server listening on " + args.listen.host + " port " +
      std::to_string(args.listen.port));
  UniqueFd tun;
  if (!BringUpTun(args.tun_name, args.mtu, args.addresses, &tun, &error)) {
    return Fail(error);
  }
  lab::RelayStats stats;
  lab::RelayEnd end = lab::RunRelay({tun.get(), udp.get(), signals.get(), -1},
                                    lab::RelayMode::kServer, Log, &stats);
  return FinishRelay(end, stats, kExitOk, 0);
}

// Options are "-name value" or "-name=value", as the real core takes them.
bool NextOption(const std::vector<std::string>& argv,
                size_t* i,
                std::string* name,
                std::string* value) {
  const std::string& arg = argv[*i];
  if (arg.size() < 2 || arg[0] != '-') {
    return false;
  }
  size_t start = arg.compare(0, 2, "--") == 0 ? 2 : 1;
  size_t equals = arg.find('=');
  if (equals != std::string::npos) {
    *name = arg.substr(start, equals - start);
    *value = arg.substr(equals + 1);
    return true;
  }
  if (*i + 1 >= argv.size()) {
    return false;
  }
  *name = arg.substr(start);
  *value = argv[++*i];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Block the ending signals before anything else, so one that arrives
  // during start-up waits in the signal descriptor instead of killing us
  // with the interface half made.
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGHUP);
  sigprocmask(SIG_BLOCK, &block, nullptr);
  // Output to a reader that went away must not kill the tunnel.
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (args.empty()) {
    return Usage("no command");
  }
  const std::string command = args[0];
  if (command == "version" || command == "-version") {
    WriteAll(STDOUT_FILENO, "Xray lab stand-in (quon_vpn lab)\n");
    return kExitOk;
  }
  if (command == "run") {
    std::string config;
    for (size_t i = 1; i < args.size(); ++i) {
      std::string name;
      std::string value;
      if (!NextOption(args, &i, &name, &value)) {
        return Usage("unexpected argument " + args[i]);
      }
      if (name != "config" && name != "c") {
        return Usage("unknown option -" + name);
      }
      config = value;
    }
    if (config.empty()) {
      return Usage("run needs -config PATH");
    }
    return RunClient(config);
  }
  if (command == "server") {
    ServerArgs server;
    bool have_listen = false;
    for (size_t i = 1; i < args.size(); ++i) {
      std::string name;
      std::string value;
      std::string error;
      if (!NextOption(args, &i, &name, &value)) {
        return Usage("unexpected argument " + args[i]);
      }
      if (name == "listen") {
        if (!lab::ParseHostPort(value, &server.listen, &error)) {
          return Usage(error);
        }
        have_listen = true;
      } else if (name == "tun") {
        if (!lab::IsValidInterfaceName(value)) {
          return Usage("invalid interface name " + value);
        }
        server.tun_name = value;
      } else if (name == "address") {
        lab::InterfaceAddress address;
        if (!lab::ParseInterfaceAddress(value, &address, &error)) {
          return Usage(error);
        }
        server.addresses.push_back(address);
      } else if (name == "mtu") {
        if (!lab::ParseMtu(value, &server.mtu, &error)) {
          return Usage(error);
        }
      } else {
        return Usage("unknown option -" + name);
      }
    }
    if (!have_listen || server.tun_name.empty()) {
      return Usage("server needs -listen HOST:PORT and -tun NAME");
    }
    return RunServer(server);
  }
  return Usage("unknown command " + command);
}
