#!/usr/bin/env python3
"""The host side of chanpipe's channel self-test.

    chanpipe-selftest-host.py --socket PATH [--qmp PATH] [--big MIB] [--json FILE]
    chanpipe-selftest-host.py --tcp HOST:PORT [...]

Start it, then run the guest side on the same channel: `chanpipe-selftest
NAME` (chanpipe-selftest.cmd on Windows, chanpipe-selftest.sh on Linux).
The guest runs a fixed sequence of chanpipe runs; this side sends the
payloads, checks what comes back, and prints one row a case. It exits 0
only when every checked case passed.

--socket is the port's host end: the unix socket of a `-chardev
socket,...,server=on` or of a libvirt `<channel type='unix'>` with
mode='bind'. --qmp is the VM's QMP socket: with it this side follows the
guest's opens and closes of the port (VSERPORT_CHANGE, and the chardev's
frontend-open), so it knows when the guest's reader is open and when it has
gone. Without it, it waits --settle seconds instead, and the case that needs
the events is not run.

Python 3 and its standard library only.
"""

import argparse
import hashlib
import json
import os
import random
import select
import socket
import sys
import threading
import time

VERSION = 1
MAGIC = "chanpipe-selftest"
MIB = 1 << 20
# The guest's echo steps, in order: the payload sizes in bytes (None: --big).
ECHO_SIZES = [0, 1, 4095, 4096, 4097, MIB, None]
FIRST_SIZE = 64 * 1024
# QEMU sends at most one VSERPORT_CHANGE a second per port and holds back
# the newest change until then. An open that outlasts that window with no
# event and no close seen is a reader's, not the brief open of chanpipe's
# name lookup or of a short write.
EVENT_WINDOW = 1.0
STEADY = EVENT_WINDOW + 0.3
POLL = 0.02
# How long the write-with-no-host case leaves the guest's writer without a host.
NO_HOST_HOLD = 3.0


class Abort(Exception):
    """The run cannot go on: the current case failed or hung."""

    def __init__(self, result, detail):
        super().__init__(detail)
        self.result, self.detail = result, detail


def hang(what, seconds):
    return Abort("hung", "%s: nothing within %g s" % (what, seconds))


# ---------------------------------------------------------------- channel

class Channel:
    """The port's host end. One connection at a time, as QEMU takes it."""

    def __init__(self, options):
        self.o = options
        self.sock = None
        self.buffer = b""

    def connect(self, seconds):
        deadline = time.monotonic() + seconds
        while True:
            try:
                if self.o.socket:
                    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                    s.connect(self.o.socket)
                else:
                    host, _, port = self.o.tcp.rpartition(":")
                    s = socket.create_connection((host, int(port)), timeout=seconds)
                break
            except OSError as error:
                if time.monotonic() > deadline:
                    raise Abort("FAIL", "cannot connect to %s: %s" % (self.where(), error))
                time.sleep(0.2)
        self.sock, self.buffer = s, b""

    def where(self):
        return self.o.socket or "tcp:" + self.o.tcp

    def drop(self):
        if self.sock:
            self.sock.close()
        self.sock, self.buffer = None, b""

    def pending(self, seconds=0.0):
        """True when the guest has sent something not yet read."""
        if self.buffer:
            return True
        readable, _, _ = select.select([self.sock], [], [], seconds)
        return bool(readable)

    def _fill(self, seconds, what):
        self.sock.settimeout(seconds)
        try:
            block = self.sock.recv(1 << 20)
        except socket.timeout:
            raise hang(what, seconds)
        if not block:
            raise Abort("FAIL", "%s: the host end was closed (QEMU or the VM went away?)" % what)
        self.buffer += block

    def read_line(self, seconds, what):
        while b"\n" not in self.buffer:
            self._fill(seconds, what)
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.rstrip(b"\r").decode("utf-8", "replace")

    def read_exact(self, size, seconds, what):
        """(bytes, seconds from the first byte to the last)."""
        parts, have, first = [], 0, None
        if self.buffer:
            first = time.monotonic()
        while have + len(self.buffer) < size:
            have += len(self.buffer)
            parts.append(self.buffer)
            self.buffer = b""
            self._fill(seconds, "%s (%d of %d bytes)" % (what, have, size))
            first = first or time.monotonic()
        take = size - have
        parts.append(self.buffer[:take])
        self.buffer = self.buffer[take:]
        return b"".join(parts), (time.monotonic() - first) if first else 0.0

    def send(self, data, seconds, what):
        self.sock.settimeout(seconds)
        try:
            self.sock.sendall(data)
        except socket.timeout:
            raise hang(what, seconds)
        except OSError as error:
            raise Abort("FAIL", "%s: %s" % (what, error))

    def end_payload(self, seconds, what):
        """Ends a host-to-guest payload. Half-closes, so QEMU reads all of it
        before it sees the end, and waits for QEMU to hang up."""
        self.sock.shutdown(socket.SHUT_WR)
        self.sock.settimeout(seconds)
        stray = 0
        try:
            while True:
                block = self.sock.recv(1 << 16)
                if not block:
                    break
                stray += len(block)
        except socket.timeout:
            raise hang(what + ": the end of the payload was not taken", seconds)
        except OSError:
            pass
        self.drop()
        if stray:
            raise Abort("FAIL", "%s: the guest sent %d bytes while it should read" % (what, stray))


