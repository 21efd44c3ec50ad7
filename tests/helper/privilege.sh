#!/bin/bash
# A real set-user-id root copy of pathwarden, started by the user nobody with
# everything a hostile caller controls: identity lines, the refusal without
# the set-user-id bit, and one attack per hardening measure, each of which
# would run code as root or lose the saved routes without that measure.
# Topology in lib.sh; a recording stand-in is bound over ip inside this mount
# namespace and logs, for every ip the helper starts, its environment,
# working directory, descriptors and signal state.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"

pw_private_names
pw_local_sbin
pw_hide_resolvectl

# The machine's programs, and the pieces an attack would need.
PLAIN_PW=$PW
pw_setuid_copy
SETUID_PW=$PW
cp "$PLAIN_PW" /tmp/pw/plain
chmod 755 /tmp/pw/plain
# A "system" resolvectl that only logs, so that the DNS commands run too.
printf '#!/bin/sh\necho "$*" >>/tmp/pw/resolvectl.log\n' >/usr/local/sbin/resolvectl
# What a successful injection would run (found through the helper's PATH).
printf '#!/bin/sh\ntouch /tmp/pw/pwned\n' >/usr/local/sbin/pwn
chmod 755 /usr/local/sbin/resolvectl /usr/local/sbin/pwn

pw_ip_standin /tmp/pw/ip.recorder <<'EOF'
#!/bin/sh
# Under a file-size limit the log could not be written; pass through.
[ "$(ulimit -f)" = unlimited ] || exec /tmp/ip.real "$@"
# Signal state first, with builtins only: while this shell waits for a child
# of its own, it blocks every signal for a moment.
sig=
while read -r key value; do
  case $key in SigIgn: | SigBlk:) sig="$sig$key $value
