#!/usr/bin/env bash
# The verbs and the long listing, or keep's borders, on a screen at 150 %
# (144 DPI), in a Wine prefix of its own: the DPI is read once, when the
# prefix's programs start, so the prefix is set to 144 and its server
# restarted before the test runs. The suite's ScaledScreen cases run there.
#   scaled_screen_test.sh BIN_DIR [SUITE.exe]   (verb_tests.exe by default)
set -euo pipefail
bin=$1
suite=${2:-verb_tests.exe}
export KESTAL_PREFIX_VARIANT=dpi144
tools=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools" && pwd)
source "$tools/common.sh"
export DISPLAY=$KESTAL_DISPLAY
ensure_display
ensure_prefix

# Wine reads the DPI from the user's desktop settings, and older versions
# from the current hardware profile's fonts: both say 144.
keys=('HKCU\Control Panel\Desktop' 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts')
if ! "$WINE" reg query "${keys[0]}" /v LogPixels 2>/dev/null | tr -d '\r' | grep -q '0x90$'; then
  step "setting $WINEPREFIX to 144 DPI"
  for key in "${keys[@]}"; do
    "$WINE" reg add "$key" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1 \
      || die "could not set LogPixels in $WINEPREFIX: remove it and run again"
  done
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w
fi
KESTAL_SCALED_SCREEN=1 exec "$tools/winrun" "$bin/$suite" --gtest_filter='ScaledScreen.*'
