// The child-process building blocks: the spawned child, the background
// reaper that leaves no zombie behind, and the watcher that keeps a core
// from outliving its runner.
#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_reaper.h"
#include "common/unique_fd.h"
#include "common/watcher_protocol.h"
#include "core_watcher.h"
#include "engine_fixture.h"

namespace engine_test {
namespace {

SpawnRequest Shell(const std::string& script) {
  SpawnRequest request;
  request.program = "/bin/sh";
  request.argv = {"sh", "-c", script};
  return request;
}

// Starts "sh -c SCRIPT" and hands the id over.
pid_t StartShell(const std::string& script) {
  ChildProcess child;
  EXPECT_TRUE(child.Spawn(Shell(script)));
  return child.Release();
}

long MsSince(std::chrono::steady_clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - t0)
          .count());
}

template <typename Done>
bool Within(int ms, Done done) {
  const auto t0 = std::chrono::steady_clock::now();
  while (!done()) {
    if (MsSince(t0) > ms) {
      return false;
    }
    usleep(10 * 1000);
  }
  return true;
}

TEST(ChildProcessTest, ExitStatusAndFailedExec) {
  ChildProcess ok;
  ASSERT_TRUE(ok.Spawn(Shell("exit 3")));
  EXPECT_EQ(ChildProcess::Poll::kEnded, ok.PollReap(1000, 20));
  EXPECT_TRUE(WIFEXITED(ok.status()));
  EXPECT_EQ(3, WEXITSTATUS(ok.status()));
  EXPECT_FALSE(ok.owned());

  // A program that cannot be executed is a child that ended with 127, as a
  // forked child whose exec failed was; nothing is ever signalled for it.
  for (const char* program : {"/nonexistent/program", "/etc/hostname"}) {
    ChildProcess missing;
    SpawnRequest request;
    request.program = program;
    request.argv = {"x"};
    ASSERT_TRUE(missing.Spawn(request)) << program;
    EXPECT_TRUE(missing.owned());
    EXPECT_EQ(-1, missing.pid());
    EXPECT_EQ(ChildProcess::Poll::kEnded, missing.TryReap()) << program;
    EXPECT_EQ(127, WEXITSTATUS(missing.status())) << program;
    EXPECT_FALSE(missing.owned());
  }
  EXPECT_TRUE(Children().empty());
}

// The child gets the descriptors it is given at the numbers asked for, none
// of the runner's others, and none of its signal handling: no blocked and
// no ignored signal.
TEST(ChildProcessTest, DescriptorsAndSignalsOfTheChild) {
  const std::string out = "/tmp/child_output";
  const UniqueFd output(
      open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  ASSERT_TRUE(output.valid());
  const UniqueFd passed(open("/dev/zero", O_RDONLY | O_CLOEXEC));
  // A descriptor of the runner without close-on-exec, as a library may
  // leave one.
  const UniqueFd leaked(open("/dev/null", O_RDONLY));
  ASSERT_TRUE(passed.valid() && leaked.valid());

  sigset_t block;
  sigset_t old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &block, &old_mask));
  struct sigaction ignore = {};
  struct sigaction old_action = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(0, sigaction(SIGUSR2, &ignore, &old_action));

  SpawnRequest request = Shell(
      "echo out; echo err >&2; grep -E '^Sig(Blk|Ign)' /proc/self/status; "
      "[ -e /proc/self/fd/5 ] && echo passed; "
      "[ -e /proc/self/fd/" +
      std::to_string(leaked.get()) + " ] && echo leaked; exit 0");
  request.output_fd = output.get();
  request.null_input = true;
  request.pass_fds = {{passed.get(), 5}};
  request.close_others = true;
  ChildProcess child;
  ASSERT_TRUE(child.Spawn(request));
  EXPECT_EQ(ChildProcess::Poll::kEnded, child.PollReap(3000, 10));

  (void)sigaction(SIGUSR2, &old_action, nullptr);
  (void)pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  // Signals 32 and 33 are the C library's own, out of reach of programs.
  const std::vector<std::string> lines = SplitLines(ReadFile(out));
  ASSERT_EQ(5u, lines.size()) << ReadFile(out);
  EXPECT_EQ("out", lines[0]);
  EXPECT_EQ("err", lines[1]);
  EXPECT_EQ("SigBlk:\t0000000000000000", lines[2]);
  EXPECT_EQ(0u,
            std::stoull(lines[3].substr(lines[3].find('\t') + 1), nullptr, 16) &
                0x7fffffffu)
      << lines[3];
  EXPECT_EQ("passed", lines[4]);
}

TEST(ChildProcessTest, OwnedChildIsKilledWhenDropped) {
  pid_t pid = -1;
  {
    ChildProcess child;
    ASSERT_TRUE(child.Spawn(Shell("exec sleep 30")));
    pid = child.pid();
    EXPECT_EQ(ChildProcess::Poll::kRunning, child.TryReap());
  }
  EXPECT_TRUE(IsZombieOrGone(pid));
  EXPECT_TRUE(Children().empty()) << "dropped child left as a zombie";
}

