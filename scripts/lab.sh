#!/bin/bash
# The lab: the whole product installed and used as a desktop user uses it,
# inside a sandbox of mount, PID and network namespaces made for the run and
# gone after it. Nothing reaches the machine's own network, /tmp, /run, /opt
# or /usr/local; outside the sandbox it writes only to build/default/lab/.
#
#   sudo bash scripts/lab.sh            build, install, start/check/stop, proofs
#   sudo bash scripts/lab.sh --faults   the fault matrix, each case in a clean sandbox
#   sudo bash scripts/lab.sh --package  the Debian package: install, use, statoverride,
#                                       upgrade while connected, removal, purge
#   sudo bash scripts/lab.sh --bench    latency and main-loop stall report (JSON)
#   sudo bash scripts/lab.sh --bench --ballast
#                                       the same with the runner grown by 300 MiB
#                                       of touched memory, as with a real engine
#
# Options: --home static|dhcp|networkmanager|hostile|all (the home network:
# set by hand, dnsmasq and dhcpcd, dnsmasq and NetworkManager, a network that
# works against its user; the main path and the matrix run on every home by
# default, the benchmark on the static one),
# --case NAME (one case of the matrix alone, on its homes), --static-home
# (the static home with plain static default routes instead of DHCP-style
# ones), --jobs N (how many cases of the matrix run at once, each in its own
# sandbox; 2 by default), --no-deps (skip scripts/install-deps.sh),
# --no-build (use the built tree as it is). Results go to build/default/lab/:
# the screenshots lab-window.png (static home) and lab-window-HOME.png,
# faults.txt, bench.json, and the full log of each run.
#
# Inside the sandbox (lab/topology.sh draws the network, lab/lab_home.sh
# the homes, lab/cases/*.sh the fault cases):
#   desktop   the installed runner as user nobody under a private Xvfb, the
#             installed set-user-id helper, systemd-resolved on a private
#             bus, and the home's client (none, dhcpcd or NetworkManager)
#   router    the home router: IPv4 and IPv6 (dnsmasq on managed homes; on
#             the hostile one also its DNS, pushed routes and domains)
#   vpn       the stand-in core's far end
#   internet  the probe endpoints and a name server; records every client
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
ALL_HOMES=(static dhcp networkmanager hostile)

usage() {
  awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
  exit 2
}

# ---------------------------------------------------------------- outside ---

# Dependencies and the build; the log of the installation stays in the build
# folder.
prepare() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "lab.sh: run as root (it installs packages and creates namespaces): sudo bash $0" >&2
    exit 1
  fi
  cd "$root"
  export QUON_SOURCE_DIR=$root QUON_BUILD_DIR=$root/build/default
  export QUON_BUNDLE_DIR=$QUON_BUILD_DIR/bundle
  export LAB_OUT=$QUON_BUILD_DIR/lab
  mkdir -p "$LAB_OUT/faults"
  if [ "$deps" = 1 ]; then
    echo "== installing the dependencies (scripts/install-deps.sh)"
    bash scripts/install-deps.sh >"$LAB_OUT/deps.log" 2>&1 || {
      tail -n 30 "$LAB_OUT/deps.log" >&2
      echo "lab.sh: installing the dependencies failed" >&2
      exit 1
    }
  fi
  no_service_on_the_machine
  if [ "$build" = 1 ]; then
    echo "== building the default preset"
    bash scripts/build.sh default
  fi
  echo "== ready after $SECONDS s; the sandbox comes next"
}

# The home's daemons may run only inside sandboxes (a PID namespace of their
# own): installing dnsmasq-base and dhcpcd5 must not have started a service.
no_service_on_the_machine() {
  local p comm mine
  mine=$(readlink /proc/self/ns/pid)
  for p in /proc/[0-9]*; do
    comm=$(cat "$p/comm" 2>/dev/null) || continue
    case "$comm" in
      dnsmasq | dhcpcd | NetworkManager)
        if [ "$(readlink "$p/ns/pid" 2>/dev/null)" = "$mine" ]; then
          echo "lab.sh: $comm (pid ${p#/proc/}) runs on the machine itself; the lab starts its own only in sandboxes" >&2
          exit 1
        fi
        ;;
    esac
  done
}

# sandbox ARGS...: the inside of this script in a sandbox of its own.
sandbox() {
  "$root/tests/lib/sandbox.sh" --net -- bash "$root/scripts/lab.sh" --inner "$@"
}

cmd_main() {
  local home status=0
  for home in "${homes[@]}"; do
    echo "== main path, home $home"
    sandbox --home "$home" || status=1
  done
  return $status
}

