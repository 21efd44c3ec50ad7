// The method channel "v2ray", driven in process from the stand-in's Dart
// side. Sandboxed: the engine behind the channel writes the fixed /tmp paths.
#include <flutter_linux/flutter_linux.h>
#include <flutter_linux_standin/fl_standin.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../lib/sandbox_check.h"
#include "../lib/standin_channel.h"
#include "runtime_dir.h"
#include "v2ray_channel_handler_linux.h"
#include "v2ray_channel_handler_linux_private.h"

namespace {

using Clock = std::chrono::steady_clock;

// The engine's files, in the private directory of the user running the test.
std::string NativeLog() {
  return RuntimeFilePath("quon_vpn_runner_native_linux.log");
}
std::string RuntimeErrorLog() {
  return RuntimeFilePath("quon_vpn_xray_runtime_error.log");
}
constexpr char kNoEngine[] = "Linux VPN engine is not initialized.";
constexpr char kEmptyConfig[] =
    "Linux VPN start received an empty Xray configuration.";

// Every warning or critical GLib logs while a test runs: a second answer, a
// lost answer or a failed send shows up here.
std::mutex g_log_mutex;
std::vector<std::string> g_problems;

void CountProblems(const gchar* domain,
                   GLogLevelFlags level,
                   const gchar* message,
                   gpointer) {
  if ((level &
       (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) != 0) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_problems.emplace_back(message);
  }
  g_log_default_handler(domain, level, message, nullptr);
}

std::vector<std::string> TakeProblems() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  return std::exchange(g_problems, {});
}

FlValue* Json(const char* text) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(JsonNode) node = json_from_string(text, &error);
  EXPECT_NE(nullptr, node) << text;
  FlValue* value = fl_standin_value_from_json(node, &error);
  EXPECT_NE(nullptr, value) << text;
  return value;
}

using quon_test::Call;
using quon_test::Describe;
using quon_test::RunUntil;

// Sees what the start worker hands to the engine.
struct StartArgs {
  std::string config;
  std::string mode;
  std::vector<std::string> apps;
};
std::mutex g_start_mutex;
std::vector<StartArgs> g_starts;

class ChannelTest : public ::testing::Test {
 public:
  void SetUp() override {
    if (!quon_test::InSandbox(false)) {
      GTEST_FAIL() << "not inside tests/lib/sandbox.sh; refusing to write "
                      "the fixed /tmp paths";
    }
    // The session directory of whoever runs the tests is not the sandbox's.
    if (g_getenv("XDG_RUNTIME_DIR") != nullptr) {
      g_unsetenv("XDG_RUNTIME_DIR");
    }
    g_log_set_default_handler(CountProblems, nullptr);
    (void)TakeProblems();
    g_autoptr(FlDartProject) project = fl_dart_project_new();
    engine_ = fl_engine_new(project);
    messenger_ = fl_engine_get_binary_messenger(engine_);
    register_v2ray_channel_linux(messenger_);
    v2ray_channel_testing::SetStartObserver(
        [](const std::string& config, const std::string& mode,
           const std::vector<std::string>& apps) {
          std::lock_guard<std::mutex> lock(g_start_mutex);
          g_starts.push_back({config, mode, apps});
        });
  }

  void TearDown() override {
    v2ray_channel_testing::SetStartObserver(nullptr);
    v2ray_channel_testing::SetFailThreadCreation(false);
    v2ray_channel_testing::SetExitLockWait(std::chrono::seconds(45));
    if (engine_ == nullptr) {
      return;
    }
    // Exactly one answer for every call: none twice, none lost.
    EXPECT_EQ(0u, fl_standin_messenger_get_double_response_count(messenger_));
    EXPECT_EQ(0u, fl_standin_messenger_get_unanswered_count(messenger_));
    for (const std::string& problem : TakeProblems()) {
      ADD_FAILURE() << "GLib logged: " << problem;
    }
    g_object_unref(engine_);
    engine_ = nullptr;
  }

  void Send(Call* call, const char* method, const char* json_args) {
    g_autoptr(FlValue) args = json_args ? Json(json_args) : nullptr;
    quon_test::SendCall(messenger_, "v2ray", method, args, call);
  }

