// pathwarden: the set-user-id root helper that moves the system's default
// routes and DNS onto the tunnel interface quon_vpn0 ("start") and gives them
// back ("stop"). It is the only privileged part of quon_vpn, so everything it
// takes from its caller (environment, descriptors, limits, timers, signal
// state, scheduling, arguments, and the text it reads back from ip and from
// its own state file) is treated as hostile before any of it reaches a root
// shell.
//
// Built as a program by default. Tests compile this file into their own
// translation unit with PATHWARDEN_EMBEDDED defined, which renames the entry
// point to pathwarden_main.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "pathwarden_exit_status.h"

extern char** environ;

namespace {

constexpr char kTunName[] = "quon_vpn0";
constexpr char kStatePath[] = "/run/quon_vpn_route_state_linux.txt";
// Held for the whole run, so that two helpers never change routes at once.
constexpr char kLockPath[] = "/run/quon_vpn_pathwarden.lock";
// How long a second helper waits for the first. Below the runner's shortest
// limit (3 s for the clean-up before a start): a waiting helper either gets
// the lock while its runner still waits for it, or gives up on its own, so
// one the runner has abandoned never acts later, out of turn.
constexpr int kLockWaitMs = 2000;
constexpr int kLockPollMs = 20;
constexpr int kTunWaitAttempts = 80;
constexpr useconds_t kTunWaitPauseUs = 250000;
// Both the writer and the reader hold the state file to this size, so that
// nothing start saves is ever refused by stop.
constexpr size_t kMaxStateFileSize = size_t{64} * 1024;
// A route line with more words than this is not one a desktop has.
constexpr size_t kMaxRouteWords = 256;

// Children get this environment and nothing else. The PATH is the one sudo
// uses for root; a directory that is not a root-owned directory closed to
// group and others is left out when the environment is built.
constexpr const char* kSafePathDirs[] = {"/usr/local/sbin", "/usr/local/bin",
                                         "/usr/sbin",       "/usr/bin",
                                         "/sbin",           "/bin"};

// Signals that could end the helper half-way through a route change: from
// the terminal, a closed output pipe, a hang-up, a polite request, and the
// caller's interval timers. Ignored for the whole run; every child starts
// with them at their default again.
constexpr int kShieldedSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT,
                                    SIGPIPE, SIGTSTP,   SIGTTOU, SIGTTIN,
                                    SIGALRM, SIGVTALRM, SIGPROF};

// The legacy summary of one family's default route: the eight lines an older
// helper reads, and what the runner reads to find the server after a crash.
struct DefaultRoute {
  bool valid = false;
  std::string iface;
  std::string gateway;
};

// One next hop of a default route, every field already validated.
struct NextHop {
  int via_family = 0;  // AF_INET or AF_INET6 when |via| is set
  std::string via;
  std::string dev;
  std::string weight;
  bool onlink = false;
};

// One default route as ip printed it, reduced to words that are known and
// checked, so that it can be put back with the same ip command line and
// pasted into a root shell without any quoting.
struct RouteEntry {
  std::string type;  // empty for unicast
  std::string nhid;
  bool multipath = false;
  std::vector<NextHop> hops;
  std::vector<std::string> attrs;  // key value pairs: proto, metric, src, ...
  unsigned long metric = 0;
};

// A link whose resolved default-route flag start switched off, and the value
// it had before.
struct DnsLink {
  std::string iface;
  std::string flag;  // "yes" or "no"
};

struct SavedRouteState {
  DefaultRoute ipv4;
  DefaultRoute ipv6;
  // What stop puts back, in order. Read from the route lines, or made from
  // the legacy lines of a file an older helper wrote.
  std::vector<RouteEntry> routes4;
  std::vector<RouteEntry> routes6;
  std::vector<DnsLink> dns;
  std::vector<std::string> server_ipv4;
  std::vector<std::string> server_ipv6;
  // Route lines that did not pass the checks when read back.
  int dropped = 0;
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

std::vector<std::string> splitColon(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t colon = text.find(':', start);
    if (colon == std::string::npos) {
      colon = text.size();
    }
    if (colon > start) {
      items.push_back(text.substr(start, colon - start));
    }
    start = colon + 1;
  }
  return items;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && isBlank(text[pos])) {
      ++pos;
    }
    size_t end = pos;
    while (end < text.size() && !isBlank(text[end])) {
      ++end;
    }
    if (end > pos) {
      words.push_back(text.substr(pos, end - pos));
    }
    pos = end;
  }
  return words;
}

std::string joinWords(const std::vector<std::string>& words) {
  std::string joined;
  for (const std::string& word : words) {
    if (!joined.empty()) {
      joined += ' ';
    }
    joined += word;
  }
  return joined;
}

// Interface names and gateways end up inside root shell command lines. The
// kernel accepts ';', '|', '$', '(' and backquotes in interface names, so
// only a conservative set of characters is let through; a leading '-' would
// make the name an option of the command it is given to.
bool isSafeIfaceName(const std::string& name) {
  static const std::regex kIfacePattern(
      "^[A-Za-z0-9_=+.][A-Za-z0-9_=+.-]{0,14}$");
  return std::regex_search(name, kIfacePattern);
}

bool isNumber(const std::string& text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits) {
    return false;
  }
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

// Protocol and scope names: a number, or a name from ip's tables.
bool isPlainName(const std::string& text) {
  static const std::regex kNamePattern("^[A-Za-z0-9][A-Za-z0-9_]{0,31}$");
  return std::regex_search(text, kNamePattern);
}

const char* familyName(int family) {
  return family == AF_INET ? "IPv4" : "IPv6";
}

