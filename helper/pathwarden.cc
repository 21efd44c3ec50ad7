// pathwarden: the set-user-id root helper that moves the system's default
// routes and DNS onto the tunnel interface quon_vpn0 ("start") and gives them
// back ("stop"). It is the only privileged part of quon_vpn, so everything it
// takes from its caller (environment, descriptors, limits, signal state,
// arguments, and the text it reads back from ip and from its own state file)
// is treated as hostile before any of it reaches a root shell.
//
// Built as a program by default. Tests compile this file into their own
// translation unit with PATHWARDEN_EMBEDDED defined, which renames the entry
// point to pathwarden_main.

// GCC 12 reports a false maybe-uninitialized inside libstdc++'s <regex> once
// sanitizers change its inlining; the warning is about the library's code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr char kTunName[] = "quon_vpn0";
constexpr char kStatePath[] = "/run/quon_vpn_route_state_linux.txt";
constexpr int kTunWaitAttempts = 80;
constexpr useconds_t kTunWaitPauseUs = 250000;
// The state file holds eight short lines; anything far larger is not ours.
constexpr size_t kMaxStateFileSize = size_t{64} * 1024;

// Children get this environment and nothing else. The PATH is the one sudo
// uses for root; a directory that is not a root-owned directory closed to
// group and others is left out when the environment is built.
constexpr const char* kSafePathDirs[] = {"/usr/local/sbin", "/usr/local/bin",
                                         "/usr/sbin",       "/usr/bin",
                                         "/sbin",           "/bin"};

struct DefaultRoute {
  bool valid = false;
  std::string iface;
  std::string gateway;
};

struct SavedRouteState {
  DefaultRoute ipv4;
  DefaultRoute ipv6;
  std::vector<std::string> server_ipv4;
  std::vector<std::string> server_ipv6;
};

// ---------------------------------------------------------------------------
// Output. Every line is flushed at once: the runner sends both streams into
// one log, and a line held back in a buffer would land out of order there.

void errLine(const std::string& line) {
  std::cerr << line << '\n' << std::flush;
}

void outLine(const std::string& line) {
  std::cout << line << '\n' << std::flush;
}

// ---------------------------------------------------------------------------
// Text helpers.

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trim(const std::string& text) {
  size_t begin = 0;
  while (begin < text.size() && isBlank(text[begin])) {
    ++begin;
  }
  if (begin == text.size()) {
    return std::string();
  }
  size_t end = text.size();
  while (end > begin && isBlank(text[end - 1])) {
    --end;
  }
  return text.substr(begin, end - begin);
}

std::string joinCsv(const std::vector<std::string>& items) {
  std::string joined;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) {
      joined += ',';
    }
    joined += items[i];
  }
  return joined;
}

std::vector<std::string> splitCsv(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) {
      comma = text.size();
    }
    std::string item = trim(text.substr(start, comma - start));
    if (!item.empty()) {
      items.push_back(item);
    }
    start = comma + 1;
  }
  return items;
}

bool isAddressOf(int family, const std::string& text) {
  unsigned char buf[sizeof(struct in6_addr)];
  return inet_pton(family, text.c_str(), buf) == 1;
}

// Interface names and gateways end up inside root shell command lines. The
// kernel accepts ';', '|', '$', '(' and backquotes in interface names, so
// only a conservative set of characters is let through.
bool isSafeIfaceName(const std::string& name) {
  static const std::regex kIfacePattern("^[A-Za-z0-9_=+.-]{1,15}$");
  return std::regex_search(name, kIfacePattern);
}

const char* familyName(int family) {
  return family == AF_INET ? "IPv4" : "IPv6";
}

