// Output lines and the small text functions of the route helper.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <iostream>
#include <regex>
#include <string>
#include <vector>

#include "pathwarden_internal.h"

namespace pathwarden {

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

// inet_pton stops at the first NUL, so a word read from a command's output or
// a file could carry anything after one past the check, and that rest would
// then be written back into a command or a record.
bool parseAddressOf(int family, const std::string& text, unsigned char* bytes) {
  return text.find('\0') == std::string::npos &&
         inet_pton(family, text.c_str(), bytes) == 1;
}

bool isAddressOf(int family, const std::string& text) {
  unsigned char buf[sizeof(struct in6_addr)];
  return parseAddressOf(family, text, buf);
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

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
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

// Interface names and gateways become words of the commands root runs, and
// of the route lines in the state file. The kernel accepts ';', '|', '$',
// '(' and backquotes in interface names, so only a conservative set of
// characters is let through; a leading '-' would make the name an option of
// the command it is given to.
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

}  // namespace pathwarden
