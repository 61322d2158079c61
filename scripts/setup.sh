#!/bin/sh
# Installs, with apt-get, whatever the builds and tests need and this
# machine lacks. Safe to run again: it installs nothing that is there.
set -eu
packages="cmake ninja-build g++ libgtest-dev libgmock-dev googletest clang libclang-rt-14-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 wine64-preloader mingw-w64-x86-64-dev python3 qemu-system-x86 busybox-static socat zip
  clang-format"
# The udev recipe's test: debootstrap makes its Debian guest.
packages="$packages debootstrap"
# The man page's lint, the Debian package's checks, the version resource.
packages="$packages mandoc lintian man-db icoutils unzip"
# 32-bit Wine runs the shipped 32-bit chanpipe.exe; its packages are i386.
packages="$packages wine32:i386 wine32-preloader:i386 mingw-w64-i686-dev"
# The Windows Installer packages: wixl and msibuild make them, faketime
# keeps the build's time out of them.
packages="$packages msitools wixl faketime"
# The arm64 program (linux-arm64): the cross compiler (GoogleTest is built
# from googletest's sources for it), user-mode QEMU for its unit tests and
# the arm64 guest's QEMU. That guest's kernel and busybox are arm64
# packages that vm/lib.sh only downloads: apt must know the architecture.
packages="$packages g++-aarch64-linux-gnu qemu-user qemu-system-arm"
# The libvirt tests start libvirtd and virtlogd themselves. The daemon
# package's own scripts start them only where systemd runs (and its init
# is systemd's units, not scripts of /etc/init.d), so without systemd the
# install starts nothing and waits for nothing.
packages="$packages libvirt-daemon-system libvirt-clients python3-libvirt"
# The README's virt-xml line runs in those tests too.
packages="$packages virtinst"
foreign=""
dpkg --print-foreign-architectures | grep -qx arm64 || foreign=arm64
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing$foreign" ] && exit 0
echo "setup: installing$missing${foreign:+ (and the $foreign package lists)}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
[ -z "$foreign" ] || $sudo dpkg --add-architecture "$foreign"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
