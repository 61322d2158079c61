#!/bin/sh
# A release reproduces byte for byte. Packs once from this linux build and
# from arm64 and Windows builds of the test's own; then builds all four
# programs a second time, from a copy of the sources in another folder, and packs
# again. Every artefact, and each program before packing, must be the same.
#   repro.sh LINUX-BUILD WORK
set -u
build=$(cd "$1" && pwd) work=$2
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
# Both packs take their times from the same commit.
SOURCE_DATE_EPOCH=$(git -C "$source_dir" log -1 --format=%ct) || {
  echo "FAIL: no git history in $source_dir"
  exit 1
}
export SOURCE_DATE_EPOCH

# build SOURCE PRESET FOLDER: the shipped program and its documents only.
build() {
  cmake -S "$1" --preset "$2" -B "$3" -DCHANPIPE_TESTS=OFF >"$3.log" 2>&1 &&
    cmake --build "$3" -j 2 >>"$3.log" 2>&1 || {
    cat "$3.log"
    echo "FAIL: cannot build $2 in $3"
    exit 1
  }
}

build "$source_dir" windows-x86 "$work/a-windows-x86"
build "$source_dir" windows-x64 "$work/a-windows-x64"
build "$source_dir" linux-arm64 "$work/a-linux-arm64"
"$source_dir/scripts/pack.sh" -a "$work/a-linux-arm64" "$work/a" "$build" "$work/a-windows-x86" \
  "$work/a-windows-x64" ||
  { echo "FAIL: first pack"; exit 1; }

# The sources as they are now, tracked files only, at another path, built
# in another time zone.
export TZ=XYZ-13
mkdir "$work/src"
(cd "$source_dir" && git ls-files -z | tar --null -T - -cf - 2>/dev/null) | tar -xf - -C "$work/src"
for preset in linux linux-arm64 windows-x86 windows-x64; do
  build "$work/src" "$preset" "$work/b-$preset"
done
"$work/src/scripts/pack.sh" -a "$work/b-linux-arm64" "$work/b" "$work/b-linux" "$work/b-windows-x86" \
  "$work/b-windows-x64" ||
  { echo "FAIL: second pack"; exit 1; }

# The programs first, so that a difference says where it comes from.
for pair in "$build/chanpipe $work/b-linux/chanpipe" \
  "$work/a-linux-arm64/chanpipe $work/b-linux-arm64/chanpipe" \
  "$work/a-windows-x86/chanpipe.exe $work/b-windows-x86/chanpipe.exe" \
  "$work/a-windows-x64/chanpipe.exe $work/b-windows-x64/chanpipe.exe"; do
  # shellcheck disable=SC2086 # two paths without spaces
  cmp $pair >/dev/null || fail "the second build differs: $(cmp $pair 2>&1)"
done
(cd "$work/a" && ls) >"$work/a.list"
(cd "$work/b" && ls) >"$work/b.list"
cmp -s "$work/a.list" "$work/b.list" ||
  fail "the packs differ in their files: $(tr '\n' ' ' <"$work/a.list") / $(tr '\n' ' ' <"$work/b.list")"
[ "$(wc -l <"$work/a.list")" -eq 10 ] || fail "expected 9 artefacts and SHA256SUMS: $(tr '\n' ' ' <"$work/a.list")"
while read -r f; do
  if cmp -s "$work/a/$f" "$work/b/$f"; then
    echo "same: $f ($(wc -c <"$work/a/$f") bytes)"
  else
    fail "$f differs between the two packs"
  fi
done <"$work/a.list"
(cd "$work/a" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match the files"

[ "$failures" -eq 0 ] || exit 1
echo "release reproduced byte for byte"
