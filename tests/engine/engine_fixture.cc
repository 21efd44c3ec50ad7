#include "engine_fixture.h"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/watcher_protocol.h"
#include "sandbox_check.h"

namespace engine_test {

namespace {

// Records its call, prints a line (for the helper output log), then does
// what the control file says for its action. Shell builtins only, and "exec
// sleep": a helper killed at any moment leaves no grandchild behind (the
// engine does not kill what the helper started, and in the sandbox such an
// orphan would become the test's child).
constexpr char kStandInHelper[] = R"SH(#!/bin/sh
d=/tmp/engine_bench
printf '%s|%s|%s|%s\n' "$#" "$1" "$2" "$3" >> "$d/helper_calls"
echo "stand-in helper $1 $2"
mode=
if [ -f "$d/helper_mode" ]; then
  while IFS='=' read -r key value; do
    [ "$key" = "$1" ] && mode=$value
  done < "$d/helper_mode"
fi
case "$mode" in
  exit:*) exit "${mode#exit:}" ;;
  sleep:*) exec sleep "${mode#sleep:}" ;;
  signal:*) kill -s "${mode#signal:}" $$ ;;
esac
# As the real helper does, so that plain traffic takes the tunnel.
if [ "$1" = start ]; then
  ip route replace default dev quon_vpn0 2>/dev/null || true
fi
exit 0
)SH";

// Records its arguments one per line, then does what the control file says
// for its n-th run. Builtins only, like the helper.
constexpr char kStandInCurl[] = R"SH(#!/bin/sh
d=/tmp/engine_bench
n=0
[ -f "$d/curl_count" ] && read -r n < "$d/curl_count"
n=$((n + 1))
echo "$n" > "$d/curl_count"
printf '%s\n' "$@" > "$d/curl_call.$n"
mode=
if [ -f "$d/curl_mode" ]; then
  while IFS='=' read -r key value; do
    [ "$key" = "$n" ] && mode=$value
  done < "$d/curl_mode"
fi
case "$mode" in
  hang) exec sleep 60 ;;
  exit:*) exit "${mode#exit:}" ;;
  kill-xray:*)
    read -r pid < "$d/xray_pid"
    kill -KILL "$pid"
    exit "${mode#kill-xray:}" ;;
esac
exit 0
)SH";

void MakeDirs(const std::string& path) {
  std::string sofar;
  std::stringstream parts(path);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty()) {
      continue;
    }
    sofar += "/" + part;
    (void)mkdir(sofar.c_str(), 0755);
  }
}

void SetControl(const std::string& file,
                const std::string& key,
                const std::string& value) {
  std::vector<std::string> kept;
  for (const std::string& line : SplitLines(ReadFile(file))) {
    if (line.rfind(key + "=", 0) != 0) {
      kept.push_back(line);
    }
  }
  if (!value.empty()) {
    kept.push_back(key + "=" + value);
  }
  std::string text;
  for (const std::string& line : kept) {
    text += line + "\n";
  }
  WriteFile(file, text);
}

// Fields of /proc/PID/stat after the command name: state, ppid.
bool ReadStat(pid_t pid, char* state, pid_t* ppid, std::string* comm) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t open = stat.find('(');
  const size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos ||
      close + 4 >= stat.size()) {
    return false;
  }
  *comm = stat.substr(open + 1, close - open - 1);
  std::istringstream rest(stat.substr(close + 2));
  long parent = 0;
  rest >> *state >> parent;
  *ppid = static_cast<pid_t>(parent);
  return true;
}

}  // namespace

void UseTmpRuntimeDir() {
  ASSERT_EQ(0u, geteuid()) << "the paths of kRuntimeDir are root's";
  ASSERT_EQ(0, unsetenv("XDG_RUNTIME_DIR"));
  ASSERT_TRUE(mkdir(kRuntimeDir, 0700) == 0 || errno == EEXIST)
      << kRuntimeDir << ": " << std::strerror(errno);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path,
               const std::string& content,
               mode_t mode) {
  const std::string tmp = path + ".new";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << content;
  }
  (void)chmod(tmp.c_str(), mode);
  (void)rename(tmp.c_str(), path.c_str());
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> NativeLog() {
  return SplitLines(ReadFile(kNativeLog));
}

