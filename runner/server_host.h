// The VPN server the route helper keeps outside the tunnel, as the engine
// finds it in the core's configuration.
#ifndef RUNNER_SERVER_HOST_H_
#define RUNNER_SERVER_HOST_H_

#include <string>

// The string value of the first "address" key after the first "vnext" of
// |config| (Xray JSON text); empty when there is none, or when that address
// is not a string. A plain text scan: the configuration is the core's
// business, the engine needs only the first server's address.
std::string FindServerHost(const std::string& config);

#endif  // RUNNER_SERVER_HOST_H_
