// Unit tests of the route helper's text handling, route words, command
// runner and state file, against the helper's own library.
#include "pathwarden_internal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace {

using namespace pathwarden;  // NOLINT(google-build-using-namespace)

TEST(TextHelpers, TrimJoinSplit) {
  EXPECT_EQ(trim(""), "");
  EXPECT_EQ(trim(" \t\r\n \n"), "");
  EXPECT_EQ(trim("  up\n"), "up");
  EXPECT_EQ(trim("\ta  b\r\n"), "a  b");
  EXPECT_EQ(trim("x"), "x");

  EXPECT_EQ(joinCsv({}), "");
  EXPECT_EQ(joinCsv({"192.0.2.1"}), "192.0.2.1");
  EXPECT_EQ(joinCsv({"192.0.2.1", "2001:db8::1"}), "192.0.2.1,2001:db8::1");

  using List = std::vector<std::string>;
  EXPECT_EQ(splitCsv(""), List());
  EXPECT_EQ(splitCsv(","), List());
  EXPECT_EQ(splitCsv(" a , ,b,,c ,"), (List{"a", "b", "c"}));
  EXPECT_EQ(splitCsv("one"), List{"one"});
}

TEST(RunCommand, StatusesAndOutput) {
  using Args = std::vector<std::string>;
  int status = -1;
  // Blanks only separate words: no shell reads the line.
  EXPECT_EQ(runCommand("echo  up", &status), "up");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(runCommand("echo $(id) ; `id` 'a b'", &status),
            "$(id) ; `id` 'a b'");

  // Standard error is captured beside standard output.
  EXPECT_EQ(runArgv(Args{"sh", "-c", "echo broken >&2; exit 2"}, &status),
            "broken");
  EXPECT_EQ(status, 2);

  status = 0;
  EXPECT_EQ(runArgv(Args{"sh", "-c", "kill -KILL $$"}, &status), "");
  EXPECT_EQ(status, -1);

  status = 0;
  EXPECT_EQ(runCommand("no-such-program-here", &status), "");
  EXPECT_EQ(status, -1);

  // One line far longer than the 511 bytes of one read comes back whole.
  status = -1;
  std::string line =
      runArgv(Args{"sh", "-c", "head -c 2000 /dev/zero | tr '\\0' x"}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(line, std::string(2000, 'x'));

  // A null status pointer is allowed, and so is an empty command.
  EXPECT_EQ(runCommand("echo fine", nullptr), "fine");
  EXPECT_EQ(runCommand("  ", &status), "");
  EXPECT_EQ(status, -1);
}

// Whether process |pid| is gone or a zombie (its parent, the killed shell,
// is not there to reap it) within |ms| milliseconds.
bool endsWithin(const std::string& pid, long ms) {
  const long long end = monotonicMs() + ms;
  do {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)),
                     std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos || paren + 2 >= text.size() ||
        text[paren + 2] == 'Z' || text[paren + 2] == 'X') {
      return true;
    }
    usleep(10000);
  } while (monotonicMs() < end);
  return false;
}

// Commands end by the earlier of their own limit and the run's deadline,
// killed together with whatever they started; a command whose time is
// already up is not started. The children sleep far longer than any limit,
// so a runner that waits for them (or for the pipe they keep open) fails
// the time bound.
TEST(RunCommand, TimeLimits) {
  struct Case {
    const char* name;
    long deadline_ms;  // < 0: none
    long per_command_ms;
    const char* script;
    int status;
    long min_ms;
    long max_ms;
    const char* output;
  };
  const Case cases[] = {
      {"own limit", -1, 300, "echo begun; sleep 30", kCommandTimedOut, 280, 900,
       "begun"},
      {"deadline before own limit", 300, 5000, "sleep 30", kCommandTimedOut,
       280, 900, ""},
      {"child keeps the pipe open", -1, 300, "sleep 30 & echo $! >&2; wait",
       kCommandTimedOut, 280, 900, nullptr},
      {"deadline already passed", 0, 5000, "echo ran", kCommandTimedOut, 0, 100,
       ""},
      {"within its limit", 5000, 5000, "echo fast; exit 3", 3, 0, 900, "fast"},
      // Its child holds the output pipe: the end of the command itself is
      // what counts.
      {"ended, child holds the pipe", -1, 3000, "sleep 2 & echo parent", 0, 0,
       900, "parent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    limitCommands(c.deadline_ms < 0 ? Deadline() : Deadline::in(c.deadline_ms),
                  c.per_command_ms);
    int status = -1;
    const long long begin = monotonicMs();
    const std::string output =
        runArgv(std::vector<std::string>{"sh", "-c", c.script}, &status);
    const long long took = monotonicMs() - begin;
    EXPECT_EQ(status, c.status);
    EXPECT_GE(took, c.min_ms);
    EXPECT_LE(took, c.max_ms);
    EXPECT_EQ(commandsRanOutOfTime(), c.status == kCommandTimedOut);
    if (c.output != nullptr) {
      EXPECT_EQ(output, c.output);
    } else {
      // The child the command started went with it.
      EXPECT_TRUE(endsWithin(output, 500))
          << "child " << output << " still runs";
    }
  }
  limitCommands(Deadline(), -1);
  EXPECT_FALSE(commandsRanOutOfTime());
}

