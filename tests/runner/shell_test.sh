#!/bin/bash
# The real bundle's quon_vpn under a private Xvfb: window size and title,
# white view, entry point arguments in order, a second launch that finds
# the first, and the header bar that a window manager named "GNOME Shell"
# gets.
# Argument: the fake window manager tool (fake_window_manager.c).
# Runs inside tests/lib/sandbox.sh (no network namespace needed: it only
# talks to its own X server over a Unix socket) so the native log and the
# X socket directory stay private.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/lib/common.sh"

require_cmd Xvfb xwininfo xprop import convert
sandbox_check nonet

runner="$QUON_BUNDLE_DIR/quon_vpn"
quonctl="$QUON_BUNDLE_DIR/quonctl"
[ -x "$runner" ] && [ -x "$quonctl" ] || fail "no runner or quonctl in $QUON_BUNDLE_DIR"
fake_wm=${1:?usage: shell_test.sh FAKE-WINDOW-MANAGER ARGC-ZERO}
[ -x "$fake_wm" ] || fail "no fake window manager at $fake_wm"
argc_zero=${2:?usage: shell_test.sh FAKE-WINDOW-MANAGER ARGC-ZERO}
[ -x "$argc_zero" ] || fail "no argc-zero runner at $argc_zero"
artefacts="$QUON_BUILD_DIR/artefacts"
# The runner's exit status is checked below, and under the address sanitizer
# the libraries GTK loads for a display leak by design at exit; their leaks
# are suppressed as in the view test, the runner's own are still reported.
export LSAN_OPTIONS="suppressions=$QUON_SOURCE_DIR/tests/embedding/lsan.supp"
mkdir -p "$artefacts"
work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  cp "$work"/runner*.log "$artefacts/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display number of its own: Xvfb picks a free one and reports it.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp \
  3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_until 10 test -s "$work/display" || fail "Xvfb did not start"
display=$(head -n1 "$work/display")
export DISPLAY=":$display"
unset WAYLAND_DISPLAY
# No session directory here: the runner keeps its files in /tmp/quon_vpn-UID.
unset XDG_RUNTIME_DIR
native_log=/tmp/quon_vpn-$(id -u)/quon_vpn_runner_native_linux.log
# No session bus either (and none started on the runner's behalf).
export DBUS_SESSION_BUS_ADDRESS=disabled:
# No accessibility bus in the sandbox: do not let GTK look for one.
export NO_AT_BRIDGE=1

# Sanitizer builds: reports go to the runner's log, which is checked at the
# end; fontconfig's start-up thread is a known false positive.
export TSAN_OPTIONS="suppressions=$QUON_SOURCE_DIR/tests/runner/tsan.supp${TSAN_OPTIONS:+ $TSAN_OPTIONS}"

# Ids of the top-level windows titled "quon_vpn".
runner_windows() {
  xwininfo -root -children 2>/dev/null |
    awk '/"quon_vpn"/ { print $1 }'
}
window_count() { runner_windows | wc -l; }
has_windows() { [ "$(window_count)" -ge "$1" ]; }
# A header bar means client-side decorations: GTK asks the window manager
# for none of its own (Motif hints: flags DECORATIONS, decorations 0).
has_header_bar() { xprop -id "$1" _MOTIF_WM_HINTS | grep -q '= 0x2, 0x0,'; }

# The stand-in's Dart side logs each entry point argument it receives.
G_MESSAGES_DEBUG=flutter "$runner" first "second arg" "" --third \
  >"$work/runner1.log" 2>&1 &
pids+=($!)
wait_until 20 has_windows 1 || fail "no quon_vpn window: $(cat "$work/runner1.log")"
win=$(runner_windows | head -n1)

# Size and title. Without a window manager there is no decoration, so the
# window is exactly its default size.
wait_until 10 sh -c "xwininfo -id $win | grep -q 'Map State: IsViewable'" ||
  fail "window never mapped"
info=$(xwininfo -id "$win")
assert_contains "$info" "Width: 1280" "window width"
assert_contains "$info" "Height: 720" "window height"
assert_contains "$(xprop -id "$win" WM_NAME)" '"quon_vpn"' "window title"
assert_contains "$(xprop -id "$win" WM_CLASS)" '"com.korvaline.quonvpn"' \
  "program name"
# Xvfb alone names no window manager: an X11 desktop that is not GNOME Shell
# keeps its own decorations and the plain title.
! has_header_bar "$win" || fail "header bar without GNOME Shell"

