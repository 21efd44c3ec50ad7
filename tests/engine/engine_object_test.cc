// The engine object: its paths, native log, error state and liveness test.
// Runs inside tests/lib/sandbox.sh: it writes the fixed paths under /tmp and
// mounts over /opt and /usr/local.
#include <errno.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "engine_fixture.h"
#include "sandbox_check.h"
#include "v2ray_engine_linux.h"

namespace engine_test {
namespace {

std::string OwnExe() {
  char buf[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string OwnDir() {
  const std::string exe = OwnExe();
  return exe.substr(0, exe.rfind('/'));
}

// When the test above runs this binary again through a symlink, it reports
// what the engine finds and ends before any test runs.
const bool g_printed_exe_dir = [] {
  if (std::getenv("RUNNER_TEST_PRINT_EXE_DIR") != nullptr) {
    V2RayEngineLinux engine;
    std::printf("dir=%s\n", engine.GetExecutableDir().c_str());
    (void)std::fflush(stdout);
    _exit(0);
  }
  return false;
}();

class EngineObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!quon_test::InSandbox(false)) {
      GTEST_FAIL() << "not inside tests/lib/sandbox.sh; refusing to write "
                      "the fixed /tmp paths";
    }
    UseTmpRuntimeDir();
    (void)unlink(kNativeLog);
    (void)rmdir(kNativeLog);
    (void)unlink(kRuntimeErrorLog);
  }
};

TEST_F(EngineObjectTest, FreshEngineHasNoStateAndNoRunningXray) {
  V2RayEngineLinux engine;
  EXPECT_FALSE(engine.IsRunning());
  EXPECT_EQ("", engine.LastError());
  EXPECT_EQ("", engine.LastResponse());
  EXPECT_EQ(kRuntimeConfig, engine.GetRuntimeConfigPath());
  // Construction reads and writes nothing.
  EXPECT_NE(0, access(kNativeLog, F_OK));
}

TEST_F(EngineObjectTest, ExecutableDirFollowsTheRealExecutable) {
  // The test binary itself, reached through a symlink in another directory:
  // /proc/self/exe names the real file, so the directory is the real one.
  V2RayEngineLinux engine;
  EXPECT_EQ(OwnDir(), engine.GetExecutableDir());
  ASSERT_EQ(0, mkdir("/tmp/elsewhere", 0755));
  const std::string link = "/tmp/elsewhere/linked_test";
  ASSERT_EQ(0, symlink(OwnExe().c_str(), link.c_str()));
  const std::string cmd =
      "RUNNER_TEST_PRINT_EXE_DIR=1 " + link + " > /tmp/paths.txt";
  ASSERT_EQ(0, std::system(cmd.c_str()));
  EXPECT_EQ("dir=" + OwnDir() + "\n", ReadFile("/tmp/paths.txt"));
}

TEST_F(EngineObjectTest, InstalledProgramsWinOnlyWhenExecutable) {
  // Private tmpfs over /opt and /usr/local: the sandbox's mount namespace is
  // this test's alone.
  ASSERT_EQ(0, mount("tmpfs", "/opt", "tmpfs", 0, "mode=755"));
  ASSERT_EQ(0, mount("tmpfs", "/usr/local", "tmpfs", 0, "mode=755"));
  ASSERT_EQ(0, mkdir("/opt/quon_vpn", 0755));
  ASSERT_EQ(0, mkdir("/usr/local/libexec", 0755));
  ASSERT_EQ(0, mkdir("/usr/local/libexec/quon_vpn", 0755));
  const std::string xray = "/opt/quon_vpn/xray";
  const std::string helper = "/usr/local/libexec/quon_vpn/pathwarden";
  const std::string dev_xray = OwnDir() + "/xray";
  const std::string dev_helper = OwnDir() + "/pathwarden";

  struct Case {
    const char* what;
    bool exists;
    mode_t mode;
    bool installed_wins;
  };
  const Case cases[] = {
      {"missing", false, 0, false},
      {"present, not executable", true, 0644, false},
      {"present, executable", true, 0755, true},
      {"present, executable by owner only", true, 0700, true},
  };
  V2RayEngineLinux engine;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    (void)unlink(xray.c_str());
    (void)unlink(helper.c_str());
    if (c.exists) {
      WriteFile(xray, "#!/bin/sh\n");
      WriteFile(helper, "#!/bin/sh\n");
      ASSERT_EQ(0, chmod(xray.c_str(), c.mode));
      ASSERT_EQ(0, chmod(helper.c_str(), c.mode));
    }
    EXPECT_EQ(c.installed_wins ? xray : dev_xray, engine.GetXrayPath());
    EXPECT_EQ(c.installed_wins ? helper : dev_helper, engine.GetHelperPath());
  }
}