TEST(ChildReaperTest, ReapsATerminatedChildWithoutBeingAsked) {
  ChildReaper reaper;
  const pid_t pid = StartShell("sleep 0.3");
  reaper.Adopt(pid);
  EXPECT_EQ(1u, reaper.pending());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(NoChildrenWithin(3000));
  EXPECT_LT(MsSince(t0), 1500);
  // A later adoption joins the finished thread.
  reaper.Adopt(StartShell("exit 0"));
  EXPECT_TRUE(NoChildrenWithin(3000));
  EXPECT_EQ(0u, reaper.pending());
}

TEST(ChildReaperTest, FinishEndsAProcessThatIgnoresSigterm) {
  const pid_t pid = StartShell("trap '' TERM; exec sleep 30");
  {
    ChildReaper reaper;
    reaper.Adopt(pid);
    // Once the shell has become sleep, SIGTERM is ignored for good.
    const std::string comm = "/proc/" + std::to_string(pid) + "/comm";
    for (int i = 0; i < 200 && ReadFile(comm) != "sleep\n"; ++i) {
      usleep(10 * 1000);
    }
    ASSERT_EQ(0, kill(pid, SIGTERM));
    usleep(300 * 1000);
    EXPECT_FALSE(IsZombieOrGone(pid)) << "the reaper must not kill on its own";
    const auto t0 = std::chrono::steady_clock::now();
    reaper.Finish();
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_TRUE(IsZombieOrGone(pid));
  }
  EXPECT_TRUE(Children().empty());
}

// A process that ignores SIGTERM is killed once the same grace as Stop's is
// over, so that it cannot run on beside the next core.
TEST(ChildReaperTest, KillsAfterTheGrace) {
  const pid_t pid = StartShell("trap '' TERM; exec sleep 30");
  ChildReaper reaper;
  const auto t0 = std::chrono::steady_clock::now();
  reaper.Adopt(pid);
  usleep((ChildReaper::kGraceMs - 500) * 1000);
  EXPECT_FALSE(IsZombieOrGone(pid)) << "killed before its grace was over";
  EXPECT_TRUE(NoChildrenWithin(1500)) << "still there after the grace";
  EXPECT_GE(MsSince(t0), ChildReaper::kGraceMs);
}

// The core's watcher, against a stand-in core (sleep) and a stand-in
// route helper that records its arguments.
class CoreWatcherTest : public ::testing::Test {
 protected:
  static constexpr char kCalls[] = "/tmp/watcher_calls";
  static constexpr char kHelper[] = "/tmp/watcher_helper";
  static constexpr char kSession[] = "0123456789abcdef0123456789abcdef";

  void SetUp() override {
    const char* bundle = std::getenv("QUON_BUNDLE_DIR");
    ASSERT_NE(nullptr, bundle);
    orders_.watcher = std::string(bundle) + "/quon_vpn_watch";
    ASSERT_EQ(0, access(orders_.watcher.c_str(), X_OK)) << "not built";
    WriteFile(kHelper,
              "#!/bin/sh\necho \"$*\" >> /tmp/watcher_calls\n"
              "echo \"stand-in helper $*\"\n",
              0755);
    (void)unlink(kCalls);
    orders_.helper = kHelper;
    orders_.host = "192.0.2.7";
    orders_.session = kSession;
    orders_.log_path = "/tmp/watcher_log";
  }

  // What the stand-in runner left (its watcher, the helper the watcher ran)
  // ends as an orphan of this test, which must reap it, zombies included.
  void TearDown() override {
    EXPECT_TRUE(Within(3000,
                       [] {
                         ReapOrphans();
                         return Children().empty();
                       }))
        << "children left behind: " << Children().size();
  }

  // Forks a stand-in runner that starts a core and its watcher, then
  // waits to be killed; returns its id and reports the core's and the
  // watcher's.
  pid_t StartRunner(pid_t* core, pid_t* watcher) {
    int report[2] = {-1, -1};
    EXPECT_EQ(0, pipe2(report, O_CLOEXEC));
    const pid_t owner = fork();
    if (owner == 0) {
      ChildProcess child;
      if (!child.Spawn(Shell("exec sleep 30"))) {
        _exit(1);
      }
      CoreWatcher core_watcher;
      const pid_t ids[2] = {child.pid(),
                            core_watcher.Watch(child.pid(), orders_)
                                ? core_watcher.watcher_pid()
                                : -1};
      (void)write(report[1], ids, sizeof(ids));
      for (;;) {
        pause();
      }
    }
    (void)close(report[1]);
    pid_t ids[2] = {-1, -1};
    EXPECT_EQ(static_cast<ssize_t>(sizeof(ids)),
              read(report[0], ids, sizeof(ids)));
    (void)close(report[0]);
    *core = ids[0];
    *watcher = ids[1];
    return owner;
  }

