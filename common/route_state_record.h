// The route helper's record of the tunnel it set up, as the runner reads it:
// where it is and the one thing the runner needs from it, the server. The
// helper writes it as root and reads all of it itself.
#ifndef COMMON_ROUTE_STATE_RECORD_H_
#define COMMON_ROUTE_STATE_RECORD_H_

#include <cstddef>
#include <string>

inline constexpr char kRouteStatePath[] = "/run/quon_vpn_route_state_linux.txt";
// The helper writes no record larger than this, and refuses to read one.
inline constexpr size_t kRouteStateMaxBytes = size_t{64} * 1024;

// The first server address of the record |text|: the first value of its
// "server_ipv4=" line, else of its "server_ipv6=" line (values are separated
// by commas); empty when it names none.
std::string RecordedServer(const std::string& text);

// Reads the record at |path| (at most kRouteStateMaxBytes of it) when it is
// a regular file owned by root; a link is never followed. 0 with |*text|
// set, or the error number (ENOENT when there is none).
int ReadRouteStateRecord(const char* path, std::string* text);

#endif  // COMMON_ROUTE_STATE_RECORD_H_
