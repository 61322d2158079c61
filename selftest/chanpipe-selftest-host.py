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
socket,...,server=on` or of a libvirt `<channel type='unix'>` with mode='bind'.
--qmp is the VM's QMP socket: with it this side follows the guest's opens and
closes of the port (VSERPORT_CHANGE, and the chardev's frontend-open), so it
knows when the guest's reader is open and when it has gone, and it pauses the VM
halfway through the big echo each way. Without it, it waits --settle seconds
instead, and the cases that need QMP are not run.

Python 3 and its standard library only, with chanpipe_port.py and
chanpipe_qmp.py beside it.
"""

import argparse
import collections
import enum
import hashlib
import json
import os
import random
import select
import signal
import socket
import sys
import time

# chanpipe_port.py and chanpipe_qmp.py: next to this script in the release
# zip and the packages, in host/ in the source tree.
HERE = os.path.dirname(os.path.realpath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "host")]
import chanpipe_port  # noqa: E402

VERSION = 2
MAGIC = "chanpipe-selftest"
MIB = 1 << 20
# The guest's echo steps, in order: the payload sizes in bytes (None: --big).
ECHO_SIZES = [0, 1, 4095, 4096, 4097, MIB, None]
FIRST_SIZE = 64 * 1024
POLL = chanpipe_port.POLL
# How long the write with no host is left without one, and the VM paused in the big echo.
NO_HOST_HOLD = PAUSE = 3.0
SAFE_ORDER = ("Safe order: start chanpipe r first, and send once its port is open for data "
              "(with QMP: VSERPORT_CHANGE open, and the port still open a second later), or let "
              "the guest ask for the data with a line it writes first")


class Result(enum.Enum):
    PASS = "pass"
    FAIL = "FAIL"
    FINDING = "finding"  # what this VM does, for the user to know; never fails the verdict
    NOT_RUN = "not run"
    HUNG = "hung"


class Abort(Exception):
    """The run cannot go on: the current case failed or hung."""

    def __init__(self, result, detail):
        super().__init__(detail)
        self.result, self.detail = result, detail


class Stopped(BaseException):
    """A signal ends the run: like KeyboardInterrupt, past every handler of
    failures, through the pause's own clean-up."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum, self.name = signum, signal.Signals(signum).name


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def stop_on_signals():
    def stop(signum, frame):
        # Once: a second signal must not cut short letting the VM go on.
        for s in STOP_SIGNALS:
            signal.signal(s, signal.SIG_IGN)
        raise Stopped(signum)
    for s in STOP_SIGNALS:
        signal.signal(s, stop)


def hang(what, seconds):
    return Abort(Result.HUNG, "%s: nothing within %g s" % (what, seconds))


def poll_until(predicate, seconds, step=POLL, hung=None):
    """predicate()'s first true value (a time, say), asked every step
    seconds; when seconds pass first, None, or a hang at `hung`."""
    return required(chanpipe_port.poll_until(predicate, seconds, step), seconds, hung)


def required(value, seconds, hung):
    if value is None and hung:
        raise hang(hung, seconds)
    return value


class Channel:
    """The port's host end. One connection at a time, as QEMU takes it."""

    def __init__(self, options):
        # With --domain, the domain tells (Run.watch_port).
        self.end = chanpipe_port.Endpoint("unix", options.socket) if options.socket else \
            chanpipe_port.Endpoint("tcp", options.tcp) if options.tcp else None
        self.sock, self.buffer = None, bytearray()  # buffer: read, not yet taken

    def connect(self, seconds):
        try:
            self.sock = self.end.connect(seconds)
        except OSError as error:
            raise Abort(Result.FAIL, "cannot connect to %s: %s" % (self.end, error))
        self.buffer = bytearray()

    def drop(self):
        if self.sock:
            self.sock.close()
        self.sock, self.buffer = None, bytearray()

    def pending(self):  # has the guest sent something not yet read?
        return bool(self.buffer or select.select([self.sock], [], [], 0)[0])

    def _fill(self, seconds, what):
        self.sock.settimeout(seconds)
        try:
            block = self.sock.recv(1 << 20)
        except socket.timeout:
            raise hang(what, seconds)
        if not block:
            raise Abort(Result.FAIL, "%s: the host end was closed (QEMU or the VM went away?)"
                        % what)
        self.buffer += block

    def read_line(self, seconds, what):
        while b"\n" not in self.buffer:
            self._fill(seconds, what)
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.rstrip(b"\r").decode("utf-8", "replace")

    def read_exact(self, size, seconds, what):
        """(bytes, seconds from the first byte to the last)."""
        first = time.monotonic() if self.buffer else None
        while len(self.buffer) < size:
            self._fill(seconds, "%s (%d of %d bytes)" % (what, len(self.buffer), size))
            first = first or time.monotonic()
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        return data, (time.monotonic() - first) if first else 0.0

    def send(self, data, seconds, what):
        self.sock.settimeout(seconds)
        try:
            self.sock.sendall(data)
        except socket.timeout:
            raise hang(what, seconds)
        except OSError as error:
            raise Abort(Result.FAIL, "%s: %s" % (what, error))

    def end_payload(self, seconds, what):
        """Ends a host-to-guest payload. Half-closes, so QEMU reads all of it
        before it sees the end, and waits for QEMU to hang up."""
        self.sock.shutdown(socket.SHUT_WR)
        self.sock.settimeout(seconds)
        stray = 0
        try:
            while block := self.sock.recv(1 << 16):
                stray += len(block)
        except socket.timeout:
            raise hang(what + ": the end of the payload was not taken", seconds)
        except OSError:
            pass
        self.drop()
        if stray:
            raise Abort(Result.FAIL, "%s: the guest sent %d bytes while it should read"
                        % (what, stray))


def port_abort(error):
    """A failure to find or follow the port as the run's: an answer that
    never came is a hang."""
    return Abort(Result.HUNG if isinstance(error, chanpipe_port.NoAnswer) else Result.FAIL,
                 str(error))


class Watch:
    """The port's guest side, as the VM shows it (chanpipe_port.Port); a
    wait that runs out is a hang at `hung`, when given."""

    def __init__(self, port):
        self.port = port

    def is_open(self):
        return self.port.is_open()

    def change(self, want, after, seconds, hung=None):
        return required(self.port.change(want, after, seconds), seconds, hung)

    def settled(self, want, seconds, hung, check=lambda: None):
        return required(self.port.settled(want, seconds, check), seconds, hung)


Message = collections.namedtuple("Message", "word args fields lines")


class Case:
    def __init__(self, name, step=None, checked=True):
        self.name, self.step, self.checked = name, step, checked  # step(case): (result, detail)
        self.result, self.detail, self.data = Result.NOT_RUN, "", {}


def payload(seed, label, size):
    return random.Random("%s:%s" % (seed, label)).randbytes(size)


def human(size):
    return "%d MiB" % (size // MIB) if size >= MIB and size % MIB == 0 else "%d B" % size


def damage(sent, back):
    where = next((i for i, (a, b) in enumerate(zip(sent, back)) if a != b),
                 min(len(sent), len(back)))
    if len(back) != len(sent):
        return "%d of %d bytes came back, first difference at byte %d" % (
            len(back), len(sent), where)
    return "%d bytes came back, but they differ from byte %d on (sha256 %s, sent %s)" % (
        len(back), where, hashlib.sha256(back).hexdigest()[:12],
        hashlib.sha256(sent).hexdigest()[:12])


class Run:
    """The cases in the guest script's order, then the guest's report."""

    def __init__(self, options):
        self.o = options
        self.ch = Channel(options)
        self.vm = self.port = None  # the chanpipe_port.Port, and its Watch
        self.sizes = [s if s is not None else options.big * MIB for s in ECHO_SIZES]
        self.hello = Case("hello", self.say_hello)
        self.echo = [Case("echo %s" % human(size), self.echo_case) for size in self.sizes]
        self.name = Case("name")  # judged from the report alone
        self.paused = Case("pause", checked=False)  # judged in the big echo
        self.first = Case("host sends first", self.host_first, checked=False)
        self.no_host = Case("write with no host", self.write_no_host, checked=False)
        self.cases = [self.hello] + self.echo + [self.paused, self.name, self.first, self.no_host]
        self.guest, self.runs, self.stderr = {}, {}, {}
        self.windows = False  # the guest's OS, from its hello
        self.unread = None  # a message read ahead of its turn
        self.failed = None  # what stopped the run: a case's name, or why the report failed
        self.stopped = None  # the signal that ended the run
        self.resumed = False  # a pause of the VM was cut short (and the VM let go on)
        self.started = time.monotonic()

    def say(self, text):
        if not self.o.quiet:
            print("  %6.1f s  %s" % (time.monotonic() - self.started, text), file=sys.stderr,
                  flush=True)

    def go(self):
        case = self.hello  # a failure to find the port through QMP is the first case's
        try:
            if self.o.qmp or self.o.domain:
                self.watch_port()
            for case in (c for c in self.cases if c.step):
                case.result, case.detail = case.step(case)
                if self.o.fail_fast and case.checked and case.result is Result.FAIL:
                    raise Abort(Result.FAIL, case.detail + " (stopped here: --fail-fast)")
            case = None
            self.judge()
        except (Abort, chanpipe_port.PortError) as error:
            abort = error if isinstance(error, Abort) else port_abort(error)
            if case:
                case.result, case.detail = abort.result, abort.detail
            self.failed = case.name if case else abort.detail
        except Stopped as stop:
            self.stopped = stop
            if case:
                case.result, case.detail = Result.NOT_RUN, "stopped by %s" % stop.name
            self.failed = "stopped by %s" % stop.name
        finally:
            self.ch.drop()
            if self.vm:
                self.vm.close()

    def watch_port(self):
        """Finds the port behind the channel's socket through QMP, or the
        domain's channel and its socket through libvirt."""
        if self.o.domain:
            try:
                import chanpipe_libvirt
            except ImportError as error:
                raise Abort(Result.FAIL, "--domain needs libvirt's Python module, which %s "
                            "cannot import (%s): install python3-libvirt" % (
                                sys.executable, error))
            self.vm = chanpipe_libvirt.LibvirtPort(self.o.domain, self.o.port, self.o.connect,
                                                   self.o.timeout)
            end = self.vm.locate()
            if not end.half_close:  # the payloads must arrive whole
                raise Abort(Result.FAIL, "the self-test sends payloads: " + end.refusal.format(
                    command="chanpipe-selftest-host --domain %s --port %s" % (
                        self.o.domain, self.o.port)))
            self.ch.end = end
        else:
            self.vm = chanpipe_port.QMPPort(self.o.qmp, self.o.timeout, unix=self.o.socket,
                                            tcp=self.o.tcp)
            self.vm.locate()
        self.port = Watch(self.vm)

    def message(self, what, seconds=None, word=None, arg=None):
        """The guest's next message; with word, it must be that word (with arg first)."""
        m, self.unread = self.unread or self.read_message(what, seconds or self.o.timeout), None
        if m.word == "denied":  # the guest stopped: its chanpipe may not open the port
            raise Abort(Result.FAIL, "the guest's chanpipe %s may not open the port (%s): run the "
                        "guest side as a user who may, or give that user the port (see exit "
                        "status 3 in the README); the guest side has stopped" % (
                            " ".join(m.args[1:2]) or "?", " / ".join(m.lines) or "no message"))
        if word and (m.word != word or arg and m.args[:1] != [arg]):
            raise Abort(Result.FAIL, "expected the guest's %s, got %s" % (
                (word, m.word) if not arg else (word + " " + arg, m.word + " " + " ".join(m.args))))
        return m

    def read_message(self, what, seconds):
        first = self.ch.read_line(seconds, what)
        words = first.split()
        if len(words) < 3 or words[0] != MAGIC:
            raise Abort(Result.FAIL, "%s: expected a message of the guest script, got %r"
                        % (what, first[:80]))
        if words[1] != str(VERSION):
            raise Abort(Result.FAIL, "version mismatch: the guest script is version %s, this "
                        "host side is version %d; use both from the same release"
                        % (words[1], VERSION))
        lines = []
        while (line := self.ch.read_line(self.o.timeout, what)) != "end":
            lines.append(line)
        fields = dict(w.split("=", 1) for w in words[3:] if "=" in w)
        return Message(words[2], [w for w in words[3:] if "=" not in w], fields, lines)

    def there_and_back(self, label, data, what, early=False, pause=False):
        """Sends data to the guest's chanpipe r and takes back what its chanpipe w returns,
        the VM paused halfway each way if asked: (r's status, bytes, seconds there, back)."""
        t = self.o.timeout

        def ended():
            if self.ch.pending():
                status = self.message(what + ": the guest's message").fields.get("status", "?")
                raise Abort(Result.FAIL, "%s: the guest's chanpipe r ended (status %s) before the "
                            "host sent anything" % (what, status))
        # Sent early, the bytes wait for the reader; the end must not, or
        # QEMU could hang up before the reader's own open.
        if self.port:
            steady_at = self.port.settled(
                True, t, what + ": waiting for the guest's chanpipe r to open the port", ended)
        else:
            poll_until(ended, self.o.settle, POLL * 5)
        sent_at, half, paused = time.monotonic(), len(data) // 2 if pause else len(data), 0.0
        if not early:
            self.ch.send(data[:half], t, what + ": sending")
            paused = self.pause()[1] if pause else 0.0
            self.ch.send(data[half:], t, what + ": sending")
        self.ch.end_payload(t, what)
        there = time.monotonic() - sent_at - paused
        # Connecting again before the reader has let the port go could keep
        # it from seeing the host leave. Every change after the steady open
        # is the reader's close, or later.
        if self.port:
            self.port.change(False, steady_at, t, what + ": waiting for the guest's chanpipe r "
                             "to end")
        else:
            time.sleep(self.o.settle)
        self.ch.connect(t)
        fields = self.message(what + ": waiting for the guest's reply", word="got",
                              arg=label).fields
        size = int(fields.get("size", "-1"))
        if size < 0:
            raise Abort(Result.FAIL, "%s: the guest could not tell the size it received" % what)
        half = size // 2 if pause else size
        back, seconds = self.ch.read_exact(half, t, what + ": reading the echo")
        if pause:
            self.pause()
        rest, more = self.ch.read_exact(size - half, t, what + ": reading the echo")
        return fields.get("status", "?"), back + rest, there, seconds + more

    def pause(self):
        """Pauses the VM for PAUSE s; the pause row keeps what QEMU said it was meanwhile."""
        try:
            state, seconds = self.vm.pause(PAUSE)
        except chanpipe_port.ResumeFailed:
            raise
        except BaseException:
            self.resumed = True  # the pause was cut short, and the VM let go on
            raise
        self.paused.data.setdefault("vm_status", []).append(state)
        return state, seconds

    def say_hello(self, case):
        self.ch.connect(self.o.timeout)
        self.say("waiting for the guest side (chanpipe-selftest NAME) on %s ..." % self.ch.end)
        try:
            message = self.message("hello from the guest", self.o.wait, word="hello")
        except Abort as abort:
            if abort.result is Result.HUNG:
                abort.detail += ("; is the guest side running? It stops at once, and says so, "
                                 "when chanpipe may not open the port (CreateFile error 13 on "
                                 "Linux, 5 on Windows: the user lacks the rights)")
            raise
        self.guest.update(line.partition(" ")[::2] for line in message.lines)
        self.windows = "windows" in self.guest.get("os", "").lower()
        case.data["guest"] = self.guest
        return Result.PASS, "%s; %s" % (self.guest.get("os", "?"), self.guest.get("chanpipe", "?"))

    def echo_case(self, case):
        index = self.echo.index(case)
        label, size, what = "echo%d" % (index + 1), self.sizes[index], case.name
        self.message(what + ": waiting for the guest", word="ready", arg=label)
        data = payload(self.o.seed, label, size)
        self.say("%s: sending" % what)
        big = size == self.sizes[-1] and size
        pause = big and self.port is not None
        if big:  # the pause row, until the echo ends
            self.paused.detail = "the echo did not end" if pause else \
                "needs --qmp or --domain to pause the VM"
        status_r, back, there, back_seconds = self.there_and_back(label, data, what, pause=pause)
        if pause:  # a finding: does this driver keep the bytes across a pause?
            self.paused.result, self.paused.detail = Result.FINDING, "paused %g s (%s) " \
                "halfway each way: %s" % (PAUSE, self.vm.pauses, "every byte came through "
                                          "unchanged" if back == data else damage(data, back))
            if set(self.paused.data["vm_status"]) != {"paused"}:
                self.paused.detail += "; yet QEMU said the VM was %s" % "/".join(
                    self.paused.data["vm_status"])
            self.paused.data["kept"] = back == data
        case.data.update(sent=size, received=len(back), status_r=status_r,
                         sha256_sent=hashlib.sha256(data).hexdigest(),
                         sha256_back=hashlib.sha256(back).hexdigest())
        problems = ["chanpipe r status %s" % status_r] if status_r != "0" else []
        if back != data:
            problems.append(damage(data, back) + (" (the VM paused halfway each way)" if pause
                                                  else ""))
        speeds = [round(size / MIB / s, 2) if s > 0 else None for s in (there, back_seconds)]
        if big:
            case.data.update(host_to_guest_mib_s=speeds[0], guest_to_host_mib_s=speeds[1])
        if problems:
            return Result.FAIL, "; ".join(problems)
        detail = "%s both ways, sha256 %s" % (human(size), case.data["sha256_sent"][:12])
        if big:
            detail += "; host->guest %s, guest->host %s" % tuple(
                "%.1f MiB/s" % v if v else "-" for v in speeds)
        return Result.PASS, detail  # the w status comes with the report

    def host_first(self, case):
        what = case.name
        self.message(what + ": waiting for the guest", word="ready", arg="first")
        self.say(what)
        data = payload(self.o.seed, "first", FIRST_SIZE)
        if not self.port:
            # The guest still runs the step; the host keeps to the safe order.
            self.there_and_back("first", data, what)
            return Result.NOT_RUN, ("needs --qmp or --domain: without the port's events the "
                                    "host cannot "
                                    "send while the guest has the port closed")
        # The guest pauses before its chanpipe r: send while the port is closed.
        t = self.o.timeout
        self.port.change(False, float("inf"), t, what + ": waiting for the guest to close the port")
        self.ch.send(data, t, what + ": sending")
        closed_throughout = not self.port.is_open()
        status_r, back, _, _ = self.there_and_back("first", data, what, early=True)
        case.data.update(sent=FIRST_SIZE, received=len(back), status_r=status_r)
        if not closed_throughout:
            return Result.NOT_RUN, ("the guest opened the port before the host had written all "
                                    "of it (%d of %d bytes came back)" % (len(back), FIRST_SIZE))
        if not data.endswith(back):
            return Result.FINDING, "%s: not a lost front, the bytes were damaged" % damage(
                data, back)
        lost = case.data["front_lost"] = FIRST_SIZE - len(back)
        if not lost:
            return Result.FINDING, (
                "all %d bytes arrived, none lost: sending before the guest's chanpipe r starts "
                "works with this driver%s. Still, the safe order is: start chanpipe r, then send"
                % (FIRST_SIZE, "" if self.windows else
                   " (chanpipe reads port names without opening the ports)"))
        why = ("chanpipe's name lookup opens the port to ask its name: that open let QEMU push "
               "the waiting bytes into the guest, and its close dropped them" if self.windows
               else "the port was opened and closed before chanpipe r's own open (chanpipe "
               "itself reads names without opening ports), and that close dropped them")
        return Result.FINDING, "%s. The front was lost because %s. %s" % (
            "the first %d of %d bytes were lost, the rest arrived" % (lost, FIRST_SIZE) if back
            else "none of the %d bytes arrived" % FIRST_SIZE, why, SAFE_ORDER)

    def write_no_host(self, case):
        """A finding; the report adds chanpipe w's status and message."""
        what, t = case.name, self.o.timeout
        self.message(what + ": waiting for the guest", word="ready", arg="nohost")
        self.say(what)
        self.ch.drop()
        left = time.time()
        opened = ended = None
        if self.port:
            # The guest pauses before its write: once the port is closed and
            # QEMU has had its say, the next change is the write's open.
            quiet = self.port.settled(False, t, what + ": waiting for the guest to close the port")
            opened = self.port.change(True, quiet, t, what + ": waiting for the guest's chanpipe w")
            ended = self.port.change(False, opened, NO_HOST_HOLD)
        else:
            time.sleep(NO_HOST_HOLD)
        self.ch.connect(t)
        connected = time.time()
        message = self.message(what + ": after connecting")
        arrived = message.word == "nohost"
        if not arrived:
            self.unread = message  # the report: the write's own bytes never came
        if not self.port:
            how = "without --qmp the host cannot see whether chanpipe w waited (the host was " \
                  "gone for %.0f s)" % (connected - left)
        elif ended:
            how = "chanpipe w did not wait: it ended %.1f s after it opened the port, with no " \
                  "host" % (ended - opened)
        else:
            how = "chanpipe w waited for the host (%.1f s, until the host connected), then went " \
                  "on" % (connected - opened)
            gone = self.port.change(False, opened, t)
            if gone:
                how += " and ended %.2f s after the host connected" % (gone - connected)
        case.data.update(waited=ended is None if self.port else None, bytes_arrived=arrived)
        return Result.FINDING, how + "; its bytes %s" % (
            "arrived once the host connected" if arrived else "never arrived")

    def judge(self):
        """Reads the guest's report and applies it: every run's status."""
        message = self.message("the guest's report", word="report")
        block = None  # the run whose standard error lines come
        for line in message.lines:
            words = line.split()
            if block is not None and line != "stderr-end":
                self.stderr[block].append(line)
            elif block is not None:
                block = None
            elif words[:1] == ["run"] and len(words) >= 3:
                self.runs[words[1]] = words[2]
            elif words[:1] == ["stderr-begin"] and len(words) == 2:
                block = words[1]
                self.stderr[block] = []
        for i, case in enumerate(self.echo):
            run = "echo%d" % (i + 1)
            w = case.data["status_w"] = self.runs.get(run + ".w")
            if case.result is Result.PASS and w != "0":
                case.result, case.detail = Result.FAIL, "chanpipe w status %s%s" % (
                    w, self.errors(run + ".w"))
            if case.result is Result.FAIL and run + ".r" in self.stderr:
                case.detail += self.errors(run + ".r")
        status, other = self.runs.get("name.r"), self.guest.get("other-case", "")
        self.name.checked = status != "skip"
        self.name.result, self.name.detail = (
            (Result.NOT_RUN, "the name has no letters to change the case of") if status == "skip"
            else (Result.PASS, "chanpipe r %s: status 2 (not found)" % other) if status == "2"
            else (Result.FAIL, "chanpipe r %s: status %s, expected 2%s" % (
                other, status, self.errors("name.r"))))
        status = self.no_host.data["status"] = self.runs.get("nohost.w", "?")
        text = " ".join(self.stderr.get("nohost.w", [])).strip()
        self.no_host.detail += "; status %s%s" % (status, ", message: " + text if text else "")
        failed = [k for k, v in self.runs.items() if k.startswith("msg.") and v != "0"]
        if failed:
            self.hello.detail += "; message writes that failed before a host came: %s" % (
                ", ".join(failed))

    def errors(self, run):
        lines = [l for l in self.stderr.get(run, []) if "WriteFile" not in l or "error" in l]
        return " (stderr: %s)" % " / ".join(lines[:3]) if lines else ""

    def table(self):
        rows = [("case", "result", "detail")]
        rows += [(c.name, c.result.value, c.detail) for c in self.cases]
        width = max(len(r[0]) for r in rows)
        return "\n".join("%-*s  %-8s  %s" % (width, *row) for row in rows)

    def verdict(self):
        bad = [c.name for c in self.cases
               if c.checked and c.result not in (Result.PASS, Result.NOT_RUN)]
        bad += [self.failed] if self.failed and self.failed not in bad else []
        left = sum(1 for c in self.cases if c.result is Result.NOT_RUN and c.checked)
        return "PASS" if not bad else "FAIL: %s%s" % (
            ", ".join(bad), " (%d checked cases not run)" % left if left else "")


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Host side of chanpipe's channel self-test (version %d)." % VERSION)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--socket", metavar="PATH", help="the port's host end, a unix socket")
    where.add_argument("--tcp", metavar="HOST:PORT", help="the port's host end, a TCP socket")
    where.add_argument("--domain", metavar="NAME",
                       help="the libvirt domain whose channel --port NAME is the port (needs "
                       "python3-libvirt); it plays QMP's part")
    parser.add_argument("--port", metavar="NAME", help="with --domain: the channel's name")
    parser.add_argument("--connect", metavar="URI",
                        help="with --domain: libvirt's URI (default: as for virsh)")
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
    if bool(o.domain) != bool(o.port):
        parser.error("--domain NAME and --port NAME go together")
    if o.connect and not o.domain:
        parser.error("--connect URI is for --domain")
    if o.qmp and o.domain:
        parser.error("--domain takes the place of --qmp")
    if o.big < 1:
        parser.error("--big must be at least 1")
    if o.tcp and ":" not in o.tcp:
        parser.error("--tcp wants HOST:PORT")
    stop_on_signals()
    run = Run(o)
    try:
        run.go()
    except Stopped as stop:  # in the clean-up after the cases
        run.stopped = run.stopped or stop
    for s in STOP_SIGNALS:  # stopped, it ignores the next ones, to the end
        signal.signal(s, signal.SIG_IGN if run.stopped else signal.SIG_DFL)
    if run.resumed:
        print("chanpipe-selftest host side: %s while the VM was paused: it was let go on "
              "(%s)" % ("stopped by " + run.stopped.name if run.stopped else "stopped",
                        run.vm.resumes), file=sys.stderr, flush=True)
    result = run.verdict()
    print("chanpipe-selftest host side %d, %s%s" % (
        VERSION, run.ch.end or "(no socket)", ", %s (%s)" % (run.vm.where, run.vm.name)
        if run.port else ", %s (the port was not found through it)" % (
            "QMP " + o.qmp if o.qmp else "domain " + o.domain) if o.qmp or o.domain else
        " (no QMP: settle %g s)" % o.settle))
    print(run.table())
    print("verdict: %s (%.0f s)" % (result, time.monotonic() - run.started))
    if o.json:
        cases = [dict(case=c.name, checked=c.checked, result=c.result.value, detail=c.detail,
                      **c.data) for c in run.cases]
        with open(o.json, "w") as f:
            f.write(json.dumps({"version": VERSION, "verdict": result, "guest": run.guest,
                                "runs": run.runs, "cases": cases}, indent=2) + "\n")
    return 128 + run.stopped.signum if run.stopped else 0 if result == "PASS" else 1


if __name__ == "__main__":
    sys.exit(main())
