#!/usr/bin/env bash
# A Release build of kestal-cli in a build folder of its own, as README says
# to make one: the exe is stripped of its DWARF sections and points at the
# separate file that keeps them, and the archive holds exactly the exe and
# kestalw.exe, the header, README, LICENSE and their SHA-256 sums, which
# check out.
#   release_archive_test.sh SOURCE_DIR WORK_DIR GENERATOR TOOLCHAIN_FILE PREFIX_PATH OBJDUMP OBJCOPY VERSION
set -euo pipefail
source_dir=$1 work=$2 generator=$3 toolchain=$4 prefix_path=$5 objdump=$6 objcopy=$7 version=$8
build=$work/build
failures=0
fail() { echo "FAIL $*" >&2; failures=$((failures + 1)); }

# The Wine 10 run shares the build tree but runs in a chroot that holds Wine
# and no compilers. What this test checks is made by the build machine alone,
# whichever Wine runs the rest, so there it says so and counts as skipped.
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "skipped: no mingw-w64 compiler on this machine to make a Release build with; the build machine's own" \
    "run (tools/test) makes and checks it, and nothing in it depends on the Wine version"
  exit 77
fi

rm -rf "$work"
mkdir -p "$work"
echo "building a Release kestal-cli in $build"
{ cmake -S "$source_dir" -B "$build" -G "$generator" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_PREFIX_PATH="$prefix_path" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  && cmake --build "$build" --target kestal-cli kestalw \
  && (cd "$build" && cpack); } >"$work/build.log" 2>&1 \
  || { cat "$work/build.log" >&2; echo "the Release build or cpack failed: see above" >&2; exit 1; }

exe=$build/bin/kestal-cli.exe
sections() { "$objdump" -h "$1" | awk '$1 ~ /^[0-9]+$/ {print $2}'; }
if sections "$exe" | grep -q '^\.debug_'; then
  fail "the Release exe carries DWARF sections: $(sections "$exe" | grep '^\.debug_' | tr '\n' ' ')"
fi
sections "$exe.debug" | grep -qx '\.debug_info' || fail "kestal-cli.exe.debug holds no .debug_info"
# The link section holds the file name, NUL padding and a CRC.
"$objcopy" --dump-section .gnu_debuglink="$work/debuglink" "$exe" "$work/scratch.exe" 2>/dev/null || true
link=$(tr '\0' '\n' <"$work/debuglink" 2>/dev/null | head -n 1 || true)
[ "$link" = kestal-cli.exe.debug ] || fail "the Release exe has no debug link to kestal-cli.exe.debug"

archive=$build/kestal-cli-$version-win64.zip
top=kestal-cli-$version-win64
mkdir -p "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$archive") || { echo "cannot unpack $archive" >&2; exit 1; }
listed=$(cd "$work/unpacked" && find . -type f | sort | tr '\n' ' ')
expected="./$top/LICENSE ./$top/README.md ./$top/SHA256SUMS ./$top/include/kestal.h ./$top/kestal-cli.exe ./$top/kestalw.exe "
[ "$listed" = "$expected" ] || fail "the archive holds [$listed], expected [$expected]"
(cd "$work/unpacked/$top" && sha256sum --strict -c SHA256SUMS >/dev/null) || fail "SHA256SUMS does not check out"
[ "$(wc -l <"$work/unpacked/$top/SHA256SUMS")" = 5 ] || fail "SHA256SUMS does not list exactly five files"
cmp -s "$exe" "$work/unpacked/$top/kestal-cli.exe" || fail "the archive's exe is not the stripped build"

[ "$failures" = 0 ] || { echo "$failures check(s) failed: see the lines above" >&2; exit 1; }
echo "PASS: stripped Release exe, debug file with its link, archive $archive with verified sums"
