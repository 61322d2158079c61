#!/bin/sh
# The guest side of chanpipe's channel self-test, for Linux guests.
#
#   chanpipe-selftest.sh NAME
#
# Start chanpipe-selftest-host.py on the host first (or at any time: the
# first message waits for it). This script runs a fixed sequence of
# chanpipe runs on the channel NAME and sends back everything it receives;
# the host checks it and gives the verdict. It needs a POSIX sh and
# dirname, mktemp, rm, cat, grep, head, ls, sed, tr, wc, uname, date and
# sleep (busybox has them all), /proc, and chanpipe: from $CHANPIPE, next to
# this script, or on the PATH, in that order. Its files go to a fresh
# folder in $TMPDIR, else in /dev/shm (memory), else in /tmp.
#
# Exit status: 0 the sequence ran (the verdict is the host's), 2 usage or
# no chanpipe, 3 chanpipe may not open the port (it says so, and tells the
# host when it can), 4 the host side was gone for GIVE_UP seconds (a write
# or a read moved nothing for that long).
#
# It reads step for step like chanpipe-selftest.cmd, the Windows guest
# side: the main part first, then the helpers, with the same names.
VERSION=2
MAGIC=chanpipe-selftest
# How many times the first message to the host is tried, a pause apart,
# while it fails; later ones are tried for GIVE_UP seconds.
SEND_TRIES=200
# A write or a read that has moved nothing for this many seconds has no host.
GIVE_UP=${CHANPIPE_SELFTEST_GIVE_UP:-120}

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
  # The payloads go to memory where the guest has it: a disk-backed
  # folder halves the echo's speed.
  tmp=${TMPDIR:-/dev/shm}
  [ -d "$tmp" ] && [ -w "$tmp" ] || tmp=/tmp
  dir=$(mktemp -d "$tmp/chanpipe-selftest.XXXXXX") || exit 2
  child=""
  trap 'rm -rf "$dir"' EXIT
  trap 'stop 129' HUP
  trap 'stop 130' INT
  trap 'stop 143' TERM
  echo "chanpipe-selftest $VERSION: channel $name, chanpipe $cp ($how), files in $dir"
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
  say "waiting for the host side (chanpipe-selftest-host.py) on $name"
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
  write "$dir/nohost.txt" nohost.err
  note nohost.w $rc nohost.err always

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

# send LABEL: msg.txt to the host. The first message waits for the host
# as long as it takes; later ones give up after GIVE_UP seconds without
# a host. A write that fails (a driver that fails writes while no host is
# there) is tried again after a pause: the first for about ten minutes
# (SEND_TRIES), later ones for GIVE_UP seconds.
send() {
  tries=0 most=$SEND_TRIES
  [ "$1" = hello ] || most=$((GIVE_UP / 3))
  while :; do
    write "$dir/msg.txt" msg.err "$1"
    [ $rc -eq 0 ] && break
    denied w $rc msg.err
    tries=$((tries + 1))
    if [ $tries -ge $most ]; then
      say "no host side on $name: $tries writes failed, the last with status $rc; giving up"
      exit 4
    fi
    [ $((tries % 20)) = 1 ] && say "chanpipe w $name: status $rc ($(errors msg.err)); trying again every 3 s"
    pause
  done
  note "msg.$1" "$rc" msg.err
}

# write FILE ERRFILE [hello]: chanpipe w with FILE as its input; rc is its
# status.
write() {
  "$cp" w "$name" <"$1" 2>"$dir/$2" &
  watch 0 w "${3:-}"
}

# watch FD MODE [hello]: waits for the chanpipe run just started in the
# background; rc is its status. Except for the hello, a run whose data
# (descriptor FD: the input of a write, the output of a read) has not moved
# for GIVE_UP seconds has no host: it is stopped, and so is this script. A
# read needs it too: a host that went away while the VM was paused can
# leave it blocked for ever.
watch() {
  child=$! last="" since=$(date +%s)
  # A finished run has no descriptors left in /proc.
  while pos=$(sed -n 's/^pos:[[:space:]]*//p' "/proc/$child/fdinfo/$1" 2>/dev/null) &&
    [ -n "$pos" ]; do
    if [ "$pos" != "$last" ]; then
      last=$pos since=$(date +%s)
    elif [ "${3:-}" != hello ] && [ $(($(date +%s) - since)) -ge "$GIVE_UP" ]; then
      if [ "$2" = w ]; then
        say "chanpipe w $name has had no host for $GIVE_UP s (the host side stopped?); giving up"
      else
        say "chanpipe r $name has received nothing for $GIVE_UP s (the host side stopped?); giving up"
      fi
      stop 4
    fi
    sleep 0.2 2>/dev/null || sleep 1
  done
  wait "$child"
  rc=$? child=""
}

# receive LABEL: chanpipe r into a file, then its size to the host, then
# the file back with chanpipe w.
receive() {
  "$cp" r "$name" >"$dir/in.bin" 2>"$dir/r.err" &
  watch 1 r
  rrc=$rc
  note "$1.r" $rrc r.err
  if [ $rrc -eq 3 ] && grep -qx 'CreateFile error 13' "$dir/r.err"; then
    # The host waits for this reader: tell it why none comes.
    { echo "$MAGIC $VERSION denied $1 r"; cat "$dir/r.err"; echo "end"; } >"$dir/msg.txt"
    send "denied.$1"
    denied r $rrc r.err
  fi
  size=$(wc -c <"$dir/in.bin" | tr -d ' ')
  msg got "$1" "status=$rrc" "size=$size"
  write "$dir/in.bin" w.err
  note "$1.w" $rc w.err
  rm -f "$dir/in.bin"
}

# denied MODE STATUS ERRFILE: stops the script when chanpipe MODE could
# not open the port for lack of rights (status 3, error 13).
denied() {
  [ "$2" -eq 3 ] && grep -qx 'CreateFile error 13' "$dir/$3" || return 0
  readme="chanpipe's README"
  [ ! -e /usr/share/doc/chanpipe/README.md.gz ] ||
    readme=/usr/share/doc/chanpipe/README.md.gz
  say "chanpipe $1 $name may not open the port: CreateFile error 13 (permission denied)."
  say "Run this script as a user who may open $(node || echo "the port's node"), or give"
  say "your user that node (a udev rule: see exit status 3 in $readme); stopped"
  exit 3
}

# node: the device node of the port NAME, from sysfs, with its owner and
# mode ("/dev/vport0p1 (root:root, crw-------)").
node() {
  for p in /sys/class/virtio-ports/*; do
    [ "$(cat "$p/name" 2>/dev/null)" = "$name" ] || continue
    # shellcheck disable=SC2046 # the words of ls: mode, links, owner, group
    set -- $(ls -lL "/dev/${p##*/}" 2>/dev/null)
    echo "/dev/${p##*/}${4:+ ($3:$4, $1)}"
    return 0
  done
  return 1
}

# errors ERRFILE: the first line of chanpipe's standard error that is
# not a progress line.
errors() {
  grep -v -e '^Executing WriteFile$' -e '^Finished WriteFile$' "$dir/$1" | head -n 1
}

# say TEXT: a line of this script's own, on standard error.
say() {
  echo "chanpipe-selftest: $*" >&2
}

# stop STATUS: ends the script at a signal or a give-up, with the run
# under way (a run in the background ignores the terminal's Ctrl-C).
stop() {
  [ -z "$child" ] || kill "$child" 2>/dev/null
  exit "$1"
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
