"""A small synchronous client of QEMU's QMP monitor, and the queries a host
tool of chanpipe needs to follow one virtio-serial port through it.

    with QMPClient("/run/vm/qmp.sock", timeout=60) as qmp:
        qmp.connect()
        label = find_chardev(qmp, unix="/run/vm/selftest.sock")
        port = find_device(qmp, label)   # the id in its VSERPORT_CHANGE events
        frontend_open(qmp, label)        # has the guest the port open now?
        event = qmp.pull_event(wait=1.0)
        port, label = find_port(qmp, "org.chanpipe.selftest")  # by the port's name
        resume(qmp)                      # cont, on a new connection if need be

(chanpipe_port.QMPPort follows a port with these.)
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
import os
import select
import socket
import time

# QEMU sends at most one VSERPORT_CHANGE a second per port and holds back
# the newest change until then. An open that outlasts that window with no
# event and no close seen is a reader's, not the brief open of chanpipe's
# name lookup or of a short write.
EVENT_WINDOW = 1.0
STEADY = EVENT_WINDOW + 0.3
POLL = 0.02


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


def poll_until(predicate, seconds, step=POLL):
    """predicate()'s first true value (a time, say), asked every step
    seconds; None when seconds pass first. With seconds 0 it asks once."""
    deadline = time.monotonic() + seconds
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(step)
    return value or None


def chardev_address(filename):
    """("unix", PATH) or ("tcp", "HOST:PORT") of a socket chardev, from its
    query-chardev "filename": "unix:PATH,server=on" or "tcp:HOST:PORT,server=on
    ...", after "disconnected:" while no client is connected. None for
    other kinds of chardev."""
    kind, _, rest = filename.removeprefix("disconnected:").partition(":")
    if kind in ("unix", "tcp") and rest:
        return kind, rest.split(",")[0].split(" ")[0]
    return None


def _same_socket(mine, theirs):
    # QEMU keeps the path as it was given to it; a relative one is taken
    # from this side's folder, the best there is.
    if os.path.abspath(mine) == os.path.abspath(theirs):
        return True
    try:
        return os.path.samefile(mine, theirs)
    except OSError:
        return False


def find_chardev(qmp, unix=None, tcp=None):
    """The label of the chardev that serves the unix socket at path `unix`
    (relative or absolute, compared as files), or the TCP socket `tcp`
    ("HOST:PORT"); None when there is none."""
    for chardev in qmp.cmd("query-chardev"):
        address = chardev_address(chardev.get("filename", ""))
        if address and unix is not None and address[0] == "unix" and \
                _same_socket(unix, address[1]):
            return chardev["label"]
        if address and tcp is not None and address == ("tcp", tcp):
            return chardev["label"]
    return None


def chardev_filename(qmp, label):
    """The query-chardev "filename" of the chardev `label`, or None."""
    return next((c.get("filename", "") for c in qmp.cmd("query-chardev")
                 if c["label"] == label), None)


def find_port(qmp, name):
    """(id, chardev label) of the virtio-serial port whose name (name=...
    of its -device) is `name`; id is None for a port given no id. None when
    the VM has no such port."""
    for parent in ("/machine/peripheral", "/machine/peripheral-anon"):
        for child in qmp.cmd("qom-list", path=parent):
            if not any(t in child.get("type", "") for t in ("virtserialport", "virtconsole")):
                continue
            path = parent + "/" + child["name"]
            if qmp.cmd("qom-get", path=path, property="name") == name:
                port_id = child["name"] if parent == "/machine/peripheral" else None
                return port_id, qmp.cmd("qom-get", path=path, property="chardev")
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


def connect(unix=None, tcp=None, seconds=0.0):
    """A connection to a chardev's host end: the unix socket at path `unix`,
    or the TCP socket `tcp` ("HOST:PORT"). Tried again every 0.2 s while
    seconds last (QEMU may be starting); then the last OSError."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            if tcp:
                host, _, port = tcp.rpartition(":")
                sock = socket.create_connection((host.strip("[]"), int(port)),
                                                timeout=max(seconds, 1.0))
                sock.settimeout(None)
                return sock
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.connect(unix)
            except OSError:
                sock.close()
                raise
            return sock
        except OSError:
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.2)


class ResumeFailed(QMPError):
    """The VM was paused and could not be let go on: it is still paused."""


def resume(qmp):
    """QMP cont, on a new connection to the same monitor when this one
    fails (cont of a running VM does nothing). ResumeFailed when neither
    can."""
    try:
        qmp.cmd("cont")
        return
    except QMPError as error:
        first = error
    # A half-read reply or a closed socket: the monitor takes a new client.
    qmp.close()
    again = QMPClient(qmp.address, timeout=min(qmp.timeout or 10, 10))
    try:
        again.connect()
        again.cmd("cont")
    except (OSError, QMPError) as error:
        raise ResumeFailed("the VM is still paused: QMP cont failed (%s; then %s)" % (
            first, error))
    finally:
        again.close()
