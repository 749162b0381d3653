# Shared by the Wine desktop witnesses: a helper child whose windows the CLI
# changes from another process, and a look at those windows from the X side,
# where the user actually sees them.
# shellcheck shell=bash

: "${bin:?the witness sets bin, the folder of the programs under test, first}"
witness_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
winrun=$witness_root/tools/winrun
failures=0

pass() { echo "ok   $*"; }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
give_up() { echo "FAIL $*" >&2; exit 1; }
# An interrupted witness still runs its EXIT trap, which ends what it started.
trap 'exit 1' INT TERM HUP

# start_child SCRATCH: kestal-test-windows.exe on $KESTAL_DISPLAY, fed
# through fd 7; its answers collect in SCRATCH/answers.
start_child() {
  child_dir=$1
  mkfifo "$child_dir/commands"
  : >"$child_dir/answers"
  "$winrun" "$bin/kestal-test-windows.exe" <"$child_dir/commands" >"$child_dir/answers" 2>"$child_dir/child.err" &
  child_pid=$!
  exec 7>"$child_dir/commands"
}

# ask_child COMMAND: prints the child's one-line answer.
ask_child() {
  local before
  before=$(wc -l <"$child_dir/answers")
  (echo "$1" >&7) 2>/dev/null || give_up "the helper child is gone: see $child_dir/child.err"
  for _ in $(seq 300); do
    if [ "$(wc -l <"$child_dir/answers")" -gt "$before" ]; then
      sed -n "$((before + 1))p" "$child_dir/answers"
      return
    fi
    kill -0 "$child_pid" 2>/dev/null || give_up "the helper child ended: see $child_dir/child.err"
    sleep 0.1
  done
  give_up "the helper child did not answer '$1' within 30s: see $child_dir/child.err"
}

# The child quits when its input ends; one that does not is ended after 10s.
stop_child() {
  [ -n "${child_pid:-}" ] || return 0
  # In a subshell: a child that is already gone would end this shell with
  # SIGPIPE before it has cleaned up.
  (echo quit >&7) 2>/dev/null || true
  exec 7>&-
  for _ in $(seq 100); do
    kill -0 "$child_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$child_pid" 2>/dev/null || true
  wait "$child_pid" 2>/dev/null || true
  child_pid=
}

# x_window_of TITLE: the X window that shows the Wine window of that title on
# $DISPLAY (the client window, inside the frame when a window manager runs).
x_window_of() {
  local id
  for _ in $(seq 100); do
    id=$(xwininfo -root -tree 2>/dev/null | awk -v t="\"$1\":" 'index($0, t) && id == "" { id = $1 } END { print id }')
    if [ -n "$id" ]; then
      echo "$id"
      return
    fi
    sleep 0.1
  done
  give_up "no X window titled '$1' on $DISPLAY after 10s"
}

# cli ARGS...: kestal-cli.exe under Wine; a failure counts and is shown.
cli() {
  local out
  if out=$("$winrun" "$bin/kestal-cli.exe" "$@" 2>&1); then
    return 0
  fi
  fail "kestal-cli $* failed: $out"
  return 1
}