const char* familyFlag(int family) {
  return family == AF_INET ? "-4" : "-6";
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
// Default routes as ip prints them.

// Words ip prints about a route's state rather than its configuration; they
// are not given back when the route is put back.
bool isStateFlag(const std::string& word) {
  static const std::set<std::string> kFlags = {
      "linkdown",   "dead",      "offload",
      "trap",       "pervasive", "notify",
      "rt_offload", "rt_trap",   "rt_offload_failed"};
  return kFlags.count(word) != 0;
}

bool isRouteType(const std::string& word) {
  return word == "unicast" || word == "unreachable" || word == "blackhole" ||
         word == "prohibit" || word == "throw";
}

// Metrics that take an optional "lock" and a number.
bool isNumericMetric(const std::string& word) {
  return word == "mtu" || word == "advmss" || word == "hoplimit" ||
         word == "initcwnd" || word == "initrwnd" || word == "window" ||
         word == "reordering";
}

// Reads one route (its first line and the "nexthop" lines that follow it,
// joined) into |route|. Returns false, with the offending word in |why|, for
// anything that is not a default route made of known, checked words.
bool parseRouteEntry(int family,
                     const std::string& text,
                     RouteEntry* route,
                     std::string* why) {
  *route = RouteEntry();
  const std::vector<std::string> words = splitWords(text);
  if (words.size() > kMaxRouteWords) {
    *why = "too many words";
    return false;
  }
  size_t i = 0;
  if (i < words.size() && isRouteType(words[i])) {
    route->type = words[i] == "unicast" ? "" : words[i];
    ++i;
  }
  if (i >= words.size() || words[i] != "default") {
    *why = "not a default route";
    return false;
  }
  ++i;
  route->metric = family == AF_INET ? 0 : 1024;
  auto value = [&](std::string* out) {
    if (i + 1 >= words.size()) {
      return false;
    }
    *out = words[i + 1];
    i += 2;
    return true;
  };
  auto hop = [&]() -> NextHop& {
    if (route->hops.empty()) {
      route->hops.emplace_back();
    }
    return route->hops.back();
  };
  while (i < words.size()) {
    const std::string& word = words[i];
    std::string v;
    if (word == "nexthop") {
      route->multipath = true;
      route->hops.emplace_back();
      ++i;
    } else if (word == "via") {
      int via_family = family;
      size_t at = i + 1;
      if (at < words.size() && (words[at] == "inet" || words[at] == "inet6")) {
        via_family = words[at] == "inet" ? AF_INET : AF_INET6;
        ++at;
      }
      if (at >= words.size() || !isAddressOf(via_family, words[at]) ||
          !hop().via.empty()) {
        *why = "via";
        return false;
      }
      hop().via_family = via_family;
      hop().via = words[at];
      i = at + 1;
    } else if (word == "dev") {
      if (!value(&v) || !isSafeIfaceName(v) || !hop().dev.empty()) {
        *why = "dev " + v;
        return false;
      }
      hop().dev = v;
    } else if (word == "weight") {
      if (!route->multipath || !value(&v) || !isNumber(v, 3)) {
        *why = "weight";
        return false;
      }
      hop().weight = v;
    } else if (word == "onlink") {
      hop().onlink = true;
      ++i;
    } else if (word == "nhid") {
      if (!value(&v) || !isNumber(v, 10) || !route->nhid.empty()) {
        *why = "nhid";
        return false;
      }
      route->nhid = v;
    } else if (word == "proto" || word == "scope") {
      if (!value(&v) || !isPlainName(v)) {
        *why = word;
        return false;
      }
      route->attrs.insert(route->attrs.end(), {word, v});
    } else if (word == "src") {
      if (!value(&v) || !isAddressOf(family, v)) {
        *why = "src";
        return false;
      }
      route->attrs.insert(route->attrs.end(), {word, v});
    } else if (word == "metric") {
      if (!value(&v) || !isNumber(v, 10) || std::stoul(v) > 0xffffffffUL) {
        *why = "metric";
        return false;
      }
      route->metric = std::stoul(v);
      route->attrs.insert(route->attrs.end(), {word, v});
    } else if (word == "pref") {
      if (!value(&v) || (v != "low" && v != "medium" && v != "high")) {
        *why = "pref";
        return false;
      }
      route->attrs.insert(route->attrs.end(), {word, v});
    } else if (isNumericMetric(word)) {
      route->attrs.push_back(word);
      ++i;
      if (i < words.size() && words[i] == "lock") {
        route->attrs.emplace_back("lock");
        ++i;
      }
      if (i >= words.size() || !isNumber(words[i], 10)) {
        *why = word;
        return false;
      }
      route->attrs.push_back(words[i]);
      ++i;
    } else if (word == "expires" || word == "error") {
      // Kept by the kernel, not by whoever made the route.
      i += 2;
    } else if (isStateFlag(word)) {
      ++i;
    } else {
      *why = word;
      return false;
    }
  }
  if (route->nhid.empty() && route->type.empty()) {
    if (route->hops.empty()) {
      *why = "no next hop";
      return false;
    }
    for (const NextHop& h : route->hops) {
      if (h.dev.empty()) {
        *why = "next hop without a device";
        return false;
      }
    }
  }
  return true;
}

// The words after "ip route replace <destination>" that send traffic the way
// |route| does: its next-hop object, its next hops, or its device.
std::vector<std::string> routePath(int family, const RouteEntry& route) {
  if (!route.nhid.empty()) {
    return {"nhid", route.nhid};
  }
  std::vector<std::string> words;
  for (const NextHop& h : route.hops) {
    if (route.multipath) {
      words.emplace_back("nexthop");
    }
    if (!h.via.empty()) {
      words.emplace_back("via");
      if (h.via_family != family) {
        words.emplace_back(h.via_family == AF_INET ? "inet" : "inet6");
      }
      words.push_back(h.via);
    }
    if (!h.dev.empty()) {
      words.insert(words.end(), {"dev", h.dev});
    }
    if (!h.weight.empty()) {
      words.insert(words.end(), {"weight", h.weight});
    }
    if (h.onlink) {
      words.emplace_back("onlink");
    }
  }
  return words;
}

// The route as the words of "ip route replace" and "ip route del": type,
// destination and attributes first, because "nexthop" takes the rest.
std::string formatRoute(int family, const RouteEntry& route) {
  std::vector<std::string> words;
  if (!route.type.empty()) {
    words.push_back(route.type);
  }
  words.emplace_back("default");
  words.insert(words.end(), route.attrs.begin(), route.attrs.end());
  std::vector<std::string> path = routePath(family, route);
  words.insert(words.end(), path.begin(), path.end());
  return joinWords(words);
}

bool isTunnelRoute(const RouteEntry& route) {
  for (const NextHop& h : route.hops) {
    if (h.dev == kTunName) {
      return true;
    }
  }
  return false;
}

// A unicast route through an interface: one that carries traffic out.
bool isUplink(const RouteEntry& route) {
  return route.type.empty();
}

// Groups the output of "ip route show default" into routes (a multipath
// route continues on indented "nexthop" lines) and reads each. Returns false,
// with the offending route in |bad|, when one cannot be put back exactly.
bool parseDefaultRoutes(int family,
                        const std::string& output,
                        std::vector<RouteEntry>* routes,
                        std::string* bad) {
  std::vector<std::string> texts;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) {
      end = output.size();
    }
    std::string line = output.substr(start, end - start);
    start = end + 1;
    if (trim(line).empty()) {
      continue;
    }
    if (isBlank(line[0]) && !texts.empty()) {
      texts.back() += " " + line;
    } else {
      texts.push_back(line);
    }
  }
  for (const std::string& text : texts) {
    RouteEntry route;
    std::string why;
    if (!parseRouteEntry(family, text, &route, &why)) {
      *bad = trim(text) + " (" + why + ")";
      return false;
    }
    routes->push_back(route);
  }
  return true;
}

