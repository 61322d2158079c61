# The demo's guest side: chanpipe r takes the host's file from port chan0,
# then chanpipe w sends it back on the same port, each timed by runstat.
# Lines starting DEMO- are the report, read by scripts/demo.sh. As
# /guest.sh (QEMU) it runs both steps and prints them on the console; with
# DEMO_STEP=r or w it runs that one step, as the libvirt demo asks its
# guest's agent to.
mount -t debugfs debugfs /sys/kernel/debug 2>/dev/null # the agent has it already
node=$(port_node chan0)

# host_connected 1|0: waits (60 s at most) until the driver sees the host
# on chan0 (1) or gone (0). Before the host is there a read ends at once,
# and a write's bytes are lost.
host_connected() {
  tries=0
  until grep -q "host_connected: $1" /sys/kernel/debug/virtio-ports/${node#/dev/} ||
    [ $tries -ge 600 ]; do
    sleep 0.1
    tries=$((tries + 1))
  done
}

demo_r() {
  host_connected 1
  rm -f /tmp/file
  # When the first byte lands, by /proc/uptime (hundredths of a second):
  # chanpipe-host waits before it sends, and the transfer starts there.
  # (runstat -f would take the data through a pipe and halve the speed.)
  read -r began _ </proc/uptime
  (
    until [ -s /tmp/file ]; do usleep 5000; done
    read -r up _ </proc/uptime
    echo "$up" >/tmp/first
  ) &
  /runstat -o /tmp/file -e /tmp/r.err -- /chanpipe r chan0 >/tmp/r.stat
  kill $! 2>/dev/null # no byte came
  wait
  first=$(awk -v a="$began" -v b="$(cat /tmp/first 2>/dev/null)" 'BEGIN { print (b == "" ? -1 : b - a) }')
  echo "DEMO-R $(cat /tmp/r.stat) first_byte=$first size=$(wc -c </tmp/file) sha256=$(sha256sum /tmp/file | cut -d' ' -f1) writes=$(grep -c '^Finished WriteFile$' /tmp/r.err)"
}

demo_w() {
  host_connected 1
  /runstat -i /tmp/file -e /tmp/w.err -- /chanpipe w chan0 >/tmp/w.stat
  echo "DEMO-W $(cat /tmp/w.stat) writes=$(grep -c '^Finished WriteFile$' /tmp/w.err)"
  echo "DEMO-STDERR $(head -n 2 /tmp/w.err | tr '\n' '/' | sed 's#/$##; s#/# / #')"
}

case ${DEMO_STEP:-} in
  r) demo_r ;;
  w) demo_w ;;
  *)
    echo "DEMO-NODE $node"
    demo_r
    demo_w
    # chanpipe-host recv ends once the port has been closed and quiet for
    # a second: the VM stays until then.
    host_connected 0
    ;;
esac
