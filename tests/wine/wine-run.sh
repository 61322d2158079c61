#!/bin/sh
# Runs one Windows program under wine64 in a private prefix, time-boxed.
#   wine-run.sh PREFIX SECONDS PROGRAM [ARGS...]
# The prefix is created on first use (under a lock, so parallel tests share
# one). Output goes where the caller sends it; Wine's own noise is off.
set -eu
prefix=$1 seconds=$2
shift 2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64)
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.chanpipe-ready" ]; then
    # wineboot's helpers outlive it and inherit its descriptors: keep them
    # away from the caller's pipes.
    timeout 180 "$wine" wineboot -i </dev/null >"$prefix.boot.log" 2>&1 || true
    timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || true
    [ -d "$prefix/drive_c" ] || { echo "wine-run: could not create $prefix" >&2; exit 99; }
    touch "$prefix/.chanpipe-ready"
  fi
) 9>"$prefix.lock"
exec timeout -k 5 "$seconds" "$wine" "$@"
