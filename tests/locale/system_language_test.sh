#!/usr/bin/env bash
# kestal-cli on desktops in other languages: the system's message for a
# failed call comes in the desktop's language, and must arrive as UTF-8
# whatever that language's ANSI code page is (1252 for French, 932 for
# Japanese). Wine takes a process's language from its Unix locale, which
# only the runner's environment can give it.
#   system_language_test.sh BIN_DIR
set -euo pipefail
bin=$1
winrun=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools" && pwd)/winrun
prefix='error: SetWindowPos(topmost) failed (win32 error 1400): '
failures=0

# Handle 1 names no window: the setter fails with the system's message. The
# runner's own shell warns that this machine lacks the locale; Wine needs only
# its name.
failed_pin() {
  local code=0 err
  err=$(LC_ALL=$1 "$winrun" "$bin/kestal-cli.exe" pin 1 2>&1 >/dev/null) || code=$?
  [ "$code" = 1 ] || { echo "FAIL $1: exit code $code, expected 1" >&2; return 1; }
  grep -av '^bash: warning: setlocale: ' <<<"$err"
}

english=$(failed_pin C.UTF-8)
for locale in fr_FR.UTF-8 ja_JP.UTF-8; do
  if ! message=$(failed_pin "$locale"); then
    failures=$((failures + 1))
  elif ! iconv -f UTF-8 -t UTF-8 <<<"$message" >/dev/null 2>&1; then
    echo "FAIL $locale: not UTF-8: $(od -An -c <<<"$message")" >&2
    failures=$((failures + 1))
  elif [[ $message != "$prefix"* || $message != *$'\r' ]]; then
    echo "FAIL $locale: not the system's message line: $message" >&2
    failures=$((failures + 1))
  elif [ "$message" = "$english" ] || ! LC_ALL=C grep -q $'[\x80-\xff]' <<<"$message"; then
    echo "FAIL $locale: the message is not in the desktop's language: $message" >&2
    failures=$((failures + 1))
  else
    echo "PASS $locale: $message"
  fi
done
[ "$failures" = 0 ] || { echo "$failures language(s) failed: see the lines above" >&2; exit 1; }
