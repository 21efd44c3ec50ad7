#!/bin/bash
# Unpacks NetworkManager and nmcli for the lab's "networkmanager" home into a
# cache directory. It is never installed: the package would pull in udev and
# a newer systemd, and its service would take over the machine's links. The
# lab runs the unpacked daemon inside its sandbox only, on a private system
# bus, with LD_LIBRARY_PATH pointing at the unpacked libraries.
set -euo pipefail
cache=${QUON_NM_CACHE:-/var/cache/quon_vpn-tests}
root="$cache/networkmanager"
pkgs=(network-manager libnm0 libndp0 libteamdctl0 libmm-glib0 libbluetooth3)
# The candidate versions decide: the same ones unpacked before, nothing to do.
want=$(apt-cache policy "${pkgs[@]}" | awk '/^[a-z]/{p=$1} /Candidate:/{print p $2}' | tr -d '\n')
if [ -x "$root/usr/sbin/NetworkManager" ] && [ -x "$root/usr/bin/nmcli" ] &&
  [ "$(cat "$root/.versions" 2>/dev/null)" = "$want" ]; then
  exit 0
fi
debs="$cache/networkmanager-debs"
rm -rf "$debs"
mkdir -p "$debs"
cd "$debs"
apt-get download -q "${pkgs[@]}"
rm -rf "$root.new"
mkdir -p "$root.new"
for deb in ./*.deb; do
  dpkg-deb -x "$deb" "$root.new"
done
echo "$want" >"$root.new/.versions"
rm -rf "$root"
mv "$root.new" "$root"
echo "NetworkManager unpacked in $root"
