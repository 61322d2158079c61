#!/usr/bin/env python3
"""End-to-end tests of the real chanpipe.exe under Wine, against simulated
virtio-serial ports.

    e2e.py OPTIONS setup      fresh prefix if needed, driver and ports in place
    e2e.py OPTIONS run CASE   one case
    e2e.py OPTIONS stop       ends the prefix's Wine session
    e2e.py OPTIONS demo       the program at work, told step by step
    e2e.py list               the cases, one a line

--winearch win64 (the default) makes a 64-bit prefix, where a 32-bit
chanpipe.exe runs under WoW64; win32 makes a 32-bit prefix, as on 32-bit
Windows, whose driver and tools must be 32-bit too.

Every Wine step runs under a deadline, with its output in files (or in
pipes that only the program under test holds). One Wine session stays up
for all cases, so the driver's state lives from one step to the next.

Known Wine 8 differences, each named where a case meets it:
  * A device open does not wait for the driver's answer to IRP_MJ_CREATE:
    CreateFileW succeeds even when the driver refuses the open. Windows
    fails CreateFileW with the refusal's error. The simulated port fails
    every later request on a refused handle with the refusal, so under
    Wine the refusal shows one call later.
  * Share modes are not enforced on device opens, and the driver is not
    told the access asked for (so it cannot check them itself either);
    IoCheckShareAccess is an unimplemented stub. Windows lets the port
    refuse a second open of a port held with share mode 0.
  * A write on a synchronous handle goes through while a read blocks on the
    same handle. Windows runs a synchronous handle's requests one at a time.
  * A Linux pipe given as standard input ends with a read that succeeds
    with no bytes; a Windows pipe ends with a read failing with
    ERROR_BROKEN_PIPE (109). The cases use both.
  * IRP buffers are reused, so every byte of test data comes from a PRNG
    stream that never repeats: stale bytes cannot pass for fresh ones.
The 32-bit chanpipe.exe meets the same differences, in a 32-bit prefix
with the x86 driver and under WoW64 with the x64 one, and no others.
"""

import argparse
import contextlib
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

# A machine that emulates its CPU (a test VM) stretches every deadline by
# this whole factor.
SCALE = max(1, int(os.environ.get("CHANPIPE_TIME_SCALE") or 1))

PAIR = b"Executing WriteFile\r\nFinished WriteFile\r\n"
CHUNK = 4096
SIZES = {"0": 0, "1": 1, "4095": 4095, "4096": 4096, "4097": 4097, "8mib": 8 << 20}

# NTSTATUS values the faulty ports use, with the Win32 error numbers that
# Windows' RtlNtStatusToDosError gives for them.
STATUS_ACCESS_DENIED = 0xC0000022  # 5
STATUS_SHARING_VIOLATION = 0xC0000043  # 32
STATUS_NOT_SUPPORTED = 0xC00000BB  # 50
STATUS_INVALID_DEVICE_REQUEST = 0xC0000010  # 1
STATUS_DEVICE_NOT_CONNECTED = 0xC000009D  # 1167
STATUS_IO_DEVICE_ERROR = 0xC0000185  # 1117
STATUS_END_OF_FILE = 0xC0000011  # 38, but a synchronous ReadFile reports success
# Customer-defined (bit 29): Windows passes it through unmapped, so the
# error number has its top bit set and prints as a negative number.
STATUS_CUSTOM = 0xE0000042

# Create options as the driver sees them (FILE_FLAG_NO_BUFFERING and a
# synchronous handle).
FILE_NO_INTERMEDIATE_BUFFERING = 0x08
FILE_SYNCHRONOUS_IO_NONALERT = 0x20


def prng(label, size):
    """size bytes of a stream that never repeats, one stream per label."""
    return hashlib.shake_256(b"chanpipe-e2e:" + label.encode()).digest(size) if size else b""


def letters(label, size):
    """A name of size bytes: letters and digits only, so that it survives
    the command line unchanged."""
    alphabet = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    return bytes(alphabet[b % len(alphabet)] for b in prng(label, size))


LONG_NAME = letters("long name", 504)
NO_NUL_NAME = letters("no-NUL name", 505)
# 8-bit name: bytes of code page 1252, Wine's ANSI code page here.
EIGHT_BIT_NAME = b"port-\xe9\xe8\xfc\xf1\xdf\xa9"