TEST(Deadline, CappedAndRemaining) {
  const Deadline none;
  EXPECT_FALSE(none.bounded());
  EXPECT_EQ(none.remainingMs(), -1);
  EXPECT_FALSE(none.passed());
  EXPECT_FALSE(none.capped(-1).bounded());
  EXPECT_LE(none.capped(500).remainingMs(), 500);
  EXPECT_GT(none.capped(500).remainingMs(), 400);

  const Deadline soon = Deadline::in(200);
  EXPECT_LE(soon.capped(5000).remainingMs(), 200);
  EXPECT_LE(soon.capped(50).remainingMs(), 50);
  EXPECT_TRUE(Deadline::in(0).passed());
  EXPECT_TRUE(Deadline::in(-5).passed());
}

TEST(RunOk, ReportsFailuresAndHonoursRequired) {
  testing::internal::CaptureStderr();
  EXPECT_TRUE(runOk("true", true));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  testing::internal::CaptureStderr();
  EXPECT_FALSE(runOk("ls /no/such/device", true));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("[helper] command failed: ls /no/such/device\n", 0), 0u)
      << err;
  EXPECT_NE(err.find("/no/such/device", 40), std::string::npos) << err;

  testing::internal::CaptureStderr();
  EXPECT_TRUE(runOk("false", false));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[helper] command failed: false\n");
}

struct RouteCase {
  const char* name;
  int family;
  const char* output;  // of "ip route show default"
  bool ok;
  // The routes as they are put back, one per line; then the legacy summary.
  const char* restored;
  const char* iface;
  const char* gateway;
};

