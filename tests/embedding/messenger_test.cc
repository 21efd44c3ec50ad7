// The engine's messenger and method channels: delivery on the main context,
// answers back to the sender, and the faults a handler can make.

#include <gtest/gtest.h>

#include <cstddef>

#include "test_util.h"

namespace {

// Plug-ins built against the real headers call through these slots: each
// must sit where the real interface has it.
static_assert(offsetof(FlPluginRegistrarInterface, get_messenger) ==
                      sizeof(GTypeInterface) &&
                  offsetof(FlPluginRegistrarInterface, get_texture_registrar) ==
                      sizeof(GTypeInterface) + sizeof(void*) &&
                  offsetof(FlPluginRegistrarInterface, get_view) ==
                      sizeof(GTypeInterface) + 2 * sizeof(void*),
              "FlPluginRegistrarInterface layout");
static_assert(offsetof(FlPluginRegistryInterface, g_iface) == 0 &&
                  offsetof(FlPluginRegistryInterface,
                           get_registrar_for_plugin) == sizeof(GTypeInterface),
              "FlPluginRegistryInterface layout");

using quon_test::BytesFromHex;
using quon_test::HexFromBytes;
using quon_test::RunUntil;

class MessengerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    project_ = fl_dart_project_new();
    engine_ = fl_engine_new(project_);
    messenger_ = fl_engine_get_binary_messenger(engine_);
  }
  void TearDown() override {
    g_clear_object(&engine_);
    g_clear_object(&project_);
    quon_test::Drain();
  }

  // Sends |hex| on |channel| and waits for the reply.
  struct Reply {
    bool done = false;
    std::string hex;
    GError* error = nullptr;
    ~Reply() { g_clear_error(&error); }
  };
  void Send(const char* channel, const std::string& hex, Reply* reply) {
    g_autoptr(GBytes) message = BytesFromHex(hex);
    fl_binary_messenger_send_on_channel(
        messenger_, channel, message, nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
          auto* r = static_cast<Reply*>(data);
          g_autoptr(GBytes) bytes = fl_binary_messenger_send_on_channel_finish(
              FL_BINARY_MESSENGER(object), result, &r->error);
          if (bytes != nullptr) {
            r->hex = HexFromBytes(bytes);
          }
          r->done = true;
        },
        reply);
  }

  FlDartProject* project_ = nullptr;
  FlEngine* engine_ = nullptr;
  FlBinaryMessenger* messenger_ = nullptr;
};

struct Seen {
  int calls = 0;
  std::string message;
  FlBinaryMessengerResponseHandle* handle = nullptr;
};

void RecordCb(FlBinaryMessenger*,
              const gchar*,
              GBytes* message,
              FlBinaryMessengerResponseHandle* handle,
              gpointer user_data) {
  auto* seen = static_cast<Seen*>(user_data);
  seen->calls++;
  seen->message = HexFromBytes(message);
  seen->handle = FL_BINARY_MESSENGER_RESPONSE_HANDLE(g_object_ref(handle));
}

TEST_F(MessengerTest, DeliversLaterOnTheMainContextAndRepliesToTheSender) {
  Seen seen;
  fl_binary_messenger_set_message_handler_on_channel(messenger_, "ch", RecordCb,
                                                     &seen, nullptr);
  Reply reply;
  Send("ch", "01 02", &reply);
  // Never inside the send itself.
  EXPECT_EQ(seen.calls, 0);
  ASSERT_TRUE(RunUntil([&] { return seen.calls == 1; }));
  EXPECT_EQ(seen.message, "01 02");

  g_autoptr(GBytes) answer = BytesFromHex("00 01");
  ASSERT_TRUE(fl_binary_messenger_send_response(messenger_, seen.handle, answer,
                                                nullptr));
  // The sender hears of it from the main loop, not inside send_response.
  EXPECT_FALSE(reply.done);
  ASSERT_TRUE(RunUntil([&] { return reply.done; }));
  EXPECT_EQ(reply.hex, "00 01");
  g_object_unref(seen.handle);
}

TEST_F(MessengerTest, ChannelWithoutHandlerRepliesEmpty) {
  Reply reply;
  Send("nobody", "00", &reply);
  ASSERT_TRUE(RunUntil([&] { return reply.done; }));
  EXPECT_EQ(reply.error, nullptr);
  EXPECT_EQ(reply.hex, "");
}

