"""What libvirt 9.0 does with a virtio channel, measured on the harness's
daemons and one domain of the busybox guest; no test, a record printed as
it runs (root, Debian's python3):

    measure.py CHANPIPE RUNSTAT WORK CACHE

a. where a bind-mode unix channel's socket goes, its folders' owners and
   modes, and who may connect; b. the guest's opens and closes through
   VSERPORT_CHANGE, the live XML and libvirt's own events, local and over
   qemu+tcp; c. virDomainOpenChannel streams; d. lifecycle events and the
   close callback; e. the errors of the usual mistakes; f. suspend and
   resume under a reading guest. Times are the host's clock against the
   time QEMU put on its event.
"""
import hashlib
import os
import socket
import subprocess
import sys
import threading
import time

import libvirt
import libvirt_qemu

HERE = os.path.dirname(os.path.realpath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "vm"))
import libvirt_guest as lh  # noqa: E402

U, U2, OWN, TCP, PTY, AGENT = ("m.unix", "m.unix2", "m.own", "m.tcp", "m.pty",
                               "org.qemu.guest_agent.0")
KIB = 1024
LIFECYCLE = ("DEFINED", "UNDEFINED", "STARTED", "SUSPENDED", "RESUMED", "STOPPED", "SHUTDOWN",
             "PMSUSPENDED", "CRASHED")


def say(*words):
    print(*words, flush=True)


def error(call):
    """What call() raised: libvirt's code, its name and message."""
    try:
        call()
        return "no error"
    except libvirt.libvirtError as e:
        return described(e)


def described(e):
    code = e.get_error_code()
    names = [n for n in dir(libvirt) if n.startswith("VIR_ERR_") and getattr(libvirt, n) == code]
    return "error %d (%s, domain %d): %s" % (code, "/".join(names), e.get_error_domain(),
                                             e.get_error_message())


def case(title, run, *args):
    """Runs one measurement; a libvirt error ends it, not the record."""
    say("-- " + title)
    try:
        run(*args)
    except libvirt.libvirtError as e:
        say("  stopped by " + described(e))
    time.sleep(1)


def sha(data):
    return hashlib.sha256(data).hexdigest()[:16]


def fields(answer):
    return dict(w.split("=", 1) for w in answer.split() if "=" in w)


class Watch:
    """Everything libvirt tells about the domain, on a local and a remote
    connection, from one loop with no thread: the default event loop, with
    a timer that bounds each iteration, and the live XML's port states."""

    def __init__(self, name):
        self.log, self.states = [], {}
        self.conns = {"local": libvirt.open(lh.LOCAL), "remote": libvirt.open(lh.REMOTE)}
        for where, conn in self.conns.items():
            dom = conn.lookupByName(name)
            libvirt_qemu.qemuMonitorEventRegister(conn, dom, "VSERPORT_CHANGE", self._qemu, where, 0)
            conn.domainEventRegisterAny(dom, libvirt.VIR_DOMAIN_EVENT_ID_AGENT_LIFECYCLE,
                                        self._agent, where)
            conn.domainEventRegisterAny(dom, libvirt.VIR_DOMAIN_EVENT_ID_LIFECYCLE,
                                        self._lifecycle, where)
            conn.registerCloseCallback(self._closed, where)
        self.doms = {w: c.lookupByName(name) for w, c in self.conns.items()}

    def _note(self, where, what, at=None):
        now = time.time()
        self.log.append((now, where, what, at))

    def _qemu(self, conn, dom, event, seconds, micros, details, where):
        self._note(where, "VSERPORT_CHANGE %s" % details, seconds + micros / 1e6)

    def _agent(self, conn, dom, state, reason, where):
        self._note(where, "AGENT_LIFECYCLE state=%d reason=%d" % (state, reason))

    def _lifecycle(self, conn, dom, event, detail, where):
        self._note(where, "LIFECYCLE %s detail=%d" % (LIFECYCLE[event], detail))

    def _closed(self, conn, reason, where):
        self._note(where, "connection closed, reason %d" % reason)

    def pump(self, seconds, xml=True):
        """Runs the loop for seconds; with xml, notes each change of the
        ports' states in the live XML of both connections."""
        end = time.time() + seconds
        while time.time() < end:
            libvirt.virEventRunDefaultImpl()
            self.last = time.time()
            if not xml:
                continue
            for where, dom in self.doms.items():
                try:
                    text = dom.XMLDesc(0)
                except libvirt.libvirtError:
                    continue
                for part in text.split("<target type='virtio' name='")[1:]:
                    name, _, rest = part.partition("'")
                    state = rest.split("state='")[1].split("'")[0] if "state='" in rest[:40] else "-"
                    if self.states.get((where, name)) != state:
                        self.states[where, name] = state
                        self._note(where, "XML %s %s" % (name, state))

    def take(self):
        log, self.log = self.log, []
        return log


