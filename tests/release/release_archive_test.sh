#!/usr/bin/env bash
# A Release build of kestal-cli in a build folder of its own, as README says
# to make one: the exe is stripped of its DWARF sections and points at the
# separate file that keeps them, and the archive holds exactly the exe and
# kestalw.exe, the header, README, LICENSE, the reference in docs/ and their
# SHA-256 sums, which check out; every link of README and the reference
# leads to a file in the archive, and an anchor to one of its headings.
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
listed=$(cd "$work/unpacked" && find . -type f | LC_ALL=C sort | tr '\n' ' ')
docs=$(cd "$source_dir" && find docs -maxdepth 1 -type f | LC_ALL=C sort)
[ -n "$docs" ] || { echo "no files in $source_dir/docs" >&2; exit 1; }
expected=$( { printf '%s\n' LICENSE README.md SHA256SUMS include/kestal.h kestal-cli.exe kestalw.exe; echo "$docs"; } |
  sed "s|^|./$top/|" | LC_ALL=C sort | tr '\n' ' ')
[ "$listed" = "$expected" ] || fail "the archive holds [$listed], expected [$expected]"
root=$work/unpacked/$top
(cd "$root" && sha256sum --strict -c SHA256SUMS >/dev/null) || fail "SHA256SUMS does not check out"
summed=$(( 5 + $(echo "$docs" | wc -l) ))
[ "$(wc -l <"$root/SHA256SUMS")" = "$summed" ] || fail "SHA256SUMS does not list exactly the $summed files beside it"
cmp -s "$exe" "$root/kestal-cli.exe" || fail "the archive's exe is not the stripped build"

# The anchors of a Markdown file's headings, as GitHub makes them.
anchors() { sed -nE 's/^#{1,6} +//p' "$1" | tr '[:upper:]' '[:lower:]' | sed -E 's/[^a-z0-9 _-]//g; s/ /-/g'; }
root=$(realpath "$root")
readme_links=0
while IFS= read -r page; do
  shown=${page#"$root"/}
  while IFS= read -r link; do
    case $link in http://* | https://* | mailto:*) continue ;; esac
    [ "$shown" = README.md ] && readme_links=$((readme_links + 1))
    path=${link%%#*}
    anchor=
    [[ $link == *"#"* ]] && anchor=${link#*#}
    target=$page
    [ -n "$path" ] && target=$(realpath -m "$(dirname "$page")/$path")
    if [[ $target != "$root"/* ]] || [ ! -f "$target" ]; then
      fail "$shown links to $link, which the archive does not hold"
    elif [ -n "$anchor" ] && ! anchors "$target" | grep -qxF -- "$anchor"; then
      fail "$shown links to $link, but ${target#"$root"/} has no heading for #$anchor"
    fi
  done < <(grep -oE '\]\([^)[:space:]]+\)' "$page" | sed -E 's/^\]\((.*)\)$/\1/')
done < <(find "$root" -name '*.md' | LC_ALL=C sort)
[ "$readme_links" -gt 0 ] || fail "README.md in the archive has no links to check"

[ "$failures" = 0 ] || { echo "$failures check(s) failed: see the lines above" >&2; exit 1; }
echo "PASS: stripped Release exe, debug file with its link, archive $archive with the reference, verified sums" \
  "and $readme_links links of README that lead inside it"
