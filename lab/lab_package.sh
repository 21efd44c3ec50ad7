# shellcheck shell=bash
# The lab's package run: the Debian package installed, upgraded and removed
# with apt-get as an administrator does it, and the product used by an
# ordinary user in between, on the static home. It runs in a sandbox whose
# root is an overlay over the machine's (tests/lib/sandbox.sh
# --overlay-root), so that dpkg's database and every file it writes are the
# sandbox's alone; its network namespace has no way out, so nothing can be
# downloaded. Sourced by scripts/lab.sh (--inner --package) after
# lab/lab_run.sh; LAB_DEB_OLD and LAB_DEB_NEW name two packages of the same
# build, the second with the higher version LAB_DEB_NEW_VERSION.
#
#   step                          judged afterwards
#   install the first package     dpkg lists its files; the helper is root
#                                 4755; quon_vpn is on the PATH; only the
#                                 package itself was newly installed
#   main path                     start, isRunning, checkTunnel, stop; the
#                                 network as before
#   a statoverride                root:quonvpn 4750; a user outside the group
#                                 cannot run the helper; a member connects
#   upgrade while connected       the override kept; the old runner still
#                                 connected through the tunnel; its stop (the
#                                 new helper, the old one's record) gives the
#                                 network back exactly
#   the next launch               runs the new program
#   removal while connected       the network as before; no core, no watcher;
#                                 the open runner says the tunnel is down;
#                                 nothing of the package left but the core and
#                                 the lab's stand-ins
#   purge                         every file, process, route, rule and DNS
#                                 setting as before the install

LAB_PKG=quon-vpn
LAB_PKG_GROUP=quonvpn
LAB_PKG_HELPER=$LAB_PREFIX_BUNDLE/pathwarden
APT_RUNS=0
APT_LOG=

# apt-get as the administrator runs it, answering yes. Recommends stay out:
# the one the package has (systemd-resolved) is not on this machine, which
# must not run it, and nothing may be downloaded.
apt_run() {
  APT_RUNS=$((APT_RUNS + 1))
  APT_LOG=$LAB_WORK/apt-$APT_RUNS.log
  echo "+ apt-get $*"
  DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0 \
    -o APT::Install-Recommends=false "$@" >"$APT_LOG" 2>&1
}

# Refuses to go on unless the root is the sandbox's overlay: dpkg and apt
# never run against the machine's own files.
require_overlay_root() {
  sandbox_check net
  if [ "${QUON_SANDBOX_OVERLAY_ROOT:-}" != 1 ] || [ "$(findmnt -n -o FSTYPE /)" != overlay ] ||
    [ "$(findmnt -n -o FSTYPE --target /var/lib/dpkg)" != overlay ] ||
    [ "$(findmnt -n -o FSTYPE --target /opt)" != overlay ]; then
    fail "lab: the root is not the sandbox's overlay; refusing to run dpkg or apt"
  fi
}

# Everything under /opt, /etc, /var, /run and /usr named after the package
# (and all below such a directory), one path a line. Left out: the tests'
# own cache of unpacked daemons, and the user's runtime directory, the
# user's own files like those in a home directory (logind empties it at
# logout).
package_files() {
  find /opt /etc /var /run /usr \
    \( -path /var/cache/quon_vpn-tests -o -path "$LAB_USER_RUN" \) -prune -o \
    \( -iname '*quon*' -o -name 'pathwarden*' -o -iname '*korvaline*' \) -print 2>/dev/null |
    while read -r f; do find "$f"; done | sort -u
}

