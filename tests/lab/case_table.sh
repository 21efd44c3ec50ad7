#!/bin/bash
# The lab's fault-case table as scripts/lab.sh reads it: every case that a
# group file in lab/cases/ registers has its function, runs on homes that
# exist, and is of a known kind; no name is registered twice. A group file
# that breaks one of these would make the matrix skip a case or stop half-way.
# Reads definitions only: no namespaces, no network.
set -euo pipefail
src=${QUON_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
# shellcheck source=../../lab/lab_cases.sh
. "$src/lab/lab_cases.sh"

failures=0
bad() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

[ ${#LAB_CASES[@]} -gt 0 ] || bad "no case registered"
declare -A seen=()
for name in "${LAB_CASES[@]}"; do
  [ -z "${seen[$name]:-}" ] || bad "$name is registered twice"
  seen[$name]=1
  [[ "$name" =~ ^[a-z0-9]+(-[a-z0-9]+)*$ ]] || bad "$name: a case name is lower case words joined by dashes"
  declare -F "case_${name//-/_}" >/dev/null || bad "$name has no function case_${name//-/_}"
  case "${LAB_CASE_KIND[$name]}" in
    must | info) ;;
    *) bad "$name: kind ${LAB_CASE_KIND[$name]} is neither must nor info" ;;
  esac
  [ -n "${LAB_CASE_HOMES[$name]}" ] || bad "$name runs on no home"
  for home in ${LAB_CASE_HOMES[$name]}; do
    case "$home" in
      static | dhcp | networkmanager | hostile) ;;
      *) bad "$name: unknown home $home" ;;
    esac
  done
  [ -n "${LAB_CASE_WHAT[$name]}" ] || bad "$name says nothing about what happens"
done
# A case marked long is one that is registered (a typo would leave it last).
for name in "${!LAB_CASE_LONG[@]}"; do
  [ -n "${seen[$name]:-}" ] || bad "$name is marked long but no case registers it"
done
# Every case function belongs to a registered case (none is left out of the
# table by a forgotten lab_case line).
while read -r fn; do
  name=${fn#case_}
  [ -n "${seen[${name//_/-}]:-}" ] || bad "$fn is defined but no case registers it"
done < <(declare -F | awk '$3 ~ /^case_/ {print $3}')

[ "$failures" = 0 ] || exit 1
echo "PASS: ${#LAB_CASES[@]} cases, each with its function, homes and kind"