" ;; esac
done </proc/$$/status
# Scheduling and limits the helper's children run with.
sched=$(read -r stat </proc/$$/stat; set -- ${stat##*) }; echo "nice:${17} policy:${39}")
{
  echo "=== ip $*"
  printf '%s' "$sig"
  echo "sched=$sched oom:$(cat /proc/$$/oom_score_adj) core:$(ulimit -c)"
  echo "cwd=$(readlink /proc/$$/cwd)"
  env | sed 's/^/env:/'
  for fd in /proc/$$/fd/*; do echo "fd:${fd##*/}=$(readlink "$fd")"; done
} >>/tmp/pw/record.log
exec /tmp/ip.real "$@"
EOF

SAFE_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

# Sanitizer builds: the runtime reads its options from the environment, which
# the set-user-id exec keeps for the helper itself (the helper then clears it
# for its children).
if [ -n "${QUON_SANITIZE:-}" ]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
fi

ID_NOBODY="[helper] real uid=65534 effective uid=0 real gid=65534 effective gid=65534"
ID_ROOT="[helper] after elevation real uid=0 effective uid=0 real gid=0 effective gid=0"

check_records() {
  local what=$1 log=/tmp/pw/record.log
  [ -s "$log" ] || fail "$what: no ip command recorded"
  grep -q '^=== ip -4 route show default' "$log" || fail "$what: detection not recorded"
  local bad
  bad=$(grep '^env:' "$log" | grep -vE '^env:(PATH|LC_ALL|PWD|SHLVL|OLDPWD|_)=' || true)
  [ -z "$bad" ] || fail "$what: caller's environment reached a child: $bad"
  bad=$(grep '^env:PATH=' "$log" | grep -vx "env:PATH=$SAFE_PATH" || true)
  [ -z "$bad" ] || fail "$what: child PATH: $bad"
  bad=$(grep '^env:LC_ALL=' "$log" | grep -vx 'env:LC_ALL=C' || true)
  [ -z "$bad" ] || fail "$what: child locale: $bad"
  bad=$(grep '^cwd=' "$log" | grep -vx 'cwd=/' || true)
  [ -z "$bad" ] || fail "$what: child working directory: $bad"
  bad=$(grep -E '^fd:.*leak-marker' "$log" || true)
  [ -z "$bad" ] || fail "$what: caller's descriptor reached a child: $bad"
  # glibc's own spawn leaves its two internal real-time signals (32 and 33)
  # ignored in every child; no caller can choose them.
  local kind mask
  while read -r kind mask; do
    [ $((0x$mask & ~0x180000000)) -eq 0 ] || fail "$what: child $kind $mask"
  done < <(grep -E '^Sig(Ign|Blk):' "$log")
  bad=$(grep '^sched=' "$log" | grep -vx 'sched=nice:0 policy:0 oom:0 core:0' || true)
  [ -z "$bad" ] || fail "$what: child scheduling or core limit: $bad"
  local runs fd
  runs=$(grep -c '^=== ip' "$log")
  assert_eq "$runs" "$(grep -c '^sched=' "$log")" "$what: children with scheduling recorded"
  for fd in 0 1 2; do
    assert_eq "$runs" "$(grep -c "^fd:$fd=" "$log")" "$what: children with descriptor $fd open"
  done
}

expect_restored() {
  assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "$1: IPv4 default"
  assert_eq "default via fe80::2 dev veth0 metric 1024 pref medium" "$(routes6 default)" "$1: IPv6 default"
  expect_no_tunnel "$1"
  [ ! -e "$STATE" ] || fail "$1: state file left"
}

stop_as_nobody() {
  run_pw "${NOBODY[@]}" -- stop "$1"
  expect_rc 0 "stop after $2"
  expect_restored "$2"
}

pw_net gw
pw_tun_up

# --- Without the set-user-id bit: identity, refusal, nothing changed ----------
for action in start stop; do
  PW=/tmp/pw/plain run_pw "${NOBODY[@]}" -- "$action" 10.9.9.9
  expect_rc 10 "$action without set-user-id"
  assert_eq "[helper] real uid=65534 effective uid=65534 real gid=65534 effective gid=65534
[helper] root permission required. Run via pkexec/sudo." "$ERR" "$action refused"
done
[ ! -e "$STATE" ] || fail "refused start wrote state"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "refused start changed routes"
expect_no_tunnel "refused start changed routes"

# --- Environment, PATH, descriptors, signal state, working directory ----------
mkdir -m 755 /tmp/evil
for p in ip resolvectl head cat sh; do
  printf '#!/bin/sh\ntouch /tmp/evil/ran.%s\n' "$p" >"/tmp/evil/$p"
  chmod 755 "/tmp/evil/$p"
done
printf 'touch /tmp/evil/ran.env\n' >/tmp/evil/rc
chown -R 65534:65534 /tmp/evil
echo marker >/tmp/pw/leak-marker
mkdir -m 777 /tmp/pw/cwd
rm -f /tmp/pw/record.log
(
  cd /tmp/pw/cwd
  run_pw env -i PATH=/tmp/evil:/usr/bin:/bin IFS=/ ENV=/tmp/evil/rc \
    BASH_ENV=/tmp/evil/rc LD_PRELOAD=/tmp/evil/lib.so LANGUAGE=evil \
    LC_ALL=evil.UTF-8 SHELLOPTS=xtrace 'BASH_FUNC_ip%%=() { touch /tmp/evil/ran.func; }' \
    "${NOBODY[@]}" "$TOOLS/pw_exec" --ignore-signals --block-signals -- \
    start vpn.quon.test 7</tmp/pw/leak-marker 9>>/tmp/pw/leak-marker
  expect_rc 0 "start with a poisoned caller"
  assert_eq "$ID_NOBODY" "$(printf '%s\n' "$ERR" | grep "^\[helper\]" | sed -n 1p)" "identity before elevation"
  assert_eq "$ID_ROOT" "$(printf '%s\n' "$ERR" | grep "^\[helper\]" | sed -n 2p)" "identity after elevation"
)
ran=$(find /tmp/evil -name 'ran.*')
[ -z "$ran" ] || fail "caller's programs ran as root: $ran"
check_records "poisoned caller"
assert_contains "$(cat /tmp/pw/resolvectl.log)" "dns quon_vpn0 1.1.1.1 8.8.8.8" "system resolvectl used"
expect_state_complete "poisoned caller" 192.0.2.10 2001:db8::10
stop_as_nobody vpn.quon.test "poisoned caller"

# --- umask 000: the state file is still root's alone ---------------------------
run_pw "${NOBODY[@]}" /bin/sh -c 'umask 000; exec "$0" "$@"' -- start 10.9.9.9
expect_rc 0 "start with umask 000"
assert_eq "0:0 644" "$(stat -c '%u:%g %a' "$STATE")" "state file owner and mode"
stop_as_nobody 10.9.9.9 "umask 000"

# --- ulimit -f 0: never a half-written state -----------------------------------
# The output goes through a pipe: a regular file would stop the very first
# line, long before anything is saved. Root raises the limit again where the
# capability bounding set allows it (status 0); where it does not (as on
# machines without CAP_SYS_RESOURCE), the save fails cleanly with status 5.
# Either way the state file is the earlier one or the new one, whole.
fsize0=(/bin/bash -c '(ulimit -f 0; exec "$0" "$@") 2>&1 | cat; exit "${PIPESTATUS[0]}"')
# A ThreadSanitizer runtime writes a file of its own (tsan.rodata) before
# main, so under this limit an instrumented helper dies by SIGXFSZ before its
# first line; the property checked stays the same: nothing half-written.
can_raise=0
[ $((0x$(awk '/^CapBnd:/ {print $2}' /proc/self/status) >> 24 & 1)) -eq 1 ] && can_raise=1
expect_limited() {
  case "${QUON_SANITIZE:-}" in
    *thread*) expect_rc $((128 + 25)) "$1 (ThreadSanitizer runtime)" ;;
    *) expect_rc 5 "$1"
       assert_eq "[helper] could not save route state" "$(last_line "$OUT")" "status 5 message" ;;
  esac
}
# One runner's session throughout: the helpers' parents differ here.
session=0123456789abcdef0123456789abcdef
run_pw "${NOBODY[@]}" "${fsize0[@]}" -- start 10.9.9.9 $session
if [ $can_raise = 1 ] && [[ "${QUON_SANITIZE:-}" != *thread* ]]; then
  expect_rc 0 "first start with ulimit -f 0"
  expect_state_complete "ulimit -f 0" 10.9.9.9