# The machine's own dpkg state of the package, its files and the lab's
# administrator's changes: the same before and after the package run, which
# changes them only inside its overlay root.
machine_package_state() {
  dpkg-query -W -f='${Status} ${Version}\n' quon-vpn 2>&1 || true
  ls -d /var/lib/dpkg/info/quon-vpn.* /opt/quon_vpn /opt/quon_vpn/* /usr/bin/quon_vpn \
    /usr/share/doc/quon-vpn 2>&1 || true
  grep -s quon /var/lib/dpkg/statoverride || true
  getent group quonvpn || true
}

# cmd_package: two packages of the build (its version, and a higher one for
# the upgrade), checked; then the package run in a sandbox whose root is an
# overlay; then a look that the machine's dpkg state did not change.
cmd_package() {
  local v2 status=0
  echo "== the Debian package (scripts/package.sh): build, lintian, validators, contents"
  bash scripts/package.sh --no-build | tee "$LAB_OUT/package.log" || exit 1
  export LAB_DEB_OLD LAB_DEB_NEW LAB_DEB_NEW_VERSION
  LAB_DEB_OLD=$(tail -n 1 "$LAB_OUT/package.log")
  v2="$(dpkg-deb -f "$LAB_DEB_OLD" Version)+lab2"
  LAB_DEB_NEW=$(bash scripts/package.sh --no-build --no-check --version "$v2" | tail -n 1)
  LAB_DEB_NEW_VERSION=$v2
  machine_package_state >"$LAB_OUT/machine-before.txt"
  echo "== package run: install, use, statoverride, upgrade while connected, removal, purge"
  QUON_SANDBOX_WRITABLE=$LAB_OUT "$root/tests/lib/sandbox.sh" --net --overlay-root -- \
    bash "$root/scripts/lab.sh" --inner --package --home static || status=1
  machine_package_state >"$LAB_OUT/machine-after.txt"
  if ! diff -u "$LAB_OUT/machine-before.txt" "$LAB_OUT/machine-after.txt"; then
    echo "lab.sh: the machine's own dpkg state of quon-vpn changed" >&2
    status=1
  fi
  return $status
}

cmd_bench() {
  sandbox --home "${homes[0]}" --bench
}

# The homes a case runs on: its own, narrowed to the chosen ones.
case_homes() {
  local h c
  for h in ${LAB_CASE_HOMES[$1]}; do
    for c in "${homes[@]}"; do
      [ "$h" = "$c" ] && echo "$h"
    done
  done
  return 0
}

# cmd_faults [NAME]: every case (or NAME alone) on each of its homes, each
# in a clean sandbox, then the table.
cmd_faults() {
  local only=${1:-} name home status=0 f passed failed notes label run
  local -a runs=()
  if [ -n "$only" ]; then
    lab_case_known "$only" || {
      echo "lab.sh: no fault case $only; the cases: ${LAB_CASES[*]}" >&2
      exit 2
    }
  fi
  for name in "${LAB_CASES[@]}"; do
    [ -z "$only" ] || [ "$name" = "$only" ] || continue
    for home in $(case_homes "$name"); do
      runs+=("$name@$home")
    done
  done
  [ ${#runs[@]} -gt 0 ] || {
    echo "lab.sh: no case runs on the homes chosen (${homes[*]})" >&2
    exit 2
  }
  # One case alone leaves the whole matrix's table as it is.
  local table=$LAB_OUT/faults.txt
  [ -z "$only" ] || table=$LAB_OUT/faults-$only.txt
  # The runs share nothing (each has its own namespaces, /tmp, /run, /opt
  # and /var/lib) and most of a case is waiting on the network, so --jobs
  # of them run at once. The long ones go first, so the short ones fill the
  # other places meanwhile. A run's terminal output is shown when it ends.
  local -a queue=()
  for run in "${runs[@]}"; do
    [ -z "${LAB_CASE_LONG[${run%@*}]:-}" ] || queue+=("$run")
  done
  for run in "${runs[@]}"; do
    [ -n "${LAB_CASE_LONG[${run%@*}]:-}" ] || queue+=("$run")
  done
  declare -A secs=() began=() running=()
  local done_pid
  # Each run's process is the sandbox's unshare, which takes its case with it
  # when it is ended (--kill-child).
  trap 'kill "${!running[@]}" 2>/dev/null; exit 130' INT TERM
  reap_one() {
    done_pid=
    wait -n -p done_pid "${!running[@]}" || true
    [ -n "$done_pid" ] || return 0
    local ended=${running[$done_pid]}
    unset "running[$done_pid]"
    secs[$ended]=$((SECONDS - began[$ended]))
    echo "== fault case ${ended%@*}, home ${ended#*@} (${secs[$ended]} s)"
    cat "$LAB_OUT/faults/$ended.console"
  }
  for run in "${queue[@]}"; do
    while [ ${#running[@]} -ge "$jobs" ]; do reap_one; done
    rm -f "$LAB_OUT/faults/$run.result"
    began[$run]=$SECONDS
    (exec "$root/tests/lib/sandbox.sh" --net -- bash "$root/scripts/lab.sh" --inner \
      --home "${run#*@}" --case "${run%@*}") >"$LAB_OUT/faults/$run.console" 2>&1 &
    running[$!]=$run
  done
  while [ ${#running[@]} -gt 0 ]; do reap_one; done
  trap - INT TERM
  {
    printf '%-22s | %-14s | %-6s | %4s | %s\n' case home passed "s" "what failed [notes]"
    printf '%s\n' "-----------------------+----------------+--------+------+--------------------"
    for run in "${runs[@]}"; do
      name=${run%@*}
      f=$LAB_OUT/faults/$run.result
      if [ -s "$f" ]; then
        IFS=$'\x1f' read -r passed failed notes <"$f"
      else
        passed=no failed="the case did not finish (see $LAB_OUT/lab-$name@${run#*@}.log)" notes=
      fi
      label=$passed
      [ "${LAB_CASE_KIND[$name]}" = info ] && label="$passed (info)"
      printf '%-22s | %-14s | %-6s | %4s | %s\n' "$name" "${run#*@}" "$label" "${secs[$run]}" \
        "${failed:--}${notes:+ [$notes]}"
      if [ "${LAB_CASE_KIND[$name]}" = must ] && [ "$passed" != yes ]; then status=1; fi
    done
  } >"$table"
  cat "$table"
  echo "fault matrix table: $table (${SECONDS}s in all)"
  return $status
}

# ----------------------------------------------------------------- inside ---

# The sandboxed run: one home, one command.
inner() {
  . "$QUON_SOURCE_DIR/tests/lib/common.sh"
  sandbox_check net
  require_root
  require_cmd ip ss curl setpriv import python3 ping
  export LAB_HOME=${inner_home:-static} LAB_ROUTER_REACHES_INTERNET=1
  . "$QUON_SOURCE_DIR/lab/topology.sh"
  . "$QUON_SOURCE_DIR/lab/lab_desktop.sh"
  . "$QUON_SOURCE_DIR/lab/lab_home.sh"
  . "$QUON_SOURCE_DIR/lab/lab_run.sh"
  . "$QUON_SOURCE_DIR/lab/lab_package.sh"
  RUN_NAME=$mode-$LAB_HOME
  [ "$mode" = case ] && RUN_NAME=$case_name@$LAB_HOME
  LAB_LOG=$LAB_OUT/lab-$RUN_NAME.log
  : >"$LAB_LOG"
  exec 3>&1 >>"$LAB_LOG" 2>&1
  # LAB_TRACE=1: every command of the run in its log.
  [ -z "${LAB_TRACE:-}" ] || set -x
  trap on_exit EXIT
  case "$mode" in
    main) run_main ;;
    case) run_case "$case_name" ;;
    bench) run_bench ;;
    package) run_package ;;
  esac
}

mode=main
case_name=
deps=1
build=1
inner=0
inner_home=
jobs=2
homes=("${ALL_HOMES[@]}")
while [ $# -gt 0 ]; do
  case "$1" in
    --faults) mode=faults ;;
    --bench) mode=bench ;;
    --package) mode=package ;;
    --no-deps) deps=0 ;;
    --no-build) build=0 ;;
    --ballast) export LAB_RUNNER_EXTRA_ARGS=--standin-ballast-mb=${LAB_BALLAST_MB:-300} ;;
    --static-home)
      export LAB_STATIC_HOME=1
      homes=(static)
      ;;
    --home)
      case "${2:-}" in
        all) homes=("${ALL_HOMES[@]}") ;;
        static | dhcp | networkmanager | hostile) homes=("$2") ;;
        *) echo "lab.sh: --home takes static, dhcp, networkmanager, hostile or all" >&2; usage ;;
      esac
      inner_home=$2
      shift
      ;;
    --inner) inner=1 ;;
    --jobs)
      [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] || { echo "lab.sh: --jobs takes a number from 1" >&2; usage; }
      jobs=$2
      shift
      ;;
    --case)
      mode=case
      case_name=${2:?--case needs a name}
      shift
      ;;
    -h | --help) usage ;;
    *)
      echo "lab.sh: unknown argument $1" >&2
      usage
      ;;
  esac
  shift
done
# The benchmark measures the product, not a home: the static one unless asked.
[ "$mode" = bench ] && [ -z "$inner_home" ] && homes=(static)

. "$root/lab/lab_cases.sh"
if [ "$inner" = 1 ]; then
  inner
  exit
fi
prepare
case "$mode" in
  main) cmd_main ;;
  bench) cmd_bench ;;
  package) cmd_package ;;
  case) cmd_faults "$case_name" ;;
  faults) cmd_faults ;;
esac