# The ports, in enumeration order (their index is their place here).
# Each: key, name, install options.
PORTS = [
    ("data", b"org.chanpipe.data", ""),
    ("lookup1", b"org.chanpipe.lookup.1", ""),
    ("lookup2", b"org.chanpipe.lookup.2", ""),
    ("lookup3", b"org.chanpipe.lookup.3", ""),
    ("lookup4", b"org.chanpipe.lookup.4", ""),
    ("lookup5", b"org.chanpipe.lookup.5", ""),
    ("lookup6", b"org.chanpipe.lookup.6", ""),
    ("lookup7", b"org.chanpipe.lookup.7", ""),
    ("lookup8", b"org.chanpipe.lookup.8", ""),
    ("twin_first", b"org.chanpipe.twin", ""),
    ("twin_second", b"org.chanpipe.twin", ""),
    ("upper_case", b"ORG.CHANPIPE.EXACT", ""),
    ("longer", b"org.chanpipe.exact.more", ""),
    ("shorter", b"org.chanpipe.exac", ""),
    ("exact", b"org.chanpipe.exact", ""),
    ("empty", b"", ""),
    ("long_name", LONG_NAME, ""),
    ("eight_bit", EIGHT_BIT_NAME, ""),
    ("no_nul", NO_NUL_NAME, "no-nul"),
    ("short_record", b"org.chanpipe.wanted", "short=7"),
    ("refused", b"org.chanpipe.wanted", "open-fail=%x" % STATUS_ACCESS_DENIED),
    ("gone", b"org.chanpipe.wanted", "vanish-after=0"),
    ("info_denied", b"org.chanpipe.wanted", "info-fail=%x" % STATUS_ACCESS_DENIED),
    ("info_unsupported", b"org.chanpipe.wanted", "info-fail=%x" % STATUS_NOT_SUPPORTED),
    ("info_invalid", b"org.chanpipe.wanted", "info-fail=%x" % STATUS_INVALID_DEVICE_REQUEST),
    ("info_custom", b"org.chanpipe.wanted", "info-fail=%x" % STATUS_CUSTOM),
    ("data_refused", b"org.chanpipe.held", "second-open-fail=%x" % STATUS_SHARING_VIOLATION),
    ("data_gone", b"org.chanpipe.held", "vanish-after=1"),
    ("read_fails", b"org.chanpipe.read-fails", "read-fail=2:%x" % STATUS_DEVICE_NOT_CONNECTED),
    ("read_eof", b"org.chanpipe.read-eof", "read-fail=1:%x" % STATUS_END_OF_FILE),
    ("write_fails_first", b"org.chanpipe.write-fails", "write-fail=1:%x" % STATUS_IO_DEVICE_ERROR),
    ("write_fails_second", b"org.chanpipe.write-fails",
     "write-fail=2:%x" % STATUS_IO_DEVICE_ERROR),
    ("trickle", b"org.chanpipe.trickle", "write-limit=1000"),
    ("stalled", b"org.chanpipe.stalled", "write-limit=0"),
    # Last, so that every faulty port above comes before them.
    ("wanted", b"org.chanpipe.wanted", ""),
    ("held_later", b"org.chanpipe.held", ""),
]
INDEX = {key: i for i, (key, _, _) in enumerate(PORTS)}
GONE = {"gone"}
NAME = {key: name for key, name, _ in PORTS}


def layout():
    lines = ["# Written by e2e.py: the simulated ports of the end-to-end tests."]
    for i, (_, name, options) in enumerate(PORTS):
        lines.append(("port %d name=%s %s" % (i, name.hex(), options)).rstrip())
    return "\n".join(lines) + "\n"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def show(data, limit=400):
    text = repr(bytes(data[:limit]))
    return text + ("... (%d bytes)" % len(data) if len(data) > limit else "")


def same_bytes(what, got, want):
    if got != want:
        raise Failure("%s: %d bytes, sha256 %s; expected %d bytes, sha256 %s; got %s" % (
            what, len(got), hashlib.sha256(got).hexdigest()[:16], len(want),
            hashlib.sha256(want).hexdigest()[:16], show(got)))


def not_found(name):
    return (b"%s not found\r\nTurn UAC off and make sure that %s is defined in the VM config.\r\n"
            b"Unable to find %s\r\n" % (name, name, name))


def chunks(size, chunk=CHUNK):
    return (size + chunk - 1) // chunk


# Every Wine program started, so that none outlives a harness that is
# stopped (a CTest time-out): a leftover would hold its port.
STARTED = []


def kill_started():
    for process in STARTED:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def stopped(*_):
    kill_started()
    sys.exit(1)


class Wine:
    def __init__(self, options):
        self.o = options
        loader = "wine" if options.winearch == "win32" else "wine64"
        self.wine = next((p for p in ("/usr/lib/wine/" + loader,) if os.access(p, os.X_OK)),
                         shutil.which(loader))
        self.server = next((p for p in ("/usr/lib/wine/wineserver64",) if os.access(p, os.X_OK)),
                           shutil.which("wineserver"))
        check(self.wine and self.server, "%s and wineserver are needed (packages wine64, "
              "wine32:i386)" % loader)
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=options.prefix, WINEARCH=options.winearch, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
        self.env.pop("DISPLAY", None)

    def start(self, argv, **streams):
        process = subprocess.Popen([self.wine] + argv, env=self.env, start_new_session=True,
                                   **streams)
        STARTED.append(process)
        return process

    def finish(self, process, seconds, what):
        seconds *= SCALE
        try:
            return process.wait(seconds)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise Failure("%s did not end within %d s" % (what, seconds))

    def server_command(self, *args, seconds=120):
        seconds *= SCALE
        with open(os.path.join(self.o.work, "wineserver.log"), "ab") as log:
            process = subprocess.Popen([self.server] + list(args), env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                       start_new_session=True)
            try:
                return process.wait(seconds)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                return None


