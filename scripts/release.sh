#!/bin/sh
# The one release command. Builds the linux, linux-arm64, windows-x86 and
# windows-x64 presets, runs their tests in those same build trees (the 32-bit ones in a
# VM where this machine runs no 32-bit programs), and only when all pass
# packs what they built into dist/ (scripts/pack.sh):
#   chanpipe-VERSION-windows.zip     chanpipe.exe (32-bit x86, the program
#                                    for every Windows from XP on),
#                                    chanpipe-x64.exe (64-bit, for 64-bit
#                                    Windows without the 32-bit subsystem),
#                                    README.md, the self-test kit and
#                                    chanpipe-host
#   chanpipe_VERSION_amd64.deb       the Debian package for Linux guests
#   chanpipe-VERSION-linux-x86_64    the static Linux program, plain
#   chanpipe_VERSION_arm64.deb       the same two for arm64 guests (its
#   chanpipe-VERSION-linux-aarch64   tests ran on an arm64 QEMU guest)
#   chanpipe-selftest-VERSION.sh     the self-test kit's Linux guest side
#   chanpipe-host_VERSION_all.deb    the host side (python3)
#   chanpipe-VERSION-x86.msi         Windows Installer packages: chanpipe
#   chanpipe-VERSION-x64.msi         on the PATH by one silent command
#   SHA256SUMS
# A second run on the same commit gives the same bytes.
#   scripts/release.sh
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh

mkdir -p build
for preset in linux linux-arm64 windows-x86 windows-x64; do
  echo "=== $preset"
  cmake --preset "$preset" >"build/configure-$preset.log" 2>&1 ||
    { cat "build/configure-$preset.log" >&2; exit 1; }
  cmake --build --preset "$preset" -j 2
done
# What is packed is what passed, in the same build trees.
for preset in linux linux-arm64 windows-x86 windows-x64; do
  echo "=== tests of $preset"
  ctest --preset "$preset" -j 2 ||
    { echo "release: the tests of $preset failed; nothing packed" >&2; exit 1; }
done
# The shipped chanpipe.exe must have run, not been skipped: where this
# machine runs no 32-bit programs, its 32-bit tests run in a VM whose kernel
# does, on the same build trees.
scripts/test-32bit.sh build/windows-x86 build/windows-x64 ||
  { echo "release: the 32-bit tests did not all run and pass; nothing packed" >&2; exit 1; }

rm -rf dist
scripts/pack.sh -a build/linux-arm64 dist build/linux build/windows-x86 build/windows-x64
unzip -l dist/chanpipe-*-windows.zip
cat dist/SHA256SUMS
for msi in dist/chanpipe-*.msi; do
  echo "$msi:" && msiinfo suminfo "$msi" | sed 's/^/  /'
done
