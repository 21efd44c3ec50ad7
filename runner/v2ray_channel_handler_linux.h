#ifndef RUNNER_V2RAY_CHANNEL_HANDLER_LINUX_H_
#define RUNNER_V2RAY_CHANNEL_HANDLER_LINUX_H_

#include <flutter_linux/flutter_linux.h>

#include <functional>

class V2RayEngineLinux;

// The method channel "v2ray": the only door between the user interface and
// the tunnel engine. The main thread never touches the engine: every method
// that needs it runs on a detached worker thread that holds the engine lock
// for the whole operation, and its answer is sent from the default main
// context.

extern "C" {
// Creates the engine on first use and registers the channel "v2ray" on
// |messenger| (transfer none). Call on the main thread.
void register_v2ray_channel_linux(FlBinaryMessenger* messenger);
}

// Runs |task| on a worker thread with the engine (null once it is gone),
// under the engine lock and in turn with the channel's calls: after every
// call made before it, before every call made after it. For work of the
// runner's own, such as giving back a network that an earlier runner left
// taken over, queued at start-up before the user interface can call. Main
// thread. False (and one warning) when no thread could be made; the task
// is then not run.
bool RunEngineTaskInOrder(std::function<void(V2RayEngineLinux*)> task);

// Destroys the engine, which stops the tunnel, once no worker is inside an
// engine call; workers that get the lock later find no engine. Waits for an
// operation in flight only so long: when the lock cannot be had in time it
// logs one warning and leaves the engine as it is (later calls then only try
// the lock once). Runs at process exit by itself; the application may call
// it earlier.
void DestroyV2RayEngineLinux();

#endif  // RUNNER_V2RAY_CHANNEL_HANDLER_LINUX_H_