namespace {

// Each recorded helper call as its fields: count, action, host, session.
std::vector<std::vector<std::string>> HelperCallFields() {
  std::vector<std::vector<std::string>> calls;
  for (const std::string& line :
       SplitLines(ReadFile(std::string(kBenchDir) + "/helper_calls"))) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '|')) {
      fields.push_back(field);
    }
    fields.resize(4);
    calls.push_back(fields);
  }
  return calls;
}

bool IsSessionToken(const std::string& text) {
  return text.size() == 32 &&
         text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::vector<std::string> HelperCalls() {
  std::vector<std::string> calls;
  for (const auto& fields : HelperCallFields()) {
    const bool with_session = fields[0] == "3" && IsSessionToken(fields[3]);
    if (fields[0] != "2" && !with_session) {
      calls.push_back("bad arguments: " + fields[0] + " " + fields[1] + " " +
                      fields[2] + " " + fields[3]);
      continue;
    }
    calls.push_back(fields[1] + " " + fields[2]);
  }
  return calls;
}

std::vector<std::string> HelperSessions() {
  std::vector<std::string> sessions;
  for (const auto& fields : HelperCallFields()) {
    sessions.push_back(fields[0] == "3" ? fields[3] : "");
  }
  return sessions;
}

std::vector<std::vector<std::string>> CurlCalls() {
  std::vector<std::vector<std::string>> calls;
  for (int n = 1;; ++n) {
    const std::string path =
        std::string(kBenchDir) + "/curl_call." + std::to_string(n);
    if (access(path.c_str(), F_OK) != 0) {
      break;
    }
    calls.push_back(SplitLines(ReadFile(path)));
  }
  return calls;
}

void SetHelperMode(const std::string& action, const std::string& mode) {
  SetControl(std::string(kBenchDir) + "/helper_mode", action, mode);
}

void SetCurlMode(int call, const std::string& mode) {
  SetControl(std::string(kBenchDir) + "/curl_mode", std::to_string(call), mode);
}

std::vector<pid_t> Children() {
  return ChildrenOf(getpid());
}

std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  const pid_t self = parent;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    return children;
  }
  while (const dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') {
      continue;
    }
    char state = 0;
    pid_t ppid = 0;
    std::string comm;
    if (ReadStat(static_cast<pid_t>(pid), &state, &ppid, &comm) &&
        ppid == self) {
      children.push_back(static_cast<pid_t>(pid));
    }
  }
  closedir(proc);
  return children;
}

namespace {

bool IsWatcher(pid_t pid) {
  return ReadFile("/proc/" + std::to_string(pid) + "/comm") ==
         std::string(watcher_protocol::kWatcherName) + "\n";
}

}  // namespace

std::vector<pid_t> ChildrenBesideWatchers() {
  std::vector<pid_t> rest;
  for (pid_t pid : Children()) {
    if (!IsWatcher(pid)) {
      rest.push_back(pid);
    }
  }
  return rest;
}

std::vector<pid_t> Watchers() {
  std::vector<pid_t> watchers;
  for (pid_t pid : Children()) {
    if (IsWatcher(pid)) {
      watchers.push_back(pid);
    }
  }
  return watchers;
}

bool NoChildrenWithin(int ms) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!Children().empty()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

pid_t XrayPid() {
  for (pid_t pid : Children()) {
    char state = 0;
    pid_t ppid = 0;
    std::string comm;
    if (ReadStat(pid, &state, &ppid, &comm) && comm == "xray" && state != 'Z') {
      return pid;
    }
  }
  return -1;
}

bool IsZombieOrGone(pid_t pid) {
  char state = 0;
  pid_t ppid = 0;
  std::string comm;
  return !ReadStat(pid, &state, &ppid, &comm) || state == 'Z';
}

