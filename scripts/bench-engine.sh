#!/bin/bash
# How long the tunnel engine's operations take, end to end, with the real
# route helper and the lab's stand-in core in the lab network (see
# lab/topology.sh), run as an ordinary user as the desktop runs it, beside
# the waits the engine imposes on itself.
#
#   bash scripts/bench-engine.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR defaults to build/default (built with engine_driver, pathwarden
# and lab_xray); RUNS to 7. Needs root: everything runs in a sandbox of its
# own (tests/lib/sandbox.sh --net), nothing touches the machine's network.
# Prints the median, minimum and maximum of each operation in milliseconds.
set -euo pipefail

if [ "${QUON_IN_SANDBOX:-}" != 1 ]; then
  root=$(cd "$(dirname "$0")/.." && pwd)
  build=$(cd "${1:-$root/build/default}" && pwd)
  export QUON_SOURCE_DIR=$root QUON_BUILD_DIR=$build
  export QUON_BUNDLE_DIR=$build/bundle
  exec "$root/tests/lib/sandbox.sh" --net -- bash "$root/scripts/bench-engine.sh" \
    "$build" "${2:-7}"
fi

runs=${2:-7}
. "$QUON_SOURCE_DIR/tests/engine/lab_setup.sh"
config=$ENGINE_LAB_CONFIG
# As the desktop user: the set-user-id helper, the core with its capability.
engine_lab_as_user
driver_start

declare -A times
engine() {
  local answer op ok ms
  echo "$*" >&"${DRIVER_PROC[1]}"
  while IFS= read -r -t 60 answer <&"${DRIVER_PROC[0]}"; do
    case $answer in "$1 "*) break ;; esac
  done
  read -r op ok ms _ <<<"$answer"
  [ "$op" = "$1" ] || fail "no answer to $*"
  [ "$ok" = ok ] || fail "$answer"
  times[$op]+="$ms "
}

for ((i = 1; i <= runs; i++)); do
  engine start "$config"
  engine check
  engine stop
  wait_until 5 lab_link_absent quon_vpn0 || fail "quon_vpn0 left after stop"
done

summary() {
  local sorted n
  read -r -a sorted <<<"$(tr ' ' '\n' <<<"$2" | grep . | sort -n | tr '\n' ' ')"
  n=${#sorted[@]}
  printf '%-12s median %5d ms   min %5d ms   max %5d ms   (%d runs)  %s\n' \
    "$1" "${sorted[$((n / 2))]}" "${sorted[0]}" "${sorted[$((n - 1))]}" "$n" "$3"
}
echo "engine operations as the desktop user, set-user-id route helper, lab core, lab network:"
summary start "${times[start]}" "fixed wait inside: 800 ms before the early-exit check"
summary checkTunnel "${times[check]}" "fixed wait inside: 700 ms before the first probe"
summary stop "${times[stop]}" "no fixed wait; SIGTERM polled every 200 ms"
