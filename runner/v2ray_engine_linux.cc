#include "v2ray_engine_linux.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "bounded_log.h"
#include "common/pathwarden_exit_status.h"
#include "common/route_state_record.h"
#include "common/tunnel_interface.h"
#include "engine_waits.h"
#include "helper_status_text.h"
#include "poll_wait.h"
#include "private_file.h"
#include "route_lookup.h"
#include "runtime_dir.h"
#include "server_host.h"
#include "session_token.h"

namespace {

namespace waits = engine_waits;

// Fixed names. The runner reads no configuration: everything it touches is
// named here. The runner's own files live in the user's private directory
// (RuntimeDir), where no other user can read them, plant anything or block
// them.
constexpr char kNativeLogName[] = "quon_vpn_runner_native_linux.log";
constexpr char kRuntimeConfigName[] = "quon_vpn_xray_config_runtime.json";
constexpr char kRuntimeErrorLogName[] = "quon_vpn_xray_runtime_error.log";
constexpr char kHelperOutputLogName[] = "quon_vpn_helper_runtime.log";
constexpr char kInstalledXrayPath[] = "/opt/quon_vpn/xray";
constexpr char kInstalledHelperPath[] =
    "/usr/local/libexec/quon_vpn/pathwarden";
constexpr char kInstalledWatcherPath[] = "/opt/quon_vpn/quon_vpn_watch";

constexpr char kLogPrefix[] = "[LINUX V2RAY] ";
constexpr char kErrorLogPrefix[] = "[LINUX V2RAY] ERROR ";

// Only the tail of Xray's output is shown to the user: its last lines say
// why it failed, and the whole log could be large.
constexpr off_t kRuntimeErrorTailBytes = 8192;

// The helper refused to touch a tunnel that is not this runner's: nothing
// was changed.
bool IsRefusal(int status) {
  return status == kPathwardenNotOwner || status == kPathwardenOtherSession;
}

constexpr char kHelperNotInstalled[] =
    "Orvex system helper is not installed or not executable. Run the "
    "one-time Linux setup/installer (on Debian and Ubuntu: the quon-vpn "
    "package); where an administrator lets only one group start tunnels, "
    "ask to be made a member.";

// A probe of CheckTunnel: curl fetches |url| bound to the tunnel interface.
// |host_name|, when set, is the name in |url|: once the probe has reached it,
// the addresses it stands for must be routed through the tunnel too.
struct TunnelProbe {
  const char* url;
  bool insecure;
  const char* name;
  const char* host_name;
};

// Tried in order; the first that answers proves the tunnel. The first is
// addressed by IP literal, so it works even when DNS through the tunnel does
// not; its certificate names a host, not the address, hence insecure. The
// second is the captive-portal check of the same operator: it answers
// /generate_204 with an empty 204 over plain HTTP, so no certificate is
// involved at all, and the name lookup it needs also proves that DNS works.
constexpr TunnelProbe kTunnelProbes[] = {
    {"https://1.1.1.1/cdn-cgi/trace", true, "cloudflare-ip", nullptr},
    {"http://cp.cloudflare.com/generate_204", false, "cloudflare-http",
     "cp.cloudflare.com"},
};

// The probes are bound to the tunnel, so they succeed whatever the
// machine's own routing does. Plain traffic, bound to nothing, must leave
// through the tunnel too, or "connected" would be said while it leaks: the
// kernel is asked where it sends a packet to the first probe's address and
// to the same host's IPv6 address. Neither may leave by another link, and
// at least one must leave by the tunnel: a family may have no route at all
// (the helper takes a family over only where the home had a default, so an
// IPv6-only or IPv4-only home leaves the other family without one).
constexpr const char* kPlainTrafficAddresses[] = {"1.1.1.1",
                                                  "2606:4700:4700::1111"};
constexpr char kNotThroughTunnel[] =
    "Linux tunnel validation failed: traffic is not going through the "
    "tunnel: ";

// curl's argument vector for |probe|. Bound to the tunnel interface; its
// output is discarded, only the exit status counts.
std::vector<std::string> CurlArguments(const TunnelProbe& probe) {
  std::vector<std::string> argv = {"curl",   "-4",       "--interface",
                                   kTunName, "--silent", "--show-error"};
  if (probe.insecure) {
    argv.emplace_back("--insecure");
  }
  argv.insert(argv.end(),
              {"--connect-timeout", std::to_string(waits::kProbeConnectLimitS),
               "--max-time", std::to_string(waits::kProbeLimitS), "--output",
               "/dev/null", "--write-out", "%{http_code}", probe.url});
  return argv;
}

// The runner's file |name| for a child's output, cut to its bound first; -1
// (the child keeps the runner's output) when it cannot be opened.
UniqueFd OpenChildOutput(const char* name) {
  const std::string path = RuntimeFilePath(name);
  if (path.empty()) {
    return UniqueFd();
  }
  BoundLog(path.c_str());
  return UniqueFd(OpenPrivateFile(path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                  kPrivateFileMode, geteuid()));
}

UniqueFd OpenDevNull() {
  return UniqueFd(open("/dev/null", O_WRONLY | O_CLOEXEC));
}

// The text of an error number, safe to call while other threads run.
std::string ErrorText(int error) {
  char buffer[256] = {};
  return strerror_r(error, buffer, sizeof(buffer));
}

void SleepMs(int ms) {
  usleep(static_cast<useconds_t>(ms) * 1000);
}

// Why plain traffic to |address| would not go through the tunnel (it
// leaves by another link, or the kernel cannot be asked); empty when it
// would, or when it has no route at all, which |*routed| then says.
std::string PlainTrafficProblem(const std::string& address, bool* routed) {
  const RouteLookup route = LookupRoute(address);
  *routed = route.result == RouteLookup::Result::kDevice;
  switch (route.result) {
    case RouteLookup::Result::kDevice:
      if (route.device == kTunName) {
        return std::string();
      }
      return kNotThroughTunnel + std::string("the system sends packets for ") +
             address + " out of " + route.device + ", not " + kTunName;
    case RouteLookup::Result::kNoRoute:
      return std::string();
    case RouteLookup::Result::kFailed:
      break;
  }
  return "Linux tunnel validation failed: could not ask the system how it "
         "routes " +
         address + ": " + ErrorText(route.error);
}

// PlainTrafficProblem for every IPv4 address |host| resolves to. A name
// that does not resolve here (curl has just reached it, so this is rare)
// is not held against the tunnel: the first check has already been made.
std::string HostTrafficProblem(const char* host) {
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0) {
    return std::string();
  }
  std::string problem;
  for (const addrinfo* a = found; a != nullptr && problem.empty();
       a = a->ai_next) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) != nullptr) {
      bool routed = false;
      problem = PlainTrafficProblem(text, &routed);
    }
  }
  freeaddrinfo(found);
  return problem;
}

}  // namespace