class Harness:
    def __init__(self, options):
        self.o = options
        self.wine = Wine(options)
        self.dir = options.work

    # ---- the host side ----

    def ctl(self, *args, stdin=None, stdout=None, seconds=120, ok=True):
        """Runs the controller; returns (status, stdout text)."""
        out_path = os.path.join(self.dir, "ctl.out")
        err_path = os.path.join(self.dir, "ctl.err")
        with open(err_path, "wb") as err:
            out = stdout or open(out_path, "wb")
            try:
                process = self.wine.start([self.o.controller] + [str(a) for a in args],
                                          stdin=stdin or subprocess.DEVNULL, stdout=out,
                                          stderr=err)
                status = self.wine.finish(process, seconds, "simport-ctl %s" % args[0])
            finally:
                if stdout is None:
                    out.close()
        text = "" if stdout else open(out_path, "rb").read().decode("utf-8", "replace")
        if ok and status != 0:
            raise Failure("simport-ctl %s failed (%d): %s" % (
                " ".join(map(str, args)), status, open(err_path, "rb").read().decode()))
        return status, text

    def plug(self, *keys):
        check(list(keys) == sorted(keys, key=INDEX.get), "ports listed out of enumeration order")
        self.ctl("plug", *[INDEX[k] for k in keys])

    def push(self, key, data):
        path = os.path.join(self.dir, "push.bin")
        with open(path, "wb") as f:
            f.write(data)
        with open(path, "rb") as f:
            self.ctl("push", INDEX[key], stdin=f)

    def close(self, key):
        self.ctl("close", INDEX[key])

    def pull(self, key):
        path = os.path.join(self.dir, "pull.bin")
        with open(path, "wb") as f:
            self.ctl("pull", INDEX[key], stdout=f)
        return open(path, "rb").read()

    def stat(self, key):
        _, text = self.ctl("stat", INDEX[key])
        values = {}
        for line in text.splitlines():
            name, _, value = line.partition("=")
            values[name] = int(value) if value.isdigit() else value
        return values

    def wait(self, key, field, value, seconds=60):
        self.ctl("wait", INDEX[key], field, value, seconds * SCALE, seconds=seconds + 60)

    # ---- the program under test ----

    def start_chanpipe(self, args, stdin, stdout, stderr):
        return self.wine.start([self.o.chanpipe] + args, stdin=stdin, stdout=stdout,
                               stderr=stderr)

    def chanpipe(self, mode, name, extra=(), source=None, source_kind="file", sink_kind="file",
                 seconds=120):
        """Runs chanpipe MODE NAME and returns (status, stdout, stderr, stdin left).

        source: bytes for standard input; with None, standard input is a
        pipe holding a marker that nobody may read. source_kind and
        sink_kind say what standard input and output are: "file", "pipe" (a
        Windows anonymous pipe, made by the controller) or "unix_pipe" (the
        pipe a Linux shell would give)."""
        argv = [mode.encode(), name.decode("cp1252").encode("utf-8")] + list(extra)
        if "pipe" in (source_kind if source is not None else None, sink_kind):
            argv = [b"feed" if source is not None else b"drain",
                    windows_path(self.o.chanpipe).encode()] + argv
            program = self.o.controller
        else:
            program = self.o.chanpipe
        err_path = os.path.join(self.dir, "chanpipe.err")
        out_path = os.path.join(self.dir, "chanpipe.out")
        marker = prng("stdin marker " + self.dir, 300)
        keep = []  # closed at the end
        child_ends = []  # closed once the program has them
        threads = []
        collected = bytearray()
        try:
            if source is None:
                stdin_r, stdin_w = os.pipe()
                keep += [stdin_r, stdin_w]
                os.write(stdin_w, marker)
                stdin = stdin_r
            elif source_kind == "unix_pipe":
                stdin, feed_w = os.pipe()
                child_ends.append(stdin)
                threads.append(threading.Thread(target=feed, args=(feed_w, source), daemon=True))
            else:
                path = os.path.join(self.dir, "chanpipe.in")
                with open(path, "wb") as f:
                    f.write(source)
                stdin = open(path, "rb")
                keep.append(stdin)
            if sink_kind == "unix_pipe":
                drain_r, stdout = os.pipe()
                child_ends.append(stdout)
                threads.append(threading.Thread(target=drain, args=(drain_r, collected),
                                                daemon=True))
            else:
                stdout = open(out_path, "wb")
                keep.append(stdout)
            with open(err_path, "wb") as err:
                process = self.wine.start([program] + argv, stdin=stdin, stdout=stdout,
                                          stderr=err)
            # Only the program holds these ends now.
            while child_ends:
                os.close(child_ends.pop())
            for thread in threads:
                thread.start()
            status = self.wine.finish(process, seconds, "chanpipe %s" % mode)
            for thread in threads:
                thread.join(60 * SCALE)
                check(not thread.is_alive(), "a pipe of chanpipe's stayed open after it ended")
            left = None
            if source is None:
                os.close(stdin_w)
                keep.remove(stdin_w)
                left = b""
                while True:
                    block = os.read(stdin_r, 65536)
                    if not block:
                        break
                    left += block
                check(left == marker, "chanpipe %s read its standard input" % mode)
        finally:
            for end in child_ends:
                os.close(end)
            for item in keep:
                if isinstance(item, int):
                    os.close(item)
                else:
                    item.close()
        out = bytes(collected) if sink_kind == "unix_pipe" else open(out_path, "rb").read()
        return status, out, open(err_path, "rb").read(), left

    def expect_run(self, result, status, err, out=b""):
        got_status, got_out, got_err, _ = result
        if got_err != err:
            raise Failure("standard error:\n  got      %s\n  expected %s" % (show(got_err),
                                                                             show(err)))
        same_bytes("standard output", got_out, out)
        check(got_status == status, "exit status %d, expected %d" % (got_status, status))

    # ---- what every run must leave behind ----

    def check_lookup(self, probed, matched=None, untouched=()):
        """probed ports were opened once and asked their name; the matched
        one was opened a second time for data; untouched ones never. A port
        whose path is gone is never reached."""
        for key in probed:
            s = self.stat(key)
            if s["vanished"] and s["opens"] == 0 and key in GONE:
                continue
            want = 2 if key == matched else 1
            check(s["opens"] == want, "port %s opened %d times, expected %d" % (
                key, s["opens"], want))
            check(s["max_handles"] <= 1, "port %s held by %d handles at once" % (
                key, s["max_handles"]))
            if s["info_requests"]:
                check(s["info_out_length"] == 512 and s["info_in_length"] == 0,
                      "port %s asked with %d bytes in, %d out; expected 0 and 512" % (
                          key, s["info_in_length"], s["info_out_length"]))
            probe = parse_open(s["open1"])
            check(probe["share"] == 0, "probe of %s shared (%d)" % (key, probe["share"]))
            check(not probe["options"] & FILE_NO_INTERMEDIATE_BUFFERING,
                  "probe of %s asked for no buffering" % key)
            check(probe["options"] & FILE_SYNCHRONOUS_IO_NONALERT,
                  "probe of %s is not synchronous" % key)
            if key == matched and s["open_log_count"] >= 2:
                data = parse_open(s["open2"])
                check(data["share"] == 0, "data open of %s shared" % key)
                check(data["options"] & FILE_NO_INTERMEDIATE_BUFFERING,
                      "data open of %s without FILE_FLAG_NO_BUFFERING" % key)
                check(data["options"] & FILE_SYNCHRONOUS_IO_NONALERT,
                      "data open of %s is not synchronous" % key)
        for key in untouched:
            s = self.stat(key)
            check(s["opens"] == 0, "port %s after the match was opened" % key)


