#!/bin/bash
# The four fixed files in /tmp, shared with every user of the machine, as the
# desktop user's engine meets them in the lab of engine_e2e.sh. Another user
# plants at each path, before the engine starts, a link to a file of the
# user, a FIFO, a directory or a world-writable file of their own. The
# engine must neither write through the link nor into the other user's file,
# never block on the FIFO, and treat each as a file it cannot open: the
# tunnel still comes up and down (the runtime configuration, which the
# engine removes and recreates, refuses to start instead).
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/engine/lab_setup.sh"
engine_lab_as_user
before=$(routes)

files="/tmp/quon_vpn_runner_native_linux.log /tmp/quon_vpn_xray_runtime_error.log
/tmp/quon_vpn_helper_runtime.log /tmp/quon_vpn_xray_config_runtime.json"
# The user's own file that a planted link points at.
mkdir -p /tmp/home
victim=/tmp/home/precious
chown 65534:65534 /tmp/home

plant() {
  local kind=$1 path=$2
  case $kind in
    link) as_other ln -s "$victim" "$path" ;;
    fifo) as_other mkfifo -m 666 "$path" ;;
    dir) as_other mkdir -m 777 "$path" ;;
    foreign) as_other sh -c "echo foreign >'$path'; chmod 666 '$path'" ;;
  esac
}

for path in $files; do
  for kind in link fifo dir foreign; do
    echo "--- $kind at $path"
    rm -rf $files
    as_user sh -c "echo precious >$victim"
    plant "$kind" "$path"
    driver_start
    engine start "$ENGINE_LAB_CONFIG"
    case $path in
      *config_runtime.json)
        assert_contains "$answer" "start fail " "$kind: start"
        assert_contains "$answer" "Failed to remove stale Linux runtime config '$path': " "$kind: message"
        ;;
      *)
        assert_contains "$answer" "start ok " "$kind: start"
        engine error
        engine running
        assert_contains "$answer" "running ok" "$kind: isRunning"
        engine stop
        assert_contains "$answer" "stop ok " "$kind: stop"
        ;;
    esac
    engine error
    driver_end
    assert_eq "$before" "$(routes)" "$kind at $path: routes"
    assert_eq precious "$(cat "$victim")" "$kind at $path: the link's target"
    case $kind in
      link) [ -L "$path" ] || fail "$kind at $path: link replaced" ;;
      fifo) [ -p "$path" ] || fail "$kind at $path: FIFO replaced" ;;
      dir) [ -d "$path" ] && [ -z "$(ls -A "$path")" ] || fail "$kind at $path: directory changed" ;;
      foreign) assert_eq foreign "$(cat "$path")" "$kind at $path: other user's file" ;;
    esac
    no_process "$CORE" || fail "$kind at $path: a core is still running"
  done
done
echo "PASS: links, FIFOs, directories and other users' files in /tmp are refused"
