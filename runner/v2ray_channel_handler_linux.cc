#include "v2ray_channel_handler_linux.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "call_order.h"
#include "engine_waits.h"
#include "v2ray_channel_handler_linux_private.h"

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
// Followed by the method's name, ": " and the system's reason.
constexpr char kNoThreadMessage[] =
    "Linux VPN could not start a worker thread for ";

// How long the exit waits for an engine operation in flight: longer than
// the longest, a start that fails at its last step. The engine's Stop that
// follows has limits of its own.
constexpr std::chrono::seconds kExitLockWait{45};
static_assert(std::chrono::milliseconds(engine_waits::kLongestStartMs) <
                  kExitLockWait,
              "the exit outwaits every start");

// The one answer a call gets.
struct Answer {
  enum class Kind { kBool, kString, kError };

  static Answer Bool(bool value) { return {Kind::kBool, value, nullptr, {}}; }
  static Answer String(std::string text) {
    return {Kind::kString, false, nullptr, std::move(text)};
  }
  static Answer Error(const char* code, std::string message) {
    return {Kind::kError, false, code, std::move(message)};
  }

  Kind kind;
  bool flag;
  const char* code;
  // The string, or the error's message.
  std::string text;
};

// A call that needs the engine. |work| runs on a worker thread under
// g_engine_mutex, with the engine or null once it is gone; |no_thread| is
// the answer when no worker thread can be made (a string or a message gets
// the reason appended).
struct Job {
  Job(FlMethodCall* method_call,
      std::function<Answer(V2RayEngineLinux*)> engine_work,
      Answer no_thread_answer)
      : call(FL_METHOD_CALL(g_object_ref(method_call))),
        work(std::move(engine_work)),
        no_thread(std::move(no_thread_answer)),
        answer(Answer::Bool(false)) {}
  // Only ever destroyed on the main thread: the call's last reference, and
  // with it the embedding's objects, never go on a worker.
  ~Job() { g_object_unref(call); }
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  FlMethodCall* call;
  std::function<Answer(V2RayEngineLinux*)> work;
  Answer no_thread;
  // Its place among the calls, drawn when it arrived.
  uint64_t ticket = 0;
  // Filled in by the worker.
  Answer answer;
};

// Engine calls run in the order they arrived. Never destroyed: detached
// workers may still wait on it at process exit.
CallOrder& Order() {
  static auto* order = new CallOrder();
  return *order;
}

// Test seams; in the program they cost nothing.
#ifdef V2RAY_CHANNEL_TESTING
v2ray_channel_testing::StartObserver& StartObserverSlot() {
  static auto* observer = new v2ray_channel_testing::StartObserver();
  return *observer;
}
std::atomic<bool> g_fail_thread_creation{false};
std::atomic<int64_t> g_exit_lock_wait_ms{
    std::chrono::milliseconds(kExitLockWait).count()};

void ObserveStart(const std::string& config,
                  const std::string& mode,
                  const std::vector<std::string>& apps) {
  if (StartObserverSlot()) {
    StartObserverSlot()(config, mode, apps);
  }
}
bool ThreadCreationRefused() {
  return g_fail_thread_creation.load();
}
std::chrono::milliseconds ExitLockWait() {
  return std::chrono::milliseconds(g_exit_lock_wait_ms.load());
}
#else
void ObserveStart(const std::string&,
                  const std::string&,
                  const std::vector<std::string>&) {}
constexpr bool ThreadCreationRefused() {
  return false;
}
constexpr std::chrono::milliseconds ExitLockWait() {
  return kExitLockWait;
}
#endif

// Dart's standard codec refuses a string that is not UTF-8, and the engine's
// texts carry whatever bytes the core printed (and a log tail may begin in
// the middle of a character): each invalid byte becomes U+FFFD.
std::string ValidUtf8(const std::string& text) {
  g_autofree gchar* valid =
      g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
  return valid;
}

// Main thread only: every answer leaves here.
void SendAnswer(FlMethodCall* call, const Answer& answer) {
  g_autoptr(GError) error = nullptr;
  gboolean sent = FALSE;
  if (answer.kind == Answer::Kind::kError) {
    sent = fl_method_call_respond_error(
        call, answer.code, ValidUtf8(answer.text).c_str(), nullptr, &error);
  } else {
    // respond_success takes its own reference to the value.
    g_autoptr(FlValue) value =
        answer.kind == Answer::Kind::kBool
            ? fl_value_new_bool(answer.flag)
            : fl_value_new_string(ValidUtf8(answer.text).c_str());
    sent = fl_method_call_respond_success(call, value, &error);
  }
  if (!sent && error != nullptr) {
    g_warning("Failed to respond to Linux v2ray method call: %s",
              error->message);
  }
}

