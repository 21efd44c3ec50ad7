#!/bin/bash
# cmake --install of the route helper into a scratch DESTDIR inside this
# sandbox: a set-user-id root file that an ordinary user can start, and with
# QUON_HELPER_GROUP one that only root and that group's members can start.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/lib/common.sh"
require_root
sandbox_check nonet
require_cmd cmake setpriv runuser

helper_dir=$(sed -n 's/^QUON_INSTALL_HELPER_DIR:PATH=//p' "$QUON_BUILD_DIR/CMakeCache.txt")
[ -n "$helper_dir" ] || fail "QUON_INSTALL_HELPER_DIR not in the cache"
NOBODY=(setpriv --reuid=65534 --regid=65534)

# A group that exists in this sandbox alone.
mkdir -p /tmp/etc
cp /etc/group /tmp/etc/group
echo "quonvpn:x:4242:" >>/tmp/etc/group
mount --bind /tmp/etc/group /etc/group

DESTDIR=/tmp/inst cmake --install "$QUON_BUILD_DIR" --component helper >/tmp/install.log
pw=/tmp/inst$helper_dir/pathwarden
assert_eq "root:root 4755" "$(stat -c '%U:%G %a' "$pw")" "installed owner and mode"
set +e
err=$("${NOBODY[@]}" --clear-groups "$pw" 2>&1)
rc=$?
set -e
assert_eq 1 "$rc" "installed helper without arguments"
assert_contains "$err" "[helper] real uid=65534 effective uid=0 real gid=65534 effective gid=65534
[helper] after elevation real uid=0 effective uid=0 real gid=0 effective gid=0" "installed helper elevates"

DESTDIR=/tmp/inst2 cmake -DQUON_HELPER_GROUP=quonvpn -DCMAKE_INSTALL_COMPONENT=helper \
  -P "$QUON_BUILD_DIR/helper/cmake_install.cmake" >/tmp/install2.log
pw=/tmp/inst2$helper_dir/pathwarden
assert_eq "root:quonvpn 4750" "$(stat -c '%U:%G %a' "$pw")" "group-restricted owner and mode"
# runuser rather than setpriv here: setpriv keeps root's capabilities up to
# the exec, so the permission bits would not stop it.
set +e
err=$(runuser -u nobody -G quonvpn -- "$pw" 2>&1)
rc=$?
set -e
assert_eq 1 "$rc" "group member starts the helper"
assert_contains "$err" "[helper] after elevation real uid=0" "group member elevates"
set +e
err=$(runuser -u nobody -- "$pw" 2>&1)
rc=$?
set -e
[ "$rc" -ne 0 ] || fail "a user outside the group started the helper"
assert_contains "$err" "Permission denied" "outside the group"
assert_not_contains "$err" "[helper]" "outside the group"
echo "install: all passed"