# The view is white where the control panel is not: the stand-in's panel
# sits at the top centre, so a strip along the left edge and one along the
# bottom of the window show the view's own background.
x=$(awk '/Absolute upper-left X/ { print $4 }' <<<"$info")
y=$(awk '/Absolute upper-left Y/ { print $4 }' <<<"$info")
shot="$artefacts/runner-window.png"
is_white() { # GEOMETRY relative to the window
  local w=${1%%x*} rest=${1#*x}
  local h=${rest%%+*} ox=${rest#*+}
  local oy=${ox#*+}
  ox=${ox%%+*}
  [ "$(convert "$shot" -crop "${w}x${h}+$((x + ox))+$((y + oy))" +repage \
    -format '%[fx:minima]' info:)" = 1 ]
}
white_area() {
  import -window root "$shot" && is_white 200x600+10+100 &&
    is_white 1240x80+20+630
}
# The first frame may still be on its way.
wait_until 10 white_area ||
  fail "view area not white; screenshot in $shot"
echo "screenshot: $shot"

# Entry point arguments: everything after the program name, in order.
got=$(sed -n 's/.*Dart entrypoint argument \([0-9]*\): \(.*\)$/\1=\2/p' \
  "$work/runner1.log")
assert_eq $'0=first\n1=second arg\n2=\n3=--third' "$got" "entry point arguments"

# One runner per user: with no session bus to hand over to, a second launch
# finds the first one's lock, says so and ends with status 0, without a
# window and without an engine (its exit stops nothing).
first=${pids[1]}
log_before=$(cat "$native_log" 2>/dev/null || true)
status=0
G_MESSAGES_DEBUG=flutter timeout 20 "$runner" >"$work/runner2.log" 2>&1 || status=$?
assert_eq 0 "$status" "second launch's exit status"
assert_contains "$(cat "$work/runner2.log")" \
  "quon_vpn is already running for this user (process $first); this launch leaves it alone and exits." \
  "second launch's message"
assert_not_contains "$(cat "$work/runner2.log")" "Dart entrypoint" "second launch's view"
assert_eq 1 "$(window_count)" "windows after a second launch"
kill -0 "$first" || fail "first instance ended"
assert_eq "$log_before" "$(cat "$native_log" 2>/dev/null || true)" \
  "native log after the second launch (no engine of its own, nothing stopped)"

# Started with an empty argument vector, without even its name, the
# application still runs and its entry point gets no arguments. (A session
# directory of its own: the first runner holds the user's lock.)
mkdir -m 700 "$work/xdg-argc0"
XDG_RUNTIME_DIR=$work/xdg-argc0 G_MESSAGES_DEBUG=flutter "$argc_zero" \
  >"$work/runner-argc0.log" 2>&1 ||
  fail "started without even its name: $(cat "$work/runner-argc0.log")"
assert_not_contains "$(cat "$work/runner-argc0.log")" "already running" \
  "the empty-vector instance ran"
assert_eq "" "$(grep 'Dart entrypoint argument' "$work/runner-argc0.log" || true)" \
  "entry point arguments of an instance started with an empty vector"

# Under a window manager that calls itself "GNOME Shell", a new instance
# draws its own header bar titled "quon_vpn" (the screenshot shows its close
# button).
before=$(runner_windows)
"$fake_wm" "GNOME Shell" >"$work/wm.out" 2>"$work/wm.log" &
pids+=($!)
wait_until 10 grep -qx ready "$work/wm.out" ||
  fail "fake window manager did not start: $(cat "$work/wm.log")"
mkdir -m 700 "$work/xdg-3"
XDG_RUNTIME_DIR=$work/xdg-3 "$runner" >"$work/runner3.log" 2>&1 &
pids+=($!)
wait_until 20 has_windows 2 ||
  fail "third instance opened no window: $(cat "$work/runner3.log")"
hb_win=$(runner_windows | grep -vxF "$before" | head -n1)
[ -n "$hb_win" ] || fail "third instance's window not found"
wait_until 10 has_header_bar "$hb_win" ||
  fail "no header bar under GNOME Shell: $(xprop -id "$hb_win")"
assert_contains "$(xprop -id "$hb_win" WM_NAME)" '"quon_vpn"' \
  "header bar title"
wait_until 10 sh -c "xwininfo -id $hb_win | grep -q 'Map State: IsViewable'" ||
  fail "header bar window never mapped"
import -window "$hb_win" "$artefacts/runner-window-header-bar.png" ||
  fail "no screenshot of the header bar window"
# A closing session, a terminal or a service manager ends the runner with
# SIGTERM, SIGHUP or SIGINT: each ends it as closing the window does, with
# status 0 and the engine destroyed on the way out (its Stop is logged), so
# a tunnel would be taken down. Losing the display does the same, with
# status 1.
# runner_until_window NAME: starts an instance, waits for its window and
# then for its channel to answer. The window shows before the engine exists:
# a display lost in between ends a runner that had no tunnel to stop.
runner_until_window() {
  local n
  n=$(window_count)
  "$runner" --control-socket="$work/runner-$1.sock" >"$work/runner-$1.log" 2>&1 &
  runner_pid=$!
  pids+=("$runner_pid")
  wait_until 20 has_windows $((n + 1)) ||
    fail "$1: no window: $(cat "$work/runner-$1.log")"
  wait_until 20 channel_answers "$work/runner-$1.sock" ||
    fail "$1: the channel never answered: $(cat "$work/runner-$1.log")"
}
channel_answers() { [ "$("$quonctl" --socket "$1" isRunning 2>/dev/null)" = false ]; }
# ends_with STATUS NAME: the instance ends within 10 s, with STATUS, after
# destroying its engine.
ends_with() {
  wait_until 10 _lab_gone_or_reaped "$runner_pid" ||
    fail "$2: still running"
  local status=0
  wait "$runner_pid" || status=$?
  [ "$1" = "$status" ] || cat "$work"/runner-*.log >&2
  assert_eq "$1" "$status" "$2: exit status"
  assert_contains "$(cat "$native_log" 2>/dev/null)" "[LINUX V2RAY] Stop() called" \
    "$2: engine stopped on the way out"
}
_lab_gone_or_reaped() {
  local stat
  stat=$(ps -o stat= -p "$1" 2>/dev/null)
  [ -z "$stat" ] || [ "${stat#Z}" != "$stat" ]
}
# The instances with the user's lock end one after another from here on.
kill "$first"
wait "$first" || fail "first instance: exit status $?"
for sig in TERM HUP INT; do
  rm -f "$native_log"
  runner_until_window "$sig"
  kill -s "$sig" "$runner_pid"
  ends_with 0 "SIG$sig"
done
rm -f "$native_log"
runner_until_window display-loss
kill "${pids[0]}"
ends_with 1 "display lost"

for log in "$work"/runner*.log; do
  if grep -Eq 'WARNING: ThreadSanitizer|ERROR: AddressSanitizer|runtime error:' "$log"; then
    fail "sanitizer report in $(basename "$log"): $(cat "$log")"
  fi
done
echo "PASS"
