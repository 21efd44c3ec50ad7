// The VPN server the route helper keeps outside the tunnel, as the engine
// finds it in the core's configuration.
#ifndef RUNNER_SERVER_HOST_H_
#define RUNNER_SERVER_HOST_H_

#include <string>

// What the scan found: the host, or the step at which it stopped.
struct ServerHostScan {
  std::string host;
  // Why there is no host ("vnext not found", ...); empty when one was found.
  std::string missing;

  // The native log's account of the scan, without the engine's prefix.
  std::string LogText() const;
};

// The string value of the first "address" key after the first "vnext" of
// |config| (Xray JSON text); no host when there is none, or when that
// address is not a string. A plain text scan: the configuration is the
// core's business, the engine needs only the first server's address.
ServerHostScan FindServerHost(const std::string& config);

#endif  // RUNNER_SERVER_HOST_H_