// The route that traffic to the server keeps using: the uplink with the
// lowest metric, the first of equals. Null when the family has none.
const RouteEntry* serverUplink(const std::vector<RouteEntry>& routes) {
  const RouteEntry* best = nullptr;
  for (const RouteEntry& route : routes) {
    if (isUplink(route) && !isTunnelRoute(route) &&
        (best == nullptr || route.metric < best->metric)) {
      best = &route;
    }
  }
  return best;
}

// The legacy summary of a family's routes, for an older stop and the runner.
DefaultRoute legacyRoute(int family, const std::vector<RouteEntry>& routes) {
  DefaultRoute legacy;
  const RouteEntry* uplink = serverUplink(routes);
  if (uplink == nullptr || uplink->hops.empty()) {
    return legacy;
  }
  const NextHop& h = uplink->hops.front();
  if (h.dev.empty() || (!h.via.empty() && h.via_family != family)) {
    return legacy;
  }
  legacy.valid = true;
  legacy.iface = h.dev;
  legacy.gateway = h.via;
  return legacy;
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

// ---------------------------------------------------------------------------
// Command runner. Commands are started directly, never through a shell: a
// command line here is made of checked words alone (names, numbers,
// addresses), so its words are the argument vector, and nothing in it can
// be taken for shell syntax. That also spares one shell start per command.

// Runs |argv| (the program found through PATH) with its standard output and
// standard error on one pipe, and with the signals this process ignores at
// their defaults and no signal blocked, as from a clean shell. Returns the
// trimmed output; |status| gets the exit code, or -1 when the program could
// not be started or was ended by a signal.
std::string runArgv(const std::vector<std::string>& args, int* status) {
  if (status != nullptr) {
    *status = -1;
  }
  if (args.empty()) {
    return std::string();
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return std::string();
  }
  ScopedFd read_end(fds[0]);
  ScopedFd write_end(fds[1]);

  std::vector<std::vector<char>> storage;
  std::vector<char*> argv;
  storage.reserve(args.size());
  for (const std::string& arg : args) {
    storage.emplace_back(arg.begin(), arg.end());
    storage.back().push_back('\0');
    argv.push_back(storage.back().data());
  }
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    return std::string();
  }
  if (posix_spawnattr_init(&attr) != 0) {
    (void)posix_spawn_file_actions_destroy(&actions);
    return std::string();
  }
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : kShieldedSignals) {
    sigaddset(&defaults, sig);
  }
  sigset_t none;
  sigemptyset(&none);
  pid_t pid = -1;
  int rc = posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);
  if (rc == 0) {
    rc = posix_spawn_file_actions_adddup2(&actions, write_end.get(), 2);
  }
  if (rc == 0) {
    rc = posix_spawnattr_setsigdefault(&attr, &defaults);
  }
  if (rc == 0) {
    rc = posix_spawnattr_setsigmask(&attr, &none);
  }
  if (rc == 0) {
    rc = posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  if (rc == 0) {
    rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  }
  (void)posix_spawnattr_destroy(&attr);
  (void)posix_spawn_file_actions_destroy(&actions);
  (void)write_end.closeNow();
  if (rc != 0) {
    return std::string();
  }

  std::string output;
  char buffer[512];
  for (;;) {
    ssize_t n = read(read_end.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    output.append(buffer, static_cast<size_t>(n));
  }
  int wait_status = 0;
  pid_t waited = -1;
  do {
    waited = waitpid(pid, &wait_status, 0);
  } while (waited < 0 && errno == EINTR);
  if (status != nullptr && waited == pid && WIFEXITED(wait_status)) {
    *status = WEXITSTATUS(wait_status);
  }
  return trim(output);
}

// |command| is a line of checked words separated by blanks.
std::string runCommand(const std::string& command, int* status) {
  return runArgv(splitWords(command), status);
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

// Whether resolvectl is found through PATH (what "command -v" would say),
// looked up once per run.
bool haveResolvectl() {
  static const bool found = [] {
    const char* path = getenv("PATH");
    for (const std::string& dir : splitColon(path != nullptr ? path : "")) {
      if (access((dir + "/resolvectl").c_str(), X_OK) == 0) {
        return true;
      }
    }
    return false;
  }();
  return found;
}

// ---------------------------------------------------------------------------
// Default routes and server addresses.

// Reads every default route of |family| from ip. Returns false when one of
// them cannot be put back exactly (reported here).
bool detectDefaultRoutes(int family, std::vector<RouteEntry>* routes) {
  int status = -1;
  std::string output = runCommand(
      std::string("ip ") + familyFlag(family) + " route show default", &status);
  if (status != 0) {
    return true;
  }
  std::string bad;
  if (!parseDefaultRoutes(family, output, routes, &bad)) {
    errLine(std::string("[helper] unsupported ") + familyName(family) +
            " default route: " + bad);
    return false;
  }
  return true;
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
//
// The eight legacy lines come first, as an older helper wrote them, so that
// an older stop and the runner can still read the file. Then a version line
// and the full record: one "ipv4_route=" or "ipv6_route=" line per default
// route that start took over, in the words ip accepts to put it back, and
// one "dns_default_route=" line per link whose DNS default-route flag start
// switched off, with the value it had.

constexpr char kStateVersionLine[] = "version=2";

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
  text += std::string(kStateVersionLine) + "\n";
  for (const RouteEntry& route : state.routes4) {
    text += "ipv4_route=" + formatRoute(AF_INET, route) + "\n";
  }
  for (const RouteEntry& route : state.routes6) {
    text += "ipv6_route=" + formatRoute(AF_INET6, route) + "\n";
  }
  for (const DnsLink& link : state.dns) {
    text += "dns_default_route=" + link.iface + " " + link.flag + "\n";
  }
  return text;
}

// A file from an older helper has only the legacy lines: its routes are the
// ones that helper would have put back, and its DNS link the IPv4 one.
void fillFromLegacyLines(SavedRouteState* state) {
  for (auto [family, legacy, routes] :
       {std::make_tuple(AF_INET, &state->ipv4, &state->routes4),
        std::make_tuple(AF_INET6, &state->ipv6, &state->routes6)}) {
    if (!legacy->valid || legacy->iface.empty()) {
      continue;
    }
    std::string text = "default";
    if (!legacy->gateway.empty()) {
      text += " via " + legacy->gateway;
    }
    text += " dev " + legacy->iface;
    RouteEntry route;
    std::string why;
    if (parseRouteEntry(family, text, &route, &why)) {
      routes->push_back(route);
    }
  }
  if (state->ipv4.valid && isSafeIfaceName(state->ipv4.iface)) {
    state->dns.push_back(DnsLink{state->ipv4.iface, "yes"});
  }
}

SavedRouteState parseRouteState(const std::string& text) {
  SavedRouteState state;
  bool versioned = false;
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
    } else if (line == kStateVersionLine) {
      versioned = true;
    } else if (startsWith(line, "ipv4_route=") ||
               startsWith(line, "ipv6_route=")) {
      const int family = line[3] == '4' ? AF_INET : AF_INET6;
      RouteEntry route;
      std::string why;
      if (parseRouteEntry(family, line.substr(11), &route, &why) &&
          !isTunnelRoute(route)) {
        (family == AF_INET ? state.routes4 : state.routes6).push_back(route);
      } else {
        ++state.dropped;
      }
    } else if (startsWith(line, "dns_default_route=")) {
      std::vector<std::string> words = splitWords(line.substr(18));
      if (words.size() == 2 && isSafeIfaceName(words[0]) &&
          (words[1] == "yes" || words[1] == "no")) {
        state.dns.push_back(DnsLink{words[0], words[1]});
      } else {
        ++state.dropped;
      }
    }
  }
  if (!versioned) {
    state.routes4.clear();
    state.routes6.clear();
    state.dns.clear();
    fillFromLegacyLines(&state);
  }
  return state;
}

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
  // Non-blocking, so that a FIFO planted there is refused, not waited on.
  ScopedFd fd(
      open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
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
    if (n < 0) {
      errLine("[helper] refusing route state file " + path +
              ": read failed: " + std::strerror(errno));
      return LoadResult::kRefused;
    }
    if (n == 0) {
      break;
    }
    if (text.size() + static_cast<size_t>(n) > kMaxStateFileSize) {
      errLine("[helper] refusing route state file " + path + ": too large");
      return LoadResult::kRefused;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  *state = parseRouteState(text);
  rejectUnsafeRoute(AF_INET, "saved state", &state->ipv4);
  rejectUnsafeRoute(AF_INET6, "saved state", &state->ipv6);
  if (state->dropped > 0) {
    errLine("[helper] ignoring " + std::to_string(state->dropped) +
            " unreadable line(s) of route state file " + path);
  }
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

// The children's PATH: the root-owned directories among the fixed ones.
// Empty when there is none; the caller then refuses to run anything.
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
  return path;
}

// Before anything is written or opened: a caller may start us with 0, 1 or 2
// closed, and the next file opened (the state file) would then take that
// number and receive our messages. Returns false when /dev/null is missing.
bool ensureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    // Deliberately without O_CLOEXEC: it becomes a standard descriptor of
    // every child.
    int opened = open("/dev/null", O_RDWR);
    if (opened != fd) {
      return false;
    }
  }
  return true;
}

