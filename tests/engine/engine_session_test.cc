// One tunnel, one owner: each tunnel's helper calls carry its session, a
// tunnel of another runner or user is left alone (the helper refuses; the
// engine says so), and routing left by a runner that is gone is restored at
// start-up. Against the stand-in helper, which answers as told.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine_fixture.h"
#include "helper_status_text.h"

namespace engine_test {
namespace {

constexpr char kState[] = "/run/quon_vpn_route_state_linux.txt";

class SessionTest : public EngineTest {
 protected:
  void TearDown() override {
    SetHelperMode("stop", "");
    (void)unlink(kState);
    EngineTest::TearDown();
  }
};

std::vector<std::string> Arguments(pid_t pid) {
  std::vector<std::string> args;
  const std::string text =
      ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\0', at);
    args.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return args;
}

TEST_F(SessionTest, EveryHelperCallOfATunnelCarriesItsSession) {
  NewEngine();
  EXPECT_EQ("", engine().session());
  StartOk();
  const std::string session = engine().session();
  ASSERT_EQ(32u, session.size());
  EXPECT_EQ((std::vector<std::string>{"stop 127.0.0.1", "start 127.0.0.1"}),
            HelperCalls());
  EXPECT_EQ((std::vector<std::string>{session, session}), HelperSessions());
  // The watcher holds the stop it runs should the runner die.
  ASSERT_EQ(1u, Watchers().size());
  EXPECT_EQ((std::vector<std::string>{kWatcherPath, kHelperPath, "127.0.0.1",
                                      session}),
            Arguments(Watchers()[0]));

  ClearRecords();
  ASSERT_TRUE(engine().Stop()) << engine().LastError();
  EXPECT_EQ(std::vector<std::string>{session}, HelperSessions());
  EXPECT_EQ("", engine().session()) << "kept after its record was gone";
  EXPECT_TRUE(Children().empty());

  // A stop that fails keeps the session for the next try; a new tunnel
  // gets a session of its own.
  StartOk();
  const std::string second = engine().session();
  EXPECT_NE(session, second);
  SetHelperMode("stop", "exit:12");
  EXPECT_FALSE(engine().Stop());
  EXPECT_EQ(second, engine().session());
  SetHelperMode("stop", "");
  ClearRecords();
  ASSERT_TRUE(engine().Stop()) << engine().LastError();
  EXPECT_EQ(std::vector<std::string>{second}, HelperSessions());
  EXPECT_EQ("", engine().session());
}

// The helper refuses to touch the live tunnel of another runner (22) or of
// another user (19): the clean-up before a start does not fight over it, the
// start fails with words and launches no core, and a stop says why.
TEST_F(SessionTest, AnotherOwnersTunnelIsLeftAlone) {
  struct Case {
    const char* mode;
    int status;
    const char* words;
  };
  for (const Case& c :
       {Case{"exit:22", 22, "the tunnel belongs to another running quon_vpn"},
        Case{"exit:19", 19, "the tunnel belongs to another user"}}) {
    SCOPED_TRACE(c.mode);
    DestroyEngine();
    ClearRecords();
    SetHelperMode("stop", c.mode);
    NewEngine();
    EXPECT_FALSE(engine().Start(XrayConfig(), "allow", {}));
    EXPECT_EQ(std::string("Linux VPN could not start: ") + c.words,
              engine().LastError());
    EXPECT_EQ(std::vector<std::string>{"stop 127.0.0.1"}, HelperCalls());
    EXPECT_EQ(-1, XrayPid());
    EXPECT_EQ(std::string::npos, ReadFile(kNativeLog).find("launching xray"));
    EXPECT_FALSE(engine().IsRunning());

    EXPECT_FALSE(engine().Stop());
    EXPECT_EQ(HelperFailureMessage(c.status), engine().LastError());
    EXPECT_TRUE(Children().empty());
    SetHelperMode("stop", "");
  }
}

// A runner that starts finds routing recorded by one that is gone: the
// helper gives it back and the user is told. A live tunnel of another
// runner is left without a word; a clean machine costs one look.
TEST_F(SessionTest, RecoveryAtStartUp) {
  NewEngine();
  EXPECT_FALSE(engine().RecoverAbandonedTunnel());
  EXPECT_TRUE(HelperCalls().empty());
  EXPECT_EQ("", engine().LastResponse());

  WriteFile(kState, "ipv4_valid=1\nserver_ipv4=10.0.0.7\n");
  ASSERT_EQ(0, chown(kState, 0, 0));
  EXPECT_TRUE(engine().RecoverAbandonedTunnel()) << engine().LastError();
  EXPECT_EQ(std::vector<std::string>{"stop 10.0.0.7"}, HelperCalls());
  EXPECT_EQ(std::vector<std::string>{""}, HelperSessions())
      << "a recovery has no session: only a tunnel whose runner is gone "
         "may be given back";
  EXPECT_EQ("the network left by an earlier run of quon_vpn was restored",
            engine().LastResponse());

  NewEngine();
  ClearRecords();
  SetHelperMode("stop", "exit:22");
  EXPECT_FALSE(engine().RecoverAbandonedTunnel());
  EXPECT_EQ("", engine().LastResponse());
  EXPECT_EQ("", engine().LastError());
  EXPECT_EQ(std::string::npos, ReadFile(kNativeLog).find("ERROR"));

  SetHelperMode("stop", "exit:12");
  EXPECT_FALSE(engine().RecoverAbandonedTunnel());
  EXPECT_EQ(
      "the network left by an earlier run of quon_vpn could not be "
      "restored: " +
          HelperFailureMessage(12),
      engine().LastError());
  SetHelperMode("stop", "");
  DestroyEngine();
}

}  // namespace
}  // namespace engine_test
