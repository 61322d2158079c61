# The demo's guest side: chanpipe r takes the host's file from port chan0,
# then chanpipe w sends it back on the same port, each timed by runstat.
# Lines starting DEMO- on the console are the report, read by
# scripts/demo.sh.
node=$(port_node chan0)
mount -t debugfs debugfs /sys/kernel/debug
echo "DEMO-NODE $node"
/runstat -o /tmp/file -e /tmp/r.err -- /chanpipe r chan0 >/tmp/r.stat
echo "DEMO-R $(cat /tmp/r.stat) size=$(wc -c </tmp/file) sha256=$(sha256sum /tmp/file | cut -d' ' -f1) writes=$(grep -c '^Finished WriteFile$' /tmp/r.err)"
echo "DEMO-RECEIVED"
# The host connects again to take the file back; wait for it (30 s at most)
# so that the timing below is the transfer alone.
tries=0
until grep -q 'host_connected: 1' /sys/kernel/debug/virtio-ports/${node#/dev/} || [ $tries -ge 300 ]; do
  sleep 0.1
  tries=$((tries + 1))
done
/runstat -i /tmp/file -e /tmp/w.err -- /chanpipe w chan0 >/tmp/w.stat
echo "DEMO-W $(cat /tmp/w.stat) writes=$(grep -c '^Finished WriteFile$' /tmp/w.err)"
echo "DEMO-STDERR $(head -n 2 /tmp/w.err | tr '\n' '/' | sed 's#/$##; s#/# / #')"