TEST_F(MessengerTest, SecondResponseFailsAndIsCounted) {
  Seen seen;
  fl_binary_messenger_set_message_handler_on_channel(messenger_, "ch", RecordCb,
                                                     &seen, nullptr);
  Reply reply;
  Send("ch", "00", &reply);
  ASSERT_TRUE(RunUntil([&] { return seen.calls == 1; }));
  EXPECT_TRUE(fl_binary_messenger_send_response(messenger_, seen.handle,
                                                nullptr, nullptr));
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(fl_binary_messenger_send_response(messenger_, seen.handle,
                                                 nullptr, &error));
  EXPECT_TRUE(g_error_matches(error, FL_BINARY_MESSENGER_ERROR,
                              FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED));
  EXPECT_EQ(fl_standin_messenger_get_double_response_count(messenger_), 1u);
  ASSERT_TRUE(RunUntil([&] { return reply.done; }));
  EXPECT_EQ(reply.hex, "");  // NULL response: the empty reply.
  g_object_unref(seen.handle);
}

TEST_F(MessengerTest, UnansweredMessageIsReportedAndFailsTheSender) {
  // The handler returns without answering and without keeping the handle.
  fl_binary_messenger_set_message_handler_on_channel(
      messenger_, "ch",
      [](FlBinaryMessenger*, const gchar*, GBytes*,
         FlBinaryMessengerResponseHandle*, gpointer) {},
      nullptr, nullptr);
  Reply reply;
  Send("ch", "00", &reply);
  ASSERT_TRUE(RunUntil([&] { return reply.done; }));
  EXPECT_EQ(fl_standin_messenger_get_unanswered_count(messenger_), 1u);
  EXPECT_TRUE(g_error_matches(reply.error, G_IO_ERROR, G_IO_ERROR_BROKEN_PIPE));
}

TEST_F(MessengerTest, ReplacingOrRemovingAHandlerRunsItsDestroyNotify) {
  int destroyed_first = 0;
  int destroyed_second = 0;
  auto count = [](gpointer data) { ++*static_cast<int*>(data); };
  auto noop = [](FlBinaryMessenger*, const gchar*, GBytes*,
                 FlBinaryMessengerResponseHandle* handle,
                 gpointer) { (void)handle; };
  fl_binary_messenger_set_message_handler_on_channel(messenger_, "ch", noop,
                                                     &destroyed_first, count);
  fl_binary_messenger_set_message_handler_on_channel(messenger_, "ch", noop,
                                                     &destroyed_second, count);
  EXPECT_EQ(destroyed_first, 1);
  EXPECT_EQ(destroyed_second, 0);
  fl_binary_messenger_set_message_handler_on_channel(messenger_, "ch", nullptr,
                                                     nullptr, nullptr);
  EXPECT_EQ(destroyed_second, 1);
  // Nothing listens any more.
  Reply reply;
  Send("ch", "00", &reply);
  ASSERT_TRUE(RunUntil([&] { return reply.done; }));
  EXPECT_EQ(reply.hex, "");
}

TEST_F(MessengerTest, EngineGoingAwayReleasesHandlers) {
  int destroyed = 0;
  fl_binary_messenger_set_message_handler_on_channel(
      messenger_, "ch",
      [](FlBinaryMessenger*, const gchar*, GBytes*,
         FlBinaryMessengerResponseHandle*, gpointer) {},
      &destroyed, [](gpointer data) { ++*static_cast<int*>(data); });
  g_clear_object(&engine_);
  EXPECT_EQ(destroyed, 1);
}

// Method channels: what the runner's handler sees and what the Dart side gets.
struct CallLog {
  std::string name;
  std::string args;
  FlMethodCall* kept = nullptr;
};

void RespondByNameCb(FlMethodChannel*, FlMethodCall* call, gpointer user_data) {
  auto* log = static_cast<CallLog*>(user_data);
  log->name = fl_method_call_get_name(call);
  log->args = quon_test::ValueText(fl_method_call_get_args(call));
  std::string name = log->name;
  g_autoptr(GError) error = nullptr;
  if (name == "echo") {
    // The result is borrowed: the caller keeps and releases its own.
    g_autoptr(FlValue) result = fl_value_new_list();
    fl_value_append(result, fl_method_call_get_args(call));
    EXPECT_TRUE(fl_method_call_respond_success(call, result, &error));
  } else if (name == "fail") {
    g_autoptr(FlValue) details = fl_value_new_int(9);
    EXPECT_TRUE(fl_method_call_respond_error(call, "BAD", "it failed", details,
                                             &error));
  } else if (name == "later") {
    log->kept = FL_METHOD_CALL(g_object_ref(call));
  } else {
    EXPECT_TRUE(fl_method_call_respond_not_implemented(call, &error));
  }
}

