# Shared by the QEMU harness, the demo and the benchmark: fetch the guest
# kernel, pack an initramfs around chanpipe, boot it with named
# virtio-serial ports. Source it from bash; it defines functions and the
# variables below only.
#
# The guest is Debian's cloud kernel with busybox-static as its whole user
# space. Its /init loads the virtio-serial driver, waits until every port
# has its name, runs /guest.sh, prints "GUEST-EXIT <status>" on the console
# and powers off. Nothing is installed on the host: the kernel package is
# only unpacked into a cache folder.
#
# The guest's architecture is one variable, QEMU_ARCH: x86_64 (the default)
# or arm64. Every helper reads it when called (through qemu_arch), so a
# script sets it once, before its first call, and the same code boots
# either guest.
QEMU_ARCH=${QEMU_ARCH:-x86_64}

# Modules in load order: the console driver needs the PCI transport, and
# that needs the ring and the core.
QEMU_MODULES="virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_console"

qemu_die() {
  echo "qemu: $*" >&2
  exit 1
}

# qemu_arch: sets, from QEMU_ARCH, all that differs between the guests:
#   QEMU_SYSTEM, QEMU_SYSTEM_PACKAGE  the QEMU program and its Debian package
#   QEMU_MACHINE       its board and CPU (an array of arguments)
#   QEMU_CONSOLE       the guest's console device (the first -serial)
#   QEMU_DEB_ARCH      Debian's name of the architecture: the kernel package
#                      linux-image-cloud-QEMU_DEB_ARCH and busybox-static
#                      come in it
#   QEMU_ELF           what readelf calls its programs' machine
#   QEMU_PRESET        the CMake preset that builds chanpipe for it
#   QEMU_BUILD_PACKAGES  what that preset needs besides the common ones
qemu_arch() {
  case $QEMU_ARCH in
    x86_64)
      QEMU_SYSTEM=qemu-system-x86_64 QEMU_SYSTEM_PACKAGE=qemu-system-x86
      QEMU_MACHINE=() # the default board (pc) and CPU
      QEMU_CONSOLE=ttyS0 QEMU_DEB_ARCH=amd64 QEMU_ELF='Advanced Micro Devices X86-64'
      QEMU_PRESET=linux QEMU_BUILD_PACKAGES="g++ libgtest-dev"
      ;;
    arm64)
      QEMU_SYSTEM=qemu-system-aarch64 QEMU_SYSTEM_PACKAGE=qemu-system-arm
      # Emulated pointer authentication makes "max" 4 to 5 times slower.
      QEMU_MACHINE=(-M virt -cpu max,pauth=off)
      QEMU_CONSOLE=ttyAMA0 QEMU_DEB_ARCH=arm64 QEMU_ELF=AArch64
      QEMU_PRESET=linux-arm64 QEMU_BUILD_PACKAGES="g++-aarch64-linux-gnu googletest qemu-user"
      ;;
    *) qemu_die "QEMU_ARCH is \"$QEMU_ARCH\": x86_64 or arm64" ;;
  esac
}

# Fails with the Debian packages to install when a host tool is missing.
qemu_check_tools() {
  local missing=""
  qemu_arch
  command -v $QEMU_SYSTEM >/dev/null || missing="$missing $QEMU_SYSTEM_PACKAGE"
  command -v socat >/dev/null || missing="$missing socat"
  # The guest has no libraries, so its busybox must be the static one (the
  # host's packs the initramfs; an arm64 guest gets its own).
  if [ ! -x /bin/busybox ] || ldd /bin/busybox >/dev/null 2>&1; then
    missing="$missing busybox-static"
  fi
  command -v dpkg-deb >/dev/null || missing="$missing dpkg"
  command -v apt-get >/dev/null || missing="$missing apt"
  command -v readelf >/dev/null || missing="$missing binutils"
  [ -z "$missing" ] || qemu_die "missing host tools; apt-get install$missing"
}

# qemu_check_program FILE: FILE is a static program for the guest's
# architecture (anything else would stop the guest with no word of why).
qemu_check_program() {
  qemu_arch
  [ -x "$1" ] || qemu_die "no program at $1"
  readelf -h "$1" 2>/dev/null | grep -Eq "Machine:[[:space:]]+$QEMU_ELF\$" ||
    qemu_die "$1 is not a program for $QEMU_ARCH guests (QEMU_ARCH=$QEMU_ARCH)"
  ! readelf -l "$1" | grep -q INTERP || qemu_die "$1 is not linked statically"
}