// A record that is about to drive commands must name a safe interface and, if
// it has one, a gateway of its family. Anything else is reported and dropped.
void rejectUnsafeRoute(int family, const char* origin, DefaultRoute* route) {
  if (!route->valid) {
    return;
  }
  if (!isSafeIfaceName(route->iface)) {
    errLine(std::string("[helper] ignoring ") + familyName(family) +
            " default route from " + origin +
            ": unsafe interface name: " + route->iface);
    route->valid = false;
  } else if (!route->gateway.empty() && !isAddressOf(family, route->gateway)) {
    errLine(std::string("[helper] ignoring ") + familyName(family) +
            " default route from " + origin +
            ": gateway is not an address: " + route->gateway);
    route->valid = false;
  }
}

// ---------------------------------------------------------------------------
// Command runner.

std::string runCommand(const std::string& command, int* status) {
  std::string full = command + " 2>&1";
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) {
    if (status != nullptr) {
      *status = -1;
    }
    return std::string();
  }
  std::string output;
  char buffer[512];
  while (fgets(buffer, sizeof(buffer), pipe) != nullptr) {
    output += buffer;
  }
  int wait_status = pclose(pipe);
  if (status != nullptr) {
    if (wait_status != -1 && (wait_status & 0x7f) == 0) {
      *status = (wait_status >> 8) & 0xff;
    } else {
      *status = -1;
    }
  }
  return trim(output);
}

bool runOk(const std::string& command, bool required) {
  int status = -1;
  std::string output = runCommand(command, &status);
  if (status == 0) {
    return true;
  }
  errLine("[helper] command failed: " + command);
  if (!output.empty()) {
    errLine(output);
  }
  return !required;
}

// ---------------------------------------------------------------------------
// Default routes and server addresses.

// Reads one first line of "ip route show default" output. Separate from the
// command so that it can be tested (and fuzzed) on its own.
DefaultRoute parseDefaultRouteLine(int family, const std::string& output) {
  static const std::regex kViaV4(
      "default\\s+via\\s+([0-9\\.]+)\\s+dev\\s+([^\\s]+)");
  static const std::regex kViaV6(
      "default\\s+via\\s+([0-9A-Fa-f:\\.]+)\\s+dev\\s+([^\\s]+)");
  static const std::regex kDevOnly("default\\s+dev\\s+([^\\s]+)");

  DefaultRoute route;
  std::smatch match;
  if (std::regex_search(output, match, family == AF_INET ? kViaV4 : kViaV6)) {
    route.gateway = match[1].str();
    route.iface = match[2].str();
    route.valid = isAddressOf(family, route.gateway);
    return route;
  }
  if (std::regex_search(output, match, kDevOnly)) {
    route.iface = match[1].str();
    route.valid = true;
  }
  return route;
}

DefaultRoute detectDefaultRoute(int family) {
  std::string command = family == AF_INET
                            ? "ip -4 route show default | head -n 1"
                            : "ip -6 route show default | head -n 1";
  int status = -1;
  std::string output = runCommand(command, &status);
  if (status != 0 || output.empty()) {
    return DefaultRoute();
  }
  DefaultRoute route = parseDefaultRouteLine(family, output);
  rejectUnsafeRoute(family, "ip", &route);
  return route;
}

bool resolveServerHost(const std::string& server,
                       std::vector<std::string>& ipv4,
                       std::vector<std::string>& ipv6) {
  std::string host = trim(server);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty()) {
    return false;
  }
  if (isAddressOf(AF_INET, host)) {
    ipv4.push_back(host);
    return true;
  }
  if (isAddressOf(AF_INET6, host)) {
    ipv6.push_back(host);
    return true;
  }

  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_flags = 0;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = 0;
  struct addrinfo* result = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (rc != 0) {
    errLine("[helper] getaddrinfo failed for host: " + host +
            " error: " + gai_strerror(rc));
    return false;
  }
  std::set<std::string> seen4;
  std::set<std::string> seen6;
  for (struct addrinfo* it = result; it != nullptr; it = it->ai_next) {
    char text[INET6_ADDRSTRLEN];
    if (it->ai_family == AF_INET6) {
      const auto* sa = reinterpret_cast<const sockaddr_in6*>(it->ai_addr);
      if (inet_ntop(AF_INET6, &sa->sin6_addr, text, sizeof(text)) != nullptr &&
          seen6.insert(text).second) {
        ipv6.emplace_back(text);
      }
    } else if (it->ai_family == AF_INET) {
      const auto* sa = reinterpret_cast<const sockaddr_in*>(it->ai_addr);
      if (inet_ntop(AF_INET, &sa->sin_addr, text, sizeof(text)) != nullptr &&
          seen4.insert(text).second) {
        ipv4.emplace_back(text);
      }
    }
  }
  freeaddrinfo(result);
  return !ipv4.empty() || !ipv6.empty();
}

