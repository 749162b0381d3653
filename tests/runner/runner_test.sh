#!/usr/bin/env bash
# tools/winrun passes a program's stdout, stderr and exit code through
# unchanged, gives Wine a UTF-8 locale where the environment has none, and a
# crashing program ends within seconds instead of hanging in a debugger. Usage: runner_test.sh BIN_DIR
set -euo pipefail
bin=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
run=$root/tools/winrun
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

check() { # NAME EXPECTED_FILE ACTUAL_FILE
  if cmp -s "$2" "$3"; then
    echo "ok   $1"
  else
    echo "FAIL $1: bytes differ"; od -c "$3" | head -n 5; failures=$((failures + 1))
  fi
}

# Exact bytes and exit code of a failing command: stderr line, usage on stdout, exit 2.
set +e
"$run" "$bin/kestal-cli.exe" 'no such' >"$scratch/out" 2>"$scratch/err"
code=$?
set -e
printf "unknown command 'no such'\n" >"$scratch/want-err"
check "stderr passes through byte for byte" "$scratch/want-err" "$scratch/err"
head -c 20 "$scratch/out" >"$scratch/out-head"
printf 'tinsmere-kestal CLI\n' >"$scratch/want-out-head"
check "stdout passes through byte for byte (no CR added)" "$scratch/want-out-head" "$scratch/out-head"
if [ "$code" = 2 ]; then echo "ok   exit code 2 passes through"; else echo "FAIL exit code: got $code, want 2"; failures=$((failures + 1)); fi

# A run that finds no Wine prefix makes one first. What the runner says about
# that is its own progress and never reaches the program's streams.
fresh=$scratch/fresh-prefix
set +e
KESTAL_WINEPREFIX=$fresh "$run" "$bin/kestal-cli.exe" 'no such' >"$scratch/out" 2>"$scratch/err" </dev/null
code=$?
set -e
KESTAL_WINEPREFIX=$fresh bash -c 'source "$1/tools/common.sh" && "$WINESERVER" -k' bash "$root" 2>/dev/null || true
check "a run that makes the prefix first: stderr is the program's alone" "$scratch/want-err" "$scratch/err"
head -c 20 "$scratch/out" >"$scratch/out-head"
check "a run that makes the prefix first: stdout is the program's alone" "$scratch/want-out-head" "$scratch/out-head"

# No locale in the environment, as on a fresh machine: Wine still gets a
# UTF-8 one, or it could not map a non-ASCII word (or file name) at all.
set +e
env -u LANG -u LC_ALL -u LC_CTYPE "$run" "$bin/kestal-cli.exe" 'Café 漢字 😀' >/dev/null 2>"$scratch/err"
set -e
printf "unknown command 'Café 漢字 😀'\n" >"$scratch/want-err"
check "without a locale, a non-ASCII word reaches the program whole" "$scratch/want-err" "$scratch/err"

# A crash: non-zero within seconds, the program's own stdout intact, one line of report on stderr.
start=$(date +%s)
set +e
timeout 60 "$run" "$bin/kestal-test-crash.exe" >"$scratch/out" 2>"$scratch/err"
code=$?
set -e
elapsed=$(( $(date +%s) - start ))
if [ "$code" != 0 ] && [ "$code" != 124 ] && [ "$elapsed" -le 15 ]; then
  echo "ok   a crash ends the run with exit $code after ${elapsed}s"
else
  echo "FAIL a crash: exit $code after ${elapsed}s (124 means it hung)"; failures=$((failures + 1))
fi
# The helper writes in the C runtime's text mode, which turns "\n" into "\r\n".
printf 'about to crash\r\n' >"$scratch/want-out"
check "a crash leaves the program's stdout as it wrote it" "$scratch/want-out" "$scratch/out"
if grep -q 'Unhandled' "$scratch/err"; then echo "ok   the crash is reported on stderr"; else echo "FAIL no crash report on stderr"; failures=$((failures + 1)); fi

echo "$(( 8 - failures )) passed, $failures failed"
[ "$failures" = 0 ]
