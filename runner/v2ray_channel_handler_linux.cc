#include "v2ray_channel_handler_linux.h"

#include <atomic>
#include <utility>

namespace {

constexpr char kChannelName[] = "v2ray";

constexpr char kInvalidConfigCode[] = "INVALID_CONFIG";
constexpr char kStartFailedCode[] = "START_FAILED";
constexpr char kStopFailedCode[] = "STOP_FAILED";

constexpr char kEmptyConfigMessage[] =
    "Linux VPN start received an empty Xray configuration.";
constexpr char kNoEngineMessage[] = "Linux VPN engine is not initialized.";
constexpr char kStartFailedMessage[] = "Linux Xray engine failed to start.";
constexpr char kStopFailedMessage[] = "Linux Xray engine failed to stop.";
constexpr char kNoThreadStartMessage[] =
    "Linux VPN could not start a worker thread for start: ";
constexpr char kNoThreadStopMessage[] =
    "Linux VPN could not start a worker thread for stop: ";

v2ray_channel_testing::StartObserver& StartObserverSlot() {
  static auto* observer = new v2ray_channel_testing::StartObserver();
  return *observer;
}

std::atomic<bool> g_fail_thread_creation{false};

// Destroys the engine at process exit, stopping the tunnel, under the lock so
// that no worker is inside an engine call. It may run after other files'
// static objects are gone: the engine's own constants are all constexpr.
class EngineReaper {
 public:
  EngineReaper() = default;
  ~EngineReaper() { DestroyV2RayEngineLinux(); }
  EngineReaper(const EngineReaper&) = delete;
  EngineReaper& operator=(const EngineReaper&) = delete;
};

// Answers on the main thread, through the default main context; the answer
// goes out before this returns.
void PostResponse(std::unique_ptr<PendingResponse> response) {
  g_main_context_invoke(nullptr, CompleteResponseOnMain, response.release());
}

// Orders everything a worker did for its answer (the record, the source
// that carries it) before the main thread reads and frees it. The main
// context's own lock already does so, but inside GLib, where thread checkers
// cannot see it; this lock, held across the hand-off, makes it visible.
std::mutex& HandoffMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

// Hands |response| from a worker to the default main context. Always queued:
// g_main_context_invoke would run the callback on the calling thread whenever
// nobody owns the default context (after g_application_run has returned at
// exit, for instance), and the embedding may only be used on the main thread.
void QueueResponse(std::unique_ptr<PendingResponse> response) {
  std::lock_guard<std::mutex> ordered(HandoffMutex());
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, CompleteResponseOnMain, response.release(),
                        nullptr);
  (void)g_source_attach(source, nullptr);
  g_source_unref(source);
}

// Makes a record holding its own reference to |method_call|.
std::unique_ptr<PendingResponse> NewResponse(FlMethodCall* method_call) {
  auto response = std::make_unique<PendingResponse>();
  response->method_call = FL_METHOD_CALL(g_object_ref(method_call));
  return response;
}

std::unique_ptr<PendingResponse> BoolResponse(FlMethodCall* method_call,
                                              bool value) {
  auto response = NewResponse(method_call);
  response->kind = ResponseKind::kBool;
  response->bool_value = value;
  return response;
}

std::unique_ptr<PendingResponse> StringResponse(FlMethodCall* method_call,
                                                std::string value) {
  auto response = NewResponse(method_call);
  response->kind = ResponseKind::kString;
  response->string_value = std::move(value);
  return response;
}

std::unique_ptr<PendingResponse> ErrorResponse(FlMethodCall* method_call,
                                               const char* code,
                                               std::string message) {
  auto response = NewResponse(method_call);
  response->kind = ResponseKind::kError;
  response->error_code = code;
  response->error_message = std::move(message);
  return response;
}

// What every worker carries: an owned reference to the call it answers.
struct WorkerClosure {
  explicit WorkerClosure(FlMethodCall* call)
      : method_call(FL_METHOD_CALL(g_object_ref(call))) {}
  virtual ~WorkerClosure() { g_object_unref(method_call); }
  WorkerClosure(const WorkerClosure&) = delete;
  WorkerClosure& operator=(const WorkerClosure&) = delete;