TEST_F(EngineObjectTest, SetErrorReplacesResponseAndAppendsOneErrorLine) {
  WriteFile(kNativeLog, "earlier line\n");
  V2RayEngineLinux engine;
  // A fresh engine's Stop has nothing to undo and succeeds.
  ASSERT_TRUE(engine.Stop());
  EXPECT_EQ("xray already stopped", engine.LastResponse());
  EXPECT_EQ("", engine.LastError());

  engine.SetError("first failure");
  EXPECT_EQ("", engine.LastResponse());
  EXPECT_EQ("first failure", engine.LastError());
  engine.SetError("second failure");
  EXPECT_EQ("second failure", engine.LastError());

  EXPECT_EQ(
      "earlier line\n"
      "[LINUX V2RAY] Stop() called\n"
      "[LINUX V2RAY] xray already stopped\n"
      "[LINUX V2RAY] ERROR first failure\n"
      "[LINUX V2RAY] ERROR second failure\n",
      ReadFile(kNativeLog));

  // A success empties the error again: LastError falls back to what Xray
  // itself last printed.
  WriteFile(kRuntimeErrorLog, "xray said: bad config\n");
  ASSERT_TRUE(engine.Stop());
  EXPECT_EQ("xray said: bad config\n", engine.LastError());
}

TEST_F(EngineObjectTest, UnwritableNativeLogLosesOnlyTheLine) {
  // A directory in the log's place: fopen fails.
  ASSERT_EQ(0, mkdir(kNativeLog, 0755));
  V2RayEngineLinux engine;
  engine.SetError("still recorded");
  EXPECT_EQ("still recorded", engine.LastError());
}

TEST_F(EngineObjectTest, DestructionStopsAndLogsIt) {
  { V2RayEngineLinux engine; }
  EXPECT_EQ(
      "[LINUX V2RAY] Stop() called\n"
      "[LINUX V2RAY] xray already stopped\n",
      ReadFile(kNativeLog));
}

TEST_F(EngineObjectTest, OperationsThatCannotSucceedHereReportWhy) {
  V2RayEngineLinux engine;
  EXPECT_FALSE(engine.Start("{\"outbounds\":[]}", "allow", {}));
  EXPECT_FALSE(engine.LastError().empty());
  EXPECT_FALSE(engine.CheckTunnel());
  EXPECT_EQ("Linux Xray process is not running", engine.LastError());
  EXPECT_FALSE(engine.RunRouteHelper("start", "example.test", 1));
  EXPECT_FALSE(engine.LastError().empty());
  EXPECT_EQ("", engine.LastResponse());
}

TEST_F(EngineObjectTest, RuntimeErrorTailIsTheLast8192BytesUnaltered) {
  const std::string block(8192, 'x');
  struct Case {
    const char* what;
    bool exists;
    std::string content;
    std::string expected;
  };
  const Case cases[] = {
      {"missing file", false, "", ""},
      {"empty file", true, "", ""},
      {"shorter file", true, "  short\r\n", "  short\r\n"},
      {"exactly 8192 bytes", true, block, block},
      {"longer, trailing newline", true, "HEAD" + block + "\n",
       block.substr(1) + "\n"},
      {"binary bytes", true, std::string("a\0b\n", 4),
       std::string("a\0b\n", 4)},
  };
  V2RayEngineLinux engine;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    (void)unlink(kRuntimeErrorLog);
    if (c.exists) {
      WriteFile(kRuntimeErrorLog, c.content);
    }
    const std::string tail = engine.ReadRuntimeError();
    // Compared as booleans: a mismatch of 8 KiB texts is unreadable.
    EXPECT_EQ(c.expected.size(), tail.size());
    EXPECT_TRUE(c.expected == tail);
    EXPECT_TRUE(c.expected == engine.LastError());
  }
}

TEST_F(EngineObjectTest, LivenessOfOwnChildren) {
  V2RayEngineLinux engine;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pause();
    _exit(0);
  }
  EXPECT_TRUE(engine.ProcessExists(child));

  ASSERT_EQ(0, kill(child, SIGKILL));

  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  EXPECT_FALSE(engine.ProcessExists(child));

  // 0 and -1 would address process groups or every process; kill() on them
  // would succeed, so a true here would mean they were signalled.
  EXPECT_FALSE(engine.ProcessExists(0));
  EXPECT_FALSE(engine.ProcessExists(-1));
  EXPECT_FALSE(engine.ProcessExists(-child));
}

TEST_F(EngineObjectTest, ProcessOfAnotherUserCountsAsAlive) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to drop to another user";
  }
  const pid_t root_process = getpid();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) {
      _exit(2);
    }
    // Make sure the case is real: this kill must be refused.
    if (kill(root_process, 0) == 0 || errno != EPERM) {
      _exit(3);
    }
    V2RayEngineLinux engine;
    _exit(engine.ProcessExists(root_process) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
}  // namespace engine_test