TEST(DefaultRouteParsing, EveryRouteOfIpOutput) {
  const RouteCase cases[] = {
      {"DHCP home", AF_INET,
       "default via 192.168.1.1 dev wlp3s0 proto dhcp src 192.168.1.5 "
       "metric 600 \n",
       true,
       "default proto dhcp src 192.168.1.5 metric 600 via 192.168.1.1 "
       "dev wlp3s0",
       "wlp3s0", "192.168.1.1"},
      {"router advertisement", AF_INET6,
       "default via fe80::1 dev wlp3s0 proto ra metric 600 expires 1798sec "
       "pref medium",
       true, "default proto ra metric 600 pref medium via fe80::1 dev wlp3s0",
       "wlp3s0", "fe80::1"},
      {"two metrics, the lower one carries the server", AF_INET,
       "default via 10.0.0.1 dev eth0 metric 200 \n"
       "default via 10.1.0.1 dev wlan0 metric 50 linkdown\n",
       true,
       "default metric 200 via 10.0.0.1 dev eth0\n"
       "default metric 50 via 10.1.0.1 dev wlan0",
       "wlan0", "10.1.0.1"},
      {"multipath", AF_INET,
       "default proto static metric 50 \n"
       "\tnexthop via 10.0.0.2 dev veth0 weight 1 \n"
       "\tnexthop via 10.1.0.2 dev veth2 weight 2 dead\n",
       true,
       "default proto static metric 50 nexthop via 10.0.0.2 dev veth0 weight "
       "1 nexthop via 10.1.0.2 dev veth2 weight 2",
       "veth0", "10.0.0.2"},
      {"next-hop object", AF_INET, "default nhid 5 via 10.0.0.2 dev veth0",
       true, "default nhid 5", "veth0", "10.0.0.2"},
      {"onlink", AF_INET, "default via 10.5.5.5 dev eth0 onlink", true,
       "default via 10.5.5.5 dev eth0 onlink", "eth0", "10.5.5.5"},
      {"IPv4 through an IPv6 gateway", AF_INET,
       "default via inet6 fe80::1 dev eth0", true,
       "default via inet6 fe80::1 dev eth0", "", ""},
      {"unreachable alone carries nothing", AF_INET6,
       "unreachable default dev lo metric 4096 pref medium", true,
       "unreachable default metric 4096 pref medium dev lo", "", ""},
      {"blackhole beside a real route", AF_INET6,
       "blackhole default dev lo metric 5000 pref medium\n"
       "default dev wg0 metric 1024 pref medium",
       true,
       "blackhole default metric 5000 pref medium dev lo\n"
       "default metric 1024 pref medium dev wg0",
       "wg0", ""},
      {"device only", AF_INET, "default dev wg0 scope link", true,
       "default scope link dev wg0", "wg0", ""},
      {"no route", AF_INET, "", true, "", "", ""},
      {"blanks and tabs", AF_INET, "default via 10.0.0.1  dev\teth1", true,
       "default via 10.0.0.1 dev eth1", "eth1", "10.0.0.1"},
      // Refused: what cannot be put back exactly, or cannot be pasted into
      // a command line.
      {"gateway not an address", AF_INET, "default via 300.1.1.1 dev eth0",
       false, "", "", ""},
      {"unknown word", AF_INET, "default via 10.0.0.1 dev eth0 realms 7", false,
       "", "", ""},
      {"hostile interface", AF_INET, "default dev q;pwn", false, "", "", ""},
      {"interface that is an option", AF_INET, "default dev --help", false, "",
       "", ""},
      {"hostile protocol", AF_INET, "default dev eth0 proto $(pwn)", false, "",
       "", ""},
      {"IPv6 source on IPv4", AF_INET, "default dev eth0 src fe80::1", false,
       "", "", ""},
      {"next hop without device", AF_INET6,
       "default metric 1024\n\tnexthop via fe80::1 weight 1", false, "", "",
       ""},
      {"not a default route", AF_INET, "10.0.0.0/8 dev eth0", false, "", "",
       ""},
  };
  for (const RouteCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<RouteEntry> routes;
    std::string bad;
    ASSERT_EQ(parseDefaultRoutes(c.family, c.output, &routes, &bad), c.ok)
        << bad;
    if (!c.ok) {
      EXPECT_FALSE(bad.empty());
      continue;
    }
    std::string restored;
    for (const RouteEntry& route : routes) {
      restored += (restored.empty() ? "" : "\n") + formatRoute(c.family, route);
      // What is put back reads back as itself.
      RouteEntry again;
      std::string why;
      ASSERT_TRUE(
          parseRouteEntry(c.family, formatRoute(c.family, route), &again, &why))
          << why;
      EXPECT_EQ(formatRoute(c.family, again), formatRoute(c.family, route));
    }
    EXPECT_EQ(restored, c.restored);
    DefaultRoute legacy = legacyRoute(c.family, routes);
    EXPECT_EQ(legacy.iface, c.iface);
    EXPECT_EQ(legacy.gateway, c.gateway);
    EXPECT_EQ(legacy.valid, std::string(c.iface) != "");
  }
}

// A fuzzer found this: inet_pton read the gateway only up to the first NUL,
// so the NULs and "$%" after it passed as part of an address and were written
// back into the route that stop would run.
TEST(DefaultRouteParsing, EmbeddedNulsAreRefused) {
  const std::string crash("default via fe80::1\0\0$% dev wi", 30);
  ASSERT_EQ(crash.size(), 30u);
  for (int family : {AF_INET, AF_INET6}) {
    std::vector<RouteEntry> routes;
    std::string bad;
    EXPECT_FALSE(parseDefaultRoutes(family, crash, &routes, &bad));
  }
  EXPECT_FALSE(isAddressOf(AF_INET6, std::string("fe80::1\0$%", 10)));
  EXPECT_FALSE(isAddressOf(AF_INET, std::string("10.0.0.1\0", 9)));
  EXPECT_TRUE(isAddressOf(AF_INET6, "fe80::1"));
}

