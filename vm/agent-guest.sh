# The guest's agent, run as /guest.sh: it does what the host (vm/agent.py)
# asks on its serial line (serial_node), each request in the background, so
# that the host can pause the VM or unplug a port while a transfer runs.
# The lifecycle cases and the host-side benchmark use it.
#
#   host to guest:  ID COMMAND...   a function below, or any sh command
#   guest to host:  ID OUTPUT       the command's output, on one line
#                   READY           once, when it listens
# "ID quit" ends the boot. /data holds the host's payloads for the writes.
set -u
mount -t debugfs debugfs /sys/kernel/debug
control=$(serial_node) || { echo "GUEST-ERROR no serial line to the host"; exit 1; }
stty -F "$control" raw -echo
exec 4<>"$control"

# xfer TOOL r|w NAME BOX FILE...: one time-boxed transfer on the port NAME
# with chanpipe or dd bs=4096: r into FILE, w from the FILEs one after the
# other. Prints runstat's line, then what was read or sent and the last line
# of standard error that is not a progress line.
xfer() {
  tool=$1 dir=$2 name=$3 box=$4 file=$5
  shift 4
  node=$(port_node "$name") || node=/dev/missing
  # A read with no host connected ends at once: wait until the driver knows.
  tries=0
  while [ "$dir" = r ] && [ "$(counter "$name" host_connected)" != 1 ] && [ $tries -lt 500 ]; do
    sleep 0.02
    tries=$((tries + 1))
  done
  case $tool.$dir in
    chanpipe.r) set -- -o "$1" -- /chanpipe r "$name" ;;
    dd.r) set -- -o "$1" -- dd if="$node" bs=4096 ;;
    chanpipe.w) set -- -- sh -c 'cat "$@" | exec /chanpipe w "$0"' "$name" "$@" ;;
    dd.w) set -- -- sh -c 'cat "$@" | exec dd of="$0" bs=4096' "$node" "$@" ;;
  esac
  stat=$(/runstat -t "$box" -e "/tmp/$id.err" "$@" 2>"/tmp/$id.hang")
  [ "$dir" = r ] && echo "$stat size=$(wc -c <"$file") sha=$(sha256sum <"$file" | cut -d' ' -f1)" ||
    echo "$stat"
  echo "wchan=$(sed -n 's/.*wchan: //p' "/tmp/$id.hang" | head -n 1)"
  echo "err=$(grep -v -e '^Executing WriteFile$' -e '^Finished WriteFile$' "/tmp/$id.err" | tail -n 1)"
}

# counter NAME FIELD: one of the driver's counters of the port NAME.
counter() {
  node=$(port_node "$1") && sed -n "s/^$2: //p" "/sys/kernel/debug/virtio-ports/${node#/dev/}"
}

# blocked NAME: waits (at most 30 s) until a writer of NAME is stuck on a
# full queue, no byte sent for a second; prints how many the driver took.
blocked() {
  last=-1 same=0 tries=0
  while [ $same -lt 10 ] && [ $tries -lt 300 ]; do
    tries=$((tries + 1))
    now=$(counter "$1" bytes_sent)
    [ "$now" = "$last" ] && [ "$(counter "$1" outvq_full)" = 1 ] && same=$((same + 1)) || same=0
    last=$now
    sleep 0.1
  done
  echo "sent=$last"
}

# appears NAME BOX: how long a port named NAME took to appear.
appears() {
  /runstat -t "$2" -- sh -c 'until grep -qx "$0" /sys/class/virtio-ports/*/name; do
    sleep 0.02; done' "$1" 2>/dev/null
}

echo READY >&4
while read -r id command <&4; do
  [ "$command" = quit ] && break
  (
    out=$(eval "$command" 2>&1 4>&-)
    printf '%s %s\n' "$id" "$(echo "$out" | tr '\n' ' ')" >&4
  ) &
done
wait
