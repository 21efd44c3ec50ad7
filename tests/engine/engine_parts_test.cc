// The building blocks of start and stop: the runtime configuration file,
// the route helper call and the TUN wait.
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "engine_fixture.h"

namespace engine_test {
namespace {

const std::string kConfigPrefix =
    std::string("Failed to remove stale Linux runtime config '") +
    kRuntimeConfig + "': ";

class EnginePartsTest : public EngineTest {};

TEST_F(EnginePartsTest, RuntimeConfigIsWrittenFreshWithMode0600) {
  NewEngine();
  const std::string victim = "/tmp/victim";
  struct Case {
    const char* what;
    void (*prepare)(const std::string& victim);
  };
  const Case cases[] = {
      {"no file", [](const std::string&) {}},
      {"stale file",
       [](const std::string&) {
         WriteFile(kRuntimeConfig, "old content that is longer than new", 0666);
       }},
      {"symbolic link",
       [](const std::string& target) {
         ASSERT_EQ(0, symlink(target.c_str(), kRuntimeConfig));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(victim, "must stay", 0644);
    (void)unlink(kRuntimeConfig);
    c.prepare(victim);
    // Written byte for byte, an embedded NUL included.
    const std::string text =
        std::string("{\"x\": \"") + c.what + "\"}\n" + std::string("\0z", 2);
    ASSERT_TRUE(engine().WriteRuntimeConfig(text)) << engine().LastError();
    struct stat st {};
    ASSERT_EQ(0, lstat(kRuntimeConfig, &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(text, ReadFile(kRuntimeConfig));
    EXPECT_EQ("must stay", ReadFile(victim));
  }
  // Success logs nothing.
  EXPECT_TRUE(NativeLog().empty());
}

TEST_F(EnginePartsTest, RuntimeConfigFailuresGiveTheirMessage) {
  NewEngine();
  // A directory in the way cannot be unlinked.
  ASSERT_EQ(0, mkdir(kRuntimeConfig, 0755));
  EXPECT_FALSE(engine().WriteRuntimeConfig("{}"));
  EXPECT_EQ(kConfigPrefix + "Is a directory", engine().LastError());
  EXPECT_EQ(std::vector<std::string>{"[LINUX V2RAY] ERROR " + kConfigPrefix +
                                     "Is a directory"},
            NativeLog());
  ASSERT_EQ(0, rmdir(kRuntimeConfig));

  // A full file system: the write fails, and the partial file is removed.
  ASSERT_EQ(0, mount("tmpfs", "/tmp", "tmpfs", 0, "size=4k,mode=1777"));
  const std::string big(size_t{64} * 1024, 'x');
  EXPECT_FALSE(engine().WriteRuntimeConfig("{" + big));
  EXPECT_EQ(std::string("Failed to write Linux runtime config '") +
                kRuntimeConfig + "': No space left on device",
            engine().LastError());
  EXPECT_NE(0, access(kRuntimeConfig, F_OK));
  EXPECT_EQ("", engine().LastResponse());
  ASSERT_EQ(0, umount2("/tmp", MNT_DETACH));
}

// A child that cannot be started at all (no process for the user, as under
// a process limit) is a failed fork, for the route helper and for the core.
TEST_F(EnginePartsTest, ChildThatCannotBeStartedIsAFailedFork) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to drop to another user";
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit none = {0, 0};
    if (setgid(65534) != 0 || setuid(65534) != 0 ||
        setrlimit(RLIMIT_NPROC, &none) != 0) {
      _exit(2);
    }
    V2RayEngineLinux engine;
    if (engine.RunRouteHelper("stop", "vpn.test", 1) ||
        engine.LastError() != "fork() failed for route helper") {
      _exit(3);
    }
    if (engine.Start(XrayConfig("127.0.0.1"), "allow", {}) ||
        engine.LastError() != "fork() failed") {
      _exit(4);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

// Every outcome of the route helper call, with the stand-in helper.
TEST_F(EnginePartsTest, RouteHelperOutcomes) {
  NewEngine();
  struct Case {
    std::string mode;
    bool ok;
    std::string error;
  };
  const Case cases[] = {
      {"exit:0", true, ""},
      {"exit:10", false,
       "Orvex system helper needs root privileges. Run the one-time Linux "
       "installer/setup so the route helper (/opt/quon_vpn/pathwarden, or "
       "/usr/local/libexec/quon_vpn/pathwarden where that exists) is "
       "installed with the required privilege."},
      {"exit:126", false,
       "permission denied while executing Orvex system helper"},
      {"exit:127", false,
       "Orvex system helper could not be executed. Run the one-time Linux "
       "setup/installer."},
      {"exit:12", false,
       "route helper failed: the saved IPv4 default route could not be put "
       "back; stop again to retry (status 12)"},
      {"exit:15", false,
       "route helper failed: another route helper is still running (status "
       "15)"},
      {"exit:200", false,
       "route helper failed: the route helper ended with a status it does not "
       "define (200)"},
      {"exit:1", false,
       "route helper failed: the route helper was called with arguments it "
       "does not accept (status 1)"},
      {"signal:KILL", false, "route helper terminated abnormally"},
      {"signal:TERM", false, "route helper terminated abnormally"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ClearRecords();
    SetHelperMode("start", c.mode);
    WriteFile(kRuntimeErrorLog, "old xray output\n");
    // A success leaves an earlier error as it was.
    engine().SetError("earlier");
    EXPECT_EQ(c.ok, engine().RunRouteHelper("start", "vpn.test", 5));
    EXPECT_EQ(c.ok ? "earlier" : c.error, engine().LastError());
    EXPECT_EQ(std::vector<std::string>{"start vpn.test"}, HelperCalls());
    EXPECT_EQ("", ReadFile(kRuntimeErrorLog)) << "not emptied before the run";
    const std::vector<std::string> log = NativeLog();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(
        "[LINUX V2RAY] route helper action=start server=vpn.test "
        "helper=/usr/local/libexec/quon_vpn/pathwarden",
        log[1]);
    EXPECT_EQ(c.ok ? "[LINUX V2RAY] route helper finished successfully"
                   : "[LINUX V2RAY] ERROR " + c.error,
              log[2]);
    EXPECT_TRUE(Children().empty());
  }
  // The helper's own output is appended, never truncated.
  const std::vector<std::string> out = SplitLines(ReadFile(kHelperLog));
  EXPECT_EQ(std::size(cases), out.size());
  EXPECT_EQ("stand-in helper start vpn.test", out.front());
}

TEST_F(EnginePartsTest, RouteHelperRefusesBeforeStarting) {
  NewEngine();
  WriteFile(kRuntimeErrorLog, "kept\n");
  // Empty host: no child, the runtime error log kept.
  EXPECT_FALSE(engine().RunRouteHelper("stop", "", 5));
  EXPECT_EQ("server host is empty for route helper", engine().LastError());
  // Not executable (and no development copy beside the test): that message
  // wins over the empty host.
  ASSERT_EQ(0, chmod(kHelperPath, 0644));
  EXPECT_FALSE(engine().RunRouteHelper("stop", "", 5));
  EXPECT_EQ(kHelperNotInstalled, engine().LastError());
  EXPECT_FALSE(engine().RunRouteHelper("stop", "vpn.test", 5));
  EXPECT_EQ(kHelperNotInstalled, engine().LastError());
  EXPECT_TRUE(HelperCalls().empty());
  EXPECT_EQ("kept\n", ReadFile(kRuntimeErrorLog));

  // Passes the access check but cannot be executed by the child: 127.
  WriteFile(kHelperPath, "#!/nonexistent/interpreter\n", 0755);
  EXPECT_FALSE(engine().RunRouteHelper("stop", "vpn.test", 5));
  EXPECT_EQ(
      "Orvex system helper could not be executed. Run the one-time Linux "
      "setup/installer.",
      engine().LastError());
}

TEST_F(EnginePartsTest, RouteHelperTimeLimit) {
  NewEngine();
  SetHelperMode("stop", "sleep:30");
  struct Case {
    int limit;
    int min_ms;
    int max_ms;
  };
  for (const Case c : {Case{0, 0, 800}, Case{1, 1000, 2500}}) {
    SCOPED_TRACE(c.limit);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine().RunRouteHelper("stop", "vpn.test", c.limit));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - t0)
                        .count();
    EXPECT_EQ("route helper timed out", engine().LastError());
    EXPECT_GE(ms, c.min_ms);
    EXPECT_LT(ms, c.max_ms);
    // Killed and reaped, not left behind.
    EXPECT_TRUE(Children().empty());
  }
}

TEST_F(EnginePartsTest, TunWait) {
  NewEngine();
  const auto timed = [this](const std::string& name, int attempts) {
    const auto t0 = std::chrono::steady_clock::now();
    const bool found = engine().WaitForTun(name, attempts, 100);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - t0)
                        .count();
    return std::make_pair(found, ms);
  };
  auto [found, ms] = timed("lo", 5);
  EXPECT_TRUE(found);
  EXPECT_LT(ms, 100) << "an existing interface needs no sleep";
  std::tie(found, ms) = timed("quon_vpn0", 3);
  EXPECT_FALSE(found);
  EXPECT_GE(ms, 300) << "three attempts, three sleeps";
  std::tie(found, ms) = timed("quon_vpn0", 0);
  EXPECT_FALSE(found);
  EXPECT_LT(ms, 50);
  // The name reaches the shell unquoted; a name with shell syntax is the
  // caller's business, but a plain missing one must not match a prefix.
  std::tie(found, ms) = timed("l", 1);
  EXPECT_FALSE(found);
  EXPECT_TRUE(Children().empty());
}

// The tail of the core's output: never more than 8192 bytes, and never a
// piece of a character at either end, which the interface could not decode.
TEST_F(EnginePartsTest, RuntimeErrorTailIsBoundedAndWhole) {
  NewEngine();
  const std::string euro = "\xE2\x82\xAC";  // U+20AC, three bytes.
  struct Case {
    const char* name;
    std::string content;
    std::string tail;
  };
  const std::string filler(8190, 'a');
  const Case cases[] = {
      // The cut falls after the first byte of the euro sign: its other two
      // bytes are dropped.
      {"cut inside a character", "x" + euro + filler, std::string(filler)},
      {"cut before a character", euro + std::string(8192, 'b'),
       std::string(8192, 'b')},
      // The core was in the middle of writing a character.
      {"incomplete at the end", "ok\n\xE2\x82", "ok\n"},
      {"whole characters", "ok " + euro + "\n", "ok " + euro + "\n"},
      // Invalid bytes that are no cut are the channel's to replace.
      {"invalid byte kept",
       "a\xFF"
       "b",
       "a\xFF"
       "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(kRuntimeErrorLog, c.content);
    EXPECT_EQ(c.tail, engine().ReadRuntimeError());
  }

  // The core keeps appending while the tail is read.
  WriteFile(kRuntimeErrorLog, std::string(8192, 'c'));
  std::atomic<bool> stop{false};
  std::thread writer([&stop] {
    std::ofstream log(kRuntimeErrorLog, std::ios::binary | std::ios::app);
    const std::string chunk(65536, 'd');
    while (!stop) {
      log << chunk << std::flush;
    }
  });
  size_t longest = 0;
  for (int i = 0; i < 200; ++i) {
    longest = std::max(longest, engine().ReadRuntimeError().size());
  }
  stop = true;
  writer.join();
  EXPECT_LE(longest, 8192u);
}

}  // namespace
}  // namespace engine_test
