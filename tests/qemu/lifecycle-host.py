#!/usr/bin/env python3
"""The host side of lifecycle.sh: drives the guest (vm/agent-guest.sh) over
its second serial line, the VM over QMP and the ports' host ends, and
judges every transfer by SHA-256 and status.

  lifecycle-host.py cases SOCKETS WORK         the cases, in one boot
  lifecycle-host.py reconnect SOCKETS WORK N   the host reader goes and comes
                                               back, N times with each tool
  lifecycle-host.py migrate SOCKETS WORK TOOL HOW
                                               one migration in the middle of a
                                               write; HOW: both (the host reads
                                               both QEMUs) or held (not the source)
  lifecycle-host.py table SOCKETS WORK         the measuring mode's table

SOCKETS holds the sockets of the QEMU "src" (and of "dst", a migration's
destination): SIDE-ctl (the guest's serial line; this side listens),
SIDE-qmp and SIDE-NAME for each port NAME. WORK/data holds the payloads the
guest has in /data; the results go to WORK/results.txt, a line each.
"""
import fcntl
import hashlib
import os
import select
import socket
import struct
import sys
import termios
import threading
import time

ROOT = os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..")
sys.path[:0] = [os.path.join(ROOT, "host"), os.path.join(ROOT, "vm")]
import chanpipe_qmp  # noqa: E402
from agent import Agent, Failed  # noqa: E402

MIB = 1 << 20
BOX = 60  # the time box of a guest run, in seconds
STEP = 30  # the longest any other step may wait
TOOLS = ("chanpipe", "dd")
# How long a read left by a host that went while the VM was paused is
# watched after the resume.
STRANDED = 5
# How fast the measuring mode's host reads: slower than the guest writes,
# as a host that writes what it gets to disk or network may be, and slow
# enough that a migration completes before the write ends.
RATE = 2 * MIB


def sha(data):
    return hashlib.sha256(data).hexdigest()


def wait_for(predicate, seconds, what):
    value = chanpipe_qmp.poll_until(predicate, seconds)
    if value is None:
        raise Failed("%s: nothing within %g s" % (what, seconds))
    return value


def connect(address):
    """The host end of a port: a unix socket's path, or (host, port)."""
    if isinstance(address, str):
        return chanpipe_qmp.connect(unix=address, seconds=STEP)
    return chanpipe_qmp.connect(tcp="%s:%d" % address, seconds=STEP)


def send(sock, data):
    sock.settimeout(STEP)
    sock.sendall(data)


def end(sock):
    """Ends what the host sends: half-closes, so that QEMU takes every byte
    before it sees the end, and waits for QEMU to hang up."""
    sock.shutdown(socket.SHUT_WR)
    sock.settimeout(BOX)
    while sock.recv(65536):
        pass
    sock.close()


class Receiver(threading.Thread):
    """Reads a port's host end into .data until the end or stop(). hold
    keeps it from reading for a while; rate (bytes a second) paces it.
    .last is the last time it read, or chose not to."""

    def __init__(self, sock, rate=None):
        super().__init__(daemon=True)
        self.sock, self.rate, self.hold, self.done = sock, rate, False, False
        self.data, self.last, self.unread = bytearray(), time.monotonic(), 0
        self.start()

    def run(self):
        began = time.monotonic()
        while not self.done:
            if self.hold or self.rate and len(self.data) > self.rate * (time.monotonic() - began):
                time.sleep(0.01)
                self.last = time.monotonic()
            elif select.select([self.sock], [], [], 0.05)[0]:
                try:
                    block = self.sock.recv(65536)
                except OSError:
                    block = b""
                if not block:
                    break
                self.data += block
                self.last = time.monotonic()
        self.done = True

    def until(self, size):
        wait_for(lambda: len(self.data) >= size or self.done, STEP,
                 "%d bytes from the guest" % size)

    def stop(self, quiet=1.0, enough=None):
        """What came, once nothing has come for `quiet` s (0.2 s once
        `enough` bytes are here), or the end."""
        wait_for(lambda: self.done or time.monotonic() - self.last >= (
            0.2 if enough is not None and len(self.data) >= enough else quiet), BOX, "the end")
        self.done = True
        self.join()
        # What QEMU had written and the host leaves unread goes with the socket.
        self.unread = struct.unpack("i", fcntl.ioctl(self.sock, termios.FIONREAD, b"\0" * 4))[0]
        self.sock.close()
        return bytes(self.data)


