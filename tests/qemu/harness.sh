#!/bin/bash
# chanpipe against a real virtio-serial device: QEMU's, with Linux's
# virtio_console driver in the guest and QEMU chardevs on the host side.
#
#   harness.sh list                       the case names, one a line
#   harness.sh boot CHANPIPE WORK CACHE   one boot that runs every case
#   harness.sh check WORK CASE            judge one case from what it left
#
# "boot" builds an initramfs around the static CHANPIPE, boots it once with
# all the ports the cases need, and leaves in WORK what the guest reported
# (WORK/guest) and what the host sent and received (WORK/host). CACHE holds
# the kernel between runs. The guest is of QEMU_ARCH (vm/lib.sh), x86_64
# unless set; CHANPIPE must be built for it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../vm/lib.sh"

sizes="0 1 4095 4096 4097 67108864"
pipe_size=1048576
closed_out_size=8192
# Ports whose names differ from "case" only by letter case or as a prefix;
# the lookup must never pick one of them for another.
name_ports="CASE casex case Case case.long"
usage_line='Usage: chanpipe [r|w] [channel name]'

list_cases() {
  local n
  echo usage-none usage-mode-only usage-bad-mode usage-long-mode usage-empty-mode
  echo nf-unknown nf-case nf-prefix nf-longer
  echo name-exact name-other-case
  echo busy-w busy-r busy-freed stdout-closed stderr-closed stdin-closed
  echo user-denied-w user-denied-r user-group-w user-group-r
  for n in $sizes; do echo "r-$n"; done
  for n in $sizes; do echo "w-$n"; done
  echo w-pipe
}

summary() {
  echo "$(wc -c <"$1") $(sha256sum "$1" | cut -d' ' -f1)"
}

boot() {
  local chanpipe=$1 work=$2 cache=$3 sockets n name status=0
  qemu_check_tools
  qemu_check_program "$chanpipe"
  qemu_fetch_kernel "$cache"
  rm -rf "$work"
  mkdir -p "$work/host" "$work/stage" "$work/guest"
  # Socket paths must stay short (108 bytes), whatever the build folder.
  sockets=$(mktemp -d /tmp/chanpipe-qemu.XXXXXX)
  trap "rm -rf $sockets" EXIT

  for n in $sizes; do
    head -c "$n" /dev/urandom >"$work/host/in-$n"
  done
  head -c $closed_out_size /dev/urandom >"$work/host/closed-out"
  printf 'to a group member\n' >"$work/host/perm-in"

  qemu_ports_reset
  for name in $name_ports; do
    qemu_port_out "$name" "$work/host/port-$name"
  done
  for n in $sizes; do
    qemu_port_in "in-$n" "$sockets/in-$n" "$work/host/in-$n"
  done
  for n in $sizes; do
    qemu_port_out "out-$n" "$work/host/out-$n"
  done
  qemu_port_out out-pipe "$work/host/out-pipe"
  qemu_port_in closed-out "$sockets/closed-out" "$work/host/closed-out"
  qemu_port_out busy "$work/host/port-busy"
  qemu_port_out out-quiet "$work/host/port-out-quiet"
  qemu_port_out out-nostdin "$work/host/port-out-nostdin"
  qemu_port_out results "$work/host/results.tar"
  qemu_port_out perm "$work/host/port-perm"
  qemu_port_in perm-in "$sockets/perm-in" "$work/host/perm-in"

  cp "$chanpipe" "$work/stage/chanpipe"
  echo "$sizes" >"$work/stage/sizes"
  qemu_make_initramfs "$work/stage" "$here/guest-cases.sh" "$work/initrd.cpio"
  qemu_run 600 "$work/initrd.cpio" "$work/console.log" || status=$?

  # Keep sizes and checksums only: the payloads are large.
  for n in $sizes; do
    summary "$work/host/in-$n" >"$work/host/in-$n.sum"
    summary "$work/host/out-$n" >"$work/host/out-$n.sum"
    rm -f "$work/host/in-$n" "$work/host/out-$n"
  done
  summary "$work/host/out-pipe" >"$work/host/out-pipe.sum"
  rm -f "$work/host/out-pipe" "$work/initrd.cpio"
  rm -rf "$work/stage"

  if [ $status -ne 0 ] || ! grep -q '^GUEST-EXIT 0' "$work/console.log" ||
    ! tar -x -f "$work/host/results.tar" -C "$work/guest" 2>/dev/null; then
    echo "boot failed (QEMU status $status); console:" >&2
    cat "$work/console.log" "$work/console.log.qemu" >&2 || true
    return 1
  fi
  if grep '^GUEST-ERROR' "$work/console.log" >&2; then
    return 1
  fi
  echo "guest ran $(ls "$work/guest/out" | grep -c '\.rc$') runs on Linux $(sed -n 's/^GUEST-KERNEL //p' "$work/console.log" | tr -d '\r')"
}

# --- judging --------------------------------------------------------------

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# expect_file FILE TEXT: FILE holds exactly TEXT (printf format, no args).
expect_file() {
  local file=$1 text=$2
  if [ ! -f "$file" ]; then
    fail "$file is missing"
  elif ! printf "$text" | cmp -s - "$file"; then
    fail "$(basename "$file"): expected $(printf "$text" | od -c | head -n 4 | sed 's/^/  /')"
    echo "  got: $(od -c "$file" | head -n 4)"
  fi
}

expect_status() {
  local got
  got=$(cat "$1.rc" 2>/dev/null || echo missing)
  [ "$got" = "$2" ] || fail "exit status $got, expected $2"
}

