// The control socket and quonctl against a real main loop, a real channel
// handler and the real quonctl program.

#include <glib-unix.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "test_util.h"

namespace {

using quon_test::RunUntil;

// Answers by method name, like a platform handler would.
void HandlerCb(FlMethodChannel*, FlMethodCall* call, gpointer user_data) {
  auto* kept = static_cast<FlMethodCall**>(user_data);
  std::string name = fl_method_call_get_name(call);
  if (name == "isRunning") {
    g_autoptr(FlValue) no = fl_value_new_bool(false);
    fl_method_call_respond_success(call, no, nullptr);
  } else if (name == "echo") {
    fl_method_call_respond_success(call, fl_method_call_get_args(call),
                                   nullptr);
  } else if (name == "fail") {
    g_autoptr(FlValue) details = fl_value_new_int(9);
    fl_method_call_respond_error(call, "START_FAILED", "it failed", details,
                                 nullptr);
  } else if (name == "later") {
    *kept = FL_METHOD_CALL(g_object_ref(call));
  } else {
    fl_method_call_respond_not_implemented(call, nullptr);
  }
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

struct sockaddr_un UnixAddress(const char* path) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  g_strlcpy(address.sun_path, path, sizeof(address.sun_path));
  return address;
}

// What a raw client does once its request is written.
enum class Then {
  kReadAnswer,   // Ends its writing and reads until the server closes.
  kHangUp,       // Closes at once.
  kLeaveUnread,  // Reads nothing until the server hangs up (20 s at most).
};

struct RawOutcome {
  std::string answer;  // Everything read.
  bool server_hung_up = false;
};

// Connects to |path|, writes |request| and goes on as |then| says. The client
// runs on its own thread while this one runs the main loop, so that the
// server in this process can serve it.
RawOutcome RawClient(const char* path, const std::string& request, Then then) {
  RawOutcome outcome;
  std::atomic<bool> done{false};
  std::thread client([&] {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = UnixAddress(path);
    if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr*>(&address),
                           sizeof(address)) == 0) {
      size_t sent = 0;
      while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent,
                         MSG_NOSIGNAL);
        if (n <= 0) {
          break;  // The server may refuse a request before its end.
        }
        sent += static_cast<size_t>(n);
      }
      if (then == Then::kReadAnswer) {
        shutdown(fd, SHUT_WR);
      } else if (then == Then::kLeaveUnread) {
        struct pollfd hang_up = {fd, POLLRDHUP, 0};
        outcome.server_hung_up = poll(&hang_up, 1, 20000) == 1;
      }
      if (then != Then::kHangUp) {
        char buffer[65536];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof(buffer))) > 0) {
          outcome.answer.append(buffer, static_cast<size_t>(n));
        }
      }
    }
    if (fd >= 0) {
      close(fd);
    }
    done = true;
  });
  EXPECT_TRUE(RunUntil([&] { return done.load(); }, 30000));
  client.join();
  return outcome;
}

class ControlSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = g_dir_make_tmp("quonctl-XXXXXX", nullptr);
    ASSERT_NE(dir_, nullptr);
    path_ = g_build_filename(dir_, "control.sock", nullptr);
    project_ = fl_dart_project_new();
    engine_ = fl_engine_new(project_);
    messenger_ = fl_engine_get_binary_messenger(engine_);
    g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
    g_autoptr(FlMethodChannel) channel =
        fl_method_channel_new(messenger_, "v2ray", FL_METHOD_CODEC(codec));
    fl_method_channel_set_method_call_handler(channel, HandlerCb, &kept_,
                                              nullptr);
    const char* bundle = g_getenv("QUON_BUNDLE_DIR");
    quonctl_ =
        g_build_filename(bundle != nullptr ? bundle : ".", "quonctl", nullptr);
  }

  void TearDown() override {
    g_clear_object(&server_);
    g_clear_object(&kept_);
    g_clear_object(&engine_);
    g_clear_object(&project_);
    quon_test::Drain();
    if (path_ != nullptr) {
      unlink(path_);
    }
    rmdir(dir_);
    g_free(path_);
    g_free(dir_);
    g_free(quonctl_);
  }

  void Listen() {
    g_autoptr(GError) error = nullptr;
    server_ = fl_standin_control_server_new(messenger_, "v2ray", path_, &error);
    ASSERT_NE(server_, nullptr) << error->message;
  }

  // Runs quonctl with |args| while the main loop keeps serving. Spawned and
  // read from this thread only, so no helper threads of GLib get involved.
  Outcome Quonctl(std::vector<std::string> args) {
    std::vector<gchar*> argv = {quonctl_};
    for (auto& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    Outcome run;
    GPid pid = 0;
    int out_fd = -1;
    int err_fd = -1;
    g_autoptr(GError) error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, argv.data(), nullptr,
                                  G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr,
                                  &pid, nullptr, &out_fd, &err_fd, &error)) {
      ADD_FAILURE() << error->message;
      return run;
    }
    g_unix_set_fd_nonblocking(out_fd, TRUE, nullptr);
    g_unix_set_fd_nonblocking(err_fd, TRUE, nullptr);
    auto drain = [](int fd, std::string* into) {
      char buffer[4096];
      ssize_t n;
      while ((n = read(fd, buffer, sizeof(buffer))) > 0) {
        into->append(buffer, static_cast<size_t>(n));
      }
    };
    int status = 0;
    bool reaped = false;  // The condition is asked more than once.
    bool exited = RunUntil(
        [&] {
          drain(out_fd, &run.out);
          drain(err_fd, &run.err);
          reaped = reaped || waitpid(pid, &status, WNOHANG) == pid;
          return reaped;
        },
        20000);
    EXPECT_TRUE(exited);
    drain(out_fd, &run.out);
    drain(err_fd, &run.err);
    close(out_fd);
    close(err_fd);
    run.status = exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

  RawOutcome Raw(const std::string& request, Then then = Then::kReadAnswer) {
    return RawClient(path_, request, then);
  }

  gchar* dir_ = nullptr;
  gchar* path_ = nullptr;
  gchar* quonctl_ = nullptr;
  FlDartProject* project_ = nullptr;
  FlEngine* engine_ = nullptr;
  FlBinaryMessenger* messenger_ = nullptr;
  FlStandinControlServer* server_ = nullptr;
  FlMethodCall* kept_ = nullptr;
};

