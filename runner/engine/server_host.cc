#include "server_host.h"

namespace {

constexpr char kBlanks[] = " \t\r\n";

// The position of the first character after |at| that is not a blank.
size_t SkipBlanks(const std::string& text, size_t at) {
  const size_t next = text.find_first_not_of(kBlanks, at);
  return next == std::string::npos ? text.size() : next;
}

ServerHostScan Missing(const char* reason) {
  return ServerHostScan{std::string(), reason};
}

}  // namespace

std::string ServerHostScan::LogText() const {
  return "ExtractServerHost: " +
         (missing.empty() ? "selected outbound host=" + host : missing);
}

ServerHostScan FindServerHost(const std::string& config) {
  const size_t vnext = config.find("\"vnext\"");
  if (vnext == std::string::npos) {
    return Missing("vnext not found");
  }
  const std::string key = "\"address\"";
  const size_t address = config.find(key, vnext);
  if (address == std::string::npos) {
    return Missing("address after vnext not found");
  }
  // "address", a colon and a string, blanks between them allowed; anything
  // else (a number, a missing colon) is no address, never the next string.
  const size_t colon = SkipBlanks(config, address + key.size());
  if (colon >= config.size() || config[colon] != ':') {
    return Missing("colon not found");
  }
  const size_t open_quote = SkipBlanks(config, colon + 1);
  if (open_quote >= config.size() || config[open_quote] != '"') {
    return Missing("first quote not found");
  }
  const size_t close_quote = config.find('"', open_quote + 1);
  if (close_quote == std::string::npos) {
    return Missing("second quote not found");
  }
  return ServerHostScan{
      config.substr(open_quote + 1, close_quote - open_quote - 1),
      std::string()};
}
