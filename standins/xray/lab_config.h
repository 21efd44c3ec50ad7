// The parts of an Xray JSON configuration that the lab core acts on, and the
// small text formats of its command line.
#ifndef QUON_LAB_LAB_CONFIG_H_
#define QUON_LAB_LAB_CONFIG_H_

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lab {

// One interface address with its prefix, e.g. 198.18.0.2/30.
struct InterfaceAddress {
  int family = AF_UNSPEC;  // AF_INET or AF_INET6
  in_addr v4{};
  in6_addr v6{};
  int prefix_len = 0;
  std::string text;  // as written, for log lines
};

// "HOST:PORT", with brackets around an IPv6 literal: "[::]:7000".
struct HostPort {
  std::string host;
  uint16_t port = 0;
};

// What the client mode ("xray run -config PATH") takes from the file.
struct ClientConfig {
  // The first inbound with "protocol": "tun".
  std::string tun_name;
  int mtu = 1500;
  // "settings"."vnext"[0] of the first outbound that has one.
  std::string server_host;
  uint16_t server_port = 0;

  // The lab's own keys, in the top-level object "labStandIn".
  std::vector<InterfaceAddress> tun_addresses;
  std::optional<std::string> reject_config;
  bool no_tun = false;
  bool ignore_sigterm = false;
  std::optional<int64_t> exit_after_ms;
  int exit_code = 0;
};

constexpr int kMinMtu = 576;
constexpr int kMaxMtu = 65535;
constexpr int64_t kMaxExitAfterMs = 24LL * 60 * 60 * 1000;

// Each returns false and sets |error| (a text fit for the log) when the
// input is not acceptable; |out| is then unspecified.
bool ParseInterfaceAddress(const std::string& text,
                           InterfaceAddress* out,
                           std::string* error);
bool ParseHostPort(const std::string& text, HostPort* out, std::string* error);
bool ParseMtu(const std::string& text, int* out, std::string* error);
bool IsValidInterfaceName(const std::string& name);
bool ParseClientConfig(const std::string& text,
                       ClientConfig* out,
                       std::string* error);

}  // namespace lab

#endif  // QUON_LAB_LAB_CONFIG_H_
