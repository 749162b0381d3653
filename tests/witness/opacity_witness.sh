#!/usr/bin/env bash
# A fade that the CLI reports as done must reach the X server: Wine writes a
# foreign window's alpha as _NET_WM_WINDOW_OPACITY on the caller's own display
# connection, and a caller that exits before that connection is flushed loses
# it while still printing "ok". Usage: opacity_witness.sh BIN_DIR
set -euo pipefail
bin=$1
# shellcheck source=tests/witness/witness_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/witness_lib.sh"
export KESTAL_DISPLAY=${KESTAL_DISPLAY:-:87}
export DISPLAY=$KESTAL_DISPLAY
scratch=$(mktemp -d)
trap 'stop_child; rm -rf "$scratch"' EXIT
start_child "$scratch"

# winex11 stores (0xffffffff / 0xff) * alpha, i.e. alpha * 0x01010101, so the
# alpha byte shows in each of the four bytes; full alpha (0xffffffff) deletes
# the property instead.
opacity_of() { # XID -> the property's value, empty when it is not there
  local line
  line=$(xprop -id "$1" _NET_WM_WINDOW_OPACITY) || give_up "X window $1 is gone"
  sed -n 's/.*= *//p' <<<"$line"
}

# One window goes through the steps in turn, so both a window that was not
# layered yet and one that already was get faded.
title=kestal-opacity-witness-$$-$RANDOM
hwnd=$(ask_child "make - $title")
[ "$hwnd" != 0 ] || give_up "the helper child could not make a window: see $scratch/child.err"
xid=$(x_window_of "$title")
for pct in 20 60 99; do
  alpha=$(( (pct * 255 + 50) / 100 ))
  want=$(( alpha * 0x01010101 ))
  cli opacity "$hwnd" "$pct" || continue
  # No wait: the CLI's own round trip is what puts the property there.
  got=$(opacity_of "$xid")
  if [ "$got" = "$want" ]; then
    pass "opacity $pct reaches the X server as alpha $alpha ($got)"
  else
    fail "opacity $pct: _NET_WM_WINDOW_OPACITY is '${got:-absent}', want $want (alpha $alpha)"
  fi
done

# Back to opaque, on a window that its own process faded, so the property is
# there to begin with whatever the steps above did.
title=kestal-opacity-witness-faded-$$-$RANDOM
hwnd=$(ask_child "make layered=128 $title")
[ "$hwnd" != 0 ] || give_up "the helper child could not make a layered window: see $scratch/child.err"
xid=$(x_window_of "$title")
for _ in $(seq 50); do
  [ "$(opacity_of "$xid")" = $(( 128 * 0x01010101 )) ] && break
  sleep 0.1
done
[ "$(opacity_of "$xid")" = $(( 128 * 0x01010101 )) ] \
  || give_up "the window faded by its own process shows no _NET_WM_WINDOW_OPACITY: the test cannot see it go"
if cli opacity "$hwnd" 100; then
  got=$(opacity_of "$xid")
  if [ -z "$got" ]; then
    pass "opacity 100 removes _NET_WM_WINDOW_OPACITY"
  else
    fail "opacity 100 left _NET_WM_WINDOW_OPACITY at $got"
  fi
fi

echo "$(( 4 - failures )) passed, $failures failed"
[ "$failures" = 0 ]
