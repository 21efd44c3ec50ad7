// What the runner and the watcher of its core (quon_vpn_watch) agree on. The
// watcher is started with the core's pidfd and its end of a socket pair at
// fixed descriptor numbers, and with the route helper's "stop" as arguments:
//
//   quon_vpn_watch [HELPER HOST [SESSION]]
//
// The runner's end of the socket pair says what to do: one byte kRelease
// (the runner has dealt with the core: end, touch nothing), one byte kAbandon
// (the runner gave the core up without routing of its own: end the core,
// touch no routing), or end of file with no byte (the runner is gone: end the
// core and have the helper give the network back).
#ifndef COMMON_WATCHER_PROTOCOL_H_
#define COMMON_WATCHER_PROTOCOL_H_

namespace watcher_protocol {

constexpr int kCorePidfd = 3;
constexpr int kRunnerSocket = 4;
constexpr char kRelease = 'r';
constexpr char kAbandon = 'a';
// The watcher's program name, also its process name.
constexpr char kWatcherName[] = "quon_vpn_watch";
// SIGTERM first; SIGKILL once this grace is over, the same as Stop gives.
constexpr int kGraceMs = 8000;

}  // namespace watcher_protocol

#endif  // COMMON_WATCHER_PROTOCOL_H_
