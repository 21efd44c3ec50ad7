# Shared by the shell tests. Source it: . "$QUON_SOURCE_DIR/tests/lib/common.sh"

# Exit 77 (CTest's skip) with a reason; in CI a skip is a failure.
skip() {
  echo "SKIP: $*" >&2
  if [ -n "${CI:-}" ]; then
    echo "FAIL: tests may not be skipped in CI" >&2
    exit 1
  fi
  exit 77
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

require_root() {
  [ "$(id -u)" -eq 0 ] || skip "needs root"
}

require_cmd() {
  local c
  for c in "$@"; do
    command -v "$c" >/dev/null 2>&1 || skip "needs $c"
  done
}

# Refuses to go on unless this process runs in the namespaces that
# tests/lib/sandbox.sh made: a network namespace other than the machine's
# (when the test asked for one), a mount namespace other than the machine's,
# and private tmpfs on /tmp and /run.
sandbox_check() {
  local want_net=${1:-net}
  [ "${QUON_IN_SANDBOX:-}" = 1 ] || fail "not inside tests/lib/sandbox.sh; refusing to change anything"
  [ -n "${QUON_SANDBOX_MNTNS:-}" ] && [ -n "${QUON_SANDBOX_NETNS:-}" ] ||
    fail "the machine's namespaces are unknown; refusing to go on"
  [ "$(readlink /proc/self/ns/mnt)" != "${QUON_SANDBOX_MNTNS:-}" ] ||
    fail "still in the machine's mount namespace; refusing to go on"
  if [ "$want_net" = net ]; then
    [ "$(readlink /proc/self/ns/net)" != "${QUON_SANDBOX_NETNS:-}" ] ||
      fail "still in the machine's network namespace; refusing to go on"
  fi
  [ "$(findmnt -n -o FSTYPE --target /run)" = tmpfs ] || fail "/run is not private"
  [ "$(findmnt -n -o FSTYPE --target /tmp)" = tmpfs ] || fail "/tmp is not private"
}

assert_eq() {
  # assert_eq EXPECTED ACTUAL WHAT
  [ "$1" = "$2" ] || fail "$3: expected [$1], got [$2]"
}

assert_contains() {
  # assert_contains HAYSTACK NEEDLE WHAT
  case "$1" in
    *"$2"*) ;;
    *) fail "$3: [$2] not found in [$1]" ;;
  esac
}

assert_not_contains() {
  case "$1" in
    *"$2"*) fail "$3: [$2] unexpectedly found in [$1]" ;;
    *) ;;
  esac
}

# wait_until TIMEOUT_SECONDS COMMAND...: polls a condition every 50 ms.
wait_until() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.05
  done
}

# pp COMMAND...: prints a command that changes the network, then runs it, so
# that a failure in a CI log shows the step it happened at.
pp() {
  printf '+ %s\n' "$*" >&2
  "$@"
}