# The processes running a program of the package's home: "name exe" each.
package_processes() {
  local p exe
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    case "$exe" in
      "$LAB_PREFIX_BUNDLE"/*) echo "$(cat "$p/comm" 2>/dev/null) $exe" ;;
    esac
  done
  return 0
}

# files_left_are FILE: the package's files now are those before the install
# plus the paths of FILE (may be empty), nothing else.
files_left_are() {
  local extra=$1 got want
  got=$(package_files)
  want=$(cat "$LAB_WORK/files-before.txt" "$extra" | sort -u)
  [ "$got" = "$want" ] && return 0
  why "$(diff <(echo "$want") <(echo "$got") | sed -n 's/^< /missing /p; s/^> /left /p' |
    head -n 12 | tr '\n' ';')"
}

# files_within FILE: nothing of the package now but the files before the
# install and (some of) the paths of FILE.
files_within() {
  local left
  left=$(comm -23 <(package_files) <(cat "$LAB_WORK/files-before.txt" "$1" | sort -u))
  [ -z "$left" ] || why "left: $(head -n 12 <<<"$left" | tr '\n' ';')"
}

# only_runners_left: no core, no watcher, nothing of the package's home
# runs but runners.
only_runners_left() {
  local left
  left=$(package_processes | grep -v "^quon_vpn $LAB_PREFIX_BUNDLE/quon_vpn\( (deleted)\)\?$" || true)
  [ -z "$left" ] || why "still running: $(tr '\n' ';' <<<"$left")"
}
no_process_left() {
  local left
  left=$(package_processes)
  [ -z "$left" ] || why "still running: $(tr '\n' ';' <<<"$left")"
}

installed_version_is() {
  local got
  got=$(dpkg-query -W -f='${Status} ${Version}' "$LAB_PKG" 2>&1)
  [ "$got" = "install ok installed $1" ] || why "dpkg-query: $got"
}
dpkg_lists() {
  local f
  for f in "$@"; do
    dpkg -L "$LAB_PKG" | grep -qx "$f" || {
      why "dpkg -L $LAB_PKG does not list $f"
      return 1
    }
  done
}
dpkg_knows_nothing() {
  local got
  if got=$(dpkg-query -W -f='${Status}' "$LAB_PKG" 2>&1); then
    why "dpkg still knows the package: $got"
  elif dpkg -L "$LAB_PKG" >/dev/null 2>&1; then
    why "dpkg -L still lists files: $(dpkg -L "$LAB_PKG" | tr '\n' ' ')"
  fi
}
removed_not_purged() {
  local got
  got=$(dpkg-query -W -f='${Status}' "$LAB_PKG" 2>&1)
  [ "$got" = "deinstall ok config-files" ] || {
    why "dpkg-query: $got"
    return 1
  }
  # Nothing but the directories that other files keep (the lab's own).
  got=$(dpkg -L "$LAB_PKG" 2>&1 | grep -vx -e /opt -e "$LAB_PREFIX_BUNDLE" || true)
  [ -z "$got" ] || why "dpkg -L still lists: $(tr '\n' ' ' <<<"$got")"
}
no_statoverride() {
  local got
  got=$(dpkg-statoverride --list "$LAB_PREFIX_BUNDLE/*" || true)
  [ -z "$got" ] || why "$got"
}
helper_mode_is() {
  local got
  got=$(stat -c '%U %G %a' "$LAB_PKG_HELPER")
  [ "$got" = "$1" ] || why "$LAB_PKG_HELPER is $got"
}
newly_installed_only_the_package() {
  grep -q "^0 upgraded, 1 newly installed, 0 to remove" "$APT_LOG" ||
    why "apt-get: $(grep -E 'newly installed|^E:' "$APT_LOG" | tr '\n' ' ')"
}
on_the_path() {
  local got
  got=$(lab_as_user sh -c 'command -v quon_vpn')
  if [ "$got" != /usr/bin/quon_vpn ] || [ "$(readlink -f "$got")" != "$LAB_PREFIX_BUNDLE/quon_vpn" ]; then
    why "quon_vpn is ${got:-not on the PATH}"
  fi
}
# An ordinary user outside the group gets "permission denied" (126).
helper_refused_to_outsider() {
  local rc=0
  LAB_USER_GROUPS='' lab_as_user "$LAB_PKG_HELPER" stop 192.0.2.1 >/dev/null 2>&1 || rc=$?
  [ "$rc" = 126 ] || why "the helper ran for a user outside $LAB_PKG_GROUP (exit $rc)"
}
runner_replaced_under() {
  local exe
  kill -0 "$1" 2>/dev/null || {
    why "the old runner is gone"
    return 1
  }
  exe=$(readlink "/proc/$1/exe")
  [ "$exe" = "$LAB_PREFIX_BUNDLE/quon_vpn (deleted)" ] || why "its program is $exe"
}
runner_is_installed_program() {
  local exe
  exe=$(readlink "/proc/$LAB_RUNNER_PID/exe")
  if [ "$exe" != "$LAB_PREFIX_BUNDLE/quon_vpn" ] ||
    [ "$(stat -L -c %i "/proc/$LAB_RUNNER_PID/exe")" != "$(stat -c %i "$LAB_PREFIX_BUNDLE/quon_vpn")" ]; then
    why "the runner runs $exe"
  fi
}

# The user closes the window: the runner ends (SIGTERM, as a session ends it).
runner_quit() {
  kill -TERM "$LAB_RUNNER_PID"
  wait_until 30 gone "$LAB_RUNNER_PID" || fail "lab: the runner did not end on SIGTERM"
  wait "$LAB_RUNNER_PID" 2>/dev/null || true
}

# The judgement after a step that ends with no tunnel: the network exactly
# as before (snapshot of routes, rules and resolved's settings).
network_as_before() {
  proof "quon_vpn0 and the route state file are gone" tunnel_gone
  proof "routes, policy rules and resolved's per-link settings equal the snapshot before" \
    snapshot_equal
}

# Installed by setup (LAB_INSTALL_STEPS): the first package, then what the
# application's setup adds (the core) and the lab's stand-in embedding.
install_steps_package() {
  step "apt-get install ./${LAB_DEB_OLD##*/} in the overlay root"
  require_overlay_root
  package_files >"$LAB_WORK/files-before.txt"
  package_processes >"$LAB_WORK/procs-before.txt"
  # Rebuilding the manual page index takes most of each apt-get run here; it
  # is man-db's business, not the package's, and this root is thrown away.
  echo 'man-db man-db/auto-update boolean false' | debconf-set-selections
  apt_run install "$LAB_DEB_OLD" || fail "lab: apt-get install failed: $(tail -n 20 "$APT_LOG")"
  proof "only the package was newly installed (its dependencies were there; nothing downloaded)" \
    newly_installed_only_the_package
  proof "dpkg has it installed" installed_version_is "$(dpkg-deb -f "$LAB_DEB_OLD" Version)"
  proof "dpkg lists the runner, watcher, helper and command" dpkg_lists \
    "$LAB_PREFIX_BUNDLE/quon_vpn" "$LAB_PREFIX_BUNDLE/quon_vpn_watch" "$LAB_PKG_HELPER" /usr/bin/quon_vpn
  proof "the helper is root:root 4755" helper_mode_is "root root 4755"
  proof "quon_vpn on the user's PATH is the installed runner" on_the_path
  proof "nothing of the package ran or runs" no_process_left
  step_end "$(grep -E 'newly installed' "$APT_LOG")"
  step "the application's core (cap_net_admin) and the lab's stand-in embedding"
  lab_install_standin
  lab_install_core
  # What the lab itself placed in the package's home; dpkg knows none of it.
  {
    cat "$QUON_BUILD_DIR/install_manifest_standin.txt"
    echo
    echo "$LAB_INSTALLED_CORE"
    echo "$LAB_PREFIX_BUNDLE/lib"
  } | grep . | sort -u >"$LAB_WORK/lab-own.txt"
  step_end "core $(getcap "$LAB_INSTALLED_CORE" | awk '{print $2}')"
}

