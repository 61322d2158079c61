"""A small synchronous client of QEMU's QMP monitor, and the queries a host
tool of chanpipe needs to follow one virtio-serial port through it.

    with QMPClient("/run/vm/qmp.sock", timeout=60) as qmp:
        qmp.connect()
        label = find_chardev(qmp, unix="/run/vm/check.sock")
        port = find_device(qmp, label)   # the id in its VSERPORT_CHANGE events
        frontend_open(qmp, label)        # has the guest the port open now?
        event = qmp.pull_event(wait=1.0)

It follows QEMU's own python/qemu/qmp/legacy.py (QEMUMonitorProtocol) in
a smaller way: one socket and no thread. Events that come while a command
waits for its reply are queued, and pull_event() hands them out in order.
The time of an event is the one QEMU put on it (event_time()), so it does
not matter how late this side reads it. Note that QEMU holds some events
back (VSERPORT_CHANGE: at most one a second per port, the newest kept);
such an event carries the time of its change, not of its sending.

Python 3 and its standard library only.
"""

import json
import select
import socket
import time


class QMPError(Exception):
    """The monitor failed: the base of the errors below, and a connection
    that failed, was closed or spoke no JSON."""


class QMPConnectError(QMPError):
    """The other end does not greet as a QMP monitor."""


class QMPTimeoutError(QMPError):
    """No reply (or greeting) came within the client's time-out."""

    def __init__(self, command, seconds):
        super().__init__("QMP %s: nothing within %g s" % (command, seconds))
        self.command, self.seconds = command, seconds


class QMPResponseError(QMPError):
    """The monitor answered a command with an error."""

    def __init__(self, command, error):
        self.command, self.error = command, error
        self.desc = error.get("desc", error)
        super().__init__("QMP %s: %s" % (command, self.desc))


class QMPClient:
    """One connection to a QMP monitor.

    address is a unix socket's path, or (host, port) for TCP. timeout is
    how long the greeting and each command's reply may take, in seconds
    (None: no limit). connect() lets the socket's OSError through; later,
    a failed socket is a QMPError."""

    def __init__(self, address, timeout=None):
        self.address, self.timeout = address, timeout
        self._sock = None
        self._buffer = b""
        self._events = []
        self._last_id = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def connect(self):
        """Connects, takes the greeting and leaves capabilities negotiation
        mode. Returns the greeting."""
        if isinstance(self.address, str):
            self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self._sock.connect(self.address)
        else:
            self._sock = socket.create_connection(self.address, timeout=self.timeout)
        try:
            greeting = self._receive(self._deadline())
        except QMPError as error:
            raise QMPConnectError("no greeting: %s" % error)
        if greeting is None:
            raise QMPTimeoutError("greeting", self.timeout)
        if "QMP" not in greeting:
            raise QMPConnectError("not a QMP greeting: %.80s" % json.dumps(greeting))
        self.cmd("qmp_capabilities")
        return greeting

    def cmd(self, name, /, **arguments):
        """Runs the command and returns its "return" value; raises
        QMPResponseError on an "error" reply. (An argument may be called
        "name" too, as device_add's is.)"""
        self._last_id += 1
        request = {"execute": name, "id": self._last_id}
        if arguments:
            request["arguments"] = arguments
        try:
            self._sock.sendall(json.dumps(request).encode() + b"\n")
        except OSError as error:
            raise QMPError("the connection failed: %s" % error)
        deadline = self._deadline()
        while True:
            message = self._receive(deadline)
            if message is None:
                raise QMPTimeoutError(name, self.timeout)
            if "event" in message:
                self._events.append(message)
            elif message.get("id") == self._last_id:
                if "error" in message:
                    raise QMPResponseError(name, message["error"])
                return message.get("return")
            # Else the late reply of a command that timed out: dropped.

    def pull_event(self, wait=False):
        """The oldest event not yet pulled, or None. wait False: only what
        has come already; True: waits as long as it takes; a number: waits
        up to that many seconds."""
        self._take_events(False if self._events else wait)
        return self._events.pop(0) if self._events else None

    def get_events(self, wait=False):
        """Every event not yet pulled, oldest first (wait as for
        pull_event, for the first one)."""
        self._take_events(False if self._events else wait)
        events, self._events = self._events, []
        return events

    def clear_events(self):
        self._events = []

    def close(self):
        if self._sock:
            self._sock.close()
        self._sock, self._buffer = None, b""

    def _deadline(self):
        return None if self.timeout is None else time.monotonic() + self.timeout

    def _take_events(self, wait):
        # Once one event is here, only what has come with it is taken.
        deadline = None if wait is True else time.monotonic() + (0.0 if wait is False else wait)
        while True:
            message = self._receive(deadline)
            if message is None:
                return
            if "event" in message:
                self._events.append(message)
                deadline = time.monotonic()

    def _receive(self, deadline):
        """The next message; None when none is complete by the deadline
        (monotonic; None: no limit)."""
        while True:
            while b"\n" not in self._buffer:
                left = None if deadline is None else max(0.0, deadline - time.monotonic())
                if not select.select([self._sock], [], [], left)[0]:
                    return None
                try:
                    block = self._sock.recv(1 << 16)
                except OSError as error:
                    raise QMPError("the connection failed: %s" % error)
                if not block:
                    raise QMPError("the monitor closed the connection")
                self._buffer += block
            line, _, self._buffer = self._buffer.partition(b"\n")
            if line.strip():
                try:
                    return json.loads(line)
                except ValueError:
                    raise QMPError("not QMP: %r" % line[:80])


def event_time(event):
    """When QEMU raised the event, on time.time()'s scale."""
    stamp = event["timestamp"]
    return stamp["seconds"] + stamp["microseconds"] / 1e6


def find_chardev(qmp, unix=None, tcp=None):
    """The label of the chardev whose query-chardev "filename" is the unix
    socket at path `unix`, or the TCP socket `tcp` ("HOST:PORT"); None
    when there is none. QEMU's filename reads "unix:PATH,server=on" or
    "tcp:HOST:PORT,server=on ...", after "disconnected:" while no client is
    connected."""
    for chardev in qmp.cmd("query-chardev"):
        filename = chardev.get("filename", "")
        if unix is not None and ":" + unix + "," in filename + ",":
            return chardev["label"]
        if tcp is not None and tcp in filename:
            return chardev["label"]
    return None


def find_device(qmp, label, parent="/machine/peripheral"):
    """The id of the device whose "chardev" property is the chardev
    `label`, among the devices given an id (-device ...,id=ID); None when
    none is. A virtio-serial port's id is the one in its VSERPORT_CHANGE
    events."""
    for child in qmp.cmd("qom-list", path=parent):
        if not child.get("type", "").startswith("child<"):
            continue
        try:
            chardev = qmp.cmd("qom-get", path=parent + "/" + child["name"], property="chardev")
        except QMPResponseError:
            continue  # a device without a chardev
        if chardev == label:
            return child["name"]
    return None


def frontend_open(qmp, label):
    """Whether the guest has the chardev's device open now (query-chardev's
    "frontend-open"); None when there is no such chardev."""
    for chardev in qmp.cmd("query-chardev"):
        if chardev["label"] == label:
            return bool(chardev.get("frontend-open"))
    return None


def pause(qmp, seconds):
    """Pauses the VM for `seconds` (QMP stop, then cont). Returns what
    query-status said while it was paused ("paused"), and for how long."""
    began = time.monotonic()
    qmp.cmd("stop")
    status = qmp.cmd("query-status").get("status")
    time.sleep(seconds)
    qmp.cmd("cont")
    return status, time.monotonic() - began
