#!/bin/sh
# The Debian package of the host side, chanpipe-host_VERSION_all.deb:
# chanpipe-host, the self-test kit's host side and their QMP module in
# /usr/share/chanpipe-host, the commands linked into /usr/bin, their man
# pages, the changelog and the copyright. It
# needs python3, which a minimal guest has not: hence a package of its own.
# Every member carries SOURCE_DATE_EPOCH, with root as owner and fixed
# modes, so the same sources pack to the same bytes.
#   packaging/chanpipe-host-deb.sh OUT.deb VERSION MAINTAINER
# scripts/pack.sh runs it.
set -eu
[ $# -eq 3 ] || { echo "usage: chanpipe-host-deb.sh OUT.deb VERSION MAINTAINER" >&2; exit 2; }
out=$1 version=$2 maintainer=$3
: "${SOURCE_DATE_EPOCH:?set SOURCE_DATE_EPOCH}"
root=$(cd "$(dirname "$0")/.." && pwd)
umask 022
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
chmod 755 "$stage"
share=$stage/usr/share/chanpipe-host doc=$stage/usr/share/doc/chanpipe-host
mkdir -p "$share" "$doc" "$stage/usr/bin" "$stage/usr/share/man/man1" "$stage/DEBIAN"

# The installed commands run Debian's python3, whatever comes first on the
# PATH, and find their module next to their real path.
for command in host/chanpipe-host selftest/chanpipe-selftest-host.py; do
  name=$(basename "$command" .py)
  sed '1s|^#!/usr/bin/env python3$|#!/usr/bin/python3|' "$root/$command" >"$share/$name"
  chmod 755 "$share/$name"
  ln -s "../share/chanpipe-host/$name" "$stage/usr/bin/$name"
  gzip -9 -n -c "$root/docs/$name.1" >"$stage/usr/share/man/man1/$name.1.gz"
done
cp "$root/host/chanpipe_qmp.py" "$root/host/chanpipe_port.py" "$root/host/chanpipe_libvirt.py" "$share/"
gzip -9 -n -c "$root/packaging/changelog" >"$doc/changelog.gz"
cp "$root/packaging/copyright" "$doc/copyright"

# In KiB, counted from the files alone, as dpkg-gencontrol does: the same
# on every file system.
size=$(cd "$stage" && find usr ! -type d -printf '%s\n' | awk '{ k += int(($1 + 1023) / 1024) } END { print k }')
cat >"$stage/DEBIAN/control" <<EOF
Package: chanpipe-host
Source: chanpipe
Version: $version
Architecture: all
Maintainer: $maintainer
Installed-Size: $size
Depends: python3
Recommends: python3-libvirt
Section: utils
Priority: optional
Description: host end of a chanpipe channel (virtio-serial)
 chanpipe-host runs on the host of a QEMU virtual machine and is the other
 end of chanpipe in the guest: "chanpipe-host send" streams its standard
 input to the guest's "chanpipe r NAME", and "chanpipe-host recv" writes
 what the guest's "chanpipe w NAME" sends to its standard output.
 .
 It finds the port by its name through QEMU's QMP monitor or a libvirt
 domain (with python3-libvirt), or takes the chardev's unix or TCP socket,
 and ends by itself once the guest's side is done, with every byte: it
 waits until QEMU has read the end of the data.
 .
 chanpipe-selftest-host is the host side of chanpipe's self-test kit, whose
 guest side is chanpipe-selftest (in the chanpipe package) or
 chanpipe-selftest.cmd (in the Windows release).
EOF
(cd "$stage" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$stage/DEBIAN/md5sums"
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$stage" "$out" >/dev/null