PROBE = ("import socket,sys; s=socket.socket(socket.AF_UNIX)\n"
         "try: s.connect(sys.argv[1]); print('connected')\n"
         "except OSError as e: print(e)")


STREAM = ("import libvirt,sys; c=libvirt.open(sys.argv[1]); s=c.newStream(0)\n"
          "c.lookupByName(sys.argv[2]).openChannel(sys.argv[3], s, 0); print(repr(s.recv(6)))")


def walk(path):
    """The owner and mode of path and of every folder above it."""
    while path != "/":
        st = os.stat(path)
        say("  %s %s:%s %s" % (oct(st.st_mode & 0o7777), owner(st.st_uid), group(st.st_gid), path))
        path = os.path.dirname(path)


def connects(prefix, path):
    out = subprocess.run(prefix + [sys.executable, "-c", PROBE, path], capture_output=True, text=True)
    return (out.stdout + out.stderr).strip()


def facts_a(dom):
    say("\n== a. where a bind-mode unix channel's socket is, and who may connect")
    path = dom.source(U)
    say("live XML: <source mode='bind' path='%s'/>" % path)
    walk(path)
    user = lh.ensure_user()
    say("user %s: %s" % (lh.USER, subprocess.run(["id", lh.USER], capture_output=True,
                                                  text=True).stdout.strip()))
    uid = int(subprocess.run(["id", "-u", lh.USER], capture_output=True, text=True).stdout)
    for label, prefix in (
            ("as %s (groups libvirt)" % lh.USER, user),
            ("as %s with libvirt-qemu added to its groups" % lh.USER,
             ["setpriv", "--reuid=%d" % uid, "--regid=libvirt", "--groups=libvirt,libvirt-qemu", "--"])):
        for what, where in (("libvirt's path", path), ("own path", dom.source(OWN))):
            say("  connect %s, %s: %s" % (what, label, connects(prefix, where)))
    own = dom.source(OWN)
    say("own path <source mode='bind' path='%s'/>:" % own)
    walk(own)
    ident = dom.request(wait_host(U) + "echo hello | /chanpipe w %s 2>/dev/null" % U)
    out = subprocess.run(user + [sys.executable, "-c", STREAM, lh.LOCAL, dom.name, U],
                         capture_output=True, text=True)
    dom.answer(ident, 60)
    say("as %s, open(%r), openChannel(%r) and recv from a blocking stream: %s" % (
        lh.USER, lh.LOCAL, U, (out.stdout + out.stderr).strip()))