# qemu_host_packages: what the demo and the benchmark need on a fresh
# Debian machine: the preset's build (its tests need GoogleTest) and the
# guest's tools.
qemu_host_packages() {
  qemu_arch
  echo "cmake ninja-build binutils $QEMU_BUILD_PACKAGES $QEMU_SYSTEM_PACKAGE busybox-static socat"
}

# qemu_apt_install PACKAGE...: installs those that are missing, after one
# apt-get update.
qemu_apt_install() {
  local p missing="" sudo=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      missing="$missing $p"
  done
  [ -n "$missing" ] || return 0
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "installing$missing" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# qemu_build ROOT: the static chanpipe and the guest's timer, with the
# guest's preset (linux, or linux-arm64) into ROOT/build/PRESET. Sets
# QEMU_CHANPIPE and QEMU_RUNSTAT.
qemu_build() {
  qemu_arch
  local root=$1 preset=$QEMU_PRESET log=$1/build/qemu-build-$QEMU_PRESET.log
  mkdir -p "$root/build"
  (cd "$root" && cmake --preset $preset >"$log" 2>&1) || { cat "$log" >&2; qemu_die "configure failed"; }
  (cd "$root" && cmake --build --preset $preset --target chanpipe runstat -j 2 >"$log" 2>&1) ||
    { cat "$log" >&2; qemu_die "build failed"; }
  QEMU_CHANPIPE=$root/build/$preset/chanpipe
  QEMU_RUNSTAT=$root/build/$preset/vm/runstat
}

# qemu_setup ROOT [CHANPIPE RUNSTAT CACHE]: what a host script of the soak's
# kind needs: the programs and the kernel cache given, or the guest's
# preset's build into ROOT/build (installing what is missing) and
# ROOT/.cache/qemu; the host tools, python3 among them; programs for the
# guest's architecture; the kernel. Sets QEMU_CHANPIPE and QEMU_RUNSTAT.
qemu_setup() {
  local root=$1 cache
  shift
  if [ $# -eq 3 ]; then
    QEMU_CHANPIPE=$1 QEMU_RUNSTAT=$2 cache=$3
  elif [ $# -eq 0 ]; then
    # shellcheck disable=SC2046 # one word a package
    qemu_apt_install $(qemu_host_packages) python3
    qemu_build "$root"
    cache=$root/.cache/qemu
  else
    qemu_die "give CHANPIPE RUNSTAT CACHE, or none of them"
  fi
  qemu_check_tools
  qemu_check_program "$QEMU_CHANPIPE"
  qemu_check_program "$QEMU_RUNSTAT"
  command -v python3 >/dev/null || qemu_die "missing host tools; apt-get install python3"
  qemu_fetch_kernel "$cache"
}

# qemu_kernel_package [META]: the name of the kernel package behind META
# (linux-image-cloud-QEMU_DEB_ARCH), or nothing.
qemu_kernel_package() {
  qemu_arch
  local meta=${1:-linux-image-cloud-$QEMU_DEB_ARCH}
  case $meta in *:*) ;; *) meta=$meta:$QEMU_DEB_ARCH ;; esac
  apt-cache depends "$meta" 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}

# qemu_apt_lists WHAT: makes apt know the packages of the guest's
# architecture: a machine that never ran apt-get update knows none yet, and
# one of another architecture (amd64 for an arm64 guest) must add it first.
# Only downloads come of it; nothing of that architecture is installed.
qemu_apt_lists() {
  qemu_arch
  [ "$(id -u)" = 0 ] || qemu_die "apt-cache knows no $1; run (as root)$(
    [ "$(dpkg --print-architecture)" = "$QEMU_DEB_ARCH" ] ||
      echo " dpkg --add-architecture $QEMU_DEB_ARCH &&") apt-get update"
  if [ "$(dpkg --print-architecture)" != "$QEMU_DEB_ARCH" ] &&
    ! dpkg --print-foreign-architectures | grep -qx "$QEMU_DEB_ARCH"; then
    echo "qemu: dpkg --add-architecture $QEMU_DEB_ARCH (for the $QEMU_ARCH guest's packages)" >&2
    dpkg --add-architecture "$QEMU_DEB_ARCH"
  fi
  echo "qemu: apt-get update (the package lists have no $1)" >&2
  timeout 300 apt-get update -qq >&2 || qemu_die "apt-get update failed"
}