TEST(DefaultRouteParsing, UnsafeInterfaceNamesAreRejected) {
  for (const char* name : {"eth0", "wlp3s0", "br-lan.10", "a_b=c+d", "x",
                           "abcdefghijklmno", "a-"}) {
    EXPECT_TRUE(isSafeIfaceName(name)) << name;
  }
  for (const char* name :
       {"", "abcdefghijklmnop", "q;pwn", "q$(pwn)", "q`pwn`", "q|pwn", "q&pwn",
        "q>x", "q'x", "q\"x", "q\\x", "q*", "q~", "q!x", "-h", "--help"}) {
    EXPECT_FALSE(isSafeIfaceName(name)) << name;
  }

  testing::internal::CaptureStderr();
  DefaultRoute dash{true, "-h", ""};
  rejectUnsafeRoute(AF_INET, "saved state", &dash);
  EXPECT_FALSE(dash.valid);
  DefaultRoute gw{true, "eth0", "10.0.0.1;pwn"};
  rejectUnsafeRoute(AF_INET, "saved state", &gw);
  EXPECT_FALSE(gw.valid);
  DefaultRoute v6_in_v4{true, "eth0", "fe80::1"};
  rejectUnsafeRoute(AF_INET, "saved state", &v6_in_v4);
  EXPECT_FALSE(v6_in_v4.valid);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[helper] ignoring IPv4 default route from saved state: "
                     "unsafe interface name: -h"),
            std::string::npos);
  EXPECT_NE(err.find("gateway is not an address: 10.0.0.1;pwn"),
            std::string::npos);
}

// What resolvectl lists becomes words of a root command line: only plain
// domain names pass, each once, and the tunnel's own list is kept apart.
TEST(TunnelDomains, OtherLinksDomainsFromResolvectl) {
  const std::string output =
      "Global: global.test\n"
      "Link 2 (eth0): corp.test ~Home.Arpa com.\n"
      "Link 3 (wlan0): ~. COM corp.test -bad.test a..b x;reboot\n"
      "Link 4 (quon_vpn0): ~. ~corp.test\n"
      "Link 5 (veth9):\n"
      "Link 6 (evil) (x): $(id).test " +
      std::string(300, 'a') + "\n";
  std::vector<std::string> tunnel;
  const std::vector<std::string> domains = otherLinksDomains(output, &tunnel);
  EXPECT_EQ((std::vector<std::string>{"corp.test", "home.arpa", "com"}),
            domains);
  EXPECT_EQ((std::vector<std::string>{"~.", "~corp.test"}), tunnel);
  EXPECT_EQ(
      (std::vector<std::string>{"~.", "~corp.test", "~home.arpa", "~com"}),
      tunnelDomainWords(domains));
  EXPECT_EQ(std::vector<std::string>{"~."}, tunnelDomainWords({}));
  EXPECT_TRUE(otherLinksDomains("", &tunnel).empty());
}

TEST(TunnelDomains, DomainNames) {
  for (const char* good :
       {"com", "corp.test", "a-b.x_y.example", "xn--bcher-kva.example"}) {
    EXPECT_TRUE(isDomainName(good)) << good;
  }
  for (const char* bad : {"", ".", ".com", "-x.com", "a..b", "a b", "a;b",
                          "~com", "$(x)", "a/b"}) {
    EXPECT_FALSE(isDomainName(bad)) << bad;
  }
  EXPECT_FALSE(isDomainName(std::string(64, 'a') + ".com"));
  EXPECT_TRUE(isDomainName(std::string(63, 'a') + ".com"));
}