// Returns (transfer full) a "v2ray" channel on |messenger| whose calls
// RespondByNameCb answers, noting them in |log|.
FlMethodChannel* NewLoggedChannel(FlBinaryMessenger* messenger, CallLog* log) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  FlMethodChannel* channel =
      fl_method_channel_new(messenger, "v2ray", FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(channel, RespondByNameCb, log,
                                            nullptr);
  return channel;
}

struct Answer {
  bool done = false;
  FlMethodResponse* response = nullptr;
  GError* error = nullptr;
  ~Answer() {
    g_clear_object(&response);
    g_clear_error(&error);
  }
};

void Invoke(FlBinaryMessenger* messenger,
            const char* method,
            FlValue* args,
            Answer* answer) {
  fl_standin_invoke_method(
      messenger, "v2ray", method, args, nullptr,
      [](GObject*, GAsyncResult* result, gpointer data) {
        auto* a = static_cast<Answer*>(data);
        a->response = fl_standin_invoke_method_finish(result, &a->error);
        a->done = true;
      },
      answer);
}

TEST_F(MessengerTest, MethodChannelCallsEndToEnd) {
  CallLog log;
  g_autoptr(FlMethodChannel) channel = NewLoggedChannel(messenger_, &log);
  ASSERT_NE(channel, nullptr);
  // The messenger keeps the channel alive without the creator's reference.
  g_clear_object(&channel);

  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "config_data", fl_value_new_string("{}"));
  Answer echo;
  Invoke(messenger_, "echo", args, &echo);
  ASSERT_TRUE(RunUntil([&] { return echo.done; }));
  EXPECT_EQ(log.args, "{config_data: {}}");
  ASSERT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(echo.response));
  EXPECT_EQ(quon_test::ValueText(
                fl_method_response_get_result(echo.response, nullptr)),
            "[{config_data: {}}]");

  Answer no_args;
  Invoke(messenger_, "echo", nullptr, &no_args);
  ASSERT_TRUE(RunUntil([&] { return no_args.done; }));
  EXPECT_EQ(log.args, "null");  // A NULL-typed value, never a NULL pointer.

  Answer fail;
  Invoke(messenger_, "fail", nullptr, &fail);
  ASSERT_TRUE(RunUntil([&] { return fail.done; }));
  ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(fail.response));
  FlMethodErrorResponse* e = FL_METHOD_ERROR_RESPONSE(fail.response);
  EXPECT_STREQ(fl_method_error_response_get_code(e), "BAD");
  EXPECT_STREQ(fl_method_error_response_get_message(e), "it failed");
  EXPECT_EQ(fl_value_get_int(fl_method_error_response_get_details(e)), 9);

  Answer unknown;
  Invoke(messenger_, "unknown", nullptr, &unknown);
  ASSERT_TRUE(RunUntil([&] { return unknown.done; }));
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(unknown.response));
}

TEST_F(MessengerTest, CallAnsweredFromTheMainLoopAfterAWorkerHandOff) {
  CallLog log;
  g_autoptr(FlMethodChannel) channel = NewLoggedChannel(messenger_, &log);
  ASSERT_NE(channel, nullptr);
  Answer answer;
  Invoke(messenger_, "later", nullptr, &answer);
  ASSERT_TRUE(RunUntil([&] { return log.kept != nullptr; }));

  // As the runner does: a worker thread hands the call back to the main
  // context, which answers it.
  GThread* worker = g_thread_new(
      "worker",
      [](gpointer data) -> gpointer {
        g_main_context_invoke(
            nullptr,
            [](gpointer call) -> gboolean {
              g_autoptr(FlValue) result = fl_value_new_bool(true);
              EXPECT_TRUE(fl_method_call_respond_success(FL_METHOD_CALL(call),
                                                         result, nullptr));
              return G_SOURCE_REMOVE;
            },
            data);
        return nullptr;
      },
      log.kept);
  g_thread_join(worker);
  ASSERT_TRUE(RunUntil([&] { return answer.done; }));
  EXPECT_TRUE(fl_value_get_bool(
      fl_method_response_get_result(answer.response, nullptr)));

  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(fl_method_call_respond_not_implemented(log.kept, &error));
  EXPECT_TRUE(g_error_matches(error, FL_BINARY_MESSENGER_ERROR,
                              FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED));
  g_object_unref(log.kept);
  EXPECT_EQ(fl_standin_messenger_get_unanswered_count(messenger_), 0u);
}

