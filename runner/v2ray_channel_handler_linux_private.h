// What the channel shares with its tests, and nothing the application needs.
#ifndef RUNNER_V2RAY_CHANNEL_HANDLER_LINUX_PRIVATE_H_
#define RUNNER_V2RAY_CHANNEL_HANDLER_LINUX_PRIVATE_H_

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "v2ray_engine_linux.h"

// Sole owner of the one engine; empty until the first registration. Only
// read or changed while holding g_engine_mutex once workers may exist.
extern std::unique_ptr<V2RayEngineLinux>& g_engine;
// Serialises every engine operation. Never taken on the main thread.
extern std::mutex& g_engine_mutex;

// Seams for the tests. They exist only in the build of the channel made for
// its tests (V2RAY_CHANNEL_TESTING): the program has none of them, and a test
// that calls one while linked against the program's build does not link.
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

// How long DestroyV2RayEngineLinux waits for the lock.
void SetExitLockWait(std::chrono::milliseconds wait);

}  // namespace v2ray_channel_testing

#endif  // RUNNER_V2RAY_CHANNEL_HANDLER_LINUX_PRIVATE_H_