def facts_a_group(chanpipe, runstat, work, cache):
    say("\n== a. the same with qemu.conf's group = \"libvirt\" (over /etc/libvirt/qemu.conf in"
        " libvirtd's namespace)")
    with lh.Daemons(work, qemu_conf='group = "libvirt"\n') as daemons:
        dom = lh.Domain(daemons, "chanpipe-group", chanpipe, runstat, cache, [("unix", U)])
        walk(dom.source(U))
        say("  connect as %s (groups libvirt): %s" % (lh.USER, connects(lh.ensure_user(),
                                                                        dom.source(U))))
        say("  QEMU runs as: %s" % subprocess.run(["ps", "-o", "user,group", "-p", str(dom.qemu)],
                                                  capture_output=True, text=True).stdout.split("\n")[1])
    walk("/var/lib/libvirt/qemu")
    with lh.Daemons(work):
        pass
    say("after libvirtd started again with Debian's qemu.conf:")
    walk("/var/lib/libvirt/qemu")


def owner(uid):
    import pwd
    return pwd.getpwuid(uid).pw_name


def group(gid):
    import grp
    return grp.getgrgid(gid).gr_name


def show(log, since):
    for now, where, what, at in log:
        late = " (%.0f ms after QEMU's timestamp)" % ((now - at) * 1000) if at else ""
        say("  %+7.3f s %-6s %s%s" % (now - since, where, what, late))


def facts_b(dom, watch):
    say("\n== b. the guest's opens and closes as libvirt shows them")
    say("aliases: %s" % ", ".join("%s=%s" % (n, dom.alias(n)) for n in (U, U2, OWN, TCP, PTY, AGENT)))
    watch.pump(2)
    watch.take()
    # Each delay is the host's clock when the callback ran, or the XML
    # showed the change, against the time QEMU put on its event.
    steps = [
        ("an open held 3 s, then closed", 'exec 5<>"$n"; sleep 3; exec 5>&-'),
        ("four opens held 1.5 s, 1.5 s apart",
         'for i in 1 2 3 4; do exec 5<>"$n"; sleep 1.5; exec 5>&-; sleep 1.5; done'),
        ("a brief open and close (a lookup's), 2 s after the last event", 'sleep 2; : <>"$n"'),
        ("an open held 1.5 s, closed, and a brief open and close 0.3 s after the close",
         'exec 5<>"$n"; sleep 1.5; exec 5>&-; sleep 0.3; : <>"$n"'),
        ("three brief opens and closes 0.1 s apart, 2 s after the last event",
         'sleep 2; : <>"$n"; sleep 0.1; : <>"$n"; sleep 0.1; : <>"$n"'),
        ("an open of 0.3 s, 2 s after the last event", 'sleep 2; exec 5<>"$n"; sleep 0.3; exec 5>&-'),
        ("an agent-named port opened and closed",
         'n=$(port_node %s); exec 5<>"$n"; sleep 2; exec 5>&-' % AGENT),
    ]
    for title, command in steps:
        say("-- %s (port %s)" % (title, U))
        began = time.time()
        ident = dom.request('n=$(port_node %s); %s' % (U, command))
        # Until the guest is done, and QEMU's held-back events are out.
        while True:
            watch.pump(0.1)
            try:
                dom.answer(ident, 0.01)
                ended = time.time()
                break
            except socket.timeout:
                pass
        watch.pump(1.5)
        show(watch.take(), began)
        say("   (the guest's command ended at +%.3f s)" % (ended - began))


class Reader(threading.Thread):
    """Reads a blocking stream until it ends, fails, or stop is set."""

    def __init__(self, stream, want):
        super().__init__(daemon=True)
        self.stream, self.want, self.data, self.end = stream, want, b"", None
        self.start()

    def run(self):
        try:
            while len(self.data) < self.want:
                block = self.stream.recv(65536)
                if not block:
                    self.end = "end of stream (recv gave b'')"
                    return
                self.data += block
            self.end = "all %d bytes" % self.want
        except libvirt.libvirtError as e:
            self.end = "recv raised: " + described(e)