// Every descriptor above 2 that the caller handed over is closed on exec, so
// no child sees it. Marking rather than closing leaves descriptors that a
// sanitizer runtime may hold in this process alone. Without close_range the
// open descriptors are listed from /proc: a loop up to the open-files limit
// would miss those the caller opened before lowering that limit.
bool closeInheritedDescriptorsOnExec() {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
    return true;
  }
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return false;
  }
  const int own = dirfd(dir);
  bool ok = true;
  for (struct dirent* entry = readdir(dir); entry != nullptr;
       entry = readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == own) {
      continue;
    }
    int flags = fcntl(static_cast<int>(fd), F_GETFD);
    if (flags >= 0 &&
        fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC) != 0) {
      ok = false;
    }
  }
  (void)closedir(dir);
  return ok;
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
// (The stack limit is raised first thing in main.) Core files of root
// processes are not the caller's to ask for.
void resetResourceLimits() {
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
  const struct rlimit no_core = {0, 0};
  (void)setrlimit(RLIMIT_CORE, &no_core);
}

// Nice value, OOM score and scheduling policy are the caller's to choose for
// its own processes, not for root's commands: a niced or SCHED_IDLE helper
// can be starved half-way through a route change, and one marked first for
// the OOM killer dies there. Each is put back to what a root shell gets.
void resetScheduling() {
  (void)setpriority(PRIO_PROCESS, 0, 0);
  struct sched_param param;
  std::memset(&param, 0, sizeof(param));
  (void)sched_setscheduler(0, SCHED_OTHER, &param);
  ScopedFd oom(open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC));
  if (oom.get() >= 0) {
    (void)writeAll(oom.get(), "0");
  }
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