  // Sends one call and waits for its answer, described.
  std::string Invoke(const char* method, const char* json_args) {
    g_autoptr(FlValue) args = json_args ? Json(json_args) : nullptr;
    return quon_test::Invoke(messenger_, "v2ray", method, args, 10000);
  }

  FlEngine* engine_ = nullptr;
  FlBinaryMessenger* messenger_ = nullptr;
};

struct Row {
  const char* method;
  const char* args;
  std::string expected;
};

void RunTable(ChannelTest* test, const std::vector<Row>& rows);

TEST_F(ChannelTest, EveryMethodAnswersAsItsRowSays) {
  // In order: each row may depend on the engine state the rows above left.
  const std::vector<Row> rows = {
      {"getLastNativeResponse", nullptr, "s:"},
      {"getXrayLastError", nullptr, "s:"},
      {"isRunning", nullptr, "b:false"},
      {"status", R"({"ignored": 1})", "b:false"},
      {"stop", nullptr, "b:true"},
      {"getLastNativeResponse", nullptr, "s:xray already stopped"},
      {"getXrayLastError", nullptr, "s:"},
      {"checkTunnel", nullptr, "b:false"},
      {"checkLinuxTunnel", nullptr, "b:false"},
      {"getXrayLastError", nullptr, "s:Linux Xray process is not running"},
      // A new error empties the last response: it falls back to the error.
      {"getLastNativeResponse", nullptr, "s:Linux Xray process is not running"},
      {"setAppRules", R"({"mode": "allow", "apps": ["a"]})", "null"},
      {"setAppRules", nullptr, "null"},
      {"unknownMethod", nullptr, "not_implemented"},
      {"Start", nullptr, "not_implemented"},
      {"", nullptr, "not_implemented"},
  };
  RunTable(this, rows);
}

void RunTable(ChannelTest* test, const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.method) + " " + (row.args ? row.args : ""));
    EXPECT_EQ(row.expected, test->Invoke(row.method, row.args));
  }
}

TEST_F(ChannelTest, EmptyConfigurationIsRefusedWithoutTouchingTheEngine) {
  const std::string refused = std::string("e:INVALID_CONFIG:") + kEmptyConfig;
  const std::vector<Row> rows = {
      {"stop", nullptr, "b:true"},  // leaves "xray already stopped"
      {"start", nullptr, refused},
      {"start", R"([])", refused},
      {"start", R"("{}")", refused},
      {"start", R"({})", refused},
      {"start", R"({"config": ""})", refused},
      {"start", R"({"config_data": 7})", refused},
      // An empty "config_data" string wins over a usable "config".
      {"start", R"({"config_data": "", "config": "{}"})", refused},
      {"getLastNativeResponse", nullptr, "s:xray already stopped"},
  };
  RunTable(this, rows);
  std::lock_guard<std::mutex> lock(g_start_mutex);
  EXPECT_TRUE(g_starts.empty());
}

TEST_F(ChannelTest, StartPassesItsArgumentsByTheRules) {
  struct Case {
    const char* args;
    StartArgs expected;
  };
  const Case cases[] = {
      {R"({"config_data": "{\"a\":1}", "config": "{\"b\":2}"})",
       {"{\"a\":1}", "allow", {}}},
      {R"({"config_data": 5, "config": "{\"b\":2}"})",
       {"{\"b\":2}", "allow", {}}},
      {R"({"config": " ", "apps_filter_mode": 3})", {" ", "allow", {}}},
      {R"({"config_data": "{}", "apps_filter_mode": "",
           "selected_apps": ["org.a", "", 4, null, ["x"], "org.b"]})",
       {"{}", "", {"org.a", "org.b"}}},
      {R"({"config_data": "not json", "apps_filter_mode": "disallow",
           "selected_apps": "org.a"})",
       {"not json", "disallow", {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    {
      std::lock_guard<std::mutex> lock(g_start_mutex);
      g_starts.clear();
    }
    const std::string answer = Invoke("start", c.args);
    {
      std::lock_guard<std::mutex> lock(g_start_mutex);
      ASSERT_EQ(1u, g_starts.size());
      EXPECT_EQ(c.expected.config, g_starts[0].config);
      EXPECT_EQ(c.expected.mode, g_starts[0].mode);
      EXPECT_EQ(c.expected.apps, g_starts[0].apps);
    }
    // This build's engine cannot start: the failure carries its last error.
    ASSERT_EQ(0u, answer.rfind("e:START_FAILED:", 0)) << answer;
    EXPECT_EQ(answer.substr(std::string("e:START_FAILED:").size()),
              Invoke("getXrayLastError", nullptr).substr(2));
  }
}