def nonblock_recv(stream, seconds):
    """What a non-blocking stream gives for seconds: bytes, then the kinds
    of answers that came after."""
    data, seen, end = b"", [], time.time() + seconds
    while time.time() < end:
        try:
            got = stream.recv(65536)
        except libvirt.libvirtError as e:
            seen.append("raised " + e.get_error_message())
            break
        if got == -2:
            kind = "-2 (would block)"
            # A non-blocking stream's data arrives in the event loop.
            libvirt.virEventRunDefaultImpl()
        elif got == b"":
            kind = "b'' (end)"
            libvirt.virEventRunDefaultImpl()
        else:
            data += got
            kind = "data"
        if not seen or seen[-1] != kind:
            seen.append(kind)
    return data, seen


def wait_host(name):
    """A guest command's prefix: wait until the port's host is connected."""
    return "until [ \"$(counter %s host_connected)\" = 1 ]; do sleep 0.02; done; " % name


def to_guest(conn, dom, flags, payload, linger):
    """payload through a stream into the guest's chanpipe r, finish()ed
    linger s after the last send."""
    st = conn.newStream(flags)
    conn.lookupByName(dom.name).openChannel(U, st, 0)
    ident = dom.request("xfer chanpipe r %s 30 /tmp/in" % U)
    time.sleep(0.5)
    sent, began = 0, time.time()
    while sent < len(payload):
        n = st.send(payload[sent:sent + 65536])
        if n == -2:
            time.sleep(0.005)
            continue
        sent += n
    time.sleep(linger)
    st.finish()
    got = fields(dom.answer(ident, 60))
    say("  sent %d in %.2f s; guest: status %s, %s bytes, sha %s" % (
        sent, time.time() - began, got.get("status"), got.get("size"),
        "equal" if got.get("sha", "")[:16] == sha(payload) else "differs"))


def from_guest_blocking(conn, dom, name):
    st = conn.newStream(0)
    conn.lookupByName(dom.name).openChannel(name, st, 0)
    dom.request("dd if=/dev/urandom of=/tmp/out bs=64k count=16 2>/dev/null; " + wait_host(U) +
                "xfer chanpipe w %s 30 /tmp/out" % U)
    reader = Reader(st, 1024 * KIB + 1)
    reader.join(15)
    say("  got %d bytes; 15 s after: %s" % (len(reader.data), reader.end or "recv still blocks"))
    st.abort()
    reader.join(5)
    say("  after abort() from another thread: %s" % (reader.end or "recv still blocks"))


def from_guest_nonblock(conn, dom):
    st = conn.newStream(libvirt.VIR_STREAM_NONBLOCK)
    d = conn.lookupByName(dom.name)
    d.openChannel(U, st, 0)
    dom.request("head -c 65536 /dev/urandom > /tmp/out; " + wait_host(U) +
                "xfer chanpipe w %s 30 /tmp/out" % U)
    data, seen = nonblock_recv(st, 8)
    say("  got %d bytes; recv gave, in order: %s; host_connected in the guest: %s" % (
        len(data), ", ".join(seen), dom.ask("counter %s host_connected" % U, 30)))
    say("  a second openChannel, flags 0: %s" % error(lambda: d.openChannel(U, conn.newStream(0), 0)))
    st2 = conn.newStream(libvirt.VIR_STREAM_NONBLOCK)
    say("  a second, VIR_DOMAIN_CHANNEL_FORCE: %s" % error(
        lambda: d.openChannel(U, st2, libvirt.VIR_DOMAIN_CHANNEL_FORCE)))
    say("  the first stream after that: %s" % ", ".join(nonblock_recv(st, 1)[1]))
    dom.request(wait_host(U) + "echo hello | /chanpipe w %s 2>/dev/null" % U)
    data, seen = nonblock_recv(st2, 3)
    say("  the second stream, guest writes 6 bytes: %r (%s)" % (data, ", ".join(seen)))
    abort(st, st2)


def abort(*streams):
    for st in streams:
        try:
            st.abort()
        except libvirt.libvirtError:
            pass


