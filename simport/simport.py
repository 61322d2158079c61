#!/usr/bin/env python3
"""The simulated virtio-serial ports under Wine: puts our port driver, its
installer and controller (this folder) into a Wine prefix with a fixed
layout of ports, and drives them from the host side, for the end-to-end
tests (tests/wine-e2e), the self-test kit's Windows runs and the Windows
demo.

    simport.py OPTIONS setup   fresh prefix if needed, driver and ports in place
    simport.py OPTIONS stop    ends the prefix's Wine session
    simport.py OPTIONS demo    chanpipe.exe at work, told step by step
    simport.py layout          the ports, as the installer reads them

OPTIONS: --chanpipe EXE --installer EXE --controller EXE --driver SYS
--prefix DIR --work DIR [--winearch win32|win64]. --winearch win64 (the
default) makes a 64-bit prefix, where a 32-bit chanpipe.exe runs under
WoW64; win32 makes a 32-bit prefix, as on 32-bit Windows, whose driver and
tools must be 32-bit too.

Every Wine step runs under a deadline, with its output in files (or in
pipes that only the program run holds). One Wine session stays up from
setup to stop, so the driver's state lives from one step to the next.
"""

import argparse
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

# A machine that emulates its CPU (a test VM) stretches every deadline by
# this whole factor.
SCALE = max(1, int(os.environ.get("CHANPIPE_TIME_SCALE") or 1))
WINE_RUN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts",
                        "wine-run.sh")

PAIR = b"Executing WriteFile\r\nFinished WriteFile\r\n"
CHUNK = 4096

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
    lines = ["# Written by simport.py: the simulated ports of the end-to-end tests."]
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


class Machine:
    """The simulated ports of one prefix, driven from the host side, and
    chanpipe.exe run against them."""

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
        with open(os.path.join(o.work, "wineboot.log"), "wb") as log:
            # The prefix is made as the tests' other prefixes are, by
            # wine-run.sh, which may copy it from a template.
            made = subprocess.run(["sh", WINE_RUN, o.prefix, "300"], env=wine.env,
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            check(made.returncode == 0, "the prefix %s could not be made (see %s.boot.log)"
                  % (o.prefix, o.prefix))
            if SCALE > 1:
                # Wine's service manager gives a driver 30 s to start: an
                # emulated CPU needs more, the more so beside other tests.
                # Wine 8 reads the value as a string only (a DWORD is
                # ignored: the driver's start then fails with error 1053).
                reg = wine.start(["reg", "add", r"HKLM\System\CurrentControlSet\Control", "/v",
                                  "ServicesPipeTimeout", "/t", "REG_SZ", "/d",
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
    add_options(parser)
    parser.add_argument("action", choices=["setup", "stop", "demo", "layout"])
    o = parser.parse_args()
    if o.action == "layout":
        sys.stdout.write(layout())
        return 0
    return run_action(Machine(o), {"setup": setup, "stop": stop, "demo": demo}[o.action])


def add_options(parser):
    """The options that say which program, driver, tools and prefix."""
    for option in ("chanpipe", "installer", "controller", "driver", "prefix", "work"):
        parser.add_argument("--" + option, type=os.path.abspath)
    parser.add_argument("--winearch", choices=["win32", "win64"], default="win64")


def run_action(machine, action, label=""):
    """Runs action(machine) with every Wine program it starts ended
    afterwards; 0 when it went through, 1 after printing its failure."""
    signal.signal(signal.SIGTERM, stopped)
    signal.signal(signal.SIGINT, stopped)
    started = time.monotonic()
    try:
        action(machine)
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        return 1
    finally:
        kill_started()
    print("%s %s: ok (%.1f s)" % (action.__name__, label, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
