#!/bin/bash
# Unpacks systemd-resolved for the route helper's DNS tests into a cache
# directory. It is never installed: installing it repoints the machine's
# /etc/resolv.conf at a stub resolver that nothing runs here. The daemon needs
# the private libsystemd-shared of its own version; when the machine's systemd
# has another version, that library is unpacked beside it as well.
set -euo pipefail
cache=${QUON_RESOLVED_CACHE:-/var/cache/quon_vpn-tests}
root="$cache/resolved"
want=$(dpkg-query -W -f='${Version}' systemd 2>/dev/null || true)
# Unpacked before for the machine's present systemd: nothing to do.
if [ -x "$root/lib/systemd/systemd-resolved" ] && [ -x "$root/usr/bin/resolvectl" ] &&
  [ "$(cat "$root/.machine-systemd" 2>/dev/null)" = "$want" ]; then
  exit 0
fi
mkdir -p "$cache/debs"
cd "$cache/debs"
rm -f ./*.deb
if [ -z "$want" ] || ! apt-get download -q "systemd-resolved=$want"; then
  apt-get download -q systemd-resolved
  ver=$(dpkg-deb -f systemd-resolved_*.deb Version)
  apt-get download -q "libsystemd-shared=$ver"
fi
rm -rf "$root.new"
mkdir -p "$root.new"
for deb in ./*.deb; do
  dpkg-deb -x "$deb" "$root.new"
done
echo "$want" >"$root.new/.machine-systemd"
rm -rf "$root"
mv "$root.new" "$root"
echo "systemd-resolved unpacked in $root"