// Jobs whose work is done, waiting for the main loop to send their answers,
// and the source that sends them. The source is made on the main thread at
// the first registration and lives as long as the process; a worker only
// appends under the lock and marks the source ready, which wakes the
// context. So no GLib object passes between threads, the lock orders
// everything a worker did before its answer is read, and nobody but the
// thread that iterates the context ever sends: once g_application_run has
// returned at exit, late answers are not sent rather than sent from a
// worker. Never destroyed: detached workers may still append while static
// destruction runs at exit.
struct DoneJobs {
  std::mutex mutex;
  std::vector<std::unique_ptr<Job>> jobs;
  GSource* source = nullptr;
};

DoneJobs& Done() {
  static auto* done = new DoneJobs();
  return *done;
}

gboolean done_jobs_dispatch_cb(GSource* source,
                               GSourceFunc callback,
                               gpointer user_data) {
  (void)callback;
  (void)user_data;
  // Unmarked before the list is taken: a job appended from here on marks
  // the source again.
  g_source_set_ready_time(source, -1);
  std::vector<std::unique_ptr<Job>> jobs;
  {
    std::lock_guard<std::mutex> lock(Done().mutex);
    jobs.swap(Done().jobs);
  }
  for (const std::unique_ptr<Job>& job : jobs) {
    SendAnswer(job->call, job->answer);
  }
  return G_SOURCE_CONTINUE;
}

void AttachDoneJobsSource() {
  static GSourceFuncs funcs = {nullptr, nullptr, done_jobs_dispatch_cb,
                               nullptr, nullptr, nullptr};
  if (Done().source != nullptr) {
    return;
  }
  Done().source = g_source_new(&funcs, sizeof(GSource));
  g_source_set_name(Done().source, "v2ray answers");
  (void)g_source_attach(Done().source, nullptr);
}

gpointer run_job_cb(gpointer data) {
  std::unique_ptr<Job> job(static_cast<Job*>(data));
  Order().WaitForTurn(job->ticket);
  {
    std::lock_guard<std::mutex> lock(g_engine_mutex);
    job->answer = job->work(g_engine.get());
  }
  Order().Done(job->ticket);
  {
    std::lock_guard<std::mutex> lock(Done().mutex);
    Done().jobs.push_back(std::move(job));
  }
  g_source_set_ready_time(Done().source, 0);
  return nullptr;
}

// Runs |job| on a new detached thread; when none can be made, answers at
// once with the job's no-thread answer, so the call never goes unanswered.
void RunDetached(std::unique_ptr<Job> job) {
  job->ticket = Order().Take();
  g_autoptr(GError) error = nullptr;
  GThread* thread = nullptr;
  if (ThreadCreationRefused()) {
    g_set_error_literal(&error, G_THREAD_ERROR, G_THREAD_ERROR_AGAIN,
                        "Resource temporarily unavailable");
  } else {
    thread = g_thread_try_new("v2ray-worker", run_job_cb, job.get(), &error);
  }
  if (thread != nullptr) {
    // The thread owns the job now; dropping our reference detaches it.
    (void)job.release();
    g_thread_unref(thread);
    return;
  }
  // Its turn will never be taken: the calls after it must not wait for it.
  Order().Done(job->ticket);
  Answer answer = std::move(job->no_thread);
  if (answer.kind != Answer::Kind::kBool) {
    answer.text += error != nullptr ? error->message : "";
  }
  SendAnswer(job->call, answer);
}

// Work of the runner's own, in turn with the calls (RunEngineTaskInOrder).
struct EngineTask {
  std::function<void(V2RayEngineLinux*)> work;
  uint64_t ticket = 0;
};

gpointer run_task_cb(gpointer data) {
  std::unique_ptr<EngineTask> task(static_cast<EngineTask*>(data));
  Order().WaitForTurn(task->ticket);
  {
    std::lock_guard<std::mutex> lock(g_engine_mutex);
    task->work(g_engine.get());
  }
  Order().Done(task->ticket);
  return nullptr;
}