TEST(ResolveServerHost, LiteralsBracketsAndBlanks) {
  struct Case {
    const char* arg;
    bool ok;
    std::vector<std::string> v4;
    std::vector<std::string> v6;
  };
  const Case cases[] = {
      {"  192.0.2.7 \t", true, {"192.0.2.7"}, {}},
      {"[2001:db8::7]", true, {}, {"2001:db8::7"}},
      {" [2001:DB8:0::7] ", true, {}, {"2001:DB8:0::7"}},
      {"2001:db8::1", true, {}, {"2001:db8::1"}},
      {"[]", false, {}, {}},
      {"   ", false, {}, {}},
      {"", false, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    std::vector<std::string> v4;
    std::vector<std::string> v6;
    testing::internal::CaptureStderr();
    EXPECT_EQ(resolveServerHost(c.arg, v4, v6) == ResolveResult::kResolved,
              c.ok);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(v4, c.v4);
    EXPECT_EQ(v6, c.v6);
  }
}

struct StateCase {
  const char* name;
  const char* text;
  bool v4_valid;
  const char* v4_iface;
  const char* v6_iface;
  std::vector<std::string> server_v4;
  std::vector<std::string> server_v6;
};

TEST(RouteStateParsing, Table) {
  const StateCase cases[] = {
      {"writer output",
       "ipv4_valid=1\nipv4_iface=eth0\nipv4_gateway=10.0.0.1\nipv6_valid=0\n"
       "ipv6_iface=\nipv6_gateway=\nserver_ipv4=192.0.2.1,192.0.2.2\n"
       "server_ipv6=\n",
       true,
       "eth0",
       "",
       {"192.0.2.1", "192.0.2.2"},
       {}},
      {"empty file", "", false, "", "", {}, {}},
      {"true is not 1", "ipv4_valid=true\n", false, "", "", {}, {}},
      {"blanks around the whole line",
       "  ipv4_valid=1 \t\n",
       true,
       "",
       "",
       {},
       {}},
      {"blank before the equals sign is another key",
       " ipv6_iface=wlan0  \nipv6_iface =eth9\n",
       false,
       "",
       "wlan0",
       {},
       {}},
      {"blank and empty list items",
       "server_ipv4=192.0.2.1,  ,192.0.2.2,\n",
       false,
       "",
       "",
       {"192.0.2.1", "192.0.2.2"},
       {}},
      {"last list wins",
       "server_ipv6=2001:db8::1\nserver_ipv6=2001:db8::2\n",
       false,
       "",
       "",
       {},
       {"2001:db8::2"}},
      {"no final line feed, unknown keys skipped",
       "format=9\nIPV4_VALID=1\n# c\nipv4_iface=eth1",
       false,
       "eth1",
       "",
       {},
       {}},
      {"CRLF line ends",
       "ipv4_valid=1\r\nipv4_iface=eth2\r\n",
       true,
       "eth2",
       "",
       {},
       {}},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(c.name);
    SavedRouteState state = parseRouteState(c.text);
    EXPECT_EQ(state.ipv4.valid, c.v4_valid);
    EXPECT_EQ(state.ipv4.iface, c.v4_iface);
    EXPECT_EQ(state.ipv6.iface, c.v6_iface);
    EXPECT_EQ(state.server_ipv4, c.server_v4);
    EXPECT_EQ(state.server_ipv6, c.server_v6);
  }
}

// What stop puts back: the route lines of a new file, or what an older
// helper's eight lines describe; a line that fails the checks is dropped and
// counted, never half used.
TEST(RouteStateParsing, RoutesDnsLinksAndOlderFiles) {
  struct Case {
    const char* name;
    const char* text;
    std::vector<std::string> routes4;
    std::vector<std::string> routes6;
    std::vector<std::string> dns;
    int dropped;
  };
  const std::string legacy =
      "ipv4_valid=1\nipv4_iface=eth0\nipv4_gateway=10.0.0.1\nipv6_valid=1\n"
      "ipv6_iface=eth0\nipv6_gateway=\nserver_ipv4=\nserver_ipv6=\n";
  const Case cases[] = {
      {"older file",
       legacy.c_str(),
       {"default via 10.0.0.1 dev eth0"},
       {"default dev eth0"},
       {"eth0 yes"},
       0},
      {"older file, unsafe name",
       "ipv4_valid=1\nipv4_iface=-h\n",
       {},
       {},
       {},
       0},
      {"new file: route lines win over the legacy lines",
       "ipv4_valid=1\nipv4_iface=eth0\nipv4_gateway=10.0.0.1\nversion=2\n"
       "ipv4_route=default proto dhcp metric 100 via 10.0.0.9 dev eth1\n"
       "ipv6_route=unreachable default metric 4096 dev lo\n"
       "dns_default_route=eth1 no\n",
       {"default proto dhcp metric 100 via 10.0.0.9 dev eth1"},
       {"unreachable default metric 4096 dev lo"},
       {"eth1 no"},
       0},
      {"new file without routes for a family: none",
       "ipv4_valid=1\nipv4_iface=eth0\nversion=2\n",
       {},
       {},
       {},
       0},
      {"this helper's file: the main table is not its to give back",
       "ipv4_valid=1\nipv4_iface=eth0\nipv4_gateway=10.0.0.1\nversion=3\n"
       "ipv4_route=default via 10.0.0.9 dev eth1\n"
       "dns_default_route=eth1 no\n",
       {},
       {},
       {"eth1 no"},
       0},
      {"a later helper's file is read as this one's",
       "ipv4_valid=1\nipv4_iface=eth0\nipv4_gateway=10.0.0.1\nversion=7\n",
       {},
       {},
       {},
       0},
      {"hostile or foreign lines dropped",
       "version=2\nipv4_route=default dev eth0;pwn\n"
       "ipv4_route=default via 10.0.0.1 dev eth0 realms 3\n"
       "ipv6_route=default dev quon_vpn0 metric 1\n"
       "dns_default_route=-h no\ndns_default_route=eth0 maybe\n"
       "ipv4_route=default dev eth0\n",
       {"default dev eth0"},
       {},
       {},
       5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SavedRouteState state = parseRouteState(c.text);
    std::vector<std::string> r4;
    std::vector<std::string> r6;
    std::vector<std::string> dns;
    for (const RouteEntry& route : state.routes4) {
      r4.push_back(formatRoute(AF_INET, route));
    }
    for (const RouteEntry& route : state.routes6) {
      r6.push_back(formatRoute(AF_INET6, route));
    }
    for (const DnsLink& link : state.dns) {
      dns.push_back(link.iface + " " + link.flag);
    }
    EXPECT_EQ(r4, c.routes4);
    EXPECT_EQ(r6, c.routes6);
    EXPECT_EQ(dns, c.dns);
    EXPECT_EQ(state.dropped, c.dropped);
    // Written again, the file reads back the same.
    EXPECT_EQ(formatRouteState(parseRouteState(formatRouteState(state))),
              formatRouteState(state));
  }
}

// The owner lines: a malformed value never names an owner, so that a
// damaged record is open (to those who may run the helper) rather than
// locking everyone out for ever.
TEST(RouteStateParsing, OwnerLines) {
  SavedRouteState state = parseRouteState(
      "version=3\nowner_uid=1000\nowner_pid=77\nowner_start_time=123\n"
      "session=0123456789abcdef0123456789abcdef\n");
  EXPECT_TRUE(state.owner.known);
  EXPECT_EQ(state.owner.uid, 1000u);
  EXPECT_EQ(state.owner.pid, 77);
  EXPECT_EQ(state.owner.start_time, "123");
  EXPECT_EQ(state.owner.session, "0123456789abcdef0123456789abcdef");
  state = parseRouteState(
      "owner_uid=-1\nowner_pid=x\nowner_start_time=1 2\nsession=ABC\n");
  EXPECT_FALSE(state.owner.known);
  EXPECT_EQ(state.owner.pid, 0);
  EXPECT_EQ(state.owner.start_time, "");
  EXPECT_EQ(state.owner.session, "");
  EXPECT_FALSE(parseRouteState("ipv4_valid=1\n").owner.known);
}

// A directory of its own per test, removed afterwards.
class StateFileTest : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      // Only root-owned state is trusted; CI runs as root.
      GTEST_SKIP() << "needs root to own the state file";
    }
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr ? base : "/tmp") + "/pw_state_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir_ = buf.data();
    path_ = dir_ + "/state.txt";
  }
  void TearDown() override {
    if (!dir_.empty()) {
      std::string cmd = "rm -rf '" + dir_ + "'";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
  }
  std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string dir_;
  std::string path_;
};

