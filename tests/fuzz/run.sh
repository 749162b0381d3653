#!/usr/bin/env bash
# Builds the json_field fuzz target natively with clang (libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) and runs it:
#   tests/fuzz/run.sh [SECONDS]      default 60
# A longer run, for example before a release, keeps its corpus between runs:
#   tests/fuzz/run.sh 3600
# Crashing inputs land in build/fuzz/artifacts; replay one with
#   build/fuzz/json_field_fuzz build/fuzz/artifacts/crash-...
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/common.sh"

SECONDS_TO_RUN=${1:-60}
[[ $SECONDS_TO_RUN =~ ^[0-9]+$ ]] || die "usage: tests/fuzz/run.sh [SECONDS]"
OUT=$KESTAL_ROOT/build/fuzz
FUZZ_DIR=$KESTAL_ROOT/tests/fuzz
CXX=${CXX_FUZZ:-clang++}
command -v "$CXX" >/dev/null || die "$CXX is missing: run tools/setup (it installs clang)"
mkdir -p "$OUT/corpus" "$OUT/artifacts"

step "building json_field_fuzz with $($CXX --version | head -n 1)"
"$CXX" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I "$KESTAL_ROOT/src/cli" "$FUZZ_DIR/json_field_fuzz.cpp" "$KESTAL_ROOT/src/cli/json_field.cpp" \
  -o "$OUT/json_field_fuzz" || die "the fuzz target did not build: fix the errors above"

# Seeds: real listing shapes, split into text, handle and member at NUL.
seed() { printf "$2" >"$OUT/corpus/seed-$1"; }
seed pinned '[{"hwnd":65644,"title":"a","exe":"b.exe","pinned":true,"opacity":100}]\x0065644\x00"pinned"'
seed opacity '[{"hwnd":656441,"pinned":false,"opacity":60},{"hwnd":65644,"opacity":-7}]\x0065644\x00"opacity"'
seed string '[{"hwnd":-12,"title":"x"}]\x00-12\x00"title"'
seed unclosed '{"hwnd":1,"opacity": \t 99999999999\x001\x00"opacity"'

step "fuzzing for $SECONDS_TO_RUN s (corpus $OUT/corpus)"
"$OUT/json_field_fuzz" -max_total_time="$SECONDS_TO_RUN" -print_final_stats=1 -dict="$FUZZ_DIR/json_field.dict" \
  -artifact_prefix="$OUT/artifacts/" "$OUT/corpus" \
  || die "the fuzzer found a failing input: see $OUT/artifacts and replay it as the header of this script shows"
step "no failure in $SECONDS_TO_RUN s"