else
  expect_limited "first start with ulimit -f 0, limit fixed"
  [ ! -e "$STATE" ] || fail "a failed save left a state file"
  assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "routes untouched by 5"
  expect_no_tunnel "routes untouched by 5"
  run_pw "${NOBODY[@]}" -- start 10.9.9.9 $session
  expect_rc 0 "start without a limit"
fi
# Again while the tunnel holds the defaults: the earlier record survives whole.
run_pw "${NOBODY[@]}" "${fsize0[@]}" -- start 10.9.9.8 $session
if [ $can_raise = 1 ] && [[ "${QUON_SANITIZE:-}" != *thread* ]]; then
  expect_rc 0 "second start with ulimit -f 0"
  expect_state_complete "ulimit -f 0, left open" 10.9.9.8,10.9.9.9
else
  expect_limited "second start with ulimit -f 0, limit fixed"
  expect_state_complete "ulimit -f 0, left open" 10.9.9.9
fi
[ -z "$(find /run -maxdepth 1 -name '*.tmp')" ] || fail "temporary state file left"
stop_as_nobody 10.9.9.8 "ulimit -f 0"

# --- ulimit -S -s: a stack too small for the shell and ip ------------------------
# Without the limit raised again every command crashes: the tunnel wait runs
# out (status 6) or a route command fails half-way. A sanitizer's helper needs
# it raised as it is loaded: raised only in main, its first frames there
# overflowed 24 KiB in one run of eight. (A hard limit as low can only be
# lifted with CAP_SYS_RESOURCE, which these machines lack; below about 16 KiB
# the dynamic loader itself may crash, before any code of ours runs.)
run_pw "${NOBODY[@]}" /bin/bash -c 'ulimit -S -s 24; exec "$0" "$@"' -- start 10.9.9.9
expect_rc 0 "start with ulimit -S -s 24"
expect_state_complete "ulimit -S -s 24" 10.9.9.9
stop_as_nobody 10.9.9.9 "ulimit -S -s 24"

