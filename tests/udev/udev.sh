#!/bin/bash
# The README's udev recipe in a Debian 12 guest with systemd and udev
# (vm/debian.sh): the busybox guest of the other QEMU tests has no udev.
# Three boots of one image, udev-guest.sh doing the guest's side:
#   order   on a snapshot of the disk: the recipe's commands in the orders
#           that fail (the rule before the group, read by udev at the next
#           event or at a reload; the group added, then reloaded without a
#           changed rules file), and a plain group
#   recipe  chanpipe's package installed with dpkg, alice's session begun
#           before the recipe, the recipe as printed, then a new login of
#           hers moving 8 MiB each way against chanpipe-host (through QMP)
#   reboot  the same disk again: the node at boot
# The recipe is README.md's code block that writes 60-chanpipe.rules, and
# the man page must print the same commands. Each step's owner, group and
# mode of the node are judged against what must be.
#
#   tests/udev/udev.sh [-w WORK] [-c CACHE] [DEB]
#
# As root (debootstrap), or it is skipped (status 77); in CI (CI set) it
# takes root through sudo. DEB is chanpipe's
# Debian package; without it the linux preset is built into build/linux
# and packed. WORK (default build/udev) keeps the image, and each boot's
# console (WORD.console) and output (WORD.out). The guest's root is made
# once into CACHE (default .cache/debian), from deb.debian.org.
set -eu
# In CI, root through sudo (as the package test).
if [ "$(id -u)" -ne 0 ] && [ -n "${CI:-}" ] && sudo -n true 2>/dev/null; then
  exec sudo -n bash "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$root/vm/lib.sh"
. "$root/vm/debian.sh"

work=$root/build/udev cache=$root/.cache/debian
while getopts c:w: opt; do
  case $opt in
    c) cache=$OPTARG ;;
    w) work=$OPTARG ;;
    *) qemu_die "usage: $0 [-w WORK] [-c CACHE] [DEB]" ;;
  esac
done
shift $((OPTIND - 1))
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: the udev recipe's guest is made with debootstrap: runs as root, or in CI with sudo"
  exit 77