// Interval timers survive exec: a caller's alarm would otherwise end the
// helper between taking the old default route away and putting it back.
void clearIntervalTimers() {
  struct itimerval zero;
  std::memset(&zero, 0, sizeof(zero));
  for (int which : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) {
    (void)setitimer(which, &zero, nullptr);
  }
}

// Everything a root process must not take over from an unprivileged caller.
// Returns 0, or the exit status when the process cannot be made safe.
int sanitizeProcess() {
  // The caller's supplementary groups are no business of a root process.
  (void)setgroups(0, nullptr);
  const std::string path = safePath();
  if (path.empty()) {
    errLine(
        "[helper] no root-owned directory for the command search path; "
        "refusing to run commands");
    return kPathwardenUnsafeProcess;
  }
  (void)clearenv();
  (void)setenv("PATH", path.c_str(), 1);
  (void)setenv("LC_ALL", "C", 1);
  (void)umask(022);
  if (chdir("/") != 0) {
    errLine(std::string("[helper] chdir(/) failed: ") + std::strerror(errno));
  }
  if (!closeInheritedDescriptorsOnExec()) {
    errLine(
        "[helper] could not mark inherited descriptors close-on-exec; "
        "refusing to run commands");
    return kPathwardenUnsafeProcess;
  }
  resetResourceLimits();
  resetScheduling();
  resetSignalState();
  return kPathwardenOk;
}

// From here until the helper ends, a Ctrl-C from the terminal, a closed
// output pipe, a hang-up, a polite termination request, job control or a
// timer cannot end it half-way through a route change and leave the network
// broken. The commands it starts get the defaults back (see runArgv).
void shieldSignals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  for (int sig : kShieldedSignals) {
    (void)sigaction(sig, &sa, nullptr);
  }
}

// ---------------------------------------------------------------------------
// The lock that keeps two helpers from changing routes at the same time.

// Holds an exclusive flock on the lock file until destroyed. The lock goes
// with the descriptor, which no child inherits.
class HelperLock {
 public:
  HelperLock() = default;
  ~HelperLock() {
    if (fd_ >= 0) {
      (void)close(fd_);
    }
  }
  HelperLock(const HelperLock&) = delete;
  HelperLock& operator=(const HelperLock&) = delete;

  // Returns 0, or the exit status when the lock cannot be had.
  int acquire(const char* path, int wait_ms) {
    fd_ = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
               0600);
    if (fd_ < 0) {
      errLine(std::string("[helper] could not open lock file ") + path + ": " +
              std::strerror(errno));
      return kPathwardenBusy;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      errLine(std::string("[helper] refusing lock file ") + path +
              ": not a regular file owned and writable by root alone");
      return kPathwardenBusy;
    }
    struct timespec begin;
    (void)clock_gettime(CLOCK_MONOTONIC, &begin);
    bool told = false;
    for (;;) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        return kPathwardenOk;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) {
        errLine(std::string("[helper] could not lock ") + path + ": " +
                std::strerror(errno));
        return kPathwardenBusy;
      }
      struct timespec now;
      (void)clock_gettime(CLOCK_MONOTONIC, &now);
      const long waited = (now.tv_sec - begin.tv_sec) * 1000 +
                          (now.tv_nsec - begin.tv_nsec) / 1000000;
      if (waited >= wait_ms) {
        errLine(
            "[helper] another route helper is still running; gave up "
            "after " +
            std::to_string(wait_ms) + " ms");
        return kPathwardenBusy;
      }
      if (!told) {
        errLine("[helper] waiting for another route helper to finish");
        told = true;
      }
      usleep(static_cast<useconds_t>(kLockPollMs) * 1000);
    }
  }

 private:
  int fd_ = -1;
};

// ---------------------------------------------------------------------------
// Start: the steps of "pathwarden start".

// What start found and what it will do.
struct StartPlan {
  // The record saved for stop: the routes to put back (merged with the
  // record of an earlier start that was never stopped), the DNS links and
  // the server addresses.
  SavedRouteState state;
  // The default routes in the table now, other than the tunnel's: the ones
  // start takes away.
  std::vector<RouteEntry> present4;
  std::vector<RouteEntry> present6;
  // The families whose default the tunnel takes over: those with a route
  // that carries traffic out (an unreachable or blackhole default alone is
  // left as it is: that family's traffic goes nowhere either way).
  bool take4 = false;
  bool take6 = false;
};

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

// Appends the routes of |from| that |into| lacks.
void appendMissingRoutes(int family,
                         std::vector<RouteEntry>* into,
                         const std::vector<RouteEntry>& from) {
  for (const RouteEntry& route : from) {
    bool present = false;
    for (const RouteEntry& have : *into) {
      present =
          present || formatRoute(family, have) == formatRoute(family, route);
    }
    if (!present) {
      into->push_back(route);
    }
  }
}

