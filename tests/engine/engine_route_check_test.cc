// "connected" only while the machine's own routing sends plain traffic into
// the tunnel. The stand-in core makes a real TUN device quon_vpn0, and the
// stand-in helper points the IPv4 default at it; root then makes a leak
// beside it, as another program or an administrator could:
//
//   sandbox netns:  quon_vpn0 (stand-in core)    default dev quon_vpn0
//                   home0 (veth, its peer home1) 192.0.2.2/24, 2001:db8:1::2/64
//
// A more specific route, a rule, an IPv6 default or a route for the second
// probe's server out of home0 makes CheckTunnel false with the message that
// traffic is not going through the tunnel, whatever the bound probes say.
#include <cstdlib>
#include <string>

#include "engine_fixture.h"
#include "route_lookup.h"

namespace engine_test {
namespace {

constexpr char kLeak[] =
    "Linux tunnel validation failed: traffic is not going through the "
    "tunnel: ";

void Shell(const std::string& command) {
  ASSERT_EQ(0, std::system(command.c_str())) << command;
}

class RouteCheckTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    Shell(
        "ip link add home0 type veth peer name home1 && ip link set home1 up "
        "&& ip link set home0 up && "
        "ip addr add 192.0.2.2/24 dev home0 && "
        "ip -6 addr add 2001:db8:1::2/64 dev home0 nodad");
    NewEngine();
    StartOk();
  }
};

TEST_F(RouteCheckTest, KernelIsAskedWhereAPlainPacketGoes) {
  RouteLookup route = LookupRoute("1.1.1.1");
  EXPECT_EQ(RouteLookup::Result::kDevice, route.result);
  EXPECT_EQ("quon_vpn0", route.device);
  route = LookupRoute("192.0.2.9");
  EXPECT_EQ("home0", route.device);
  // No IPv6 default here at all.
  EXPECT_EQ(RouteLookup::Result::kNoRoute,
            LookupRoute("2606:4700:4700::1111").result);
  EXPECT_EQ(RouteLookup::Result::kFailed, LookupRoute("not-an-ip").result);
  Shell("ip route add blackhole 198.51.100.0/24");
  EXPECT_EQ(RouteLookup::Result::kNoRoute, LookupRoute("198.51.100.1").result);
}

TEST_F(RouteCheckTest, LeaksBesideTheTunnelMakeTheCheckFalse) {
  ClearRecords();
  EXPECT_TRUE(engine().CheckTunnel()) << engine().LastError();

  const std::string via_home =
      std::string(kLeak) +
      "the system sends packets for 1.1.1.1 out of home0, not quon_vpn0";
  struct Case {
    const char* name;
    const char* leak;
    const char* undo;
    std::string message;
  };
  const Case cases[] = {
      {"a more specific route", "ip route add 1.1.1.1/32 via 192.0.2.1",
       "ip route del 1.1.1.1/32", via_home},
      {"a rule",
       "ip route add default via 192.0.2.1 table 100 && "
       "ip rule add to 1.1.1.0/24 lookup 100 pref 100",
       "ip rule del pref 100 && ip route flush table 100", via_home},
      {"an IPv6 default out of the home link",
       "ip -6 route add default via 2001:db8:1::1 dev home0",
       "ip -6 route del default via 2001:db8:1::1 dev home0",
       std::string(kLeak) + "the system sends packets for "
                            "2606:4700:4700::1111 out of home0, not "
                            "quon_vpn0"},
      {"no IPv4 route at all", "ip route del default dev quon_vpn0",
       "ip route add default dev quon_vpn0",
       std::string(kLeak) +
           "the system has no route to 1.1.1.1 (Network is unreachable)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Shell(c.leak);
    ClearRecords();
    EXPECT_FALSE(engine().CheckTunnel());
    EXPECT_EQ(c.message, engine().LastError());
    EXPECT_EQ("", engine().LastResponse());
    EXPECT_TRUE(CurlCalls().empty()) << "probed although traffic leaks";
    Shell(c.undo);
    EXPECT_TRUE(engine().CheckTunnel()) << engine().LastError();
    EXPECT_EQ("Linux tunnel validation succeeded via cloudflare-ip",
              engine().LastResponse());
  }
}

TEST_F(RouteCheckTest, SecondProbesServerMustBeRoutedThroughTheTunnelToo) {
  // The second probe's name stands for an address of this sandbox's own.
  WriteFile("/tmp/engine_bench/hosts", "203.0.113.7 cp.cloudflare.com\n");
  Shell("mount --bind /tmp/engine_bench/hosts /etc/hosts");
  Shell("ip route add 203.0.113.7/32 via 192.0.2.1");
  ClearRecords();
  SetCurlMode(1, "exit:7");
  SetCurlMode(2, "exit:0");
  EXPECT_FALSE(engine().CheckTunnel());
  EXPECT_EQ(std::string(kLeak) +
                "the system sends packets for 203.0.113.7 "
                "out of home0, not quon_vpn0",
            engine().LastError());
  EXPECT_EQ(2u, CurlCalls().size());

  Shell("ip route del 203.0.113.7/32");
  ClearRecords();
  SetCurlMode(1, "exit:7");
  SetCurlMode(2, "exit:0");
  EXPECT_TRUE(engine().CheckTunnel()) << engine().LastError();
  EXPECT_EQ("Linux tunnel validation succeeded via cloudflare-http",
            engine().LastResponse());
  Shell("umount /etc/hosts");
}

}  // namespace
}  // namespace engine_test