// ---------------------------------------------------------------------------
// Route state file.

std::string formatRouteState(const SavedRouteState& state) {
  std::string text;
  text += std::string("ipv4_valid=") + (state.ipv4.valid ? "1" : "0") + "\n";
  text += "ipv4_iface=" + state.ipv4.iface + "\n";
  text += "ipv4_gateway=" + state.ipv4.gateway + "\n";
  text += std::string("ipv6_valid=") + (state.ipv6.valid ? "1" : "0") + "\n";
  text += "ipv6_iface=" + state.ipv6.iface + "\n";
  text += "ipv6_gateway=" + state.ipv6.gateway + "\n";
  text += "server_ipv4=" + joinCsv(state.server_ipv4) + "\n";
  text += "server_ipv6=" + joinCsv(state.server_ipv6) + "\n";
  return text;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

SavedRouteState parseRouteState(const std::string& text) {
  SavedRouteState state;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = trim(text.substr(start, end - start));
    start = end + 1;

    if (startsWith(line, "ipv4_valid=")) {
      state.ipv4.valid = line.substr(11) == "1";
    } else if (startsWith(line, "ipv4_iface=")) {
      state.ipv4.iface = line.substr(11);
    } else if (startsWith(line, "ipv4_gateway=")) {
      state.ipv4.gateway = line.substr(13);
    } else if (startsWith(line, "ipv6_valid=")) {
      state.ipv6.valid = line.substr(11) == "1";
    } else if (startsWith(line, "ipv6_iface=")) {
      state.ipv6.iface = line.substr(11);
    } else if (startsWith(line, "ipv6_gateway=")) {
      state.ipv6.gateway = line.substr(13);
    } else if (startsWith(line, "server_ipv4=")) {
      state.server_ipv4 = splitCsv(line.substr(12));
    } else if (startsWith(line, "server_ipv6=")) {
      state.server_ipv6 = splitCsv(line.substr(12));
    }
  }
  return state;
}

// Closes a descriptor when it goes out of scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) {
      (void)close(fd_);
    }
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close itself succeeded.
  bool closeNow() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces the state file as a whole: a fresh root-only temporary file in the
// same directory (never following a link, never reusing a file someone else
// made), written, synced and renamed over the old one. A crash, a full disk
// or a resource limit therefore leaves either the old state or the new one,
// never a truncated file that would lose the routes to restore.
bool saveRouteState(const SavedRouteState& state, const std::string& path) {
  const std::string text = formatRouteState(state);
  const std::string tmp = path + ".tmp";
  for (int attempt = 0; attempt < 2; ++attempt) {
    ScopedFd fd(open(tmp.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0600));
    if (fd.get() < 0) {
      // Left behind by a run that died before its rename; the directory
      // belongs to root, so nobody else can have put it there.
      if (errno == EEXIST && attempt == 0 && unlink(tmp.c_str()) == 0) {
        continue;
      }
      return false;
    }
    // Explicit mode, whatever umask the caller left behind.
    bool ok = fchmod(fd.get(), 0644) == 0 && writeAll(fd.get(), text) &&
              fsync(fd.get()) == 0;
    ok = fd.closeNow() && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
      (void)unlink(tmp.c_str());
      return false;
    }
    std::string dir = path.substr(0, path.rfind('/') + 1);
    ScopedFd dir_fd(open(dir.empty() ? "." : dir.c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd.get() >= 0) {
      (void)fsync(dir_fd.get());
    }
    return true;
  }
  return false;
}

