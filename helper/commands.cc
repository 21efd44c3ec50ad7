// Running ip and resolvectl, reading the default routes, and resolving the
// VPN server.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

extern char** environ;

#include "pathwarden_internal.h"

namespace pathwarden {

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

}  // namespace pathwarden
