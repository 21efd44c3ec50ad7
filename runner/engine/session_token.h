// The token that names one tunnel of one runner to the route helper, so that
// a stop can only ever undo the tunnel it was issued for.
#ifndef RUNNER_SESSION_TOKEN_H_
#define RUNNER_SESSION_TOKEN_H_

#include <string>

// 128 random bits from the kernel as 32 lowercase hexadecimal characters;
// empty when the kernel gave none (errno says why).
std::string NewSessionToken();

#endif  // RUNNER_SESSION_TOKEN_H_