# qemu_busybox CACHE: sets QEMU_BUSYBOX, the guest's static busybox: the
# host's own for a guest of its architecture, otherwise busybox-static of
# the guest's architecture, downloaded once into CACHE/QEMU_ARCH/busybox.
qemu_busybox() {
  qemu_arch
  local dir=$1/$QEMU_ARCH/busybox tmp
  if [ "$(dpkg --print-architecture)" = "$QEMU_DEB_ARCH" ]; then
    QEMU_BUSYBOX=/bin/busybox
    return 0
  fi
  QEMU_BUSYBOX=$dir/busybox
  [ -s "$QEMU_BUSYBOX" ] && return 0
  apt-cache show "busybox-static:$QEMU_DEB_ARCH" >/dev/null 2>&1 || qemu_apt_lists "busybox-static:$QEMU_DEB_ARCH"
  mkdir -p "$1/$QEMU_ARCH"
  tmp=$(mktemp -d "$1/$QEMU_ARCH/busybox.tmp.XXXXXX")
  echo "qemu: fetching busybox-static:$QEMU_DEB_ARCH into $1/$QEMU_ARCH" >&2
  if ! (cd "$tmp" && timeout 600 apt-get download -qq -o APT::Sandbox::User=root \
    "busybox-static:$QEMU_DEB_ARCH" >&2); then
    rm -rf "$tmp"
    qemu_die "apt-get download busybox-static:$QEMU_DEB_ARCH failed"
  fi
  mkdir "$tmp/root" "$tmp/busybox"
  dpkg-deb -x "$tmp"/*.deb "$tmp/root"
  cp "$tmp/root/bin/busybox" "$tmp/busybox/busybox"
  rm -rf "$dir"
  mv "$tmp/busybox" "$dir"
  rm -rf "$tmp"
}

# qemu_fetch_kernel CACHE [META MODULES]
# Leaves CACHE/QEMU_ARCH/kernel/vmlinuz and CACHE/QEMU_ARCH/kernel/M.ko for
# each of MODULES, downloading the kernel package behind META once. The
# default is the cloud kernel of the guest's architecture (about 30 MB)
# with the virtio-serial modules, QEMU_MODULES. Sets QEMU_KERNEL_DIR, and
# QEMU_BUSYBOX (qemu_busybox).
qemu_fetch_kernel() {
  qemu_arch
  local cache=$1 meta=${2:-linux-image-cloud-$QEMU_DEB_ARCH} modules=${3:-$QEMU_MODULES}
  local dir pkg tmp m ko last patterns=""
  qemu_busybox "$cache"
  dir=$cache/$QEMU_ARCH/kernel
  QEMU_KERNEL_DIR=$dir
  last=${modules##* }
  if [ -s "$dir/vmlinuz" ] && [ -s "$dir/$last.ko" ]; then
    return 0
  fi
  pkg=$(qemu_kernel_package "$meta")
  if [ -z "$pkg" ]; then
    qemu_apt_lists "$meta"
    pkg=$(qemu_kernel_package "$meta")
    [ -n "$pkg" ] || qemu_die "no package behind $meta"
  fi
  mkdir -p "$cache/$QEMU_ARCH"
  tmp=$(mktemp -d "$cache/$QEMU_ARCH/kernel.tmp.XXXXXX")
  echo "qemu: fetching $pkg into $cache/$QEMU_ARCH" >&2
  if ! (cd "$tmp" && timeout 600 apt-get download -qq -o APT::Sandbox::User=root "$pkg" >&2); then
    rm -rf "$tmp"
    qemu_die "apt-get download $pkg failed"
  fi
  mkdir "$tmp/root" "$tmp/kernel"
  for m in $modules; do
    patterns="$patterns ./lib/modules/*/$m.ko*"
  done
  # shellcheck disable=SC2086 # one pattern a module
  dpkg-deb --fsys-tarfile "$tmp"/*.deb |
    tar -x -C "$tmp/root" --wildcards './boot/vmlinuz-*' $patterns
  cp "$tmp"/root/boot/vmlinuz-* "$tmp/kernel/vmlinuz"
  for m in $modules; do
    ko=$(find "$tmp/root/lib/modules" -name "$m.ko*" | head -n 1)
    [ -n "$ko" ] || { rm -rf "$tmp"; qemu_die "$pkg has no module $m"; }
    case $ko in
      *.ko) cp "$ko" "$tmp/kernel/$m.ko" ;;
      *.ko.xz) xz -dc "$ko" >"$tmp/kernel/$m.ko" ;;
      *.ko.zst) zstd -qdc "$ko" >"$tmp/kernel/$m.ko" ;;
      *) rm -rf "$tmp"; qemu_die "cannot unpack $ko" ;;
    esac
  done
  echo "$pkg" >"$tmp/kernel/package"
  rm -rf "$dir"
  mv "$tmp/kernel" "$dir"
  rm -rf "$tmp"
}

# qemu_make_initramfs STAGE SCRIPT OUT
# STAGE holds the guest's own files; SCRIPT becomes its /guest.sh, after the
# guest helpers. The busybox, the modules and the /init are added here.
# OUT is a newc cpio archive.
qemu_make_initramfs() {
  local stage=$1 script=$2 out=$3 m
  { qemu_guest_helpers; cat "$script"; } >"$stage/guest.sh"
  mkdir -p "$stage/bin" "$stage/lib/modules" "$stage/proc" "$stage/sys" "$stage/dev" "$stage/tmp"
  cp "${QEMU_BUSYBOX:-/bin/busybox}" "$stage/bin/busybox"
  for m in $QEMU_MODULES; do
    cp "$QEMU_KERNEL_DIR/$m.ko" "$stage/lib/modules/$m.ko"
  done
  cat >"$stage/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_console; do
  insmod /lib/modules/$m.ko || echo "GUEST-ERROR insmod $m"
done
# Ports and their names arrive from the host after the driver is loaded;
# wait (at most about 20 s) until all of them are named and have nodes.
want=$(sed -n 's/.*chanpipe.ports=\([0-9]*\).*/\1/p' /proc/cmdline)
tries=0
while :; do
  have=0
  for p in /sys/class/virtio-ports/vport*; do
    [ -s "$p/name" ] && [ -e "/dev/${p##*/}" ] && have=$((have + 1))
  done
  [ "$have" -ge "${want:-0}" ] && break
  tries=$((tries + 1))
  if [ $tries -gt 400 ]; then
    echo "GUEST-ERROR only $have of $want ports named"
    break
  fi
  sleep 0.05
done
cd /tmp
echo "GUEST-KERNEL $(uname -rm)"
echo "GUEST-BUSYBOX $(busybox | head -n 1)"
sh /guest.sh
echo "GUEST-EXIT $?"
poweroff -f
EOF
  chmod 755 "$stage/init" "$stage/bin/busybox"
  (cd "$stage" && find . | LC_ALL=C sort | busybox cpio -o -H newc -R 0:0 2>/dev/null) >"$out"
}

