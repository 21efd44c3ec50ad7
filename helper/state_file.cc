// The route state file: what start saves for stop, read back with the same
// checks as the routes ip prints.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/fd_io.h"
#include "pathwarden_internal.h"

namespace pathwarden {

// ---------------------------------------------------------------------------
// Route state file.
//
// The eight legacy lines come first, as the first helper wrote them, so
// that the runner can still find the server after a crash. Then the version
// line, who owns the tunnel (owner.cc), and one "dns_default_route=" line
// per link whose DNS default-route flag start switched off, with the value
// it had. The tunnel's table and rules are this version's fixed numbers, so
// the record needs no line for them. A record of version 2 also holds the
// "ipv4_route=" / "ipv6_route=" lines of the main table's defaults that its
// helper took away (legacy_record.cc gives them back).

constexpr char kVersionKey[] = "version=";

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
  text += kVersionKey + std::to_string(kStateVersion) + "\n";
  if (state.owner.known) {
    text += "owner_uid=" + std::to_string(state.owner.uid) + "\n";
    text += "owner_pid=" + std::to_string(state.owner.pid) + "\n";
    text += "owner_start_time=" + state.owner.start_time + "\n";
    text += "session=" + state.owner.session + "\n";
  }
  for (const DnsLink& link : state.dns) {
    text += "dns_default_route=" + link.iface + " " + link.flag + "\n";
  }
  return text;
}

// A file from an older helper has only the legacy lines: its routes are the
// ones that helper would have put back, and its DNS link the IPv4 one.
static void fillFromLegacyLines(SavedRouteState* state) {
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
  for (const std::string& raw : splitLines(text)) {
    const std::string line = trim(raw);

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
    } else if (startsWith(line, "owner_uid=")) {
      const std::string value = line.substr(10);
      state.owner.known = isNumber(value, 10);
      state.owner.uid = state.owner.known ? std::stoul(value) : 0;
    } else if (startsWith(line, "owner_pid=")) {
      const std::string value = line.substr(10);
      state.owner.pid = isNumber(value, 9) ? std::stol(value) : 0;
    } else if (startsWith(line, "owner_start_time=")) {
      const std::string value = line.substr(17);
      state.owner.start_time = isNumber(value, 20) ? value : std::string();
    } else if (startsWith(line, "session=")) {
      const std::string value = line.substr(8);
      state.owner.session = isSessionToken(value) ? value : std::string();
    } else if (startsWith(line, kVersionKey) && isNumber(line.substr(8), 9)) {
      // A later helper's record is read as this version's: its own
      // routing, never main table routes to put back.
      const int version = std::stoi(line.substr(8));
      state.version = version < 2 ? 0 : std::min(version, kStateVersion);
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
  if (state.version != 2) {
    // Only a version 2 record lists main table routes to give back.
    state.routes4.clear();
    state.routes6.clear();
  }
  if (state.version == 0) {
    state.routes4.clear();
    state.routes6.clear();
    state.dns.clear();
    fillFromLegacyLines(&state);
  }
  return state;
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
    UniqueFd fd(open(tmp.c_str(),
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
    bool ok = fchmod(fd.get(), 0644) == 0 && WriteAll(fd.get(), text) &&
              fsync(fd.get()) == 0;
    ok = fd.Close() && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
      (void)unlink(tmp.c_str());
      return false;
    }
    std::string dir = path.substr(0, path.rfind('/') + 1);
    UniqueFd dir_fd(open(dir.empty() ? "." : dir.c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd.get() >= 0) {
      (void)fsync(dir_fd.get());
    }
    return true;
  }
  return false;
}

// Reads the state file back. Its values reach root command lines, so only a
// regular file that root owns and that nobody else can write is trusted.
LoadResult loadRouteState(const std::string& path, SavedRouteState* state) {
  *state = SavedRouteState();
  // Non-blocking, so that a FIFO planted there is refused, not waited on.
  UniqueFd fd(
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
  if (static_cast<size_t>(st.st_size) > kRouteStateMaxBytes) {
    errLine("[helper] refusing route state file " + path + ": too large");
    return LoadResult::kRefused;
  }
  std::string text;
  if (!ReadUpTo(fd.get(), kRouteStateMaxBytes, &text)) {
    errLine("[helper] refusing route state file " + path +
            (errno == EFBIG
                 ? std::string(": too large")
                 : ": read failed: " + std::string(std::strerror(errno))));
    return LoadResult::kRefused;
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

}  // namespace pathwarden