V2RayEngineLinux::V2RayEngineLinux() : core_watcher_(&Log) {}

// A destructor is noexcept: should Stop() throw, the process terminates
// instead of leaving a tunnel half torn down behind a vanished object.
V2RayEngineLinux::~V2RayEngineLinux() {
  (void)Stop();
  if (state_ != TunnelState::kNone) {
    // The routing could not be given back (or the core not reaped): the
    // watcher tries again once the runner has gone.
    core_watcher_.HandOver(waits::kHandOverLimitMs);
  }
}

// ---------------------------------------------------------------------------
// Channel operations
// ---------------------------------------------------------------------------

bool V2RayEngineLinux::Start(const std::string& config,
                             const std::string& apps_filter_mode,
                             const std::vector<std::string>& selected_apps) {
  // The Linux engine routes the whole system: no per-application rule.
  (void)apps_filter_mode;
  (void)selected_apps;
  Log("Start() called");
  if (!AcceptConfiguration(config)) {
    return false;
  }
  if (!TakeSession()) {
    return false;
  }
  const std::string xray_path = GetXrayPath();
  if (!RunPreStartRouteCleanup() || !LaunchXray(xray_path) || !XrayStayedUp() ||
      !TunnelAppeared() || !RoutingTakenOver()) {
    return false;
  }
  SetState(TunnelState::kUp);  // Xray now runs until Stop.
  Succeed("xray started on Linux", "started successfully");
  return true;
}

