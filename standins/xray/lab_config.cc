#include "standins/xray/lab_config.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <nlohmann/json.hpp>

namespace lab {

namespace {

using nlohmann::json;

// Digits only, no sign, no spaces, at most |max|.
bool ParseBoundedNumber(const std::string& text, int64_t max, int64_t* out) {
  if (text.empty() || text.size() > 12) {
    return false;
  }
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + (c - '0');
  }
  if (value > max) {
    return false;
  }
  *out = value;
  return true;
}

// An integer JSON value within [min, max]; floats and strings are refused so
// that a typo does not silently turn into a different number.
bool JsonInteger(const json& value, int64_t min, int64_t max, int64_t* out) {
  if (!value.is_number_integer()) {
    return false;
  }
  int64_t v = 0;
  if (value.is_number_unsigned()) {
    uint64_t u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(max)) {
      return false;
    }
    v = static_cast<int64_t>(u);
  } else {
    v = value.get<int64_t>();
  }
  if (v < min || v > max) {
    return false;
  }
  *out = v;
  return true;
}

bool ParseLabKeys(const json& root, ClientConfig* out, std::string* error) {
  auto it = root.find("labStandIn");
  if (it == root.end()) {
    return true;
  }
  const json& lab = *it;
  if (!lab.is_object()) {
    *error = "\"labStandIn\" must be an object";
    return false;
  }
  for (const auto& [key, value] : lab.items()) {
    if (key == "rejectConfig") {
      if (!value.is_string()) {
        *error = "\"labStandIn\".\"rejectConfig\" must be a string";
        return false;
      }
      out->reject_config = value.get<std::string>();
    } else if (key == "noTun" || key == "ignoreSigterm") {
      if (!value.is_boolean()) {
        *error = "\"labStandIn\".\"" + key + "\" must be true or false";
        return false;
      }
      (key == "noTun" ? out->no_tun : out->ignore_sigterm) = value.get<bool>();
    } else if (key == "exitAfterMs") {
      int64_t ms = 0;
      if (!JsonInteger(value, 0, kMaxExitAfterMs, &ms)) {
        *error =
            "\"labStandIn\".\"exitAfterMs\" must be an integer from 0 to " +
            std::to_string(kMaxExitAfterMs);
        return false;
      }
      out->exit_after_ms = ms;
    } else if (key == "exitCode") {
      int64_t code = 0;
      if (!JsonInteger(value, 0, 255, &code)) {
        *error = "\"labStandIn\".\"exitCode\" must be an integer from 0 to 255";
        return false;
      }
      out->exit_code = static_cast<int>(code);
    } else if (key == "tunAddresses") {
      if (!value.is_array()) {
        *error = "\"labStandIn\".\"tunAddresses\" must be an array of strings";
        return false;
      }
      for (const json& entry : value) {
        InterfaceAddress address;
        std::string why;
        if (!entry.is_string() ||
            !ParseInterfaceAddress(entry.get<std::string>(), &address, &why)) {
          *error = "\"labStandIn\".\"tunAddresses\": " +
                   (why.empty() ? std::string("entries must be strings") : why);
          return false;
        }
        out->tun_addresses.push_back(address);
      }
    } else {
      // A misspelt key would otherwise quietly leave a test without the
      // misbehaviour it asked for.
      *error = "unknown key \"labStandIn\".\"" + key + "\"";
      return false;
    }
  }
  return true;
}

bool ParseTunInbound(const json& root, ClientConfig* out, std::string* error) {
  auto inbounds = root.find("inbounds");
  if (inbounds != root.end() && !inbounds->is_array()) {
    *error = "\"inbounds\" must be an array";
    return false;
  }
  const json* tun = nullptr;
  if (inbounds != root.end()) {
    for (const json& inbound : *inbounds) {
      auto protocol =
          inbound.is_object() ? inbound.find("protocol") : inbound.end();
      if (inbound.is_object() && protocol != inbound.end() &&
          *protocol == "tun") {
        tun = &inbound;
        break;
      }
    }
  }
  if (tun == nullptr) {
    *error = "no inbound with \"protocol\": \"tun\"";
    return false;
  }
  auto settings = tun->find("settings");
  if (settings == tun->end() || !settings->is_object()) {
    *error = "the tun inbound has no \"settings\" object";
    return false;
  }
  auto name = settings->find("name");
  if (name == settings->end() || !name->is_string() ||
      !IsValidInterfaceName(name->get<std::string>())) {
    *error =
        "the tun inbound's \"settings\".\"name\" must be an interface name "
        "(1 to 15 characters, no '/', ':' or white space)";
    return false;
  }
  out->tun_name = name->get<std::string>();
  auto mtu = settings->find("MTU");
  if (mtu != settings->end()) {
    int64_t value = 0;
    if (!JsonInteger(*mtu, kMinMtu, kMaxMtu, &value)) {
      *error =
          "the tun inbound's \"settings\".\"MTU\" must be an integer from " +
          std::to_string(kMinMtu) + " to " + std::to_string(kMaxMtu);
      return false;
    }
    out->mtu = static_cast<int>(value);
  }
  return true;
}

