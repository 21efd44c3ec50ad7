// Start, Stop and CheckTunnel against the lab's stand-in core, with the
// stand-in route helper and curl: every failure with its message, the
// engine's state after it, the native log, and no process left behind.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "engine_fixture.h"

namespace engine_test {
namespace {

constexpr char kHost[] = "127.0.0.1";
const std::string kHelperLine =
    "[LINUX V2RAY] route helper action=%s server=127.0.0.1 "
    "helper=/usr/local/libexec/quon_vpn/pathwarden";

std::string HelperLine(const std::string& action) {
  std::string line = kHelperLine;
  return line.replace(line.find("%s"), 2, action);
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

std::string ExecutableDir() {
  char buffer[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  std::string path(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  return path.substr(0, path.rfind('/'));
}

bool WaitFor(int ms, const std::function<bool()>& condition) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class TunnelTest : public EngineTest {};

TEST_F(TunnelTest, StartAndStopSucceed) {
  const std::string kHostLine =
      std::string("[LINUX V2RAY] ExtractServerHost: ") +
      "selected outbound host=127.0.0.1";
  NewEngine();
  const std::string config = XrayConfig(kHost);
  ASSERT_TRUE(engine().Start(config, "allow", {"a"})) << engine().LastError();
  const pid_t xray = XrayPid();
  ASSERT_GT(xray, 0);
  EXPECT_TRUE(engine().IsRunning());
  EXPECT_TRUE(LinkExists("quon_vpn0"));
  EXPECT_EQ("xray started on Linux", engine().LastResponse());
  // No error of its own: LastError shows what the core printed since the
  // helper run emptied its log.
  EXPECT_EQ(ReadFile(kRuntimeErrorLog), engine().LastError());
  EXPECT_EQ(config, ReadFile(kRuntimeConfig));
  EXPECT_EQ((std::vector<std::string>{"stop 127.0.0.1", "start 127.0.0.1"}),
            HelperCalls());
  EXPECT_EQ(JoinLines({
                "[LINUX V2RAY] Start() called",
                kHostLine,
                "[LINUX V2RAY] config begins with: " + config.substr(0, 80),
                "[LINUX V2RAY] extracted server host: 127.0.0.1",
                "[LINUX V2RAY] pre-start route cleanup",
                "[LINUX V2RAY] launching xray pid=" + std::to_string(xray),
                HelperLine("start"),
                "[LINUX V2RAY] route helper finished successfully",
                "[LINUX V2RAY] started successfully",
            }),
            ReadFile(kNativeLog));
  // The helper's "start" output went to its log; the pre-start "stop" to
  // /dev/null.
  EXPECT_EQ("stand-in helper start 127.0.0.1\n", ReadFile(kHelperLog));
  // The core's watcher shares that log and may be the first to open it: it
  // is the user's alone all the same, like every file of the runner's.
  for (const char* path : {kHelperLog, kNativeLog, kRuntimeErrorLog}) {
    struct stat st = {};
    ASSERT_EQ(0, stat(path, &st)) << path;
    EXPECT_EQ(0600u, st.st_mode & 07777) << path;
  }

  // A second start while the core runs changes nothing.
  ClearRecords();
  EXPECT_FALSE(engine().Start(XrayConfig("10.9.9.9"), "allow", {}));
  EXPECT_EQ("xray is already running", engine().LastError());
  EXPECT_EQ("", engine().LastResponse());
  EXPECT_EQ(config, ReadFile(kRuntimeConfig));
  EXPECT_TRUE(HelperCalls().empty());
  EXPECT_EQ(xray, XrayPid());

  ClearRecords();
  ASSERT_TRUE(engine().Stop()) << engine().LastError();
  EXPECT_FALSE(engine().IsRunning());
  EXPECT_EQ("xray stopped on Linux", engine().LastResponse());
  // The kept host (not the refused one) goes to the helper.
  EXPECT_EQ(std::vector<std::string>{"stop 127.0.0.1"}, HelperCalls());
  EXPECT_EQ(JoinLines({
                "[LINUX V2RAY] Stop() called",
                HelperLine("stop"),
                "[LINUX V2RAY] route helper finished successfully",
                "[LINUX V2RAY] sending SIGTERM to pid " + std::to_string(xray),
                "[LINUX V2RAY] process exited after SIGTERM",
                "[LINUX V2RAY] Stop() finished",
            }),
            ReadFile(kNativeLog));
  EXPECT_TRUE(Children().empty());
  EXPECT_TRUE(WaitFor(2000, [] { return !LinkExists("quon_vpn0"); }));
  // The runtime configuration stays after a stop.
  EXPECT_EQ(config, ReadFile(kRuntimeConfig));

  // A second stop still asks the helper to clean up, with the kept host.
  ClearRecords();
  ASSERT_TRUE(engine().Stop());
  EXPECT_EQ("xray already stopped", engine().LastResponse());
  EXPECT_EQ(std::vector<std::string>{"stop 127.0.0.1"}, HelperCalls());
}

// The clean-up of earlier routing gets the new host, and a helper that hangs
// there is killed after 3 s without holding the start back any longer.
TEST_F(TunnelTest, PreStartCleanupUsesTheNewHostAndIsCutOff) {
  NewEngine();
  StartOk();
  ASSERT_TRUE(engine().Stop());
  ClearRecords();
  SetHelperMode("stop", "sleep:30");
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(engine().Start(XrayConfig("127.0.0.2"), "allow", {}))
      << engine().LastError();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count();
  EXPECT_GE(ms, 3000 + 800);
  EXPECT_LT(ms, 3000 + 800 + 4000);
  EXPECT_EQ((std::vector<std::string>{"stop 127.0.0.2", "start 127.0.0.2"}),
            HelperCalls());
  EXPECT_EQ((std::vector<pid_t>{XrayPid()}), ChildrenBesideWatchers())
      << "only the core may remain";
  SetHelperMode("stop", "");
  ASSERT_TRUE(engine().Stop()) << engine().LastError();
}

// Failures before any process of the tunnel is started.
TEST_F(TunnelTest, StartRefusals) {
  NewEngine();
  const std::string non_json =
      "Linux start expects JSON config, but received non-JSON data";
  for (const std::string config : {"", " {}", "\n{}", "[]", "xray"}) {
    SCOPED_TRACE(config);
    EXPECT_FALSE(engine().Start(config, "allow", {}));
    EXPECT_EQ(non_json, engine().LastError());
  }
  EXPECT_TRUE(HelperCalls().empty());
  EXPECT_NE(0, access(kRuntimeConfig, F_OK));
  // Nothing was stored: stop finds no host and runs no helper.
  EXPECT_TRUE(engine().Stop());
  EXPECT_TRUE(HelperCalls().empty());

  struct Case {
    const char* what;
    std::string config;
    std::function<void()> prepare;
    std::string error;
    std::vector<std::string> helper_calls;
  };
  const std::string missing_xray =
      "xray binary is missing or not executable: " + ExecutableDir() + "/xray";
  const Case cases[] = {
      {"no vnext",
       "{\"outbounds\": [{\"address\": \"1.2.3.4\"}]}",
       [] {},
       "could not extract server address from Xray config",
       {}},
      {"empty address",
       "{\"vnext\": [{\"address\": \"\"}]}",
       [] {},
       "could not extract server address from Xray config",
       {}},
      {"directory at the runtime config path",
       XrayConfig(kHost),
       [] { ASSERT_EQ(0, mkdir(kRuntimeConfig, 0755)); },
       std::string("Failed to remove stale Linux runtime config '") +
           kRuntimeConfig + "': Is a directory",
       {}},
      {"core not executable",
       XrayConfig(kHost),
       [] { ASSERT_EQ(0, chmod(kXrayPath, 0644)); },
       missing_xray,
       // The clean-up of earlier routing has run all the same.
       {"stop 127.0.0.1"}},
      {"core and helper missing",
       XrayConfig(kHost),
       [] { ASSERT_EQ(0, chmod(kHelperPath, 0644)); },
       missing_xray,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearRecords();
    (void)rmdir(kRuntimeConfig);
    c.prepare();
    EXPECT_FALSE(engine().Start(c.config, "allow", {}));
    EXPECT_EQ(c.error, engine().LastError());
    EXPECT_EQ("", engine().LastResponse());
    EXPECT_FALSE(engine().IsRunning());
    EXPECT_EQ(c.helper_calls, HelperCalls());
    EXPECT_EQ("[LINUX V2RAY] ERROR " + c.error, NativeLog().back());
    if (c.what == std::string("no vnext")) {
      // The scan says where it stopped, even with an "address" elsewhere.
      EXPECT_NE(
          std::string::npos,
          ReadFile(kNativeLog)
              .find("[LINUX V2RAY] ExtractServerHost: vnext not found\n"));
    }
  }
  EXPECT_TRUE(Children().empty());
}

TEST_F(TunnelTest, CoreThatExitsAtOnce) {
  NewEngine();
  // The core refuses its configuration: its own words are the message.
  EXPECT_FALSE(engine().Start(
      XrayConfig(kHost, "\"rejectConfig\": \"bad outbound\""), "allow", {}));
  const std::string tail = ReadFile(kRuntimeErrorLog);
  EXPECT_NE(std::string::npos, tail.find("bad outbound")) << tail;
  EXPECT_EQ("xray exited immediately on Linux: " + tail, engine().LastError());
  EXPECT_FALSE(engine().IsRunning());
  EXPECT_EQ(std::vector<std::string>{"stop 127.0.0.1"}, HelperCalls());

  // A core that cannot be executed at all (status 127, no output).
  ClearRecords();
  (void)unlink(kRuntimeErrorLog);
  WriteFile(kXrayPath, "#!/nonexistent/interpreter\n", 0755);
  EXPECT_FALSE(engine().Start(XrayConfig(kHost), "allow", {}));
  EXPECT_EQ("xray exited immediately on Linux", engine().LastError());
  EXPECT_TRUE(Children().empty());
}

// The core runs but never creates the interface: it is told to end, the
// answer comes at once, and the process is reaped in the background.
TEST_F(TunnelTest, InterfaceNeverCreated) {
  NewEngine();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(
      engine().Start(XrayConfig(kHost, "\"noTun\": true"), "allow", {}));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count();
  EXPECT_GE(ms, 800 + 40 * 250);
  EXPECT_LT(ms, 800 + 40 * 250 + 6000);
  const std::string error = engine().LastError();
  EXPECT_EQ(0u, error.rfind("quon_vpn0 was not created in time: ", 0)) << error;
  EXPECT_NE(std::string::npos, error.find("not creating interface"));
  EXPECT_FALSE(engine().IsRunning());
  // Only the pre-start clean-up: the helper was never asked to start.
  EXPECT_EQ(std::vector<std::string>{"stop 127.0.0.1"}, HelperCalls());
  // SIGTERM, not SIGKILL: the core logs its orderly end; and no zombie.
  EXPECT_TRUE(NoChildrenWithin(2000));
  EXPECT_NE(std::string::npos, ReadFile(kRuntimeErrorLog).find("stopped"));
  const std::string log = ReadFile(kNativeLog);
  EXPECT_EQ(std::string::npos, log.find("SIGKILL"));
}

TEST_F(TunnelTest, InterfaceNeverCreatedAndSigtermIgnored) {
  NewEngine();
  EXPECT_FALSE(engine().Start(
      XrayConfig(kHost, "\"noTun\": true, \"ignoreSigterm\": true"), "allow",
      {}));
  const pid_t xray = XrayPid();
  ASSERT_GT(xray, 0) << "no SIGKILL at this point";
  EXPECT_FALSE(engine().IsRunning()) << "its id is forgotten";
  // A new start is not blocked by it.
  SetHelperMode("start", "exit:12");
  EXPECT_FALSE(engine().Start(XrayConfig(kHost), "allow", {}));
  EXPECT_EQ(
      "route helper failed: the saved IPv4 default route could not be put "
      "back; stop again to retry (status 12)",
      engine().LastError());
  // The engine going away ends it: nothing outlives the engine.
  DestroyEngine();
  EXPECT_TRUE(IsZombieOrGone(xray));
  EXPECT_TRUE(NoChildrenWithin(1000));
}

// The route helper's "start" fails after the core is up: the helper is asked
// to undo, the core is ended and reaped, and the right message stays.
TEST_F(TunnelTest, RoutingFailureUndoesEverything) {
  NewEngine();
  struct Case {
    const char* start_mode;
    const char* stop_mode;
    bool helper_executable;
    std::string error;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"exit:12",
       "",
       true,
       "route helper failed: the saved IPv4 default route could not be put "
       "back; stop again to retry (status 12)",
       {"stop 127.0.0.1", "start 127.0.0.1", "stop 127.0.0.1"}},
      // The compensating stop fails too: its message wins.
      {"exit:12",
       "exit:13",
       true,
       "route helper failed: the saved IPv6 default route could not be put "
       "back; stop again to retry (status 13)",
       {"stop 127.0.0.1", "start 127.0.0.1", "stop 127.0.0.1"}},
      // ... also when a helper left running still holds the routing lock.
      {"exit:12",
       "exit:15",
       true,
       "route helper failed: another route helper is still running (status 15)",
       {"stop 127.0.0.1", "start 127.0.0.1", "stop 127.0.0.1"}},
      {"signal:KILL",
       "",
       true,
       "route helper terminated abnormally",
       {"stop 127.0.0.1", "start 127.0.0.1", "stop 127.0.0.1"}},
      // No helper at all: the clean-up is skipped without a word, the core
      // is launched, and the start fails with the helper's absence.
      {"", "", false, kHelperNotInstalled, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    ClearRecords();
    SetHelperMode("start", c.start_mode);
    SetHelperMode("stop", c.stop_mode);
    ASSERT_EQ(0, chmod(kHelperPath, c.helper_executable ? 0755 : 0644));
    EXPECT_FALSE(engine().Start(XrayConfig(kHost), "allow", {}));
    EXPECT_EQ(c.error, engine().LastError());
    EXPECT_EQ("", engine().LastResponse());
    EXPECT_FALSE(engine().IsRunning());
    EXPECT_EQ(c.calls, HelperCalls());
    // A watcher stays while the routing may still be taken (the undo
    // failed): should the runner die now, it asks the helper again. Without
    // a helper nothing was taken, and it goes with the core.
    EXPECT_TRUE(ChildrenBesideWatchers().empty()) << "core not reaped";
    const bool may_be_taken = c.stop_mode[0] != '\0' && c.helper_executable;
    EXPECT_TRUE(WaitFor(2000, [may_be_taken] {
      return Watchers().size() == (may_be_taken ? 1u : 0u);
    })) << Watchers().size();
    EXPECT_TRUE(WaitFor(2000, [] { return !LinkExists("quon_vpn0"); }));
    const std::string log = ReadFile(kNativeLog);
    EXPECT_NE(std::string::npos, log.find("launching xray pid="));
    EXPECT_EQ(std::string::npos, log.find("started successfully"));
  }
  // Stop afterwards: no child, so "already stopped" with a working helper.
  ASSERT_EQ(0, chmod(kHelperPath, 0755));
  SetHelperMode("stop", "");
  EXPECT_TRUE(engine().Stop());
  EXPECT_EQ("xray already stopped", engine().LastResponse());
}

// A core that ends on its own while the tunnel is up takes the routing with
// it: the next look at the engine gives the routing back through the helper,
// says why, and the next start is not blocked.
TEST_F(TunnelTest, CoreThatExitedIsNotRunning) {
  NewEngine();
  StartOk("\"exitAfterMs\": 1500");
  const pid_t first = XrayPid();
  ASSERT_TRUE(WaitFor(5000, [first] { return IsZombieOrGone(first); }));
  const std::string output = ReadFile(kRuntimeErrorLog);
  ClearRecords();
  EXPECT_FALSE(engine().IsRunning());
  EXPECT_EQ(std::vector<std::string>{"stop 127.0.0.1"}, HelperCalls());
  EXPECT_EQ("xray exited while the tunnel was up: " + output,
            engine().LastError());
  EXPECT_NE(std::string::npos, output.find("exiting")) << output;
  EXPECT_TRUE(Children().empty()) << "core or watcher left";
  const std::string log = ReadFile(kNativeLog);
  EXPECT_NE(std::string::npos,
            log.find("xray pid=" + std::to_string(first) +
                     " exited while the tunnel was up; restoring routing"));
  // Only once: the next look finds nothing to take down.
  EXPECT_FALSE(engine().IsRunning());
  EXPECT_FALSE(engine().CheckTunnel());
  EXPECT_EQ("Linux Xray process is not running", engine().LastError());
  EXPECT_EQ(std::vector<std::string>{"stop 127.0.0.1"}, HelperCalls());

  ClearRecords();
  ASSERT_TRUE(engine().Start(XrayConfig(kHost), "allow", {}))
      << engine().LastError();
  EXPECT_NE(first, XrayPid());
  ASSERT_TRUE(engine().Stop());
  EXPECT_EQ("xray stopped on Linux", engine().LastResponse());
}

TEST_F(TunnelTest, StopOutcomes) {
  NewEngine();
  // Fresh engine: nothing to do, no helper.
  ASSERT_TRUE(engine().Stop());
  EXPECT_EQ("xray already stopped", engine().LastResponse());
  EXPECT_EQ("", engine().LastError());
  EXPECT_EQ(JoinLines({"[LINUX V2RAY] Stop() called",
                       "[LINUX V2RAY] xray already stopped"}),
            ReadFile(kNativeLog));
  EXPECT_TRUE(HelperCalls().empty());

  // Route clean-up fails: the core is stopped all the same, and the
  // helper's message is the answer.
  StartOk();
  const pid_t xray = XrayPid();
  ClearRecords();
  SetHelperMode("stop", "exit:12");
  const std::string error =
      "route helper failed: the saved IPv4 default route could not be put "
      "back; stop again to retry (status 12)";
  EXPECT_FALSE(engine().Stop());
  EXPECT_EQ(error, engine().LastError());
  EXPECT_EQ("", engine().LastResponse());
  EXPECT_FALSE(engine().IsRunning());
  EXPECT_TRUE(ChildrenBesideWatchers().empty());
  EXPECT_EQ(1u, Watchers().size()) << "the routing may still be taken";
  EXPECT_EQ(JoinLines({
                "[LINUX V2RAY] Stop() called",
                HelperLine("stop"),
                "[LINUX V2RAY] ERROR " + error,
                "[LINUX V2RAY] route cleanup failed during stop: " + error,
                "[LINUX V2RAY] sending SIGTERM to pid " + std::to_string(xray),
                "[LINUX V2RAY] process exited after SIGTERM",
                "[LINUX V2RAY] ERROR " + error,
            }),
            ReadFile(kNativeLog));

  // No child any more, clean-up still failing.
  EXPECT_FALSE(engine().Stop());
  EXPECT_EQ(error, engine().LastError());
  // And once the helper works again.
  SetHelperMode("stop", "");
  EXPECT_TRUE(engine().Stop());
  EXPECT_EQ("xray already stopped", engine().LastResponse());
  EXPECT_TRUE(Children().empty()) << "the watcher outlived the routing";
}

// A runner that died may have left the routing taken over; a new engine
// knows no server, so its Stop takes one from the helper's state file. Only a
// state file the helper wrote (root's regular file) counts, and a clean
// machine runs no helper at all.
TEST_F(TunnelTest, StopRestoresWhatTheStateFileRecords) {
  constexpr char kState[] = "/run/quon_vpn_route_state_linux.txt";
  struct Case {
    const char* name;
    std::string content;
    uid_t owner;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"IPv4 first",
       "ipv4_valid=1\nserver_ipv4=10.0.0.7,10.0.0.8\nserver_ipv6=fd00::1\n",
       0,
       {"stop 10.0.0.7"}},
      {"IPv6 only",
       "server_ipv4=\nserver_ipv6=fd00::1,fd00::2\n",
       0,
       {"stop fd00::1"}},
      {"no address", "ipv4_valid=0\n", 0, {}},
      {"another user's file", "server_ipv4=10.0.0.9\n", 12345, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DestroyEngine();  // Its own Stop would read the state too.
    ClearRecords();
    WriteFile(kState, c.content);
    ASSERT_EQ(0, chown(kState, c.owner, c.owner));
    NewEngine();
    EXPECT_TRUE(engine().Stop()) << engine().LastError();
    EXPECT_EQ(c.calls, HelperCalls());
  }
  ASSERT_EQ(0, unlink(kState));
}

TEST_F(TunnelTest, StopKillsACoreThatIgnoresSigterm) {
  NewEngine();
  StartOk("\"ignoreSigterm\": true");
  const pid_t xray = XrayPid();
  ClearRecords();
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(engine().Stop()) << engine().LastError();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count();
  EXPECT_GE(ms, 8000);
  EXPECT_LT(ms, 12000);
  EXPECT_EQ("xray stopped on Linux", engine().LastResponse());
  EXPECT_EQ(JoinLines({
                "[LINUX V2RAY] Stop() called",
                HelperLine("stop"),
                "[LINUX V2RAY] route helper finished successfully",
                "[LINUX V2RAY] sending SIGTERM to pid " + std::to_string(xray),
                "[LINUX V2RAY] process still alive, sending SIGKILL",
                "[LINUX V2RAY] process exited after SIGKILL",
                "[LINUX V2RAY] Stop() finished",
            }),
            ReadFile(kNativeLog));
}

constexpr char kIpProbeUrl[] = "https://1.1.1.1/cdn-cgi/trace";
constexpr char kHttpProbeUrl[] = "http://cp.cloudflare.com/generate_204";

// What a probe's curl call must hold, whatever else it carries: IPv4, bound
// to the tunnel, a time limit within the engine's own wait for it, its URL,
// and --insecure only for the probe addressed by IP literal, whose
// certificate cannot name the address.
void ExpectProbe(const std::vector<std::string>& args, const std::string& url) {
  SCOPED_TRACE(url);
  ASSERT_FALSE(args.empty());
  EXPECT_EQ(url, args.back()) << "the URL is the last word";
  const auto count = [&args](const char* word) {
    return std::count(args.begin(), args.end(), std::string(word));
  };
  const auto value_of = [&args](const char* option) {
    const auto at = std::find(args.begin(), args.end(), option);
    return at == args.end() || at + 1 == args.end() ? std::string() : *(at + 1);
  };
  EXPECT_EQ(1, count("-4"));
  EXPECT_EQ("quon_vpn0", value_of("--interface"));
  const std::string max_time = value_of("--max-time");
  ASSERT_FALSE(max_time.empty()) << "no time limit";
  EXPECT_GT(std::stod(max_time), 0.0);
  EXPECT_LT(std::stod(max_time), 6.5) << "curl must end before the engine "
                                         "gives up on it";
  EXPECT_EQ(url == kIpProbeUrl ? 1 : 0, count("--insecure"));
}

TEST_F(TunnelTest, CheckTunnelProbes) {
  NewEngine();
  EXPECT_FALSE(engine().CheckTunnel());
  EXPECT_EQ("Linux Xray process is not running", engine().LastError());
  EXPECT_TRUE(CurlCalls().empty());

  StartOk();
  const std::string probe_ip =
      "[LINUX V2RAY] tunnel probe start name=cloudflare-ip "
      "url=https://1.1.1.1/cdn-cgi/trace";
  const std::string probe_http =
      "[LINUX V2RAY] tunnel probe start name=cloudflare-http "
      "url=http://cp.cloudflare.com/generate_204";
  struct Case {
    std::vector<std::string> modes;
    bool ok;
    std::string response;
    std::vector<std::string> urls;
    std::vector<std::string> log;  // after "CheckTunnel() called"
  };
  const Case cases[] = {
      {{"exit:0"},
       true,
       "Linux tunnel validation succeeded via cloudflare-ip",
       {kIpProbeUrl},
       {probe_ip,
        "[LINUX V2RAY] tunnel validation succeeded via cloudflare-ip"}},
      {{"exit:7", "exit:0"},
       true,
       "Linux tunnel validation succeeded via cloudflare-http",
       {kIpProbeUrl, kHttpProbeUrl},
       {probe_ip, "[LINUX V2RAY] tunnel probe failed name=cloudflare-ip exit=7",
        probe_http,
        "[LINUX V2RAY] tunnel validation succeeded via cloudflare-http"}},
      {{"exit:7", "exit:6"},
       false,
       "",
       {kIpProbeUrl, kHttpProbeUrl},
       {probe_ip, "[LINUX V2RAY] tunnel probe failed name=cloudflare-ip exit=7",
        probe_http,
        "[LINUX V2RAY] tunnel probe failed name=cloudflare-http exit=6",
        "(error)", "[LINUX V2RAY] tunnel validation failed; last curl exit=6"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.modes.back());
    ClearRecords();
    for (size_t i = 0; i < 2; ++i) {
      SetCurlMode(static_cast<int>(i + 1),
                  i < c.modes.size() ? c.modes[i] : "");
    }
    EXPECT_EQ(c.ok, engine().CheckTunnel());
    const std::vector<std::vector<std::string>> calls = CurlCalls();
    ASSERT_EQ(c.urls.size(), calls.size());
    for (size_t i = 0; i < calls.size(); ++i) {
      ExpectProbe(calls[i], c.urls[i]);
    }
    EXPECT_EQ(c.response, engine().LastResponse());
    // On failure the message carries the core's output when it has any;
    // on success LastError falls back to that output.
    const std::string tail = ReadFile(kRuntimeErrorLog);
    const std::string error =
        c.ok           ? tail
        : tail.empty() ? "Linux tunnel validation failed; no probe reached "
                         "the internet through quon_vpn0"
                       : "Linux tunnel validation failed: " + tail;
    EXPECT_EQ(error, engine().LastError());
    std::vector<std::string> expected_log = {
        "[LINUX V2RAY] CheckTunnel() called"};
    for (const std::string& line : c.log) {
      expected_log.push_back(line == "(error)" ? "[LINUX V2RAY] ERROR " + error
                                               : line);
    }
    EXPECT_EQ(JoinLines(expected_log), ReadFile(kNativeLog));
    EXPECT_EQ((std::vector<pid_t>{XrayPid()}), ChildrenBesideWatchers())
        << "only the core may remain";
  }
}

// The core dies while the first probe runs: the second is not tried. It is
// not reaped yet at that point, so this also proves that an exited child
// does not pass for a live one.
TEST_F(TunnelTest, CheckTunnelCoreDiesDuringValidation) {
  NewEngine();
  StartOk();
  const pid_t xray = XrayPid();
  WriteFile(std::string(kBenchDir) + "/xray_pid", std::to_string(xray) + "\n");
  SetCurlMode(1, "kill-xray:7");
  ClearRecords();
  EXPECT_FALSE(engine().CheckTunnel());
  EXPECT_EQ("Linux Xray process stopped during tunnel validation",
            engine().LastError());
  EXPECT_EQ(1u, CurlCalls().size());
  // The next look reaps it and gives the routing back.
  EXPECT_FALSE(engine().IsRunning());
  EXPECT_EQ(0u, engine().LastError().rfind(
                    "xray exited while the tunnel was up: ", 0));
  EXPECT_EQ(std::vector<std::string>{"stop 127.0.0.1"}, HelperCalls());
  EXPECT_TRUE(Children().empty());
  ASSERT_TRUE(engine().Stop());
  EXPECT_EQ("xray already stopped", engine().LastResponse());
}

TEST_F(TunnelTest, CheckTunnelWithoutInterfaceOrCurl) {
  NewEngine();
  StartOk();
  // curl missing from the search path: both probes count as exit 127.
  const char* old_path = std::getenv("PATH");
  const std::string path = old_path != nullptr ? old_path : "/usr/bin:/bin";
  setenv("PATH", "/nonexistent", 1);
  (void)unlink(kRuntimeErrorLog);
  EXPECT_FALSE(engine().CheckTunnel());
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(
      "Linux tunnel validation failed; no probe reached the internet through "
      "quon_vpn0",
      engine().LastError());
  const std::vector<std::string> log = NativeLog();
  EXPECT_EQ("[LINUX V2RAY] tunnel validation failed; last curl exit=127",
            log.back());
  EXPECT_NE(std::string::npos,
            ReadFile(kNativeLog)
                .find("tunnel probe failed name=cloudflare-ip exit=127"));

  // The interface gone (renamed) while the core runs.
  ASSERT_EQ(0, std::system("ip link set quon_vpn0 down && "
                           "ip link set quon_vpn0 name quon_gone0"));
  ASSERT_TRUE(engine().IsRunning());
  EXPECT_FALSE(engine().CheckTunnel());
  EXPECT_EQ("Linux VPN interface quon_vpn0 does not exist",
            engine().LastError());
}

TEST_F(TunnelTest, CheckTunnelProbeHangs) {
  NewEngine();
  StartOk();
  SetCurlMode(1, "exit:28");
  SetCurlMode(2, "hang");
  ClearRecords();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(engine().CheckTunnel());
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count();
  EXPECT_GE(ms, 700 + 250 + 6500 + 250);
  std::vector<std::string> log = NativeLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ("[LINUX V2RAY] tunnel probe timed out name=cloudflare-http",
            log[log.size() - 3]);
  EXPECT_EQ("[LINUX V2RAY] tunnel validation failed; last curl exit=-1",
            log.back());
  EXPECT_EQ((std::vector<pid_t>{XrayPid()}), ChildrenBesideWatchers())
      << "the hung curl was not reaped";
}

}  // namespace
}  // namespace engine_test