enum class LoadResult { kFound, kMissing, kRefused };

// Reads the state file back. Its values reach root command lines, so only a
// regular file that root owns and that nobody else can write is trusted.
LoadResult loadRouteState(const std::string& path, SavedRouteState* state) {
  *state = SavedRouteState();
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ELOOP) {
      errLine("[helper] refusing route state file " + path +
              ": it is a symbolic link");
      return LoadResult::kRefused;
    }
    return LoadResult::kMissing;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    return LoadResult::kMissing;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != 0 ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    errLine("[helper] refusing route state file " + path +
            ": not a regular file owned and writable by root alone");
    return LoadResult::kRefused;
  }
  if (static_cast<size_t>(st.st_size) > kMaxStateFileSize) {
    errLine("[helper] refusing route state file " + path + ": too large");
    return LoadResult::kRefused;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0 || text.size() + static_cast<size_t>(n) > kMaxStateFileSize) {
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  *state = parseRouteState(text);
  rejectUnsafeRoute(AF_INET, "saved state", &state->ipv4);
  rejectUnsafeRoute(AF_INET6, "saved state", &state->ipv6);
  return LoadResult::kFound;
}

// ---------------------------------------------------------------------------
// Process hygiene for a set-user-id program.

// Whether |dir| is a directory only root can change, so that a program found
// there through PATH was put there by root.
bool isRootOwnedDir(const char* dir) {
  struct stat st;
  return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string safePath() {
  std::string path;
  for (const char* dir : kSafePathDirs) {
    if (!isRootOwnedDir(dir)) {
      continue;
    }
    if (!path.empty()) {
      path += ':';
    }
    path += dir;
  }
  return path.empty() ? std::string("/usr/sbin:/usr/bin:/sbin:/bin") : path;
}

// Before anything is written or opened: a caller may start us with 0, 1 or 2
// closed, and the next file opened (the state file) would then take that
// number and receive our messages. Returns false when /dev/null is missing.
bool ensureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    int opened = open("/dev/null", O_RDWR);
    if (opened != fd) {
      return false;
    }
  }
  return true;
}

// Every descriptor above 2 that the caller handed over is closed on exec, so
// no child sees it. Marking rather than closing leaves descriptors that a
// sanitizer runtime may hold in this process alone.
void closeInheritedDescriptorsOnExec() {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
    return;
  }
  struct rlimit lim;
  rlim_t top = 65536;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
    top = lim.rlim_cur;
  }
  for (rlim_t fd = 3; fd < top; ++fd) {
    int flags = fcntl(static_cast<int>(fd), F_GETFD);
    if (flags >= 0) {
      (void)fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
    }
  }
}

// Raises a soft limit to |wanted| (RLIM_INFINITY compares above every
// number), and the hard limit with it where that is allowed. Where it is not
// (no CAP_SYS_RESOURCE in the bounding set), the soft limit still goes as
// high as the hard one.
void raiseLimit(int resource, rlim_t wanted) {
  struct rlimit lim;
  if (getrlimit(resource, &lim) != 0 || lim.rlim_cur >= wanted) {
    return;
  }
  struct rlimit raised = lim;
  raised.rlim_cur = wanted;
  if (raised.rlim_max < wanted) {
    raised.rlim_max = wanted;
  }
  if (setrlimit(resource, &raised) != 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    (void)setrlimit(resource, &lim);
  }
}

// A handler that does nothing: unlike SIG_IGN, exec resets it to the default
// for the commands we start.
void ignoreSignal(int /*sig*/) {}

