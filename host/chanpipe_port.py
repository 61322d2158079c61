"""Where a chanpipe channel's port is, and what the guest does with it.

chanpipe-host and the self-test kit's host side reach the VM through this
one small interface, whatever runs the VM:

    port = QMPPort("/run/vm/qmp.sock", name="logs", timeout=60)
    end = port.locate()              # the port's host end
    sock = end.connect(60)
    port.settled(True, 600)          # a reader holds the port open
    port.pause(3)                    # the VM stops for 3 s, then goes on

QMPPort, for a QEMU command line with a QMP socket, is here. LibvirtPort,
for a libvirt domain, is in chanpipe_libvirt.py, which needs libvirt's
Python module: import it only for a domain. This module needs Python 3 and
its standard library only.
"""

import os
import time

import chanpipe_qmp
from chanpipe_qmp import POLL, STEADY, poll_until


class PortError(Exception):
    """Finding or following the port failed. status is what chanpipe-host
    exits with: 2 not found or not reachable, 3 a wait that ran out, 4 the
    VM or the connection to it went away."""
    status = 2


class NotFound(PortError):
    status = 2


class NoAnswer(PortError):
    status = 3


class Busy(PortError):
    """Another client holds the port's host end."""
    status = 3


class Lost(PortError):
    status = 4


class ResumeFailed(Lost):
    """The VM was paused and could not be let go on: it is still paused."""


class Endpoint:
    """The port's host end: a unix socket ("unix", its path), a TCP socket
    ("tcp", "HOST:PORT"), or a stream of the VM's manager ("stream", what it
    is), which opener() connects.

    half_close: whether this side can end its data and know that QEMU has
    taken all of it (a socket's half-close, which QEMU reads up to; a
    stream has none). refusal: what to do instead, where it cannot; its
    {command} is the command to run elsewhere."""

    def __init__(self, kind, address, opener=None, refusal=None):
        self.kind, self.address, self.opener = kind, address, opener
        self.half_close, self.refusal = kind != "stream", refusal

    def __str__(self):
        return {"unix": "%s", "tcp": "tcp:%s", "stream": "%s"}[self.kind] % self.address

    def connect(self, seconds=0.0):
        """A connected socket (for a stream, a socket that carries it);
        tried again while seconds last; then the last OSError."""
        if self.kind == "stream":
            return self.opener()
        return chanpipe_qmp.connect(unix=self.address if self.kind == "unix" else None,
                                    tcp=self.address if self.kind == "tcp" else None,
                                    seconds=seconds)


class Port:
    """The port's guest side, and the VM around it. An implementation gives
    locate(), is_open(), _pause(), _resume() and close(); change() and
    settled() are built on is_open() and the events it takes in.

    locate()             the port's Endpoint; NotFound when the VM, the port
                         or a host end this side can use is missing; Busy
                         when another client holds it for `timeout` s
    is_open()            whether the guest has the port open now, taking in
                         the changes since (events); Lost when the port or
                         the VM is gone
    events               [(time of a change, open)], oldest first, by the
                         clock of time.time()
    change(want, after, seconds)
                         when the port was next seen open (want True) or
                         closed: by a look, or by its first change after
                         `after`; None when seconds pass first
    settled(want, seconds, check)
                         when the port was seen open (or closed) with no
                         change for STEADY s, or check() was true; None when
                         seconds pass first
    pause(seconds)       stops the VM for that long: (what the VM said it was
                         meanwhile, seconds); whatever ends it early lets the
                         VM go on first and passes on; ResumeFailed when even
                         that fails
    close()              releases every connection; never fails
    """

    name = "the port"  # as messages name it
    where = "the VM"  # what shows the port
    pauses = resumes = "stop, go on"  # how pause() does it, for the messages

    def __init__(self):
        self.events = []

    def change(self, want, after, seconds):
        return poll_until(lambda: time.time() if self.is_open() == want else
                          next((t for t, _ in self.events if t > after), None),
                          seconds, POLL / 2)

    def settled(self, want, seconds, check=lambda: None):
        # Counts from when changes come: QEMU holds one back, with the time
        # of the change on it.
        since, seen = None, len(self.events)

        def steady():
            nonlocal since, seen
            now = time.time()
            if self.is_open() != want:
                since = None
            elif since is None or len(self.events) > seen:
                since, seen = now, len(self.events)
            elif now - since >= STEADY:
                return now
            return check()
        return poll_until(steady, seconds)

    def pause(self, seconds):
        began = time.monotonic()
        try:
            state = self._pause()
            time.sleep(seconds)
            self._resume()
        except BaseException:
            self._resume(again=True)
            raise
        return state, time.monotonic() - began