  // The orphans of a killed stand-in runner are this test's to reap: it is
  // the init of its namespace.
  static void ReapOrphans() {
    int status = 0;
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
  }

  // The watcher that |owner| has now.
  static pid_t WatcherOf(pid_t owner) {
    for (const pid_t pid : ChildrenOf(owner)) {
      if (ReadFile("/proc/" + std::to_string(pid) + "/comm") ==
              std::string(watcher_protocol::kWatcherName) + "\n" &&
          !IsZombieOrGone(pid)) {
        return pid;
      }
    }
    return -1;
  }

  WatcherOrders orders_;
};

// The runner dies without a word: its core ends and the helper's stop runs
// with the tunnel's session, its output in the helper log.
TEST_F(CoreWatcherTest, TheRunnerDiesTheCoreEndsAndTheNetworkIsGivenBack) {
  pid_t core = -1;
  pid_t watcher = -1;
  const pid_t owner = StartRunner(&core, &watcher);
  ASSERT_GT(watcher, 0) << "no watcher";
  EXPECT_FALSE(IsZombieOrGone(core));
  ASSERT_EQ(0, kill(owner, SIGKILL));
  int status = 0;
  ASSERT_EQ(owner, waitpid(owner, &status, 0));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(Within(3000, [&] {
    ReapOrphans();
    return IsZombieOrGone(core) && IsZombieOrGone(watcher);
  })) << "the core outlived its runner";
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_EQ("stop 192.0.2.7 " + std::string(kSession) + "\n", ReadFile(kCalls));
  const std::string log = ReadFile(orders_.log_path);
  EXPECT_NE(std::string::npos, log.find("[watcher] quon_vpn is gone")) << log;
  EXPECT_NE(std::string::npos, log.find("stand-in helper stop")) << log;
}

// A watcher killed by hand is replaced at once, and the new one does the
// work when the runner dies after it.
TEST_F(CoreWatcherTest, AKilledWatcherIsReplaced) {
  pid_t core = -1;
  pid_t watcher = -1;
  const pid_t owner = StartRunner(&core, &watcher);
  ASSERT_GT(watcher, 0);
  ASSERT_EQ(0, kill(watcher, SIGKILL));
  pid_t second = -1;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(Within(2000, [&] {
    second = WatcherOf(owner);
    return second > 0 && second != watcher;
  })) << "the killed watcher was not replaced";
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_FALSE(IsZombieOrGone(core)) << "the core must stay up";
  ASSERT_EQ(0, kill(owner, SIGKILL));
  int status = 0;
  ASSERT_EQ(owner, waitpid(owner, &status, 0));
  EXPECT_TRUE(Within(3000, [&] {
    ReapOrphans();
    return IsZombieOrGone(core) && IsZombieOrGone(second);
  })) << "the core outlived its runner";
  EXPECT_EQ("stop 192.0.2.7 " + std::string(kSession) + "\n", ReadFile(kCalls));
}

// Released, the watcher leaves the core alone; abandoned, it ends the core;
// neither runs the helper.
TEST_F(CoreWatcherTest, ReleaseAndAbandon) {
  ChildProcess kept;
  ASSERT_TRUE(kept.Spawn(Shell("exec sleep 30")));
  {
    CoreWatcher core_watcher;
    ASSERT_TRUE(core_watcher.Watch(kept.pid(), orders_));
    const pid_t watcher = core_watcher.watcher_pid();
    core_watcher.Release();
    EXPECT_FALSE(core_watcher.watching());
    EXPECT_TRUE(IsZombieOrGone(watcher));
    EXPECT_EQ(0, core_watcher.replaced())
        << "a released watcher is not replaced";
  }
  EXPECT_EQ(ChildProcess::Poll::kRunning, kept.TryReap())
      << "a released watcher ended its child";

  {
    ChildReaper reaper;
    CoreWatcher core_watcher;
    ASSERT_TRUE(core_watcher.Watch(kept.pid(), orders_));
    core_watcher.Abandon(&reaper);
    EXPECT_EQ(ChildProcess::Poll::kEnded, kept.PollReap(3000, 10))
        << "an abandoned core was not ended";
    EXPECT_TRUE(WIFSIGNALED(kept.status()));
    EXPECT_EQ(SIGTERM, WTERMSIG(kept.status()));
  }
  EXPECT_EQ("", ReadFile(kCalls));

  // No watcher program: Watch says so and leaves nothing behind.
  ChildProcess another;
  ASSERT_TRUE(another.Spawn(Shell("exec sleep 30")));
  CoreWatcher core_watcher;
  orders_.watcher = "/nonexistent/quon_vpn_watch";
  EXPECT_FALSE(core_watcher.Watch(another.pid(), orders_));
  EXPECT_FALSE(core_watcher.watching());
}

}  // namespace
}  // namespace engine_test
