#ifndef HELPER_PATHWARDEN_INTERNAL_H_
#define HELPER_PATHWARDEN_INTERNAL_H_

// The parts of the route helper pathwarden, shared between its source files
// and its tests. Nothing here is an interface of the product: the helper's
// only interface is its command line, its exit statuses
// (pathwarden_exit_status.h) and its state file.

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <vector>

#include "common/pathwarden_exit_status.h"
#include "common/route_state_record.h"
#include "common/tunnel_interface.h"
#include "common/unique_fd.h"

namespace pathwarden {

// The routing table and policy rules of the tunnel, the helper's own: it
// never changes the main table, which belongs to the network manager. The
// numbers never change (a record names only its version, and stop removes
// exactly these), and stay clear of the tables and priorities other tools
// use (wg-quick's 51820, sing-box's 2022 and 9000, Tailscale's 52 and 5200s,
// NetworkManager's per-connection tables).
inline constexpr char kTunnelTable[] = "52410";
// Traffic to the VPN server: the main table, whatever the network manager
// has put there by now ...
inline constexpr unsigned long kRuleServer = 10400;
// ... and nowhere else when main has no route for it, so that the server is
// never routed into the tunnel itself.
inline constexpr unsigned long kRuleServerUnreachable = 10401;
// Everything else: the main table for the private-use, link-local and
// multicast ranges alone (the LAN keeps working) ...
inline constexpr unsigned long kRuleLocalRanges = 10402;
// ... then the tunnel's table: its default, or "unreachable" once the
// tunnel has gone, so that nothing leaks through main's defaults.
inline constexpr unsigned long kRuleTable = 10403;
// The ranges that may use the main table while the tunnel is up, one rule
// each at kRuleLocalRanges. Whatever else main holds is the network's word
// (option 121 routes, route information options, a public range handed out
// as the LAN) and is not taken: those addresses go into the tunnel.
inline constexpr const char* kLocalRanges4[] = {
    "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16",
    "224.0.0.0/4"};
inline constexpr const char* kLocalRanges6[] = {"fe80::/10", "fc00::/7",
                                                "ff00::/8"};
// The packet filter of our own that keeps unicast DNS (53, and 853 for DNS
// over TLS) from leaving by any link but the tunnel and loopback.
inline constexpr char kSealTable[] = "quon_vpn";
// The fall-back default of the tunnel's table, below the tunnel's own.
inline constexpr char kFallbackMetric[] = "4096";
// Held for the whole run, so that two helpers never change routes at once.
inline constexpr char kLockPath[] = "/run/quon_vpn_pathwarden.lock";
// How often a second helper looks for the lock again. How long it waits
// (kPathwardenLockWaitMs) is below the runner's shortest limit (3 s for the
// clean-up before a start): a waiting helper either gets the lock while its
// runner still waits for it, or gives up on its own, so one the runner has
// abandoned never acts later, out of turn.
inline constexpr int kLockPollMs = 20;
// Start's own time limit (kPathwardenStartDeadlineMs), counted from the
// helper's entry. The runner gives start 15 s and then abandons it (it cannot
// kill a set-user-id child) and runs stop at once; a start still changing
// routes after that would take the defaults onto a tunnel whose core is gone.
// So every command of start ends by that deadline, and a start that passes it
// puts back what it changed within kPathwardenUndoLimitMs more: 12.9 s at
// most, below the runner's 15 s.
// Stop has no deadline of its own (giving routes back is never cut short),
// but no single command of it may hold the lock longer than this, and once
// resolvectl has not answered within it, resolved is not asked again in the
// same run: a hung daemon costs stop 2 s, not 2 s per command.
inline constexpr long kStopCommandLimitMs = 2000;
// The TUN device is looked for every 250 ms until start's deadline.
inline constexpr useconds_t kTunWaitPauseUs = 250000;
// Both the writer and the reader hold the state file (kRouteStatePath) to
// kRouteStateMaxBytes, so that nothing start saves is ever refused by stop.
// A route line with more words than this is not one a desktop has.
inline constexpr size_t kMaxRouteWords = 256;

// Children get this environment and nothing else. The PATH is the one sudo
// uses for root; a directory that is not a root-owned directory closed to
// group and others is left out when the environment is built.
inline constexpr const char* kSafePathDirs[] = {
    "/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
    "/usr/bin",        "/sbin",          "/bin"};

// Signals that could end the helper half-way through a route change: from
// the terminal, a closed output pipe, a hang-up, a polite request, and the
// caller's interval timers. Ignored for the whole run; every child starts
// with them at their default again.
inline constexpr int kShieldedSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT,
                                           SIGPIPE, SIGTSTP,   SIGTTOU, SIGTTIN,
                                           SIGALRM, SIGVTALRM, SIGPROF};