# Guest-side helpers, put at the top of every guest script.
qemu_guest_helpers() {
  cat <<'EOF2'
# port_node NAME: the /dev node of the port called NAME.
port_node() {
  for p in /sys/class/virtio-ports/vport*; do
    if [ "$(cat "$p/name")" = "$1" ]; then echo "/dev/${p##*/}"; return 0; fi
  done
  return 1
}
# serial_node: the /dev node of the serial line that qemu_serial added
# (QEMU's PCI serial card, 1b36:0002), whichever ttyS the board gives it.
serial_node() {
  for t in /sys/class/tty/ttyS*; do
    if [ "$(cat "$t/device/vendor" 2>/dev/null)" = 0x1b36 ] &&
      [ "$(cat "$t/device/device" 2>/dev/null)" = 0x0002 ]; then
      echo "/dev/${t##*/}"
      return 0
    fi
  done
  return 1
}
EOF2
}

# Ports of the next boot. qemu_ports_reset starts an empty list; each
# qemu_port_* call adds one named port, in the order the guest will list
# them.
#
# At most QEMU_PORTS_PER_DEVICE ports go on one virtio-serial device. When
# the guest driver starts, the host announces every port at once on the
# device's control queue (32 buffers), and answers each port's "ready" with
# two more messages, name and "host connected", while the guest gives back
# one buffer per port: past about 15 ports the queue runs dry and the host
# drops the "connected" messages. Such a port has its name, but the guest
# thinks no host is there: reads end at once, writes block for ever.
QEMU_PORTS_PER_DEVICE=10

qemu_ports_reset() {
  QEMU_ARGS=()
  QEMU_FEEDS=()
  QEMU_NPORTS=0
}

# qemu_add_port NAME [ID]: ID is the port's -device id, which QMP's
# VSERPORT_CHANGE names it by.
qemu_add_port() {
  local device=$((QEMU_NPORTS / QEMU_PORTS_PER_DEVICE))
  QEMU_NPORTS=$((QEMU_NPORTS + 1))
  QEMU_ARGS+=(-device "virtserialport,bus=vs$device.0,chardev=c$QEMU_NPORTS,name=$1${2:+,id=$2}")
}

