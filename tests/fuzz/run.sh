#!/usr/bin/env bash
# Builds the fuzz targets natively with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for half of the given time:
#   tests/fuzz/run.sh [SECONDS]      default 60
#   json_field_fuzz     the self-test's read-back probe on any text
#   listing_json_fuzz   the listing's JSON writer, read back by a strict
#                       reader and by the probe
# A longer run, for example before a release, keeps its corpora between runs:
#   tests/fuzz/run.sh 3600
# Crashing inputs land in build/fuzz/artifacts; replay one with
#   build/fuzz/TARGET build/fuzz/artifacts/crash-...
# The writer needs yyjson's source, which `tools/setup --deps` unpacks.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/common.sh"

SECONDS_TO_RUN=${1:-60}
[[ $SECONDS_TO_RUN =~ ^[0-9]+$ ]] && [ "$SECONDS_TO_RUN" -ge 2 ] || die "usage: tests/fuzz/run.sh [SECONDS (2 or more)]"
OUT=$KESTAL_ROOT/build/fuzz
FUZZ_DIR=$KESTAL_ROOT/tests/fuzz
CXX=${CXX_FUZZ:-clang++}
CC=${CC_FUZZ:-clang}
command -v "$CXX" >/dev/null && command -v "$CC" >/dev/null || die "$CXX or $CC is missing: run tools/setup (it installs clang)"
[ -f "$YYJSON_SOURCE/src/yyjson.c" ] || die "yyjson's source is missing in $YYJSON_SOURCE: run tools/setup --deps"
mkdir -p "$OUT/artifacts"
SANITIZE=(-g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)

step "building the fuzz targets with $($CXX --version | head -n 1)"
"$CC" "${SANITIZE[@]/-fsanitize=fuzzer,/-fsanitize=fuzzer-no-link,}" -c "$YYJSON_SOURCE/src/yyjson.c" \
  -o "$OUT/yyjson.o" || die "yyjson did not build for fuzzing: fix the errors above"
"$CXX" -std=c++20 "${SANITIZE[@]}" -I "$KESTAL_ROOT/src/cli" "$FUZZ_DIR/json_field_fuzz.cpp" \
  "$KESTAL_ROOT/src/cli/json_field.cpp" -o "$OUT/json_field_fuzz" \
  || die "json_field_fuzz did not build: fix the errors above"
"$CXX" -std=c++20 "${SANITIZE[@]}" -I "$KESTAL_ROOT/src/cli" -I "$KESTAL_ROOT/src/kestal" -I "$KESTAL_ROOT/src/common" -I "$KESTAL_ROOT/include" \
  -I "$YYJSON_SOURCE/src" \
  "$FUZZ_DIR/listing_json_fuzz.cpp" "$KESTAL_ROOT/src/kestal/listing_json.cpp" "$KESTAL_ROOT/src/cli/json_field.cpp" \
  "$OUT/yyjson.o" -o "$OUT/listing_json_fuzz" || die "listing_json_fuzz did not build: fix the errors above"

# Seeds for the probe: real listing shapes, split into text, handle and member at NUL.
mkdir -p "$OUT/corpus" "$OUT/corpus-listing"
seed() { printf "$2" >"$OUT/corpus/seed-$1"; }
seed pinned '[{"hwnd":65644,"title":"a","exe":"b.exe","pinned":true,"opacity":100}]\x0065644\x00"pinned"'
seed opacity '[{"hwnd":656441,"pinned":false,"opacity":60},{"hwnd":65644,"opacity":-7}]\x0065644\x00"opacity"'
seed string '[{"hwnd":-12,"title":"x"}]\x00-12\x00"title"'
seed unclosed '{"hwnd":1,"opacity": \t 99999999999\x001\x00"opacity"'
seed braces '[{"hwnd":9,"title":"a}\\"pinned\\":1","exe":"{}","pinned":true,"opacity":61}]\x009\x00"pinned"'

fuzz() {
  local target=$1 corpus=$2 seconds=$3
  shift 3
  step "fuzzing $target for $seconds s (corpus $corpus)"
  "$OUT/$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$OUT/artifacts/" "$@" "$corpus" \
    || die "$target found a failing input: see $OUT/artifacts and replay it as the header of this script shows"
}
fuzz json_field_fuzz "$OUT/corpus" $((SECONDS_TO_RUN / 2)) -dict="$FUZZ_DIR/json_field.dict"
fuzz listing_json_fuzz "$OUT/corpus-listing" $((SECONDS_TO_RUN - SECONDS_TO_RUN / 2))
step "no failure in $SECONDS_TO_RUN s"
