#!/usr/bin/env bash
# tools/setup with KESTAL_WORK set to a folder outside the checkout: the
# dependencies are looked for where they were built, in $KESTAL_WORK/deps,
# and the preset's configure finds them there. It runs on a copy of the
# sources without a .work folder of its own, whose work folder's deps are
# the build's own (a link: nothing is built again).
#   work_folder_test.sh SOURCE_DIR DEPS_DIR SCRATCH_DIR
set -euo pipefail
source_dir=$1 deps=$2 scratch=$3

# The Wine 10 run shares the build tree but runs in a chroot without the
# build machine's packages, which tools/setup would install; what this test
# checks does not depend on the Wine version.
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "skipped: no mingw-w64 compiler on this machine; the build machine's own run (tools/test) checks the set-up"
  exit 77
fi

rm -rf "$scratch"
mkdir -p "$scratch/work" "$scratch/source"
ln -s "$deps" "$scratch/work/deps"
tar -C "$source_dir" --exclude=./.work --exclude=./build --exclude=./.git -cf - . | tar -C "$scratch/source" -xf -

# A relative KESTAL_WORK is the same folder for every tool, whichever folder it runs in.
cd "$scratch"
KESTAL_WORK=work "$scratch/source/tools/setup" --deps >"$scratch/setup.log" 2>&1 \
  || { cat "$scratch/setup.log" >&2; echo "FAIL tools/setup --deps with KESTAL_WORK set failed: see above" >&2; exit 1; }
(cd "$scratch/source" && KESTAL_WORK=../work cmake --preset mingw) >"$scratch/configure.log" 2>&1 \
  || { tail -n 30 "$scratch/configure.log" >&2; echo "FAIL the preset's configure did not find the dependencies in \$KESTAL_WORK/deps/mingw" >&2; exit 1; }
found=$(grep -E '^(yyjson_DIR|GTest_DIR)[:=]' "$scratch/source/build/mingw/CMakeCache.txt")
echo "$found"
while read -r line; do
  case ${line#*=} in
    "$scratch/work/deps/mingw/"*) ;;
    *) echo "FAIL found outside \$KESTAL_WORK/deps/mingw: $line" >&2; exit 1 ;;
  esac
done <<<"$found"
[ "$(grep -c . <<<"$found")" = 2 ] || { echo "FAIL yyjson or GoogleTest was not found" >&2; exit 1; }
rm -rf "$scratch"
echo "ok: tools/setup and the preset agree on \$KESTAL_WORK/deps"
