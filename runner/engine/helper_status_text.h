// What each exit status of the route helper means, in words for the user.
#ifndef RUNNER_HELPER_STATUS_TEXT_H_
#define RUNNER_HELPER_STATUS_TEXT_H_

#include <string>
#include <vector>

// The words for helper exit status |status| (see pathwarden_exit_status.h),
// for every status the helper or the runner's child can give; a status no
// version of the helper gives is named as unknown, with its number.
std::string HelperStatusText(int status);

// The one message the user sees when the helper ended with |status| (not
// 0): the installer's instructions where the fix is to install the helper
// properly, else "route helper failed: " with the words and, for whoever
// matches on it, the number.
std::string HelperFailureMessage(int status);

// Every status that has words of its own, in the order they are listed.
std::vector<int> DefinedHelperStatuses();

#endif  // RUNNER_HELPER_STATUS_TEXT_H_
