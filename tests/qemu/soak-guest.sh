# The soak's guest side, run as /guest.sh: many short transfers in one
# boot, chanpipe against dd bs=4096 on the same ports. /soak.conf sets
# ROUNDS, SIZES, BIG, ROUGH_EVERY, BUSY_EVERY, BOX and MAX_HANGS.
#
# The host side (soak-host.py) listens on the serial line of qemu_serial
# (a PCI serial card, which serial_node finds on either board). Every
# line to it is a request or a result:
#   FEED ID SIZE CUT   connect to the port "source" (it answers FED ID)
#   GO ID              send the payload now (CUT: none, close or reset)
#   BUSY 1 / BUSY 0    keep the host's CPU busy, or stop
#   RESULT k=v...      one run, judged by the host
#   HANGINFO ID TEXT   what a hung run was waiting in
#   END RUNS           the soak is over, after RUNS runs
set -u
. /soak.conf
mount -t debugfs debugfs /sys/kernel/debug
control=$(serial_node) || { echo "GUEST-ERROR no serial line to the host"; exit 1; }
stty -F "$control" raw -echo
exec 4<>"$control"
ctl() { echo "$*" >&4; }

src=$(port_node source)
sink=$(port_node sink)
dsrc=/sys/kernel/debug/virtio-ports/${src#/dev/}
dsink=/sys/kernel/debug/virtio-ports/${sink#/dev/}
counter() { sed -n "s/^$2: //p" "$1"; }
id=0
hangs_in_row=0
busy=0
after=none

errfile() { [ "$1" = null ] && echo /dev/null || echo /tmp/err; }
sha() { sha256sum | cut -d' ' -f1; }
# A run's time box grows with its size: BOX seconds, and one more per MiB.
box() { echo $((BOX + $1 / 1048576)); }

# errcheck TOOL ERR: 1 unless chanpipe's standard error (in a file) holds
# anything but whole pairs of progress lines.
errcheck() {
  if [ "$1" != chanpipe ] || [ "$2" != file ]; then echo 1; return; fi
  awk 'NR % 2 == 1 && $0 != "Executing WriteFile" { bad = 1 }
       NR % 2 == 0 && $0 != "Finished WriteFile" { bad = 1 }
       END { print (bad || NR % 2) ? 0 : 1 }' /tmp/err
}

# hung STAT PORT: after a hung run, what it waited in goes to the host.
hung() {
  case $1 in
    *hung=1*)
      hangs_in_row=$((hangs_in_row + 1))
      while read -r line; do ctl "HANGINFO $id $line"; done </tmp/hang
      ctl "HANGINFO $id debugfs: $(tr '\n' ' ' <"$2")"
      dmesg | tail -n 5 | while read -r line; do ctl "HANGINFO $id dmesg: $line"; done
      ;;
    *) hangs_in_row=0 ;;
  esac
}

# wait_line TEXT: waits (at most a minute) for that line from the host.
wait_line() {
  while read -r -t 60 line <&4; do
    [ "$line" = "$1" ] && return 0
  done
  return 1
}

# read_run TOOL SIZE ERR CUT: host to guest, into /tmp/recv.
read_run() {
  tool=$1 size=$2 err=$3 cut=$4
  id=$((id + 1))
  ctl "FEED $id $size $cut"
  wait_line "FED $id" || ctl "HANGINFO $id no answer to FEED"
  tries=0
  until [ "$(counter $dsrc host_connected)" = 1 ] || [ $tries -ge 200 ]; do
    sleep 0.05
    tries=$((tries + 1))
  done
  received=$(counter $dsrc bytes_received)
  discarded=$(counter $dsrc bytes_discarded)
  ctl "GO $id"
  case $tool in
    dd) stat=$(/runstat -t "$(box "$size")" -o /tmp/recv -e "$(errfile "$err")" -- \
      dd if="$src" bs=4096 2>/tmp/hang 4>&-) ;;
    *) stat=$(/runstat -t "$(box "$size")" -o /tmp/recv -e "$(errfile "$err")" -- \
      /$tool r source 2>/tmp/hang 4>&-) ;;
  esac
  hung "$stat" $dsrc
  ctl "RESULT id=$id tool=$tool dir=r size=$size err=$err cut=$cut busy=$busy after=$after" \
    "$stat got=$(wc -c </tmp/recv) sha=$(sha </tmp/recv)" \
    "counted=$(($(counter $dsrc bytes_received) - received))" \
    "discarded=$(($(counter $dsrc bytes_discarded) - discarded)) errok=$(errcheck "$tool" "$err")"
  rm -f /tmp/recv
  after=none
}