# --- The caller's interval timers -------------------------------------------------
# Timers survive exec; without clearing them SIGALRM (or SIGVTALRM, SIGPROF)
# ends the helper half-way, for instance between taking the old default
# away and putting it back.
# The helper clears them as it is loaded, but the kernel's exec and the
# dynamic loader run before that: a timer that ends it there ends it before
# it did anything, as the caller could by a signal. The shortest CPU timers
# do so in most runs on a busy machine (where CPU time is charged a tick at a
# time, in two runs of three), so such a run is tried again with timers
# twice as long, up to a bound far below what a start or a stop takes. A run
# that got further must finish its job, and it must have lasted longer than
# its real-time timer: a timer that could not have fired proves nothing.
timer_ms=(1 2 4 8 16 32 64 64 64 64)
[ -z "${QUON_SANITIZE:-}" ] || timer_ms=(150 150 150 300 300 300)
# run_with_timers ACTION WHAT CHECK...: CHECK says whether a run that was
# ended by a timer left everything as it was.
run_with_timers() {
  local action=$1 what=$2 try=0 ms began took
  shift 2
  for ms in "${timer_ms[@]}"; do
    try=$((try + 1))
    began=${EPOCHREALTIME/./}
    run_pw "${NOBODY[@]}" "$TOOLS/pw_exec" --timers="$ms" -- "$action" 10.9.9.9
    took=$(((${EPOCHREALTIME/./} - began) / 1000))
    case $RC in
      142 | 154 | 155)
        [ -z "$ERR" ] && "$@" ||
          fail "$what: ended by a timer (status $RC) after it began: $ERR"
        echo "$what: ended by a $ms ms timer before the helper was loaded (try $try)"
        ;;
      *) break ;;
    esac
  done
  expect_rc 0 "$what"
  # pw_exec's real-time timer runs for 30 ms at least.
  [ "$took" -gt $((ms > 30 ? ms : 30)) ] ||
    fail "$what: done in $took ms, before its $ms ms timers could fire"
}
untouched_before_start() { [ ! -e "$STATE" ] && [ -z "$(pw_rules -4)$(pw_rules -6)" ]; }
untouched_before_stop() { [ -e "$STATE" ] && [ -n "$(pw_rules -4)" ]; }
run_with_timers start "start with the caller's timers" untouched_before_start
expect_tunnel_rules "start with timers finished" 10.9.9.9 ""
run_with_timers stop "stop with the caller's timers" untouched_before_stop
expect_restored "timers"

# --- Nice value, scheduling policy, OOM score and core limit ----------------------
# None of them is the caller's to choose for root's commands.
rm -f /tmp/pw/record.log
run_pw "${NOBODY[@]}" /bin/bash -c 'echo 1000 >/proc/self/oom_score_adj; ulimit -S -c "$(ulimit -H -c)"; exec nice -n 19 chrt --idle 0 "$0" "$@"' -- start 10.9.9.9
expect_rc 0 "start by a niced, idle-scheduled caller"
check_records "niced caller"
stop_as_nobody 10.9.9.9 "niced caller"

# --- Descriptors above the open-files limit, without close_range --------------------
# On kernels before 5.9 the open descriptors come from /proc: a loop up to
# the caller's soft limit would miss one opened before that limit was lowered.
# (The seccomp filter that hides close_range needs root to install without
# no_new_privs, so this caller is root, as sudo or pkexec would be.)
rm -f /tmp/pw/record.log
run_pw /bin/bash -c 'exec 100</tmp/pw/leak-marker; ulimit -S -n 64; exec "$0" "$@"' "$TOOLS/pw_exec" --no-close-range -- start 10.9.9.9
expect_rc 0 "start without close_range, descriptor above the limit"
check_records "descriptor above the limit"
# Root's tunnel: only root may take it down.
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 19 "nobody's stop of root's tunnel"
run_pw -- stop 10.9.9.9
expect_rc 0 "stop after descriptor above the limit"
expect_restored "descriptor above the limit"