TEST_F(MessengerTest, AnswerDartCouldNotDecodeFailsAndIsCounted) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(FlMethodChannel) channel =
      fl_method_channel_new(messenger_, "v2ray", FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(
      channel,
      [](FlMethodChannel*, FlMethodCall* call, gpointer) {
        // A log tail cut inside a character, in a result and in an error.
        g_autoptr(FlValue) tail = fl_value_new_string("failed: \xe2\x82");
        g_autoptr(GError) error = nullptr;
        EXPECT_FALSE(fl_method_call_respond_success(call, tail, &error));
        EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR,
                                    FL_MESSAGE_CODEC_ERROR_FAILED));
        g_clear_error(&error);
        EXPECT_FALSE(fl_method_call_respond_error(
            call, "START_FAILED", "failed: \xe2\x82", nullptr, &error));
        g_clear_error(&error);
        // Still unanswered: a clean answer gets through.
        EXPECT_TRUE(fl_method_call_respond_error(
            call, "START_FAILED", "failed: \xef\xbf\xbd", nullptr, &error));
      },
      nullptr, nullptr);
  Answer answer;
  Invoke(messenger_, "start", nullptr, &answer);
  ASSERT_TRUE(RunUntil([&] { return answer.done; }));
  ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(answer.response));
  EXPECT_STREQ(fl_method_error_response_get_message(
                   FL_METHOD_ERROR_RESPONSE(answer.response)),
               "failed: \xef\xbf\xbd");
  EXPECT_EQ(fl_standin_messenger_get_unencodable_count(messenger_), 2u);
  EXPECT_EQ(fl_standin_messenger_get_unanswered_count(messenger_), 0u);

  // Nor can the Dart side send such a string: the call fails at once.
  g_autoptr(FlValue) args = fl_value_new_string("\xff");
  Answer refused;
  Invoke(messenger_, "start", args, &refused);
  ASSERT_TRUE(RunUntil([&] { return refused.done; }));
  EXPECT_EQ(refused.response, nullptr);
  EXPECT_TRUE(g_error_matches(refused.error, FL_MESSAGE_CODEC_ERROR,
                              FL_MESSAGE_CODEC_ERROR_FAILED));
}

TEST_F(MessengerTest, DartSideReadsRawAnswersStrictly) {
  // Answers written as raw bytes, past the codec's own check.
  const struct {
    const char* what;
    const char* hex;
    bool readable;
  } answers[] = {
      {"success, valid string", "00 07 02 c3 a9", true},
      {"success, string cut inside a character", "00 07 01 c3", false},
      {"success, map key", "00 0d 01 07 01 ff 00", false},
      {"error code", "01 07 01 ff 00 00", false},
      {"error message", "01 07 01 45 07 01 ff 00", false},
      {"error details", "01 07 01 45 00 0c 01 07 01 80", false},
  };
  std::string answer_hex;
  fl_binary_messenger_set_message_handler_on_channel(
      messenger_, "v2ray",
      [](FlBinaryMessenger* messenger, const gchar*, GBytes*,
         FlBinaryMessengerResponseHandle* handle, gpointer data) {
        g_autoptr(GBytes) bytes =
            BytesFromHex(*static_cast<std::string*>(data));
        EXPECT_TRUE(fl_binary_messenger_send_response(messenger, handle, bytes,
                                                      nullptr));
      },
      &answer_hex, nullptr);
  for (const auto& a : answers) {
    SCOPED_TRACE(a.what);
    answer_hex = a.hex;
    Answer answer;
    Invoke(messenger_, "get", nullptr, &answer);
    ASSERT_TRUE(RunUntil([&] { return answer.done; }));
    EXPECT_EQ(answer.response != nullptr, a.readable);
    if (!a.readable) {
      EXPECT_TRUE(g_error_matches(answer.error, FL_MESSAGE_CODEC_ERROR,
                                  FL_MESSAGE_CODEC_ERROR_FAILED));
    }
  }
}

TEST_F(MessengerTest, CallBeforeAHandlerIsSetIsDroppedAndReported) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(FlMethodChannel) channel =
      fl_method_channel_new(messenger_, "v2ray", FL_METHOD_CODEC(codec));
  ASSERT_NE(channel, nullptr);  // Registered, but no handler set yet.
  Answer answer;
  Invoke(messenger_, "isRunning", nullptr, &answer);
  ASSERT_TRUE(RunUntil([&] { return answer.done; }));
  EXPECT_EQ(answer.response, nullptr);
  EXPECT_EQ(fl_standin_messenger_get_unanswered_count(messenger_), 1u);
}

