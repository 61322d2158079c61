# The guest side of the host-command test, run as /guest.sh. The host
# (commands.py) sends one step at a time on the second serial line:
#   STEP ID DIR NAME SIZE MODE   DIR r: chanpipe r NAME receives; w:
#                                chanpipe w NAME sends SIZE random bytes
#   STEP ID DIR NAME SIZE line FILE COMMAND...
#                                a documented guest command, run as printed
#                                in a folder of its own; FILE is what it
#                                reads (filled first) or writes (judged)
#   END                          the test is over
# MODE plain, stall (the reader stops for 2 s near the end of the data),
# short (the reader takes 1000 bytes and goes) or none (nothing runs).
# The guest answers READY ID once the port's last host has gone, runs its
# side once the step's host has connected, and reports
#   DONE ID status=S size=N sha=SHA256   of what it got (r) or sent (w)
set -u
# The documented commands run chanpipe from the PATH.
ln -s /chanpipe /bin/chanpipe
# The stalled reader stops with this many bytes of the data still to come
# (a whole number of pages): a little more than the driver's receive queue
# (128 pages), the pipe (64 KiB) and chanpipe's chunk hold, so that the
# rest waits in QEMU's socket, and less than those and the socket (about
# 48 KiB, measured) together, so that the host has sent it all: a host
# that does not wait for QEMU to hang up loses that rest.
STALL=$((151 * 4096))
mount -t debugfs debugfs /sys/kernel/debug
tty=$(serial_node) || { echo "GUEST-ERROR no serial line to the host"; exit 1; }
stty -F "$tty" raw -echo
exec 4<>"$tty"
ctl() { echo "$*" >&4; }
sha() { sha256sum | cut -d' ' -f1; }

# host NODE STATE: waits, at most 20 s, until the port's host is (1) or
# is not (0) connected. (A host that comes and goes at once, before the
# reader starts, has lost its data.)
host() {
  n=0
  until [ "$(sed -n 's/^host_connected: //p' "/sys/kernel/debug/virtio-ports/${1#/dev/}")" = "$2" ]; do
    n=$((n + 1))
    [ $n -le 400 ] || return 1
    sleep 0.05
  done
}

ctl HELLO
while read -r word id dir name size mode file command <&4; do
  [ "$word" = STEP ] || break
  node=$(port_node "$name")
  cd /tmp
  if [ "$mode" = none ]; then
    ctl "READY $id"
    ctl "DONE $id status=- size=0 sha=-"
    continue
  fi
  if [ "$mode" = line ]; then
    rm -rf /tmp/step && mkdir /tmp/step && cd /tmp/step
    [ "$dir" = r ] || { mkdir -p "$(dirname "$file")" && head -c "$size" /dev/urandom >"$file"; }
  else
    file=/tmp/data
    [ "$dir" = w ] && head -c "$size" /dev/urandom >"$file"
  fi
  host "$node" 0 || echo "GUEST-ERROR step $id: the last host of $name stayed"
  ctl "READY $id"
  if ! host "$node" 1; then
    ctl "DONE $id status=nohost size=0 sha=-"
    continue
  fi
  box="timeout 120 /chanpipe"
  case $dir/$mode in
    r/plain)
      $box r "$name" >/tmp/data 2>/tmp/err
      echo $? >/tmp/rc
      ;;
    r/stall)
      # dd, not head -c: busybox's head reads past its count from a pipe.
      { $box r "$name" 2>/tmp/err; echo $? >/tmp/rc; } |
        { dd bs=4096 count=$(((size - STALL) / 4096)) 2>/dev/null; sleep 2; cat; } >/tmp/data
      ;;
    r/short)
      { $box r "$name" 2>/tmp/err; echo $? >/tmp/rc; } | head -c 1000 >/tmp/data
      ;;
    w/plain)
      $box w "$name" </tmp/data 2>/tmp/err
      echo $? >/tmp/rc
      ;;
    */line)
      timeout 120 sh -c "$command"
      echo $? >/tmp/rc
      ;;
  esac
  ctl "DONE $id status=$(cat /tmp/rc) size=$(wc -c <"$file") sha=$(sha <"$file")"
  rm -rf /tmp/data /tmp/step
done
