# Shared by the tools: paths, progress lines, and the Wine environment.
# shellcheck shell=bash

KESTAL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KESTAL_WORK=${KESTAL_WORK:-$KESTAL_ROOT/.work}
export WINEPREFIX=${KESTAL_WINEPREFIX:-$KESTAL_WORK/wine}
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
KESTAL_DISPLAY=${KESTAL_DISPLAY:-:87}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64

step() { printf '==> %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

display_up() { DISPLAY=$KESTAL_DISPLAY xdpyinfo >/dev/null 2>&1; }

ensure_display() {
  display_up && return 0
  command -v Xvfb >/dev/null || die "Xvfb is missing: run tools/setup first"
  mkdir -p "$KESTAL_WORK"
  setsid nohup Xvfb "$KESTAL_DISPLAY" -screen 0 1280x1024x24 -nolisten tcp \
    >"$KESTAL_WORK/xvfb.log" 2>&1 </dev/null &
  for _ in $(seq 100); do
    display_up && return 0
    sleep 0.1
  done
  die "Xvfb did not come up on $KESTAL_DISPLAY: see $KESTAL_WORK/xvfb.log, or pick another display with KESTAL_DISPLAY"
}

# The prefix is made once. A crash must end the process at once: without a
# debugger entry Wine terminates a crashing program instead of starting
# winedbg, which would wait for ever.
ensure_prefix() {
  [ -f "$WINEPREFIX/.kestal-ready" ] && return 0
  [ -x "$WINE" ] || die "Wine is missing: run tools/setup first"
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.kestal-ready" ]; then
    step "creating the Wine prefix $WINEPREFIX (once)"
    WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= "$WINE" wineboot --init >/dev/null 2>&1 \
      || die "wineboot failed: remove $WINEPREFIX and run again"
    DISPLAY= "$WINE" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
      >/dev/null 2>&1 || true
    DISPLAY= "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 \
      || die "could not write the crash settings into $WINEPREFIX: remove it and run again"
    "$WINESERVER" -w
    touch "$WINEPREFIX/.kestal-ready"
  fi
  flock -u 9
}

# One persistent wineserver per prefix keeps each run's start-up short.
ensure_server() {
  "$WINESERVER" -p >/dev/null 2>&1 || true
}