TEST_F(ChannelTest, MainLoopNeverWaitsForTheEngine) {
  // A slow engine operation: another thread holds the lock for a second.
  std::atomic<bool> locked{false};
  std::atomic<bool> released{false};
  std::thread slow([&] {
    std::lock_guard<std::mutex> lock(g_engine_mutex);
    locked = true;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    released = true;
  });
  while (!locked) {
    std::this_thread::yield();
  }

  // The gaps between main-loop iterations, seen by a 5 ms timer.
  struct Gaps {
    Clock::time_point last = Clock::now();
    Clock::duration longest{};
  } gaps;
  const guint timer = g_timeout_add_full(
      G_PRIORITY_HIGH, 5,
      [](gpointer data) -> gboolean {
        auto* g = static_cast<Gaps*>(data);
        const auto now = Clock::now();
        g->longest = std::max(g->longest, now - g->last);
        g->last = now;
        return G_SOURCE_CONTINUE;
      },
      &gaps, nullptr);

  const char* methods[] = {"start",           "stop",
                           "isRunning",       "status",
                           "checkTunnel",     "getLastNativeResponse",
                           "getXrayLastError"};
  std::vector<Call> calls(std::size(methods));
  for (size_t i = 0; i < calls.size(); ++i) {
    Send(&calls[i], methods[i], i == 0 ? R"({"config_data": "{}"})" : nullptr);
  }
  // Answered at once, though every worker waits for the lock.
  Call rules;
  Send(&rules, "setAppRules", nullptr);
  EXPECT_TRUE(RunUntil([&] { return rules.answers > 0; }));
  EXPECT_FALSE(released);
  EXPECT_EQ("null", Describe(rules.response));

  EXPECT_TRUE(RunUntil([&] {
    return std::all_of(calls.begin(), calls.end(),
                       [](const Call& c) { return c.answers > 0; });
  }));
  EXPECT_TRUE(released);
  slow.join();
  g_source_remove(timer);

  for (const Call& c : calls) {
    EXPECT_EQ(1, c.answers);
  }
  const auto longest =
      std::chrono::duration_cast<std::chrono::milliseconds>(gaps.longest);
  RecordProperty("longest_main_loop_gap_ms", static_cast<int>(longest.count()));
  std::printf("longest main-loop gap: %d ms\n",
              static_cast<int>(longest.count()));
  EXPECT_LT(longest.count(), 200) << "the main loop stalled";
}

// The engine's lines "Start() called" and "Stop() called", in order, as
// "S" and "T".
std::string EngineCallOrder() {
  g_autofree gchar* log = nullptr;
  if (!g_file_get_contents(NativeLog().c_str(), &log, nullptr, nullptr)) {
    return "";
  }
  std::string order;
  for (const gchar* p = log; (p = strstr(p, "[LINUX V2RAY] St")) != nullptr;
       ++p) {
    if (g_str_has_prefix(p, "[LINUX V2RAY] Start() called")) {
      order += 'S';
    } else if (g_str_has_prefix(p, "[LINUX V2RAY] Stop() called")) {
      order += 'T';
    }
  }
  return order;
}