# ---------------------------------------------------------------- QMP

class Qmp:
    """Follows the port's guest side through the VM's QMP socket."""

    def __init__(self, path, seconds):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self.sock.connect(path)
        except OSError as error:
            raise Abort("FAIL", "cannot connect to the QMP socket %s: %s" % (path, error))
        self.file = self.sock.makefile("rb")
        self.lock = threading.Condition()
        self.replies = {}
        self.events = []  # (time received, open)
        self.port_id = None
        self.label = None
        self.next_id = 0
        self.seconds = seconds
        greeting = self._read()
        if not greeting or "QMP" not in greeting:
            raise Abort("FAIL", "%s does not speak QMP" % path)
        threading.Thread(target=self._reader, daemon=True).start()
        self.command("qmp_capabilities")

    def _read(self):
        line = self.file.readline()
        return json.loads(line) if line else None

    def _reader(self):
        while True:
            try:
                message = self._read()
            except (OSError, ValueError):
                message = None
            with self.lock:
                if message is None:
                    self.replies["closed"] = True
                    self.lock.notify_all()
                    return
                if message.get("event") == "VSERPORT_CHANGE":
                    data = message.get("data", {})
                    if data.get("id") == self.port_id:
                        self.events.append((time.monotonic(), bool(data.get("open"))))
                elif "id" in message:
                    self.replies[message["id"]] = message
                self.lock.notify_all()

    def command(self, name, **arguments):
        with self.lock:
            self.next_id += 1
            tag = "cst-%d" % self.next_id
        request = {"execute": name, "id": tag}
        if arguments:
            request["arguments"] = arguments
        self.sock.sendall(json.dumps(request).encode() + b"\n")
        deadline = time.monotonic() + self.seconds
        with self.lock:
            while tag not in self.replies:
                if "closed" in self.replies:
                    raise Abort("FAIL", "the QMP socket closed (the VM went away?)")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise hang("QMP %s" % name, self.seconds)
                self.lock.wait(left)
            reply = self.replies.pop(tag)
        if "error" in reply:
            raise Abort("FAIL", "QMP %s: %s" % (name, reply["error"].get("desc", reply["error"])))
        return reply.get("return")

    def find_port(self, where):
        """The port whose chardev is the socket `where`: its chardev label
        from query-chardev, its device id from the chardev property."""
        labels = [c["label"] for c in self.command("query-chardev")
                  if refers_to(c.get("filename", ""), where)]
        if not labels:
            raise Abort("FAIL", "no chardev of this VM listens on %s" % where)
        for child in self.command("qom-list", path="/machine/peripheral"):
            if not child.get("type", "").startswith("child<"):
                continue
            try:
                chardev = self.command("qom-get", path="/machine/peripheral/" + child["name"],
                                       property="chardev")
            except Abort:
                continue
            if chardev in labels:
                self.port_id, self.label = child["name"], chardev
                return
        raise Abort("FAIL", "the port on chardev %s has no id: give its -device an id=... "
                    "(QEMU names the port by it in VSERPORT_CHANGE)" % labels[0])

    def is_open(self):
        for c in self.command("query-chardev"):
            if c["label"] == self.label:
                return bool(c.get("frontend-open"))
        raise Abort("FAIL", "chardev %s is gone" % self.label)

    def mark(self):
        with self.lock:
            return len(self.events)

    def since(self, mark):
        with self.lock:
            return list(self.events[mark:])


