#include "standins/xray/lab_config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace lab {
namespace {

// The shape the runner hands over: the tun inbound is not the first inbound
// and the server is not in the first outbound.
constexpr char kGood[] = R"({
  "inbounds": [
    {"protocol": "socks", "port": 10808},
    {"protocol": "tun", "settings": {"name": "quon_vpn0", "MTU": 1400}}
  ],
  "outbounds": [
    {"protocol": "freedom", "settings": {}},
    {"protocol": "vless", "settings": {"vnext": [
      {"address": "vpn.example.test", "port": 443},
      {"address": "second.example.test", "port": 444}]}}
  ],
  "labStandIn": {"tunAddresses": ["198.18.0.2/30", "2001:db8:ff::2/64"],
                 "ignoreSigterm": true, "exitAfterMs": 1500, "exitCode": 3}
})";

TEST(ClientConfig, ReadsWhatTheCoreActsOn) {
  ClientConfig config;
  std::string error;
  ASSERT_TRUE(ParseClientConfig(kGood, &config, &error)) << error;
  EXPECT_EQ(config.tun_name, "quon_vpn0");
  EXPECT_EQ(config.mtu, 1400);
  EXPECT_EQ(config.server_host, "vpn.example.test");
  EXPECT_EQ(config.server_port, 443);
  ASSERT_EQ(config.tun_addresses.size(), 2u);
  EXPECT_EQ(config.tun_addresses[0].family, AF_INET);
  EXPECT_EQ(config.tun_addresses[0].prefix_len, 30);
  EXPECT_EQ(config.tun_addresses[1].family, AF_INET6);
  EXPECT_EQ(config.tun_addresses[1].prefix_len, 64);
  EXPECT_FALSE(config.reject_config.has_value());
  EXPECT_FALSE(config.no_tun);
  EXPECT_TRUE(config.ignore_sigterm);
  EXPECT_EQ(config.exit_after_ms.value_or(-1), 1500);
  EXPECT_EQ(config.exit_code, 3);
}

TEST(ClientConfig, DefaultsWithoutLabKeys) {
  ClientConfig config;
  std::string error;
  ASSERT_TRUE(ParseClientConfig(
      R"({"inbounds":[{"protocol":"tun","settings":{"name":"t0"}}],
          "outbounds":[{"settings":{"vnext":[{"address":"192.0.2.9","port":1}]}}]})",
      &config, &error))
      << error;
  EXPECT_EQ(config.mtu, 1500);
  EXPECT_TRUE(config.tun_addresses.empty());
  EXPECT_FALSE(config.exit_after_ms.has_value());
  EXPECT_FALSE(config.ignore_sigterm);
  EXPECT_EQ(config.exit_code, 0);
}

// A configuration told to be rejected is, whatever else it lacks.
TEST(ClientConfig, RejectWinsOverEverythingElse) {
  ClientConfig config;
  std::string error;
  ASSERT_TRUE(ParseClientConfig(R"({"labStandIn":{"rejectConfig":"no"}})",
                                &config, &error))
      << error;
  EXPECT_EQ(config.reject_config.value_or(""), "no");
}

struct BadConfig {
  const char* what;
  const char* text;
  const char* error;  // a part of the message
};

constexpr char kTun[] =
    R"("inbounds":[{"protocol":"tun","settings":{"name":"quon_vpn0"}}])";
constexpr char kServer[] =
    R"("outbounds":[{"settings":{"vnext":[{"address":"h","port":7000}]}}])";

std::string With(const std::string& inbounds,
                 const std::string& outbounds,
                 const std::string& lab = "") {
  std::string text = "{" + inbounds + "," + outbounds;
  if (!lab.empty()) {
    text += R"(,"labStandIn":)" + lab;
  }
  return text + "}";
}