TEST_F(ControlSocketTest, QuonctlAnswersAndExitStatuses) {
  Listen();
  struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out;  // Each must appear in standard output.
  } const cases[] = {
      {{"isRunning"}, 0, {"false"}},
      {{"echo", R"({"config_data":"{}","n":[1,2.5,"x",null,true]})"},
       0,
       {R"("config_data" : "{}")", "2.5", "null", "true"}},
      {{"fail"},
       1,
       {R"("code" : "START_FAILED")", R"("message" : "it failed")",
        R"("details" : 9)"}},
      {{"nosuch"}, 3, {"not_implemented"}},
      {{}, 2, {}},
      {{"echo", "{bad"}, 2, {}},
      {{"--bogus", "isRunning"}, 2, {}},
      {{"echo", "1", "2"}, 2, {}},
      // Within one argument's size limit, and deep enough to overflow the
      // stack of a recursive parser.
      {{"echo", std::string(60000, '[') + std::string(60000, ']')}, 2, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--socket", path_};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.args.empty() ? std::string("(none)") : c.args[0]);
    Outcome run = Quonctl(args);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    for (const auto& want : c.out) {
      EXPECT_NE(run.out.find(want), std::string::npos)
          << "missing " << want << " in " << run.out;
    }
  }
}

TEST_F(ControlSocketTest, ArgumentsArriveAsTypedValues) {
  Listen();
  Outcome run = Quonctl(
      {"--socket", path_, "echo", R"([1, 2.5, "s", null, false, {"k": []}])"});
  ASSERT_EQ(run.status, 0) << run.err;
  // Ints stay ints and floats floats on the way through the method codec.
  g_autofree gchar* compact =
      g_strdelimit(g_strdup(run.out.c_str()), "\n ", ' ');
  std::string text = compact;
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  EXPECT_EQ(text, R"([1,2.5,"s",null,false,{"k":[]}])");
}

TEST_F(ControlSocketTest, NoServerIsAConnectionError) {
  Outcome run = Quonctl({"--socket", path_, "isRunning"});
  EXPECT_EQ(run.status, 4);
  EXPECT_NE(run.err.find("cannot connect"), std::string::npos) << run.err;
}