bool V2RayEngineLinux::AcceptConfiguration(const std::string& config) {
  if (config.empty() || config[0] != '{') {
    SetError("Linux start expects JSON config, but received non-JSON data");
    return false;
  }
  ReapExitedXray();
  if (ProcessExists(core_.pid())) {
    SetError("xray is already running");
    return false;
  }
  config_json_ = config;
  const ServerHostScan scan = FindServerHost(config_json_);
  Log(scan.LogText());
  server_host_ = scan.host;
  Log("config begins with: " + config_json_.substr(0, 80));
  Log("extracted server host: " + server_host_);
  if (server_host_.empty()) {
    SetError("could not extract server address from Xray config");
    return false;
  }
  return WriteRuntimeConfig(config_json_);
}

bool V2RayEngineLinux::TakeSession() {
  // A session whose record may still exist (a stop that failed) is kept, so
  // that this start's clean-up may still give that routing back.
  if (!session_.empty()) {
    return true;
  }
  session_ = NewSessionToken();
  if (session_.empty()) {
    SetError("could not draw a session token for the tunnel: " +
             ErrorText(errno));
    return false;
  }
  return true;
}

bool V2RayEngineLinux::RunPreStartRouteCleanup() {
  Log("pre-start route cleanup");
  // Without a helper there is nothing to clean up; start says so at its own
  // step.
  if (access(GetHelperPath().c_str(), X_OK) != 0) {
    return true;
  }
  // Its output is discarded, the core's kept and nothing logged: what it
  // finds is not this start's to report.
  if (RunHelper({"stop", server_host_, kRunnerCleanupLimitMs,
                 HelperCall::Failure::kSilent, false, false}) ||
      !IsRefusal(last_helper_status_)) {
    return true;  // Whatever else it found is for the start to find out.
  }
  // Someone else's live tunnel: this runner does not fight over it.
  SetError("Linux VPN could not start: " +
           HelperStatusText(last_helper_status_));
  return false;
}

bool V2RayEngineLinux::LaunchXray(const std::string& xray_path) {
  if (access(xray_path.c_str(), X_OK) != 0) {
    SetError("xray binary is missing or not executable: " + xray_path);
    return false;
  }
  const UniqueFd output = OpenChildOutput(kRuntimeErrorLogName);
  SpawnRequest request;
  request.program = xray_path;
  request.argv = {xray_path, "run", "-config", GetRuntimeConfigPath()};
  request.output_fd = output.get();
  // Spawn fails only when no process could be made (an exec that fails is
  // the child that ends with 127): the user interface knows these words.
  if (!core_.Spawn(request)) {
    SetError("fork() failed");
    return false;
  }
  SetState(TunnelState::kStarting);
  const pid_t pid = core_.pid();
  if (pid > 0) {
    const std::string helper_path = GetHelperPath();
    WatcherOrders orders;
    orders.watcher = GetWatcherPath();
    if (access(helper_path.c_str(), X_OK) == 0) {
      orders.helper = helper_path;
      orders.host = server_host_;
      orders.session = session_;
    }
    orders.log_path = RuntimeFilePath(kHelperOutputLogName);
    if (!core_watcher_.Watch(pid, orders)) {
      Log("no watcher for xray; it would outlive a runner that is killed");
    }
  }
  Log("launching xray pid=" + std::to_string(pid));
  return true;
}

bool V2RayEngineLinux::XrayStayedUp() {
  SleepMs(waits::kCoreSettleMs);
  if (core_.TryReap() != ChildProcess::Poll::kEnded) {
    return true;
  }
  SetState(TunnelState::kNone);
  FailWithCoreOutput("xray exited immediately on Linux", ReadRuntimeError());
  return false;
}