bool ParseServer(const json& root, ClientConfig* out, std::string* error) {
  auto outbounds = root.find("outbounds");
  if (outbounds != root.end() && !outbounds->is_array()) {
    *error = "\"outbounds\" must be an array";
    return false;
  }
  const json* server = nullptr;
  if (outbounds != root.end()) {
    for (const json& outbound : *outbounds) {
      if (!outbound.is_object()) {
        continue;
      }
      auto settings = outbound.find("settings");
      if (settings == outbound.end() || !settings->is_object()) {
        continue;
      }
      auto vnext = settings->find("vnext");
      if (vnext != settings->end() && vnext->is_array() && !vnext->empty()) {
        server = &(*vnext)[0];
        break;
      }
    }
  }
  if (server == nullptr || !server->is_object()) {
    *error = "no outbound with a server in \"settings\".\"vnext\"[0]";
    return false;
  }
  auto address = server->find("address");
  if (address == server->end() || !address->is_string() ||
      address->get<std::string>().empty()) {
    *error = "\"vnext\"[0].\"address\" must be a non-empty string";
    return false;
  }
  int64_t port = 0;
  auto port_value = server->find("port");
  if (port_value == server->end() ||
      !JsonInteger(*port_value, 1, 65535, &port)) {
    *error = "\"vnext\"[0].\"port\" must be an integer from 1 to 65535";
    return false;
  }
  out->server_host = address->get<std::string>();
  out->server_port = static_cast<uint16_t>(port);
  return true;
}

}  // namespace

bool ParseInterfaceAddress(const std::string& text,
                           InterfaceAddress* out,
                           std::string* error) {
  size_t slash = text.find('/');
  if (slash == std::string::npos) {
    *error = "address " + text + " needs a prefix length, e.g. 198.18.0.2/30";
    return false;
  }
  std::string host = text.substr(0, slash);
  std::string prefix = text.substr(slash + 1);
  InterfaceAddress result;
  int max_prefix = 0;
  // inet_pton would stop at an embedded NUL and pass what precedes it.
  const bool whole = host.find('\0') == std::string::npos;
  if (whole && inet_pton(AF_INET, host.c_str(), &result.v4) == 1) {
    result.family = AF_INET;
    max_prefix = 32;
  } else if (whole && inet_pton(AF_INET6, host.c_str(), &result.v6) == 1) {
    result.family = AF_INET6;
    max_prefix = 128;
  } else {
    *error = "address " + text + " is not an IPv4 or IPv6 literal";
    return false;
  }
  int64_t len = 0;
  if (!ParseBoundedNumber(prefix, max_prefix, &len)) {
    *error = "address " + text + " has a prefix length outside 0 to " +
             std::to_string(max_prefix);
    return false;
  }
  result.prefix_len = static_cast<int>(len);
  result.text = text;
  *out = result;
  return true;
}

bool ParseHostPort(const std::string& text, HostPort* out, std::string* error) {
  std::string host;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() ||
        text[close + 1] != ':') {
      *error = "expected [IPV6]:PORT, got " + text;
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos ||
        text.find(':') != colon) {  // a bare IPv6 literal is ambiguous
      *error = "expected HOST:PORT or [IPV6]:PORT, got " + text;
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  int64_t value = 0;
  if (host.empty() || !ParseBoundedNumber(port, 65535, &value) || value == 0) {
    *error = "expected HOST:PORT with a port from 1 to 65535, got " + text;
    return false;
  }
  out->host = host;
  out->port = static_cast<uint16_t>(value);
  return true;
}

bool ParseMtu(const std::string& text, int* out, std::string* error) {
  int64_t value = 0;
  if (!ParseBoundedNumber(text, kMaxMtu, &value) || value < kMinMtu) {
    *error = "MTU must be a number from " + std::to_string(kMinMtu) + " to " +
             std::to_string(kMaxMtu) + ", got " + text;
    return false;
  }
  *out = static_cast<int>(value);
  return true;
}

bool IsValidInterfaceName(const std::string& name) {
  if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..") {
    return false;
  }
  for (char c : name) {
    if (c == '/' || c == ':' || c <= ' ' || c == 0x7f) {
      return false;
    }
  }
  return true;
}

bool ParseClientConfig(const std::string& text,
                       ClientConfig* out,
                       std::string* error) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::parse_error& e) {
    *error = std::string("not valid JSON: ") + e.what();
    return false;
  }
  if (!root.is_object()) {
    *error = "the top level must be a JSON object";
    return false;
  }
  ClientConfig result;
  if (!ParseLabKeys(root, &result, error)) {
    return false;
  }
  // A configuration told to be rejected is rejected whatever else it holds.
  if (result.reject_config) {
    *out = result;
    return true;
  }
  if (!ParseTunInbound(root, &result, error) ||
      !ParseServer(root, &result, error)) {
    return false;
  }
  *out = result;
  return true;
}

}  // namespace lab