// Limits a caller can lower to make us, or a command we run, die half-way:
// a file-size limit kills the state write, and too few descriptors,
// processes, CPU seconds, stack or address space make a route command fail.
// (The stack limit is raised first thing in main.)
void raiseResourceLimits() {
  raiseLimit(RLIMIT_FSIZE, RLIM_INFINITY);
  // Should the file-size limit stay (it cannot always be raised), a write
  // past it must fail with an error that the state writer handles, not kill
  // us half-way. Caught rather than ignored, so children start with the
  // default again.
  struct sigaction sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sa_handler = ignoreSignal;
  sigemptyset(&sa.sa_mask);
  (void)sigaction(SIGXFSZ, &sa, nullptr);
  raiseLimit(RLIMIT_CPU, RLIM_INFINITY);
  raiseLimit(RLIMIT_AS, RLIM_INFINITY);
  raiseLimit(RLIMIT_DATA, RLIM_INFINITY);
  raiseLimit(RLIMIT_NOFILE, 1024);
  raiseLimit(RLIMIT_NPROC, RLIM_INFINITY);
}

// An ignored signal stays ignored across exec, so every child would inherit
// the caller's choices (an ignored SIGCHLD even breaks our own waits). Caught
// signals are reset by exec anyway; handlers a sanitizer runtime installed
// are left alone.
void resetSignalState() {
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) == 0 &&
        current.sa_handler == SIG_IGN) {
      struct sigaction dfl;
      std::memset(&dfl, 0, sizeof(dfl));
      dfl.sa_handler = SIG_DFL;
      sigemptyset(&dfl.sa_mask);
      (void)sigaction(sig, &dfl, nullptr);
    }
  }
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The children's whole environment, built from nothing.
void resetEnvironment() {
  std::string path = safePath();
  (void)clearenv();
  (void)setenv("PATH", path.c_str(), 1);
  (void)setenv("LC_ALL", "C", 1);
}

// Everything a root process must not take over from an unprivileged caller.
void sanitizeProcess() {
  // The caller's supplementary groups are no business of a root process.
  (void)setgroups(0, nullptr);
  resetEnvironment();
  (void)umask(022);
  if (chdir("/") != 0) {
    errLine(std::string("[helper] chdir(/) failed: ") + std::strerror(errno));
  }
  closeInheritedDescriptorsOnExec();
  raiseResourceLimits();
  resetSignalState();
}

// While routes are half moved, a Ctrl-C from the terminal, a closed output
// pipe, a hang-up or a polite termination request must not leave the network
// broken: such signals are caught and dropped until the last route change
// is done. They are caught rather than ignored, because exec resets caught
// signals to their default, and the commands we start must begin clean.
class SignalShield {
 public:
  SignalShield() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = ignoreSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) {
      (void)sigaction(sig, &sa, nullptr);
    }
  }
  ~SignalShield() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) {
      // A closed output pipe noticed on the way stays harmless: the remaining
      // writes simply fail.
      if (sig != SIGPIPE) {
        (void)sigaction(sig, &sa, nullptr);
      }
    }
  }
  SignalShield(const SignalShield&) = delete;
  SignalShield& operator=(const SignalShield&) = delete;

 private:
  static constexpr int kSignals[] = {SIGINT,  SIGTERM, SIGHUP,
                                     SIGQUIT, SIGPIPE, SIGTSTP};
};

// ---------------------------------------------------------------------------
// Start and stop.

bool waitForTunUp(const std::string& name) {
  for (int attempt = 0; attempt < kTunWaitAttempts; ++attempt) {
    int status = -1;
    (void)runCommand("ip link show " + name, &status);
    if (status == 0) {
      status = -1;
      (void)runCommand("ip link set dev " + name + " up", &status);
    }
    if (status == 0) {
      status = -1;
      std::string state =
          runCommand("cat /sys/class/net/" + name + "/operstate", &status);
      if (status == 0 && (state == "up" || state == "unknown")) {
        return true;
      }
    }
    usleep(kTunWaitPauseUs);
  }
  return false;
}

