#ifndef RUNNER_V2RAY_CHANNEL_HANDLER_LINUX_H_
#define RUNNER_V2RAY_CHANNEL_HANDLER_LINUX_H_

#include <flutter_linux/flutter_linux.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "v2ray_engine_linux.h"

// The method channel "v2ray": the only door between the user interface and
// the tunnel engine. The GLib main thread never touches the engine: every
// method that needs it runs on a detached worker thread that holds
// g_engine_mutex around the engine call and hands its answer back to the
// default main context.

extern "C" {
// Creates the engine on first use and registers the channel "v2ray" on
// |messenger| (transfer none). Call on the main thread.
void register_v2ray_channel_linux(FlBinaryMessenger* messenger);
}

// Sole owner of the one engine; empty until the first registration. Only
// read or changed while holding g_engine_mutex once workers may exist.
extern std::unique_ptr<V2RayEngineLinux>& g_engine;
// Serialises every engine operation. Never taken on the main thread.
extern std::mutex& g_engine_mutex;

// Destroys the engine (stopping the tunnel) while holding g_engine_mutex, so
// that no worker is inside an engine call; workers that get the lock later
// find no engine. Runs at process exit; tests call it directly.
void DestroyV2RayEngineLinux();

enum class ResponseKind : int32_t {
  kBool = 0,
  kString = 1,
  kError = 2,
};

// An answer prepared off the main thread. Ownership of the record passes to
// CompleteResponseOnMain(), which sends the answer and frees it.
struct PendingResponse {
  // Strong reference (released by CompleteResponseOnMain).
  FlMethodCall* method_call = nullptr;
  ResponseKind kind = ResponseKind::kError;
  bool bool_value = false;
  std::string string_value;
  std::string error_code;
  std::string error_message;
};

// Main-thread handler of every call on the channel.
void HandleMethodCall(FlMethodChannel* channel,
                      FlMethodCall* method_call,
                      gpointer user_data);

// The text of the string entry |key| of the map |args| (transfer none, may be
// null); a copy of |default_value| when |args| is no map or the entry is
// missing or not a string. An empty string entry is returned as empty.
std::string GetStringArg(FlValue* args,
                         const char* key,
                         const std::string& default_value);

// Each answers |method_call| (transfer none) exactly once, from a worker
// thread through the main context.
void HandleStart(FlMethodCall* method_call, FlValue* args);
void HandleStop(FlMethodCall* method_call);
void HandleIsRunning(FlMethodCall* method_call);
void HandleCheckTunnel(FlMethodCall* method_call);
void HandleEngineString(FlMethodCall* method_call, bool want_error);

// Sends the answer held by |data| (a PendingResponse, transfer full) and
// frees it. Always returns G_SOURCE_REMOVE.
gboolean CompleteResponseOnMain(gpointer data);

// Test seams. Not used by the runner itself.
namespace v2ray_channel_testing {

// Called by the start worker, under g_engine_mutex and just before
// V2RayEngineLinux::Start, with exactly the arguments Start receives.
using StartObserver =
    std::function<void(const std::string& config,
                       const std::string& apps_filter_mode,
                       const std::vector<std::string>& selected_apps)>;
void SetStartObserver(StartObserver observer);

// While set, creating a worker thread fails as if the system had run out of
// threads.
void SetFailThreadCreation(bool fail);

}  // namespace v2ray_channel_testing

#endif  // RUNNER_V2RAY_CHANNEL_HANDLER_LINUX_H_
