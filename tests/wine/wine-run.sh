#!/bin/sh
# Runs one Windows program under wine64 in a private prefix, time-boxed.
#   wine-run.sh PREFIX SECONDS [PROGRAM [ARGS...]]
# The prefix is created on first use (under a lock, so parallel tests share
# one); with no program, that is all it does. Standard input is passed on.
# Standard output and error are collected in files and copied out byte for
# byte once the program has ended: Wine's helper processes (wineserver,
# winedevice) outlive the program and would hold a caller's pipe open for
# seconds. The exit status is the program's, or 124 when time ran out.
# Wine's own noise is off.
set -eu
prefix=$1 seconds=$2
shift 2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64)
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.chanpipe-ready" ]; then
    # wineboot's helpers outlive it and inherit its descriptors: keep them
    # away from the caller's pipes.
    timeout 180 "$wine" wineboot -i </dev/null >"$prefix.boot.log" 2>&1 || true
    timeout 60 "$wineserver" -w </dev/null >/dev/null 2>&1 || true
    [ -d "$prefix/drive_c" ] || {
      echo "wine-run: could not create $prefix (see $prefix.boot.log)" >&2
      exit 99
    }
    touch "$prefix/.chanpipe-ready"
  fi
) 9>"$prefix.lock"
[ $# -gt 0 ] || exit 0

out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
timeout -k 5 "$seconds" "$wine" "$@" >"$out" 2>"$err" || status=$?
cat "$out"
cat "$err" >&2
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "wine-run: $1 did not end within $seconds s" >&2
fi
exit "$status"
