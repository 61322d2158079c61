#!/bin/bash
# Measures chanpipe-host through libvirt against chanpipe-host on the
# channel's own socket, with chanpipe in the guest at the other end:
#
#   scripts/bench-libvirt.sh [-n ROUNDS] [-m MIB]      (as root)
#
# One boot of the x86_64 guest in a transient libvirt domain with a unix
# and a tcp channel, under libvirt daemons of its own (vm/libvirt_guest.py:
# they listen on qemu+tcp://127.0.0.1/system too). Each round, every way
# of reaching a channel sends the same MIB MiB payload (default 64) to the
# guest's `chanpipe r` and takes it from its `chanpipe w`, ROUNDS times
# (default 5) in turn; see the notes printed under the table. Prints a
# Markdown table of medians, as ratios to `--socket` in the same round, and
# leaves it with the raw lines in build/bench-libvirt/. Installs and builds
# what it needs, like the demo.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
. vm/lib.sh

rounds=5 mib=64
while getopts n:m: opt; do
  case $opt in
    n) rounds=$OPTARG ;;
    m) mib=$OPTARG ;;
    *) qemu_die "usage: $0 [-n ROUNDS] [-m MIB]" ;;
  esac
done
[ "$(id -u)" -eq 0 ] || qemu_die "needs root: it starts libvirtd and virtlogd of its own, and runs \
chanpipe-host as root and as a user of group libvirt"
out=$root/build/bench-libvirt
mkdir -p "$out"
qemu_apt_install libvirt-daemon-system libvirt-clients python3-libvirt
qemu_setup "$root"
/usr/bin/python3 -c 'import libvirt' 2>/dev/null ||
  qemu_die "Debian's python3 has no libvirt module; apt-get install python3-libvirt"

work=$(mktemp -d /tmp/chanpipe-benchlv.XXXXXX)
trap 'rm -rf "$work"' EXIT
# A run that hung ends the rounds; the table has what came before it.
/usr/bin/python3 vm/bench-libvirt.py "$work" "$QEMU_CHANPIPE" "$QEMU_RUNSTAT" "$root/.cache/qemu" \
  "$rounds" "$mib" >"$out/raw.txt" ||
  echo "bench: the host side stopped early; the table has the runs before" >&2

awk -v title=libvirt -v base=socket -v mib="$mib" -v rounds="$rounds" -f vm/bench-table.awk \
  "$out/raw.txt" >"$out/results.md"
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores;"
  echo "QEMU $($QEMU_SYSTEM --version | head -n 1 | awk '{print $4}') (TCG), libvirt $(libvirtd --version | awk '{print $NF}'), guest $(cat "$QEMU_KERNEL_DIR/package"), 1 vCPU; chanpipe-host by Debian's $(/usr/bin/python3 --version)."
  echo
  cat "$out/results.md"
  cat <<'EOF'

The host tools, each a `chanpipe-host` run:

- socket: `--socket PATH` on the unix channel's socket, no libvirt (the baseline).
- domain: `--domain NAME --port NAME` as root: libvirt names that socket, and its events the guest's opens and closes.
- user-stream: the same as a user of group `libvirt` (`--connect qemu:///system`), who may not open the socket: libvirt's stream (`virDomainOpenChannel`).
- remote-stream: `--connect qemu+tcp://127.0.0.1/system`: the stream, through a remote URI.
- tcp: `--tcp 127.0.0.1:PORT` on the tcp channel, no libvirt.
- domain-tcp, remote-tcp: `--domain` on the tcp channel, with the local and the remote URI.

A `send` through a stream is refused by design, before a byte goes (a stream has no half-close: its end would lose what QEMU had not read yet), so the streams have no host → guest rows. With `--domain`, `send` waits until the guest's reader has held the port open for 1.3 s before it sends, and then for the reader's close; `recv` ends on the guest's close after a second of quiet (the last column). `--socket` and `--tcp` neither wait nor see the close: their `recv` is stopped after the last byte.
EOF
} | tee "$out/report.md"
echo "raw results: $out/raw.txt, tables: $out/report.md" >&2