TEST_F(MessengerTest, UndecodableCallIsLoggedAndLeftUnanswered) {
  CallLog log;
  g_autoptr(FlMethodChannel) channel = NewLoggedChannel(messenger_, &log);
  ASSERT_NE(channel, nullptr);
  Reply reply;
  Send("v2ray", "03 01 00 00 00 00", &reply);  // A name that is an int.
  ASSERT_TRUE(RunUntil([&] { return reply.done; }));
  EXPECT_EQ(log.name, "");  // The handler never saw it.
  // No answer, as from the real embedding; the sender learns of it here
  // where Dart would wait for ever.
  EXPECT_TRUE(g_error_matches(reply.error, G_IO_ERROR, G_IO_ERROR_BROKEN_PIPE));
  EXPECT_EQ(fl_standin_messenger_get_unanswered_count(messenger_), 1u);
}

TEST_F(MessengerTest, ChannelOutlivingItsEngineIsClosedNotDangling) {
  int released = 0;
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  // Any name the real embedding takes, the empty one included.
  g_autoptr(FlMethodChannel) channel =
      fl_method_channel_new(messenger_, "", FL_METHOD_CODEC(codec));
  ASSERT_NE(channel, nullptr);
  auto release = [](gpointer data) { ++*static_cast<int*>(data); };
  fl_method_channel_set_method_call_handler(
      channel,
      [](FlMethodChannel*, FlMethodCall*, gpointer) {
        ADD_FAILURE() << "a call reached a closed channel";
      },
      &released, release);
  // The channel holds the messenger, so it stays usable; the engine's
  // shutdown closes the channel and lets its handler go at once.
  g_clear_object(&engine_);
  EXPECT_EQ(released, 1);
  Answer answer;
  fl_method_channel_invoke_method(
      channel, "echo", nullptr, nullptr,
      [](GObject* object, GAsyncResult* result, gpointer data) {
        auto* a = static_cast<Answer*>(data);
        a->response = fl_method_channel_invoke_method_finish(
            FL_METHOD_CHANNEL(object), result, &a->error);
        a->done = true;
      },
      &answer);
  ASSERT_TRUE(RunUntil([&] { return answer.done; }));
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(answer.response));
  // A handler offered to a closed channel is released, not kept.
  fl_method_channel_set_method_call_handler(channel, nullptr, &released,
                                            release);
  EXPECT_EQ(released, 2);
}

TEST_F(MessengerTest, NewChannelOnTheSameNameTakesOver) {
  CallLog first_log;
  g_object_unref(NewLoggedChannel(messenger_, &first_log));
  CallLog second_log;
  g_autoptr(FlMethodChannel) second = NewLoggedChannel(messenger_, &second_log);
  ASSERT_NE(second, nullptr);
  Answer answer;
  Invoke(messenger_, "echo", nullptr, &answer);
  ASSERT_TRUE(RunUntil([&] { return answer.done; }));
  EXPECT_EQ(first_log.name, "");
  EXPECT_EQ(second_log.name, "echo");
}

TEST_F(MessengerTest, ChannelRefusesInvalidArguments) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  // Each is a programming error: a critical, and no channel.
  EXPECT_EQ(fl_method_channel_new(nullptr, "v2ray", FL_METHOD_CODEC(codec)),
            nullptr);
  EXPECT_EQ(fl_method_channel_new(messenger_, nullptr, FL_METHOD_CODEC(codec)),
            nullptr);
  EXPECT_EQ(fl_method_channel_new(messenger_, "v2ray", nullptr), nullptr);
  EXPECT_EQ(fl_method_channel_new(reinterpret_cast<FlBinaryMessenger*>(codec),
                                  "v2ray", FL_METHOD_CODEC(codec)),
            nullptr);
}

TEST(DartProject, CopiesTheEntrypointArguments) {
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  EXPECT_EQ(fl_dart_project_get_dart_entrypoint_arguments(project), nullptr);
  gchar* args[] = {g_strdup("a"), g_strdup("b c"), nullptr};
  fl_dart_project_set_dart_entrypoint_arguments(project, args);
  g_free(args[0]);
  args[0] = g_strdup("changed");
  gchar** kept = fl_dart_project_get_dart_entrypoint_arguments(project);
  ASSERT_EQ(g_strv_length(kept), 2u);
  EXPECT_STREQ(kept[0], "a");
  EXPECT_STREQ(kept[1], "b c");
  g_free(args[0]);
  g_free(args[1]);
  EXPECT_TRUE(g_str_has_suffix(fl_dart_project_get_assets_path(project),
                               "/data/flutter_assets"));
}

}  // namespace