TEST(ClientConfig, RefusesWhatItCannotRun) {
  const std::string cases[][3] = {
      {"not JSON", "{", "not valid JSON"},
      {"array at the top", "[]", "must be a JSON object"},
      {"no inbounds", std::string("{") + kServer + "}",
       R"(no inbound with "protocol": "tun")"},
      {"inbounds not an array", With(R"("inbounds":{})", kServer),
       R"("inbounds" must be an array)"},
      {"tun without settings",
       With(R"("inbounds":[{"protocol":"tun"}])", kServer),
       R"(no "settings" object)"},
      {"tun name missing",
       With(R"("inbounds":[{"protocol":"tun","settings":{}}])", kServer),
       "must be an interface name"},
      {"tun name too long",
       With(
           R"("inbounds":[{"protocol":"tun","settings":{"name":"a234567890123456"}}])",
           kServer),
       "must be an interface name"},
      {"tun name with a slash",
       With(R"("inbounds":[{"protocol":"tun","settings":{"name":"a/b"}}])",
            kServer),
       "must be an interface name"},
      {"MTU too small",
       With(
           R"("inbounds":[{"protocol":"tun","settings":{"name":"t","MTU":100}}])",
           kServer),
       "MTU"},
      {"MTU as text",
       With(
           R"("inbounds":[{"protocol":"tun","settings":{"name":"t","MTU":"1500"}}])",
           kServer),
       "MTU"},
      {"no vnext", With(kTun, R"("outbounds":[{"protocol":"freedom"}])"),
       "no outbound with a server"},
      {"empty vnext", With(kTun, R"("outbounds":[{"settings":{"vnext":[]}}])"),
       "no outbound with a server"},
      {"empty address",
       With(
           kTun,
           R"("outbounds":[{"settings":{"vnext":[{"address":"","port":1}]}}])"),
       "must be a non-empty string"},
      {"port 0",
       With(
           kTun,
           R"("outbounds":[{"settings":{"vnext":[{"address":"h","port":0}]}}])"),
       "port"},
      {"port too big",
       With(
           kTun,
           R"("outbounds":[{"settings":{"vnext":[{"address":"h","port":65536}]}}])"),
       "port"},
      {"port fractional",
       With(
           kTun,
           R"("outbounds":[{"settings":{"vnext":[{"address":"h","port":7000.5}]}}])"),
       "port"},
      {"lab keys not an object", With(kTun, kServer, "[]"),
       "must be an object"},
      {"misspelt lab key", With(kTun, kServer, R"({"notun":true})"),
       R"(unknown key "labStandIn"."notun")"},
      {"noTun as text", With(kTun, kServer, R"({"noTun":"yes"})"),
       "must be true or false"},
      {"negative exitAfterMs", With(kTun, kServer, R"({"exitAfterMs":-1})"),
       "exitAfterMs"},
      {"exitCode 256", With(kTun, kServer, R"({"exitCode":256})"), "exitCode"},
      {"rejectConfig not text", With(kTun, kServer, R"({"rejectConfig":1})"),
       "rejectConfig"},
      {"address without prefix",
       With(kTun, kServer, R"({"tunAddresses":["198.18.0.2"]})"),
       "needs a prefix length"},
      {"address not a string", With(kTun, kServer, R"({"tunAddresses":[1]})"),
       "entries must be strings"},
  };
  for (const auto& c : cases) {
    ClientConfig config;
    std::string error;
    EXPECT_FALSE(ParseClientConfig(c[1], &config, &error)) << c[0];
    EXPECT_NE(error.find(c[2]), std::string::npos)
        << c[0] << ": got \"" << error << "\"";
  }
}

TEST(InterfaceAddress, ParsesBothFamiliesAndBoundsThePrefix) {
  InterfaceAddress address;
  std::string error;
  ASSERT_TRUE(ParseInterfaceAddress("198.18.0.2/30", &address, &error));
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.v4, text, sizeof(text));
  EXPECT_STREQ(text, "198.18.0.2");
  EXPECT_EQ(address.text, "198.18.0.2/30");
  ASSERT_TRUE(ParseInterfaceAddress("2001:db8::1/128", &address, &error));
  EXPECT_EQ(address.family, AF_INET6);
  EXPECT_EQ(address.prefix_len, 128);
  ASSERT_TRUE(ParseInterfaceAddress("0.0.0.0/0", &address, &error));

  for (const char* bad : {"198.18.0.2/33", "2001:db8::1/129", "198.18.0.2/",
                          "198.18.0.2/-1", "198.18.0.2/ 3", "host/24",
                          "198.18.0/24", "/24", "198.18.0.2/99999999999999"}) {
    EXPECT_FALSE(ParseInterfaceAddress(bad, &address, &error)) << bad;
  }
}

TEST(HostPort, SplitsLiteralsNamesAndBracketedIpv6) {
  const struct {
    const char* text;
    const char* host;
    uint16_t port;
  } good[] = {
      {"198.51.100.10:7000", "198.51.100.10", 7000},
      {"[::]:7000", "::", 7000},
      {"[2001:db8:2::10]:1", "2001:db8:2::10", 1},
      {"vpn.lab.test:65535", "vpn.lab.test", 65535},
  };
  for (const auto& g : good) {
    HostPort out;
    std::string error;
    ASSERT_TRUE(ParseHostPort(g.text, &out, &error)) << g.text << ": " << error;
    EXPECT_EQ(out.host, g.host);
    EXPECT_EQ(out.port, g.port);
  }
  for (const char* bad :
       {"7000", ":7000", "host:", "host:0", "host:65536", "2001:db8::1:7000",
        "[::1]7000", "[::1]:", "host:70a0", "[::1:7000"}) {
    HostPort out;
    std::string error;
    EXPECT_FALSE(ParseHostPort(bad, &out, &error)) << bad;
  }
}

}  // namespace
}  // namespace lab