bool V2RayEngineLinux::TunnelAppeared() {
  if (WaitForTun(kTunName, waits::kTunLimitMs / waits::kTunPollMs,
                 waits::kTunPollMs)) {
    return true;
  }
  // Asked to end but not waited for, so that the answer comes at once and
  // no SIGKILL cuts short whatever clean-up the core does on SIGTERM. The
  // process must still not stay a zombie for the life of the runner, nor
  // its id be forgotten while it may run on: the reaper polls for it in its
  // own thread (no SIGCHLD handler, which a library must not install behind
  // the application's back), kills it when it ignores SIGTERM for the whole
  // grace, and kills and reaps it should the engine go away first; its
  // watcher ends it should the runner die.
  (void)core_.Signal(SIGTERM);
  if (core_.TryReap() != ChildProcess::Poll::kEnded) {
    AbandonCore();
  }
  SetState(TunnelState::kNone);
  FailWithCoreOutput("quon_vpn0 was not created in time", ReadRuntimeError());
  return false;
}

bool V2RayEngineLinux::RoutingTakenOver() {
  if (RunRouteHelper("start", server_host_, kRunnerStartLimitMs / 1000)) {
    return true;
  }
  // Without a helper nothing can have been taken, and the core's watcher has
  // nothing to give back should the runner die: it goes with the core.
  const bool no_helper = access(GetHelperPath().c_str(), X_OK) != 0;
  // The helper may have changed part of the routing before it failed: have
  // it give back what it took. A failure here replaces the first message.
  const bool undone = no_helper || RunRouteHelper("stop", server_host_,
                                                  kRunnerUndoLimitMs / 1000);
  const bool refused = IsRefusal(last_helper_status_);
  if (undone) {
    SessionEnded();
  }
  (void)core_.Signal(SIGTERM);
  if (core_.PollReap(waits::kFailedStartCoreGraceMs, waits::kChildPollMs) ==
      ChildProcess::Poll::kError) {
    // waitpid no longer knows the id: never signal it.
    (void)core_.Release();
  }
  if (core_.owned() && core_.KillAndReapWithin(waits::kKillReapLimitMs) ==
                           ChildProcess::Poll::kRunning) {
    // Not gone yet: its watcher and the reaper see it to its end.
    AbandonCore();
  }
  SetState(undone || refused ? TunnelState::kNone
                             : TunnelState::kCoreGoneRoutesTaken);
  return false;
}

void V2RayEngineLinux::AbandonCore() {
  core_watcher_.Abandon(&reaper_);
  reaper_.Adopt(core_.Release());
}

void V2RayEngineLinux::SetState(TunnelState state) {
  state_ = state;
  if (state == TunnelState::kNone) {
    core_watcher_.Release();
  }
}

void V2RayEngineLinux::SessionEnded() {
  session_.clear();
}

void V2RayEngineLinux::ReapExitedXray() {
  const pid_t pid = core_.pid();
  if (pid > 0 && core_.TryReap() == ChildProcess::Poll::kEnded) {
    Log("xray pid=" + std::to_string(pid) + " had exited on its own; reaped");
    // Routing it had taken is given back by the clean-up of the next start;
    // until then the watcher stays, should the runner die first.
    SetState(state_ == TunnelState::kUp ? TunnelState::kCoreGoneRoutesTaken
                                        : TunnelState::kNone);
  }
}

bool V2RayEngineLinux::TakeDownAfterCoreExit() {
  const pid_t pid = core_.pid();
  if (state_ != TunnelState::kUp || pid <= 0 ||
      core_.TryReap() != ChildProcess::Poll::kEnded) {
    return false;
  }
  Log("xray pid=" + std::to_string(pid) +
      " exited while the tunnel was up; restoring routing");
  // Read first: the helper run below empties the log.
  const std::string tail = ReadRuntimeError();
  if (RunRouteHelper("stop", server_host_, kRunnerStopLimitMs / 1000)) {
    SessionEnded();
    SetState(TunnelState::kNone);
  } else {
    Log("route cleanup failed after xray exited: " + last_error_);
    SetState(TunnelState::kCoreGoneRoutesTaken);
  }
  // The colon stays even when the core said nothing: the user interface
  // has always been given this message so.
  SetError("xray exited while the tunnel was up: " + tail);
  return true;
}

std::string V2RayEngineLinux::ServerFromRouteState() const {
  std::string text;
  const int error = ReadRouteStateRecord(kRouteStatePath, &text);
  if (error == ENOENT) {
    return std::string();
  }
  if (error != 0) {
    Log("route state file ignored: " + ErrorText(error));
    return std::string();
  }
  std::string server = RecordedServer(text);
  Log("route state of an earlier run found; server=" + server);
  return server;
}