std::string XrayConfig(const std::string& host, const std::string& lab_keys) {
  std::string config =
      "{\"log\": {\"loglevel\": \"warning\"},\n"
      " \"inbounds\": [{\"tag\": \"tun-in\", \"protocol\": \"tun\",\n"
      "   \"settings\": {\"name\": \"quon_vpn0\", \"MTU\": 1500}}],\n"
      " \"outbounds\": [{\"tag\": \"proxy\", \"protocol\": \"vless\",\n"
      "   \"settings\": {\"vnext\": [{\"address\": \"" +
      host +
      "\", \"port\": 7000,\n"
      "     \"users\": [{\"id\": \"0\"}]}]}}]";
  if (!lab_keys.empty()) {
    config += ",\n \"labStandIn\": {" + lab_keys + "}";
  }
  return config + "}\n";
}

bool LinkExists(const std::string& name) {
  return access(("/sys/class/net/" + name).c_str(), F_OK) == 0;
}

void EngineTest::SetUp() {
  if (!quon_test::InSandbox(true)) {
    FAIL() << "not inside tests/lib/sandbox.sh --net; refusing to write "
              "/tmp, /usr/local and /opt";
  }
  // The installed locations, private to this mount namespace.
  for (const char* dir : {"/usr/local", "/opt"}) {
    ASSERT_EQ(0, mount("tmpfs", dir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=755"))
        << dir << ": " << std::strerror(errno);
  }
  mounted_ = true;
  UseTmpRuntimeDir();
  MakeDirs("/usr/local/libexec/quon_vpn");
  MakeDirs("/opt/quon_vpn");
  MakeDirs(std::string(kBenchDir) + "/bin");
  WriteFile(kHelperPath, kStandInHelper, 0755);
  WriteFile(std::string(kBenchDir) + "/bin/curl", kStandInCurl, 0755);

  const char* bundle = std::getenv("QUON_BUNDLE_DIR");
  ASSERT_NE(bundle, nullptr) << "QUON_BUNDLE_DIR is not set";
  const std::string core = ReadFile(std::string(bundle) + "/xray");
  ASSERT_FALSE(core.empty())
      << "the stand-in core " << bundle << "/xray is not built";
  WriteFile(kXrayPath, core, 0755);
  const std::string watcher = ReadFile(std::string(bundle) + "/quon_vpn_watch");
  ASSERT_FALSE(watcher.empty())
      << "the core's watcher " << bundle << "/quon_vpn_watch is not built";
  WriteFile(kWatcherPath, watcher, 0755);

  const char* path = std::getenv("PATH");
  old_path_ = path != nullptr ? path : "/usr/bin:/bin";
  setenv("PATH", (std::string(kBenchDir) + "/bin:" + old_path_).c_str(), 1);
  ClearRecords();
}

void EngineTest::TearDown() {
  engine_.reset();
  // Whatever path the test took, nothing the engine started may be left.
  EXPECT_TRUE(NoChildrenWithin(3000))
      << "children left behind: " << Children().size();
  if (!old_path_.empty()) {
    setenv("PATH", old_path_.c_str(), 1);
  }
  if (mounted_) {
    (void)umount2("/opt", MNT_DETACH);
    (void)umount2("/usr/local", MNT_DETACH);
  }
}

V2RayEngineLinux& EngineTest::NewEngine() {
  engine_.reset();
  engine_ = std::make_unique<V2RayEngineLinux>();
  return *engine_;
}

void EngineTest::ClearRecords() {
  for (const std::string& name :
       {std::string(kNativeLog), std::string(kBenchDir) + "/helper_calls",
        std::string(kBenchDir) + "/curl_count"}) {
    (void)unlink(name.c_str());
  }
  for (int n = 1; n < 10; ++n) {
    (void)unlink(
        (std::string(kBenchDir) + "/curl_call." + std::to_string(n)).c_str());
  }
}

void EngineTest::StartOk(const std::string& lab_keys) {
  ASSERT_TRUE(engine().Start(XrayConfig("127.0.0.1", lab_keys), "allow", {}))
      << engine().LastError();
  ASSERT_TRUE(engine().IsRunning());
  ASSERT_TRUE(LinkExists("quon_vpn0"));
}

}  // namespace engine_test
