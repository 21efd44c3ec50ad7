// Every status of the route helper reaches the user as words.
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/pathwarden_exit_status.h"
#include "helper_status_text.h"

namespace {

TEST(HelperStatusTextTest, EveryStatusHasWordsOfItsOwn) {
  // The statuses come from the table itself, so a status added to it is
  // checked here without a word of this test changing.
  const std::vector<int> statuses = DefinedHelperStatuses();
  std::set<std::string> seen;
  std::set<int> numbers;
  for (int status : statuses) {
    SCOPED_TRACE(status);
    EXPECT_TRUE(numbers.insert(status).second) << "listed twice";
    const std::string words = HelperStatusText(status);
    EXPECT_EQ(std::string::npos, words.find("exit code"));
    EXPECT_EQ(std::string::npos, words.find("does not define"));
    EXPECT_TRUE(seen.insert(words).second) << "shared with another: " << words;
  }
  // The helper's own statuses run from 0 without a gap, the two ownership
  // refusals among them; the runner's child adds 126 and 127.
  const auto past_own = numbers.lower_bound(kPathwardenNotPermitted);
  ASSERT_NE(numbers.begin(), past_own);
  const int highest_own = *std::prev(past_own);
  EXPECT_GE(highest_own, int{kPathwardenRefreshFailed});
  for (int status = 0; status <= highest_own; ++status) {
    EXPECT_EQ(1u, numbers.count(status)) << "no words for status " << status;
  }
  EXPECT_EQ(1u, numbers.count(kPathwardenNotPermitted));
  EXPECT_EQ(1u, numbers.count(kPathwardenNotExecutable));
  // The first number past them is no status of the helper's.
  EXPECT_NE(std::string::npos,
            HelperStatusText(highest_own + 1).find("does not define"));
}

TEST(HelperStatusTextTest, MessagesTheUserSees) {
  struct Case {
    int status;
    const char* message;
  };
  const Case cases[] = {
      // The installer's instructions stand alone.
      {kPathwardenRootRequired,
       "Orvex system helper needs root privileges. Run the one-time Linux "
       "installer/setup so the route helper (/opt/quon_vpn/pathwarden, or "
       "/usr/local/libexec/quon_vpn/pathwarden where that exists) is "
       "installed with the required privilege."},
      {kPathwardenNotPermitted,
       "permission denied while executing Orvex system helper"},
      {kPathwardenNotExecutable,
       "Orvex system helper could not be executed. Run the one-time Linux "
       "setup/installer."},
      // The owner statuses in the words the contract fixes.
      {19,
       "route helper failed: the tunnel belongs to another user (status 19)"},
      {22,
       "route helper failed: the tunnel belongs to another running quon_vpn "
       "(status 22)"},
      {kPathwardenBusy,
       "route helper failed: another route helper is still running (status "
       "15)"},
      {kPathwardenRouteUnsupported,
       "route helper failed: a default route of this machine uses something "
       "the route helper cannot put back exactly, so nothing was changed "
       "(status 2)"},
      {kPathwardenStateRefused,
       "route helper failed: the route helper does not trust its record of "
       "the routing (/run/quon_vpn_route_state_linux.txt) and changed "
       "nothing; an administrator should look at it and remove it (status "
       "11)"},
      {kPathwardenDnsTimedOut,
       "route helper failed: the routes are back, but systemd-resolved did "
       "not answer in time, so DNS settings may not all be back; stop again "
       "to finish (status 18)"},
      {kPathwardenSealFailed,
       "route helper failed: the filter that keeps DNS inside the tunnel "
       "(nftables) could not be put in place, so the tunnel was not started "
       "(is the nftables package installed?), or, when stopping, could not "
       "be removed; stop again to finish (status 23)"},
      // Unknown statuses are named as such, with their number.
      {25,
       "route helper failed: the route helper ended with a status it does not "
       "define (25)"},
      {255,
       "route helper failed: the route helper ended with a status it does not "
       "define (255)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(c.message, HelperFailureMessage(c.status));
  }
  EXPECT_EQ("the tunnel belongs to another user", HelperStatusText(19));
  EXPECT_EQ("the tunnel belongs to another running quon_vpn",
            HelperStatusText(22));
}

}  // namespace