fi
qemu_check_tools
command -v python3 >/dev/null || qemu_die "missing host tools; apt-get install python3"
clock=$(date +%s)
# lap WHAT: how long WHAT took, since the last lap.
lap() {
  echo "udev: $1: $(($(date +%s) - clock)) s" >&2
  clock=$(date +%s)
}

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
if [ $# -eq 0 ]; then
  (cd "$root" && cmake --preset linux && cmake --build --preset linux -j 2 &&
    scripts/pack.sh "$work/dist" build/linux) >"$work/build.log" 2>&1 ||
    { tail -n 20 "$work/build.log" >&2; qemu_die "the build or the package failed"; }
  deb=$(echo "$work"/dist/chanpipe_*_amd64.deb)
else
  deb=$1
fi
[ -f "$deb" ] || qemu_die "no package at $deb"

# recipe_of FILE OPEN CLOSE [man]: the commands of FILE's block (from a
# line matching OPEN to one matching CLOSE) that writes 60-chanpipe.rules,
# one a line, a continued line joined to the next; a man page's prompts
# and escapes taken out.
recipe_of() {
  awk -v first="$2" -v last="$3" -v man="${4:-}" '
    !block && $0 ~ first { block = 1; text = ""; line = ""; next }
    block && $0 ~ last {
      block = 0
      if (text ~ /60-chanpipe\.rules/) printf "%s", text
      next
    }
    block {
      s = $0
      if (man) {
        sub(/^[#$] /, "", s)
        gsub(/\\e/, "\\", s)
      }
      if (line != "") sub(/^[ \t]+/, "", s)
      line = line s
      if (sub(/[ \t]*\\$/, " ", line)) next
      text = text line "\n"
      line = ""
    }' "$1"
}
recipe_of "$root/README.md" '^```' '^```' >"$work/recipe.readme"
recipe_of "$root/docs/chanpipe.1" '^\.Bd -literal' '^\.Ed' man >"$work/recipe.man"
[ -s "$work/recipe.readme" ] || qemu_die "README.md has no block that writes 60-chanpipe.rules"
diff "$work/recipe.readme" "$work/recipe.man" >&2 ||
  qemu_die "README.md (<) and docs/chanpipe.1 (>) print different recipes"
sed 's/\bUSER\b/alice/g' "$work/recipe.readme" >"$work/recipe"
for kind in groupadd rules.d udevadm usermod; do
  [ "$(grep -c -- "$kind" "$work/recipe")" = 1 ] || qemu_die "the recipe has no single $kind line"
done

debian_image "$cache" "$work" "$here/udev-guest.sh" "$work/recipe" "$deb"
lap "the guest's image"

# Socket paths must stay short (108 bytes), whatever the work folder.
sockets=$(mktemp -d /tmp/chanpipe-udev.XXXXXX)
# shellcheck disable=SC2046 # the guest and the host side, if they still run
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$sockets"' EXIT
qemu_ports_reset
qemu_port_socket logs "$sockets/logs" logs
QEMU_ARGS+=(-qmp "unix:$sockets/qmp,server=on,wait=off")

# boot WORD [snapshot]: one boot, which must end with the guest script's
# status 0.
boot() {
  local status=0
  debian_run 900 "$work" "$@" || status=$?
  if [ $status -ne 0 ] || ! grep -q '^GUEST-EXIT 0' "$work/$1.out"; then
    echo "udev: the $1 boot failed (QEMU status $status):" >&2
    tail -n 20 "$work/$1.out" "$work/$1.console" "$work/$1.qemu" >&2 || true
    exit 1
  fi
  lap "the $1 boot"
}

boot order snapshot

# The new login's transfers: the host sends first, then takes.
head -c $((8 << 20)) /dev/urandom >"$work/payload"
rm -f "$sockets/qmp"
boot recipe &
guest=$!
for _ in $(seq 1 300); do
  [ -S "$sockets/qmp" ] && break
  sleep 0.1
done
sent=0 received=0
python3 "$root/host/chanpipe-host" send --qmp "$sockets/qmp" --port logs <"$work/payload" \
  2>"$work/send.err" || sent=$?
python3 "$root/host/chanpipe-host" recv --qmp "$sockets/qmp" --port logs >"$work/received" \
  2>"$work/recv.err" || received=$?
wait $guest
clock=$(date +%s)

boot reboot

# The judgement, one line a check.
fails=0
judge() {
  if [ "$2" = "$3" ]; then
    printf 'ok    %-28s %s\n' "$1" "$2"
  else
    printf 'FAIL  %-28s %s; must be %s\n' "$1" "${2:-nothing}" "$3"
    fails=$((fails + 1))
  fi
}
# node WORD STEP OWNER GROUP MODE: the link's node and the node after STEP,
# with what they were as soon as its command returned.
node() {
  local now
  now=$(sed -n "s/^STAT $2-now //p" "$work/$1.out")
  judge "$1 $2" "$(sed -n "s/^STAT $2 //p" "$work/$1.out")" "$3 $4 $5 $3 $4 $5"
  [ -z "$now" ] || echo "        (as the command returned: $now)"
}
# has WORD TEXT: WORD's output has a line with TEXT.
has() {
  grep -qF -- "$2" "$work/$1.out" && echo yes || echo no
}
sha() { sha256sum <"$1" | cut -d' ' -f1; }

node order start root root 600
node order rule-first root root 600
node order event-no-group root root 660
judge "order: Unknown group" "$(sed -n 's/^JOURNAL-AT event-no-group //p' "$work/order.out")" 1
node order reload-no-group root root 660
judge "order: its line" "$(has order "60-chanpipe.rules:1 Unknown group 'chanpipe', ignoring")" yes
node order group-late root root 660
node order reload-again root root 660
node order reload-twice root root 660
node order reload-touched root chanpipe 660
node order plain-group root plaingroup 660
grep '^GROUPS ids' "$work/order.out"

node recipe start root root 600
node recipe group root root 600
node recipe rule root root 600
node recipe reload root chanpipe 660
node recipe user root chanpipe 660
judge "recipe: Unknown group" "$(has recipe "Unknown group")" no
judge "old session's groups" "$(sed -n 's/^GROUPS old //p' "$work/recipe.out")" alice
judge "newgrp in the old session" "$(sed -n 's/^GROUPS newgrp //p' "$work/recipe.out")" "chanpipe alice"
judge "old session's chanpipe w" "$(sed -n 's/^XFER old w \(status=[0-9]*\).* err=/\1 /p' "$work/recipe.out")" \
  "status=3 CreateFile error 13"
judge "old session's chanpipe r" "$(sed -n 's/^XFER old r \(status=[0-9]*\).* err=/\1 /p' "$work/recipe.out")" \
  "status=3 CreateFile error 13"
judge "new login's groups" "$(sed -n 's/^GROUPS new //p' "$work/recipe.out")" "alice chanpipe"
judge "new login's chanpipe r" "$(sed -n 's/^XFER new r //p' "$work/recipe.out")" \
  "status=0 size=$((8 << 20)) sha=$(sha "$work/payload") err="
judge "chanpipe-host send" "$sent" 0
judge "new login's chanpipe w" "$(sed -n 's/^XFER new w \(status=[0-9]*\).*sha=\([0-9a-f]*\) err=/\1 sha=\2 /p' "$work/recipe.out")" \
  "status=0 sha=$(sha "$work/received") "
judge "chanpipe-host recv" "$received $(wc -c <"$work/received")" "0 $((8 << 20))"
node reboot boot root chanpipe 660
judge "reboot: Unknown group" "$(has reboot "Unknown group")" no
grep '^MAN' "$work/recipe.out"
rm -f "$work/payload" "$work/received"
[ $fails -eq 0 ] || { echo "udev: $fails checks failed; the guest's lines are in $work/*.out" >&2; exit 1; }
echo "udev: all checks passed"
