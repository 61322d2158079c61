# The udev recipe's guest side, run as root by the Debian guest's unit
# (vm/debian.sh) with the boot's word:
#   order   the recipe's commands in the orders that fail: the rule before
#           the group, then the group added and reloaded without a changed
#           rules file; then a plain (not system) group
#   recipe  chanpipe's package installed, the user alice made and logged in,
#           the recipe's commands in its order, then the old session's and
#           a new login's runs of chanpipe
#   reboot  what the port's node is at boot
# /root/recipe holds the recipe, one command a line, with alice as USER.
# Every line printed is "WHAT ..." for udev.sh to judge:
#   STAT STEP OWNER GROUP MODE OWNER GROUP MODE   the link /dev/virtio-ports/logs
#                                                 (followed), then the node
#   RUN STEP COMMAND                              a command of the recipe
#   GROUPS SESSION NAME...                        alice's groups in a session
#   XFER SESSION r|w status=N size=N sha=SHA err=LAST-LINE
#   JOURNAL LINE                                  a line of udev's in the journal
#   JOURNAL-AT STEP N                             how many say "Unknown group"
#   MAN WHERE PAGE                                man, the package's page
set -u
word=$1
link=/dev/virtio-ports/logs
rules=/etc/udev/rules.d/60-chanpipe.rules

# The node of the port "logs", from sysfs.
node() {
  for p in /sys/class/virtio-ports/vport*; do
    [ "$(cat "$p/name")" = logs ] && echo "/dev/${p##*/}" && return 0
  done
  return 1
}

# stat_step STEP: the owner, group and mode of the link's node and of the
# node itself.
stat_step() {
  echo "STAT $1 $(stat -L -c '%U %G %a' $link 2>/dev/null || echo - - -)" \
    "$(stat -c '%U %G %a' "$(node)" 2>/dev/null || echo - - -)"
}

# kind COMMAND: which of the recipe's commands it is: group, rule, reload
# or user.
kind() {
  case $1 in
    groupadd*) echo group ;;
    *rules.d*) echo rule ;;
    udevadm*) echo reload ;;
    usermod*) echo user ;;
    *) echo other ;;
  esac
}

# step STEP KIND: runs the recipe's command of that KIND as printed; its
# STAT lines as soon as it returns (STEP-now) and once udev is idle (STEP).
step() {
  while IFS= read -r command; do
    [ "$(kind "$command")" = "$2" ] || continue
    echo "RUN $1 $command"
    sh -c "$command" </dev/null || echo "RUN $1 failed: status $?"
    stat_step "$1-now"
    udevadm settle
    stat_step "$1"
  done </root/recipe
}

# journal: what udev logged since boot.
journal() {
  journalctl -b -u systemd-udevd --no-pager -o cat | sed 's/^/JOURNAL /'
}

# host_connected: waits, at most 120 s, until the port's host is connected.
host_connected() {
  n=0
  until [ "$(sed -n 's/^host_connected: //p' "/sys/kernel/debug/virtio-ports/$(basename "$(node)")")" = 1 ]; do
    n=$((n + 1))
    [ $n -le 1200 ] || return 1
    sleep 0.1
  done
}

# xfer SESSION r|w FILE: the last run's line, with what was read into or sent
# from FILE and the last line of /tmp/SESSION-DIR.err that is no progress line.
xfer() {
  echo "XFER $1 $2 status=$(cat "/tmp/$1-$2.status") size=$(wc -c <"$3")" \
    "sha=$(sha256sum <"$3" | cut -d' ' -f1)" \
    "err=$(grep -v -e '^Executing WriteFile$' -e '^Finished WriteFile$' "/tmp/$1-$2.err" | tail -n 1)"
}

# The ports are named and udev has linked them.
udevadm settle
n=0
until [ -e $link ] || [ $n -gt 300 ]; do
  n=$((n + 1))
  sleep 0.1
done

case $word in
  order)
    stat_step start
    # The rule first: udev drops the group it cannot resolve, once it
    # reads the file: at the next event (3 s after it last looked), even
    # without a reload.
    step rule-first rule
    sleep 4
    udevadm trigger -s virtio-ports && udevadm settle
    stat_step event-no-group
    echo "JOURNAL-AT event-no-group $(journalctl -b -u systemd-udevd --no-pager -o cat | grep -c 'Unknown group')"
    step reload-no-group reload
    # The group now, but the rules file is as udev read it.
    step group-late group
    step reload-again reload
    step reload-twice reload
    # A changed rules file makes udev read it again.
    touch $rules
    step reload-touched reload
    # A plain group, a user's kind, in a rule of its own after the first.
    groupadd plaingroup
    sed s/chanpipe/plaingroup/ $rules >/etc/udev/rules.d/61-plaingroup.rules
    udevadm control --reload && udevadm trigger -s virtio-ports && udevadm settle
    stat_step plain-group
    echo "GROUPS ids $(getent group chanpipe plaingroup | cut -d: -f1,3 | tr '\n' ' ')"
    journal
    ;;
  recipe)
    dpkg -i /root/chanpipe_*.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; exit 1; }
    echo "MAN $(command -v man || echo none) $(ls /usr/share/man/man1/chanpipe.1* 2>/dev/null || echo none)"
    useradd -m alice
    stat_step start
    # alice's session, begun before she is in the group: it runs chanpipe
    # only once the recipe is through.
    cat >/tmp/old.sh <<'EOF'
touch /tmp/old.ready
while [ ! -e /tmp/old.go ]; do sleep 0.1; done
echo "GROUPS old $(id -nG)"
newgrp chanpipe <<'IN'
echo "GROUPS newgrp $(id -nG)"
IN
chanpipe w logs </dev/null 2>/tmp/old-w.err
echo $? >/tmp/old-w.status
chanpipe r logs >/tmp/old-r.out 2>/tmp/old-r.err
echo $? >/tmp/old-r.status
EOF
    su -l alice -c 'sh /tmp/old.sh' >/tmp/old.out 2>&1 &
    old=$!
    until [ -e /tmp/old.ready ]; do sleep 0.1; done
    # The recipe in its order, each step named by its kind.
    while IFS= read -r command <&3; do
      step "$(kind "$command")" "$(kind "$command")"
    done 3</root/recipe
    touch /tmp/old.go
    wait $old
    cat /tmp/old.out
    xfer old w /dev/null
    xfer old r /tmp/old-r.out
    # A new login: the host sends first, then takes what the guest sends.
    echo "GROUPS new $(su -l alice -c 'id -nG')"
    host_connected || echo "XFER new r: no host came"
    su -l alice -c 'chanpipe r logs >/tmp/new-r.out 2>/tmp/new-r.err; echo $? >/tmp/new-r.status'
    xfer new r /tmp/new-r.out
    head -c $((8 << 20)) /dev/urandom >/tmp/payload
    chmod 644 /tmp/payload
    su -l alice -c 'chanpipe w logs </tmp/payload 2>/tmp/new-w.err; echo $? >/tmp/new-w.status'
    xfer new w /tmp/payload
    journal
    ;;
  reboot)
    stat_step boot
    journal
    ;;
  *)
    echo "no such word: $word"
    exit 1
    ;;
esac