// The legacy summary of one family's default route: the eight lines an older
// helper reads, and what the runner reads to find the server after a crash.
struct DefaultRoute {
  bool valid = false;
  std::string iface;
  std::string gateway;
};

// One next hop of a default route, every field already validated.
struct NextHop {
  int via_family = 0;  // AF_INET or AF_INET6 when |via| is set
  std::string via;
  std::string dev;
  std::string weight;
  bool onlink = false;
};

// One default route as ip printed it, reduced to words that are known and
// checked, so that it can be put back with the same ip command line, word
// for word.
struct RouteEntry {
  std::string type;  // empty for unicast
  std::string nhid;
  bool multipath = false;
  std::vector<NextHop> hops;
  std::vector<std::string> attrs;  // key value pairs: proto, metric, src, ...
  unsigned long metric = 0;
};

// A link whose resolved default-route flag start switched off, and the value
// it had before.
struct DnsLink {
  std::string iface;
  std::string flag;  // "yes" or "no"
};

// Who started a tunnel: the caller's real user, the process that ran the
// helper (the runner) with its start time, so that a reused pid is not taken
// for it, and the runner's session token (empty when it gave none).
struct TunnelOwner {
  bool known = false;  // false in a record of an older helper
  unsigned long uid = 0;
  long pid = 0;
  std::string start_time;
  std::string session;
};

// The version line of the record this helper writes. 2: an older helper
// that replaced the main table's defaults (its "ipv4_route=" lines are what
// it took away); none: the first helper, eight lines only.
inline constexpr int kStateVersion = 3;

struct SavedRouteState {
  int version = 0;
  TunnelOwner owner;
  DefaultRoute ipv4;
  DefaultRoute ipv6;
  // What stop puts back, in order. Read from the route lines, or made from
  // the legacy lines of a file an older helper wrote.
  std::vector<RouteEntry> routes4;
  std::vector<RouteEntry> routes6;
  std::vector<DnsLink> dns;
  std::vector<std::string> server_ipv4;
  std::vector<std::string> server_ipv6;
  // Route lines that did not pass the checks when read back.
  int dropped = 0;
};

enum class LoadResult { kFound, kMissing, kRefused };

// A point on the monotonic clock by which something must be done, or none.
class Deadline {
 public:
  // No limit.
  Deadline() = default;
  static Deadline in(long ms);
  bool bounded() const { return end_ms_ >= 0; }
  // Milliseconds left, never below 0; -1 when there is no limit.
  long remainingMs() const;
  bool passed() const { return bounded() && remainingMs() == 0; }
  // The earlier of this deadline and |ms| from now (|ms| < 0: no limit).
  Deadline capped(long ms) const;

 private:
  long long end_ms_ = -1;
};

// The status runArgv reports for a command that was killed, or never
// started, because its time was up.
inline constexpr int kCommandTimedOut = -2;

