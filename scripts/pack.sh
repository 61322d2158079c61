#!/bin/sh
# Packs what a release ships, from finished build trees, into OUT:
#   chanpipe_VERSION_amd64.deb       the Debian package (CPack, linux build)
#   chanpipe-VERSION-linux-x86_64    the same static program, for guests
#                                    without dpkg
#   chanpipe_VERSION_arm64.deb       the same two for arm64 guests, from a
#   chanpipe-VERSION-linux-aarch64   linux-arm64 build (-a)
#   chanpipe-selftest-VERSION.sh     the self-test kit's Linux guest side
#   chanpipe-host_VERSION_all.deb    the host side, chanpipe-host
#   chanpipe-VERSION-windows.zip     chanpipe.exe, chanpipe-x64.exe, the
#                                    README, the self-test kit and
#                                    chanpipe-host
#   chanpipe-VERSION-x86.msi         the Windows Installer packages that
#   chanpipe-VERSION-x64.msi         the Windows builds made, with the zip
#   SHA256SUMS                       over the files above
# The zip is made only when both Windows builds are given. The same builds
# of the same commit pack to the same bytes: every time stored is
# SOURCE_DATE_EPOCH (the last commit's, unless set), entries are sorted,
# modes fixed, and no name, owner or time of the build machine goes in.
#   scripts/pack.sh [-a LINUX-ARM64-BUILD] OUT LINUX-BUILD [WINDOWS-X86-BUILD WINDOWS-X64-BUILD]
# LINUX-BUILD is the linux preset's, or linux-arm64's alone (the package
# test packs that one by itself).
# scripts/release.sh builds, tests and then calls this.
set -eu
absolute() { (cd "$1" && pwd); }
arm64=""
if [ "${1:-}" = -a ]; then
  [ $# -ge 2 ] || { echo "pack.sh: -a needs a build" >&2; exit 2; }
  arm64=$(absolute "$2")
  shift 2
fi
[ $# -eq 2 ] || [ $# -eq 4 ] || {
  echo "usage: pack.sh [-a LINUX-ARM64-BUILD] OUT LINUX-BUILD [WINDOWS-X86-BUILD WINDOWS-X64-BUILD]" >&2
  exit 2
}
mkdir -p "$1"
out=$(absolute "$1") linux=$(absolute "$2")
x86="" x64=""
if [ $# -eq 4 ]; then x86=$(absolute "$3") x64=$(absolute "$4"); fi
cd "$(dirname "$0")/.."
umask 022
fail() { echo "pack: $*" >&2; exit 1; }

version=$(sed -n 's/^project(chanpipe VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt"
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    fail "no commit to take the time from: set SOURCE_DATE_EPOCH"
fi
export SOURCE_DATE_EPOCH

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# linux_artefacts BUILD [ARCH]: the plain static program and the Debian
# package of a Linux build, named by the program's architecture (which must
# be ARCH when given); adds them to $made.
made=""
linux_artefacts() {
  program=$1/chanpipe
  machine=$(readelf -h "$program" 2>/dev/null | sed -n 's/^ *Machine: *//p')
  case $machine in
    "Advanced Micro Devices X86-64") arch=x86_64 debarch=amd64 ;;
    AArch64) arch=aarch64 debarch=arm64 ;;
    *) fail "$program is not an x86-64 or aarch64 program (${machine:-no ELF header})" ;;
  esac
  [ -z "${2:-}" ] || [ "$2" = $arch ] || fail "$program is an $arch program, not $2"
  ! readelf -l "$program" | grep -q 'INTERP' || fail "$program is not linked statically"
  plain=chanpipe-$version-linux-$arch
  cp "$program" "$stage/$plain"
  chmod 755 "$stage/$plain"

  # The Debian package, from the same build.
  [ -f "$1/CPackConfig.cmake" ] || fail "$1 has no package configuration (the linux presets have)"
  rm -rf "$stage/cpack"
  cpack --config "$1/CPackConfig.cmake" -B "$stage/cpack" >"$stage/cpack.log" 2>&1 ||
    { cat "$stage/cpack.log" >&2; fail "cpack failed"; }
  deb=chanpipe_${version}_$debarch.deb
  [ -f "$stage/cpack/$deb" ] || fail "cpack made no $deb: $(ls "$stage/cpack")"
  mv "$stage/cpack/$deb" "$stage/$deb"
  made="$made $deb $plain"
}
linux_artefacts "$linux"
[ -z "$arm64" ] || linux_artefacts "$arm64" aarch64