def pe_machine(path):
    """x86 or x64: the machine a Windows program is built for."""
    with open(path, "rb") as f:
        head = f.read(4096)
    at = int.from_bytes(head[0x3c:0x40], "little")
    machine = int.from_bytes(head[at + 4:at + 6], "little")
    return {0x14c: "x86", 0x8664: "x64"}.get(machine, "machine 0x%x" % machine)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def feed(fd, data):
    """Writes data into a pipe and closes it."""
    try:
        view = memoryview(data)
        for at in range(0, len(view), 65536):
            os.write(fd, view[at:at + 65536])
    except OSError:
        pass  # the reader ended early; the checks will say so
    finally:
        os.close(fd)


def drain(fd, into):
    """Reads a pipe to its end."""
    while True:
        block = os.read(fd, 65536)
        if not block:
            break
        into.extend(block)
    os.close(fd)


def parse_open(text):
    fields = dict(part.split(":", 1) for part in text.split())
    return {k: int(v, 16) if v.startswith("0x") else int(v) for k, v in fields.items()}


# ---------------------------------------------------------------- cases

CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


def read_case(h, port, data, sink_kind, label):
    """Host to guest with r: everything is queued before the run."""
    h.plug(port)
    h.push(port, data)
    h.close(port)
    result = h.chanpipe("r", NAME[port], sink_kind=sink_kind)
    h.expect_run(result, 0, PAIR * chunks(len(data)), data)
    s = h.stat(port)
    check(s["writes"] == 0, "chanpipe r wrote to the port")
    check(s["reads"] == chunks(len(data)) + 1,
          "%d reads of the port, expected %d" % (s["reads"], chunks(len(data)) + 1))
    h.check_lookup([port], matched=port)


def write_case(h, port, data, source_kind):
    """Guest to host with w."""
    h.plug(port)
    status, out, err, _ = h.chanpipe("w", NAME[port], source=data, source_kind=source_kind)
    s = h.stat(port)
    check(status == 0, "exit status %d, expected 0; standard error %s" % (status, show(err)))
    check(out == b"", "chanpipe w wrote to standard output: %s" % show(out))
    check(s["reads"] == 0, "chanpipe w read the port")
    pairs = len(err) // len(PAIR)
    check(err == PAIR * pairs, "standard error is not progress lines alone: %s" % show(err))
    check(pairs == s["writes"], "%d progress pairs for %d writes" % (pairs, s["writes"]))
    if source_kind == "file":
        # A file delivers full chunks: one write per 4096 bytes.
        check(pairs == chunks(len(data)), "%d writes, expected %d" % (pairs, chunks(len(data))))
    else:
        check(pairs >= chunks(len(data)), "%d writes for %d bytes" % (pairs, len(data)))
    same_bytes("bytes the host received", h.pull(port), data)
    h.check_lookup([port], matched=port)


# "pipe" is a Windows anonymous pipe: its end is a read failing with 109.
# "unix_pipe" is what a Linux shell gives a Wine program. Wine difference:
# its end reads as a success with no bytes, not as error 109.
for _size in SIZES:
    for _kind in ("file", "pipe", "unix_pipe"):
        if _kind == "unix_pipe" and _size not in ("0", "4097", "8mib"):
            continue
        def _read(h, size=_size, kind=_kind):
            read_case(h, "data", prng("r %s %s" % (size, kind), SIZES[size]), kind, size)

        def _write(h, size=_size, kind=_kind):
            write_case(h, "data", prng("w %s %s" % (size, kind), SIZES[size]), kind)

        _read.__name__ = "host_to_guest_%s_bytes_to_%s" % (_size, _kind)
        _write.__name__ = "guest_to_host_%s_bytes_from_%s" % (_size, _kind)
        case(_read)
        case(_write)


@case
def third_argument_is_ignored(h):
    data = prng("third argument", 5000)
    h.plug("data")
    h.push("data", data)
    h.close("data")
    h.expect_run(h.chanpipe("r", NAME["data"], extra=[b"extra"]), 0, PAIR * 2, data)


