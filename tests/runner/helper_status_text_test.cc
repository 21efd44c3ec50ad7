// Every status of the route helper reaches the user as words.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "helper_status_text.h"
#include "pathwarden_exit_status.h"

namespace {

TEST(HelperStatusTextTest, EveryStatusHasWordsOfItsOwn) {
  // All that the helper and the runner's child give, 19 and 22 included.
  const int statuses[] = {0,  1,  2,  3,  4,  5,  6,  7,   8,
                          9,  10, 11, 12, 13, 14, 15, 16,  17,
                          18, 19, 20, 21, 22, 23, 24, 126, 127};
  std::set<std::string> seen;
  for (int status : statuses) {
    SCOPED_TRACE(status);
    const std::string words = HelperStatusText(status);
    EXPECT_EQ(std::string::npos, words.find("exit code"));
    EXPECT_EQ(std::string::npos, words.find("does not define"));
    EXPECT_TRUE(seen.insert(words).second) << "shared with another: " << words;
  }
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