// The text of the string entry |key| of the map |args| (may be null);
// |default_value| when |args| is no map or the entry is missing or not a
// string. An empty string entry is returned as empty.
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

// The non-empty strings of the list "selected_apps", in order; anything
// else in it is skipped.
std::vector<std::string> GetSelectedApps(FlValue* args) {
  std::vector<std::string> selected_apps;
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_MAP) {
    return selected_apps;
  }
  FlValue* apps = fl_value_lookup_string(args, "selected_apps");
  if (apps == nullptr || fl_value_get_type(apps) != FL_VALUE_TYPE_LIST) {
    return selected_apps;
  }
  const size_t count = fl_value_get_length(apps);
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
  return selected_apps;
}

// The engine's last error, or |fallback| when it has none.
std::string LastErrorOr(const V2RayEngineLinux& engine, const char* fallback) {
  std::string message = engine.LastError();
  return message.empty() ? fallback : message;
}

void HandleStart(FlMethodCall* method_call, FlValue* args) {
  const std::string legacy_config = GetStringArg(args, "config", "");
  // "config_data" wins whenever it is a string, even an empty one.
  std::string config = GetStringArg(args, "config_data", legacy_config);
  if (config.empty()) {
    // Refused here, on the main thread: the engine is not touched.
    SendAnswer(method_call,
               Answer::Error(kInvalidConfigCode, kEmptyConfigMessage));
    return;
  }
  auto work = [config = std::move(config),
               mode = GetStringArg(args, "apps_filter_mode", "allow"),
               apps = GetSelectedApps(args)](V2RayEngineLinux* engine) {
    if (engine == nullptr) {
      return Answer::Error(kStartFailedCode, kNoEngineMessage);
    }
    ObserveStart(config, mode, apps);
    if (engine->Start(config, mode, apps)) {
      return Answer::Bool(true);
    }
    return Answer::Error(kStartFailedCode,
                         LastErrorOr(*engine, kStartFailedMessage));
  };
  RunDetached(std::make_unique<Job>(
      method_call, std::move(work),
      Answer::Error(kStartFailedCode,
                    std::string(kNoThreadMessage) + "start: ")));
}

void HandleStop(FlMethodCall* method_call) {
  auto work = [](V2RayEngineLinux* engine) {
    // Without an engine there is no tunnel to stop.
    if (engine == nullptr || engine->Stop()) {
      return Answer::Bool(true);
    }
    return Answer::Error(kStopFailedCode,
                         LastErrorOr(*engine, kStopFailedMessage));
  };
  RunDetached(std::make_unique<Job>(
      method_call, std::move(work),
      Answer::Error(kStopFailedCode,
                    std::string(kNoThreadMessage) + "stop: ")));
}

// "isRunning" and "checkTunnel": false without an engine or a thread.
void HandleEngineBool(FlMethodCall* method_call,
                      bool (*operation)(V2RayEngineLinux*)) {
  auto work = [operation](V2RayEngineLinux* engine) {
    return Answer::Bool(engine != nullptr && operation(engine));
  };
  RunDetached(
      std::make_unique<Job>(method_call, std::move(work), Answer::Bool(false)));
}

// "getLastNativeResponse" and "getXrayLastError".
void HandleEngineString(FlMethodCall* method_call,
                        const std::string& name,
                        bool want_error) {
  auto work = [want_error](V2RayEngineLinux* engine) {
    if (engine == nullptr) {
      return Answer::String(kNoEngineMessage);
    }
    std::string text = want_error ? "" : engine->LastResponse();
    return Answer::String(text.empty() ? engine->LastError() : text);
  };
  RunDetached(
      std::make_unique<Job>(method_call, std::move(work),
                            Answer::String(kNoThreadMessage + name + ": ")));
}

void method_call_cb(FlMethodChannel* channel,
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
    HandleEngineBool(method_call, [](V2RayEngineLinux* engine) {
      return engine->IsRunning();
    });
  } else if (name == "checkTunnel" || name == "checkLinuxTunnel") {
    HandleEngineBool(method_call, [](V2RayEngineLinux* engine) {
      return engine->CheckTunnel();
    });
  } else if (name == "getLastNativeResponse") {
    HandleEngineString(method_call, name, false);
  } else if (name == "getXrayLastError") {
    HandleEngineString(method_call, name, true);
  } else if (name == "setAppRules") {
    // Per-application rules have no effect on Linux: the whole system is
    // routed. Acknowledged without touching the engine.
    g_autoptr(GError) error = nullptr;
    if (!fl_method_call_respond_success(method_call, nullptr, &error)) {
      g_warning("Linux setAppRules response failed: %s", error->message);
    }
  } else {
    (void)fl_method_call_respond_not_implemented(method_call, nullptr);
  }
}