# expect_pairs FILE MIN MAX: FILE is nothing but progress-line pairs, one
# pair per write, and there are between MIN and MAX of them.
expect_pairs() {
  local file=$1 min=$2 max=$3 lines pairs
  lines=$(wc -l <"$file")
  pairs=$((lines / 2))
  if [ "$pairs" -lt "$min" ] || [ "$pairs" -gt "$max" ]; then
    fail "$pairs progress-line pairs, expected $min to $max"
  fi
  if ! yes "$(printf 'Executing WriteFile\nFinished WriteFile')" | head -n "$((pairs * 2))" |
    cmp -s - "$file"; then
    fail "standard error is not progress-line pairs alone"
    head -c 300 "$file" | od -c | head -n 6
  fi
}

chunks() { echo $((($1 + 4095) / 4096)); }

check() {
  local work=$1 case=$2 g h n name
  g=$work/guest/out/$case
  h=$work/host
  [ -d "$work/guest/out" ] || { echo "FAIL: no results from the guest (did the boot test pass?)"; return 1; }
  case $case in
    usage-*)
      expect_status "$g" 1
      expect_file "$g.err" "$usage_line\n"
      expect_file "$g.out" ""
      ;;
    nf-*)
      case $case in
        nf-unknown) name=nosuch ;;
        nf-case) name=CAse ;;
        nf-prefix) name=cas ;;
        nf-longer) name=casexy ;;
      esac
      expect_status "$g" 2
      expect_file "$g.err" "$name not found\nTurn UAC off and make sure that $name is defined in the VM config.\nUnable to find $name\n"
      expect_file "$g.out" ""
      ;;
    name-exact | name-other-case)
      [ $case = name-exact ] && name=case || name=Case
      expect_status "$g" 0
      expect_file "$g.err" "Executing WriteFile\nFinished WriteFile\n"
      expect_file "$g.out" ""
      expect_file "$h/port-$name" "to $name\n"
      for n in $name_ports; do
        case $n in case | Case) ;; *) expect_file "$h/port-$n" "" ;; esac
      done
      ;;
    busy-w | busy-r)
      expect_status "$g" 3
      expect_file "$g.err" "CreateFile error 16\n"
      expect_file "$g.out" ""
      # Nothing of the refused run reached the host.
      [ "$(cat "$h/port-busy")" = "after busy" ] || fail "port busy got: $(cat "$h/port-busy")"
      ;;
    busy-freed)
      expect_status "$g" 0
      expect_file "$g.err" "Executing WriteFile\nFinished WriteFile\n"
      expect_file "$h/port-busy" "after busy\n"
      ;;
    stdout-closed)
      expect_status "$g" 4
      expect_file "$g.err" "Executing WriteFile\nFinished WriteFile\nWriteFile error 9\n"
      ;;
    stderr-closed)
      expect_status "$g" 0
      expect_file "$g.out" ""
      # The channel carries the data alone.
      expect_file "$h/port-out-quiet" "only data\n"
      ;;
    user-denied-w | user-denied-r)
      # Refused at the data open, for lack of rights: nothing moved.
      expect_status "$g" 3
      expect_file "$g.err" "CreateFile error 13\n"
      expect_file "$g.out" ""
      ;;
    user-group-w)
      expect_status "$g" 0
      expect_file "$g.err" "Executing WriteFile\nFinished WriteFile\n"
      # Only the group member's run reached the host.
      expect_file "$h/port-perm" "from a group member\n"
      ;;
    user-group-r)
      expect_status "$g" 0
      expect_file "$g.err" "Executing WriteFile\nFinished WriteFile\n"
      expect_file "$g.out" "to a group member\n"
      ;;
    stdin-closed)
      expect_status "$g" 5
      expect_file "$g.err" "ReadFile error 9\n"
      expect_file "$g.out" ""
      expect_file "$h/port-out-nostdin" ""
      ;;
    r-*)
      n=${case#r-}
      expect_status "$g" 0
      # What the guest got is what the host sent, every byte in order.
      [ "$(cat "$g.sum")" = "$(cat "$h/in-$n.sum")" ] ||
        fail "guest received $(cat "$g.sum"), host sent $(cat "$h/in-$n.sum")"
      # The port hands over at most a page per read, maybe less.
      expect_pairs "$g.err" "$(chunks "$n")" "$n"
      ;;
    w-pipe)
      expect_status "$g" 0
      expect_file "$g.out" ""
      [ "$(cat "$h/out-pipe.sum")" = "$(cat "$g.sum")" ] ||
        fail "host received $(cat "$h/out-pipe.sum"), guest sent $(cat "$g.sum")"
      expect_pairs "$g.err" "$(chunks $pipe_size)" "$pipe_size"
      ;;
    w-*)
      n=${case#w-}
      expect_status "$g" 0
      expect_file "$g.out" ""
      [ "$(cat "$h/out-$n.sum")" = "$(cat "$g.sum")" ] ||
        fail "host received $(cat "$h/out-$n.sum"), guest sent $(cat "$g.sum")"
      [ "$(cut -d' ' -f1 "$g.sum")" = "$n" ] || fail "guest payload is not $n bytes"
      # A regular file reads in whole chunks and the port takes each whole.
      expect_pairs "$g.err" "$(chunks "$n")" "$(chunks "$n")"
      ;;
    *)
      echo "FAIL: unknown case $case"
      return 1
      ;;
  esac
  [ $failures -eq 0 ] || return 1
  echo "ok $case"
}

case ${1:-} in
  list) list_cases | tr ' ' '\n' ;;
  boot) [ $# -eq 4 ] || qemu_die "usage: $0 boot CHANPIPE WORK CACHE"; boot "$2" "$3" "$4" ;;
  check) [ $# -eq 3 ] || qemu_die "usage: $0 check WORK CASE"; check "$2" "$3" ;;
  *) qemu_die "usage: $0 list | boot CHANPIPE WORK CACHE | check WORK CASE" ;;
esac