def peek(sock, seconds):
    """What a plain socket gets within seconds."""
    sock.settimeout(seconds)
    try:
        return "%d bytes" % len(sock.recv(65536))
    except OSError as e:
        return str(e)


def socket_holder(conn, dom):
    sock = socket.socket(socket.AF_UNIX)
    sock.connect(dom.source(U2))
    time.sleep(0.5)
    st = conn.newStream(libvirt.VIR_STREAM_NONBLOCK)
    d = conn.lookupByName(dom.name)
    say("  openChannel flags 0: %s" % error(lambda: d.openChannel(U2, st, 0)))
    ident = dom.request("head -c 4096 /dev/urandom > /tmp/o2; xfer chanpipe w %s 20 /tmp/o2" % U2)
    data, seen = nonblock_recv(st, 3)
    say("  guest writes 4 KiB: the stream got %d bytes (%s); the socket got %s" % (
        len(data), ", ".join(seen), peek(sock, 3)))
    dom.answer(ident, 30)
    sock.close()
    time.sleep(1)
    dom.request("echo hello | /chanpipe w %s 2>/dev/null" % U2)
    data, seen = nonblock_recv(st, 3)
    say("  the socket closed, the guest writes 6 bytes: the stream got %r (%s)" % (
        data, ", ".join(seen)))
    st2 = conn.newStream(libvirt.VIR_STREAM_NONBLOCK)
    sock = socket.socket(socket.AF_UNIX)
    sock.connect(dom.source(U2))
    say("  again with VIR_DOMAIN_CHANNEL_FORCE: %s" % error(
        lambda: d.openChannel(U2, st2, libvirt.VIR_DOMAIN_CHANNEL_FORCE)))
    say("  the socket after that: %s" % peek(sock, 2))
    sock.close()
    abort(st, st2)


def remote_stream(dom, payload):
    remote = libvirt.open(lh.REMOTE)
    st = remote.newStream(0)
    remote.lookupByName(dom.name).openChannel(U, st, 0)
    dom.request("dd if=/dev/urandom of=/tmp/big bs=64k count=16 2>/dev/null; " + wait_host(U) +
                "xfer chanpipe w %s 30 /tmp/big" % U)
    reader = Reader(st, len(payload))
    reader.join(30)
    say("  guest to host: %d bytes: %s" % (len(reader.data), reader.end))
    st.abort()
    remote.close()
    remote = libvirt.open(lh.REMOTE)
    say("  host to guest, finish() 2 s after the last send:")
    to_guest(remote, dom, 0, payload, 2)
    remote.close()


def facts_c(conn, dom):
    say("\n== c. virDomainOpenChannel with a stream")
    payload = os.urandom(1024 * KIB)
    case("blocking stream, openChannel('%s') (the target name), 1 MiB to the guest, "
         "finish() right after" % U, to_guest, conn, dom, 0, payload, 0)
    case("the same, finish() 2 s after the last send", to_guest, conn, dom, 0, payload, 2)
    case("VIR_STREAM_NONBLOCK stream, the same, finish() 2 s after", to_guest, conn, dom,
         libvirt.VIR_STREAM_NONBLOCK, payload, 2)
    case("blocking stream, openChannel('%s') (the alias), 1 MiB from the guest, which then "
         "closes" % dom.alias(U), from_guest_blocking, conn, dom, dom.alias(U))
    case("non-blocking stream, the guest writes 64 KiB and closes; a second openChannel",
         from_guest_nonblock, conn, dom)
    case("another client (a plain socket) holds the unix channel first", socket_holder, conn, dom)
    for title, name in (("tcp", TCP), ("pty", PTY)):
        say("-- a %s channel: %s" % (title, error(
            lambda: conn.lookupByName(dom.name).openChannel(name, conn.newStream(0), 0))))
    ro = libvirt.openReadOnly(lh.LOCAL)
    say("-- read-only connection: %s" % error(
        lambda: ro.lookupByName(dom.name).openChannel(U, ro.newStream(0), 0)))
    case("remote (qemu+tcp) blocking stream, 1 MiB each way", remote_stream, dom, payload)