// Returns 0, or the exit status for a failed host route.
int addServerHostRoute(int family,
                       const std::string& address,
                       const DefaultRoute& route) {
  const int failure = family == AF_INET ? 7 : 8;
  if (!isAddressOf(family, address) || route.iface.empty()) {
    return failure;
  }
  std::string command = family == AF_INET
                            ? "ip -4 route replace " + address + "/32"
                            : "ip -6 route replace " + address + "/128";
  if (!route.gateway.empty()) {
    command += " via " + route.gateway;
  }
  command += " dev " + route.iface;
  return runOk(command, true) ? 0 : failure;
}

// Appends the addresses of |family| in |from| that |into| lacks; anything
// that is not an address of that family is dropped.
void appendMissing(int family,
                   std::vector<std::string>* into,
                   const std::vector<std::string>& from) {
  for (const std::string& item : from) {
    if (!isAddressOf(family, item)) {
      continue;
    }
    bool present = false;
    for (const std::string& have : *into) {
      present = present || have == item;
    }
    if (!present) {
      into->push_back(item);
    }
  }
}

int startRouting(const std::string& server) {
  if (geteuid() != 0) {
    errLine("[helper] root permission required. Run via pkexec/sudo.");
    return 10;
  }
  SavedRouteState state;
  state.ipv4 = detectDefaultRoute(AF_INET);
  state.ipv6 = detectDefaultRoute(AF_INET6);

  // A start that was never stopped left the defaults on the tunnel. Recording
  // the tunnel as "the route before the tunnel" would make the next stop
  // restore nothing useful, so the earlier record is kept instead; without
  // one, a family whose default is the tunnel counts as having no route.
  SavedRouteState earlier;
  const bool left_open = (state.ipv4.valid && state.ipv4.iface == kTunName) ||
                         (state.ipv6.valid && state.ipv6.iface == kTunName);
  const bool keep_earlier =
      left_open && loadRouteState(kStatePath, &earlier) == LoadResult::kFound;
  if (keep_earlier) {
    errLine(std::string("[helper] default route already points at ") +
            kTunName + ", keeping the saved route state");
    // A family whose default is a real route now (one the earlier start
    // did not move, or one that came up since) is taken as it is: keeping
    // the older record would leave that family's traffic outside the tunnel
    // or restore a stale route at stop.
    for (auto [now, before] : {std::make_pair(&state.ipv4, &earlier.ipv4),
                               std::make_pair(&state.ipv6, &earlier.ipv6)}) {
      if (!now->valid || now->iface == kTunName) {
        *now = *before;
      }
    }
  } else if (left_open) {
    errLine(std::string("[helper] default route already points at ") +
            kTunName + " and no route state was saved");
  }
  for (DefaultRoute* route : {&state.ipv4, &state.ipv6}) {
    if (route->iface == kTunName) {
      *route = DefaultRoute();
    }
  }

  if (!state.ipv4.valid && !state.ipv6.valid) {
    errLine("[helper] could not detect IPv4 or IPv6 default route");
    return 3;
  }
  if (!resolveServerHost(server, state.server_ipv4, state.server_ipv6)) {
    errLine("[helper] could not resolve VPN server host: " + server);
    return 4;
  }

  outLine("[helper] server host: " + server);
  outLine("[helper] IPv4 default iface: " + state.ipv4.iface +
          " gateway: " + state.ipv4.gateway);
  outLine("[helper] IPv6 default iface: " + state.ipv6.iface +
          " gateway: " + state.ipv6.gateway);
  outLine("[helper] resolved IPv4 count: " +
          std::to_string(state.server_ipv4.size()));
  outLine("[helper] resolved IPv6 count: " +
          std::to_string(state.server_ipv6.size()));

  // The earlier run's host routes are still in place; keep their addresses
  // on record so that stop removes them too.
  SavedRouteState to_save = state;
  if (keep_earlier) {
    appendMissing(AF_INET, &to_save.server_ipv4, earlier.server_ipv4);
    appendMissing(AF_INET6, &to_save.server_ipv6, earlier.server_ipv6);
  }
  if (!saveRouteState(to_save, kStatePath)) {
    errLine("[helper] could not save route state");
    return 5;
  }

  SignalShield shield;
  if (!waitForTunUp(kTunName)) {
    errLine(std::string("[helper] TUN interface ") + kTunName +
            " was not created in time");
    return 6;
  }
  if (state.ipv4.valid) {
    for (const std::string& address : state.server_ipv4) {
      int rc = addServerHostRoute(AF_INET, address, state.ipv4);
      if (rc != 0) {
        return rc;
      }
    }
  }
  if (state.ipv6.valid) {
    for (const std::string& address : state.server_ipv6) {
      int rc = addServerHostRoute(AF_INET6, address, state.ipv6);
      if (rc != 0) {
        return rc;
      }
    }
  }
  if (state.ipv4.valid &&
      !runOk(std::string("ip -4 route replace default dev ") + kTunName,
             true)) {
    return 9;
  }
  if (state.ipv6.valid) {
    (void)runOk(std::string("ip -6 route replace default dev ") + kTunName +
                    " metric 1",
                false);
  }

  errLine("[helper] configuring DNS for VPN");
  int status = -1;
  (void)runCommand("command -v resolvectl", &status);
  if (status != 0) {
    errLine("[helper] resolvectl not found, DNS configuration skipped");
  } else {
    (void)runOk(std::string("resolvectl dns ") + kTunName + " 1.1.1.1 8.8.8.8",
                false);
    (void)runOk(std::string("resolvectl domain ") + kTunName + " \"~.\"",
                false);
    (void)runOk(std::string("resolvectl default-route ") + kTunName + " yes",
                false);
    if (state.ipv4.valid && !state.ipv4.iface.empty()) {
      (void)runOk("resolvectl default-route " + state.ipv4.iface + " no",
                  false);
    }
    (void)runOk("resolvectl flush-caches", false);
  }
  outLine("[helper] IPv4/IPv6 routing and DNS applied successfully");
  return 0;
}

