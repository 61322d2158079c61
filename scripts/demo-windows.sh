#!/bin/sh
# chanpipe.exe end to end under Wine, from a fresh Debian machine:
#
#   scripts/demo-windows.sh
#
# Installs what is missing (apt-get), builds the 64-bit Windows program and
# the simulated virtio-serial port driver (a test fixture of ours) with the
# windows-x64 preset into build/windows-x64, installs the driver and its
# ports into a private Wine prefix there, and runs chanpipe.exe through the
# ports: a message each way, a name no port has, and 8 MiB each way compared
# by sha256. Exit status 0 when everything went as it should.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/windows-x64

step() { printf '\n== %s\n' "$*"; }

step "Host packages"
packages="cmake ninja-build g++-mingw-w64-x86-64 mingw-w64-x86-64-dev googletest
  wine64 wine64-preloader python3"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
    missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing$missing"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing \
    >/dev/null
fi
wine_version=$(/usr/lib/wine/wine64 --version 2>/dev/null || wine64 --version)
echo "$wine_version, $(cmake --version | head -n 1)"

step "Building chanpipe.exe, the port driver and its tools (windows-x64 preset)"
mkdir -p "$build"
cmake --preset windows-x64 >"$build/demo-configure.log" 2>&1 ||
  { cat "$build/demo-configure.log"; exit 1; }
cmake --build --preset windows-x64 -j 2 \
  --target chanpipe simport-install simport-ctl chanpipe_simport_sys \
  >"$build/demo-build.log" 2>&1 || { tail -n 30 "$build/demo-build.log"; exit 1; }
ls "$build/chanpipe.exe" "$build/tests/wine-driver/chanpipe_simport.sys"

tools=$build/tests/wine-driver
e2e() {
  python3 "$root/tests/wine-driver/e2e.py" --chanpipe "$build/chanpipe.exe" \
    --installer "$tools/simport-install.exe" --controller "$tools/simport-ctl.exe" \
    --driver "$tools/chanpipe_simport.sys" --prefix "$build/wineprefix-driver" \
    --work "$tools/e2e" "$@"
}
trap 'e2e stop >/dev/null 2>&1 || true' EXIT

step "Installing the simulated ports into $build/wineprefix-driver"
e2e setup
python3 "$root/tests/wine-driver/e2e.py" layout | grep -c '^port' | sed 's/$/ ports installed/'

step "chanpipe.exe at work"
e2e demo
