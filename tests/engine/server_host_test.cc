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
    EXPECT_EQ(c.host, FindServerHost(c.config));
  }
}

TEST(ServerHostTest, NoAddressIsNoHost) {
  const char* const configs[] = {
      "",
      R"({"address": "a", "servers": []})",
      R"({"address": "a", "vnext": []})",
      R"({"vnext":[{"address":"","port":1}]})",
      R"({"vnext": [{"address"}]})",
      R"({"vnext": [{"address"}], "other": "x:y"})",
      R"({"vnext": [{"address": 5}]})",
      R"({"vnext": [{"address": "5}]})",
      // A number: never the next string, whatever it is.
      R"({"vnext": [{"address": 5, "port": 1}]})",
      R"({"vnext": [{"address": null, "user": "evil.test"}]})",
  };
  for (const char* config : configs) {
    SCOPED_TRACE(config);
    EXPECT_EQ("", FindServerHost(config));
  }
}

}  // namespace
