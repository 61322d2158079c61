# A small Debian 12 guest with systemd and udev, for what lib.sh's busybox
# guest cannot show: udev rules, groups, logins. Source it from bash after
# lib.sh; it defines functions and the variables below only.
#
# debootstrap makes its root once, into a cache folder (as root, from
# deb.debian.org: minbase with systemd, udev and Debian's cloud kernel).
# Each image is a fresh copy of that root with the caller's files in
# /root, as an ext4 file system without partitions. At boot a unit runs
# /root/guest.sh with the word given to debian_run, its output going to
# the second serial line, then prints "GUEST-EXIT <status>" there and
# powers off. The kernel and the initramfs are the guest's own, from its
# /boot.
DEBIAN_SUITE=bookworm
DEBIAN_MIRROR=http://deb.debian.org/debian
DEBIAN_PACKAGES=systemd-sysv,udev,linux-image-cloud-amd64

# debian_root CACHE: leaves the debootstrapped root in CACHE/root, made
# once. Sets DEBIAN_ROOT.
debian_root() {
  local cache=$1 tmp
  DEBIAN_ROOT=$cache/root
  [ -f "$DEBIAN_ROOT/.complete" ] && return 0
  [ "$(id -u)" -eq 0 ] || qemu_die "debootstrap needs root"
  command -v debootstrap >/dev/null || qemu_die "missing host tools; apt-get install debootstrap"
  mkdir -p "$cache"
  rm -rf "$DEBIAN_ROOT" "$cache"/root.tmp.*
  tmp=$(mktemp -d "$cache/root.tmp.XXXXXX")
  echo "debian: debootstrap $DEBIAN_SUITE into $DEBIAN_ROOT" >&2
  if ! timeout 1800 debootstrap --variant=minbase --include=$DEBIAN_PACKAGES \
    "$DEBIAN_SUITE" "$tmp" "$DEBIAN_MIRROR" >"$cache/debootstrap.log" 2>&1; then
    tail -n 20 "$cache/debootstrap.log" >&2
    rm -rf "$tmp"
    qemu_die "debootstrap failed (the log: $cache/debootstrap.log)"
  fi
  # The downloaded packages (about 66 MB) would only fill every image.
  rm -f "$tmp"/var/cache/apt/archives/*.deb
  echo debian >"$tmp/etc/hostname"
  # The unit that runs the caller's script once the system is up.
  cat >"$tmp/etc/systemd/system/guest-check.service" <<'EOF'
[Unit]
Description=the caller's guest script
# Logins are allowed from here on (no /run/nologin).
After=systemd-user-sessions.service
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=/bin/sh -c 'sh /root/guest.sh "$(sed -n "s/.*guest.run=\\([^ ]*\\).*/\\1/p" /proc/cmdline)"; echo "GUEST-EXIT $?"'
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS1

[Install]
WantedBy=multi-user.target
EOF
  ln -s /etc/systemd/system/guest-check.service \
    "$tmp/etc/systemd/system/multi-user.target.wants/guest-check.service"
  touch "$tmp/.complete"
  mv "$tmp" "$DEBIAN_ROOT"
}

# debian_image CACHE OUT SCRIPT [FILE...]: OUT/disk.img, a copy of the root
# with SCRIPT as /root/guest.sh and the FILEs in /root; OUT/vmlinuz and
# OUT/initrd.img beside it.
debian_image() {
  local cache=$1 out=$2 script=$3 stage
  shift 3
  debian_root "$cache"
  command -v mke2fs >/dev/null || qemu_die "missing host tools; apt-get install e2fsprogs"
  mkdir -p "$out"
  stage=$out/root
  rm -rf "$stage" "$out/disk.img"
  cp -a "$DEBIAN_ROOT" "$stage"
  rm "$stage/.complete"
  cp "$script" "$stage/root/guest.sh"
  [ $# -eq 0 ] || cp "$@" "$stage/root/"
  cp "$stage"/boot/vmlinuz-* "$out/vmlinuz"
  cp "$stage"/boot/initrd.img-* "$out/initrd.img"
  mke2fs -q -t ext4 -L root -d "$stage" "$out/disk.img" 2G || qemu_die "mke2fs failed"
  rm -rf "$stage"
}

# debian_run SECONDS OUT WORD [snapshot]: boots OUT/disk.img with the ports
# added since qemu_ports_reset (and QEMU_ARGS); the guest script gets WORD.
# The console goes to OUT/WORD.console, the script's output to OUT/WORD.out
# (without the serial line's carriage returns), QEMU's own messages to
# OUT/WORD.qemu. With "snapshot" the disk is left as it was. Returns QEMU's
# status (124 when SECONDS ran out).
debian_run() {
  local seconds=$1 out=$2 word=$3 snapshot=${4:+,snapshot=on} status=0
  qemu_devices
  rm -f "$out/$word.console" "$out/$word.out"
  timeout -k 5 "$seconds" qemu-system-x86_64 -nodefaults -display none -no-reboot -m 1024 \
    -kernel "$out/vmlinuz" -initrd "$out/initrd.img" \
    -append "console=ttyS0 root=/dev/vda rw quiet panic=-1 guest.run=$word" \
    -drive "file=$out/disk.img,format=raw,if=virtio$snapshot" \
    -serial "file:$out/$word.console" -serial "file:$out/$word.out" \
    "${QEMU_DEVICES[@]}" "${QEMU_ARGS[@]}" </dev/null 2>"$out/$word.qemu" || status=$?
  [ ! -f "$out/$word.out" ] || sed -i 's/\r$//' "$out/$word.out"
  return $status
}