  // Runs on the worker thread: the engine work under the lock, then the
  // answer.
  virtual std::unique_ptr<PendingResponse> Run() = 0;
  // The one answer sent instead when no worker thread could be made.
  virtual std::unique_ptr<PendingResponse> Unstarted(
      const std::string& reason) = 0;

  FlMethodCall* method_call;
};

struct StartClosure : WorkerClosure {
  StartClosure(FlMethodCall* call,
               std::string config,
               std::string mode,
               std::vector<std::string> apps)
      : WorkerClosure(call),
        config_text(std::move(config)),
        filter_mode(std::move(mode)),
        selected_apps(std::move(apps)) {}

  std::unique_ptr<PendingResponse> Run() override {
    bool ok = false;
    std::string message;
    {
      std::lock_guard<std::mutex> lock(g_engine_mutex);
      if (!g_engine) {
        message = kNoEngineMessage;
      } else {
        const auto& observer = StartObserverSlot();
        if (observer) {
          observer(config_text, filter_mode, selected_apps);
        }
        ok = g_engine->Start(config_text, filter_mode, selected_apps);
        if (!ok) {
          message = g_engine->LastError();
          if (message.empty()) {
            message = kStartFailedMessage;
          }
        }
      }
    }
    if (ok) {
      return BoolResponse(method_call, true);
    }
    return ErrorResponse(method_call, kStartFailedCode, std::move(message));
  }

  std::unique_ptr<PendingResponse> Unstarted(
      const std::string& reason) override {
    return ErrorResponse(method_call, kStartFailedCode,
                         kNoThreadStartMessage + reason);
  }

  std::string config_text;
  std::string filter_mode;
  std::vector<std::string> selected_apps;
};

struct StopClosure : WorkerClosure {
  using WorkerClosure::WorkerClosure;

  std::unique_ptr<PendingResponse> Run() override {
    bool ok = true;
    std::string message;
    {
      std::lock_guard<std::mutex> lock(g_engine_mutex);
      // Without an engine there is no tunnel to stop.
      if (g_engine && !g_engine->Stop()) {
        ok = false;
        message = g_engine->LastError();
        if (message.empty()) {
          message = kStopFailedMessage;
        }
      }
    }
    if (ok) {
      return BoolResponse(method_call, true);
    }
    return ErrorResponse(method_call, kStopFailedCode, std::move(message));
  }

  std::unique_ptr<PendingResponse> Unstarted(
      const std::string& reason) override {
    return ErrorResponse(method_call, kStopFailedCode,
                         kNoThreadStopMessage + reason);
  }
};

struct IsRunningClosure : WorkerClosure {
  using WorkerClosure::WorkerClosure;

  std::unique_ptr<PendingResponse> Run() override {
    bool running = false;
    {
      std::lock_guard<std::mutex> lock(g_engine_mutex);
      running = g_engine && g_engine->IsRunning();
    }
    return BoolResponse(method_call, running);
  }

  std::unique_ptr<PendingResponse> Unstarted(const std::string&) override {
    return BoolResponse(method_call, false);
  }
};

struct CheckTunnelClosure : WorkerClosure {
  using WorkerClosure::WorkerClosure;

  std::unique_ptr<PendingResponse> Run() override {
    bool ok = false;
    {
      std::lock_guard<std::mutex> lock(g_engine_mutex);
      ok = g_engine && g_engine->CheckTunnel();
    }
    return BoolResponse(method_call, ok);
  }

  std::unique_ptr<PendingResponse> Unstarted(const std::string&) override {
    return BoolResponse(method_call, false);
  }
};

struct EngineStringClosure : WorkerClosure {
  EngineStringClosure(FlMethodCall* call, bool error_wanted)
      : WorkerClosure(call), want_error(error_wanted) {}

  std::unique_ptr<PendingResponse> Run() override {
    std::string text;
    {
      std::lock_guard<std::mutex> lock(g_engine_mutex);
      if (!g_engine) {
        text = kNoEngineMessage;
      } else if (want_error) {
        text = g_engine->LastError();
      } else {
        text = g_engine->LastResponse();
        if (text.empty()) {
          text = g_engine->LastError();
        }
      }
    }
    return StringResponse(method_call, std::move(text));
  }

