#!/bin/sh
# Runs one Windows program under Wine in a private prefix, time-boxed.
#   [WINEARCH=win32] wine-run.sh PREFIX SECONDS [PROGRAM [ARGS...]]
# The prefix is 64-bit (WoW64 runs 32-bit programs in it), or 32-bit, as on
# 32-bit Windows, with WINEARCH=win32. It is created on first use (under a
# lock, so parallel tests share one); with no program, that is all it does.
# With CHANPIPE_WINE_TEMPLATES=DIR, a new prefix is a copy of DIR/win32 or
# DIR/win64, which is created the first time: an emulated CPU takes
# minutes to create one.
# Standard input is passed on.
# Standard output and error are collected in files and copied out byte for
# byte once the program has ended: Wine's helper processes (wineserver,
# winedevice) outlive the program and would hold a caller's pipe open for
# seconds. The exit status is the program's, or 124 when time ran out.
# Wine's own noise is off. CHANPIPE_TIME_SCALE (a whole number, 1 by
# default) stretches every time box, for a machine that emulates its CPU.
set -eu
scale=${CHANPIPE_TIME_SCALE:-1}
prefix=$1 seconds=$(($2 * scale))
shift 2
arch=${WINEARCH:-win64}
export WINEPREFIX="$prefix" WINEARCH="$arch" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case $arch in
  win32) wine=/usr/lib/wine/wine loader=wine ;;
  win64) wine=/usr/lib/wine/wine64 loader=wine64 ;;
  *) echo "wine-run: WINEARCH is win32 or win64, not $arch" >&2; exit 99 ;;
esac
[ -x "$wine" ] || wine=$(command -v $loader) || { echo "wine-run: no $loader" >&2; exit 99; }
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

# create DIR: creates the prefix DIR, unless it is there.
create() {
  mkdir -p "$(dirname "$1")"
  (
    flock 9
    if [ ! -f "$1/.chanpipe-ready-$arch" ]; then
      # wineboot's helpers outlive it and inherit its descriptors: keep them
      # away from the caller's pipes.
      booted=0
      WINEPREFIX=$1 timeout $((180 * scale)) "$wine" wineboot -i </dev/null >"$1.boot.log" 2>&1 ||
        booted=$?
      WINEPREFIX=$1 timeout $((60 * scale)) "$wineserver" -w </dev/null >/dev/null 2>&1 || true
      # A prefix whose creation was cut short is not one.
      if [ "$booted" -eq 124 ] || [ ! -d "$1/drive_c" ]; then
        echo "wine-run: could not create $1 (see $1.boot.log)" >&2
        exit 99
      fi
      touch "$1/.chanpipe-ready-$arch"
    fi
  ) 9>"$1.lock"
}

template=${CHANPIPE_WINE_TEMPLATES:+$CHANPIPE_WINE_TEMPLATES/$arch}
if [ -z "$template" ] || [ "$template" = "$prefix" ]; then
  create "$prefix"
elif [ ! -f "$prefix/.chanpipe-ready-$arch" ]; then
  create "$template"
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.chanpipe-ready-$arch" ]; then
      # Linked, not copied (a 64-bit prefix holds over a gigabyte): Wine
      # adds files and replaces its registry files when it saves them. The
      # registry files are copied all the same; vm/ctest-in-vm.sh fails a
      # run that changed a file of the template in place.
      rm -rf "$prefix"
      cp -al "$template" "$prefix"
      for reg in "$template"/*.reg; do
        rm "$prefix/${reg##*/}"
        cp -p "$reg" "$prefix/"
      done
    fi
  ) 9>"$prefix.lock"
fi
[ $# -gt 0 ] || exit 0
# With CHANPIPE_WINE_LINGER=N, the prefix's wineserver, and Wine's services
# with it, stay N s (stretched by the time scale) after its last program,
# instead of Wine's own 3 s: on an emulated CPU a program takes 20 s to
# start in a Wine that is down, 5 s in one that is up. A wineserver that is
# already up keeps its own time.
if [ -n "${CHANPIPE_WINE_LINGER:-}" ]; then
  WINEPREFIX=$prefix "$wineserver" -p$((CHANPIPE_WINE_LINGER * scale)) </dev/null >/dev/null 2>&1 ||
    true
fi

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
