#!/usr/bin/env bash
# The Node.js example host (examples/host.cjs) on the Windows build of Node.js
# with koffi, under Wine. node.exe sits at the base that kestal-cli.exe asks
# for, so the exe is placed elsewhere and every step that passes ran on the
# addresses it relocated itself. Usage: node_host_test.sh OBJDUMP KESTAL_CLI_EXE
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: node_host_test.sh OBJDUMP KESTAL_CLI_EXE"; exit 2; }
objdump=$1 exe=$2
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=tools/common.sh
source "$root/tools/common.sh"

give_up() { echo "FAIL $*"; exit 1; }
for needed in "$KESTAL_NODE_EXE" "$KESTAL_NODE_MODULES/koffi/package.json" \
  "$KESTAL_NODE_MODULES/@koromix/koffi-win32-x64/win32_x64/koffi.node"; do
  [ -f "$needed" ] || give_up "$needed is missing: tools/setup --deps fetches Node.js and koffi for Windows from" \
    "the npm registry, which it could not reach or was not run (see $KESTAL_NODE_DIR/fetch.log)"
done
preferred=$("$objdump" -p "$exe" | awk '$1 == "ImageBase" { print $2 }')
[ -n "$preferred" ] || give_up "$objdump found no ImageBase in $exe"
preferred=$((16#$preferred))

# node.exe's stdout and stderr fail with EBADF on a pipe under Wine, but not
# on a file.
output=$(mktemp)
trap 'rm -f "$output"' EXIT
status=0
NODE_PATH=$(windows_path "$KESTAL_NODE_MODULES") "$root/tools/winrun" "$KESTAL_NODE_EXE" \
  "$(windows_path "$root/examples/host.cjs")" "$(windows_path "$exe")" >"$output" 2>&1 || status=$?
cat "$output"
# Node.js ends some of its own messages without a line break.
[ -z "$(tail -c 1 "$output")" ] || echo

failures=0
check() { # WHAT COMMAND...: one line for the check, and its tally
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
address_of() { # LABEL -> the address that the host printed after it, as a number
  local hex
  hex=$(sed -n "s/^$1 at 0x\([0-9a-f]*\)\r\{0,1\}$/\1/p" "$output")
  [ -n "$hex" ] && echo $((16#$hex))
}
host_base=$(address_of "host image") || host_base=
exe_base=$(address_of "kestal-cli.exe loaded") || exe_base=

check "the host exits 0 (got $status)" test "$status" = 0
check "the host got through every step" grep -q '^host: all steps passed' "$output"
check "node.exe holds kestal-cli.exe's preferred base $(printf 0x%x "$preferred")" test "$host_base" = "$preferred"
exe_at="no address printed"
[ -z "$exe_base" ] || exe_at=$(printf 'at 0x%x' "$exe_base")
check "kestal-cli.exe was placed elsewhere ($exe_at)" \
  test -n "$exe_base" -a "$exe_base" != "$preferred"
[ "$failures" = 0 ]