def refers_to(filename, where):
    if where.startswith("tcp:"):
        return where[4:] in filename
    return ":" + where + "," in filename + "," or filename.endswith(":" + where)


# ---------------------------------------------------------------- the run

class Case:
    def __init__(self, name, checked=True):
        self.name, self.checked = name, checked
        self.result, self.detail, self.data = "not run", "", {}

    def set(self, result, detail, **data):
        self.result, self.detail = result, detail
        self.data.update(data)


def payload(seed, label, size):
    return random.Random("%s:%s" % (seed, label)).randbytes(size)


def human(size):
    if size >= MIB and size % MIB == 0:
        return "%d MiB" % (size // MIB)
    return "%d B" % size


def rate(size, seconds):
    return "%.1f MiB/s" % (size / MIB / seconds) if seconds > 0 else "-"


class Run:
    def __init__(self, options):
        self.o = options
        self.ch = Channel(options)
        self.qmp = None
        self.sizes = [s if s is not None else options.big * MIB for s in ECHO_SIZES]
        self.cases = [Case("hello")]
        self.echo = []
        for size in self.sizes:
            self.echo.append(Case("echo %s" % human(size)))
        self.cases += self.echo
        self.name = Case("name")
        self.first = Case("host sends first", checked=False)
        self.no_host = Case("write with no host", checked=False)
        self.cases += [self.name, self.first, self.no_host]
        self.guest = {}
        self.runs = {}
        self.stderr = {}
        self.steady_at = None
        self.aborted = None
        self.started = time.monotonic()
        self.windows = False

    def say(self, text):
        if not self.o.quiet:
            print("  %6.1f s  %s" % (time.monotonic() - self.started, text), file=sys.stderr,
                  flush=True)

    # ---- messages from the guest ----

    def message(self, seconds, what):
        """The guest's next message: (word, fields, lines)."""
        first = self.ch.read_line(seconds, what)
        words = first.split()
        if len(words) < 3 or words[0] != MAGIC:
            raise Abort("FAIL", "%s: expected a message of the guest script, got %r"
                        % (what, first[:80]))
        if words[1] != str(VERSION):
            raise Abort("FAIL", "version mismatch: the guest script is version %s, this host "
                        "side is version %d; use both from the same release" % (words[1], VERSION))
        lines = []
        while True:
            line = self.ch.read_line(self.o.timeout, what)
            if line == "end":
                break
            lines.append(line)
        fields = dict(w.split("=", 1) for w in words[3:] if "=" in w)
        args = [w for w in words[3:] if "=" not in w]
        return words[2], args, fields, lines

    def expect(self, word, arg, seconds=None, what=None):
        got, args, fields, lines = self.message(seconds or self.o.timeout, what or word)
        if got != word or (arg is not None and args[:1] != [arg]):
            raise Abort("FAIL", "expected the guest's %s %s, got %s %s"
                        % (word, arg or "", got, " ".join(args)))
        return fields, lines

    # ---- what the guest does with the port ----

    def wait_reader_open(self, what):
        """Returns once the guest's chanpipe r has the port open for data."""
        if not self.qmp:
            self.sleep_checking(self.o.settle, what)
            return
        deadline = time.monotonic() + self.o.timeout
        since = None  # when the port was first seen open, with no event since
        mark = self.qmp.mark()
        while True:
            now = time.monotonic()
            if self.qmp.is_open():
                fresh = self.qmp.since(mark)
                if since is None or fresh:
                    since, mark = now, mark + len(fresh)
                elif now - since >= STEADY:
                    self.steady_at = now
                    return
            else:
                since = None
            if now > deadline:
                raise hang(what + ": waiting for the guest's chanpipe r to open the port",
                           self.o.timeout)
            if self.ch.pending(POLL):
                raise Abort("FAIL", "%s: the guest's chanpipe r ended before the host sent "
                            "anything" % what)

    def wait_reader_closed(self, what):
        """Returns once the guest's chanpipe r has let the port go, so that
        connecting again cannot keep it from seeing the host leave."""
        if not self.qmp:
            time.sleep(self.o.settle)
            return
        deadline = time.monotonic() + self.o.timeout
        while True:
            # Every change after the steady open is the reader's close, or later.
            if not self.qmp.is_open() or any(t > self.steady_at for t, _ in self.qmp.since(0)):
                return
            if time.monotonic() > deadline:
                raise hang(what + ": waiting for the guest's chanpipe r to end", self.o.timeout)
            time.sleep(POLL)

    def wait_state(self, want, seconds, what):
        """Polls the port until it is open (want True) or closed; returns
        the time, or None when it did not come within seconds."""
        deadline = time.monotonic() + seconds
        while time.monotonic() <= deadline:
            if self.qmp.is_open() == want:
                return time.monotonic()
            time.sleep(POLL / 2)
        return None

    def quiet_closed(self, what):
        """Waits until the port is closed and no event has come for a whole
        event window; returns the event mark from then on."""
        deadline = time.monotonic() + self.o.timeout
        since, mark = None, self.qmp.mark()
        while time.monotonic() <= deadline:
            now = time.monotonic()
            fresh = self.qmp.since(mark)
            if self.qmp.is_open() or fresh:
                since, mark = None, mark + len(fresh)
            elif since is None:
                since = now
            elif now - since >= STEADY:
                return mark
            time.sleep(POLL)
        raise hang(what + ": waiting for the guest to close the port", self.o.timeout)

    def change(self, mark, want, seconds):
        """The time the port was first seen open (want True) or closed, by a
        look or by the n-th event after mark (opens and closes alternate
        from a closed port); None when it did not come within seconds."""
        deadline = time.monotonic() + seconds
        while time.monotonic() <= deadline:
            if self.qmp.is_open() == want:
                return time.monotonic()
            events = self.qmp.since(mark)
            if events:
                return events[0][0]
            time.sleep(POLL / 2)
        return None

    def sleep_checking(self, seconds, what):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.ch.pending(min(POLL * 5, max(0.0, deadline - time.monotonic()))):
                raise Abort("FAIL", "%s: the guest's chanpipe r ended before the host sent "
                            "anything" % what)

    # ---- one payload there and back ----

    def there_and_back(self, label, data, what, early=False):
        """Sends data to the guest's chanpipe r and takes back what its
        chanpipe w returns. Returns a dict of what happened."""
        t = self.o.timeout
        # Sent early, the bytes wait for the reader; the end must not, or
        # QEMU could hang up before the reader's own open.
        self.wait_reader_open(what)
        sent_at = time.monotonic()
        if not early:
            self.ch.send(data, t, what + ": sending")
        self.ch.end_payload(t, what)
        there = time.monotonic() - sent_at
        self.wait_reader_closed(what)
        self.ch.connect(t)
        fields, _ = self.expect("got", label, what=what + ": waiting for the guest's reply")
        size = int(fields.get("size", "-1"))
        if size < 0:
            raise Abort("FAIL", "%s: the guest could not tell the size it received" % what)
        back, back_seconds = self.ch.read_exact(size, t, what + ": reading the echo")
        return {"status_r": fields.get("status", "?"), "size": size, "back": back,
                "there_seconds": there, "back_seconds": back_seconds}

    # ---- the cases ----

    def hello(self):
        case = self.cases[0]
        self.ch.connect(self.o.timeout)
        self.say("waiting for the guest side (chanpipe-selftest NAME) on %s ..." % self.ch.where())
        got, args, fields, lines = self.message(self.o.wait, "hello from the guest")
        if got != "hello":
            raise Abort("FAIL", "expected the guest's hello, got %s" % got)
        for line in lines:
            key, _, value = line.partition(" ")
            self.guest[key] = value
        self.windows = "windows" in self.guest.get("os", "").lower()
        case.set("pass", "%s; %s" % (self.guest.get("os", "?"), self.guest.get("chanpipe", "?")),
                 guest=self.guest)

    def echo_case(self, index):
        case, size = self.echo[index], self.sizes[index]
        what = case.name
        self.expect("ready", "echo%d" % (index + 1), what=what + ": waiting for the guest")
        data = payload(self.o.seed, "echo%d" % (index + 1), size)
        self.say("%s: sending" % what)
        got = self.there_and_back("echo%d" % (index + 1), data, what)
        back = got["back"]
        case.data.update(sent=size, received=got["size"], status_r=got["status_r"],
                         sha256_sent=hashlib.sha256(data).hexdigest(),
                         sha256_back=hashlib.sha256(back).hexdigest())
        problems = []
        if got["status_r"] != "0":
            problems.append("chanpipe r status %s" % got["status_r"])
        if back != data:
            problems.append(damage(data, back))
        if size == self.sizes[-1] and size:
            case.data.update(host_to_guest_mib_s=round(size / MIB / got["there_seconds"], 2),
                             guest_to_host_mib_s=round(size / MIB / got["back_seconds"], 2)
                             if got["back_seconds"] else None)
        if problems:
            case.set("FAIL", "; ".join(problems))
        else:
            detail = "%s both ways, sha256 %s" % (human(size), case.data["sha256_sent"][:12])
            if "host_to_guest_mib_s" in case.data:
                detail += "; host->guest %s, guest->host %s" % (
                    rate(size, got["there_seconds"]), rate(size, got["back_seconds"]))
            case.set("pass", detail)  # the w status comes with the report

    def host_first(self):
        case = self.first
        what = case.name
        self.expect("ready", "first", what=what + ": waiting for the guest")
        self.say(what)
        data = payload(self.o.seed, "first", FIRST_SIZE)
        if not self.qmp:
            # The guest still runs the step; the host keeps to the safe order.
            got = self.there_and_back("first", data, what)
            case.set("not run", "needs --qmp: without the port's events the host cannot send "
                     "while the guest has the port closed")
            return
        # The guest pauses before its chanpipe r: send while the port is closed.
        if self.wait_state(False, self.o.timeout, what) is None:
            raise hang(what + ": waiting for the guest to close the port", self.o.timeout)
        self.ch.send(data, self.o.timeout, what + ": sending")
        closed_throughout = not self.qmp.is_open()
        got = self.there_and_back("first", data, what, early=True)
        back = got["back"]
        case.data.update(sent=FIRST_SIZE, received=len(back), status_r=got["status_r"])
        if not closed_throughout:
            case.set("not run", "the guest opened the port before the host had written all of "
                     "it (%d of %d bytes came back)" % (len(back), FIRST_SIZE))
        elif back == data:
            case.set("finding", "all %d bytes arrived, none lost: sending before the guest's "
                     "chanpipe r starts works with this driver%s. Still, the safe order is: "
                     "start chanpipe r, then send" % (FIRST_SIZE, "" if self.windows else
                                                      " (chanpipe reads port names without "
                                                      "opening the ports)"),
                     front_lost=0)
        elif back and data.endswith(back):
            lost = FIRST_SIZE - len(back)
            case.set("finding", "the first %d of %d bytes were lost, the rest arrived. %s"
                     % (lost, FIRST_SIZE, self.loss_why()), front_lost=lost)
        elif not back:
            case.set("finding", "none of the %d bytes arrived. %s" % (FIRST_SIZE,
                                                                       self.loss_why()),
                     front_lost=FIRST_SIZE)
        else:
            case.set("finding", "%s: not a lost front, the bytes were damaged" % damage(
                data, back))

    def loss_why(self):
        if self.windows:
            why = ("chanpipe's name lookup opens the port to ask its name: that open let QEMU "
                   "push the waiting bytes into the guest, and its close dropped them")
        else:
            why = ("the port was opened and closed before chanpipe r's own open (chanpipe "
                   "itself reads names without opening ports), and that close dropped them")
        return "The front was lost because %s. %s" % (why, SAFE_ORDER)

    def write_no_host(self):
        case = self.no_host
        what = case.name
        self.expect("ready", "nohost", what=what + ": waiting for the guest")
        self.say(what)
        self.ch.drop()
        left = time.monotonic()
        opened = ended = None
        if self.qmp:
            # The guest pauses before its write: once the port is closed and
            # QEMU has had its say, the next change is the write's open.
            mark = self.quiet_closed(what)
            opened = self.change(mark, True, self.o.timeout)
            if opened is None:
                raise hang(what + ": waiting for the guest's chanpipe w", self.o.timeout)
            ended = self.change(mark + 1, False, NO_HOST_HOLD)
            if ended is None:
                waited = time.monotonic() - opened
        else:
            time.sleep(NO_HOST_HOLD)
        self.ch.connect(self.o.timeout)
        connected = time.monotonic()
        got, args, fields, lines = self.message(self.o.timeout, what + ": after connecting")
        arrived = got == "nohost"
        if arrived:
            got, args, fields, lines = self.message(self.o.timeout, "the guest's report")
        self.report_message = (got, args, fields, lines)
        if self.qmp and ended is not None:
            how = "chanpipe w did not wait: it ended %.1f s after it opened the port, with no " \
                  "host" % (ended - opened)
        elif self.qmp:
            gone = self.wait_state(False, self.o.timeout, what)
            how = "chanpipe w waited for the host (%.1f s, until the host connected), then went " \
                  "on" % waited
            if gone is not None:
                how += " and ended %.2f s after the host connected" % (gone - connected)
        else:
            how = "without --qmp the host cannot see whether chanpipe w waited (the host was " \
                  "gone for %.0f s)" % (connected - left)
        case.data.update(waited=ended is None if self.qmp else None, bytes_arrived=arrived)
        self.no_host_how = how + "; its bytes %s" % (
            "arrived once the host connected" if arrived else "never arrived")

    def report(self):
        got, args, fields, lines = self.report_message
        if got != "report":
            raise Abort("FAIL", "expected the guest's report, got %s" % got)
        block = None
        for line in lines:
            words = line.split()
            if block is not None:
                if line == "stderr-end":
                    block = None
                else:
                    self.stderr[block].append(line)
            elif words[:1] == ["run"] and len(words) >= 3:
                self.runs[words[1]] = words[2]
            elif words[:1] == ["stderr-begin"] and len(words) == 2:
                block = words[1]
                self.stderr[block] = []

    def judge(self):
        """Applies the report: every run's status."""
        for i, case in enumerate(self.echo):
            w = self.runs.get("echo%d.w" % (i + 1))
            case.data["status_w"] = w
            if case.result == "pass" and w != "0":
                case.set("FAIL", "chanpipe w status %s%s" % (w, self.errors("echo%d.w" % (i + 1))))
            r = "echo%d.r" % (i + 1)
            if case.result == "FAIL" and r in self.stderr:
                case.detail += self.errors(r)
        status = self.runs.get("name.r")
        other = self.guest.get("other-case", "")
        if status == "skip":
            self.name.set("not run", "the name has no letters to change the case of")
            self.name.checked = False
        elif status == "2":
            self.name.set("pass", "chanpipe r %s: status 2 (not found)" % other)
        else:
            self.name.set("FAIL", "chanpipe r %s: status %s, expected 2%s"
                          % (other, status, self.errors("name.r")))
        status = self.runs.get("nohost.w", "?")
        text = " ".join(self.stderr.get("nohost.w", [])).strip()
        self.no_host.set("finding", "%s; status %s%s" % (
            self.no_host_how, status, ", message: " + text if text else ""), status=status)
        failed = [k for k, v in self.runs.items() if k.startswith("msg.") and v != "0"]
        if failed:
            self.cases[0].detail += "; message writes that failed before a host came: %s" % (
                ", ".join(failed))

    def errors(self, run):
        lines = [l for l in self.stderr.get(run, []) if "WriteFile" not in l or "error" in l]
        return " (stderr: %s)" % " / ".join(lines[:3]) if lines else ""

    def go(self):
        steps = [(self.cases[0], self.hello)]
        steps += [(case, lambda i=i: self.echo_case(i)) for i, case in enumerate(self.echo)]
        steps += [(self.first, self.host_first), (self.no_host, self.write_no_host),
                  (self.no_host, self.report), (self.no_host, self.judge)]
        case = self.cases[0]
        try:
            if self.o.qmp:
                self.qmp = Qmp(self.o.qmp, self.o.timeout)
                self.qmp.find_port(self.ch.where())
            for case, step in steps:
                step()
                if self.o.fail_fast and case.checked and case.result == "FAIL":
                    raise Abort("FAIL", case.detail + " (stopped here: --fail-fast)")
        except Abort as abort:
            case.set(abort.result, abort.detail)
            self.aborted = case
        finally:
            self.ch.drop()


SAFE_ORDER = ("Safe order: start chanpipe r first, and send once its port is open for data "
              "(with QMP: VSERPORT_CHANGE open, and the port still open a second later), or let "
              "the guest ask for the data with a line it writes first")


def damage(sent, back):
    if len(back) != len(sent):
        where = next((i for i, (a, b) in enumerate(zip(sent, back)) if a != b), None)
        if where is None:
            where = min(len(sent), len(back))
        return "%d of %d bytes came back, first difference at byte %d" % (
            len(back), len(sent), where)
    where = next(i for i, (a, b) in enumerate(zip(sent, back)) if a != b)
    return "%d bytes came back, but they differ from byte %d on (sha256 %s, sent %s)" % (
        len(back), where, hashlib.sha256(back).hexdigest()[:12],
        hashlib.sha256(sent).hexdigest()[:12])


def table(run):
    rows = [(c.name, c.result, c.detail) for c in run.cases]
    width = max(len(r[0]) for r in rows)
    out = ["%-*s  %-8s  %s" % (width, "case", "result", "detail")]
    out += ["%-*s  %-8s  %s" % (width, name, result, detail) for name, result, detail in rows]
    return "\n".join(out)


def verdict(run):
    bad = [c.name for c in run.cases if c.checked and c.result not in ("pass", "not run")]
    if run.aborted and run.aborted.name not in bad:
        bad.append(run.aborted.name)
    left = sum(1 for c in run.cases if c.result == "not run" and c.checked)
    if not bad:
        return "PASS"
    return "FAIL: %s%s" % (", ".join(bad), " (%d checked cases not run)" % left if left else "")


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Host side of chanpipe's channel self-test (version %d)." % VERSION)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--socket", metavar="PATH", help="the port's host end, a unix socket")
    where.add_argument("--tcp", metavar="HOST:PORT", help="the port's host end, a TCP socket")
    parser.add_argument("--qmp", metavar="PATH", help="the VM's QMP socket (unix)")
    parser.add_argument("--big", metavar="MIB", type=int, default=64,
                        help="size of the big echo payload (default 64)")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--settle", metavar="S", type=float, default=2.0,
                        help="without --qmp: how long the guest is given to open or let go "
                        "of the port (default 2)")
    parser.add_argument("--timeout", metavar="S", type=float, default=60.0,
                        help="the longest any step may go without progress (default 60)")
    parser.add_argument("--wait", metavar="S", type=float, default=600.0,
                        help="how long to wait for the guest side to start (default 600)")
    parser.add_argument("--seed", default="1", help="seed of the payloads (default 1)")
    parser.add_argument("--fail-fast", action="store_true",
                        help="stop at the first failed case (the guest side is then left "
                        "waiting: stop it by hand)")
    parser.add_argument("--quiet", action="store_true", help="no progress lines")
    o = parser.parse_args(argv)
    if o.big < 1:
        parser.error("--big must be at least 1")
    if o.tcp and ":" not in o.tcp:
        parser.error("--tcp wants HOST:PORT")
    run = Run(o)
    started = time.monotonic()
    run.go()
    result = verdict(run)
    print("chanpipe-selftest host side %d, %s%s" % (
        VERSION, run.ch.where(), ", QMP %s (port %s)" % (o.qmp, run.qmp.port_id)
        if run.qmp and run.qmp.port_id else " (no QMP: settle %g s)" % o.settle))
    print(table(run))
    print("verdict: %s (%.0f s)" % (result, time.monotonic() - started))
    if o.json:
        with open(o.json, "w") as f:
            json.dump({"version": VERSION, "verdict": result, "guest": run.guest,
                       "runs": run.runs,
                       "cases": [dict(case=c.name, checked=c.checked, result=c.result,
                                      detail=c.detail, **c.data) for c in run.cases]},
                      f, indent=2)
            f.write("\n")
    return 0 if result == "PASS" else 1


if __name__ == "__main__":
    sys.exit(main())