def dom_err(got):
    return got.get("err", "-") or "-"


def facts_e(daemons, dom):
    say("\n== e. errors")
    conn = daemons.conn
    say("lookupByName('no-such-domain'): %s" % error(lambda: conn.lookupByName("no-such-domain")))
    xml = dom.xml.replace("<name>%s</name>" % dom.name, "<name>%s-off</name>" % dom.name)
    off = conn.defineXML(xml)
    try:
        say("defined, not running: state %s; XMLDesc works (%d chars); openChannel: %s" % (
            off.state(), len(off.XMLDesc(0)), error(lambda: off.openChannel(U, conn.newStream(0), 0))))
        say("  its XML's channel source: %s" % [line.strip() for line in off.XMLDesc(0).splitlines()
                                                if "mode='bind'" in line][:1])
        say("  suspend: %s" % error(off.suspend))
    finally:
        off.undefine()
    say("qemu+tcp://127.0.0.1:1/system (nothing listens): %s" % error(
        lambda: libvirt.open("qemu+tcp://127.0.0.1:1/system")))
    ro = libvirt.openReadOnly(lh.LOCAL)
    rd = ro.lookupByName(dom.name)
    say("read-only: openChannel: %s" % error(lambda: rd.openChannel(U, ro.newStream(0), 0)))
    say("read-only: suspend: %s" % error(rd.suspend))
    say("read-only: XMLDesc works: %s" % ("state='" in rd.XMLDesc(0)))
    say("openChannel('no-such-channel'): %s" % error(
        lambda: conn.lookupByName(dom.name).openChannel("no-such-channel", conn.newStream(0), 0)))


def facts_f(dom, watch):
    say("\n== f. suspend and resume while the guest's chanpipe r reads (and d. lifecycle events)")
    size = 64 * 1024 * KIB
    payload = os.urandom(size)
    sock = socket.socket(socket.AF_UNIX)
    sock.connect(dom.source(U2))
    ident = dom.request(wait_host(U2) + "/runstat -t 300 -o /tmp/sum -- sh -c '/chanpipe r %s "
                        "2>/dev/null | sha256sum'; cat /tmp/sum" % U2)
    sent = [0]

    def feed():
        for i in range(0, size, 65536):
            sock.sendall(payload[i:i + 65536])
            sent[0] = i + 65536
        sock.shutdown(socket.SHUT_WR)
        while sock.recv(65536):
            pass
    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    watch.pump(1.5, xml=False)
    watch.take()
    d = watch.doms["local"]
    began = time.time()
    before = sent[0]
    d.suspend()
    say("  suspend() took %.0f ms; state %s; sent %d MiB by then" % (
        (time.time() - began) * 1000, d.state(), before >> 20))
    watch.pump(0.5, xml=False)
    at = sent[0]
    watch.pump(2, xml=False)
    say("  paused: sent %d KiB more in the first 0.5 s, then %d KiB in 2 s" % (
        (at - before) >> 10, (sent[0] - at) >> 10))
    began2 = time.time()
    d.resume()
    say("  resume() took %.0f ms (%.2f s after suspend()); state %s" % (
        (time.time() - began2) * 1000, began2 - began, d.state()))
    watch.pump(1, xml=False)
    show(watch.take(), began)
    feeder.join(300)
    got = dom.answer(ident, 300)
    say("  guest: %s; %d MiB, sha256 %s" % (" ".join(w for w in got.split() if w.startswith(
        ("status=", "wall=", "hung="))), size >> 20,
        "equal" if hashlib.sha256(payload).hexdigest() in got else "differs"))
    sock.close()