TEST_F(ChannelTest, EngineCallsRunInTheOrderTheyWereMade) {
  (void)unlink(NativeLog().c_str());
  {
    std::lock_guard<std::mutex> lock(g_start_mutex);
    g_starts.clear();
  }
  // The first start is slow, so that every later call is waiting for the
  // engine when it is free again: then nothing but the order they were made
  // in may decide which goes next.
  static std::atomic<int> starts_seen{0};
  starts_seen = 0;
  v2ray_channel_testing::SetStartObserver(
      [](const std::string& config, const std::string& mode,
         const std::vector<std::string>& apps) {
        if (starts_seen++ == 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        std::lock_guard<std::mutex> lock(g_start_mutex);
        g_starts.push_back({config, mode, apps});
      });
  constexpr int kPairs = 12;
  std::vector<Call> calls(1 + 2 * kPairs);
  std::vector<std::string> configs;
  for (int i = 0; i <= kPairs; ++i) {
    configs.push_back("{\"n\": " + std::to_string(i) + "}");
  }
  auto start_args = [](int i) {
    return R"({"config_data": "{\"n\": )" + std::to_string(i) + R"(}"})";
  };
  Send(&calls[0], "start", start_args(0).c_str());
  for (int i = 1; i <= kPairs; ++i) {
    // A "stop" sent right after a "start", and the next start right after.
    Send(&calls[2 * i - 1], "stop", nullptr);
    Send(&calls[2 * i], "start", start_args(i).c_str());
  }
  EXPECT_TRUE(RunUntil([&] {
    return std::all_of(calls.begin(), calls.end(),
                       [](const Call& c) { return c.answers > 0; });
  }));
  std::string expected = "S";
  for (int i = 0; i < kPairs; ++i) {
    expected += "TS";
  }
  EXPECT_EQ(expected, EngineCallOrder());
  std::lock_guard<std::mutex> lock(g_start_mutex);
  std::vector<std::string> seen;
  for (const StartArgs& start : g_starts) {
    seen.push_back(start.config);
  }
  EXPECT_EQ(configs, seen);
}

TEST_F(ChannelTest, NoWorkerThreadStillMeansExactlyOneAnswer) {
  v2ray_channel_testing::SetFailThreadCreation(true);
  const std::string prefix = "Linux VPN could not start a worker thread for ";
  const std::vector<Row> rows = {
      {"start", R"({"config_data": "{}"})",
       "e:START_FAILED:" + prefix + "start: Resource temporarily unavailable"},
      {"stop", nullptr,
       "e:STOP_FAILED:" + prefix + "stop: Resource temporarily unavailable"},
      {"isRunning", nullptr, "b:false"},
      {"checkLinuxTunnel", nullptr, "b:false"},
      // Strings say what happened: the engine is there all the same.
      {"getLastNativeResponse", nullptr,
       "s:" + prefix +
           "getLastNativeResponse: Resource temporarily unavailable"},
      {"getXrayLastError", nullptr,
       "s:" + prefix + "getXrayLastError: Resource temporarily unavailable"},
      {"setAppRules", nullptr, "null"},
  };
  RunTable(this, rows);
}

