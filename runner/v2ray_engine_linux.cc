#include "v2ray_engine_linux.h"

#include <errno.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>

namespace {

// Fixed paths. The runner reads no configuration: everything it touches is
// named here.
constexpr char kNativeLogPath[] = "/tmp/quon_vpn_runner_native_linux.log";
constexpr char kRuntimeConfigPath[] = "/tmp/quon_vpn_xray_config_runtime.json";
constexpr char kRuntimeErrorLogPath[] = "/tmp/quon_vpn_xray_runtime_error.log";
constexpr char kInstalledXrayPath[] = "/opt/quon_vpn/xray";
constexpr char kInstalledHelperPath[] =
    "/usr/local/libexec/quon_vpn/pathwarden";

constexpr char kLogPrefix[] = "[LINUX V2RAY] ";
constexpr char kErrorLogPrefix[] = "[LINUX V2RAY] ERROR ";

// Only the tail of Xray's output is shown to the user: its last lines say
// why it failed, and the whole log could be large.
constexpr long kRuntimeErrorTailBytes = 8192;

// Operations that this build does not carry yet. They fail loudly rather
// than pretend to have done something.
constexpr char kStartUnavailable[] =
    "Linux VPN start is not available in this build";
constexpr char kStopUnavailable[] =
    "Linux VPN stop is not available in this build";
constexpr char kCheckUnavailable[] =
    "Linux tunnel validation is not available in this build";
constexpr char kRuntimeConfigUnavailable[] =
    "Linux runtime configuration is not available in this build";
constexpr char kRouteHelperUnavailable[] =
    "Linux route helper invocation is not available in this build";

}  // namespace

V2RayEngineLinux::V2RayEngineLinux() = default;

// A destructor is noexcept: should Stop() throw, the process terminates
// instead of leaving a tunnel half torn down behind a vanished object.
V2RayEngineLinux::~V2RayEngineLinux() {
  (void)Stop();
}

// ---------------------------------------------------------------------------
// Channel operations
// ---------------------------------------------------------------------------

bool V2RayEngineLinux::Start(const std::string& config,
                             const std::string& apps_filter_mode,
                             const std::vector<std::string>& selected_apps) {
  // The Linux engine routes the whole system: no per-application rule.
  (void)config;
  (void)apps_filter_mode;
  (void)selected_apps;
  Log(std::string(kLogPrefix) + "Start() called");
  SetError(kStartUnavailable);
  return false;
}

bool V2RayEngineLinux::Stop() {
  Log(std::string(kLogPrefix) + "Stop() called");
  // With no server host and no child there is nothing to undo: that answer
  // is true whatever else the build lacks.
  if (server_host_.empty() && pid_ <= 0) {
    tunnel_active_ = false;
    last_error_.clear();
    last_response_ = "xray already stopped";
    Log(std::string(kLogPrefix) + "xray already stopped");
    return true;
  }
  SetError(kStopUnavailable);
  return false;
}

bool V2RayEngineLinux::IsRunning() const {
  return ProcessExists(pid_);
}

bool V2RayEngineLinux::CheckTunnel() {
  Log(std::string(kLogPrefix) + "CheckTunnel() called");
  if (!ProcessExists(pid_)) {
    SetError("Linux Xray process is not running");
    return false;
  }
  SetError(kCheckUnavailable);
  return false;
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
  return kRuntimeConfigPath;
}

std::string V2RayEngineLinux::GetXrayPath() const {
  if (access(kInstalledXrayPath, X_OK) == 0) {
    return kInstalledXrayPath;
  }
  return GetExecutableDir() + "/xray";
}

std::string V2RayEngineLinux::GetHelperPath() const {
  // The installed helper always wins over a development copy.
  if (access(kInstalledHelperPath, X_OK) == 0) {
    return kInstalledHelperPath;
  }
  return GetExecutableDir() + "/pathwarden";
}

// ---------------------------------------------------------------------------
// Runtime configuration and server host
// ---------------------------------------------------------------------------

bool V2RayEngineLinux::WriteRuntimeConfig(const std::string& config) {
  (void)config;
  SetError(kRuntimeConfigUnavailable);
  return false;
}

std::string V2RayEngineLinux::ExtractServerHost(
    const std::string& config) const {
  (void)config;
  return std::string();
}

// ---------------------------------------------------------------------------
// Route helper and TUN wait
// ---------------------------------------------------------------------------

bool V2RayEngineLinux::WaitForTun(const std::string& iface,
                                  int attempts,
                                  int delay_ms) {
  (void)iface;
  (void)attempts;
  (void)delay_ms;
  return false;
}

bool V2RayEngineLinux::RunRouteHelper(const std::string& action,
                                      const std::string& server_host,
                                      int timeout_seconds) {
  (void)action;
  (void)server_host;
  (void)timeout_seconds;
  SetError(kRouteHelperUnavailable);
  return false;
}

// ---------------------------------------------------------------------------
// Error state, liveness, log
// ---------------------------------------------------------------------------

void V2RayEngineLinux::SetError(const std::string& message) {
  last_error_ = message;
  last_response_.clear();
  Log(kErrorLogPrefix + message);
}

bool V2RayEngineLinux::ProcessExists(int pid) const {
  if (pid <= 0) {
    // kill() with 0 or a negative id would address whole process groups.
    return false;
  }
  if (kill(pid, 0) == 0) {
    return true;
  }
  // EPERM: the process exists but belongs to someone else.
  return errno == EPERM;
}

std::string V2RayEngineLinux::ReadRuntimeError() const {
  FILE* file = std::fopen(kRuntimeErrorLogPath, "rbe");
  if (file == nullptr) {
    return std::string();
  }
  std::string tail;
  if (std::fseek(file, 0, SEEK_END) == 0) {
    const long size = std::ftell(file);
    const long from =
        size > kRuntimeErrorTailBytes ? size - kRuntimeErrorTailBytes : 0;
    if (size >= 0 && std::fseek(file, from, SEEK_SET) == 0) {
      char chunk[4096];
      size_t got = 0;
      while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
        tail.append(chunk, got);
      }
    }
  }
  (void)std::fclose(file);
  return tail;
}

void V2RayEngineLinux::Log(const std::string& line) {
  // One open, write and close per line: nothing is lost in a buffer when
  // the runner dies, and the file can be removed while the runner runs.
  FILE* file = std::fopen(kNativeLogPath, "ae");
  if (file == nullptr) {
    return;
  }
  (void)std::fprintf(file, "%s\n", line.c_str());
  (void)std::fclose(file);
}
