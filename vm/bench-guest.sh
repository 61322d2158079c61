# The benchmark's guest side, run as /guest.sh. /bench.conf sets MODE
# (throughput or startup), ROUNDS, BYTES, PORTS and TOOLS: dd, cat, and
# builds of chanpipe, each at /NAME. Every measurement becomes one console
# line starting with RESULT; the host does the arithmetic. BOX is the time
# box of one run, in seconds: a run past it is killed, reported as hung
# (hung=1, with what it waited in on HANGINFO lines) and the rounds go on;
# after 3 hung runs in a row the port is taken as stuck and the rounds end.
set -u
. /bench.conf
mount -t debugfs debugfs /sys/kernel/debug
stderrs="null file"
hangs_in_row=0

# boxed ARGS...: runstat ARGS in the time box; its line goes to $stat.
boxed() {
  stat=$(/runstat -t "$BOX" "$@" 2>/tmp/hang)
  case $stat in
    *hung=1*)
      hangs_in_row=$((hangs_in_row + 1))
      sed 's/^/HANGINFO /' /tmp/hang
      for d in /sys/kernel/debug/virtio-ports/*; do
        echo "HANGINFO debugfs $(tr '\n' ' ' <"$d")"
      done
      ;;
    *) hangs_in_row=0 ;;
  esac
}

# counter NODE FIELD: a byte counter the driver keeps for the port.
counter() {
  sed -n "s/^$2: //p" "/sys/kernel/debug/virtio-ports/${1#/dev/}"
}

# errfile KIND: where standard error goes.
errfile() {
  [ "$1" = null ] && echo /dev/null || echo /tmp/bench.err
}

# Host to guest, always on the port "source": the guest asks for the
# payload with a console line, and the tool reads the port from the moment
# the host is connected until the host's end of data, writing to /dev/null.
read_run() {
  tool=$1 err=$(errfile $2) node=$(port_node source)
  echo "BENCH-FEED $tool $2 $3"
  tries=0
  until [ "$(counter $node host_connected)" = 1 ] || [ $tries -ge 300 ]; do
    sleep 0.1
    tries=$((tries + 1))
  done
  received=$(counter $node bytes_received)
  discarded=$(counter $node bytes_discarded)
  case $tool in
    dd) boxed -e $err -- dd if=$node bs=4096 ;;
    cat) boxed -e $err -- cat $node ;;
    *) boxed -e $err -- /$tool r source ;;
  esac
  # All of it reached the guest and none was thrown away at the close.
  ok=0
  [ $(($(counter $node bytes_received) - received)) = "$BYTES" ] &&
    [ "$(counter $node bytes_discarded)" = "$discarded" ] && ok=1
  echo "RESULT dir=read tool=$tool stderr=$2 round=$3 $stat complete=$ok"
}

# Guest to host: the tool sends the payload (in memory) on the port "sink",
# whose host side writes to /dev/null.
write_run() {
  tool=$1 err=$(errfile $2) sink=$(port_node sink)
  before=$(counter $sink bytes_sent)
  case $tool in
    dd) boxed -i /tmp/payload -e $err -- dd of=$sink bs=4096 ;;
    cat) boxed -i /tmp/payload -o $sink -e $err -- cat ;;
    *) boxed -i /tmp/payload -e $err -- /$tool w sink ;;
  esac
  ok=0
  [ $(($(counter $sink bytes_sent) - before)) = "$BYTES" ] && ok=1
  echo "RESULT dir=write tool=$tool stderr=$2 round=$3 $stat complete=$ok"
}

# Start-up: from the start of the process to the first byte on its standard
# output, on the port "feed" that the host keeps full; the process is killed
# then. The baselines open the port by its node, without a lookup.
startup_run() {
  tool=$1 node=$(port_node feed)
  case $tool in
    dd) boxed -f -k -e /dev/null -- dd if=$node bs=4096 ;;
    cat) boxed -f -k -e /dev/null -- cat $node ;;
    *) boxed -f -k -e /dev/null -- /$tool r feed ;;
  esac
  echo "RESULT dir=startup tool=$tool ports=$PORTS round=$2 $stat"
}

if [ "$MODE" = throughput ]; then
  head -c "$BYTES" /dev/urandom >/tmp/payload
  # Rounds go through every combination in turn, so a slow spell of the
  # machine hits all of them alike.
  round=1
  while [ $round -le "$ROUNDS" ] && [ $hangs_in_row -lt 3 ]; do
    for s in $stderrs; do
      for t in $TOOLS; do
        read_run $t $s $round
        write_run $t $s $round
      done
    done
    round=$((round + 1))
  done
else
  round=1
  while [ $round -le "$ROUNDS" ] && [ $hangs_in_row -lt 3 ]; do
    for t in $TOOLS; do
      startup_run $t $round
    done
    round=$((round + 1))
  done
fi
if [ $hangs_in_row -ge 3 ]; then
  echo "BENCH-STUCK $hangs_in_row hung runs in a row: the rounds end here"
fi
