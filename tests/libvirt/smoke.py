"""The libvirt harness works: its own daemons, a transient domain with one
unix and one tcp channel, a few KiB each way through each with `chanpipe r`
and `chanpipe w` in the guest and plain sockets on the host, judged by
SHA-256, then everything stopped. Root only (status 77 otherwise).

    smoke.py CHANPIPE RUNSTAT WORK CACHE
"""
import hashlib
import os
import socket
import sys

import libvirt_harness as lh

SIZE = 40000  # not a whole number of pages


def connect(where):
    if isinstance(where, tuple):
        return socket.create_connection(where, timeout=60)
    sock = socket.socket(socket.AF_UNIX)
    sock.settimeout(60)
    sock.connect(where)
    return sock


def fields(answer):
    return dict(w.split("=", 1) for w in answer.split() if "=" in w)


def to_guest(dom, name, data):
    """What the guest's `chanpipe r name` got, as sent by the host, which
    half-closes and waits for QEMU to hang up."""
    with connect(dom.source(name)) as sock:
        ident = dom.request("xfer chanpipe r %s 60 /tmp/in" % name)
        sock.sendall(data)
        sock.shutdown(socket.SHUT_WR)
        while sock.recv(65536):
            pass
    got = fields(dom.answer(ident))
    return got["status"], int(got["size"]), got["sha"]


def from_guest(dom, name, size):
    """What the host read from the guest's `chanpipe w name < /data/up`."""
    data = b""
    with connect(dom.source(name)) as sock:
        # What the guest writes before QEMU has taken the connection is lost.
        ident = dom.request('until [ "$(counter {0} host_connected)" = 1 ]; do sleep 0.02; done; '
                            'xfer chanpipe w {0} 60 /data/up'.format(name))
        while len(data) < size:
            block = sock.recv(65536)
            if not block:
                break
            data += block
    got = fields(dom.answer(ident))
    return got["status"], len(data), hashlib.sha256(data).hexdigest()


def main():
    chanpipe, runstat, work, cache = sys.argv[1:5]
    if os.geteuid() != 0:
        print("libvirt smoke: needs root; skipped")
        return 77
    down, up = os.urandom(SIZE), os.urandom(SIZE)
    want = ("0", SIZE, hashlib.sha256(down).hexdigest()), ("0", SIZE, hashlib.sha256(up).hexdigest())
    failures = 0
    with lh.Daemons(work) as daemons:
        print("daemons answered after %.1f s" % daemons.start_seconds, flush=True)
        dom = lh.Domain(daemons, "chanpipe-smoke-%d" % os.getpid(), chanpipe, runstat, cache,
                        [("unix", "org.chanpipe.u"), ("tcp", "org.chanpipe.t", lh.free_port())],
                        files={"data/up": up})
        print("domain booted in %.1f s" % dom.boot_seconds, flush=True)
        for name in ("org.chanpipe.u", "org.chanpipe.t"):
            got = to_guest(dom, name, down), from_guest(dom, name, SIZE)
            for way, result, expected in zip(("to the guest", "from the guest"), got, want):
                ok = result == expected
                failures += not ok
                print("%s %s: status %s, %d bytes, sha256 %s" % (
                    name, way, result[0], result[1], "equal" if ok else "differs"), flush=True)
        if failures:
            print(dom.console())
    leftover = [p for p in ("libvirt-sock", "libvirt-sock-ro", "virtlogd-sock")
                if not daemons.reused and os.path.exists(os.path.join(lh.RUN, p))]
    if leftover:
        print("left behind in %s: %s" % (lh.RUN, " ".join(leftover)))
    return 1 if failures or leftover else 0


if __name__ == "__main__":
    sys.exit(main())
