#!/bin/bash
# Measures chanpipe against dd bs=4096 and cat on a real virtio-serial port
# (QEMU's device, Linux's virtio_console driver in the guest):
#
#   scripts/bench-qemu.sh [-a ARCH] [-n ROUNDS] [-m MIB] [-s STARTUP_ROUNDS] [-t BOX] [-v NAME=PATH]...
#
# Throughput: one boot; every tool moves the same MIB MiB payload (default
# 64) host to guest on the port "source" and guest to host on the port
# "sink", with standard error to /dev/null and to a file, ROUNDS times
# (default 9) in turn. Start-up: one boot with 1 port and one with 31; the
# time from a reader's start to its first byte. Prints Markdown tables of
# medians, as ratios to dd, and leaves them with the raw lines in
# build/bench-qemu/. Installs and builds what it needs, like the demo.
# -v adds another static build of chanpipe (a variant, to find out where
# time goes) to every run under NAME. Every run is time-boxed in the guest
# (-t, default 60 s plus 1 s per MiB): a run past its box is killed, printed
# as hung with its tool, round and step, and left out of the medians.
# -a arm64 measures on an arm64 guest (the linux-arm64 build) and leaves
# its tables in build/bench-qemu-arm64/; the default is x86_64.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
. vm/lib.sh

rounds=9 mib=64 startup_rounds=30 box="" variants=()
while getopts a:n:m:s:t:v: opt; do
  case $opt in
    a) QEMU_ARCH=$OPTARG ;;
    n) rounds=$OPTARG ;;
    m) mib=$OPTARG ;;
    s) startup_rounds=$OPTARG ;;
    t) box=$OPTARG ;;
    v) variants+=("$OPTARG") ;;
    *) qemu_die "usage: $0 [-a x86_64|arm64] [-n ROUNDS] [-m MIB] [-s STARTUP_ROUNDS] [-t BOX] [-v NAME=PATH]..." ;;
  esac
done
bytes=$((mib * 1048576))
box=${box:-$((60 + mib))}
qemu_arch
out=$root/build/bench-qemu
[ "$QEMU_ARCH" = x86_64 ] || out=$out-$QEMU_ARCH
mkdir -p "$out"
echo "bench: $QEMU_ARCH guest ($QEMU_SYSTEM${QEMU_MACHINE[*]:+ ${QEMU_MACHINE[*]}})" >&2

qemu_apt_install $(qemu_host_packages)
qemu_check_tools
qemu_build "$root"
qemu_check_program "$QEMU_CHANPIPE"
qemu_fetch_kernel "$root/.cache/qemu"

work=$(mktemp -d /tmp/chanpipe-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/stage"
cp "$QEMU_CHANPIPE" "$work/stage/chanpipe"
cp "$QEMU_RUNSTAT" "$work/stage/runstat"
tools="chanpipe dd cat"
for v in "${variants[@]}"; do
  case ${v%%=*} in
    chanpipe | dd | cat | runstat | *[!a-z0-9-]*) qemu_die "bad variant name in $v" ;;
  esac
  qemu_check_program "${v#*=}"
  cp "${v#*=}" "$work/stage/${v%%=*}"
  tools="$tools ${v%%=*}"
done
head -c "$bytes" /dev/urandom >"$work/payload"

# boot NAME PORTS MODE ROUNDS: one guest run; its console ends up in
# $out/NAME.console. The ports are set up by the caller.
boot() {
  local name=$1 ports=$2 mode=$3 n=$4 qemu served=0 feeder="" count i limit
  echo "MODE=$mode ROUNDS=$n BYTES=$bytes PORTS=$ports TOOLS='$tools' BOX=$box" >"$work/stage/bench.conf"
  qemu_make_initramfs "$work/stage" vm/bench-guest.sh "$work/initrd.cpio"
  rm -f "$work/console.log"
  echo "boot $name: $ports port(s), $n round(s)" >&2
  # The guest ends on its own, each run in its box; QEMU's limit only
  # guards against a guest that dies.
  limit=$((600 + n * $(echo $tools | wc -w) * 4 * box))
  qemu_run $limit "$work/initrd.cpio" "$work/console.log" &
  qemu=$!
  # Each "BENCH-FEED" line asks for the payload on the socket of "source":
  # a new connection each time, once the one before has been closed.
  while kill -0 $qemu 2>/dev/null; do
    count=$(grep -c '^BENCH-FEED' "$work/console.log" 2>/dev/null || true)
    if [ "${count:-0}" -gt $served ]; then
      if [ -n "$feeder" ]; then
        for i in $(seq 1 300); do kill -0 "$feeder" 2>/dev/null || break; sleep 0.1; done
        kill "$feeder" 2>/dev/null || true
        wait "$feeder" 2>/dev/null || true
      fi
      socat -t 600 - "UNIX-CONNECT:$work/source.sock" <"$work/payload" >/dev/null 2>&1 &
      feeder=$!
      served=$((served + 1))
    fi
    sleep 0.05
  done
  if [ -n "$feeder" ]; then
    kill "$feeder" 2>/dev/null || true
    wait "$feeder" 2>/dev/null || true
  fi
  wait $qemu || qemu_die "boot $name failed; see $out/$name.console"
  tr -d '\r' <"$work/console.log" >"$out/$name.console"
  grep -q '^GUEST-EXIT 0' "$out/$name.console" || qemu_die "guest of boot $name failed; see $out/$name.console"
}

qemu_ports_reset
qemu_port_socket source "$work/source.sock"
qemu_port_out sink /dev/null
boot throughput 2 throughput "$rounds"

