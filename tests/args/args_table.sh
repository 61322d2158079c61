#!/bin/bash
# The argument table: the real native chanpipe started with each argument
# form, its exit status and its standard error compared byte for byte, and
# its standard output required to stay empty. No port of any name used here
# exists, so every well-formed command line ends in the not-found lines.
#
#   args_table.sh PATH-TO-CHANPIPE [EMULATOR [ARGUMENT...]]
#
# A program built for another machine runs through EMULATOR (for instance
# qemu-aarch64 -L /usr/aarch64-linux-gnu).
set -u

chanpipe=$1
shift
emulator=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

usage='Usage: chanpipe [r|w] [channel name]
'
rows=0
failed=0

# The lookup's two lines and main's own, for a name that no port has.
not_found() {
  printf -v expected '%s not found\nTurn UAC off and make sure that %s is defined in the VM config.\nUnable to find %s\n' "$1" "$1" "$1"
}

# row STATUS EXPECTED-STDERR [ARGUMENT...]
row() {
  local status=$1 expected=$2
  shift 2
  rows=$((rows + 1))
  local shown
  shown=
  [ $# -gt 0 ] && shown=$(printf ' %q' "$@")
  [ ${#shown} -gt 100 ] && shown="${shown:0:100}... (${#shown} chars)"
  printf '%s' "$expected" >"$work/expected"
  # A run that finds a port would wait for data: the time box ends it.
  timeout 20 "${emulator[@]}" "$chanpipe" "$@" <"$work/expected" >"$work/out" 2>"$work/err"
  local got=$?
  if [ "$got" -eq "$status" ] && cmp -s "$work/expected" "$work/err" && [ ! -s "$work/out" ]; then
    echo "ok   $rows: chanpipe$shown"
    return
  fi
  failed=$((failed + 1))
  echo "FAIL $rows: chanpipe$shown"
  echo "     status $got, expected $status; standard output $(wc -c <"$work/out") bytes"
  echo "     standard error (first differing byte, if any):"
  cmp "$work/expected" "$work/err" 2>&1 | sed 's/^/     /'
  head -c 300 "$work/err" | od -c | head -8 | sed 's/^/     /'
}

absent=chanpipe-no-such-channel

# Too few arguments.
row 1 "$usage"
row 1 "$usage" r
row 1 "$usage" w
row 1 "$usage" ''
row 1 "$usage" --help

# Modes are exactly "r" or "w": no case folding, trimming or prefixes.
row 1 "$usage" R "$absent"
row 1 "$usage" W "$absent"
row 1 "$usage" rw "$absent"
row 1 "$usage" wr "$absent"
row 1 "$usage" read "$absent"
row 1 "$usage" '' "$absent"
row 1 "$usage" ' r' "$absent"
row 1 "$usage" 'w ' "$absent"
row 1 "$usage" -r "$absent"
row 1 "$usage" $'r\n' "$absent"
row 1 "$usage" $'\xff' "$absent"
row 1 "$usage" "$absent" r

# Well-formed command lines: the name reaches the messages unchanged.
not_found "$absent"
row 2 "$expected" r "$absent"
row 2 "$expected" w "$absent"
# Arguments after the second are ignored.
row 2 "$expected" r "$absent" extra
row 2 "$expected" w "$absent" w r --help ''

not_found ''
row 2 "$expected" r ''
not_found 'my channel name'
row 2 "$expected" w 'my channel name'
# Format directives in the name are printed as they are, never obeyed.
not_found '%s%n%d%x%p%999999999s'
row 2 "$expected" r '%s%n%d%x%p%999999999s'
not_found '%%'
row 2 "$expected" w '%%'
# 8-bit bytes, invalid as UTF-8, and control characters pass unchanged.
not_found $'\xe9t\xe9\x80\xff'
row 2 "$expected" r $'\xe9t\xe9\x80\xff'
not_found $'tab\there\x01\x1b[31m'
row 2 "$expected" w $'tab\there\x01\x1b[31m'
not_found $'two\nlines\r'
row 2 "$expected" r $'two\nlines\r'
# Names that look like options, modes or device paths are just names.
not_found --
row 2 "$expected" r --
not_found r
row 2 "$expected" w r
not_found '\\?\port#0'
row 2 "$expected" r '\\?\port#0'
# Longer than the 505 bytes any port's record can hold, and 64 KiB.
long=$(printf 'n%.0s' {1..506})
not_found "$long"
row 2 "$expected" w "$long"
huge=$(head -c 65536 /dev/zero | tr '\0' 'x')
not_found "$huge"
row 2 "$expected" r "$huge"

echo "$rows forms, $failed failed"
[ "$rows" -ge 25 ] && [ "$failed" -eq 0 ]
