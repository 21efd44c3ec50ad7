// A TUN interface owned by this process: created on /dev/net/tun, never made
// persistent, so the kernel removes it when the descriptor closes (on exit,
// however the process ends).
#ifndef QUON_LAB_TUN_DEVICE_H_
#define QUON_LAB_TUN_DEVICE_H_

#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "standins/xray/lab_config.h"

namespace lab {

// Creates the interface |name| in layer-3 mode without packet information,
// opened non-blocking. Fails when an interface of that name already exists,
// so that the interface is always ours and goes with us.
bool CreateTun(const std::string& name, UniqueFd* fd, std::string* error);

// Sets the MTU, adds |addresses| and brings the interface up.
bool ConfigureLink(const std::string& name,
                   int mtu,
                   const std::vector<InterfaceAddress>& addresses,
                   std::string* error);

}  // namespace lab

#endif  // QUON_LAB_TUN_DEVICE_H_
