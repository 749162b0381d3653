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

set_prefix_dpi 144
KESTAL_SCALED_SCREEN=1 exec "$tools/winrun" "$bin/$suite" --gtest_filter='ScaledScreen.*'