  std::unique_ptr<PendingResponse> Unstarted(const std::string&) override {
    return StringResponse(method_call, kNoEngineMessage);
  }

  bool want_error;
};

gpointer WorkerMain(gpointer data) {
  std::unique_ptr<PendingResponse> response;
  {
    std::unique_ptr<WorkerClosure> closure(static_cast<WorkerClosure*>(data));
    response = closure->Run();
  }
  // The closure's reference to the call is gone before the record is posted,
  // so the record's reference, dropped on the main thread after answering,
  // is always the last one: the embedding's call object and what it holds
  // are never finalized on this thread.
  QueueResponse(std::move(response));
  return nullptr;
}

// Runs |closure| on a new detached thread. When no thread can be made the
// call is answered at once instead, so it never goes unanswered.
void RunDetached(std::unique_ptr<WorkerClosure> closure) {
  g_autoptr(GError) error = nullptr;
  GThread* thread = nullptr;
  if (g_fail_thread_creation.load()) {
    g_set_error_literal(&error, G_THREAD_ERROR, G_THREAD_ERROR_AGAIN,
                        "Resource temporarily unavailable");
  } else {
    thread =
        g_thread_try_new("v2ray-worker", WorkerMain, closure.get(), &error);
  }
  if (thread != nullptr) {
    // The thread owns the closure now; dropping our reference detaches it.
    (void)closure.release();
    g_thread_unref(thread);
    return;
  }
  PostResponse(closure->Unstarted(error != nullptr ? error->message : ""));
}

}  // namespace

// Neither object is ever destroyed: detached workers may still wait on the
// mutex, or look at the owner, while static destruction runs at process
// exit, and destroying a mutex somebody waits on is undefined behaviour.
// The engine itself is destroyed at exit by the reaper, under the lock.
std::unique_ptr<V2RayEngineLinux>& g_engine =
    *new std::unique_ptr<V2RayEngineLinux>();
std::mutex& g_engine_mutex = *new std::mutex();

namespace {
// Defined after the two objects above so that it is destroyed before
// anything else in this file.
EngineReaper g_engine_reaper;
}  // namespace

void DestroyV2RayEngineLinux() {
  std::lock_guard<std::mutex> lock(g_engine_mutex);
  // Stops the tunnel: the destructor calls Stop().
  g_engine.reset();
}

extern "C" void register_v2ray_channel_linux(FlBinaryMessenger* messenger) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(messenger));

  if (!g_engine) {
    // Only the main thread is here and no worker exists before the first
    // channel is registered, so the lock is not needed.
    g_engine = std::make_unique<V2RayEngineLinux>();
  }

  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(FlMethodChannel) channel =
      fl_method_channel_new(messenger, kChannelName, FL_METHOD_CODEC(codec));
  // The messenger keeps the channel alive; we keep no handle to it.
  fl_method_channel_set_method_call_handler(channel, HandleMethodCall, nullptr,
                                            nullptr);
}

void HandleMethodCall(FlMethodChannel* channel,
                      FlMethodCall* method_call,
                      gpointer user_data) {
  (void)channel;
  (void)user_data;
  const gchar* raw_name = fl_method_call_get_name(method_call);
  const std::string name = raw_name != nullptr ? raw_name : "";
  FlValue* args = fl_method_call_get_args(method_call);

  if (name == "start") {
    HandleStart(method_call, args);
  } else if (name == "stop") {
    HandleStop(method_call);
  } else if (name == "isRunning" || name == "status") {
    HandleIsRunning(method_call);
  } else if (name == "checkTunnel" || name == "checkLinuxTunnel") {
    HandleCheckTunnel(method_call);
  } else if (name == "getLastNativeResponse") {
    HandleEngineString(method_call, false);
  } else if (name == "getXrayLastError") {
    HandleEngineString(method_call, true);
  } else if (name == "setAppRules") {
    // Per-application rules have no effect on Linux: the whole system is
    // routed. Acknowledge without touching the engine.
    g_autoptr(GError) error = nullptr;
    if (!fl_method_call_respond_success(method_call, nullptr, &error)) {
      g_warning("Linux setAppRules response failed: %s", error->message);
    }
  } else {
    (void)fl_method_call_respond_not_implemented(method_call, nullptr);
  }
}

