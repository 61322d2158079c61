# The harness's cases, run inside the guest as /guest.sh. Every run leaves
# NAME.rc, NAME.err and NAME.out (or NAME.sum for big outputs) in /tmp/out;
# at the end that folder goes to the host as a tar on the port "results".
# The host decides what passed. The order matters: the not-found lookups
# walk every port while the host's data waits unread in the guest, and the
# reads come after them.
set -u
# A run that hangs is ended after this many seconds (status 143) and costs
# only its own case. The watcher that timeout forks never holds a port.
cp="timeout 20 /chanpipe"
out=/tmp/out
mkdir -p $out
sizes=$(cat /sizes)

# run NAME STDIN ARGS...: chanpipe ARGS with stdin from STDIN.
run() {
  name=$1 input=$2
  shift 2
  echo "GUEST-RUN $name"
  $cp "$@" <"$input" >$out/$name.out 2>$out/$name.err
  echo $? >$out/$name.rc
}

# summary FILE: its size and sha256.
summary() {
  echo "$(wc -c <"$1") $(sha256sum "$1" | cut -d' ' -f1)"
}

run usage-none /dev/null
run usage-mode-only /dev/null r
run usage-bad-mode /dev/null R in-1
run usage-long-mode /dev/null rw in-1
run usage-empty-mode /dev/null "" in-1

run nf-unknown /dev/null r nosuch
run nf-case /dev/null w CAse
run nf-prefix /dev/null r cas
run nf-longer /dev/null w casexy

printf 'to case\n' >/tmp/to-case
printf 'to Case\n' >/tmp/to-Case
run name-exact /tmp/to-case w case
run name-other-case /tmp/to-Case w Case extra-argument

# Held open by another process, the port is still found (the lookup does
# not open it for data) and then refused at the data open.
printf 'while busy\n' >/tmp/busy-text
printf 'after busy\n' >/tmp/after-text
# The holder is a process of its own, so that no run inherits the port,
# and the runs start only once it has the port open.
busy=$(port_node busy)
sleep 600 <"$busy" &
holder=$!
tries=0
while [ "$(readlink /proc/$holder/fd/0)" != "$busy" ] && [ $tries -lt 100 ]; do
  sleep 0.1
  tries=$((tries + 1))
done
run busy-w /tmp/busy-text w busy
run busy-r /dev/null r busy
kill $holder
wait $holder
run busy-freed /tmp/after-text w busy

# A user other than root: the port nodes are root's alone, as udev leaves
# them, so the data open is refused; then the node is given to a group of
# the user's, as a udev rule for that one port would.
mkdir -p /etc
echo 'root:x:0:0::/:/bin/sh' >/etc/passwd
echo 'user:x:1000:1000::/tmp:/bin/sh' >>/etc/passwd
printf 'root:x:0:\nuser:x:1000:\nchanpipe:x:1001:user\n' >/etc/group
printf 'from a group member\n' >/tmp/member-text
# as_user NAME STDIN ARGS...: run, as that user.
as_user() {
  name=$1 input=$2
  shift 2
  echo "GUEST-RUN $name"
  timeout 20 su -s /bin/sh user -c "exec /chanpipe $*" <"$input" >$out/$name.out 2>$out/$name.err
  echo $? >$out/$name.rc
}
as_user user-denied-w /tmp/member-text w perm
as_user user-denied-r /dev/null r perm-in
for node in $(port_node perm) $(port_node perm-in); do
  chgrp chanpipe "$node"
  chmod 660 "$node"
done
as_user user-group-w /tmp/member-text w perm
as_user user-group-r /dev/null r perm-in

echo "GUEST-RUN stdout-closed"
$cp r closed-out >&- 2>$out/stdout-closed.err
echo $? >$out/stdout-closed.rc

# A closed standard descriptor must not become the port: the progress
# lines stay off the channel, and a closed stdin is a failed read.
printf 'only data\n' >/tmp/only-data
echo "GUEST-RUN stderr-closed"
$cp w out-quiet </tmp/only-data >$out/stderr-closed.out 2>&-
echo $? >$out/stderr-closed.rc
echo "GUEST-RUN stdin-closed"
$cp w out-nostdin <&- >$out/stdin-closed.out 2>$out/stdin-closed.err
echo $? >$out/stdin-closed.rc

for n in $sizes; do
  echo "GUEST-RUN r-$n"
  $cp r in-$n >/tmp/r-$n 2>$out/r-$n.err
  echo $? >$out/r-$n.rc
  summary /tmp/r-$n >$out/r-$n.sum
  rm -f /tmp/r-$n
done

for n in $sizes; do
  head -c $n /dev/urandom >/tmp/g-$n
  summary /tmp/g-$n >$out/w-$n.sum
  run w-$n /tmp/g-$n w out-$n
  rm -f /tmp/g-$n
done

# Through a pipe the chunks are whatever the pipe delivers.
head -c 1048576 /dev/urandom >/tmp/g-pipe
summary /tmp/g-pipe >$out/w-pipe.sum
echo "GUEST-RUN w-pipe"
cat /tmp/g-pipe | $cp w out-pipe >$out/w-pipe.out 2>$out/w-pipe.err
echo $? >$out/w-pipe.rc
rm -f /tmp/g-pipe

tar -c -f - -C /tmp out >"$(port_node results)"