// text.cc: output lines and text helpers.
void errLine(const std::string& line);
void outLine(const std::string& line);
bool isBlank(char c);
std::string trim(const std::string& text);
std::string joinCsv(const std::vector<std::string>& items);
std::vector<std::string> splitCsv(const std::string& text);
std::vector<std::string> splitColon(const std::string& text);
std::vector<std::string> splitWords(const std::string& text);
// The lines of a command's output, without their newlines, untrimmed (an
// indented line continues a route); no empty line for a final newline.
std::vector<std::string> splitLines(const std::string& text);
std::string joinWords(const std::vector<std::string>& words);
bool startsWith(const std::string& text, const std::string& prefix);
// bytes must hold an in6_addr; text with an embedded NUL is never an address.
bool parseAddressOf(int family, const std::string& text, unsigned char* bytes);
bool isAddressOf(int family, const std::string& text);
bool isSafeIfaceName(const std::string& name);
bool isNumber(const std::string& text, size_t max_digits);
bool isPlainName(const std::string& text);
const char* familyName(int family);
const char* familyFlag(int family);
void rejectUnsafeRoute(int family, const char* origin, DefaultRoute* route);

// routes.cc: default routes as ip prints them and takes them back.
bool parseRouteEntry(int family,
                     const std::string& text,
                     RouteEntry* route,
                     std::string* why);
std::vector<std::string> routePath(int family, const RouteEntry& route);
std::vector<std::string> routeWords(int family, const RouteEntry& route);
std::string formatRoute(int family, const RouteEntry& route);
bool isTunnelRoute(const RouteEntry& route);
bool isUplink(const RouteEntry& route);
bool parseDefaultRoutes(int family,
                        const std::string& output,
                        std::vector<RouteEntry>* routes,
                        std::string* bad);
const RouteEntry* serverUplink(const std::vector<RouteEntry>& routes);
DefaultRoute legacyRoute(int family, const std::vector<RouteEntry>& routes);

// dns_seal.cc: DNS while the tunnel is up.
// Whether nft is found through PATH.
bool haveNft();
// Puts the filter in place (replacing one that is there) in one nft
// transaction; false, reported, when nft is missing or refuses it.
bool installSeal();
// Removes the filter, whether it is there or not; false, reported, when nft
// runs and fails. Without nft there is nothing this helper could have put in
// place.
bool removeSeal();
// Parses "resolvectl domain" output ("Link 2 (eth0): corp.test ~home.arpa"):
// the domains, without "~", of every link but the tunnel, each once, in the
// order found; words that are not plainly a domain name, and the root
// domain, are left out. |tunnel| gets the tunnel's own words as listed.
std::vector<std::string> otherLinksDomains(const std::string& output,
                                           std::vector<std::string>* tunnel);
bool isDomainName(const std::string& text);
// The words the tunnel's domain list should hold: "~." and "~" before each
// of |domains|.
std::vector<std::string> tunnelDomainWords(
    const std::vector<std::string>& domains);

// commands.cc: running commands, reading routes, resolving the server.
// Every command (and every name lookup) from now on ends by |deadline|, and
// takes at most |per_command_ms| (< 0: no limit of its own). Also clears what
// commandsRanOutOfTime reports.
void limitCommands(const Deadline& deadline, long per_command_ms);
// Whether a command or lookup was cut short for lack of time since the last
// limitCommands.
bool commandsRanOutOfTime();
long long monotonicMs();
// Commands are argument vectors from end to end; the forms that take a line
// of checked words separated by blanks split it into one.
std::string runArgv(const std::vector<std::string>& args, int* status);
std::string runCommand(const std::string& command, int* status);
// Runs |args| and reports a failure or a time-out on standard error.
// Returns the status as runArgv gives it.
int runReported(const std::vector<std::string>& args);
int runReported(const std::string& command);
// True when |args| succeeded, or when it is not |required| (a failure is
// reported all the same).
bool runOk(const std::vector<std::string>& args, bool required);
bool runOk(const std::string& command, bool required);
bool haveResolvectl();
// Whether |name| is found through PATH.
bool haveProgram(const char* name);
// False, without a word, when ip ran out of time; false with the route
// reported when one cannot be put back exactly.
bool detectDefaultRoutes(int family, std::vector<RouteEntry>* routes);
enum class ResolveResult { kResolved, kFailed, kTimedOut };
ResolveResult resolveServerHost(const std::string& server,
                                std::vector<std::string>& ipv4,
                                std::vector<std::string>& ipv6);