// Destroys the engine at process exit, stopping the tunnel. It may run after
// other files' static objects are gone: the engine's own constants are all
// constexpr.
class EngineReaper {
 public:
  EngineReaper() = default;
  ~EngineReaper() { DestroyV2RayEngineLinux(); }
  EngineReaper(const EngineReaper&) = delete;
  EngineReaper& operator=(const EngineReaper&) = delete;
};

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
// Set once an exit has given up waiting for the lock.
std::atomic<bool> g_exit_gave_up{false};

// Takes |lock| within |wait|. Polled: a timed mutex would do as well, but
// the thread checker does not see a timed lock being taken and reports its
// unlock as a fault; at exit, a 10 ms poll costs nothing.
bool LockWithin(std::unique_lock<std::mutex>* lock,
                std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (!lock->try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}
}  // namespace

void DestroyV2RayEngineLinux() {
  std::unique_lock<std::mutex> lock(g_engine_mutex, std::defer_lock);
  const bool locked = g_exit_gave_up.load() ? lock.try_lock()
                                            : LockWithin(&lock, ExitLockWait());
  if (!locked) {
    if (!g_exit_gave_up.exchange(true)) {
      // The core dies with the runner, and the next runner's start or stop
      // gives back the routes the helper recorded.
      g_warning(
          "Linux VPN engine still busy after %lld ms at exit; leaving "
          "without stopping the tunnel",
          static_cast<long long>(ExitLockWait().count()));
    }
    return;
  }
  // Stops the tunnel: the destructor calls Stop().
  g_engine.reset();
}

extern "C" void register_v2ray_channel_linux(FlBinaryMessenger* messenger) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(messenger));

  if (!g_engine) {
    // Only the main thread is here and no worker exists before the first
    // channel is registered, so the lock is not needed.
    g_engine = std::make_unique<V2RayEngineLinux>();
    // Gives back, before any call's turn, the network that a runner killed
    // with its watcher left taken, so getLastNativeResponse can tell the
    // user. Without a thread the next start's clean-up does it instead.
    (void)RunEngineTaskInOrder([](V2RayEngineLinux* engine) {
      if (engine != nullptr) {
        (void)engine->RecoverAbandonedTunnel();
      }
    });
  }
  AttachDoneJobsSource();

  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(FlMethodChannel) channel =
      fl_method_channel_new(messenger, kChannelName, FL_METHOD_CODEC(codec));
  // The messenger keeps the channel alive; we keep no handle to it.
  fl_method_channel_set_method_call_handler(channel, method_call_cb, nullptr,
                                            nullptr);
}

bool RunEngineTaskInOrder(std::function<void(V2RayEngineLinux*)> task) {
  auto owned = std::make_unique<EngineTask>();
  owned->work = std::move(task);
  owned->ticket = Order().Take();
  g_autoptr(GError) error = nullptr;
  GThread* thread = nullptr;
  if (ThreadCreationRefused()) {
    g_set_error_literal(&error, G_THREAD_ERROR, G_THREAD_ERROR_AGAIN,
                        "Resource temporarily unavailable");
  } else {
    thread = g_thread_try_new("v2ray-task", run_task_cb, owned.get(), &error);
  }
  if (thread == nullptr) {
    // Its turn will never be taken: the calls after it must not wait.
    Order().Done(owned->ticket);
    g_warning(
        "Linux VPN could not start a worker thread for an engine task: %s",
        error != nullptr ? error->message : "");
    return false;
  }
  (void)owned.release();
  g_thread_unref(thread);
  return true;
}

#ifdef V2RAY_CHANNEL_TESTING
namespace v2ray_channel_testing {

void SetStartObserver(StartObserver observer) {
  std::lock_guard<std::mutex> lock(g_engine_mutex);
  StartObserverSlot() = std::move(observer);
}

void SetFailThreadCreation(bool fail) {
  g_fail_thread_creation.store(fail);
}

void SetExitLockWait(std::chrono::milliseconds wait) {
  g_exit_lock_wait_ms.store(wait.count());
}

}  // namespace v2ray_channel_testing
#endif
