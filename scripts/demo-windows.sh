#!/bin/sh
# chanpipe.exe end to end under Wine, from a fresh Debian machine:
#
#   scripts/demo-windows.sh
#
# Installs what is missing (apt-get), builds chanpipe.exe and the simulated
# virtio-serial port driver (a test fixture of ours), installs the driver
# and its ports into a private Wine prefix, and runs chanpipe.exe through
# the ports: a message each way, a name no port has, and 8 MiB each way
# compared by sha256. Exit status 0 when everything went as it should.
#
# The program is the one users run: the shipped 32-bit chanpipe.exe
# (windows-x86 preset), in a 64-bit prefix with the x64 driver, as on
# 64-bit Windows (WoW64). Where this machine runs no 32-bit programs, it is
# the 64-bit build (windows-x64 preset) instead, and the demo says so.
set -eu
cd "$(dirname "$0")/.."
root=$PWD

step() { printf '\n== %s\n' "$*"; }

step "Host packages"
packages="cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-i686-dev
  mingw-w64-x86-64-dev googletest wine64 wine64-preloader wine32:i386 wine32-preloader:i386 python3"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
    missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing$missing"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing \
    >/dev/null
fi
wine_version=$(/usr/lib/wine/wine64 --version 2>/dev/null || wine64 --version)
echo "$wine_version, $(cmake --version | head -n 1)"

step "Which chanpipe.exe"
if why=$(sh scripts/probe-32bit.sh "$root/build/windows-x86/wineprefix-win32"); then
  preset=windows-x86
  echo "32-bit programs run here: the shipped 32-bit chanpipe.exe, under WoW64"
else
  preset=windows-x64
  echo "$why"
  echo "So the 64-bit chanpipe.exe stands in for the shipped 32-bit one."
fi
build=$root/build/$preset

step "Building chanpipe.exe, the x64 port driver and its tools ($preset preset)"
mkdir -p "$build"
cmake --preset $preset >"$build/demo-configure.log" 2>&1 ||
  { cat "$build/demo-configure.log"; exit 1; }
cmake --build --preset $preset -j 2 --target chanpipe simport_x64 \
  >"$build/demo-build.log" 2>&1 || { tail -n 30 "$build/demo-build.log"; exit 1; }
tools=$build/simport/x64
ls "$build/chanpipe.exe" "$tools/chanpipe_simport.sys"

# The prefix of that build's end-to-end tests on x64 ports: once made, the
# tests and the demo share it.
if [ $preset = windows-x86 ]; then
  prefix=$build/wineprefix-wow64-driver
else
  prefix=$build/wineprefix-driver
fi
simport() {
  python3 "$root/simport/simport.py" --chanpipe "$build/chanpipe.exe" \
    --installer "$tools/simport-install.exe" --controller "$tools/simport-ctl.exe" \
    --driver "$tools/chanpipe_simport.sys" --prefix "$prefix" --winearch win64 \
    --work "$build/demo-windows" "$@"
}
trap 'simport stop >/dev/null 2>&1 || true' EXIT

step "Installing the simulated ports into the 64-bit prefix $prefix"
simport setup
python3 "$root/simport/simport.py" layout | grep -c '^port' | sed 's/$/ ports installed/'

step "chanpipe.exe at work"
simport demo