// state_file.cc: the route state file.
std::string formatRouteState(const SavedRouteState& state);
SavedRouteState parseRouteState(const std::string& text);
bool saveRouteState(const SavedRouteState& state, const std::string& path);
LoadResult loadRouteState(const std::string& path, SavedRouteState* state);

// tunnel_routing.cc: the tunnel's own table and rules.
// How many rules of each of the tunnel's priorities the family has now.
struct OwnRules {
  bool listed = false;  // false: ip rule failed (no IPv6 in this kernel)
  size_t server = 0;    // at kRuleServer
  size_t server_unreachable = 0;  // at kRuleServerUnreachable
  size_t local_ranges = 0;        // at kRuleLocalRanges
  size_t table = 0;               // at kRuleTable
  bool any() const;
  // The count of the rules at |priority|; nullptr when it is none of ours.
  size_t* at(unsigned long priority);
};
OwnRules listOwnRules(int family);
// "ip -4 rule <verb> pref <priority> <selector>".
std::vector<std::string> ruleCommand(int family,
                                     const char* verb,
                                     unsigned long priority,
                                     const std::vector<std::string>& selector);
// "ip -4 route <verb> <route> table <the tunnel's>".
std::vector<std::string> tunnelTableCommand(
    int family,
    const char* verb,
    const std::vector<std::string>& route);
// Deletes every rule of the family at one of the tunnel's priorities, the most
// general first, then the tunnel's table.
void removeOwnRouting(int family, const OwnRules& rules);
// Deletes |count| rules at |priority|, ignoring failures.
void deleteRules(int family, unsigned long priority, size_t count);

// legacy_record.cc: a record of an older helper, which took the main
// table's defaults over. Puts back what can still go back without touching
// a route the network manager has made since; returns 0, or 12 / 13 when ip
// refused a route that could go back.
int restoreLegacyRecord(const std::string& server,
                        const SavedRouteState& state);

// owner.cc: who may change a recorded tunnel.
bool isSessionToken(const std::string& text);
// Field 22 of /proc/PID/stat (the start time in clock ticks since boot), or
// empty when the process is gone or the file cannot be read.
std::string processStartTime(long pid);
// The caller as it reaches the helper: its real uid, its parent process and
// the session token it gave. Taken at entry, before anything can change.
TunnelOwner currentCaller(const std::string& session);
// Whether |caller| may change the tunnel recorded with |owner|. Returns 0,
// or kPathwardenNotOwner / kPathwardenOtherSession with the refusal written.
int checkOwner(const TunnelOwner& owner, const TunnelOwner& caller);

// process.cc: process hygiene of a set-user-id program, and the lock.
std::string safePath();
bool ensureStandardDescriptors();
void raiseLimit(int resource, rlim_t wanted);
// The stack the helper and its commands get whatever the caller set: 8 MiB,
// the usual default.
inline constexpr rlim_t kStackLimit = rlim_t{8} * 1024 * 1024;
void clearIntervalTimers();
int sanitizeProcess();
void shieldSignals();

// Holds an exclusive flock on the lock file until destroyed. The lock goes
// with the descriptor, which no child inherits.
class HelperLock {
 public:
  HelperLock() = default;
  ~HelperLock();
  HelperLock(const HelperLock&) = delete;
  HelperLock& operator=(const HelperLock&) = delete;

  // Returns 0, or the exit status when the lock cannot be had within
  // |wait_ms| milliseconds.
  int acquire(const char* path, int wait_ms);

 private:
  int fd_ = -1;
};

}  // namespace pathwarden

#endif  // HELPER_PATHWARDEN_INTERNAL_H_
