#!/bin/bash
# The main job: installs the dependencies (through sudo when not root),
# builds the default preset and opens the runner's window. Without a display
# it runs the window under Xvfb and saves a screenshot instead.
#
#   bash scripts/run.sh [ARGUMENTS FOR THE USER INTERFACE...]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then
  bash scripts/install-deps.sh
else
  sudo bash scripts/install-deps.sh
fi
bash scripts/build.sh default
runner=build/default/bundle/quon_vpn
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$runner" "$@"
fi
shot=build/default/quon_vpn-window.png
echo "No display: running the window under Xvfb for 5 seconds; screenshot in $shot"
xvfb-run -a -s "-screen 0 1400x800x24" bash -c '
  "$0" "${@:1}" & pid=$!
  for _ in $(seq 50); do
    xwininfo -root -tree 2>/dev/null | grep -q "\"quon_vpn\"" && break
    sleep 0.1
  done
  sleep 1
  import -window root "'"$shot"'"
  kill "$pid"
  wait "$pid" || true
' "$runner" "$@"