class Waiting:
    """chanpipe r running on its own, waiting in a read of the port."""

    def __init__(self, h, process):
        self.h, self.process = h, process

    def finish(self):
        """(status, stdout, stderr, None) once it has ended by itself."""
        status = self.h.wine.finish(self.process, 120, "chanpipe r")
        return (status, open(os.path.join(self.h.dir, "waiting.out"), "rb").read(),
                open(os.path.join(self.h.dir, "waiting.err"), "rb").read(), None)

    def kill(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


@contextlib.contextmanager
def waiting_reader(h, port):
    with open(os.path.join(h.dir, "waiting.out"), "wb") as out, \
            open(os.path.join(h.dir, "waiting.err"), "wb") as err:
        waiting = Waiting(h, h.start_chanpipe([b"r", NAME[port]], subprocess.DEVNULL, out, err))
    try:
        h.wait(port, "reads_pending", 1)
        yield waiting
    finally:
        waiting.kill()


@case
def host_to_guest_with_output_closed(h):
    """Standard output closed: the first chunk is lost with the write's
    error (an invalid handle) and the port is not read again."""
    data = prng("output closed", 5000)
    h.plug("data")
    h.push("data", data)
    h.close("data")
    err_path = os.path.join(h.dir, "closed.err")
    with open(err_path, "wb") as err:
        process = h.wine.start([h.o.chanpipe, "r", NAME["data"]], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=err,
                               preexec_fn=lambda: os.close(1))
    status = h.wine.finish(process, 120, "chanpipe r")
    h.expect_run((status, b"", open(err_path, "rb").read(), None), 4,
                 PAIR + b"WriteFile error 6\r\n")
    check(h.stat("data")["reads"] == 1, "the port was read after the failed write")


@case
def read_waits_for_the_host(h):
    """A read with nothing queued waits; each push answers it."""
    first, second = prng("wait first", 3000), prng("wait second", 5096)
    h.plug("data")
    with waiting_reader(h, "data") as waiting:
        h.push("data", first)
        h.wait("data", "reads", 2)  # the next read has come ...
        h.wait("data", "reads_pending", 1)  # ... and waits
        h.push("data", second)  # answers it with 4096, then 1000 at once
        h.wait("data", "reads", 4)
        h.wait("data", "reads_pending", 1)
        h.close("data")  # the waiting read ends with a broken pipe
        h.expect_run(waiting.finish(), 0, PAIR * 3, first + second)


@case
def killed_while_reading_the_read_is_cancelled(h):
    """A guest program killed in a waiting read: the driver cancels the
    read and no byte sent afterwards is lost to it."""
    h.plug("data")
    with waiting_reader(h, "data") as waiting:
        waiting.kill()
    h.wait("data", "reads_pending", 0)
    h.wait("data", "handles", 0)
    check(h.stat("data")["reads_cancelled"] == 1, "the waiting read was not cancelled")
    data = prng("after the kill", 6000)
    h.push("data", data)
    h.close("data")
    h.expect_run(h.chanpipe("r", NAME["data"]), 0, PAIR * 2, data)
    check(h.stat("data")["reads_cancelled"] == 1, "a read was cancelled in the second run")


# ---- lookup ----

def lookup_reads(h, present, wanted, query=None, before_err=b""):
    """Plugs present, sends data on wanted, reads it with chanpipe r."""
    h.plug(*present)
    data = prng("lookup " + wanted + " " + ",".join(present), 4100)
    h.push(wanted, data)
    h.close(wanted)
    name = NAME[wanted] if query is None else query
    h.expect_run(h.chanpipe("r", name), 0, before_err + PAIR * 2, data)
    at = present.index(wanted)
    h.check_lookup(present[:at + 1], matched=wanted, untouched=present[at + 1:])


def lookup_misses(h, present, query):
    h.plug(*present)
    h.expect_run(h.chanpipe("r", query), 2, not_found(query))
    h.check_lookup(present)


@case
def one_port(h):
    lookup_reads(h, ["data"], "data")


@case
def one_port_other_name_not_found(h):
    lookup_misses(h, ["data"], b"org.chanpipe.nowhere")


@case
def no_port_present_not_found(h):
    h.plug()
    h.expect_run(h.chanpipe("r", NAME["data"]), 2, not_found(NAME["data"]))


@case
def three_ports_last_matches(h):
    lookup_reads(h, ["lookup1", "lookup2", "lookup3"], "lookup3")


@case
def three_ports_middle_matches(h):
    lookup_reads(h, ["lookup1", "lookup2", "lookup3"], "lookup2")


EIGHT = ["lookup%d" % i for i in range(1, 9)]


@case
def eight_ports_last_matches(h):
    lookup_reads(h, EIGHT, "lookup8")


@case
def eight_ports_first_matches_rest_untouched(h):
    lookup_reads(h, EIGHT, "lookup1")


@case
def eight_ports_not_found(h):
    lookup_misses(h, EIGHT, b"org.chanpipe.lookup.9")


@case
def twins_first_in_enumeration_wins(h):
    h.plug("twin_first", "twin_second")
    first, second = prng("twin first", 4500), prng("twin second", 4500)
    h.push("twin_first", first)
    h.close("twin_first")
    h.push("twin_second", second)
    h.close("twin_second")
    h.expect_run(h.chanpipe("r", b"org.chanpipe.twin"), 0, PAIR * 2, first)
    h.check_lookup(["twin_first"], matched="twin_first", untouched=["twin_second"])


@case
def case_and_prefix_differences_do_not_match(h):
    lookup_misses(h, ["upper_case", "longer", "shorter"], b"org.chanpipe.exact")


@case
def exact_name_after_near_misses(h):
    lookup_reads(h, ["upper_case", "longer", "shorter", "exact"], "exact")


@case
def name_prefix_of_a_port_does_not_match(h):
    lookup_misses(h, ["exact"], b"org.chanpipe.exac")


@case
def empty_name_matches_the_empty_port(h):
    lookup_reads(h, ["data", "empty"], "empty")


@case
def empty_name_without_an_empty_port_not_found(h):
    lookup_misses(h, ["data", "exact"], b"")


@case
def name_of_504_bytes(h):
    lookup_reads(h, ["data", "long_name"], "long_name")


@case
def name_of_504_bytes_less_one_not_found(h):
    lookup_misses(h, ["long_name"], LONG_NAME[:503])


@case
def eight_bit_name(h):
    lookup_reads(h, ["data", "eight_bit"], "eight_bit")


@case
def eight_bit_name_not_found_is_echoed_unchanged(h):
    lookup_misses(h, ["eight_bit"], EIGHT_BIT_NAME[:-1] + b"\xae")


@case
def record_without_nul_names_nothing(h):
    h.plug("no_nul")
    for query in (NO_NUL_NAME, NO_NUL_NAME[:504]):
        h.expect_run(h.chanpipe("r", query), 2, not_found(query))


@case
def record_without_nul_then_match(h):
    lookup_reads(h, ["no_nul", "wanted"], "wanted")


@case
def short_record_then_match(h):
    # The reply holds only the driver's own seven bytes: no name, no message.
    lookup_reads(h, ["short_record", "wanted"], "wanted")


@case
def short_record_alone_not_found(h):
    lookup_misses(h, ["short_record"], b"org.chanpipe.wanted")


# ---- faults in the lookup, each followed by a port that matches ----

@case
def port_gone_before_its_probe_then_match(h):
    # Listed, but its path opens nothing (unplugged after the listing).
    lookup_reads(h, ["gone", "wanted"], "wanted", before_err=b"CreateFile error 2\r\n")


@case
def probe_open_refused_then_match(h):
    # Wine difference: Windows fails the probe's CreateFileW itself with
    # "CreateFile error 5"; under Wine the open succeeds and the refusal
    # comes back from the port information request.
    lookup_reads(h, ["refused", "wanted"], "wanted", before_err=b"DeviceIoControl Error 5\r\n")
    check(h.stat("refused")["refused_requests"] == 1, "the refused handle was used again")


@case
def port_info_access_denied_then_match(h):
    lookup_reads(h, ["info_denied", "wanted"], "wanted", before_err=b"DeviceIoControl Error 5\r\n")


@case
def port_info_not_supported_then_match(h):
    lookup_reads(h, ["info_unsupported", "wanted"], "wanted",
                 before_err=b"DeviceIoControl Error 50\r\n")


@case
def port_info_invalid_request_then_match(h):
    lookup_reads(h, ["info_invalid", "wanted"], "wanted",
                 before_err=b"DeviceIoControl Error 1\r\n")


@case
def port_info_error_with_top_bit_is_negative(h):
    lookup_reads(h, ["info_custom", "wanted"], "wanted",
                 before_err=b"DeviceIoControl Error -536870846\r\n")


# What each faulty port adds to standard error when the lookup meets it.
FAULT_LINES = {
    "no_nul": b"",
    "short_record": b"",
    # Under Wine; Windows: "CreateFile error 5" (see probe_open_refused_then_match).
    "refused": b"DeviceIoControl Error 5\r\n",
    "gone": b"CreateFile error 2\r\n",
    "info_denied": b"DeviceIoControl Error 5\r\n",
    "info_unsupported": b"DeviceIoControl Error 50\r\n",
    "info_invalid": b"DeviceIoControl Error 1\r\n",
    "info_custom": b"DeviceIoControl Error -536870846\r\n",
}


@case
def every_lookup_fault_in_turn_then_match(h):
    faulty = sorted(FAULT_LINES, key=INDEX.get)
    lookup_reads(h, faulty + ["wanted"], "wanted",
                 before_err=b"".join(FAULT_LINES[k] for k in faulty))


@case
def every_lookup_fault_and_no_match(h):
    faulty = sorted(FAULT_LINES, key=INDEX.get)
    h.plug(*faulty)
    query = b"org.chanpipe.wanted"
    h.expect_run(h.chanpipe("r", query), 2,
                 b"".join(FAULT_LINES[k] for k in faulty) + not_found(query))


# ---- the data open ----

@case
def data_open_port_gone_r(h):
    # The port goes between the lookup and the data open: status 3, and no
    # later port of the same name is tried.
    h.plug("data_gone", "held_later")
    h.expect_run(h.chanpipe("r", b"org.chanpipe.held"), 3, b"CreateFile error 2\r\n")
    h.check_lookup(["data_gone"], untouched=["held_later"])


@case
def data_open_port_gone_w(h):
    h.plug("data_gone", "held_later")
    result = h.chanpipe("w", b"org.chanpipe.held", source=prng("gone w", 5000),
                        source_kind="pipe")
    h.expect_run(result, 3, b"CreateFile error 2\r\n")
    check(h.pull("data_gone") == b"" and h.pull("held_later") == b"", "bytes reached a port")


@case
def data_open_refused_r(h):
    # Wine difference: Windows fails the data open's CreateFileW with
    # "CreateFile error 32" and status 3; under Wine the open succeeds and
    # the refusal comes back from the first read.
    h.plug("data_refused", "held_later")
    h.push("data_refused", prng("refused r", 100))
    h.expect_run(h.chanpipe("r", b"org.chanpipe.held"), 5, b"ReadFile error 32\r\n")
    h.check_lookup(["data_refused"], matched="data_refused", untouched=["held_later"])


@case
def data_open_refused_w(h):
    # Wine difference, as above: Windows gives "CreateFile error 32" and
    # status 3; under Wine the first write fails with the refusal.
    h.plug("data_refused", "held_later")
    result = h.chanpipe("w", b"org.chanpipe.held", source=prng("refused w", 100))
    h.expect_run(result, 4, PAIR + b"WriteFile error 32\r\n")
    check(h.pull("data_refused") == b"", "bytes reached the refused port")


# ---- transfer faults ----

@case
def read_fails_after_first_chunk(h):
    data = prng("read fails", 6000)
    h.plug("read_fails")
    h.push("read_fails", data)  # the host stays open: only the fault ends the run
    h.expect_run(h.chanpipe("r", NAME["read_fails"]), 5, PAIR + b"ReadFile error 1167\r\n",
                 data[:CHUNK])


@case
def read_end_of_file_ends_quietly(h):
    # A synchronous ReadFile reports the port's end-of-file as success with
    # no bytes: the copy ends with status 0.
    h.plug("read_eof")
    h.push("read_eof", prng("eof", 100))
    h.expect_run(h.chanpipe("r", NAME["read_eof"]), 0, b"")
    check(h.stat("read_eof")["reads"] == 1, "the port was read again after its end")


@case
def write_fails_at_once(h):
    h.plug("write_fails_first")
    result = h.chanpipe("w", b"org.chanpipe.write-fails", source=prng("write fails 1", 5000))
    h.expect_run(result, 4, PAIR + b"WriteFile error 1117\r\n")
    check(h.pull("write_fails_first") == b"", "bytes of a failed write reached the host")
    check(h.stat("write_fails_first")["writes"] == 1, "a write followed the failed one")


@case
def write_fails_on_second_chunk(h):
    data = prng("write fails 2", 9000)
    h.plug("write_fails_second")
    result = h.chanpipe("w", b"org.chanpipe.write-fails", source=data)
    h.expect_run(result, 4, PAIR * 2 + b"WriteFile error 1117\r\n")
    same_bytes("bytes the host received", h.pull("write_fails_second"), data[:CHUNK])


def trickle_case(h, source_kind):
    # The port takes at most 1000 bytes a write: each chunk is finished by
    # further writes, each between its own progress lines.
    data = prng("trickle " + source_kind, 10000)
    h.plug("trickle")
    status, out, err, _ = h.chanpipe("w", NAME["trickle"], source=data, source_kind=source_kind)
    s = h.stat("trickle")
    check(status == 0 and out == b"", "status %d, output %s" % (status, show(out)))
    if source_kind == "file":
        sizes = [CHUNK, CHUNK, 10000 - 2 * CHUNK]
        want = sum(chunks(size, 1000) for size in sizes)
        check(err == PAIR * want, "standard error %s, expected %d pairs" % (show(err), want))
    else:
        check(err == PAIR * (len(err) // len(PAIR)), "standard error %s" % show(err))
    check(len(err) // len(PAIR) == s["writes"], "%d pairs for %d writes" % (
        len(err) // len(PAIR), s["writes"]))
    same_bytes("bytes the host received", h.pull("trickle"), data)


@case
def short_writes_are_finished_from_file(h):
    trickle_case(h, "file")


@case
def short_writes_are_finished_from_pipe(h):
    trickle_case(h, "pipe")


@case
def write_taking_nothing_counts_as_failed(h):
    h.plug("stalled")
    status, out, err, _ = h.chanpipe("w", NAME["stalled"], source=prng("stalled", 300))
    check(status == 4, "exit status %d, expected 4" % status)
    check(re.fullmatch(rb"Executing WriteFile\r\nFinished WriteFile\r\nWriteFile error -?\d+\r\n",
                       err), "standard error %s" % show(err))
    check(h.stat("stalled")["writes"] == 1, "the port was written again")


# ---- Wine differences, shown ----

@case
def wine_difference_share_mode_not_enforced(h):
    """Wine difference: while chanpipe holds the port (share mode 0), a
    second open succeeds under Wine. On Windows the port is told the access
    asked for and refuses it with ERROR_SHARING_VIOLATION (32)."""
    h.plug("data")
    with waiting_reader(h, "data") as waiting:
        _, text = h.ctl("open", INDEX["data"], "80000000", "0")
        h.close("data")
        h.expect_run(waiting.finish(), 0, b"")
    check(text.strip() == "open 1: ok",
          "the second open gave %r; Wine 8 lets it through (Windows: error 32)" % text)
    check(h.stat("data")["max_handles"] == 2, "the second open did not reach the port")


@case
def wine_difference_write_passes_a_blocked_read(h):
    """Wine difference: on one synchronous handle a write completes while a
    read still waits. Windows runs a synchronous handle's requests one at a
    time, so there the write waits until the read is answered. Either way
    the port keeps the two directions apart."""
    h.plug("data")
    out_bytes, in_bytes = prng("both ways out", 200), prng("both ways in", 150)
    _, text = h.ctl("both-ways", INDEX["data"], out_bytes.hex(), in_bytes.hex())
    lines = dict(word.split("=", 1) for word in text.split() if "=" in word)
    check(lines.get("write") == "ok" and lines.get("written") == str(len(out_bytes)),
          "the write: %s" % text)
    check(lines.get("reads_pending_after_write") == "1",
          "the write waited for the read (Windows' behaviour, not Wine 8's): %s" % text)
    check(lines.get("read") == "ok" and lines.get("read_bytes") == in_bytes.hex(),
          "the read: %s" % text)
    same_bytes("bytes the host received", h.pull("data"), out_bytes)


# ---------------------------------------------------------------- setup

def stamp(options):
    digest = hashlib.sha256()
    for path in (options.driver, options.installer):
        digest.update(open(path, "rb").read())
    digest.update(layout().encode())
    digest.update(options.winearch.encode())
    # A prefix for an emulated CPU gives the driver's start more time.
    digest.update(b"slow" if SCALE > 1 else b"")
    return digest.hexdigest()


def setup(h):
    o = h.o
    os.makedirs(o.work, exist_ok=True)
    wine = h.wine
    # A session left by an earlier run may lack the persistence set below.
    wine.server_command("-k", seconds=60)
    wine.server_command("-w", seconds=60)
    stamp_path = os.path.join(o.prefix, ".simport-stamp")
    fresh = not (os.path.exists(stamp_path) and open(stamp_path).read() == stamp(o))
    if fresh:
        shutil.rmtree(o.prefix, ignore_errors=True)
        os.makedirs(o.prefix)
        with open(os.path.join(o.work, "wineboot.log"), "wb") as log:
            boot = wine.start(["wineboot", "-i"], stdin=subprocess.DEVNULL, stdout=log,
                              stderr=log)
            wine.finish(boot, 300, "wineboot")
            if SCALE > 1:
                # Wine's service manager gives a driver 30 s to start: an
                # emulated CPU needs more, the more so beside other tests.
                reg = wine.start(["reg", "add", r"HKLM\System\CurrentControlSet\Control", "/v",
                                  "ServicesPipeTimeout", "/t", "REG_DWORD", "/d",
                                  str(60000 * SCALE), "/f"],
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log)
                check(wine.finish(reg, 60, "reg add") == 0, "reg add ServicesPipeTimeout failed")
        wine.server_command("-w", seconds=120)
    # One session for all cases: the driver's state must outlive each step.
    # Its helpers (services, the driver's host) inherit the first program's
    # descriptors, so that program writes to files only.
    check(wine.server_command("-p900", seconds=60) == 0, "wineserver did not start")
    if fresh:
        layout_path = os.path.join(o.work, "ports.layout")
        with open(layout_path, "w") as f:
            f.write(layout())
        driver = windows_path(o.driver)
        with open(layout_path, "rb") as stdin, \
                open(os.path.join(o.work, "install.out"), "wb") as out, \
                open(os.path.join(o.work, "install.err"), "wb") as err:
            process = wine.start([o.installer, driver], stdin=stdin, stdout=out, stderr=err)
            status = wine.finish(process, 300, "simport-install")
        check(status == 0, "simport-install failed: %s" % open(
            os.path.join(o.work, "install.err"), "rb").read().decode(errors="replace"))
    h.ctl("ready", len(PORTS), 120 * SCALE, seconds=180)
    if fresh:
        with open(stamp_path, "w") as f:
            f.write(stamp(o))


def demo(h):
    """The program at work on the simulated ports, told step by step."""
    o = h.o
    h.dir = os.path.join(o.work, "demo")
    shutil.rmtree(h.dir, ignore_errors=True)
    os.makedirs(h.dir)
    ports = ["lookup1", "lookup2", "lookup3"]

    def run(title, mode, name, **kwargs):
        status, out, err, _ = h.chanpipe(mode, name, **kwargs)
        print("\n$ %schanpipe.exe %s %s" % (title, mode, name.decode("cp1252")))
        for line in err.decode("cp1252").splitlines():
            print("  stderr: " + line)
        print("  exit status %d" % status)
        return status, out

    print("chanpipe.exe (%s, %s) under %s, in the %s prefix %s" % (
        pe_machine(o.chanpipe), o.chanpipe,
        subprocess.run([h.wine.wine, "--version"], capture_output=True, text=True).stdout.strip(),
        "32-bit" if o.winearch == "win32" else "64-bit", o.prefix))
    h.plug(*ports)
    print("Ports present now: %s" % ", ".join(NAME[k].decode() for k in ports))

    message = b"Hello from the host, on org.chanpipe.lookup.2.\n"
    h.push("lookup2", message)
    h.close("lookup2")
    print("\nThe host sends %d bytes on org.chanpipe.lookup.2 and hangs up." % len(message))
    status, out = run("", "r", NAME["lookup2"])
    print("  stdout: %r" % out.decode())
    ok = status == 0 and out == message

    reply = b"Hello from the guest.\n"
    status, _ = run("echo 'Hello from the guest.' | ", "w", NAME["lookup3"], source=reply,
                    source_kind="pipe")
    got = h.pull("lookup3")
    print("  the host received: %r" % got.decode())
    ok = ok and status == 0 and got == reply

    status, _ = run("", "r", b"org.chanpipe.nowhere")
    ok = ok and status == 2

    h.plug("data")
    big = prng("demo", 8 << 20)
    h.push("data", big)
    h.close("data")
    status, out, err, _ = h.chanpipe("r", NAME["data"], sink_kind="pipe")
    print("\n8 MiB host -> guest through chanpipe r: exit status %d, %d progress pairs, "
          "sha256 %s (%s)" % (status, len(err) // len(PAIR), hashlib.sha256(out).hexdigest()[:16],
                              "identical" if out == big else "DIFFERENT"))
    ok = ok and status == 0 and out == big
    status, _, err, _ = h.chanpipe("w", NAME["data"], source=big, source_kind="pipe")
    back = h.pull("data")
    print("8 MiB guest -> host through chanpipe w: exit status %d, %d progress pairs, "
          "sha256 %s (%s)" % (status, len(err) // len(PAIR), hashlib.sha256(back).hexdigest()[:16],
                              "identical" if back == big else "DIFFERENT"))
    ok = ok and status == 0 and back == big
    check(ok, "the demo did not go as it should")
    print("\nEverything went as it should.")


def stop(h):
    os.makedirs(h.o.work, exist_ok=True)
    h.wine.server_command("-k", seconds=60)
    h.wine.server_command("-w", seconds=60)


def main():
    parser = argparse.ArgumentParser()
    for option in ("chanpipe", "installer", "controller", "driver", "prefix", "work"):
        parser.add_argument("--" + option)
    parser.add_argument("--winearch", choices=["win32", "win64"], default="win64")
    parser.add_argument("action", choices=["setup", "run", "stop", "demo", "list", "layout"])
    parser.add_argument("case", nargs="?")
    o = parser.parse_args()
    for option in ("chanpipe", "installer", "controller", "driver", "prefix", "work"):
        if getattr(o, option):
            setattr(o, option, os.path.abspath(getattr(o, option)))
    if o.action == "list":
        print("\n".join(CASES))
        return 0
    if o.action == "layout":
        sys.stdout.write(layout())
        return 0
    signal.signal(signal.SIGTERM, stopped)
    signal.signal(signal.SIGINT, stopped)
    h = Harness(o)
    started = time.monotonic()
    try:
        if o.action == "setup":
            setup(h)
        elif o.action == "stop":
            stop(h)
        elif o.action == "demo":
            demo(h)
        else:
            if o.case not in CASES:
                raise Failure("no case %r" % o.case)
            h.dir = os.path.join(o.work, o.case)
            shutil.rmtree(h.dir, ignore_errors=True)
            os.makedirs(h.dir)
            CASES[o.case](h)
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        return 1
    finally:
        kill_started()
    print("%s %s: ok (%.1f s)" % (o.action, o.case or "", time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
