#!/bin/sh
# The guest side of chanpipe's channel self-test, for Linux guests.
#
#   chanpipe-selftest.sh NAME
#
# Start chanpipe-selftest-host.py on the host first (or at any time: the
# first message waits for it). This script runs a fixed sequence of
# chanpipe runs on the channel NAME and sends back everything it receives;
# the host checks it and gives the verdict. It needs a POSIX sh and
# dirname, mktemp, rm, cat, grep, head, tr, wc, uname and sleep (busybox
# has them all), and chanpipe: from $CHANPIPE, next to this script, or on
# the PATH, in that order. Its files go to a fresh folder in $TMPDIR or /tmp.
#
# It reads step for step like chanpipe-selftest.cmd, the Windows guest
# side: the main part first, then the helpers, with the same names.
VERSION=1
MAGIC=chanpipe-selftest
# How many times a message to the host is tried, a pause apart, before it counts as failed.
SEND_TRIES=200

main() {
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
  : >"$dir/runs.txt"

  # The name in another letter case: upper case, or lower case when it
  # already is.
  other=$(printf '%s' "$name" | tr 'a-z' 'A-Z')
  [ "$other" = "$name" ] && other=$(printf '%s' "$name" | tr 'A-Z' 'a-z')

  {
    echo "$MAGIC $VERSION hello"
    echo "os $(uname -srm)"
    echo "chanpipe $cp ($how)"
    echo "shell sh"
    echo "other-case $other"
    echo "end"
  } >"$dir/msg.txt"
  send hello

  for i in 1 2 3 4 5 6 7; do step "echo$i"; done

  # A name that differs only in letter case is another name.
  if [ "$other" = "$name" ]; then
    note name.r skip
  else
    "$cp" r "$other" </dev/null >/dev/null 2>"$dir/name.err"
    note name.r $? name.err always
  fi

  # The host sends while the port is closed, before chanpipe r starts.
  msg ready first
  pause
  receive first

  # The host goes away; this write starts without it.
  msg ready nohost
  pause
  { echo "$MAGIC $VERSION nohost"; echo "end"; } >"$dir/nohost.txt"
  "$cp" w "$name" <"$dir/nohost.txt" 2>"$dir/nohost.err"
  note nohost.w $? nohost.err always

  { echo "$MAGIC $VERSION report"; cat "$dir/runs.txt"; echo "end"; } >"$dir/msg.txt"
  send report

  # The local summary: the verdict is the host's.
  total=0 bad=""
  while read -r word label status _; do
    [ "$word" = run ] && count "$label" "$status"
  done <"$dir/runs.txt"
  if [ -n "$bad" ]; then
    echo "chanpipe-selftest: $total chanpipe runs; not as expected:$bad"
  else
    echo "chanpipe-selftest: $total chanpipe runs; all ended as expected"
  fi
  echo "chanpipe-selftest: the host side has the verdict"
  exit 0
}

# count LABEL STATUS: one run for the local summary.
count() {
  total=$((total + 1))
  [ "$2" = 0 ] || [ "$1 $2" = "name.r 2" ] || [ "$2" = skip ] || bad="$bad $1"
}

# step LABEL: the host is told that chanpipe r comes, then it runs.
step() {
  msg ready "$1"
  receive "$1"
}

# msg WORD ARG...: a one-line message to the host.
msg() {
  { echo "$MAGIC $VERSION $*"; echo "end"; } >"$dir/msg.txt"
  send "$1.$2"
}

# send LABEL: msg.txt to the host. A write that fails (a driver that fails
# writes while no host is there) is tried again after a pause, SEND_TRIES
# times in all: for about ten minutes.
send() {
  tries=0
  while :; do
    "$cp" w "$name" <"$dir/msg.txt" 2>"$dir/msg.err"
    rc=$?
    [ $rc -eq 0 ] && break
    tries=$((tries + 1))
    [ $tries -ge $SEND_TRIES ] && break
    pause
  done
  note "msg.$1" "$rc" msg.err
}

# receive LABEL: chanpipe r into a file, then its size to the host, then
# the file back with chanpipe w.
receive() {
  "$cp" r "$name" >"$dir/in.bin" 2>"$dir/r.err"
  rrc=$?
  note "$1.r" $rrc r.err
  size=$(wc -c <"$dir/in.bin" | tr -d ' ')
  msg got "$1" "status=$rrc" "size=$size"
  "$cp" w "$name" <"$dir/in.bin" 2>"$dir/w.err"
  note "$1.w" $? w.err
  rm -f "$dir/in.bin"
}

# note LABEL STATUS [ERRFILE [always]]: a run's status for the report, and
# the first lines of its standard error (not the progress lines) when it
# failed, or always.
note() {
  echo "run $1 $2" >>"$dir/runs.txt"
  [ -n "${3:-}" ] || return 0
  [ "$2" = 0 ] && [ "${4:-}" != always ] && return 0
  echo "stderr-begin $1" >>"$dir/runs.txt"
  grep -v -e '^Executing WriteFile$' -e '^Finished WriteFile$' "$dir/$3" | head -n 5 >>"$dir/runs.txt"
  echo "stderr-end" >>"$dir/runs.txt"
}

# pause: three seconds.
pause() {
  sleep 3
}

main "$@"
