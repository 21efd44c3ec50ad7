#!/bin/bash
# Installs what building and testing need on Debian 12: the packages listed in
# scripts/deps/*.txt, then the extra steps of scripts/deps/*.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps.sh: run as root (apt-get)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
mapfile -t pkgs < <(cat "$here"/deps/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
apt-get install -y -q --no-install-recommends "${pkgs[@]}"
for step in "$here"/deps/*.sh; do
  [ -e "$step" ] || continue
  bash "$step"
done