class Side:
    """One QEMU: its QMP monitor and its ports' host ends."""

    def __init__(self, sockets, name):
        self.sockets, self.name = sockets, name
        self.qmp = chanpipe_qmp.QMPClient(os.path.join(sockets, name + "-qmp"), timeout=STEP)
        wait_for(self._connect, STEP, "QMP of " + name)

    def _connect(self):
        try:
            return self.qmp.connect()
        except OSError:
            return None

    def port(self, name):
        if name != "tcp":
            return os.path.join(self.sockets, "%s-%s" % (self.name, name))
        chardevs = self.qmp.cmd("query-chardev")
        filename = next(c["filename"] for c in chardevs if "tcp:127.0.0.1:" in c["filename"])
        return "127.0.0.1", int(filename.split("tcp:127.0.0.1:")[1].split(",")[0])

    def event(self, name, device):
        def seen():
            return any(e["event"] == name and e.get("data", {}).get("device") == device
                       for e in self.qmp.get_events(wait=0.1))
        wait_for(seen, STEP, name + " " + device)


def exact(got, sent, back):
    """What is wrong with a transfer that should have ended with status 0
    and every byte: the guest's answer, what was sent and what came."""
    problems = []
    if got.get("status") != "0":
        problems.append("status %s%s" % (got.get("status"), ", hung in " + got.get("wchan", "?")
                                         if got.get("hung") == "1" else ""))
    if back is None and (int(got.get("size", -1)) != len(sent) or got.get("sha") != sha(sent)):
        problems.append("the guest got %s bytes of %d, sha256 %s" % (
            got.get("size"), len(sent), "equal" if got.get("sha") == sha(sent) else "differs"))
    if back is not None and back != sent:
        problems.append("the host got %d bytes of %d, %s" % (
            len(back), len(sent), "a prefix" if sent.startswith(back) else "not a prefix"))
    return problems


def join(first, second, sent):
    """How `first` then `second` (the host's two connections, or the two
    QEMUs) cover `sent`: the bytes lost or repeated between them, those
    missing at the end, and whether anything else differs."""
    if not sent.startswith(first):
        return dict(lost=0, repeated=0, damaged=1)
    if not second:
        return dict(lost=0, repeated=0, short=len(sent) - len(first), damaged=0)
    at = sent.find(second[:4096])
    damaged = at < 0 or sent[at:at + len(second)] != second
    gap = at - len(first)
    return dict(lost=max(gap, 0), repeated=max(-gap, 0), short=len(sent) - at - len(second),
                damaged=int(damaged))


