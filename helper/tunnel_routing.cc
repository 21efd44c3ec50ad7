// The tunnel's own routing table and policy rules: how they are found and
// how they go. Start adds them (pathwarden.cc); stop removes exactly these,
// by their priorities and table number, whatever the network manager did to
// its own routes meanwhile.

#include <sys/socket.h>

#include <string>
#include <vector>

#include "pathwarden_internal.h"

namespace pathwarden {

bool OwnRules::any() const {
  return server + server_unreachable + local_ranges + table > 0;
}

size_t* OwnRules::at(unsigned long priority) {
  switch (priority) {
    case kRuleServer:
      return &server;
    case kRuleServerUnreachable:
      return &server_unreachable;
    case kRuleLocalRanges:
      return &local_ranges;
    case kRuleTable:
      return &table;
    default:
      return nullptr;
  }
}

// "ip rule show" prints one rule a line, its priority first: "10400:\tfrom
// all to 192.0.2.10 lookup main".
OwnRules listOwnRules(int family) {
  OwnRules rules;
  int status = -1;
  const std::string output =
      runArgv({"ip", familyFlag(family), "rule", "show"}, &status);
  if (status != 0) {
    return rules;
  }
  rules.listed = true;
  for (const std::string& raw : splitLines(output)) {
    const std::string line = trim(raw);
    const size_t colon = line.find(':');
    if (colon == std::string::npos || !isNumber(line.substr(0, colon), 10)) {
      continue;
    }
    size_t* count = rules.at(std::stoul(line.substr(0, colon)));
    if (count != nullptr) {
      ++*count;
    }
  }
  return rules;
}

std::vector<std::string> ruleCommand(int family,
                                     const char* verb,
                                     unsigned long priority,
                                     const std::vector<std::string>& selector) {
  std::vector<std::string> command = {
      "ip", familyFlag(family), "rule", verb, "pref", std::to_string(priority)};
  command.insert(command.end(), selector.begin(), selector.end());
  return command;
}

std::vector<std::string> tunnelTableCommand(
    int family,
    const char* verb,
    const std::vector<std::string>& route) {
  std::vector<std::string> command = {"ip", familyFlag(family), "route", verb};
  command.insert(command.end(), route.begin(), route.end());
  command.insert(command.end(), {"table", kTunnelTable});
  return command;
}

void deleteRules(int family, unsigned long priority, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    (void)runArgv(ruleCommand(family, "del", priority, {}), nullptr);
  }
}

void removeOwnRouting(int family, const OwnRules& rules) {
  // The tunnel's table goes first, so that main's defaults take over at
  // once; the server's rules last, so that it keeps its way out until then.
  deleteRules(family, kRuleTable, rules.table);
  deleteRules(family, kRuleLocalRanges, rules.local_ranges);
  deleteRules(family, kRuleServerUnreachable, rules.server_unreachable);
  deleteRules(family, kRuleServer, rules.server);
  // Fails when the table is empty already (ip: "FIB table does not exist").
  (void)runArgv(
      {"ip", familyFlag(family), "route", "flush", "table", kTunnelTable},
      nullptr);
}

}  // namespace pathwarden
