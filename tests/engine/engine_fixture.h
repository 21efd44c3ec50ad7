// Test bench for the tunnel engine: a private copy of the installed layout
// with a stand-in route helper, the lab's stand-in Xray core, and a stand-in
// curl first in the search path. Runs only inside tests/lib/sandbox.sh --net
// (the engine writes fixed paths in /tmp and its core creates quon_vpn0).
#ifndef QUON_TESTS_ENGINE_ENGINE_FIXTURE_H_
#define QUON_TESTS_ENGINE_ENGINE_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "v2ray_engine_linux.h"

namespace engine_test {

// The engine's private directory as root sees it without a session
// directory (UseTmpRuntimeDir), and its four files.
constexpr char kRuntimeDir[] = "/tmp/quon_vpn-0";
constexpr char kNativeLog[] =
    "/tmp/quon_vpn-0/quon_vpn_runner_native_linux.log";
constexpr char kRuntimeConfig[] =
    "/tmp/quon_vpn-0/quon_vpn_xray_config_runtime.json";
constexpr char kRuntimeErrorLog[] =
    "/tmp/quon_vpn-0/quon_vpn_xray_runtime_error.log";
constexpr char kHelperLog[] = "/tmp/quon_vpn-0/quon_vpn_helper_runtime.log";
constexpr char kHelperPath[] = "/usr/local/libexec/quon_vpn/pathwarden";
constexpr char kXrayPath[] = "/opt/quon_vpn/xray";
constexpr char kWatcherPath[] = "/opt/quon_vpn/quon_vpn_watch";
// The stand-ins keep their records here.
constexpr char kBenchDir[] = "/tmp/engine_bench";

constexpr char kHelperNotInstalled[] =
    "Orvex system helper is not installed or not executable. Run the "
    "one-time Linux setup/installer (on Debian and Ubuntu: the quon-vpn "
    "package); where an administrator lets only one group start tunnels, "
    "ask to be made a member.";

// Forgets any session directory, so that the engine keeps its files in
// kRuntimeDir, and makes that directory (mode 0700) for files a test plants
// before the engine runs. Root only, inside the sandbox.
void UseTmpRuntimeDir();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path,
               const std::string& content,
               mode_t mode = 0644);
std::vector<std::string> SplitLines(const std::string& text);

// Lines of the native log.
std::vector<std::string> NativeLog();
// Each call of the stand-in helper as "ACTION HOST" (arguments checked: the
// two, or the two and a session token).
std::vector<std::string> HelperCalls();
// The session token of each call of the stand-in helper; empty for none.
std::vector<std::string> HelperSessions();
// Each call of the stand-in curl: its arguments after argv[0].
std::vector<std::vector<std::string>> CurlCalls();

// What the stand-in helper does for |action|: "exit:N", "sleep:S",
// "signal:NAME", or "" for exit 0.
void SetHelperMode(const std::string& action, const std::string& mode);
// What the stand-in curl does on its |call|-th run (1-based): "exit:N",
// "hang", or "kill-xray:N" (kills the running core, then exits with N).
void SetCurlMode(int call, const std::string& mode);

// Live or zombie children of this process (the test is PID 1 of its
// namespace, so orphans of children land here too).
std::vector<pid_t> Children();
// The same for the process |parent|.
std::vector<pid_t> ChildrenOf(pid_t parent);
// Children() without the engine's core watchers.
std::vector<pid_t> ChildrenBesideWatchers();
// The watchers among Children().
std::vector<pid_t> Watchers();
// Waits up to |ms| for Children() to be empty.
bool NoChildrenWithin(int ms);
// The pid of the running stand-in core, or -1.
pid_t XrayPid();
// True when the process is a zombie or gone.
bool IsZombieOrGone(pid_t pid);

// An Xray configuration for the stand-in core: a TUN inbound quon_vpn0, one
// outbound whose first vnext server is |host| (UDP port 7000, loopback needs
// no listener), and |lab_keys| as the body of "labStandIn".
std::string XrayConfig(const std::string& host = "127.0.0.1",
                       const std::string& lab_keys = "");

bool LinkExists(const std::string& name);

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A fresh engine (the old one is destroyed first).
  V2RayEngineLinux& NewEngine();
  void DestroyEngine() { engine_.reset(); }
  V2RayEngineLinux& engine() { return *engine_; }

  // Empties the native log and the stand-ins' call records.
  void ClearRecords();
  // Starts the tunnel with the stand-ins set for success.
  void StartOk(const std::string& lab_keys = "");

  std::unique_ptr<V2RayEngineLinux> engine_;
  std::string old_path_;
  bool mounted_ = false;
};

}  // namespace engine_test

#endif  // QUON_TESTS_ENGINE_ENGINE_FIXTURE_H_
