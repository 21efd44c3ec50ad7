// "start", "stop" and "checkTunnel" through the method channel, from the
// stand-in's Dart side, with the engine driving the lab core and the
// stand-in helper and curl: the answers, including the engine's messages in
// START_FAILED and STOP_FAILED.
#include <flutter_linux/flutter_linux.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "engine_fixture.h"
#include "standin_channel.h"
#include "v2ray_channel_handler_linux.h"

namespace engine_test {
namespace {

class ChannelEngineTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    BeforeRegistration();
    g_autoptr(FlDartProject) project = fl_dart_project_new();
    flutter_ = fl_engine_new(project);
    messenger_ = fl_engine_get_binary_messenger(flutter_);
    register_v2ray_channel_linux(messenger_);
  }

  void TearDown() override {
    if (flutter_ != nullptr) {
      EXPECT_EQ(0u, fl_standin_messenger_get_unanswered_count(messenger_));
      g_object_unref(flutter_);
    }
    EngineTest::TearDown();
  }

  std::string Invoke(const char* method, FlValue* args = nullptr) {
    return quon_test::Invoke(messenger_, "v2ray", method, args);
  }

  std::string InvokeStart(const std::string& config) {
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "config_data",
                             fl_value_new_string(config.c_str()));
    fl_value_set_string_take(args, "apps_filter_mode",
                             fl_value_new_string("allow"));
    return Invoke("start", args);
  }

  virtual void BeforeRegistration() {}

  FlEngine* flutter_ = nullptr;
  FlBinaryMessenger* messenger_ = nullptr;
};

// A runner killed together with its watcher left the routing taken: the
// channel's registration has it given back before any call runs, and the
// first look at the last response tells the user.
class RecoveryChannelTest : public ChannelEngineTest {
 protected:
  static constexpr char kState[] = "/run/quon_vpn_route_state_linux.txt";
  void BeforeRegistration() override {
    WriteFile(kState, "ipv4_valid=1\nserver_ipv4=10.0.0.7\n");
    ASSERT_EQ(0, chown(kState, 0, 0));
  }
  void TearDown() override {
    (void)unlink(kState);
    ChannelEngineTest::TearDown();
  }
};

TEST_F(RecoveryChannelTest, RegistrationRestoresAnAbandonedTunnel) {
  EXPECT_EQ("s:the network left by an earlier run of quon_vpn was restored",
            Invoke("getLastNativeResponse"));
  EXPECT_EQ(std::vector<std::string>{"stop 10.0.0.7"}, HelperCalls());
}

TEST_F(ChannelEngineTest, StartCheckStop) {
  EXPECT_EQ("b:true", InvokeStart(XrayConfig()));
  EXPECT_EQ("b:true", Invoke("isRunning"));
  EXPECT_EQ("s:xray started on Linux", Invoke("getLastNativeResponse"));
  SetCurlMode(1, "exit:7");
  EXPECT_EQ("b:true", Invoke("checkTunnel"));
  EXPECT_EQ("s:Linux tunnel validation succeeded via cloudflare-http",
            Invoke("getLastNativeResponse"));
  EXPECT_EQ("b:true", Invoke("stop"));
  EXPECT_EQ("b:false", Invoke("isRunning"));
  EXPECT_EQ("s:xray stopped on Linux", Invoke("getLastNativeResponse"));
  // A failed validation is the value false; its reason is the last error.
  EXPECT_EQ("b:false", Invoke("checkLinuxTunnel"));
  EXPECT_EQ("s:Linux Xray process is not running", Invoke("getXrayLastError"));
}

TEST_F(ChannelEngineTest, FailuresCarryTheEngineMessage) {
  EXPECT_EQ(
      "e:START_FAILED:Linux start expects JSON config, but received non-JSON "
      "data",
      InvokeStart(" {}"));
  SetHelperMode("start", "exit:12");
  EXPECT_EQ(
      "e:START_FAILED:route helper failed: the saved IPv4 default route could "
      "not be put back; stop again to retry (status 12)",
      InvokeStart(XrayConfig()));
  EXPECT_EQ("b:false", Invoke("isRunning"));

  SetHelperMode("start", "");
  EXPECT_EQ("b:true", InvokeStart(XrayConfig()));
  EXPECT_EQ("e:START_FAILED:xray is already running",
            InvokeStart(XrayConfig()));
  SetHelperMode("stop", "exit:3");
  EXPECT_EQ(
      "e:STOP_FAILED:route helper failed: this machine has no default route "
      "that carries traffic out; connect to a network first (status 3)",
      Invoke("stop"));
  // The core is stopped all the same.
  EXPECT_EQ("b:false", Invoke("isRunning"));
  SetHelperMode("stop", "");
  EXPECT_EQ("b:true", Invoke("stop"));
  EXPECT_EQ("s:xray already stopped", Invoke("getLastNativeResponse"));
}

TEST_F(ChannelEngineTest, CoreOutputThatIsNotUtf8ReachesDartAsUtf8) {
  // Bytes no UTF-8 decoder accepts, left in the log by an earlier core; this
  // core then refuses its configuration, and the message carries the log.
  WriteFile(kRuntimeErrorLog, "old\xff\xfe core \xc3(\n");
  const std::string message =
      "xray exited immediately on Linux: "
      "old\uFFFD\uFFFD core \uFFFD(\nbad \u00e9\n";
  EXPECT_EQ("e:START_FAILED:" + message,
            InvokeStart(XrayConfig("127.0.0.1", R"("rejectConfig": "bad é")")));
  EXPECT_EQ("s:" + message, Invoke("getXrayLastError"));
  EXPECT_EQ("s:" + message, Invoke("getLastNativeResponse"));
}

}  // namespace
}  // namespace engine_test
