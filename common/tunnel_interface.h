// The name of the TUN interface that the core creates, which the runner waits
// for and the route helper sends traffic and DNS into.
#ifndef COMMON_TUNNEL_INTERFACE_H_
#define COMMON_TUNNEL_INTERFACE_H_

inline constexpr char kTunName[] = "quon_vpn0";

#endif  // COMMON_TUNNEL_INTERFACE_H_