SavedRouteState sampleState() {
  SavedRouteState state;
  state.ipv4 = DefaultRoute{true, "eth0", "10.0.0.1"};
  state.ipv6 = DefaultRoute{false, "", ""};
  state.server_ipv4 = {"192.0.2.1", "192.0.2.2"};
  state.owner = TunnelOwner{true, 1000, 4242, "12345",
                            "0123456789abcdef0123456789abcdef"};
  state.version = kStateVersion;
  state.dns.push_back(DnsLink{"eth0", "yes"});
  return state;
}

TEST_F(StateFileTest, RoundTripWithFixedModeWhateverTheUmask) {
  mode_t old = umask(0);
  bool saved = saveRouteState(sampleState(), path_);
  umask(old);
  ASSERT_TRUE(saved);
  EXPECT_EQ(read(path_),
            "ipv4_valid=1\nipv4_iface=eth0\nipv4_gateway=10.0.0.1\n"
            "ipv6_valid=0\nipv6_iface=\nipv6_gateway=\n"
            "server_ipv4=192.0.2.1,192.0.2.2\nserver_ipv6=\nversion=3\n"
            "owner_uid=1000\nowner_pid=4242\nowner_start_time=12345\n"
            "session=0123456789abcdef0123456789abcdef\n"
            "dns_default_route=eth0 yes\n");
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_uid, 0u);

  SavedRouteState loaded;
  ASSERT_EQ(loadRouteState(path_, &loaded), LoadResult::kFound);
  EXPECT_EQ(formatRouteState(loaded), formatRouteState(sampleState()));
  EXPECT_EQ(loadRouteState(dir_ + "/absent", &loaded), LoadResult::kMissing);
}

