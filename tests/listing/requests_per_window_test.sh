#!/usr/bin/env bash
# How many requests to the Wine server a listing makes per listed window,
# counted in the server's own request log (wineserver -d1): exact, and the
# same on a busy machine as on a calm one, where times are not. A helper
# process holds N and then M plain windows; the difference of the requests of
# kestal-cli's threads, divided by M - N, is the cost of one window.
#   requests_per_window_test.sh BIN_DIR [N] [M]
# Goals: `list` at most 5, `list --long` at most 7, and a listing of `watch`,
# which keeps class, process and exe per handle, at most 5. keep, which
# lists the whole desktop only as a slow net for the events that never come
# and looks each second at the windows it holds something of, is counted
# per window and second on all its threads: an idle keep with a few rules
# that match nothing at most 3, and a keep that pins and borders every
# window at most 6 per pinned window.
set -euo pipefail
bin=$1
few=${2:-20}
many=${3:-120}
export KESTAL_PREFIX_VARIANT=request-log
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools" && pwd)/common.sh"
export DISPLAY=$KESTAL_DISPLAY
ensure_prefix
ensure_display

work=$(mktemp -d)
log=$work/server.log
# The server's end takes its programs down with it; the prefix is this test's alone.
cleanup() {
  stop_logging_server
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
start_logging_server "$log"

# The threads of the process whose Unix pid is $1: each names it when it
# starts; with "first", only the thread that runs main.
threads_of() {
  local which='init_(first_)?thread'
  [ "${2:-}" = first ] && which=init_first_thread
  grep -E "^[0-9a-f]+: $which\\( unix_pid=$1," "$log" | cut -d: -f1 | tr '\n' ' '
}

# requests FROM TO PID: the requests of that process's threads between two
# lines of the log.
requests() {
  sed -n "$(($1 + 1)),${2}p" "$log" | awk -v tids="$(threads_of "$3")" '
    BEGIN { n = split(tids, t, " "); for (i = 1; i <= n; i++) ours[t[i]] = 1 }
    { id = substr($1, 1, length($1) - 1) }
    # A request is logged as "name( ... )", its reply as "name() = ...".
    (id in ours) && $2 ~ /[a-z_]\($/ { count++ }
    END { print count + 0 }'
}

# requests_of_all_threads FROM TO PID: the requests of all that process's
# threads between two lines of the log. Wine 8 names the process only when
# its first thread starts; its other threads are those that its threads
# started.
requests_of_all_threads() {
  local first
  first=$(threads_of "$3" first)
  awk -v from="$1" -v to="$2" -v first="${first// /}" '
    BEGIN { ours[first] = 1 }
    { id = substr($1, 1, length($1) - 1) }
    (id in ours) && $2 == "new_thread()" && match($0, /tid=[0-9a-f]+/) { ours[substr($0, RSTART + 4, RLENGTH - 4)] = 1 }
    NR > from && NR <= to && (id in ours) && $2 ~ /[a-z_]\($/ { count++ }
    NR > to { exit }
    END { print count + 0 }' "$log"
}

# whole_listings FROM TO PID: the requests of that process's main thread
# from the start of its first listing between two lines of the log to the
# start of its last, and the number of listings in between, so that no
# listing counts in part. A listing starts with its EnumWindows request; a
# list that outgrows its buffer is asked for again at once, in the same call.
whole_listings() {
  sed -n "$(($1 + 1)),${2}p" "$log" | awk -v tids="$(threads_of "$3" first)" -v listing="$KESTAL_ENUMWINDOWS_REQUEST" '
    BEGIN { n = split(tids, t, " "); for (i = 1; i <= n; i++) ours[t[i]] = 1 }
    { id = substr($1, 1, length($1) - 1) }
    !(id in ours) || $2 !~ /[a-z_]\($/ { next }
    { matched = $0 ~ listing }
    matched && !previous { if (starts++ == 0) first = count; last = count }
    { previous = matched; count++ }
    END { print (starts > 1 ? last - first : 0), (starts > 1 ? starts - 1 : 0) }'
}

# The requests of one run of kestal-cli with the given words.
requests_of_run() {
  local from pid
  from=$(wc -l <"$log")
  "$WINE" "$bin/kestal-cli.exe" "$@" >"$work/run.out" 2>"$work/run.err" </dev/null &
  pid=$!
  wait "$pid" || die "kestal-cli $* failed: $(cat "$work/run.err")"
  requests "$from" "$(wc -l <"$log")" "$pid"
}

# Starts a long-running command (its words) in the background, sets `pid`,
# and returns once it has said "ready".
start_until_ready() {
  "$WINE" "$bin/kestal-cli.exe" "$@" >"$work/long.out" 2>"$work/long.err" </dev/null &
  pid=$!
  for _ in $(seq 200); do
    tr -d '\r' <"$work/long.out" | grep -qx '{"event":"ready"}' && return 0
    sleep 0.1
  done
  die "kestal-cli $* did not say ready within 20 s: $(cat "$work/long.err")"
}

# Requests and listings of a long-running command (its words) over 3 s, on
# the thread that lists: the thread that serves the window events asks for
# each event's parent, which depends on the desktop's activity, not on the
# listing. Third, the requests of all its threads in those 3 s. The count
# starts `settle` seconds (1 unless set) after the command's "ready".
requests_per_listing() {
  local from to pid listings all threads
  start_until_ready "$@"
  sleep "${settle:-1}"
  from=$(wc -l <"$log")
  sleep 3
  to=$(wc -l <"$log")
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  read -r all listings < <(whole_listings "$from" "$to" "$pid")
  [ "$listings" -gt 0 ] || die "fewer than two listings of $1 counted in 3 s: see whether the request that this Wine version makes for EnumWindows (in the log, wineserver -d1) matches KESTAL_ENUMWINDOWS_REQUEST in tools/common.sh"
  threads=$(requests_of_all_threads "$from" "$to" "$pid")
  echo "$all $listings $threads"
}

# Requests of all the threads of a long-running keep (its words) over
# `seconds` (7.5 unless set: three of keep's whole listings, whatever their
# phase), counted from `settle` seconds (1 unless set) after its "ready". Two
# such spans one after the other, and the smaller count: a keep at rest asks
# the same in both, and a span that still holds the end of its start (a
# hundred borders made on a busy machine) is not rest.
requests_over_time() {
  local from middle to pid first second
  start_until_ready "$@"
  sleep "${settle:-1}"
  from=$(wc -l <"$log")
  sleep "${seconds:-7.5}"
  middle=$(wc -l <"$log")
  sleep "${seconds:-7.5}"
  to=$(wc -l <"$log")
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  first=$(requests_of_all_threads "$from" "$middle" "$pid")
  second=$(requests_of_all_threads "$middle" "$to" "$pid")
  echo $((first < second ? first : second))
}

step "a helper holding $few plain windows"
mkfifo "$work/windows.in"
exec {windows_in}<>"$work/windows.in"
"$WINE" "$bin/kestal-test-windows.exe" <"$work/windows.in" >"$work/windows.out" 2>&1 &
make_windows() {
  local before
  before=$(wc -l <"$work/windows.out")
  echo "makemany $1 - kestal request count" >&"$windows_in"
  for _ in $(seq 300); do
    [ "$(wc -l <"$work/windows.out")" -gt "$before" ] && return 0
    sleep 0.1
  done
  die "the helper did not make its windows: $(cat "$work/windows.out")"
}
make_windows "$few"

# A few rules that none of the helper's windows matches: an idle keep. The
# rules' folder is a quiet one: keep wakes for every change in it.
mkdir "$work/rules"
rules=$work/rules/rules.json
printf '%s\n' '{"rules": [{"match": "exe:nothing.exe", "pin": true}, {"match": "title:nothing at all", "opacity": 80},' \
  '{"match": ["class:Nothing", "exe:no.exe"], "clickthrough": true}]}' >"$rules"
# A keep that pins every window of the helper and borders each.
mkdir "$work/bordered"
bordered=$work/bordered/rules.json
printf '%s\n' '{"rules": [{"match": "title:kestal request count", "pin": true}], "border": true, "tray": false}' >"$bordered"

measure() {
  list_few=$(requests_of_run list)
  long_few=$(requests_of_run list --long)
  read -r watch_all_few watch_listings_few _ < <(requests_per_listing watch --interval 100)
  keep_few=$(requests_over_time keep "$(windows_path "$rules")")
  # Making a hundred borders takes seconds under Wine 8 on a busy machine: the count starts once they are made.
  border_few=$(settle=25 requests_over_time keep "$(windows_path "$bordered")")
}
measure
list_a=$list_few long_a=$long_few watch_all_a=$watch_all_few watch_listings_a=$watch_listings_few
keep_a=$keep_few border_a=$border_few
step "the helper holding $many plain windows"
make_windows $((many - few))
measure
added=$((many - few))

# per_window A B: (B - A) / added, to two decimals.
per_window() { awk -v a="$1" -v b="$2" -v n="$added" 'BEGIN { printf "%.2f", (b - a) / n }'; }
list_cost=$(per_window "$list_a" "$list_few")
long_cost=$(per_window "$long_a" "$long_few")
# per_listing_window A LA B LB: the growth of requests per listing, per window.
per_listing_window() {
  awk -v a="$1" -v la="$2" -v b="$3" -v lb="$4" -v n="$added" 'BEGIN { printf "%.2f", (b / lb - a / la) / n }'
}
watch_cost=$(per_listing_window "$watch_all_a" "$watch_listings_a" "$watch_all_few" "$watch_listings_few")
# per_window_second A B: (B - A) / added / seconds, to two decimals.
per_window_second() { awk -v a="$1" -v b="$2" -v n="$added" -v s="${seconds:-7.5}" 'BEGIN { printf "%.2f", (b - a) / n / s }'; }
keep_cost=$(per_window_second "$keep_a" "$keep_few")
border_cost=$(per_window_second "$border_a" "$border_few")
echo "requests per window under $("$WINE" --version): list $list_cost, list --long $long_cost," \
  "watch $watch_cost per listing; idle keep $keep_cost per window and second," \
  "a keep that pins and borders every window $border_cost per pinned window and second"
echo "(list: $list_a with $few windows, $list_few with $many; list --long: $long_a, $long_few;" \
  "watch: $watch_all_a requests in $watch_listings_a listings, $watch_all_few in $watch_listings_few;" \
  "idle keep: $keep_a requests in ${seconds:-7.5} s, $keep_few; bordered keep: $border_a, $border_few)"

failed=0
over() { awk -v cost="$1" -v goal="$2" 'BEGIN { exit !(cost > goal + 0.1) }'; }
if over "$list_cost" 5; then echo "FAIL list asks $list_cost requests per window, more than 5" >&2; failed=1; fi
if over "$long_cost" 7; then echo "FAIL list --long asks $long_cost requests per window, more than 7" >&2; failed=1; fi
if over "$watch_cost" 5; then echo "FAIL a watch listing asks $watch_cost requests per window, more than 5" >&2; failed=1; fi
if over "$keep_cost" 3; then echo "FAIL an idle keep asks $keep_cost requests per window and second, more than 3" >&2; failed=1; fi
if over "$border_cost" 6; then echo "FAIL a bordered keep asks $border_cost requests per pinned window and second, more than 6" >&2; failed=1; fi
[ "$failed" = 0 ] || die "a listing or keep asks the system more than it needs: see the calls per window in src/kestal/window_list.cpp, and keep's intervals in src/keep/keep.cpp and src/keep/keep_border.cpp"
echo "PASS"