bool V2RayEngineLinux::Stop() {
  Log("Stop() called");
  std::string routing_failure;
  const bool routing_back = GiveRoutingBack(&routing_failure);
  const TunnelState after = routing_back || state_ == TunnelState::kNone
                                ? TunnelState::kNone
                                : TunnelState::kCoreGoneRoutesTaken;
  const bool had_core = core_.pid() > 0;
  if (had_core && !EndCore()) {
    // The core is kept, so a later Stop signals and waits for it again.
    SetState(TunnelState::kStopFailedCoreKept);
    SetError("failed to stop xray process");
    return false;
  }
  SetState(after);
  if (!routing_back) {
    SetError(routing_failure);
    return false;
  }
  if (had_core) {
    Succeed("xray stopped on Linux", "Stop() finished");
  } else {
    Succeed("xray already stopped", "xray already stopped");
  }
  return true;
}

bool V2RayEngineLinux::GiveRoutingBack(std::string* failure) {
  // A runner that died (or another one) may have left the routing taken
  // over; its helper state names the server even when this engine never
  // knew one. The helper gives it back only when that runner is gone.
  const std::string host =
      server_host_.empty() ? ServerFromRouteState() : server_host_;
  if (host.empty()) {
    return true;
  }
  if (!RunRouteHelper("stop", host, kRunnerStopLimitMs / 1000)) {
    *failure = last_error_;
    Log("route cleanup failed during stop: " + *failure);
    return false;
  }
  SessionEnded();
  return true;
}

bool V2RayEngineLinux::EndCore() {
  Log("sending SIGTERM to pid " + std::to_string(core_.pid()));
  (void)core_.Signal(SIGTERM);
  if (core_.PollReap(waits::kCoreGraceMs, waits::kCoreGracePollMs) ==
      ChildProcess::Poll::kEnded) {
    Log("process exited after SIGTERM");
    return true;
  }
  Log("process still alive, sending SIGKILL");
  (void)core_.Signal(SIGKILL);
  if (core_.PollReap(waits::kAfterKillLimitMs, waits::kChildPollMs) ==
      ChildProcess::Poll::kEnded) {
    Log("process exited after SIGKILL");
    return true;
  }
  return false;
}

bool V2RayEngineLinux::RecoverAbandonedTunnel() {
  if (state_ != TunnelState::kNone || core_.owned()) {
    return false;
  }
  const std::string host = ServerFromRouteState();
  if (host.empty()) {
    return false;
  }
  // No session: the helper gives the network back only when the runner
  // that took it is gone.
  if (!RunHelper({"stop", host, kRunnerStopLimitMs,
                  HelperCall::Failure::kRefusalLogged})) {
    if (!IsRefusal(last_helper_status_)) {
      SetError(
          "the network left by an earlier run of quon_vpn could not "
          "be restored: " +
          last_error_);
    }
    return false;
  }
  const char* restored =
      "the network left by an earlier run of quon_vpn was restored";
  Succeed(restored, restored);
  return true;
}

bool V2RayEngineLinux::IsRunning() {
  if (TakeDownAfterCoreExit()) {
    return false;
  }
  return ProcessExists(core_.pid());
}

bool V2RayEngineLinux::CheckTunnel() {
  Log("CheckTunnel() called");
  if (TakeDownAfterCoreExit() || !TunnelCanBeProbed() ||
      !PlainTrafficThroughTunnel(nullptr)) {
    return false;
  }
  SleepMs(waits::kProbeSettleMs);
  int last_exit = -1;
  for (size_t i = 0; i < std::size(kTunnelProbes); ++i) {
    switch (RunProbe(i, &last_exit)) {
      case ProbeOutcome::kReached:
        return true;
      case ProbeOutcome::kAborted:
        return false;
      case ProbeOutcome::kFailed:
        SleepMs(waits::kProbeGapMs);
        break;
    }
  }
  ReportNoProbeReached(last_exit);
  return false;
}