# --- No root-owned directory for the command search path ----------------------------
# Every directory of the fixed PATH replaced, in this mount namespace, by one
# that nobody owns: the helper must refuse to run anything rather than fall
# back to those very directories.
for t in mount umount setpriv; do cp "$(command -v "$t")" "/tmp/pw/$t"; done
(
  hidden=()
  for d in /usr/local/sbin /usr/local/bin /usr/sbin /usr/bin /sbin /bin; do
    [ -L "$d" ] && continue
    /tmp/pw/mount -t tmpfs -o uid=65534,mode=755 tmpfs "$d"
    hidden+=("$d")
  done
  set +e
  /tmp/pw/setpriv --reuid=65534 --regid=65534 --clear-groups "$SETUID_PW" start 10.9.9.9 >/tmp/pw/path.out 2>/tmp/pw/path.err
  echo $? >/tmp/pw/path.rc
  for d in "${hidden[@]}"; do /tmp/pw/umount "$d"; done
)
RC=$(cat /tmp/pw/path.rc) OUT=$(cat /tmp/pw/path.out) ERR=$(cat /tmp/pw/path.err)
expect_rc 16 "no safe command search path"
assert_eq "[helper] no root-owned directory for the command search path; refusing to run commands" "$(last_line "$ERR")" "status 16 message"
[ ! -e "$STATE" ] || fail "state saved without a safe PATH"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "routes untouched without a safe PATH"
expect_no_tunnel "routes untouched without a safe PATH"

# --- What start saves is bounded -----------------------------------------------------
# A server name with thousands of addresses would make a state file that
# stop refuses: start refuses first, before anything changes.
for i in $(seq 1 5000); do printf '2001:db8:1:2:3:4:5:%x big.quon.test\n' "$i"; done >>/tmp/pwetc/hosts
run_pw "${NOBODY[@]}" -- start big.quon.test
expect_rc 14 "start with 5000 server addresses"
assert_contains "$(last_line "$ERR")" "bytes exceeds 65536 bytes (5000 server addresses); nothing was changed" "status 14 message"
[ ! -e "$STATE" ] || fail "oversized state saved"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "routes untouched by 14"
expect_no_tunnel "routes untouched by 14"
# A state file over the bound (written by nobody we know) is refused by stop
# with its own status, and kept.
head -c 70000 /dev/zero | tr '\0' x >"$STATE"
chmod 644 "$STATE"
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 11 "stop with an oversized state file"
assert_contains "$ERR" "[helper] refusing route state file $STATE: too large" "too large"
assert_eq 70000 "$(stat -c %s "$STATE")" "oversized state file kept"
# A start left open over a refused record says so, not that none was saved.
pp ip -4 route replace default dev quon_vpn0
run_pw "${NOBODY[@]}" -- start 10.9.9.9
expect_rc 11 "start left open over a refused state file"
assert_not_contains "$ERR" "no route state was saved" "left open over a refused file"
pp ip -4 route replace default via 10.0.0.2 dev veth0
rm -f "$STATE"

# --- Shell metacharacters in a state file: nothing built from them runs --------
rm -f /tmp/pw/record.log /tmp/pw/resolvectl.log
cat >"$STATE" <<'EOF'
ipv4_valid=1
ipv4_iface=veth0;pwn
ipv4_gateway=10.0.0.2
ipv6_valid=1
ipv6_iface=veth0
ipv6_gateway=fe80::2$(pwn)
server_ipv4=10.9.9.9;pwn,10.9.9.7|pwn
server_ipv6=`pwn`
EOF
chmod 644 "$STATE"
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 0 "stop with a poisoned state file"
[ ! -e /tmp/pw/pwned ] || fail "a command built from the state file ran"
assert_contains "$ERR" "[helper] ignoring IPv4 default route from saved state: unsafe interface name: veth0;pwn" "IPv4 record dropped"
assert_contains "$ERR" "[helper] ignoring IPv6 default route from saved state: gateway is not an address: fe80::2\$(pwn)" "IPv6 record dropped"
assert_not_contains "$(cat /tmp/pw/record.log /tmp/pw/resolvectl.log 2>/dev/null)" "pwn" "commands run"

