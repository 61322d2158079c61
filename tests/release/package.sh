#!/bin/sh
# The Debian package, for real: packs it from this build, checks it with
# lintian, installs it with dpkg, runs chanpipe from the PATH, finds its man
# page, removes it and looks for anything left behind.
# Installing changes the machine's packages, so this runs only as root, in
# CI (CI set, with sudo) or when asked (CHANPIPE_PACKAGE_TEST=1, with sudo);
# anywhere else it says so and ends with status 77 (skipped).
# A package for another architecture than this machine's (the arm64 one of
# linux-arm64 on an amd64 machine) cannot be installed here: it is checked
# by its fields, its contents and lintian only, which change nothing, and
# that runs anywhere.
#   package.sh LINUX-BUILD WORK
set -u
build=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

skip() { echo "SKIPPED: $*"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

case $(readelf -h "$build/chanpipe" 2>/dev/null | sed -n 's/^ *Machine: *//p') in
  AArch64) arch=arm64 machine=AArch64 ;;
  *) arch=amd64 machine="Advanced Micro Devices X86-64" ;;
esac
install=1
[ "$arch" = "$(dpkg --print-architecture)" ] || install=0

sudo=""
if [ "$install" -eq 0 ]; then
  :
elif [ "$(id -u)" -ne 0 ]; then
  [ -n "${CI:-}" ] || [ "${CHANPIPE_PACKAGE_TEST:-}" = 1 ] ||
    skip "installs a package: runs as root, in CI (CI set) or with CHANPIPE_PACKAGE_TEST=1"
  sudo -n true 2>/dev/null || { echo "FAIL: asked to install a package, but sudo needs a password"; exit 1; }
  sudo="sudo -n"
fi

# One run at a time on this machine: the installed package is shared.
lock=/run/lock/chanpipe-package-test.lock
[ -d /run/lock ] || lock=/tmp/chanpipe-package-test.lock
exec 9>"$lock"
[ "$install" -eq 0 ] || flock -w 600 9 ||
  { echo "FAIL: another package test holds the machine for too long"; exit 1; }

status=$(dpkg-query -W -f='${Status}' chanpipe 2>/dev/null || true)
[ "$install" -eq 0 ] || case $status in
  "" | "unknown ok not-installed" | *" not-installed") ;;
  *) skip "a chanpipe package is on this machine already ($status); the test leaves it alone" ;;
esac
for f in /usr/bin/chanpipe /usr/share/man/man1/chanpipe.1.gz /usr/share/doc/chanpipe; do
  [ "$install" -eq 0 ] || [ ! -e "$f" ] || skip "$f is on this machine already; the test leaves it alone"
done

rm -rf "$work"
mkdir -p "$work"
"$source_dir/scripts/pack.sh" "$work/out" "$build" || { echo "FAIL: cannot pack"; exit 1; }
deb=$(ls "$work"/out/chanpipe_*_$arch.deb) || { echo "FAIL: no $arch package"; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
echo "--- $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb" | tee "$work/contents"

echo "--- fields and contents"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] ||
  fail "Architecture is $(dpkg-deb -f "$deb" Architecture), not $arch"
[ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "the static program depends on $(dpkg-deb -f "$deb" Depends)"
# Exactly these files, no more (a cross build's test libraries, say).
awk '{ print $1, $NF }' "$work/contents" | LC_ALL=C sort >"$work/files"
printf '%s\n' 'drwxr-xr-x ./usr/' 'drwxr-xr-x ./usr/bin/' '-rwxr-xr-x ./usr/bin/chanpipe' \
  '-rwxr-xr-x ./usr/bin/chanpipe-selftest' '-rw-r--r-- ./usr/share/man/man1/chanpipe-selftest.1.gz' \
  'drwxr-xr-x ./usr/share/' 'drwxr-xr-x ./usr/share/doc/' 'drwxr-xr-x ./usr/share/doc/chanpipe/' \
  '-rw-r--r-- ./usr/share/doc/chanpipe/README.md.gz' '-rw-r--r-- ./usr/share/doc/chanpipe/changelog.gz' \
  '-rw-r--r-- ./usr/share/doc/chanpipe/copyright' 'drwxr-xr-x ./usr/share/lintian/' \
  'drwxr-xr-x ./usr/share/lintian/overrides/' '-rw-r--r-- ./usr/share/lintian/overrides/chanpipe' \
  'drwxr-xr-x ./usr/share/man/' 'drwxr-xr-x ./usr/share/man/man1/' \
  '-rw-r--r-- ./usr/share/man/man1/chanpipe.1.gz' | LC_ALL=C sort >"$work/files.expected"
cmp -s "$work/files.expected" "$work/files" ||
  fail "the package's files differ from the list: $(diff "$work/files.expected" "$work/files" | grep '^[<>]' | tr '\n' ' ')"
# The program inside is the build's, static, of the package's architecture.
mkdir "$work/unpacked"
dpkg-deb -x "$deb" "$work/unpacked"
cmp -s "$build/chanpipe" "$work/unpacked/usr/bin/chanpipe" || fail "usr/bin/chanpipe is not the build's program"
readelf -h "$work/unpacked/usr/bin/chanpipe" | grep -Eq "Machine:[[:space:]]+$machine\$" ||
  fail "usr/bin/chanpipe is not an $arch program"
! readelf -l "$work/unpacked/usr/bin/chanpipe" | grep -q INTERP || fail "usr/bin/chanpipe is not static"
gzip -dc "$work/unpacked/usr/share/man/man1/chanpipe.1.gz" | cmp -s - "$source_dir/docs/chanpipe.1" ||
  fail "the man page is not docs/chanpipe.1"
echo "$(wc -l <"$work/files") entries as listed; usr/bin/chanpipe: the build's static $arch program"

echo "--- lintian"
# Everything lintian has to say, the overridden tags (O:) included; only
# errors and warnings fail.
lintian --display-info --pedantic --show-overrides --fail-on none "$deb" >"$work/lintian" 2>&1 ||
  fail "lintian cannot check the package"
cat "$work/lintian"
! grep -Eq '^[EW]: ' "$work/lintian" || fail "lintian finds errors or warnings"
cmp -s "$work/unpacked/usr/bin/chanpipe-selftest" "$source_dir/selftest/chanpipe-selftest.sh" ||
  fail "usr/bin/chanpipe-selftest is not selftest/chanpipe-selftest.sh"

# The host side's package, the same for every architecture.
host_deb=$(ls "$work"/out/chanpipe-host_*_all.deb) || { echo "FAIL: no chanpipe-host package"; exit 1; }
echo "--- $host_deb"
dpkg-deb --info "$host_deb"
dpkg-deb --contents "$host_deb"
[ "$(dpkg-deb -f "$host_deb" Depends)" = python3 ] ||
  fail "chanpipe-host depends on \"$(dpkg-deb -f "$host_deb" Depends)\", not python3"
# libvirt's module only for --domain: recommended, never required.
[ "$(dpkg-deb -f "$host_deb" Recommends)" = python3-libvirt ] ||
  fail "chanpipe-host recommends \"$(dpkg-deb -f "$host_deb" Recommends)\", not python3-libvirt"
mkdir "$work/host"
dpkg-deb -x "$host_deb" "$work/host"
# Its commands run from the package's files, with their module beside them.
if ! "$work/host/usr/bin/chanpipe-host" --help >"$work/host-help" 2>&1 ||
  ! grep -q '^exit status' "$work/host-help"; then
  fail "chanpipe-host --help: $(head -3 "$work/host-help")"
fi
if ! "$work/host/usr/bin/chanpipe-selftest-host" --help >"$work/host-help" 2>&1 ||
  ! grep -q 'self-test' "$work/host-help"; then
  fail "chanpipe-selftest-host --help: $(head -3 "$work/host-help")"
fi
[ -s "$work/host/usr/share/man/man1/chanpipe-selftest-host.1.gz" ] ||
  fail "chanpipe-host has no chanpipe-selftest-host(1)"
lintian --display-info --pedantic --show-overrides --fail-on none "$host_deb" >"$work/lintian-host" 2>&1 ||
  fail "lintian cannot check the chanpipe-host package"
cat "$work/lintian-host"
! grep -Eq '^[EW]: ' "$work/lintian-host" || fail "lintian finds errors or warnings in chanpipe-host"

if [ "$install" -eq 0 ]; then
  [ "$failures" -eq 0 ] || exit 1
  echo "package check passed: $(basename "$deb"), by its fields, contents and lintian only:"
  echo "installing an $arch package needs an $arch machine; this one is $(dpkg --print-architecture)"
  exit 0
fi

# dpkg waits for nobody: retry while another installer holds its lock.
dpkg_run() {
  tries=0
  while :; do
    $sudo dpkg "$@" >"$work/dpkg" 2>&1 && { cat "$work/dpkg"; return 0; }
    grep -q 'lock' "$work/dpkg" && [ "$tries" -lt 120 ] || { cat "$work/dpkg"; return 1; }
    tries=$((tries + 1))
    sleep 1
  done
}

echo "--- dpkg -i"
installed=0
remove() { [ "$installed" -eq 0 ] || dpkg_run -r chanpipe >/dev/null || true; }
trap remove EXIT
if dpkg_run -i "$deb"; then
  installed=1
else
  fail "dpkg -i failed"
fi

if [ "$installed" -eq 1 ]; then
  [ "$(dpkg-query -W -f='${Status} ${Version}' chanpipe)" = "install ok installed $version" ] ||
    fail "dpkg does not show chanpipe $version installed"
  # From the PATH, as a user would start it, away from the build.
  found=$(cd / && PATH=/usr/local/bin:/usr/bin:/bin command -v chanpipe)
  [ "$found" = /usr/bin/chanpipe ] || fail "chanpipe on the PATH is \"$found\", not /usr/bin/chanpipe"
  (cd / && PATH=/usr/local/bin:/usr/bin:/bin chanpipe >"$work/out.txt" 2>"$work/err.txt")
  got=$?
  printf 'Usage: chanpipe [r|w] [channel name]\n' >"$work/usage.txt"
  [ "$got" -eq 1 ] || fail "chanpipe with no arguments: status $got, not 1"
  cmp -s "$work/usage.txt" "$work/err.txt" ||
    fail "chanpipe with no arguments printed: $(od -c "$work/err.txt" | head -3)"
  [ ! -s "$work/out.txt" ] || fail "chanpipe with no arguments wrote to standard output"
  page=$(man -w chanpipe 2>&1)
  [ "$page" = /usr/share/man/man1/chanpipe.1.gz ] ||
    fail "man -w chanpipe: \"$page\" (is /usr/share/man excluded by a dpkg path-exclude?)"
  MANWIDTH=80 man -P cat chanpipe 2>&1 | grep -q '^EXIT STATUS' || fail "man chanpipe shows no EXIT STATUS"
  echo "chanpipe from the PATH: status $got, the usage line; man -w: $page"

  echo "--- dpkg -r"
  if dpkg_run -r chanpipe; then
    installed=0
  else
    fail "dpkg -r failed"
  fi
  status=$(dpkg-query -W -f='${Status}' chanpipe 2>/dev/null || true)
  case $status in
    "" | *" not-installed") ;;
    *) fail "after dpkg -r, chanpipe is \"$status\"" ;;
  esac
  # Every file and folder of the package's own is gone; the shared ones
  # (/usr/bin and the like) stay.
  sed 's/^.* \.\//\//; s/\/$//' "$work/contents" | while read -r path; do
    case $path in
      /usr | /usr/bin | /usr/share | /usr/share/doc | /usr/share/man | /usr/share/man/man1 | \
        /usr/share/lintian | /usr/share/lintian/overrides) ;;
      *) [ ! -e "$path" ] || echo "$path" ;;
    esac
  done >"$work/left"
  [ ! -s "$work/left" ] || fail "left behind: $(tr '\n' ' ' <"$work/left")"
fi

[ "$failures" -eq 0 ] || exit 1
echo "package check passed: $(basename "$deb")"