// Step: read the default routes, and decide what to record. A record left
// by a start that was never stopped holds routes that start took away (the
// defaults may still be on the tunnel, or gone with it); replacing it would
// lose them for good, and recording the tunnel as "the route before the
// tunnel" would make the next stop restore nothing useful. So the earlier
// record is kept and what is in the table now beside the tunnel is added.
int detectRoutes(StartPlan* plan) {
  std::vector<RouteEntry> now4;
  std::vector<RouteEntry> now6;
  if (!detectDefaultRoutes(AF_INET, &now4) ||
      !detectDefaultRoutes(AF_INET6, &now6)) {
    return kPathwardenRouteUnsupported;
  }
  bool left_open = false;
  for (auto [now, present] : {std::make_pair(&now4, &plan->present4),
                              std::make_pair(&now6, &plan->present6)}) {
    for (const RouteEntry& route : *now) {
      if (isTunnelRoute(route)) {
        left_open = true;
      } else {
        present->push_back(route);
      }
    }
  }

  SavedRouteState earlier;
  const LoadResult earlier_result = loadRouteState(kStatePath, &earlier);
  if (earlier_result == LoadResult::kRefused) {
    errLine(std::string("[helper] the route state file ") + kStatePath +
            " was refused; nothing is changed until it has been checked "
            "and removed");
    return kPathwardenStateRefused;
  }
  SavedRouteState& state = plan->state;
  state.routes4 = plan->present4;
  state.routes6 = plan->present6;
  if (earlier_result == LoadResult::kFound) {
    errLine(left_open
                ? std::string("[helper] default route already points at ") +
                      kTunName + ", keeping the saved route state"
                : std::string("[helper] keeping the route state of a start "
                              "that was never stopped"));
    state.routes4 = earlier.routes4;
    state.routes6 = earlier.routes6;
    appendMissingRoutes(AF_INET, &state.routes4, plan->present4);
    appendMissingRoutes(AF_INET6, &state.routes6, plan->present6);
    state.dns = earlier.dns;
    // The earlier run's host routes are still in place; keep their
    // addresses on record so that stop removes them too.
    state.server_ipv4 = earlier.server_ipv4;
    state.server_ipv6 = earlier.server_ipv6;
  } else if (left_open) {
    errLine(std::string("[helper] default route already points at ") +
            kTunName + " and no route state was saved");
  }

  plan->take4 = serverUplink(state.routes4) != nullptr;
  plan->take6 = serverUplink(state.routes6) != nullptr;
  for (auto [take, routes, present] :
       {std::make_tuple(plan->take4, &state.routes4, &plan->present4),
        std::make_tuple(plan->take6, &state.routes6, &plan->present6)}) {
    if (!take) {
      routes->clear();
      present->clear();
    }
  }
  state.ipv4 = legacyRoute(AF_INET, state.routes4);
  state.ipv6 = legacyRoute(AF_INET6, state.routes6);
  if (!plan->take4 && !plan->take6) {
    errLine("[helper] could not detect IPv4 or IPv6 default route");
    return kPathwardenNoDefaultRoute;
  }
  return kPathwardenOk;
}

// Step: the server's addresses, added to those an earlier run recorded.
int resolveServer(const std::string& server, StartPlan* plan) {
  std::vector<std::string> ipv4;
  std::vector<std::string> ipv6;
  if (!resolveServerHost(server, ipv4, ipv6)) {
    errLine("[helper] could not resolve VPN server host: " + server);
    return kPathwardenServerUnresolved;
  }
  outLine("[helper] server host: " + server);
  outLine("[helper] IPv4 default iface: " + plan->state.ipv4.iface +
          " gateway: " + plan->state.ipv4.gateway);
  outLine("[helper] IPv6 default iface: " + plan->state.ipv6.iface +
          " gateway: " + plan->state.ipv6.gateway);
  outLine("[helper] resolved IPv4 count: " + std::to_string(ipv4.size()));
  outLine("[helper] resolved IPv6 count: " + std::to_string(ipv6.size()));
  std::vector<std::string> earlier4 = plan->state.server_ipv4;
  std::vector<std::string> earlier6 = plan->state.server_ipv6;
  plan->state.server_ipv4 = ipv4;
  plan->state.server_ipv6 = ipv6;
  appendMissing(AF_INET, &plan->state.server_ipv4, earlier4);
  appendMissing(AF_INET6, &plan->state.server_ipv6, earlier6);
  return kPathwardenOk;
}

// resolvectl prints "Link 2 (eth0): yes"; anything else counts as yes, the
// value a link has unless someone changed it.
std::string readDnsDefaultRoute(const std::string& iface) {
  int status = -1;
  std::string output = runCommand("resolvectl default-route " + iface, &status);
  size_t colon = output.rfind(':');
  std::string value = colon == std::string::npos
                          ? std::string()
                          : trim(output.substr(colon + 1));
  return status == 0 && value == "no" ? "no" : "yes";
}

// Step: the links whose DNS default-route flag start switches off (those of
// every default route the tunnel takes over), with the value each has now.
int recordDnsLinks(StartPlan* plan) {
  if (!haveResolvectl()) {
    return kPathwardenOk;
  }
  std::vector<DnsLink>& dns = plan->state.dns;
  for (const std::vector<RouteEntry>* present :
       {&plan->present4, &plan->present6}) {
    for (const RouteEntry& route : *present) {
      if (!isUplink(route)) {
        continue;
      }
      for (const NextHop& h : route.hops) {
        bool known = h.dev == "lo" || h.dev == kTunName;
        for (const DnsLink& link : dns) {
          known = known || link.iface == h.dev;
        }
        if (!known) {
          dns.push_back(DnsLink{h.dev, readDnsDefaultRoute(h.dev)});
        }
      }
    }
  }
  return kPathwardenOk;
}

// Step: the record goes to disk before anything changes. It is bounded, so
// that stop can always read what start wrote.
int saveState(const StartPlan& plan) {
  const size_t size = formatRouteState(plan.state).size();
  if (size > kMaxStateFileSize) {
    errLine("[helper] route state of " + std::to_string(size) +
            " bytes exceeds " + std::to_string(kMaxStateFileSize) + " bytes (" +
            std::to_string(plan.state.server_ipv4.size() +
                           plan.state.server_ipv6.size()) +
            " server addresses); nothing was changed");
    return kPathwardenStateTooLarge;
  }
  if (!saveRouteState(plan.state, kStatePath)) {
    errLine("[helper] could not save route state");
    return kPathwardenStateNotSaved;
  }
  return kPathwardenOk;
}

