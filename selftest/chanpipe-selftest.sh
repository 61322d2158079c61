#!/bin/sh
# The guest side of chanpipe's channel self-test, for Linux guests.
#
#   chanpipe-selftest.sh NAME
#
# Start chanpipe-selftest-host.py on the host first (or at any time: the
# first message waits for it). This script runs a fixed sequence of
# chanpipe runs on the channel NAME and sends back everything it receives;
# the host checks it and gives the verdict. It needs a POSIX sh and
# dirname, mktemp, cp, rm, grep, sed, head, tr, wc, uname and sleep (busybox
# has them all), and chanpipe: from $CHANPIPE, next to this script, or on
# the PATH, in that order.
VERSION=1
MAGIC=chanpipe-selftest

if [ $# -ne 1 ] || [ -z "$1" ]; then
  echo "usage: chanpipe-selftest.sh NAME" >&2
  exit 2
fi
name=$1
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${CHANPIPE:-}" ]; then
  cp=$CHANPIPE how="from CHANPIPE"
elif [ -x "$here/chanpipe" ]; then
  cp=$here/chanpipe how="next to the script"
elif cp=$(command -v chanpipe); then
  how="from the PATH"
else
  echo "chanpipe-selftest: no chanpipe: set CHANPIPE, or put chanpipe next to this script or on the PATH" >&2
  exit 2
fi
echo "chanpipe-selftest $VERSION: channel $name, chanpipe $cp ($how)"
dir=$(mktemp -d "${TMPDIR:-/tmp}/chanpipe-selftest.XXXXXX") || exit 2
trap 'rm -rf "$dir"' EXIT
runs=$dir/runs
: >"$runs"

# note LABEL STATUS [ERRFILE]: one run's status for the report, and its
# standard error when it failed.
note() {
  echo "run $1 $2" >>"$runs"
  if [ "$2" != 0 ] && [ -n "${3:-}" ] && [ -s "$3" ]; then
    echo "stderr-begin $1" >>"$runs"
    grep -v -e '^Executing WriteFile$' -e '^Finished WriteFile$' "$3" | head -n 5 >>"$runs"
    echo "stderr-end" >>"$runs"
  fi
}

# send LABEL WORD [ARGS...] < extra lines: one message to the host. A write
# that fails (a driver that fails writes while no host is there) is tried
# again, once a second, for up to 10 minutes.
send() {
  label=$1
  shift
  { echo "$MAGIC $VERSION $*"; cat; echo "end"; } >"$dir/msg"
  tries=0
  while :; do
    "$cp" w "$name" <"$dir/msg" 2>"$dir/msg.err"
    status=$?
    [ $status -eq 0 ] && break
    tries=$((tries + 1))
    [ $tries -ge 600 ] && break
    sleep 1
  done
  note "msg.$label" $status "$dir/msg.err"
  return $status
}

# receive LABEL: chanpipe r into a file, then its size to the host, then
# the file back with chanpipe w.
receive() {
  "$cp" r "$name" >"$dir/in" 2>"$dir/r.err"
  status=$?
  note "$1.r" $status "$dir/r.err"
  size=$(wc -c <"$dir/in" | tr -d ' ')
  send "got.$1" got "$1" status=$status size=$size </dev/null
  "$cp" w "$name" <"$dir/in" 2>"$dir/w.err"
  note "$1.w" $? "$dir/w.err"
  rm -f "$dir/in"
}

other=$(printf '%s' "$name" | tr 'a-z' 'A-Z')
[ "$other" = "$name" ] && other=$(printf '%s' "$name" | tr 'A-Z' 'a-z')

{
  echo "os $(uname -srm)"
  echo "chanpipe $cp ($how)"
  echo "shell sh"
  echo "other-case $other"
} | send hello hello

for i in 1 2 3 4 5 6 7; do
  send "ready.echo$i" ready "echo$i" </dev/null
  receive "echo$i"
done

# A name that differs only in letter case is another name.
if [ "$other" = "$name" ]; then
  echo "run name.r skip" >>"$runs"
else
  "$cp" r "$other" </dev/null >/dev/null 2>"$dir/name.err"
  status=$?
  echo "run name.r $status" >>"$runs"
  echo "stderr-begin name.r" >>"$runs"
  head -n 5 "$dir/name.err" >>"$runs"
  echo "stderr-end" >>"$runs"
fi

# The host sends while the port is closed, before chanpipe r starts.
send ready.first ready first </dev/null
sleep 3
receive first

# The host goes away; this write starts without it.
send ready.nohost ready nohost </dev/null
sleep 3
printf '%s %s nohost\nend\n' "$MAGIC" "$VERSION" >"$dir/nohost"
"$cp" w "$name" <"$dir/nohost" 2>"$dir/nohost.err"
status=$?
echo "run nohost.w $status" >>"$runs"
echo "stderr-begin nohost.w" >>"$runs"
grep -v -e '^Executing WriteFile$' -e '^Finished WriteFile$' "$dir/nohost.err" | head -n 5 >>"$runs"
echo "stderr-end" >>"$runs"

cp "$runs" "$dir/report"
send report report <"$dir/report"

# The local summary: the verdict is the host's.
total=$(grep -c '^run ' "$runs")
bad=$(grep '^run ' "$runs" | grep -v -e ' 0$' -e '^run name.r 2$' -e '^run name.r skip$' |
  sed 's/^run //' | tr '\n' ' ')
echo "chanpipe-selftest: $total chanpipe runs; ${bad:+not as expected: $bad}${bad:-all ended as expected}"
echo "chanpipe-selftest: the host side has the verdict"
