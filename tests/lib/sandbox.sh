#!/bin/bash
# Runs one test in namespaces of its own, so that the fixed paths it writes in
# /tmp and /run, and the routes, links and DNS it changes, are never those of
# the machine:
#
#   sandbox.sh [--net] [--overlay-root] -- COMMAND [ARGS...]
#
# Always: new mount namespace (private propagation) with tmpfs on /tmp and
# /run, and a new PID namespace, so that daemons a test starts end with it.
# --net: also a new network namespace, sysfs mounted again (so /sys/class/net
# shows the sandbox's links) and loopback up.
# --overlay-root: also an overlay over the machine's root file system, made
# the sandbox's root (pivot_root; the machine's root is then not reachable at
# all): every write outside /tmp, /run, /proc, /sys and /dev lands in a
# tmpfs and is gone afterwards, so that dpkg and apt can install, upgrade
# and remove packages without touching the machine's files or database.
# Paths listed in QUON_SANDBOX_WRITABLE (colon-separated) stay the machine's
# own, writable, for the results.
#
# Inside, QUON_SANDBOX_NETNS / QUON_SANDBOX_MNTNS name the namespaces of the
# machine; tests/lib/common.sh (sandbox_check) compares against them before a
# test changes anything.
set -eu

net=0
overlay=0
while [ $# -gt 0 ]; do
  case "$1" in
    --net) net=1; shift ;;
    --overlay-root) overlay=1; shift ;;
    --) shift; break ;;
    *) echo "sandbox.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -gt 0 ] || { echo "sandbox.sh: no command" >&2; exit 2; }

# GoogleTest discovery only lists test names: no namespaces needed, and it
# must work for a user who cannot create them.
for a in "$@"; do
  [ "$a" = "--gtest_list_tests" ] && exec "$@"
done

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: needs root to create network and mount namespaces" >&2
  [ -n "${CI:-}" ] && { echo "FAIL: a skip is a failure in CI" >&2; exit 1; }
  exit 77
fi

if [ "${_QUON_SANDBOX_INNER:-}" != 1 ]; then
  export QUON_SANDBOX_NETNS QUON_SANDBOX_MNTNS
  QUON_SANDBOX_NETNS=$(readlink /proc/self/ns/net)
  QUON_SANDBOX_MNTNS=$(readlink /proc/self/ns/mnt)
  export _QUON_SANDBOX_INNER=1 _QUON_SANDBOX_NET=$net _QUON_SANDBOX_OVERLAY=$overlay
  # The working directory may lie under /tmp (a build tree), which the tmpfs
  # below hides; so does the script itself. Keep both reachable.
  export _QUON_SANDBOX_CWD=$PWD
  # --kill-child: a killed wrapper (a timeout, ^C) takes the test with it
  # instead of leaving it running as the orphaned init of its namespace.
  flags=(--mount --propagation private --pid --fork --kill-child --mount-proc)
  [ "$net" = 1 ] && flags+=(--net)
  exec unshare "${flags[@]}" -- bash "$(readlink -f "$0")" -- "$@"
fi

unset _QUON_SANDBOX_INNER
# Paths under /tmp that the test needs (the source or build tree, when it
# lives there) are carried over before the tmpfs hides them.
keep=()
for p in "${QUON_SOURCE_DIR:-}" "${QUON_BUILD_DIR:-}" "$_QUON_SANDBOX_CWD"; do
  case "$p" in /tmp/*|/run/*) keep+=("$p") ;; esac
done
# /mnt only serves as a mount point inside this private namespace.
hold=/mnt
mount -t tmpfs tmpfs "$hold"
i=0
for p in "${keep[@]}"; do
  mkdir -p "$hold/$i"
  mount --bind "$p" "$hold/$i"
  i=$((i + 1))
done
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o mode=755 tmpfs /run
i=0
for p in "${keep[@]}"; do
  mkdir -p "$p"
  mount --move "$hold/$i" "$p"
  i=$((i + 1))
done
umount "$hold"
if [ "$_QUON_SANDBOX_NET" = 1 ]; then
  mount -t sysfs sysfs /sys
  ip link set lo up
fi
if [ "$_QUON_SANDBOX_OVERLAY" = 1 ]; then
  # The overlay's layers live in a tmpfs of this namespace: lower is the
  # machine's root file system (its own mount only: the private /tmp and /run
  # and the kernel's file systems are bound in below), upper takes every
  # write.
  mount -t tmpfs -o mode=755 tmpfs "$hold"
  mkdir "$hold/upper" "$hold/work" "$hold/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$hold/upper,workdir=$hold/work" "$hold/root"
  for m in /proc /sys /dev /tmp /run; do
    mount --rbind "$m" "$hold/root$m"
  done
  IFS=: read -r -a writable <<<"${QUON_SANDBOX_WRITABLE:-}"
  for p in "${writable[@]}"; do
    [ -n "$p" ] || continue
    mkdir -p "$p" "$hold/root$p"
    mount --bind "$p" "$hold/root$p"
  done
  mkdir "$hold/root/.machine-root"
  cd "$hold/root"
  pivot_root . .machine-root
  umount -l /.machine-root
  rmdir /.machine-root
  [ "$(findmnt -n -o FSTYPE /)" = overlay ] || {
    echo "sandbox.sh: the root is not the overlay" >&2
    exit 1
  }
  export QUON_SANDBOX_OVERLAY_ROOT=1
fi
cd "$_QUON_SANDBOX_CWD"
unset _QUON_SANDBOX_CWD _QUON_SANDBOX_NET _QUON_SANDBOX_OVERLAY
export QUON_IN_SANDBOX=1
exec "$@"