bool readOperstate(const std::string& name, std::string* state) {
  ScopedFd fd(open(("/sys/class/net/" + name + "/operstate").c_str(),
                   O_RDONLY | O_CLOEXEC));
  char buffer[64];
  ssize_t n = fd.get() < 0 ? -1 : read(fd.get(), buffer, sizeof(buffer));
  if (n < 0) {
    return false;
  }
  *state = trim(std::string(buffer, static_cast<size_t>(n)));
  return true;
}

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
      std::string state;
      status = readOperstate(name, &state) ? 0 : -1;
      if (status == 0 && (state == "up" || state == "unknown")) {
        return true;
      }
    }
    usleep(kTunWaitPauseUs);
  }
  return false;
}

// Step: the tunnel interface must be up before routes point at it.
int bringTunUp() {
  if (!waitForTunUp(kTunName)) {
    errLine(std::string("[helper] TUN interface ") + kTunName +
            " was not created in time");
    return kPathwardenTunMissing;
  }
  return kPathwardenOk;
}

// Step: traffic to the server keeps the way it had, through the same next
// hops as the family's default route with the lowest metric.
int pinServerRoutes(const StartPlan& plan) {
  for (auto [family, take, addresses, routes] :
       {std::make_tuple(AF_INET, plan.take4, &plan.state.server_ipv4,
                        &plan.state.routes4),
        std::make_tuple(AF_INET6, plan.take6, &plan.state.server_ipv6,
                        &plan.state.routes6)}) {
    const int failure = family == AF_INET ? kPathwardenIpv4HostRouteFailed
                                          : kPathwardenIpv6HostRouteFailed;
    const RouteEntry* uplink = serverUplink(*routes);
    if (!take || uplink == nullptr) {
      continue;
    }
    const std::string path = joinWords(routePath(family, *uplink));
    for (const std::string& address : *addresses) {
      if (!isAddressOf(family, address)) {
        return failure;
      }
      std::string command = std::string("ip ") + familyFlag(family);
      command += " route replace " + address;
      command += family == AF_INET ? "/32 " : "/128 ";
      command += path;
      if (!runOk(command, true)) {
        return failure;
      }
    }
  }
  return kPathwardenOk;
}

// Step: every default route of a family the tunnel takes over goes away, so
// the tunnel's default is the only one, whatever metrics the others had.
int takeOverDefaults(const StartPlan& plan) {
  for (auto [family, take, present] :
       {std::make_tuple(AF_INET, plan.take4, &plan.present4),
        std::make_tuple(AF_INET6, plan.take6, &plan.present6)}) {
    if (!take) {
      continue;
    }
    for (const RouteEntry& route : *present) {
      (void)runOk(std::string("ip ") + familyFlag(family) + " route del " +
                      formatRoute(family, route),
                  false);
    }
    if (family == AF_INET &&
        !runOk(std::string("ip -4 route replace default dev ") + kTunName,
               true)) {
      return kPathwardenIpv4DefaultFailed;
    }
    if (family == AF_INET6) {
      (void)runOk(std::string("ip -6 route replace default dev ") + kTunName +
                      " metric 1",
                  false);
    }
  }
  return kPathwardenOk;
}

// Step: all DNS goes to the tunnel's resolvers.
int pointDnsAtTunnel(const StartPlan& plan) {
  errLine("[helper] configuring DNS for VPN");
  if (!haveResolvectl()) {
    errLine("[helper] resolvectl not found, DNS configuration skipped");
    return kPathwardenOk;
  }
  (void)runOk(std::string("resolvectl dns ") + kTunName + " 1.1.1.1 8.8.8.8",
              false);
  (void)runOk(std::string("resolvectl domain ") + kTunName + " ~.", false);
  (void)runOk(std::string("resolvectl default-route ") + kTunName + " yes",
              false);
  for (const DnsLink& link : plan.state.dns) {
    (void)runOk("resolvectl default-route " + link.iface + " no", false);
  }
  (void)runOk("resolvectl flush-caches", false);
  return kPathwardenOk;
}

int requireRoot() {
  if (geteuid() != 0) {
    errLine("[helper] root permission required. Run via pkexec/sudo.");
    return kPathwardenRootRequired;
  }
  return kPathwardenOk;
}

// The whole start, step by step; the first step that fails gives the status.
// Nothing changes before the record is saved, and nothing undoes a later
// failure: the runner runs stop, which reads the record.
int startRouting(const std::string& server) {
  HelperLock lock;
  StartPlan plan;
  int rc = kPathwardenOk;
  if ((rc = requireRoot()) != 0 ||
      (rc = lock.acquire(kLockPath, kLockWaitMs)) != 0 ||
      (rc = detectRoutes(&plan)) != 0 ||
      (rc = resolveServer(server, &plan)) != 0 ||
      (rc = recordDnsLinks(&plan)) != 0 || (rc = saveState(plan)) != 0 ||
      (rc = bringTunUp()) != 0 || (rc = pinServerRoutes(plan)) != 0 ||
      (rc = takeOverDefaults(plan)) != 0 ||
      (rc = pointDnsAtTunnel(plan)) != 0) {
    return rc;
  }
  outLine("[helper] IPv4/IPv6 routing and DNS applied successfully");
  return kPathwardenOk;
}

// ---------------------------------------------------------------------------
// Stop: the steps of "pathwarden stop".

bool tunExists() {
  ScopedFd fd(open((std::string("/sys/class/net/") + kTunName).c_str(),
                   O_RDONLY | O_CLOEXEC));
  return fd.get() >= 0;
}