std::string GetStringArg(FlValue* args,
                         const char* key,
                         const std::string& default_value) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_MAP) {
    return default_value;
  }
  FlValue* value = fl_value_lookup_string(args, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_STRING) {
    return default_value;
  }
  const gchar* text = fl_value_get_string(value);
  return text != nullptr ? std::string(text) : default_value;
}

void HandleStart(FlMethodCall* method_call, FlValue* args) {
  const std::string legacy_config = GetStringArg(args, "config", "");
  // "config_data" wins whenever it is a string, even an empty one.
  std::string config = GetStringArg(args, "config_data", legacy_config);
  std::string filter_mode = GetStringArg(args, "apps_filter_mode", "allow");

  std::vector<std::string> selected_apps;
  if (args != nullptr && fl_value_get_type(args) == FL_VALUE_TYPE_MAP) {
    FlValue* apps = fl_value_lookup_string(args, "selected_apps");
    if (apps != nullptr && fl_value_get_type(apps) == FL_VALUE_TYPE_LIST) {
      const size_t count = fl_value_get_length(apps);
      selected_apps.reserve(count);
      for (size_t i = 0; i < count; ++i) {
        FlValue* app = fl_value_get_list_value(apps, i);
        if (app == nullptr || fl_value_get_type(app) != FL_VALUE_TYPE_STRING) {
          continue;
        }
        const gchar* text = fl_value_get_string(app);
        if (text != nullptr && text[0] != '\0') {
          selected_apps.emplace_back(text);
        }
      }
    }
  }

  if (config.empty()) {
    // Refused here, on the main thread: the engine is not touched.
    PostResponse(
        ErrorResponse(method_call, kInvalidConfigCode, kEmptyConfigMessage));
    return;
  }

  RunDetached(std::make_unique<StartClosure>(method_call, std::move(config),
                                             std::move(filter_mode),
                                             std::move(selected_apps)));
}

void HandleStop(FlMethodCall* method_call) {
  RunDetached(std::make_unique<StopClosure>(method_call));
}

void HandleIsRunning(FlMethodCall* method_call) {
  RunDetached(std::make_unique<IsRunningClosure>(method_call));
}

void HandleCheckTunnel(FlMethodCall* method_call) {
  RunDetached(std::make_unique<CheckTunnelClosure>(method_call));
}

void HandleEngineString(FlMethodCall* method_call, bool want_error) {
  RunDetached(std::make_unique<EngineStringClosure>(method_call, want_error));
}

gboolean CompleteResponseOnMain(gpointer data) {
  if (data == nullptr) {
    return G_SOURCE_REMOVE;
  }
  { std::lock_guard<std::mutex> ordered(HandoffMutex()); }
  std::unique_ptr<PendingResponse> response(
      static_cast<PendingResponse*>(data));
  if (response->method_call != nullptr) {
    g_autoptr(GError) error = nullptr;
    gboolean sent = TRUE;
    switch (response->kind) {
      case ResponseKind::kError:
        sent = fl_method_call_respond_error(
            response->method_call, response->error_code.c_str(),
            response->error_message.c_str(), nullptr, &error);
        break;
      case ResponseKind::kString: {
        // respond_success borrows the value; ours is released on scope exit.
        g_autoptr(FlValue) value =
            fl_value_new_string(response->string_value.c_str());
        sent = fl_method_call_respond_success(response->method_call, value,
                                              &error);
        break;
      }
      case ResponseKind::kBool: {
        g_autoptr(FlValue) value = fl_value_new_bool(response->bool_value);
        sent = fl_method_call_respond_success(response->method_call, value,
                                              &error);
        break;
      }
    }
    if (!sent && error != nullptr) {
      g_warning("Failed to respond to Linux v2ray method call: %s",
                error->message);
    }
    g_object_unref(response->method_call);
    response->method_call = nullptr;
  }
  return G_SOURCE_REMOVE;
}

namespace v2ray_channel_testing {

void SetStartObserver(StartObserver observer) {
  std::lock_guard<std::mutex> lock(g_engine_mutex);
  StartObserverSlot() = std::move(observer);
}

void SetFailThreadCreation(bool fail) {
  g_fail_thread_creation.store(fail);
}

}  // namespace v2ray_channel_testing
