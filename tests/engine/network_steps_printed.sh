#!/bin/bash
# The shell tests of the engine and the runner print every command that
# changes the network before they run it (pp in tests/lib/common.sh), so that
# a failure in a CI log shows the step it happened at. Lists every line that
# starts such a command without pp; reads the scripts, runs none of them.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/lib/common.sh"

# A command at the start of a line (after "lab_in NAMESPACE", which runs it in
# a lab namespace) that changes links, addresses, routes, rules, DNS or the
# TUN device. Queries such as "ip route show" inside $(...) do not start a
# line and are left alone.
changes='^[[:space:]]*(lab_in[[:space:]]+[^[:space:]]+[[:space:]]+)?'
changes+='(ip([[:space:]]+-[46])?[[:space:]]+[a-z]+[[:space:]]+'
changes+='(add|del|delete|change|replace|set|flush|append)([[:space:]]|$)'
changes+='|setcap|mknod|mount[^|]*/dev/net/tun|sysctl[[:space:]]+-w'
changes+='|resolvectl[[:space:]]+(dns|domain|default-route|revert)'
changes+='|tc[[:space:]]|iptables|ip6tables|nft[[:space:]])'

unprinted=$(grep -nE "$changes" \
  "$QUON_SOURCE_DIR"/tests/engine/*.sh "$QUON_SOURCE_DIR"/tests/runner/*.sh |
  grep -v "/network_steps_printed.sh:" || true)
[ -z "$unprinted" ] || fail "network changes run without pp:
$unprinted"
echo "PASS: every network change of the engine and runner shell tests is printed"