// Step: the record of the last start; without one, stop still cleans up
// what needs none. A refused record is left for an administrator, and
// nothing is changed: going on would give back nothing and call it done.
int loadSavedState(SavedRouteState* state) {
  switch (loadRouteState(kStatePath, state)) {
    case LoadResult::kFound:
      return kPathwardenOk;
    case LoadResult::kMissing:
      errLine("[helper] no saved state, trying best-effort cleanup");
      return kPathwardenOk;
    case LoadResult::kRefused:
      errLine(std::string("[helper] the route state file ") + kStatePath +
              " was refused and is kept; nothing was restored");
      return kPathwardenStateRefused;
  }
  return kPathwardenStateRefused;
}

// Step: DNS back to the links as they were.
int giveDnsBack(const SavedRouteState& state) {
  errLine("[helper] restoring DNS after VPN");
  if (!haveResolvectl()) {
    errLine("[helper] resolvectl not found, DNS restore skipped");
    return kPathwardenOk;
  }
  if (!tunExists()) {
    errLine(std::string("[helper] DNS revert skipped: ") + kTunName +
            " does not exist");
  } else {
    (void)runOk(std::string("resolvectl revert ") + kTunName, false);
  }
  for (const DnsLink& link : state.dns) {
    (void)runOk("resolvectl default-route " + link.iface + " " + link.flag,
                false);
  }
  (void)runOk("resolvectl flush-caches", false);
  return kPathwardenOk;
}

// Step: the tunnel's own defaults go; they may well be gone already.
int removeTunnelDefaults() {
  (void)runCommand(std::string("ip -4 route del default dev ") + kTunName,
                   nullptr);
  (void)runCommand(std::string("ip -6 route del default dev ") + kTunName,
                   nullptr);
  return kPathwardenOk;
}

// Step: the host routes to the server, those recorded and those of the
// server given now, so that they go even without a record.
int removeServerRoutes(const std::string& server,
                       const SavedRouteState& state) {
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
  return kPathwardenOk;
}

// Step: every recorded default route back as it was. All are tried, so that
// one that fails does not keep the others away; the first family that
// failed gives the status.
int restoreDefaults(const SavedRouteState& state) {
  int rc = kPathwardenOk;
  for (auto [family, routes, failure] :
       {std::make_tuple(AF_INET, &state.routes4, kPathwardenIpv4RestoreFailed),
        std::make_tuple(AF_INET6, &state.routes6,
                        kPathwardenIpv6RestoreFailed)}) {
    for (const RouteEntry& route : *routes) {
      if (!runOk(std::string("ip ") + familyFlag(family) + " route replace " +
                     formatRoute(family, route),
                 true) &&
          rc == kPathwardenOk) {
        rc = failure;
      }
    }
  }
  return rc;
}

// Step: the record has served; the next stop finds none.
int forgetState() {
  (void)unlink(kStatePath);
  return kPathwardenOk;
}

// The whole stop, step by step. Only a refused record and a failed restore
// end it early; everything else is best effort, so that stop also cleans up
// after a start that never ran or stopped half-way.
int stopRouting(const std::string& server) {
  HelperLock lock;
  SavedRouteState state;
  int rc = kPathwardenOk;
  if ((rc = requireRoot()) != 0 ||
      (rc = lock.acquire(kLockPath, kLockWaitMs)) != 0 ||
      (rc = loadSavedState(&state)) != 0 || (rc = giveDnsBack(state)) != 0 ||
      (rc = removeTunnelDefaults()) != 0 ||
      (rc = removeServerRoutes(server, state)) != 0 ||
      (rc = restoreDefaults(state)) != 0 || (rc = forgetState()) != 0) {
    return rc;
  }
  outLine("[helper] IPv4/IPv6 routing restored successfully");
  return kPathwardenOk;
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

// Turns an effective root identity into a full one and makes the process
// safe to run commands as root. Returns 0 or the exit status.
int elevate() {
  if (setgid(0) != 0) {
    errLine(std::string("[helper] setgid(0) failed: ") + std::strerror(errno));
    return kPathwardenSetgidFailed;
  }
  if (setuid(0) != 0) {
    errLine(std::string("[helper] setuid(0) failed: ") + std::strerror(errno));
    return kPathwardenSetuidFailed;
  }
  writeIdentity("[helper] after elevation ");
  int rc = sanitizeProcess();
  if (rc == 0) {
    shieldSignals();
  }
  return rc;
}

}  // namespace

#ifndef PATHWARDEN_EMBEDDED
// The caller's timers are cleared before any constructor runs, so that none
// fires while the C++ runtime starts up; main clears them once more.
static void clearTimersAtLoad(int /*argc*/, char** /*argv*/, char** /*envp*/) {
  clearIntervalTimers();
}
__attribute__((section(".preinit_array"),
               used)) static void (*const kClearTimersAtLoad)(int,
                                                              char**,
                                                              char**) =
    clearTimersAtLoad;
#endif

// Only std::bad_alloc can leave the entry point; ending the process is the
// right answer to that, so no handler is installed for it.
#ifdef PATHWARDEN_EMBEDDED
int pathwarden_main(int argc, char** argv) {
#else
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
#endif
  // Before anything else: a timer the caller left running would end us at
  // a moment of its choosing.
  clearIntervalTimers();
  // A stack of a few kilobytes would crash us, and then the shell and ip, so
  // it is raised before anything else runs (to 8 MiB, the usual default).
  raiseLimit(RLIMIT_STACK, rlim_t{8} * 1024 * 1024);
  if (!ensureStandardDescriptors()) {
    return kPathwardenUsage;
  }
  writeIdentity("[helper] ");
  if (geteuid() == 0) {
    int rc = elevate();
    if (rc != 0) {
      return rc;
    }
  }

  // With an empty argument vector argv[0] is null and argv[1] already points
  // into the environment, so the count is checked before any element is read.
  // (Newer kernels pass a single empty argv[0] instead.) A missing or empty
  // program name only changes the usage text.
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
    writeUsage("pathwarden");
    return kPathwardenUsage;
  }
  const std::string program = argv[0][0] != '\0' ? argv[0] : "pathwarden";
  if (argc < 3) {
    writeUsage(program);
    return kPathwardenUsage;
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
  return kPathwardenUsage;
}