TEST_F(ChannelTest, EngineIsDestroyedUnderTheLockAndLaterCallsFindNone) {
  // Destruction waits for the lock that a "slow operation" holds.
  std::atomic<bool> destroyed{false};
  std::thread destroyer;
  {
    std::unique_lock<std::mutex> lock(g_engine_mutex);
    destroyer = std::thread([&] {
      DestroyV2RayEngineLinux();
      destroyed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(destroyed);
  }
  destroyer.join();
  // The destructor stopped the tunnel.
  g_autofree gchar* log = nullptr;
  ASSERT_TRUE(g_file_get_contents(NativeLog().c_str(), &log, nullptr, nullptr));
  EXPECT_NE(nullptr, strstr(log, "[LINUX V2RAY] Stop() called\n"));

  const std::string no_engine = std::string("s:") + kNoEngine;
  const std::vector<Row> rows = {
      {"start", R"({"config_data": "{}"})",
       std::string("e:START_FAILED:") + kNoEngine},
      {"stop", nullptr, "b:true"},
      {"isRunning", nullptr, "b:false"},
      {"checkTunnel", nullptr, "b:false"},
      {"getLastNativeResponse", nullptr, no_engine},
      {"getXrayLastError", nullptr, no_engine},
  };
  RunTable(this, rows);
  // A later registration makes a new engine.
  register_v2ray_channel_linux(messenger_);
  RunTable(this, {{"getXrayLastError", nullptr, "s:"}});
}

TEST_F(ChannelTest, ExitGivesUpOnABusyEngineWithinItsBound) {
  v2ray_channel_testing::SetExitLockWait(std::chrono::milliseconds(300));
  (void)unlink(NativeLog().c_str());
  // A worker inside a slow engine operation, as at exit.
  std::mutex& busy = g_engine_mutex;
  busy.lock();
  const auto begin = Clock::now();
  DestroyV2RayEngineLinux();
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::now() - begin);
  EXPECT_GE(waited.count(), 300);
  EXPECT_LT(waited.count(), 800);
  std::vector<std::string> problems = TakeProblems();
  ASSERT_EQ(1u, problems.size());
  EXPECT_EQ(
      "Linux VPN engine still busy after 300 ms at exit; leaving without "
      "stopping the tunnel",
      problems[0]);

  // Having given up once, the exit does not wait a second time.
  const auto again = Clock::now();
  DestroyV2RayEngineLinux();
  EXPECT_LT(Clock::now() - again, std::chrono::milliseconds(100));
  EXPECT_TRUE(TakeProblems().empty());
  busy.unlock();

  // The engine was left alone: it still answers, and nothing stopped it.
  RunTable(this, {{"getXrayLastError", nullptr, "s:"}});
  EXPECT_FALSE(g_file_test(NativeLog().c_str(), G_FILE_TEST_EXISTS));
  // Once free, the lock is taken and the engine goes.
  DestroyV2RayEngineLinux();
  RunTable(this,
           {{"isRunning", nullptr, "b:false"},
            {"getXrayLastError", nullptr, std::string("s:") + kNoEngine}});
}

TEST_F(ChannelTest, StringsReachDartAsUtf8) {
  // The core's log ends in a byte that is no UTF-8, and its last 8192 bytes
  // begin in the middle of a two-byte character.
  std::string log = "x";
  for (int i = 0; i < 5000; ++i) {
    log += "\u00e9";
  }
  log += "\xff end";
  ASSERT_TRUE(g_file_set_contents(RuntimeErrorLog().c_str(), log.data(),
                                  static_cast<gssize>(log.size()), nullptr));
  std::string expected;
  for (int i = 0; i < 4093; ++i) {
    expected += "\u00e9";
  }
  expected += "\uFFFD end";
  for (const char* method : {"getXrayLastError", "getLastNativeResponse"}) {
    SCOPED_TRACE(method);
    std::string answer = Invoke(method, nullptr);
    ASSERT_TRUE(g_utf8_validate(answer.data(),
                                static_cast<gssize>(answer.size()), nullptr));
    ASSERT_EQ(0u, answer.rfind("s:", 0)) << answer;
    answer.erase(0, 2);
    // The broken first character is either left out or replaced.
    if (answer.rfind("\uFFFD", 0) == 0) {
      answer.erase(0, std::strlen("\uFFFD"));
    }
    EXPECT_EQ(expected, answer);
  }
}

TEST_F(ChannelTest, NormalProcessExitStopsTheEngine) {
  (void)unlink(NativeLog().c_str());
  // The child inherits the registered engine; static destruction at exit
  // must stop it.
  EXPECT_EXIT(std::exit(0), ::testing::ExitedWithCode(0), "");
  g_autofree gchar* log = nullptr;
  ASSERT_TRUE(g_file_get_contents(NativeLog().c_str(), &log, nullptr, nullptr));
  EXPECT_NE(nullptr, strstr(log, "[LINUX V2RAY] Stop() called\n"));
}

TEST_F(ChannelTest, SecondRegistrationKeepsTheEngine) {
  RunTable(this, {{"stop", nullptr, "b:true"}});
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  g_autoptr(FlEngine) second = fl_engine_new(project);
  FlBinaryMessenger* first = messenger_;
  messenger_ = fl_engine_get_binary_messenger(second);
  register_v2ray_channel_linux(messenger_);
  // The new channel reaches the same engine: its state is still there.
  RunTable(this,
           {{"getLastNativeResponse", nullptr, "s:xray already stopped"}});
  EXPECT_EQ(0u, fl_standin_messenger_get_unanswered_count(messenger_));
  messenger_ = first;
}

TEST_F(ChannelTest, InvalidMessengerIsRefused) {
  register_v2ray_channel_linux(nullptr);
  const std::vector<std::string> problems = TakeProblems();
  ASSERT_EQ(1u, problems.size());
  EXPECT_NE(std::string::npos,
            problems[0].find("FL_IS_BINARY_MESSENGER(messenger)"));
}

}  // namespace
