// DNS while the tunnel is up: a packet filter that no unicast DNS query gets
// past except into the tunnel or to loopback, and the tunnel's copy of the
// other links' DNS domains.
//
// systemd-resolved sends a name to the link with the longest matching
// domain, so a network that pushes a search domain (even a public suffix
// such as "com") would pull every name under it to its own server, in clear,
// whatever "~." the tunnel has; and a link-local server from a router
// advertisement is reached through a socket bound to the home link, which
// no policy rule catches. The filter is what holds at every moment, also in
// the milliseconds after a network manager re-pushes a link's settings. The
// copy is what keeps names under a pushed domain resolving: resolved asks
// every link whose match is equally long and takes the first answer; the
// home link's query is rejected at once by the filter, the tunnel answers.

#include <cctype>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "pathwarden_internal.h"

namespace pathwarden {

namespace {

// One nft transaction: the table is made (so that the delete never fails),
// dropped with whatever it held, and made again with its one chain. Either
// all of it is in place or none. The filter rejects rather than drops, so
// that a resolver asking the home network fails at once instead of waiting
// out its time-outs, and the tunnel's answer wins without delay.
std::vector<std::string> sealCommand() {
  const std::string table[] = {"inet", kSealTable};
  std::vector<std::string> command = {"nft"};
  const auto words = [&command](std::initializer_list<std::string> more) {
    command.insert(command.end(), more);
  };
  const auto on_table = [&](const char* verb, const char* what) {
    words({verb, what, table[0], table[1]});
  };
  on_table("add", "table");
  words({";"});
  on_table("delete", "table");
  words({";"});
  on_table("add", "table");
  words({";"});
  on_table("add", "chain");
  words({"output", "{", "type", "filter", "hook", "output", "priority", "0",
         ";", "policy", "accept", ";", "}"});
  for (const std::initializer_list<std::string>& rule :
       {std::initializer_list<std::string>{"oifname", "lo", "accept"},
        {"oifname", kTunName, "accept"},
        {"udp", "dport", "53", "reject"},
        {"tcp", "dport", "{", "53,", "853", "}", "reject", "with", "tcp",
         "reset"}}) {
    words({";"});
    on_table("add", "rule");
    words({"output"});
    words(rule);
  }
  return command;
}

}  // namespace

bool haveNft() {
  static const bool found = haveProgram("nft");
  return found;
}

bool installSeal() {
  if (!haveNft()) {
    errLine(
        "[helper] nft not found: DNS cannot be kept inside the tunnel "
        "(install nftables)");
    return false;
  }
  return runOk(sealCommand(), true);
}

bool removeSeal() {
  if (!haveNft()) {
    return true;
  }
  return runOk({"nft", "add", "table", "inet", kSealTable, ";", "delete",
                "table", "inet", kSealTable},
               true);
}

bool isDomainName(const std::string& text) {
  if (text.empty() || text.size() > 253 || text.front() == '.' ||
      text.front() == '-') {
    return false;
  }
  size_t label = 0;
  for (char c : text) {
    if (c == '.') {
      if (label == 0) {
        return false;
      }
      label = 0;
      continue;
    }
    if (!(std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' ||
          c == '_') ||
        ++label > 63) {
      return false;
    }
  }
  return true;
}

std::vector<std::string> otherLinksDomains(const std::string& output,
                                           std::vector<std::string>* tunnel) {
  std::vector<std::string> domains;
  std::set<std::string> seen;
  for (const std::string& raw : splitLines(output)) {
    const std::string line = trim(raw);
    const size_t open = line.find(" (");
    const size_t close = line.find("):");
    if (!startsWith(line, "Link ") || open == std::string::npos ||
        close == std::string::npos || close < open) {
      continue;
    }
    const std::string name = line.substr(open + 2, close - open - 2);
    const std::vector<std::string> words = splitWords(line.substr(close + 2));
    if (name == kTunName) {
      *tunnel = words;
      continue;
    }
    for (std::string word : words) {
      if (!word.empty() && word.front() == '~') {
        word.erase(0, 1);
      }
      while (word.size() > 1 && word.back() == '.') {
        word.pop_back();
      }
      for (char& c : word) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      if (isDomainName(word) && seen.insert(word).second) {
        domains.push_back(word);
      }
    }
  }
  return domains;
}

std::vector<std::string> tunnelDomainWords(
    const std::vector<std::string>& domains) {
  std::vector<std::string> words = {"~."};
  for (const std::string& domain : domains) {
    words.push_back("~" + domain);
  }
  return words;
}

}  // namespace pathwarden