def keepalive():
    say("\n== d. connections whose event loop does not run (keepalive), each called once")
    conns = [(after, uri, libvirt.open(uri)) for after in (15, 25, 35) for uri in (lh.LOCAL, lh.REMOTE)]
    began = time.time()
    for after, uri, conn in conns:
        time.sleep(max(0, began + after - time.time()))
        say("  %s after %d s: isAlive %d, then getLibVersion: %s" % (
            uri, after, conn.isAlive(), error(conn.getLibVersion)))


def facts_d(daemons, dom, watch):
    say("\n== d. a stream and the events when the domain is destroyed, and libvirtd stopped")
    conn = daemons.conn
    st = conn.newStream(0)
    conn.lookupByName(dom.name).openChannel(U, st, 0)
    dom.request(wait_host(U) + "cat /dev/zero | /chanpipe w %s 2>/dev/null" % U)
    reader = Reader(st, 1 << 40)
    watch.pump(3, xml=False)
    watch.take()
    began = time.time()
    dom.dom.destroy()
    took = time.time() - began
    watch.pump(2, xml=False)
    reader.join(5)
    say("  destroy() took %.0f ms; the reader had %d bytes; then: %s" % (
        took * 1000, len(reader.data), reader.end or "recv still blocks"))
    show(watch.take(), began)
    dom.destroy()  # its folder
    began = time.time()
    libvirtd = [p for p in daemons.started if "libvirtd" in " ".join(p.args)]
    if not libvirtd:
        say("  libvirtd was reused: not stopped here")
        return
    libvirtd[0].terminate()
    watch.pump(3, xml=False)
    show(watch.take(), began)
    libvirtd[0].wait(30)
    say("no daemon: qemu:///system: %s" % error(lambda: libvirt.open(lh.LOCAL)))
    say("no daemon: %s: %s" % (lh.REMOTE, error(lambda: libvirt.open(lh.REMOTE))))


def measure_all(chanpipe, runstat, work, cache, own):
    with lh.Daemons(work) as daemons:
        say("daemons answered after %.1f s%s" % (daemons.start_seconds,
                                                 " (reused)" if daemons.reused else ""))
        dom = lh.Domain(daemons, "chanpipe-measure", chanpipe, runstat, cache,
                        [("unix", U), ("unix", U2), ("unix", OWN, own), ("tcp", TCP, lh.free_port()),
                         ("pty", PTY), ("unix", AGENT)])
        say("domain booted in %.1f s (createXML to the agent's READY)" % dom.boot_seconds)
        facts_a(dom)
        watch = Watch(dom.name)
        facts_b(dom, watch)
        facts_c(daemons.conn, dom)
        facts_e(daemons, dom)
        say("\n== the connections of b., whose loop has not run for %.0f s:" % (
            time.time() - watch.last))
        say("  alive: %s" % ", ".join("%s %s" % (w, c.isAlive()) for w, c in watch.conns.items()))
        watch.pump(0.5, xml=False)
        late = [now - at for now, _, _, at in watch.take() if at]
        say("  then %d events came at once, at most %.1f s after QEMU's timestamps" % (
            len(late), max(late or [0])))
        watch = Watch(dom.name)
        facts_f(dom, watch)
        keepalive()
        facts_d(daemons, dom, Watch(dom.name))
    facts_a_group(chanpipe, runstat, work, cache)


def main():
    chanpipe, runstat, work, cache = sys.argv[1:5]
    libvirt.virEventRegisterDefaultImpl()
    # Each turn of the loop ends within 20 ms, events or not.
    libvirt.virEventAddTimeout(20, lambda *_: None, None)
    own = os.path.join(lh.tempfile.mkdtemp(prefix="chanpipe-own."), "own.sock")
    os.chmod(os.path.dirname(own), 0o755)
    try:
        measure_all(chanpipe, runstat, work, cache, own)
    finally:
        lh.shutil.rmtree(os.path.dirname(own))


if __name__ == "__main__":
    main()