# qemu_port_in NAME SOCKET FILE: the host sends FILE on port NAME, through
# a socket chardev that QEMU waits for before the guest starts.
qemu_port_in() {
  QEMU_ARGS+=(-chardev "socket,id=c$((QEMU_NPORTS + 1)),path=$2,server=on,wait=on")
  QEMU_FEEDS+=("$2" "$3")
  qemu_add_port "$1"
}

# qemu_port_socket NAME SOCKET [ID]: port NAME on a socket chardev that the
# host may connect to, and connect again, at any time.
qemu_port_socket() {
  QEMU_ARGS+=(-chardev "socket,id=c$((QEMU_NPORTS + 1)),path=$2,server=on,wait=off")
  qemu_add_port "$1" "${3:-}"
}

# qemu_port_tcp NAME [ID]: port NAME on a TCP socket chardev on 127.0.0.1,
# at a port the system picks; QMP's query-chardev tells which.
qemu_port_tcp() {
  QEMU_ARGS+=(-chardev "socket,id=c$((QEMU_NPORTS + 1)),host=127.0.0.1,port=0,server=on,wait=off")
  qemu_add_port "$1" "${2:-}"
}

# qemu_port_out NAME FILE: what the guest writes on port NAME lands in FILE.
qemu_port_out() {
  QEMU_ARGS+=(-chardev "file,id=c$((QEMU_NPORTS + 1)),path=$2")
  qemu_add_port "$1"
}

# qemu_serial CHARDEV: a serial line besides the console, on the chardev
# CHARDEV (given with -chardev in QEMU_ARGS). It is a PCI serial card, which
# both boards take (a second -serial is ignored by arm64's virt board); the
# guest finds it with serial_node. One per boot.
qemu_serial() {
  QEMU_ARGS+=(-device "pci-serial,chardev=$1")
}

# qemu_devices: sets QEMU_DEVICES, the virtio-serial devices that the ports
# added since qemu_ports_reset go on (QEMU wants them before the ports).
qemu_devices() {
  local i
  QEMU_DEVICES=()
  for ((i = 0; i * QEMU_PORTS_PER_DEVICE < QEMU_NPORTS; i++)); do
    QEMU_DEVICES+=(-device "virtio-serial-pci,id=vs$i,max_ports=$((QEMU_PORTS_PER_DEVICE + 1))")
  done
}

# qemu_run SECONDS INITRD CONSOLE
# Boots the guest with the ports added since qemu_ports_reset, its console
# into the file CONSOLE and QEMU's own messages into CONSOLE.qemu. Returns
# QEMU's status (124 when SECONDS ran out). With QEMU_QUIET set to nothing
# the console shows the kernel's messages too.
qemu_run() {
  qemu_arch
  local seconds=$1 initrd=$2 console=$3 i status=0 pids=()
  qemu_devices
  for ((i = 0; i < ${#QEMU_FEEDS[@]}; i += 2)); do
    rm -f "${QEMU_FEEDS[i]}"
    # QEMU creates its server sockets one after the other, each once the
    # one before is connected: socat keeps trying until its own is there.
    # It only half-closes after the file, so QEMU reads to the end before
    # it sees the host go; it ends when QEMU does.
    socat -t "$seconds" - "UNIX-CONNECT:${QEMU_FEEDS[i]},retry=$((seconds * 10)),interval=0.1" \
      <"${QEMU_FEEDS[i + 1]}" >/dev/null 2>&1 &
    pids+=($!)
  done
  timeout -k 5 "$seconds" $QEMU_SYSTEM "${QEMU_MACHINE[@]}" \
    -nodefaults -display none -no-reboot -m 768 \
    -kernel "$QEMU_KERNEL_DIR/vmlinuz" -initrd "$initrd" \
    -append "console=$QEMU_CONSOLE panic=-1 ${QEMU_QUIET-quiet} chanpipe.ports=$QEMU_NPORTS" \
    -serial "file:$console" \
    "${QEMU_DEVICES[@]}" "${QEMU_ARGS[@]}" </dev/null 2>"$console.qemu" || status=$?
  for i in "${pids[@]}"; do
    kill "$i" 2>/dev/null || true
    wait "$i" 2>/dev/null || true
  done
  return $status
}