class Host:
    """The cases and the measurements, on the QEMU "src" (and "dst")."""

    def __init__(self, sockets, work, sides=("src",)):
        self.sockets, self.work = sockets, work
        self.guest = Agent([os.path.join(sockets, side + "-ctl") for side in sides], BOX + STEP)
        self.vm = Side(sockets, "src")
        self.results = open(os.path.join(work, "results.txt"), "a")

    def payload(self, name):
        with open(os.path.join(self.work, "data", name), "rb") as f:
            return f.read()

    def record(self, line):
        print(line, flush=True)
        self.results.write(line + "\n")
        self.results.flush()

    def to_guest(self, port, size, during=None, address=None):
        """size random bytes to `chanpipe r port`, with during() halfway:
        (the guest's answer, the bytes)."""
        data = os.urandom(size)
        sock = connect(address or self.vm.port(port))
        ident = self.guest.ask("xfer chanpipe r %s %d /tmp/$id.out; rm /tmp/$id.out" % (port, BOX))
        send(sock, data[:size // 2])
        if during:
            during()
        send(sock, data[size // 2:])
        end(sock)
        return self.guest.answer(ident), data

    def to_host(self, port, files, during=None, at=None):
        """`chanpipe w port` of the payloads, with during(receiver) once `at`
        bytes (half) have come: (the guest's answer, what was sent, what came)."""
        sent = b"".join(self.payload(f) for f in files)
        receiver = Receiver(connect(self.vm.port(port)))
        ident = self.guest.ask("xfer chanpipe w %s %d %s" % (
            port, BOX, " ".join("/data/" + f for f in files)))
        if during:
            receiver.until(at or len(sent) // 2)
            during(receiver)
        got = self.guest.answer(ident)
        return got, sent, receiver.stop(enough=len(sent))

    def pause(self, *_):
        self.vm.qmp.cmd("stop")
        state = self.vm.qmp.cmd("query-status").get("status")
        time.sleep(3)
        self.vm.qmp.cmd("cont")
        if state != "paused":
            raise Failed("after QMP stop the VM was %s" % state)

    def unplug(self, port):
        self.vm.qmp.cmd("device_del", id=port)
        self.unplugged = time.monotonic()
        self.vm.event("DEVICE_DELETED", port)

    def cut_off(self, got, status, message, sent, back):
        """The judgement of a run whose port was unplugged under it."""
        problems = [] if got.get("status") == status else ["status %s, expected %s%s" % (
            got.get("status"), status, "; it hung, killed at its time box, waiting in " +
            got.get("wchan", "?") if got.get("hung") == "1" else "")]
        if got["err"] != message:
            problems.append("last message %r, expected %r" % (got["err"], message))
        if not sent.startswith(back) or len(back) == len(sent) and status == "4":
            problems.append("the host got %d bytes of %d, %s" % (
                len(back), len(sent), "not a prefix" if not sent.startswith(back) else "all"))
        return problems, "status %s, %r; %d of %d bytes arrived, an exact prefix; it ended " \
            "%.2f s after the unplug (run %.2f s)" % (got.get("status"), got["err"], len(back),
                                                      len(sent), got["at"] - self.unplugged,
                                                      float(got.get("wall", 0)))

    # ---- the cases ----

    def case_tcp(self):
        got, data = self.to_guest("tcp", 4 * MIB)
        problems = exact(got, data, None)
        got, sent, back = self.to_host("tcp", ["p4a"])
        return problems + exact(got, sent, back), "4 MiB each way, a tcp chardev"

    def case_pause(self):
        got, data = self.to_guest("pause", 8 * MIB, self.pause)
        problems = exact(got, data, None)
        got, sent, back = self.to_host("pause", ["p8"], self.pause)
        return problems + exact(got, sent, back), "8 MiB each way, paused 3 s halfway"

    def case_unplug_streaming_w(self):
        def unplug(receiver):
            self.unplug("u1")
        got, sent, back = self.to_host("u1", ["p8"] * 8, unplug, MIB)
        return self.cut_off(got, "4", "WriteFile error 19", sent, back)

    def case_unplug_blocked_w(self):
        def unplug(receiver):
            receiver.hold = True
            taken = self.guest.answer(self.guest.ask("blocked u2"), STEP)["sent"]
            self.unplug("u2")
            receiver.hold, self.taken = False, int(taken)
        got, sent, back = self.to_host("u2", ["p8"], unplug, 256 * 1024)
        problems, detail = self.cut_off(got, "4", "WriteFile error 19", sent, back)
        return problems, detail + "; the driver had taken %d, %d never reached the host" % (
            self.taken, self.taken - len(back))

    def case_unplug_idle_r(self):
        data = os.urandom(64 * 1024)
        sock = connect(self.vm.port("u3"))
        ident = self.guest.ask("xfer chanpipe r u3 %d /tmp/$id.out; rm /tmp/$id.out" % BOX)
        send(sock, data)
        wait_for(lambda: self.guest.answer(self.guest.ask("echo got=$(counter u3 bytes_received)"),
                                           STEP)["got"] == str(len(data)), STEP,
                 "the guest reading the first bytes")
        self.unplug("u3")
        got = self.guest.answer(ident)
        sock.close()
        back = data[:int(got.get("size", 0))]
        problems, detail = self.cut_off(got, "5", "ReadFile error 19", data, back)
        if got.get("sha") != sha(back):
            problems.append("what arrived is not what the host sent first")
        return problems, detail

    def case_pause_close(self):
        """The host closes its socket while the VM is paused: after the
        resume the guest's read stays blocked, the driver still thinking a
        host is there, until a host connects and goes again. The same with
        dd, the control."""
        problems, details = [], []
        for tool in TOOLS:
            port, data = "pc" + tool, os.urandom(64 * 1024)
            sock = connect(self.vm.port(port))
            ident = self.guest.ask("xfer %s r %s %d /tmp/$id.out; rm /tmp/$id.out" % (
                tool, port, BOX))
            send(sock, data)
            wait_for(lambda: self.guest.answer(self.guest.ask(
                "echo got=$(counter %s bytes_received)" % port), STEP)["got"] == str(len(data)),
                STEP, "the guest reading the first bytes")
            self.vm.qmp.cmd("stop")
            sock.close()
            time.sleep(1)
            self.vm.qmp.cmd("cont")
            time.sleep(STRANDED)
            blocked = not self.guest.done(ident)
            connected = self.guest.answer(self.guest.ask(
                "echo c=$(counter %s host_connected)" % port), STEP)["c"]
            # The way out: a host that comes and goes.
            again = time.monotonic()
            connect(self.vm.port(port)).close()
            got = self.guest.answer(ident)
            took = got["at"] - again
            if tool == "chanpipe":
                if not blocked or connected != "1":
                    problems.append("chanpipe r %s %g s after the resume (host_connected %s)" % (
                        "was still blocked" if blocked else "had ended", STRANDED, connected))
                problems += exact(got, data, None)
            details.append("%s: %s %g s after the resume, host_connected %s; a host that came "
                           "and went ended it %.2f s later, status %s, %s of %d bytes" % (
                               tool, "still blocked" if blocked else "ended", STRANDED, connected,
                               took, got.get("status"), got.get("size"), len(data)))
        return problems, "; ".join(details)

    def case_hotplug(self):
        path = os.path.join(self.sockets, "src-late")
        self.vm.qmp.cmd("chardev-add", id="late", backend={"type": "socket", "data": {
            "addr": {"type": "unix", "data": {"path": path}}, "server": True, "wait": False}})
        self.vm.qmp.cmd("device_add", driver="virtserialport", bus="vs0.0", chardev="late",
                        name="late", id="late")
        added = time.monotonic()
        named = self.guest.answer(self.guest.ask("appears late 20"))
        if named.get("status") != "0":
            return ["the guest never saw a port named late"], ""
        got, data = self.to_guest("late", MIB, address=path)
        return exact(got, data, None), "the guest had it named %.2f s after device_add; 1 MiB " \
            "through chanpipe r late" % (named["at"] - added)

    def case_concurrent(self):
        problems, threads = [], []

        def run(how, *args):
            try:
                got, sent, *back = how(*args)
                problems.extend("%s: %s" % (args[0], p) for p in exact(got, sent, *back or [None]))
            except (Failed, OSError) as error:
                problems.append("%s: %s" % (args[0], error))
        for how, args in ((self.to_guest, ("par1", 4 * MIB)), (self.to_guest, ("par2", 4 * MIB)),
                          (self.to_host, ("par3", ["p4a"])), (self.to_host, ("par4", ["p4b"]))):
            threads.append(threading.Thread(target=run, args=(how,) + args))
            threads[-1].start()
        for thread in threads:
            thread.join()
        return problems, "two chanpipe r and two chanpipe w of 4 MiB at once"

    def cases(self):
        failed = 0
        for name in ("tcp", "pause", "pause_close", "unplug_streaming_w", "unplug_blocked_w", "unplug_idle_r",
                     "hotplug", "concurrent"):
            began = time.monotonic()
            try:
                problems, detail = getattr(self, "case_" + name)()
            except (Failed, OSError, chanpipe_qmp.QMPError) as error:
                problems, detail = ["%s: %s" % (type(error).__name__, error)], ""
            failed += bool(problems)
            self.record("%-20s %-4s %5.1f s  %s" % (name.replace("_", "-"), "FAIL" if problems
                                                    else "ok", time.monotonic() - began,
                                                    "; ".join(problems) or detail))
        self.guest.ask("quit")
        return 1 if failed else 0

    # ---- the measuring mode ----

    def measure(self, case, tool, how, got, first, second, sent, **more):
        fields = dict(join(first, second, sent), status=got.get("status"), hung=got.get("hung"),
                      first=len(first), second=len(second), **more)
        fields["exact"] = int(first + second == sent)
        self.record("measure case=%s tool=%s how=%s %s" % (case, tool, how, " ".join(
            "%s=%s" % item for item in fields.items())))

    def reconnect(self, n):
        sent = self.payload("p32")
        for tool in TOOLS:
            for _ in range(int(n)):
                receiver = Receiver(connect(self.vm.port("rc")), RATE)
                ident = self.guest.ask("xfer %s w rc %d /data/p32" % (tool, BOX))
                receiver.until(2 * MIB)
                first = receiver.stop(0)
                unread = receiver.unread
                time.sleep(3)
                receiver = Receiver(connect(self.vm.port("rc")), RATE)
                got = self.guest.answer(ident)
                second = receiver.stop()
                self.measure("reconnect", tool, "-", got, first, second, sent, unread=unread,
                             dropped=join(first, second, sent)["lost"] - unread)
        self.guest.ask("quit")
        return 0

    def migrate(self, tool, how):
        """The host reads both QEMUs at RATE; with "held", not the source
        from the start of the migration until it has completed and the
        source has quit."""
        sent, dst = self.payload("p32"), Side(self.sockets, "dst")
        source = Receiver(connect(self.vm.port("mig")), RATE)
        target = Receiver(connect(dst.port("mig")), RATE)
        ident = self.guest.ask("xfer %s w mig %d /data/p32" % (tool, BOX))
        source.until(2 * MIB)
        source.hold = how == "held"
        self.vm.qmp.cmd("migrate", uri="unix:" + os.path.join(self.sockets, "mig"))

        def migrated():
            status = self.vm.qmp.cmd("query-migrate").get("status")
            return status if status in ("completed", "failed") else None
        state = wait_for(migrated, 4 * STEP, "the migration")
        took = self.vm.qmp.cmd("query-migrate").get("total-time", -1)
        if how == "both":
            wait_for(lambda: time.monotonic() - source.last > 1, STEP, "the source's last bytes")
        self.vm.qmp.cmd("quit")
        source.hold = False
        first = source.stop()
        try:
            got = self.guest.answer(ident) if state == "completed" else {"status": state}
        except Failed:
            got = {"status": "none", "hung": "1"}  # even runstat's time box could not end it
        second = target.stop()
        dst.qmp.cmd("quit")
        time.sleep(0.5)
        logs = {}
        for log in ("dst-console.log", "dst-console.log.qemu"):
            with open(os.path.join(self.work, log), errors="replace") as f:
                logs[log] = f.read()
        self.measure("migrate", tool, how, got, first, second, sent, ms=took,
                     vq=int("Virtqueue size exceeded" in logs["dst-console.log.qemu"]),
                     lockup=int("soft lockup" in logs["dst-console.log"]))
        return 0


def table(work):
    """The measuring mode's figures, a row per case and tool."""
    rows = {}
    for line in open(os.path.join(work, "results.txt")):
        if line.startswith("measure "):
            f = dict(w.split("=", 1) for w in line.split()[1:])
            rows.setdefault((f["case"], f["how"], f["tool"]), []).append(f)

    def spread(runs, key):
        """The values: one, each with its count, or the zeros and the range of the others."""
        values = sorted(int(r[key]) for r in runs if key in r)
        distinct = sorted(set(values))
        if len(distinct) <= 2:
            return ", ".join("{:,}".format(v) + (" ×%d" % values.count(v) if len(distinct) > 1
                                                 else "") for v in distinct)
        rest = [v for v in values if v]
        text = "{:,} to {:,}".format(rest[0], rest[-1])
        zeros = len(values) - len(rest)
        return "0 ×%d, %s ×%d" % (zeros, text, len(rest)) if zeros else text

    def count(runs, key):
        return sum(r.get(key) == "1" for r in runs)
    cases = {("reconnect", "-"): "the host reader reconnects after 3 s",
             ("migrate", "both"): "migration, the host reads both QEMUs",
             ("migrate", "held"): "migration, the source held"}
    out = ["| case | tool | runs | exact | bytes lost | bytes repeated | missing at the end "
           "| hung | status | notes |", "|---|---|---:|---:|---|---|---|---:|---|---|"]
    for (case, how, tool), runs in sorted(rows.items()):
        notes = ["of those, left unread in the old socket: %s; dropped before it: %s" % (
            spread(runs, "unread"), spread(runs, "dropped"))] if case == "reconnect" else []
        # A migration that completed only after the write ended moved nothing twice.
        notes += ["the switch came in the middle of the write in %d" % sum(
            int(r["first"]) > 0 and int(r["second"]) > 0 for r in runs)] if case == "migrate" else []
        notes += ["%s: %d" % (text, count(runs, key)) for key, text in (
            ("damaged", "damaged"), ("vq", "`Virtqueue size exceeded`"),
            ("lockup", "guest soft lockup")) if count(runs, key)]
        out.append("| %s | %s | %d | %d | %s | %s | %s | %d | %s | %s |" % (
            cases[case, how], tool, len(runs), count(runs, "exact"), spread(runs, "lost"),
            spread(runs, "repeated"), spread(runs, "short"), count(runs, "hung"),
            ", ".join(sorted({r["status"] for r in runs})), "; ".join(notes)))
    return "\n".join(out)


def main(argv):
    if len(argv) >= 3 and argv[0] == "table":
        print(table(argv[2]))
        return 0
    if len(argv) >= 3 and argv[0] in ("cases", "reconnect", "migrate"):
        host = Host(argv[1], argv[2], ("src", "dst") if argv[0] == "migrate" else ("src",))
        return getattr(host, argv[0])(*argv[3:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