bool V2RayEngineLinux::PlainTrafficThroughTunnel(const char* host_name) {
  std::string problem;
  if (host_name != nullptr) {
    problem = HostTrafficProblem(host_name);
  } else {
    bool any_routed = false;
    for (const char* address : kPlainTrafficAddresses) {
      bool routed = false;
      problem = PlainTrafficProblem(address, &routed);
      if (!problem.empty()) {
        break;
      }
      any_routed = any_routed || routed;
    }
    if (problem.empty() && !any_routed) {
      problem = kNotThroughTunnel + std::string("the system has no route to ") +
                kPlainTrafficAddresses[0] + " or " + kPlainTrafficAddresses[1];
    }
  }
  if (problem.empty()) {
    return true;
  }
  SetError(problem);
  return false;
}

bool V2RayEngineLinux::TunnelCanBeProbed() {
  if (!ProcessExists(core_.pid())) {
    SetError("Linux Xray process is not running");
    return false;
  }
  if (access((std::string("/sys/class/net/") + kTunName).c_str(), F_OK) != 0) {
    SetError("Linux VPN interface quon_vpn0 does not exist");
    return false;
  }
  return true;
}

V2RayEngineLinux::ProbeOutcome V2RayEngineLinux::RunProbe(size_t index,
                                                          int* last_exit) {
  const TunnelProbe& probe = kTunnelProbes[index];
  if (!ProcessExists(core_.pid())) {
    SetError("Linux Xray process stopped during tunnel validation");
    return ProbeOutcome::kAborted;
  }
  Log(std::string("tunnel probe start name=") + probe.name +
      " url=" + probe.url);
  const UniqueFd output = OpenDevNull();
  SpawnRequest request;
  request.program = "curl";  // Found through the search path.
  request.search_path = true;
  request.argv = CurlArguments(probe);
  request.output_fd = output.get();
  ChildProcess curl;
  if (!curl.Spawn(request)) {
    SetError("fork() failed for Linux tunnel validation");
    return ProbeOutcome::kAborted;
  }
  const ChildProcess::Poll poll =
      curl.PollReap(waits::kProbeWaitMs, waits::kChildPollMs);
  if (poll == ChildProcess::Poll::kError) {
    // An id that waitpid no longer knows is never signalled.
    (void)curl.Release();
    SetError("waitpid() failed during Linux tunnel validation");
    return ProbeOutcome::kAborted;
  }
  if (poll == ChildProcess::Poll::kRunning) {
    curl.KillAndReap();
    Log(std::string("tunnel probe timed out name=") + probe.name);
    *last_exit = -1;
    return ProbeOutcome::kFailed;
  }
  const int status = curl.status();
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    if (!PlainTrafficThroughTunnel(probe.host_name)) {
      return ProbeOutcome::kAborted;
    }
    Succeed(std::string("Linux tunnel validation succeeded via ") + probe.name,
            std::string("tunnel validation succeeded via ") + probe.name);
    return ProbeOutcome::kReached;
  }
  *last_exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  Log(std::string("tunnel probe failed name=") + probe.name +
      " exit=" + std::to_string(*last_exit));
  return ProbeOutcome::kFailed;
}

void V2RayEngineLinux::ReportNoProbeReached(int last_exit) {
  const std::string output = ReadRuntimeError();
  FailWithCoreOutput(output.empty() ? "Linux tunnel validation failed; no "
                                      "probe reached the internet through "
                                      "quon_vpn0"
                                    : "Linux tunnel validation failed",
                     output);
  Log("tunnel validation failed; last curl exit=" + std::to_string(last_exit));
}

std::string V2RayEngineLinux::LastError() const {
  if (!last_error_.empty()) {
    return last_error_;
  }
  return ReadRuntimeError();
}

std::string V2RayEngineLinux::LastResponse() const {
  return last_response_;
}

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------

std::string V2RayEngineLinux::GetExecutableDir() const {
  char buffer[4096] = {};
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) {
    return ".";
  }
  buffer[length] = '\0';
  const std::string path(buffer, static_cast<size_t>(length));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  // For an executable directly under "/" this is the empty string, so the
  // development paths become "/xray" and "/pathwarden".
  return path.substr(0, slash);
}

std::string V2RayEngineLinux::GetRuntimeConfigPath() const {
  return RuntimeFilePath(kRuntimeConfigName);
}