TEST_F(ControlSocketTest, BadRequestsGetClearAnswersAndServingGoesOn) {
  Listen();
  struct {
    const char* what;
    std::string request;
    const char* answer;
  } const cases[] = {
      {"garbage", "garbage\n", "Request is not JSON"},
      {"not an object", "[1]\n", "not a JSON object"},
      {"no method",
       R"({"args": 1})"
       "\n",
       "no \\\"method\\\""},
      {"empty method",
       R"({"method": ""})"
       "\n",
       "no \\\"method\\\""},
      {"not UTF-8", "\xff\xfe\n", "not UTF-8"},
      {"request ended by hang-up", R"({"method": "isRunning"})",
       R"({"status":"success","result":false})"},
      {"huge line", std::string(FL_STANDIN_CONTROL_MAX_REQUEST + 10, 'x'),
       "Request longer than"},
      {"nested deeper than the parser's stack allows",
       R"({"method": "echo", "args": )" + std::string(200000, '[') +
           std::string(200000, ']') + "}\n",
       "nested deeper than 513 levels"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // A request without newline ends with the client's shutdown of writing;
    // the raw client reads until the server closes.
    std::string answer = Raw(c.request).answer;
    EXPECT_NE(answer.find(c.answer), std::string::npos) << answer;
  }
  // A client that hangs up at once, one that hangs up half way through a
  // line: neither disturbs the next request.
  Raw("", Then::kHangUp);
  Raw(R"({"method": "isRu)", Then::kHangUp);
  Outcome run = Quonctl({"--socket", path_, "isRunning"});
  EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(ControlSocketTest, ClientGoneBeforeTheAnswerIsHarmless) {
  Listen();
  Raw(R"({"method": "later"})"
      "\n",
      Then::kHangUp);
  ASSERT_TRUE(RunUntil([&] { return kept_ != nullptr; }));
  EXPECT_TRUE(fl_method_call_respond_success(kept_, nullptr, nullptr));
  quon_test::Drain();
  Outcome run = Quonctl({"--socket", path_, "isRunning"});
  EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(ControlSocketTest, ArgumentsWithManyKeysAreServedPromptly) {
  Listen();
  // Maps are built and decoded on the main loop: that must take time in
  // proportion to the request, not to the square of its member count.
  std::string request = R"({"method": "echo", "args": {)";
  const int kKeys = 100000;
  for (int i = 0; i < kKeys; i++) {
    request += (i > 0 ? ",\"k" : "\"k") + std::to_string(i) +
               "\":" + std::to_string(i);
  }
  request += "}}\n";
  gint64 start = g_get_monotonic_time();
  std::string answer = Raw(request).answer;
  double seconds = (g_get_monotonic_time() - start) / 1e6;
  EXPECT_LT(seconds, 10.0);
  EXPECT_EQ(answer.rfind(R"({"status":"success","result":{"k0":0,)", 0), 0u)
      << answer.substr(0, 200);
  EXPECT_NE(answer.find(R"("k99999":99999})"), std::string::npos);
}

TEST_F(ControlSocketTest, ClientThatNeverReadsItsAnswerIsDropped) {
  Listen();
  // An answer far larger than the socket buffers, which the client does not
  // read: the server must give up on it rather than hold the slot for ever.
  std::string request = R"({"method": "echo", "args": ")" +
                        std::string(size_t{3} * 1024 * 1024, 'x') + "\"}\n";
  RawOutcome outcome = Raw(request, Then::kLeaveUnread);
  EXPECT_TRUE(outcome.server_hung_up);
  EXPECT_LT(outcome.answer.size(), request.size());
  Outcome run = Quonctl({"--socket", path_, "isRunning"});
  EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(ControlSocketTest, SocketFileIsPrivateAndCleanedUp) {
  Listen();
  struct stat st;
  ASSERT_EQ(lstat(path_, &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_STREQ(fl_standin_control_server_get_path(server_), path_);
  // A second server on a live socket is refused.
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(fl_standin_control_server_new(messenger_, "v2ray", path_, &error),
            nullptr);
  EXPECT_TRUE(g_error_matches(error, G_IO_ERROR, G_IO_ERROR_ADDRESS_IN_USE));
  g_clear_object(&server_);
  EXPECT_NE(lstat(path_, &st), 0) << "socket file left behind";
}

TEST_F(ControlSocketTest, StaleSocketIsReplacedOtherFilesAreNot) {
  // A socket nobody listens on, as a crashed run leaves it.
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = UnixAddress(path_);
  ASSERT_EQ(
      bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)),
      0);
  close(fd);
  Listen();
  Outcome run = Quonctl({"--socket", path_, "isRunning"});
  EXPECT_EQ(run.status, 0) << run.err;
  g_clear_object(&server_);

  ASSERT_TRUE(g_file_set_contents(path_, "keep me", -1, nullptr));
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(fl_standin_control_server_new(messenger_, "v2ray", path_, &error),
            nullptr);
  EXPECT_TRUE(g_error_matches(error, G_IO_ERROR, G_IO_ERROR_EXISTS));
  g_autofree gchar* contents = nullptr;
  ASSERT_TRUE(g_file_get_contents(path_, &contents, nullptr, nullptr));
  EXPECT_STREQ(contents, "keep me");
}

TEST_F(ControlSocketTest, DefaultPathNeedsTheRuntimeDirectory) {
  const gchar* saved = g_getenv("XDG_RUNTIME_DIR");
  g_autofree gchar* saved_copy = g_strdup(saved);
  g_unsetenv("XDG_RUNTIME_DIR");
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(fl_standin_control_socket_default_path(&error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(strstr(error->message, "--control-socket=PATH"), nullptr);
  g_setenv("XDG_RUNTIME_DIR", dir_, TRUE);
  g_autofree gchar* path = fl_standin_control_socket_default_path(nullptr);
  g_autofree gchar* expected =
      g_build_filename(dir_, "quon_vpn-control.sock", nullptr);
  EXPECT_STREQ(path, expected);
  // quonctl finds the same default.
  g_free(path_);
  path_ = g_strdup(expected);
  Listen();
  Outcome run = Quonctl({"isRunning"});
  EXPECT_EQ(run.status, 0) << run.err;
  if (saved_copy != nullptr) {
    g_setenv("XDG_RUNTIME_DIR", saved_copy, TRUE);
  } else {
    g_unsetenv("XDG_RUNTIME_DIR");
  }
}

}  // namespace
