#!/bin/sh
# Says whether 32-bit programs run on this machine: a tiny static i386 ELF
# must run and return its status, then Wine must start a 32-bit Windows
# program in a 32-bit prefix and return its status.
#   probe-32bit.sh [PREFIX]
# Exit status 0 when they run (nothing printed); 1 when they do not, after
# one line on standard output that says why. PREFIX is the 32-bit prefix to
# start the program in, created if it is missing and kept; without it, a
# temporary prefix is made and removed, which takes as long as a prefix
# takes to create. CHANPIPE_TEST_NO_32BIT=1 (for tests only) makes the
# answer no.
set -u
here=$(cd "$(dirname "$0")" && pwd)

no() {
  echo "$*"
  exit 1
}

[ "${CHANPIPE_TEST_NO_32BIT:-}" != 1 ] ||
  no "32-bit programs are turned off for the tests (CHANPIPE_TEST_NO_32BIT=1)"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/chanpipe-probe32.XXXXXX") || no "no temporary folder for the probe"
prefix=${1:-$tmp/prefix}
cleanup() {
  if [ -d "$tmp/prefix" ]; then
    # Only the temporary prefix's own Wine session.
    WINEPREFIX="$tmp/prefix" timeout 60 /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 ||
      WINEPREFIX="$tmp/prefix" timeout 60 wineserver -k >/dev/null 2>&1 || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# exit(42) in i386 code: the ELF header, one loadable segment, and
# mov $42,%ebx; mov $1,%eax; int $0x80. 96 bytes, no libraries.
printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0' >"$tmp/exit42"
printf '\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10' >>"$tmp/exit42"
printf '\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0\273\52\0\0\0\270\1\0\0\0\315\200' >>"$tmp/exit42"
chmod 755 "$tmp/exit42"
status=0
why=$("$tmp/exit42" 2>&1) || status=$?
if [ "$status" -ne 42 ]; then
  case $why in
    *"Exec format error"*)
      no "this machine runs no 32-bit x86 programs: a static i386 ELF gives \"Exec format error\"" \
        "(the kernel's IA-32 emulation is off or missing)" ;;
    *) no "this machine runs no 32-bit x86 programs: a static i386 ELF ended with status $status" ;;
  esac
fi

wine=/usr/lib/wine/wine
[ -x "$wine" ] || wine=$(command -v wine) || no "no 32-bit Wine here: install wine32:i386"
status=0
why=$("$wine" --version 2>&1) || status=$?
[ "$status" -eq 0 ] ||
  no "the 32-bit Wine loader $wine does not run (status $status): $(echo "$why" | head -n 1)"

# cmd.exe of a 32-bit prefix is a 32-bit Windows program.
status=0
why=$(WINEARCH=win32 timeout $((400 * ${CHANPIPE_TIME_SCALE:-1})) sh "$here/wine-run.sh" "$prefix" 120 cmd.exe /c exit 7 2>&1) ||
  status=$?
if [ "$status" -ne 7 ]; then
  detail=$(echo "$why" | grep -v '^$' | tail -n 1)
  no "Wine does not start a 32-bit Windows program: cmd.exe /c exit 7 in the 32-bit" \
    "prefix $prefix ended with status $status${detail:+: $detail}"
fi
exit 0