for ports in 1 31; do
  qemu_ports_reset
  for ((i = 1; i < ports; i++)); do
    qemu_port_out "idle-$i" /dev/null
  done
  # The wanted port comes last, so the lookup asks every other one first.
  qemu_port_in feed "$work/feed.sock" /dev/zero
  boot "startup-$ports" "$ports" startup "$startup_rounds"
done

grep -h '^RESULT' "$out"/throughput.console "$out"/startup-1.console "$out"/startup-31.console \
  >"$out/raw.txt"

# The arithmetic: medians per combination, then ratios to dd.
awk -v mib="$mib" -v rounds="$rounds" -v tools="$tools" '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  {
    delete f
    for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
    if (f["hung"] == 1) {
      hung++
      hunglist = hunglist sprintf("\n  %s, round %d, step %s%s: killed after %.0f s", f["tool"], f["round"],
        f["dir"], f["dir"] == "startup" ? " with " f["ports"] " ports" : ", stderr to " f["stderr"], f["wall"])
      next
    }
    if (f["dir"] == "startup") {
      k = f["ports"] SUBSEP f["tool"]
      if (f["first"] < 0) { bad++; next }
      first[k] = first[k] " " f["first"] * 1000
      nstart[k]++
      next
    }
    k = f["dir"] SUBSEP f["stderr"] SUBSEP f["tool"]
    if (f["status"] != 0 || f["complete"] != 1) { bad++; badlist = badlist "\n  " $0; next }
    speed[k] = speed[k] " " mib / f["wall"]
    cpu[k] = cpu[k] " " (f["user"] + f["sys"]) / mib
    run_speed[k, f["round"]] = mib / f["wall"]
    run_cpu[k, f["round"]] = (f["user"] + f["sys"]) / mib
    nrun[k]++
  }
  END {
    printf "## Throughput: %d MiB, median of %d runs each; × dd is the median of the ratios to dd bs=4096 in the same round\n\n", mib, rounds
    print "| direction | stderr | tool | MiB/s | × dd | CPU ms/MiB | × dd | runs |"
    print "|---|---|---|---:|---:|---:|---:|---:|"
    split("read write", dirs, " "); split("null file", errs, " "); ntools = split(tools, toolv, " ")
    dirname["read"] = "host → guest"; dirname["write"] = "guest → host"
    errname["null"] = "/dev/null"; errname["file"] = "a file"
    toolname["read", "chanpipe"] = "chanpipe r"; toolname["write", "chanpipe"] = "chanpipe w"
    for (d = 1; d <= 2; d++) for (e = 1; e <= 2; e++) {
      base = dirs[d] SUBSEP errs[e] SUBSEP "dd"
      for (t = 1; t <= ntools; t++) {
        k = dirs[d] SUBSEP errs[e] SUBSEP toolv[t]
        name = (dirs[d] SUBSEP toolv[t]) in toolname ? toolname[dirs[d], toolv[t]] : toolv[t]
        # Ratios pair each run with dd in the same round, a few seconds
        # apart, so that a slow spell of the host weighs on both.
        sr = ""; cr = ""
        for (r = 1; r <= rounds; r++) {
          if (!((k, r) in run_speed) || !((base, r) in run_speed)) continue
          sr = sr " " run_speed[k, r] / run_speed[base, r]
          cr = cr " " run_cpu[k, r] / run_cpu[base, r]
        }
        printf "| %s | %s | %s | %.1f | %.3f | %.2f | %.2f | %d |\n", dirname[dirs[d]], errname[errs[e]],
          name, median(speed[k]), median(sr), median(cpu[k]) * 1000, median(cr), nrun[k]
      }
    }
    printf "\n## Start-up to the first byte (chanpipe r, dd and cat reading the port), median of the runs\n\n"
    print "| ports | chanpipe r ms | dd ms | cat ms | chanpipe − dd ms | runs |"
    print "|---:|---:|---:|---:|---:|---:|"
    split("1 31", counts, " ")
    for (p = 1; p <= 2; p++) {
      c = median(first[counts[p], "chanpipe"]); d = median(first[counts[p], "dd"])
      printf "| %d | %.2f | %.2f | %.2f | %+.2f | %d |\n", counts[p], c, d,
        median(first[counts[p], "cat"]), c - d, nstart[counts[p], "chanpipe"]
    }
    if (hung) printf "\n%d runs hung, were killed at the end of their box and are left out:%s\n", hung, hunglist
    if (bad) printf "\n%d runs failed or were incomplete and are left out:%s\n", bad, badlist
  }' "$out/raw.txt" >"$out/results.md"

{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores;"
  echo "QEMU $($QEMU_SYSTEM --version | head -n 1 | awk '{print $4}') (TCG), $QEMU_SYSTEM${QEMU_MACHINE[*]:+ ${QEMU_MACHINE[*]}}, guest $(cat "$QEMU_KERNEL_DIR/package"), 1 vCPU, busybox $(sed -n 's/^GUEST-BUSYBOX //p' "$out/throughput.console" | awk '{print $2}')."
  echo
  cat "$out/results.md"
} | tee "$out/report.md"
echo >&2
if grep -q '^BENCH-STUCK' "$out"/*.console; then
  grep -h '^BENCH-STUCK' "$out"/*.console | sed 's/^/bench: /' >&2
fi
if grep -q 'hung=1' "$out/raw.txt"; then
  echo "bench: some runs hung; what they waited in is on the HANGINFO lines of $out/*.console" >&2
fi
echo "raw results: $out/raw.txt, tables: $out/report.md" >&2
