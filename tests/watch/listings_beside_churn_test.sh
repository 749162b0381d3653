#!/usr/bin/env bash
# An idle `kestal-cli watch` beside a program that churns child controls
# takes no more listings than it takes without that program. Listings are
# counted in the Wine server's own request log (wineserver -d1), which needs
# a server of its own, so the test runs in a prefix of its own beside the one
# in use: a listing makes one EnumWindows, whose request the log names
# (KESTAL_ENUMWINDOWS_REQUEST), and the watch makes it for nothing else. Counting
# requests, not CPU time, keeps the figure the same from one machine to the
# next.
#   listings_beside_churn_test.sh BIN_DIR [SECONDS]
set -euo pipefail
bin=$1
seconds=${2:-8}
export KESTAL_PREFIX_VARIANT=server-log
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools" && pwd)/common.sh"
export DISPLAY=$KESTAL_DISPLAY
ensure_prefix
ensure_display

work=$(mktemp -d)
log=$work/server.log
watch_pid=''
# The server's end takes its programs down with it; the prefix is this test's alone.
cleanup() {
  stop_logging_server
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
start_logging_server "$log"

# wait_for_line FILE TEXT: whether TEXT is a whole line of FILE within 20 s,
# a carriage return at its end or not.
wait_for_line() {
  for _ in $(seq 200); do
    tr -d '\r' <"$1" | grep -qx "$2" && return 0
    sleep 0.1
  done
  return 1
}

# The watch's listings over the next SECONDS: its threads' EnumWindows
# requests from here on. A thread of the process names its Unix pid when it
# starts.
count_listings() {
  local from to
  from=$(wc -l <"$log")
  sleep "$seconds"
  to=$(wc -l <"$log")
  sed -n "$((from + 1)),${to}p" "$log" \
    | awk -v tids="$(watch_threads)" -v listing="$KESTAL_ENUMWINDOWS_REQUEST" '
        BEGIN { n = split(tids, t, " "); for (i = 1; i <= n; i++) ours[t[i]] = 1 }
        { id = substr($1, 1, length($1) - 1) }
        !(id in ours) || $2 !~ /[a-z_]\($/ { next }
        { requests++; matched = $0 ~ listing }
        # A list that outgrows its buffer is asked for again at once: one listing.
        matched && !(last[id]) { listings++ }
        { last[id] = matched }
        END { printf "%d %d\n", listings, requests }'
}
watch_threads() {
  grep -E "^[0-9a-f]+: init_(first_)?thread\\( unix_pid=$watch_pid," "$log" | cut -d: -f1 | tr '\n' ' '
}

step "watch alone for $seconds s"
"$WINE" "$bin/kestal-cli.exe" watch >"$work/watch.out" 2>"$work/watch.err" </dev/null &
watch_pid=$!
wait_for_line "$work/watch.out" '{"event":"ready"}' || die "the watch wrote no ready line: $(cat "$work/watch.err")"
sleep 1
read -r alone alone_requests < <(count_listings)

step "watch beside a program that churns child controls for $seconds s"
mkfifo "$work/churn.in"
exec {churn_in}<>"$work/churn.in"
"$WINE" "$bin/kestal-test-churn.exe" 100000000 $(((seconds + 60) * 1000)) controls \
  <"$work/churn.in" >"$work/churn.out" 2>&1 &
churn_pid=$!
wait_for_line "$work/churn.out" ready || die "the churn did not start: $(cat "$work/churn.out")"
sleep 1
read -r beside beside_requests < <(count_listings)
echo stop >&"$churn_in"
wait "$churn_pid" || die "the churn failed: $(cat "$work/churn.out")"
kill -0 "$watch_pid" 2>/dev/null || die "the watch ended during the churn: $(cat "$work/watch.err")"

echo "listings in $seconds s: $alone alone, $beside beside the churn"
echo "churn: $(tr -d '\r' <"$work/churn.out" | tail -n 1)"
echo "server requests in $seconds s: $alone_requests alone, $beside_requests beside the churn"
[ "$alone" -gt 0 ] || die "no listings counted: the server's request log (wineserver -d1) shows no request of the watch that matches KESTAL_ENUMWINDOWS_REQUEST in tools/common.sh: find the one this Wine version makes for EnumWindows and add it there"
# A few listings more are the phase of the interval against the counting
# period and a counting period that a loaded machine makes late; every
# control's event taken makes six times as many.
if [ "$beside" -gt $((alone + 2 + alone / 10)) ]; then
  die "the churn of child controls brought the watch's listings from $alone to $beside: its event hooks take more than top-level windows: see the filter in src/cli/window_events.cpp"
fi
echo "PASS"
