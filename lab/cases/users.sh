# shellcheck shell=bash
# Fault cases: another local user and the set-user-id helper. Sourced by
# lab/lab_cases.sh; run inside the sandbox by lab/lab_run.sh.

lab_case other-user "dhcp networkmanager" must \
  "another user runs the installed helper's start (for another server) and stop while the first user's tunnel is up: both refused, the tunnel untouched"

LAB_OTHER_UID=12345

# helper_as_other ARGS...: the installed helper run by another ordinary user;
# its exit status in HELPER_RC, its output in HELPER_OUT.
helper_as_other() {
  HELPER_RC=0
  HELPER_OUT=$(setpriv --reuid="$LAB_OTHER_UID" --regid="$LAB_OTHER_UID" --clear-groups \
    env -i PATH=/usr/local/bin:/usr/bin:/bin "$LAB_INSTALLED_HELPER" "$@" 2>&1) || HELPER_RC=$?
  echo "helper $* as uid $LAB_OTHER_UID: exit $HELPER_RC: $HELPER_OUT"
}

refused_as_not_owner() {
  [ "$HELPER_RC" = 19 ] || why "exit $HELPER_RC: $(printf '%s' "$HELPER_OUT" | tr '\n' ' ' | cut -c1-160)"
}

# Routes, rules and the helper's record as they were while the tunnel was up.
unchanged_since() {
  local diff
  lab_snapshot "$LAB_WORK/now.snap"
  diff=$(lab_snapshot_diff "$1" "$LAB_WORK/now.snap")
  [ -z "$diff" ] || { why "$diff"; return 1; }
  cmp -s "$2" "$LAB_STATE_FILE" || why "the helper's record changed"
}

case_other_user() {
  local fam
  lab_snapshot "$LAB_WORK/tunnel-up.snap"
  cp "$LAB_STATE_FILE" "$LAB_WORK/state-up.txt" 2>/dev/null || : >"$LAB_WORK/state-up.txt"
  helper_as_other start "$LAB_PROBE_HTTP_V4"
  proof "another user's start is refused (status 19)" refused_as_not_owner
  helper_as_other stop "$LAB_VPN_HOST"
  proof "another user's stop is refused (status 19)" refused_as_not_owner
  proof "routes, rules and the helper's record are as they were" \
    unchanged_since "$LAB_WORK/tunnel-up.snap" "$LAB_WORK/state-up.txt"
  for fam in -4 -6; do
    proof "IPv${fam#-} requests still reach the internet from the tunnel address" through_tunnel "$fam" 5
  done
  ctl stop
  proof "the first user's stop answers true" answer_is 0 true
}