# The kit's Linux guest side, beside the plain program.
script=chanpipe-selftest-$version.sh
cp selftest/chanpipe-selftest.sh "$stage/$script"
chmod 755 "$stage/$script"
# The host side, in a package of its own (it needs python3), with the
# Debian package's maintainer.
maintainer=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_MAINTAINER "\(.*\)")$/\1/p' "$linux/CPackConfig.cmake")
[ -n "$maintainer" ] || fail "no maintainer in $linux/CPackConfig.cmake"
host_deb=chanpipe-host_${version}_all.deb
packaging/chanpipe-host-deb.sh "$stage/$host_deb" "$version" "$maintainer"
made="$made $script $host_deb"

if [ -n "$x86" ]; then
  # Each Windows program must be the one its name says.
  i686-w64-mingw32-objdump -f "$x86/chanpipe.exe" | grep -q 'file format pei-i386' ||
    fail "$x86/chanpipe.exe is not a 32-bit x86 program"
  x86_64-w64-mingw32-objdump -f "$x64/chanpipe.exe" | grep -q 'file format pei-x86-64' ||
    fail "$x64/chanpipe.exe is not a 64-bit x86-64 program"
  mkdir "$stage/zip"
  cp "$x86/chanpipe.exe" "$stage/zip/chanpipe.exe"
  cp "$x64/chanpipe.exe" "$stage/zip/chanpipe-x64.exe"
  cp README.md "$stage/zip/README.md"
  # The self-test kit goes next to the programs, the host side's modules
  # flat beside it, and chanpipe-host, which uses them too; cp keeps the
  # batch file's CR LF line ends.
  for kit in selftest/chanpipe-selftest.cmd selftest/chanpipe-selftest-host.py host/chanpipe_qmp.py \
    host/chanpipe_port.py host/chanpipe_libvirt.py host/chanpipe-host; do
    [ -f "$kit" ] || fail "no $kit"
    cp "$kit" "$stage/zip/"
  done
  chmod 644 "$stage/zip"/*
  touch -d "@$SOURCE_DATE_EPOCH" "$stage/zip"/*
  zip=chanpipe-$version-windows.zip
  # zip stores local times: in UTC they are the same everywhere. -X leaves
  # out owners and the extra time fields.
  (cd "$stage/zip" && LC_ALL=C ls | TZ=UTC zip -q -X -D -@ "$stage/$zip")
  made="$made $zip"

  # The Windows Installer packages as the build trees made and tested them,
  # each holding that tree's program, and storing this pack's time.
  for arch in x86 x64; do
    if [ $arch = x86 ]; then tree=$x86; else tree=$x64; fi
    msi=chanpipe-$version-$arch.msi
    [ -f "$tree/$msi" ] || fail "no $tree/$msi: build the windows-$arch preset"
    [ "$(cat "$tree/msi-epoch")" = "$SOURCE_DATE_EPOCH" ] ||
      fail "$tree/$msi stores the time $(cat "$tree/msi-epoch"), not $SOURCE_DATE_EPOCH: build it again"
    msiextract -C "$stage/msi-$arch" "$tree/$msi" >/dev/null || fail "cannot read $tree/$msi"
    cmp -s "$(find "$stage/msi-$arch" -name chanpipe.exe)" "$tree/chanpipe.exe" ||
      fail "$tree/$msi does not hold $tree/chanpipe.exe: build it again"
    cp "$tree/$msi" "$stage/$msi"
    made="$made $msi"
  done
fi

for f in $made; do
  touch -d "@$SOURCE_DATE_EPOCH" "$stage/$f"
  rm -f "$out/$f"
  mv "$stage/$f" "$out/$f"
done
# shellcheck disable=SC2086 # the names have no spaces
(cd "$out" && LC_ALL=C sha256sum $(echo $made | tr ' ' '\n' | LC_ALL=C sort) >SHA256SUMS)
echo "pack: $out (version $version, times from $SOURCE_DATE_EPOCH)"
(cd "$out" && for f in $made SHA256SUMS; do printf '  %9d  %s\n' "$(wc -c <"$f")" "$f"; done)
