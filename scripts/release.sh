#!/bin/sh
# Builds both Windows programs and packs them with the README into
#   dist/chanpipe-VERSION-windows.zip
# holding chanpipe.exe (32-bit x86, the program for every Windows from XP
# on), chanpipe-x64.exe (64-bit, for 64-bit Windows without the 32-bit
# subsystem) and README.md. The zip is the same, byte for byte, for the same
# commit and the same programs: fixed file order, modes and times (those of
# the last commit), no extra attributes.
#   scripts/release.sh
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh

version=$(sed -n 's/^project(chanpipe VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release: no version in CMakeLists.txt" >&2; exit 1; }

mkdir -p build
for preset in windows-x86 windows-x64; do
  cmake --preset "$preset" >"build/configure-$preset.log" 2>&1 ||
    { cat "build/configure-$preset.log" >&2; exit 1; }
  cmake --build --preset "$preset" -j 2 --target chanpipe
done

x86=build/windows-x86/chanpipe.exe
x64=build/windows-x64/chanpipe.exe
# Each program must be the one its name says.
i686-w64-mingw32-objdump -f "$x86" | grep -q 'file format pei-i386' ||
  { echo "release: $x86 is not a 32-bit x86 program" >&2; exit 1; }
x86_64-w64-mingw32-objdump -f "$x64" | grep -q 'file format pei-x86-64' ||
  { echo "release: $x64 is not a 64-bit x86-64 program" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$x86" "$stage/chanpipe.exe"
cp "$x64" "$stage/chanpipe-x64.exe"
cp README.md "$stage/README.md"
epoch=$(git log -1 --format=%ct 2>/dev/null || date +%s)
chmod 644 "$stage"/*
touch -d "@$epoch" "$stage"/*

mkdir -p dist
zip_path=$PWD/dist/chanpipe-$version-windows.zip
rm -f "$zip_path"
(cd "$stage" && TZ=UTC zip -q -X -D "$zip_path" chanpipe.exe chanpipe-x64.exe README.md)
unzip -l "$zip_path"
echo "$(wc -c <"$zip_path") bytes: $zip_path"