run_package() {
  say "quon_vpn lab: the Debian package installed, upgraded and removed with apt-get, used by an ordinary user (home: $LAB_HOME)"
  # Read by lab/lab_desktop.sh and lab/lab_run.sh.
  # shellcheck disable=SC2034
  LAB_INSTALLED_HELPER=$LAB_PKG_HELPER
  # shellcheck disable=SC2034
  LAB_RUNNER_PROGRAM=quon_vpn
  # shellcheck disable=SC2034
  LAB_INSTALL_STEPS=install_steps_package
  setup

  step "main path: start, isRunning, checkTunnel, stop"
  start_tunnel
  proof "start answers true" answer_is 0 true
  ctl isRunning
  proof "isRunning is true" answer_is 0 true
  ctl checkTunnel
  proof "checkTunnel is true" answer_is 0 true
  proof "IPv4 traffic reaches the internet from the tunnel address" \
    client_seen_from -4 "$(tunnel_address -4)"
  proof "IPv6 traffic reaches the internet from the tunnel address" \
    client_seen_from -6 "$(tunnel_address -6)"
  proof "the packaged helper ran set-user-id for user nobody" \
    grep -q "real uid=$LAB_USER_UID effective uid=0" "$(user_file quon_vpn_helper_runtime.log)"
  ctl stop
  proof "stop answers true" answer_is 0 true
  network_as_before
  step_end

  step "an administrator lets only the group $LAB_PKG_GROUP start tunnels"
  runner_quit
  pp groupadd --system "$LAB_PKG_GROUP"
  pp dpkg-statoverride --update --add root "$LAB_PKG_GROUP" 4750 "$LAB_PKG_HELPER"
  proof "the helper is root:$LAB_PKG_GROUP 4750" helper_mode_is "root $LAB_PKG_GROUP 4750"
  proof "a user outside $LAB_PKG_GROUP cannot run it" helper_refused_to_outsider
  lab_runner_up
  start_tunnel
  proof "that user's start says so" answer_is 1 "ask to be made a member"
  runner_quit
  # shellcheck disable=SC2034
  LAB_USER_GROUPS=$(getent group "$LAB_PKG_GROUP" | cut -d: -f3)
  lab_runner_up
  start_tunnel
  proof "a member of $LAB_PKG_GROUP connects" answer_is 0 true
  step_end

  step "apt-get install ./${LAB_DEB_NEW##*/} while connected"
  local old_runner=$LAB_RUNNER_PID
  apt_run install "$LAB_DEB_NEW" || fail "lab: the upgrade failed: $(tail -n 20 "$APT_LOG")"
  proof "dpkg has the new version" installed_version_is "$LAB_DEB_NEW_VERSION"
  proof "the statoverride is kept" helper_mode_is "root $LAB_PKG_GROUP 4750"
  proof "the old runner runs on from its replaced program" runner_replaced_under "$old_runner"
  ctl isRunning
  proof "isRunning is still true" answer_is 0 true
  ctl checkTunnel
  proof "checkTunnel is still true" answer_is 0 true
  proof "IPv4 still leaves through the tunnel" through_tunnel -4
  proof "IPv6 still leaves through the tunnel" through_tunnel -6
  step_end "$(grep -E 'upgraded,' "$APT_LOG")"

  step "the old runner's stop: the new helper gives the old one's record back"
  ctl stop
  proof "stop answers true" answer_is 0 true
  network_as_before
  for fam in -4 -6; do
    proof "after stop, IPv${fam#-} requests are answered from the home address" from_home "$fam"
  done
  step_end

  step "the next launch runs the new version"
  runner_quit
  lab_runner_up
  proof "the runner is the newly installed program" runner_is_installed_program
  start_tunnel
  proof "start answers true" answer_is 0 true
  step_end

  step "apt-get remove $LAB_PKG while connected"
  # The administrator's own setting goes with the administrator.
  pp dpkg-statoverride --remove "$LAB_PKG_HELPER"
  apt_run remove "$LAB_PKG" || fail "lab: apt-get remove failed: $(tail -n 20 "$APT_LOG")"
  network_as_before
  proof "no core and no watcher is left, only the open runner" only_runners_left
  ctl isRunning
  proof "the open runner says the tunnel is down" answer_is 0 false
  proof "dpkg keeps only what purge needs (removed, not purged)" removed_not_purged
  # Left besides what the lab placed: dpkg's note of the package for the
  # purge, and the home that still holds the core and the stand-ins.
  {
    cat "$LAB_WORK/lab-own.txt"
    printf '%s\n' "$LAB_PREFIX_BUNDLE" /var/lib/dpkg/info/$LAB_PKG.list \
      /var/lib/dpkg/info/$LAB_PKG.postrm
  } >"$LAB_WORK/after-remove.txt"
  proof "nothing of the package is left but dpkg's note for the purge and what the lab placed" \
    files_within "$LAB_WORK/after-remove.txt"
  step_end "$(grep -E 'to remove and' "$APT_LOG")"

  step "the window closed, the lab's core and stand-ins gone; apt-get purge $LAB_PKG"
  runner_quit
  xargs -r rm -f <"$LAB_WORK/lab-own.txt" 2>/dev/null || true
  rmdir "$LAB_PREFIX_BUNDLE/lib" 2>/dev/null || true
  apt_run purge "$LAB_PKG" || fail "lab: apt-get purge failed: $(tail -n 20 "$APT_LOG")"
  proof "dpkg knows nothing of the package" dpkg_knows_nothing
  proof "every file named after the package is gone: /opt, /etc, /var, /run, /usr as before the install" \
    files_left_are /dev/null
  proof "no process of the package runs" no_process_left
  proof "no statoverride names the package's files" no_statoverride
  network_as_before
  step_end

  say ""
  say "proofs: $PROOFS_PASSED passed, $PROOFS_FAILED failed"
  say "full log: $LAB_LOG"
  # Read by on_exit (lab/lab_run.sh).
  # shellcheck disable=SC2034
  RUN_FINISHED=1
  [ "$PROOFS_FAILED" = 0 ]
}