bool tunExists() {
  ScopedFd fd(open((std::string("/sys/class/net/") + kTunName).c_str(),
                   O_RDONLY | O_CLOEXEC));
  return fd.get() >= 0;
}

// Returns 0, or |failure| when the saved route could not be put back.
int restoreDefaultRoute(const char* ip_family,
                        const DefaultRoute& route,
                        int failure) {
  if (!route.valid || route.iface.empty()) {
    return 0;
  }
  std::string command =
      std::string("ip ") + ip_family + " route replace default ";
  if (!route.gateway.empty()) {
    command += "via " + route.gateway + " ";
  }
  command += "dev " + route.iface;
  return runOk(command, true) ? 0 : failure;
}

int stopRouting(const std::string& server) {
  if (geteuid() != 0) {
    errLine("[helper] root permission required. Run via pkexec/sudo.");
    return 10;
  }
  SavedRouteState state;
  if (loadRouteState(kStatePath, &state) != LoadResult::kFound) {
    errLine("[helper] no saved state, trying best-effort cleanup");
  }
  SignalShield shield;

  errLine("[helper] restoring DNS after VPN");
  int status = -1;
  (void)runCommand("command -v resolvectl", &status);
  if (status != 0) {
    errLine("[helper] resolvectl not found, DNS restore skipped");
  } else {
    if (!tunExists()) {
      errLine(std::string("[helper] DNS revert skipped: ") + kTunName +
              " does not exist");
    } else {
      (void)runOk(std::string("resolvectl revert ") + kTunName, false);
    }
    if (state.ipv4.valid && !state.ipv4.iface.empty()) {
      (void)runOk("resolvectl default-route " + state.ipv4.iface + " yes",
                  false);
    }
    (void)runOk("resolvectl flush-caches", false);
  }

  (void)runCommand(std::string("ip -4 route del default dev ") + kTunName,
                   nullptr);
  (void)runCommand(std::string("ip -6 route del default dev ") + kTunName,
                   nullptr);

  std::vector<std::string> resolved4;
  std::vector<std::string> resolved6;
  (void)resolveServerHost(server, resolved4, resolved6);
  auto deleteHostRoutes = [](int family,
                             const std::vector<std::string>& addresses) {
    for (const std::string& address : addresses) {
      if (!isAddressOf(family, address)) {
        continue;
      }
      (void)runCommand(family == AF_INET
                           ? "ip -4 route del " + address + "/32"
                           : "ip -6 route del " + address + "/128",
                       nullptr);
    }
  };
  deleteHostRoutes(AF_INET, state.server_ipv4);
  deleteHostRoutes(AF_INET6, state.server_ipv6);
  deleteHostRoutes(AF_INET, resolved4);
  deleteHostRoutes(AF_INET6, resolved6);

  int rc = restoreDefaultRoute("-4", state.ipv4, 12);
  if (rc == 0) {
    rc = restoreDefaultRoute("-6", state.ipv6, 13);
  }
  if (rc != 0) {
    return rc;
  }
  (void)unlink(kStatePath);
  outLine("[helper] IPv4/IPv6 routing restored successfully");
  return 0;
}

