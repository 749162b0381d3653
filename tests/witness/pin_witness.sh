#!/usr/bin/env bash
# A pin must reach the window manager, which is what keeps a window above the
# others: openbox records it as _NET_WM_STATE_ABOVE on the client window.
# openbox runs on an X display of its own, so windows of other tests on the
# shared display stay unmanaged. Wine processes of the same prefix may use
# different displays, so the helper child and the CLI both run on this one.
# Usage: pin_witness.sh BIN_DIR
set -euo pipefail
bin=$1
# shellcheck source=tests/witness/witness_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/witness_lib.sh"
for tool in Xvfb openbox xprop xwininfo; do
  command -v "$tool" >/dev/null || give_up "$tool is missing: run tools/setup"
done
scratch=$(mktemp -d)
xvfb_pid=
openbox_pid=
cleanup() {
  stop_child
  [ -z "$openbox_pid" ] || { kill "$openbox_pid" 2>/dev/null; wait "$openbox_pid" 2>/dev/null; } || true
  [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; } || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# start_xvfb N: true once an Xvfb of ours serves :N. The lock file names the
# server that holds a display, so a display that another server takes first
# is never mistaken for ours. Without -noreset the server resets when its
# last client leaves, as the xdpyinfo probe does, and turns away whoever
# connects during the reset. The screen size is the shared display's, which
# keeps Wine's idea of the screen the same on both.
start_xvfb() {
  [ -e "/tmp/.X$1-lock" ] && return 1
  Xvfb ":$1" -screen 0 1280x1024x24 -nolisten tcp -noreset >"$scratch/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    if ! kill -0 "$xvfb_pid" 2>/dev/null; then
      wait "$xvfb_pid" 2>/dev/null || true
      xvfb_pid=
      return 1
    fi
    if xdpyinfo -display ":$1" >/dev/null 2>&1 && [ "$(tr -d ' \n' <"/tmp/.X$1-lock" 2>/dev/null)" = "$xvfb_pid" ]; then
      return 0
    fi
    sleep 0.1
  done
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=
  return 1
}
display_number=
for n in $(seq 88 150); do
  if start_xvfb "$n"; then
    display_number=$n
    break
  fi
done
[ -n "$display_number" ] || give_up "no Xvfb of ours came up on any of :88 to :150; the last log: $(cat "$scratch/xvfb.log")"
export KESTAL_DISPLAY=:$display_number
export DISPLAY=$KESTAL_DISPLAY

openbox --sm-disable >"$scratch/openbox.log" 2>&1 &
openbox_pid=$!
wm_ready() { grep -q 'window id' <<<"$(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null)"; }
for _ in $(seq 100); do
  wm_ready && break
  sleep 0.1
done
wm_ready || give_up "openbox did not take $DISPLAY within 10s: $(cat "$scratch/openbox.log")"
echo "==> openbox manages $DISPLAY"

start_child "$scratch"

above() { # XID -> yes/no: _NET_WM_STATE_ABOVE on that client window
  local line
  line=$(xprop -id "$1" _NET_WM_STATE) || give_up "X window $1 is gone"
  if grep -q _NET_WM_STATE_ABOVE <<<"$line"; then echo yes; else echo no; fi
}

# openbox sets WM_STATE on a client window once it manages it.
managed() { grep -q 'window state' <<<"$(xprop -id "$1" WM_STATE 2>/dev/null)"; }

# await XID WANT: waits up to 5s for above XID to answer WANT (openbox works
# on its own time), then prints what it answers.
await() {
  local have
  for _ in $(seq 50); do
    have=$(above "$1")
    [ "$have" = "$2" ] && break
    sleep 0.1
  done
  echo "$have"
}

# Each case starts from a window that its own process made in the state
# opposite to the one the command asks for: FLAGS|ARGS|WANT.
cases=(
  "-||yes"
  "topmost|0|no"
)
for case in "${cases[@]}"; do
  IFS='|' read -r flags args want <<<"$case"
  before=$([ "$want" = yes ] && echo no || echo yes)
  title=kestal-pin-witness-$$-$RANDOM
  hwnd=$(ask_child "make $flags $title")
  [ "$hwnd" != 0 ] || give_up "the helper child could not make a window: see $scratch/child.err"
  xid=$(x_window_of "$title")
  # Before openbox manages the window, Wine would write a state change into
  # the window's own properties, not ask openbox for it.
  for _ in $(seq 100); do
    managed "$xid" && break
    sleep 0.1
  done
  managed "$xid" || give_up "openbox did not manage '$title' within 10s"
  [ "$(await "$xid" "$before")" = "$before" ] \
    || give_up "a window made with flags '$flags' has _NET_WM_STATE_ABOVE '$(above "$xid")', want $before: the test cannot see the change"
  # shellcheck disable=SC2086
  cli pin "$hwnd" $args || continue
  have=$(await "$xid" "$want")
  if [ "$have" = "$want" ]; then
    pass "pin ${args:-(no flag)}: the window manager $([ "$want" = yes ] && echo sets || echo clears) _NET_WM_STATE_ABOVE"
  else
    fail "pin ${args:-(no flag)}: _NET_WM_STATE_ABOVE is '$have', want $want"
  fi
done

echo "$(( ${#cases[@]} - failures )) passed, $failures failed"
[ "$failures" = 0 ]