class QMPPort(Port):
    """A port of a QEMU that has a QMP socket: found by its name (name=...
    of its -device), or by the unix or TCP socket of its chardev. Its
    changes are QEMU's VSERPORT_CHANGE events, which name the port by its
    id; query-chardev's frontend-open says whether it is open now."""

    def __init__(self, qmp, timeout, name=None, unix=None, tcp=None):
        super().__init__()
        self.path, self.timeout, self.want = qmp, timeout, (name, unix, tcp)
        self.where, self.pauses, self.resumes = "QMP %s" % qmp, "QMP stop, cont", "QMP cont"
        self.qmp = chanpipe_qmp.QMPClient(qmp, timeout=timeout)
        self.label = self.id = None

    def locate(self):
        name, unix, tcp = self.want
        try:
            self.qmp.connect()
        except chanpipe_qmp.QMPConnectError as error:
            raise NotFound("%s does not speak QMP: %s" % (self.path, error))
        except (OSError, chanpipe_qmp.QMPError) as error:
            raise NotFound("cannot use the QMP socket %s: %s" % (self.path, error))
        with qmp_errors():
            if name is not None:
                found = chanpipe_qmp.find_port(self.qmp, name)
                if not found:
                    raise NotFound("this VM has no virtio-serial port called %s" % name)
                self.id, self.label = found
                filename = chanpipe_qmp.chardev_filename(self.qmp, self.label) or ""
                address = chanpipe_qmp.chardev_address(filename)
                if not address:
                    raise NotFound("the chardev of port %s is not a socket (QEMU calls it %r)"
                                   % (name, filename))
                end = Endpoint(*address)
            else:
                self.label = chanpipe_qmp.find_chardev(self.qmp, unix=unix, tcp=tcp)
                if self.label is None:
                    raise NotFound("no chardev of this VM listens on %s" % (
                        os.path.abspath(unix) if unix else tcp))
                self.id = chanpipe_qmp.find_device(self.qmp, self.label)
                end = Endpoint("unix", unix) if unix else Endpoint("tcp", tcp)
            if self.id is None:
                raise NotFound("the port on chardev %s has no id: give its -device an id=... "
                               "(QEMU names the port by it in VSERPORT_CHANGE)" % self.label)
            self.name = "port %s" % self.id
            # QEMU serves one client at a time: wait for the one before to go.
            if not poll_until(lambda: chanpipe_qmp.chardev_filename(
                    self.qmp, self.label).startswith("disconnected:"), self.timeout, 0.1):
                raise Busy("another client held %s for %g s (QEMU serves one at a time)" % (
                    end, self.timeout))
        return end

    def is_open(self):
        with qmp_errors():
            state = chanpipe_qmp.frontend_open(self.qmp, self.label)
            for event in self.qmp.get_events():
                data = event.get("data", {})
                if event.get("event") == "VSERPORT_CHANGE" and data.get("id") == self.id:
                    self.events.append((chanpipe_qmp.event_time(event), bool(data.get("open"))))
        if state is None:
            raise Lost("chardev %s is gone" % self.label)
        return state

    def _pause(self):
        with qmp_errors():
            self.qmp.cmd("stop")
            return self.qmp.cmd("query-status").get("status")

    def _resume(self, again=False):
        try:
            if not again:
                with qmp_errors():
                    self.qmp.cmd("cont")
                return
            chanpipe_qmp.resume(self.qmp)
        except chanpipe_qmp.ResumeFailed as error:
            raise ResumeFailed(str(error))

    def close(self):
        self.qmp.close()


class qmp_errors:
    """QMP's failures as the port's: a reply that never came is a wait that
    ran out, anything else a VM or monitor that went away."""

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if isinstance(error, chanpipe_qmp.QMPTimeoutError):
            raise NoAnswer(str(error)) from error
        if isinstance(error, chanpipe_qmp.QMPResponseError):
            raise Lost(str(error)) from error
        if isinstance(error, chanpipe_qmp.QMPError):
            raise Lost("the QMP monitor failed (the VM went away?): %s" % error) from error
        return False


def tcp_address(host, port):
    """"HOST:PORT" of a socket address, an IPv6 host in brackets."""
    return "[%s]:%s" % (host, port) if ":" in host else "%s:%s" % (host, port)