std::string V2RayEngineLinux::GetXrayPath() const {
  if (access(kInstalledXrayPath, X_OK) == 0) {
    return kInstalledXrayPath;
  }
  return GetExecutableDir() + "/xray";
}

std::string V2RayEngineLinux::GetWatcherPath() const {
  // The runner's own part: the one beside it belongs to its version.
  std::string beside = GetExecutableDir() + "/quon_vpn_watch";
  if (access(beside.c_str(), X_OK) == 0) {
    return beside;
  }
  return kInstalledWatcherPath;
}

std::string V2RayEngineLinux::GetHelperPath() const {
  // The installed helper always wins over a development copy.
  if (access(kInstalledHelperPath, X_OK) == 0) {
    return kInstalledHelperPath;
  }
  return GetExecutableDir() + "/pathwarden";
}

// ---------------------------------------------------------------------------
// Runtime configuration
// ---------------------------------------------------------------------------

bool V2RayEngineLinux::WriteRuntimeConfig(const std::string& config) {
  const std::string path = GetRuntimeConfigPath();
  if (path.empty()) {
    // Never a shared place instead: the configuration names the server and
    // its credentials.
    SetError("Linux runtime config cannot be written: " + RuntimeDirProblem());
    return false;
  }
  FileFailure failure;
  if (!ReplacePrivateFile(path, config, &failure)) {
    SetError(std::string(failure.step) + " Linux runtime config '" + path +
             "': " + ErrorText(failure.error));
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Route helper and TUN wait
// ---------------------------------------------------------------------------

bool V2RayEngineLinux::WaitForTun(const std::string& iface,
                                  int attempts,
                                  int delay_ms) {
  if (attempts <= 0) {
    return false;
  }
  // Through the shell, the one command the runner runs that way. The C
  // library's system() starts the shell with posix_spawn too, so this does
  // not copy the runner's address space either.
  const std::string command = "ip link show " + iface + " >/dev/null 2>&1";
  const int cadence_ms = std::max(delay_ms, 1);
  return WaitFor(std::chrono::milliseconds(attempts * cadence_ms),
                 std::chrono::milliseconds(cadence_ms),
                 [&command] { return system(command.c_str()) == 0; });
}

bool V2RayEngineLinux::RunRouteHelper(const std::string& action,
                                      const std::string& server_host,
                                      int timeout_seconds) {
  return RunHelper({action, server_host, timeout_seconds * 1000});
}

std::vector<std::string> V2RayEngineLinux::HelperArguments(
    const std::string& helper_path,
    const std::string& action,
    const std::string& host) const {
  std::vector<std::string> argv = {helper_path, action, host};
  if (!session_.empty()) {
    argv.push_back(session_);
  }
  return argv;
}

bool V2RayEngineLinux::RunHelper(const HelperCall& call) {
  last_helper_status_ = -1;
  const std::string helper_path = GetHelperPath();
  if (access(helper_path.c_str(), X_OK) != 0) {
    return HelperFailed(call, kHelperNotInstalled);
  }
  if (call.host.empty()) {
    return HelperFailed(call, "server host is empty for route helper");
  }
  const bool silent = call.failure == HelperCall::Failure::kSilent;
  if (!silent) {
    Log("route helper action=" + call.action + " server=" + call.host +
        " helper=" + helper_path);
  }
  if (call.fresh_core_output) {
    ClearRuntimeErrorLog();
  }
  const UniqueFd output =
      call.keep_output ? OpenChildOutput(kHelperOutputLogName) : OpenDevNull();
  SpawnRequest request;
  request.program = helper_path;
  request.argv = HelperArguments(helper_path, call.action, call.host);
  request.output_fd = output.get();
  ChildProcess child;
  if (!child.Spawn(request)) {
    return HelperFailed(call, "fork() failed for route helper");
  }
  if (!HelperEndedInTime(&child, call.limit_ms)) {
    return HelperFailed(call, "route helper timed out");
  }
  const int status = child.status();
  if (!WIFEXITED(status)) {
    return HelperFailed(call, "route helper terminated abnormally");
  }
  last_helper_status_ = WEXITSTATUS(status);
  if (last_helper_status_ != kPathwardenOk) {
    // Every status reaches the user as words: a helper left running past
    // its limit still holding the routing lock (15), a tunnel of another
    // user or another runner (19, 22), and all the rest.
    return HelperFailed(call, HelperFailureMessage(last_helper_status_));
  }
  if (!silent) {
    Log("route helper finished successfully");
  }
  return true;
}

bool V2RayEngineLinux::HelperFailed(const HelperCall& call,
                                    const std::string& message) {
  if (call.failure == HelperCall::Failure::kSilent) {
    return false;  // for a later step to find out
  }
  if (call.failure == HelperCall::Failure::kRefusalLogged &&
      IsRefusal(last_helper_status_)) {
    // Nothing is recorded: a refusal changed nothing, the tunnel is not this
    // runner's to touch.
    Log("route helper left it: " + HelperStatusText(last_helper_status_));
    return false;
  }
  SetError(message);
  return false;
}

void V2RayEngineLinux::ClearRuntimeErrorLog() {
  // Whatever Xray prints from now on belongs to this run. A file planted by
  // someone else is left alone, as one that cannot be opened is.
  const std::string path = RuntimeFilePath(kRuntimeErrorLogName);
  const int fd = OpenPrivateFile(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                 kPrivateFileMode, geteuid());
  if (fd >= 0) {
    (void)close(fd);
  }
}

bool V2RayEngineLinux::HelperEndedInTime(ChildProcess* child, int limit_ms) {
  ChildProcess::Poll poll = ChildProcess::Poll::kRunning;
  if (limit_ms > 0) {
    poll = child->PollReap(limit_ms, waits::kChildPollMs);
  }
  if (poll == ChildProcess::Poll::kEnded) {
    return true;
  }
  if (poll == ChildProcess::Poll::kRunning &&
      child->KillAndReapWithin(waits::kKillReapLimitMs) ==
          ChildProcess::Poll::kRunning) {
    GiveUpHelper(child);
  }
  // waitpid no longer knows the id (or it was handed on): never signal it.
  (void)child->Release();
  return false;
}

void V2RayEngineLinux::GiveUpHelper(ChildProcess* child) {
  const pid_t pid = child->Release();
  Log("route helper pid=" + std::to_string(pid) +
      " could not be ended; it is reaped when it exits");
  reaper_.Adopt(pid);
}

// ---------------------------------------------------------------------------
// Error state, liveness, log
// ---------------------------------------------------------------------------

void V2RayEngineLinux::SetError(const std::string& message) {
  last_error_ = message;
  last_response_.clear();
  AppendLogLine(RuntimeFilePath(kNativeLogName), kErrorLogPrefix + message);
}

void V2RayEngineLinux::FailWithCoreOutput(const std::string& what,
                                          const std::string& output) {
  SetError(output.empty() ? what : what + ": " + output);
}

void V2RayEngineLinux::Succeed(const std::string& response,
                               const std::string& log_text) {
  last_error_.clear();
  last_response_ = response;
  Log(log_text);
}

bool V2RayEngineLinux::ProcessExists(int pid) const {
  if (pid <= 0) {
    // kill() with 0 or a negative id would address whole process groups.
    return false;
  }
  // A child of ours that has ended but not been waited for still answers
  // signal 0, so a dead tunnel would pass for a running one. Ask whether it
  // has exited without reaping it (WNOWAIT): the operation that owns the
  // child still collects it. For anything not our child this fails with
  // ECHILD and the signal test decides.
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info,
             WEXITED | WNOHANG | WNOWAIT) == 0 &&
      info.si_pid == pid) {
    return false;
  }
  if (kill(pid, 0) == 0) {
    return true;
  }
  // EPERM: the process exists but belongs to someone else.
  return errno == EPERM;
}

std::string V2RayEngineLinux::ReadRuntimeError() const {
  const std::string path = RuntimeFilePath(kRuntimeErrorLogName);
  // The core appends for as long as it runs; each look at its output keeps
  // the file within bounds too.
  BoundLog(path.c_str());
  return ReadLogTail(path, kRuntimeErrorTailBytes);
}

void V2RayEngineLinux::Log(const std::string& text) {
  AppendLogLine(RuntimeFilePath(kNativeLogName), kLogPrefix + text);
}
