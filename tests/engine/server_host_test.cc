// The VPN server the engine gives the route helper, found in the core's
// configuration.
#include <gtest/gtest.h>

#include <string>

#include "server_host.h"

namespace {

TEST(ServerHostTest, FirstServerAddress) {
  struct Case {
    const char* config;
    const char* host;
  };
  const Case cases[] = {
      {R"({"outbounds": [{"settings": {"vnext": [{"address": "vpn.example.test",
          "port": 443}]}}]})",
       "vpn.example.test"},
      {R"({"vnext": [{"address": "10.0.0.1"}]})", "10.0.0.1"},
      {"{\"vnext\":[{\"address\"\n\t:\n \"2001:db8::1\"}]}", "2001:db8::1"},
      // Only the first server counts.
      {R"({"vnext": [{"address": "a.test"}, {"address": "b.test"}]})",
       "a.test"},
      // Only the first "vnext" counts, even inside a string value.
      {R"({"remarks": ["vnext"], "x": {"address": "first"}})", "first"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    const ServerHostScan scan = FindServerHost(c.config);
    EXPECT_EQ(c.host, scan.host);
    EXPECT_EQ("", scan.missing);
    EXPECT_EQ(
        std::string("ExtractServerHost: selected outbound host=") + c.host,
        scan.LogText());
  }
}

// Each step at which the scan can stop names itself in the log.
TEST(ServerHostTest, NoAddressIsNoHost) {
  struct Case {
    const char* config;
    const char* missing;
  };
  const Case cases[] = {
      {"", "vnext not found"},
      {R"({"address": "a", "servers": []})", "vnext not found"},
      {R"({"address": "a", "vnext": []})", "address after vnext not found"},
      {R"({"vnext": [{"address"}]})", "colon not found"},
      {R"({"vnext": [{"address"}], "other": "x:y"})", "colon not found"},
      {R"({"vnext": [{"address": "5}]})", "second quote not found"},
      // A number: never the next string, whatever it is.
      {R"({"vnext": [{"address": 5}]})", "first quote not found"},
      {R"({"vnext": [{"address": 5, "port": 1}]})", "first quote not found"},
      {R"({"vnext": [{"address": null, "user": "evil.test"}]})",
       "first quote not found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    const ServerHostScan scan = FindServerHost(c.config);
    EXPECT_EQ("", scan.host);
    EXPECT_EQ(c.missing, scan.missing);
    EXPECT_EQ(std::string("ExtractServerHost: ") + c.missing, scan.LogText());
  }
  // An empty string is an address found, and logged so; the engine then
  // has no host to give the helper.
  const ServerHostScan empty =
      FindServerHost(R"({"vnext":[{"address":"","port":1}]})");
  EXPECT_EQ("", empty.host);
  EXPECT_EQ("", empty.missing);
  EXPECT_EQ("ExtractServerHost: selected outbound host=", empty.LogText());
}

}  // namespace