# --- A state file someone else could have written, or a link ------------------
# Refused, kept for an administrator to look at, and nothing changed: a stop
# that went on without it would restore nothing and call that success.
printf 'ipv4_valid=1\nipv4_iface=veth0\nipv4_gateway=10.0.0.3\n' >/tmp/pw/planted
chmod 644 /tmp/pw/planted
cp /tmp/pw/planted "$STATE"
chown 65534 "$STATE"
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 11 "stop with a foreign state file"
assert_contains "$ERR" "[helper] refusing route state file $STATE: not a regular file owned and writable by root alone" "foreign owner"
assert_eq "[helper] the route state file $STATE was refused and is kept; nothing was restored" "$(last_line "$ERR")" "status 11 message"
assert_eq "65534" "$(stat -c %u "$STATE")" "foreign state file kept"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "foreign state not restored"
rm -f "$STATE"
ln -sf /tmp/pw/planted "$STATE"
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 11 "stop with a linked state file"
assert_contains "$ERR" "it is a symbolic link" "link refused"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "linked state not restored"
run_pw "${NOBODY[@]}" -- start 10.9.9.9
expect_rc 11 "start over a linked state file"
assert_eq "[helper] the route state file $STATE was refused; nothing is changed until it has been checked and removed" "$(last_line "$ERR")" "start refused"
assert_eq "ipv4_valid=1
ipv4_iface=veth0
ipv4_gateway=10.0.0.3" "$(cat /tmp/pw/planted)" "link target untouched"
[ -L "$STATE" ] || fail "refused link removed"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "start over a link changed routes"
expect_no_tunnel "start over a link changed routes"
rm -f "$STATE"

# --- Shell metacharacters in interface names the kernel accepts ----------------
pw_net_reset
pp ip link add 'q;pwn' type veth peer name 'q$(pwn)'
pp ip link set 'q;pwn' up
pp ip link set 'q$(pwn)' up
pp ip -4 route add default dev 'q;pwn'
pp ip -6 route add default dev 'q$(pwn)'
pw_tun_up
rm -f /tmp/pw/record.log /tmp/pw/resolvectl.log
run_pw "${NOBODY[@]}" -- start 10.9.9.9
expect_rc 2 "defaults through hostile interface names"
assert_contains "$ERR" "[helper] unsupported IPv4 default route: default dev q;pwn scope link (dev q;pwn)" "IPv4 name refused"
[ ! -e /tmp/pw/pwned ] || fail "a command built from an interface name ran"
[ ! -e "$STATE" ] || fail "state saved for a refused route"
pp ip -4 route del default dev 'q;pwn'
run_pw "${NOBODY[@]}" -- start 10.9.9.9
expect_rc 2 "IPv6 default through a hostile interface name"
assert_contains "$ERR" "[helper] unsupported IPv6 default route: default dev q\$(pwn) metric 1024 pref medium (dev q\$(pwn))" "IPv6 name refused"
[ ! -e /tmp/pw/pwned ] || fail "a command built from an interface name ran"
pp ip link del 'q;pwn'
pw_net_reset

