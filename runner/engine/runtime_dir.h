// Where the runner keeps its per-user files: the native log, the runtime
// configuration, the core's output and the route helper's output.
#ifndef RUNNER_RUNTIME_DIR_H_
#define RUNNER_RUNTIME_DIR_H_

#include <string>

// The user's private directory for the runner's files, made on first use:
// "$XDG_RUNTIME_DIR/quon_vpn" when XDG_RUNTIME_DIR names an absolute
// directory of the user's own that nobody else may enter, else
// "/tmp/quon_vpn-<uid>". Either is used only when it is a real directory (not
// a link), owned by the user, that neither group nor others may read, write
// or enter; anything else found at the name (another user's directory, a
// link, a directory left open to others) is refused, never repaired.
// Empty when no such directory can be had; RuntimeDirProblem() says why.
std::string RuntimeDir();

// RuntimeDir() + "/" + |name|; empty when RuntimeDir() is.
std::string RuntimeFilePath(const char* name);

// Why RuntimeDir() is empty right now, as a sentence for the user (names the
// directory and the fault); empty when it is not.
std::string RuntimeDirProblem();

#endif  // RUNNER_RUNTIME_DIR_H_