TEST_F(StateFileTest, ReplacesALinkInsteadOfWritingThroughIt) {
  std::string target = dir_ + "/target";
  std::ofstream(target) << "precious\n";
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);

  SavedRouteState loaded;
  testing::internal::CaptureStderr();
  EXPECT_EQ(loadRouteState(path_, &loaded), LoadResult::kRefused);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("symbolic link"),
            std::string::npos);

  ASSERT_TRUE(saveRouteState(sampleState(), path_));
  EXPECT_EQ(read(target), "precious\n");
  struct stat st;
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(StateFileTest, RefusesFilesOthersCouldHaveWritten) {
  ASSERT_TRUE(saveRouteState(sampleState(), path_));
  SavedRouteState loaded;

  ASSERT_EQ(chmod(path_.c_str(), 0664), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(loadRouteState(path_, &loaded), LoadResult::kRefused);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(loaded.ipv4.valid);

  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
  ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(loadRouteState(path_, &loaded), LoadResult::kRefused);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "not a regular file owned and writable by root alone"),
            std::string::npos);

  std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  // Opening a FIFO for reading would block; the regular-file test must come
  // from the descriptor, so a non-blocking peer keeps the open from hanging.
  int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(loadRouteState(fifo, &loaded), LoadResult::kRefused);
  testing::internal::GetCapturedStderr();
  close(writer);
}

TEST_F(StateFileTest, UnsafeSavedValuesAreDropped) {
  std::ofstream(path_) << "ipv4_valid=1\nipv4_iface=eth0;pwn\n"
                       << "ipv6_valid=1\nipv6_iface=eth0\n"
                       << "ipv6_gateway=fe80::1$(pwn)\n";
  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
  SavedRouteState loaded;
  testing::internal::CaptureStderr();
  ASSERT_EQ(loadRouteState(path_, &loaded), LoadResult::kFound);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(loaded.ipv4.valid);
  EXPECT_FALSE(loaded.ipv6.valid);
  EXPECT_NE(err.find("IPv4 default route from saved state: unsafe interface"),
            std::string::npos);
  EXPECT_NE(err.find("IPv6 default route from saved state: gateway"),
            std::string::npos);
}

// A write that fails half-way (here: a file-size limit) must leave the
// earlier state in place, not an empty or cut file.
TEST_F(StateFileTest, FailedWriteKeepsTheEarlierState) {
  ASSERT_TRUE(saveRouteState(sampleState(), path_));
  const std::string before = read(path_);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {16, 16};
    setrlimit(RLIMIT_FSIZE, &lim);
    SavedRouteState other = sampleState();
    other.ipv4.iface = "eth7";
    _exit(saveRouteState(other, path_) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "save claimed success";
  EXPECT_EQ(read(path_), before);
  EXPECT_NE(access((path_ + ".tmp").c_str(), F_OK), 0) << "temp file left";
}

}  // namespace