// ---------------------------------------------------------------------------
// Entry.

void writeIdentity(const char* prefix) {
  std::cerr << prefix << "real uid=" << static_cast<unsigned long>(getuid())
            << " effective uid=" << static_cast<unsigned long>(geteuid())
            << " real gid=" << static_cast<unsigned long>(getgid())
            << " effective gid=" << static_cast<unsigned long>(getegid())
            << '\n'
            << std::flush;
}

void writeUsage(const std::string& program) {
  std::cerr << "Usage:\n"
            << "  " << program << " start <server_host_or_ip>\n"
            << "  " << program << " stop <server_host_or_ip>\n"
            << std::flush;
}

}  // namespace

// Only std::bad_alloc can leave the entry point; ending the process is the
// right answer to that, so no handler is installed for it.
#ifdef PATHWARDEN_EMBEDDED
int pathwarden_main(int argc, char** argv) {
#else
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
#endif
  // A stack of a few kilobytes would crash us, and then the shell and ip, so
  // it is raised before anything else runs (to 8 MiB, the usual default).
  raiseLimit(RLIMIT_STACK, rlim_t{8} * 1024 * 1024);
  if (!ensureStandardDescriptors()) {
    return 1;
  }
  writeIdentity("[helper] ");
  if (geteuid() == 0) {
    if (setgid(0) != 0) {
      errLine(std::string("[helper] setgid(0) failed: ") +
              std::strerror(errno));
      return 20;
    }
    if (setuid(0) != 0) {
      errLine(std::string("[helper] setuid(0) failed: ") +
              std::strerror(errno));
      return 21;
    }
    writeIdentity("[helper] after elevation ");
    sanitizeProcess();
  }

  // With an empty argument vector argv[0] is null and argv[1] already points
  // into the environment, so the count is checked before any element is read.
  // (Newer kernels pass a single empty argv[0] instead.) A missing or empty
  // program name only changes the usage text.
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
    writeUsage("pathwarden");
    return 1;
  }
  const std::string program = argv[0][0] != '\0' ? argv[0] : "pathwarden";
  if (argc < 3) {
    writeUsage(program);
    return 1;
  }
  const std::string action = argv[1];
  const std::string server = argv[2];
  if (action == "start") {
    return startRouting(server);
  }
  if (action == "stop") {
    return stopRouting(server);
  }
  writeUsage(program);
  return 1;
}