# --- An interface name that is an option ---------------------------------------
# "--help" is a name the kernel accepts; given to resolvectl it would be read
# as an option ("resolvectl default-route --help no" runs and succeeds).
pp ip link add name --help type veth peer name pw-peer
pp ip link set dev --help up
pp ip link set pw-peer up
pp ip -4 route add default dev --help
pw_tun_up
rm -f /tmp/pw/resolvectl.log
run_pw "${NOBODY[@]}" -- start 10.9.9.9
expect_rc 2 "default through an interface named like an option"
assert_contains "$ERR" "[helper] unsupported IPv4 default route: default dev --help scope link (dev --help)" "option-like name refused"
assert_not_contains "$(cat /tmp/pw/resolvectl.log 2>/dev/null)" "--help" "resolvectl given an option"
assert_eq "default dev --help scope link" "$(routes4 default)" "refused route untouched"
pp ip link del dev --help
pw_net_reset

# --- Standard descriptors closed by the caller ----------------------------------
# glibc itself reopens them for a set-user-id start; a start by root (sudo,
# pkexec, the runner as root) gets no such help, so both are tried.
pw_net gw
pw_tun_up
for who in nobody root; do
  rm -f /tmp/pw/record.log
  launcher=()
  [ $who = nobody ] && launcher=("${NOBODY[@]}")
  set +e
  "${launcher[@]}" "$TOOLS/pw_exec" --close-std "$SETUID_PW" start 10.9.9.9
  RC=$?
  set -e
  OUT="" ERR=""
  expect_rc 0 "start by $who with 0-2 closed"
  expect_state_complete "0-2 closed ($who)" 10.9.9.9
  check_records "0-2 closed ($who)"
  run_pw -- stop 10.9.9.9
  expect_rc 0 "stop after 0-2 closed ($who)"
  expect_restored "0-2 closed ($who)"
done

# --- An empty argument vector ---------------------------------------------------
# The words after the program become the environment: read past argv they
# would look like "start 10.9.9.9".
run_pw "${NOBODY[@]}" "$TOOLS/pw_exec" --argc0 -- start 10.9.9.9
expect_rc 1 "argc 0"
assert_eq "$ID_NOBODY
$ID_ROOT
Usage:
  pathwarden start <server_host_or_ip> [<session>]
  pathwarden stop <server_host_or_ip> [<session>]
  pathwarden refresh <server_host_or_ip> [<session>]" "$ERR" "argc 0 usage"
[ ! -e "$STATE" ] || fail "argc 0 started something"
# An empty program name alone gets the same usage text; with an action and a
# server the action still runs.
run_pw "${NOBODY[@]}" /bin/bash -c 'exec -a "" "$0"' --
expect_rc 1 "empty program name"
assert_eq "  pathwarden refresh <server_host_or_ip> [<session>]" "$(last_line "$ERR")" "empty program name usage"
run_pw "${NOBODY[@]}" /bin/bash -c 'exec -a "" "$0" "$@"' -- stop 10.9.9.9
expect_rc 0 "empty program name with an action"
assert_eq "[helper] IPv4/IPv6 routing restored successfully" "$OUT" "empty program name stop"

# --- Signals while routes change -------------------------------------------------
# Interrupt, hang-up, termination, a broken pipe, job control and timer
# signals arrive after the state is saved and before the tunnel exists; the
# helper must finish the job.
pw_tun_down
"${NOBODY[@]}" "$SETUID_PW" start 10.9.9.9 >/tmp/pw/sig.out 2>&1 &
pid=$!
wait_until 10 test -e "$STATE" || fail "state never saved"
for sig in INT TERM HUP PIPE QUIT ALRM VTALRM PROF TTOU TTIN; do
  kill -s "$sig" "$pid"
done
# Job-control signals would stop it rather than end it.
sleep 0.2
state=$(awk '/^State:/ {print $2}' "/proc/$pid/status")
[ "$state" != T ] || { kill -s CONT "$pid"; fail "helper stopped by a job-control signal"; }
pw_tun_up
set +e
wait "$pid"
RC=$?
set -e
OUT=$(cat /tmp/pw/sig.out) ERR=""
expect_rc 0 "start with signals"
expect_tunnel_rules "start finished despite signals" 10.9.9.9 ""
stop_as_nobody 10.9.9.9 "signals"

echo "privilege: all passed"