# write_run TOOL SIZE ERR IN: guest to host, from a file or a pipe.
write_run() {
  tool=$1 size=$2 err=$3 in=$4
  id=$((id + 1))
  head -c "$size" /dev/urandom >/tmp/p
  sent=$(counter $dsink bytes_sent)
  if [ "$tool" = dd ]; then
    cmd="dd of=$sink bs=4096"
  else
    cmd="/$tool w sink"
  fi
  if [ "$in" = file ]; then
    stat=$(/runstat -t "$(box "$size")" -i /tmp/p -e "$(errfile "$err")" -- $cmd 2>/tmp/hang 4>&-)
  else
    stat=$(/runstat -t "$(box "$size")" -e "$(errfile "$err")" -- sh -c "cat /tmp/p | $cmd" \
      2>/tmp/hang 4>&-)
  fi
  hung "$stat" $dsink
  sent=$(($(counter $dsink bytes_sent) - sent))
  ctl "RESULT id=$id tool=$tool dir=w size=$size err=$err in=$in busy=$busy after=$after" \
    "$stat sent=$sent sha=$(head -c $sent /tmp/p | sha) errok=$(errcheck "$tool" "$err")"
  after=none
}

# kill_run SIZE WHEN: chanpipe w killed with SIGKILL, either while it
# waits for more input after SIZE bytes (WHEN=idle) or while it is still
# writing a SIZE-byte file (WHEN=writing). The next run writes on the
# same port.
kill_run() {
  size=$1 when=$2
  id=$((id + 1))
  head -c "$size" /dev/urandom >/tmp/p
  sent=$(counter $dsink bytes_sent)
  if [ "$when" = idle ]; then
    /runstat -t "$(box "$size")" -e /dev/null -- \
      sh -c '{ cat /tmp/p; exec sleep 600; } | /chanpipe w sink' >/tmp/kstat 2>/tmp/hang 4>&- &
    want=$size
  else
    /runstat -t "$(box "$size")" -i /tmp/p -e /dev/null -- /chanpipe w sink \
      >/tmp/kstat 2>/tmp/hang 4>&- &
    want=1048576
  fi
  runner=$!
  tries=0
  until [ $(($(counter $dsink bytes_sent) - sent)) -ge $want ] || [ $tries -ge 600 ]; do
    sleep 0.05
    tries=$((tries + 1))
  done
  kill -9 $(pidof chanpipe) 2>/dev/null
  [ "$when" = idle ] && kill $(pidof sleep) 2>/dev/null
  wait $runner
  stat=$(cat /tmp/kstat)
  hung "$stat" $dsink
  sent=$(($(counter $dsink bytes_sent) - sent))
  ctl "RESULT id=$id tool=chanpipe dir=wkill size=$size err=null in=$when busy=$busy" \
    "after=none $stat sent=$sent sha=$(head -c $sent /tmp/p | sha) errok=1"
  after=kill
}

# One of each rough case; each kill is followed by an ordinary write.
rough() {
  for t in chanpipe dd; do
    read_run $t 4194304 null close
    read_run $t 4194304 file reset
  done
  kill_run 1048576 idle
  write_run chanpipe 1048576 file file
  kill_run 67108864 writing
  write_run chanpipe 4097 null pipe
}

# The big ones first, one file at a time: the guest's memory holds two
# small payloads, not two of 256 MiB.
[ "$BIG" -gt 0 ] && {
  read_run chanpipe "$BIG" null none
  read_run dd "$BIG" null none
  write_run chanpipe "$BIG" null file
  write_run dd "$BIG" null file
  rm -f /tmp/p
}

set -- $SIZES
nsizes=$#
k=0
round=1
while [ $round -le "$ROUNDS" ] && [ $hangs_in_row -lt "$MAX_HANGS" ]; do
  if [ "$BUSY_EVERY" -gt 0 ] && [ $((round % BUSY_EVERY)) = 0 ]; then
    busy=1
    ctl "BUSY 1"
  fi
  # Every round takes the sizes from another place in the list.
  i=0
  while [ $i -lt $nsizes ] && [ $hangs_in_row -lt "$MAX_HANGS" ]; do
    set -- $SIZES
    shift $(((i + round) % nsizes))
    size=$1
    [ $((k % 2)) = 0 ] && err=null || err=file
    [ $((k / 2 % 2)) = 0 ] && in=file || in=pipe
    if [ $((k % 2)) = 0 ]; then
      read_run chanpipe $size $err none
      write_run dd $size $err $in
      read_run dd $size $err none
      write_run chanpipe $size $err $in
    else
      write_run chanpipe $size $err $in
      read_run dd $size $err none
      write_run dd $size $err $in
      read_run chanpipe $size $err none
    fi
    k=$((k + 1))
    i=$((i + 1))
  done
  if [ $busy = 1 ]; then
    busy=0
    ctl "BUSY 0"
  fi
  if [ "$ROUGH_EVERY" -gt 0 ] && [ $((round % ROUGH_EVERY)) = 0 ]; then
    rough
  fi
  round=$((round + 1))
done
[ $hangs_in_row -ge "$MAX_HANGS" ] && ctl "WEDGED after $hangs_in_row hangs in a row"
ctl "END $id"
