#!/bin/bash
# The desktop user's engine keeps its four files in a directory of its own,
# /tmp/quon_vpn-65534 here (no session directory), in the lab of
# engine_e2e.sh. Another user (uid 12345) squats that name first with a
# directory of their own, a link to a directory of the user, or a file; a
# directory of the user's own left open to others is no better. The engine
# must refuse each (start fails naming the directory, the routes and the
# squatted thing unchanged, nothing written through the link). Used
# normally, the directory is 0700 and each file 0600: the other user can
# neither read nor add anything, and starts a tunnel of their own with their
# own files once the user has stopped. A log past 1 MiB is cut to its tail.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/engine/lab_setup.sh"
engine_lab_as_user
before=$(routes)

dir=/tmp/quon_vpn-65534
names="quon_vpn_runner_native_linux.log quon_vpn_xray_runtime_error.log
quon_vpn_helper_runtime.log quon_vpn_xray_config_runtime.json"
mkdir -p /tmp/home
victim=/tmp/home/precious
chown 65534:65534 /tmp/home

squat() {
  case $1 in
    other-dir) as_other mkdir -m 777 "$dir" ;;
    link) as_other ln -s /tmp/home "$dir" ;;
    file) as_other sh -c "echo squatter >'$dir'" ;;
    open-dir) mkdir -m 755 "$dir" && chown 65534:65534 "$dir" ;;
  esac
}

for kind in other-dir link file open-dir; do
  echo "--- $kind at $dir"
  rm -rf "$dir"
  as_user sh -c "echo precious >$victim"
  squat "$kind"
  driver_start
  engine start "$ENGINE_LAB_CONFIG"
  assert_contains "$answer" "start fail " "$kind: start"
  assert_contains "$answer" "Linux runtime config cannot be written: the runner's private directory cannot be used: $dir" \
    "$kind: message"
  driver_end
  assert_eq "$before" "$(routes)" "$kind: routes"
  assert_eq precious "$(ls /tmp/home)" "$kind: the user's directory"
  case $kind in
    other-dir) assert_eq "" "$(ls -A "$dir")" "$kind: squatted directory" ;;
    link) [ -L "$dir" ] || fail "$kind: link replaced" ;;
    file) assert_eq squatter "$(cat "$dir")" "$kind: squatted file" ;;
    open-dir) assert_eq "" "$(ls -A "$dir")" "$kind: open directory" ;;
  esac
  no_process "$CORE" || fail "$kind: a core is still running"
done
rm -rf "$dir"

# Files at the old shared names are no business of the engine's.
as_other ln -s "$victim" /tmp/quon_vpn_runner_native_linux.log

# Logs already past their bound, as a long-used installation has them.
as_user mkdir -m 700 "$dir"
big=$(head -c 1100000 /dev/zero | tr '\0' 'x' | fold -w 99)
for log in quon_vpn_runner_native_linux.log quon_vpn_helper_runtime.log; do
  printf 'first line\n%s\nlast old line\n' "$big" | as_user sh -c "umask 077; cat >$dir/$log"
done

echo "--- the user's own directory"
driver_start
engine start "$ENGINE_LAB_CONFIG"
assert_contains "$answer" "start ok " "start"
assert_eq "700 65534" "$(stat -c '%a %u' "$dir")" "directory mode and owner"
for name in $names; do
  assert_eq "600 65534" "$(stat -c '%a %u' "$dir/$name")" "$name mode and owner"
  ! as_other cat "$dir/$name" >/dev/null 2>&1 || fail "another user reads $name"
done
! as_other touch "$dir/planted" 2>/dev/null || fail "another user plants a file"
for log in quon_vpn_runner_native_linux.log quon_vpn_helper_runtime.log; do
  size=$(stat -c %s "$dir/$log")
  [ "$size" -lt $((256 * 1024 + 8192)) ] || fail "$log not cut to its tail: $size bytes"
  assert_not_contains "$(head -n1 "$dir/$log")" "first line" "$log: old head dropped"
  assert_contains "$(head -n1 "$dir/$log")" "xxx" "$log: begins with a whole line"
  assert_contains "$(cat "$dir/$log")" "last old line" "$log: old tail kept"
done
assert_contains "$(tail -n 3 "$dir/quon_vpn_runner_native_linux.log")" \
  "[LINUX V2RAY] started successfully" "native log goes on after the cut"
engine stop
assert_contains "$answer" "stop ok " "stop"
driver_end
assert_eq "$before" "$(routes)" "routes after the user's stop"
[ -L /tmp/quon_vpn_runner_native_linux.log ] || fail "old-name link replaced"
assert_eq precious "$(cat "$victim")" "the old-name link's target"

echo "--- another user after the user has stopped"
driver_start 12345
engine start "$ENGINE_LAB_CONFIG"
assert_contains "$answer" "start ok " "other user's start"
assert_eq "700 12345" "$(stat -c '%a %u' /tmp/quon_vpn-12345)" "other user's directory"
engine stop
assert_contains "$answer" "stop ok " "other user's stop"
driver_end
assert_eq "$before" "$(routes)" "routes after the other user's stop"
no_process "$CORE" || fail "a core is still running"
echo "PASS: the engine's files are the user's alone, bounded, and block nobody"
