"""A chanpipe channel's port in a libvirt domain: chanpipe_port's Port, for
`--domain NAME --port NAME [--connect URI]`.

    port = LibvirtPort("win10", "org.example.logs", uri=None, timeout=60)
    end = port.locate()        # the channel's socket, or a libvirt stream
    port.settled(True, 600)    # a reader in the guest holds it open

It needs libvirt's Python module (Debian's python3-libvirt); import this
module only for a domain, so that everything else needs Python's standard
library alone.

The guest's opens and closes are QEMU's VSERPORT_CHANGE events, which
libvirt passes on (libvirt_qemu.qemuMonitorEventRegister) with QEMU's own
time of the change; the live XML's <target ... state='connected'/> says
where the port stands at the start. One default event loop runs in a
thread, as libvirt-python's examples/event-test.py has it, with a callback
per domain and event.

The data path: a unix channel's socket when this side is on the
hypervisor and may open it; a tcp channel's socket, here or remote; else
the channel through libvirt (virDomainOpenChannel), which carries what the
guest sends but has no half-close: it cannot end what this side sends
and know that the guest has all of it.
"""

import json
import os
import socket
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ElementTree

import libvirt
import libvirt_qemu

import chanpipe_port
from chanpipe_port import Busy, Endpoint, Lost, NotFound, ResumeFailed

CHUNK = 1 << 16
LOOPBACK = ("127.0.0.1", "::1", "localhost")
ANY = ("", "0.0.0.0", "::")

_loop = None


def event_loop():
    """Starts libvirt's default event loop, once, in a daemon thread; it
    must run before the first connection is opened."""
    global _loop
    if _loop is None:
        libvirt.virEventRegisterDefaultImpl()

        def run():
            while True:
                libvirt.virEventRunDefaultImpl()
        _loop = threading.Thread(target=run, name="libvirt events", daemon=True)
        _loop.start()


# libvirt prints every error on standard error as well, by default.
libvirt.registerErrorHandler(lambda opaque, error: None, None)


def described(uri):
    return uri or "libvirt's default URI"


class LibvirtPort(chanpipe_port.Port):
    """The virtio channel whose target name is `name`, in the running domain
    `domain`, through the libvirt connection `uri` (None: libvirt's
    default, LIBVIRT_DEFAULT_URI or libvirt's own choice, as virsh has it).
    Its changes come from QEMU's VSERPORT_CHANGE events: locally with
    QEMU's times, through a remote URI with the times they came here (the
    hypervisor's clock is not this one)."""

    def __init__(self, domain, name, uri, timeout):
        super().__init__()
        self.domain, self.port, self.uri, self.timeout = domain, name, uri, timeout
        self.conn = self.dom = self.alias = self.gone = None
        self.open_now = False
        self.remote = False
        self.callbacks = []
        self.changes = []  # (port's alias, time, open) of every VSERPORT_CHANGE
        self.name = "channel %s of domain %s" % (name, domain)
        self.where = "domain %s at %s" % (domain, described(uri))
        self.pauses, self.resumes = "libvirt suspend, resume", "libvirt resume"

    # --- locate ---------------------------------------------------------------

    def locate(self):
        event_loop()
        self.conn = self.connect()
        try:
            self.dom = self.conn.lookupByName(self.domain)
        except libvirt.libvirtError as error:
            if error.get_error_code() == libvirt.VIR_ERR_NO_DOMAIN:
                raise NotFound("libvirt at %s has no domain called %s" % (
                    self.conn.getURI(), self.domain))
            raise self.failure(error)
        if not self.dom.isActive():
            raise NotFound("domain %s is not running: start it first (virsh start %s)" % (
                self.domain, self.domain))
        # Followed before the XML is read: a change in between is in both.
        self.follow()
        channel = self.channel()
        kind = channel.get("type")
        target = channel.find("target")
        self.alias = channel.find("alias").get("name")
        self.open_now = target.get("state") == "connected"
        if kind == "unix":
            return self.unix(channel)
        if kind == "tcp":
            return self.tcp(channel)
        raise NotFound("%s is of type '%s': chanpipe-host takes a channel of type 'unix' or "
                       "'tcp' (<channel type='unix'><source mode='bind'/>...)" % (self.name, kind))

    def connect(self):
        try:
            conn = libvirt.open(self.uri)
        except libvirt.libvirtError as error:
            text = error.get_error_message() or str(error)
            hint = ""
            if "ermission denied" in text or "authentication" in text.lower():
                hint = ("; chanpipe-host needs a read-write connection: run it as root, or "
                        "as a member of the group that libvirt gives read-write access "
                        "(Debian: libvirt; log in again after joining it)")
            raise NotFound("libvirt refused a connection to %s: %s%s" % (
                described(self.uri), text, hint))
        self.remote = bool(urllib.parse.urlparse(conn.getURI()).hostname)
        return conn

    def failure(self, error):
        """A libvirt error as the port's failure."""
        code, text = error.get_error_code(), error.get_error_message() or str(error)
        if code == libvirt.VIR_ERR_OPERATION_DENIED:
            return NotFound("the connection to %s is read-only (%s): chanpipe-host needs a "
                            "read-write one" % (self.conn.getURI(), text))
        if code in (libvirt.VIR_ERR_NO_DOMAIN, libvirt.VIR_ERR_OPERATION_INVALID):
            return Lost("domain %s is gone: %s" % (self.domain, text))
        if code in (libvirt.VIR_ERR_SYSTEM_ERROR, libvirt.VIR_ERR_RPC,
                    libvirt.VIR_ERR_INTERNAL_ERROR):
            return Lost("the connection to libvirt failed: %s" % text)
        return Lost(text)

    def channel(self):
        """The live XML's <channel> element of the port."""
        try:
            xml = ElementTree.fromstring(self.dom.XMLDesc(0))
        except libvirt.libvirtError as error:
            raise self.failure(error)
        names = []
        for channel in xml.iter("channel"):
            target = channel.find("target")
            if target is None or target.get("type") != "virtio":
                continue
            names.append(target.get("name") or "(no name)")
            if target.get("name") == self.port:
                return channel
        raise NotFound("domain %s has no virtio channel called %s (%s)" % (
            self.domain, self.port, "its channels: " + ", ".join(names) if names else
            "it has none: add a <channel type='unix'> with <target type='virtio' name='%s'/>"
            % self.port))

    def unix(self, channel):
        source = channel.find("source")
        path = self.path = source.get("path") if source is not None else None
        if source is None or source.get("mode", "bind") != "bind" or not path:
            raise NotFound("%s is not a socket that QEMU listens on: give it <source "
                           "mode='bind'/>" % self.name)
        if not self.remote:
            reason = reachable(path)
            if reason is None:
                wait_alone(path, self.timeout)
                return Endpoint("unix", path)
            # libvirt makes the socket and its folders libvirt-qemu's, 0750.
            refusal = ("this user may not open the socket of %s, %s (%s), and through "
                       "libvirt this side cannot tell when the guest has every byte it sends "
                       "(a libvirt stream has no half-close): add the user to the group "
                       "libvirt-qemu (usermod -aG libvirt-qemu USER, then log in again), or "
                       "run it as root, or give the domain a channel of type 'tcp'" % (
                           self.name, path, reason))
        else:
            hypervisor = urllib.parse.urlparse(self.conn.getURI()).hostname
            refusal = ("through the remote URI %s, %s is a libvirt stream, and this side "
                       "cannot tell when the guest has every byte it sends (a libvirt stream "
                       "has no half-close): run it on the hypervisor (ssh %s {command}), or "
                       "give the domain a channel of type 'tcp'" % (
                           self.conn.getURI(), self.name, hypervisor))
        return Endpoint("stream", "the libvirt stream of %s" % self.name, self.open_stream,
                        refusal)

    def tcp(self, channel):
        source = channel.find("source")
        if source is None or source.get("mode", "bind") != "bind" or not source.get("service"):
            raise NotFound("%s is not a socket that QEMU listens on: give it <source "
                           "mode='bind' host='...' service='PORT'/>" % self.name)
        host, service = source.get("host", ""), source.get("service")
        if self.remote:
            hypervisor = urllib.parse.urlparse(self.conn.getURI()).hostname
            if host in LOOPBACK and hypervisor not in LOOPBACK:
                raise NotFound("%s listens on %s of the hypervisor only: let it listen on an "
                               "address this machine reaches (host='0.0.0.0' in its <source>), "
                               "or run chanpipe-host on the hypervisor" % (
                                   self.name, chanpipe_port.tcp_address(host, service)))
            host = hypervisor if host in ANY else host
        elif host in ANY:
            host = "127.0.0.1"
        return Endpoint("tcp", chanpipe_port.tcp_address(host, service))

    def open_stream(self):
        """A socket that carries the channel's libvirt stream: a thread
        copies what the guest sends into it (this side only receives)."""
        if not self.remote:
            wait_alone(self.path, self.timeout)
        try:
            stream = self.conn.newStream(0)
            self.dom.openChannel(self.alias, stream, 0)
        except libvirt.libvirtError as error:
            if error.get_error_code() == libvirt.VIR_ERR_OPERATION_FAILED:
                # "Active channel stream exists for this domain"
                raise Busy("another libvirt client holds %s: %s" % (
                    self.name, error.get_error_message()))
            raise self.failure(error)
        mine, theirs = socket.socketpair()

        def copy():
            try:
                while data := stream.recv(CHUNK):
                    if isinstance(data, int):  # -2: nothing yet (never, blocking)
                        continue
                    theirs.sendall(data)
            except (libvirt.libvirtError, OSError):
                pass
            theirs.close()
        threading.Thread(target=copy, name="libvirt stream", daemon=True).start()
        self.stream = stream
        return mine

    # --- follow ---------------------------------------------------------------

    def follow(self):
        """Registers the callbacks: the port's changes, the domain's end and
        the connection's."""
        def changed(conn, dom, event, seconds, micros, details, opaque):
            data = _json(details)
            when = time.time() if self.remote else seconds + micros / 1e6
            self.changes.append((data.get("id"), when, bool(data.get("open"))))

        def lifecycle(conn, dom, event, detail, opaque):
            if event in (libvirt.VIR_DOMAIN_EVENT_STOPPED, libvirt.VIR_DOMAIN_EVENT_SHUTDOWN,
                         libvirt.VIR_DOMAIN_EVENT_CRASHED, libvirt.VIR_DOMAIN_EVENT_UNDEFINED):
                self.gone = "domain %s stopped" % self.domain

        def closed(conn, reason, opaque):
            self.gone = "the connection to libvirt at %s closed" % conn.getURI()

        try:
            self.callbacks.append(("qemu", libvirt_qemu.qemuMonitorEventRegister(
                self.conn, self.dom, "VSERPORT_CHANGE", changed, None, 0)))
            self.callbacks.append(("domain", self.conn.domainEventRegisterAny(
                self.dom, libvirt.VIR_DOMAIN_EVENT_ID_LIFECYCLE, lifecycle, None)))
            self.conn.registerCloseCallback(closed, None)
            if self.remote:
                self.conn.setKeepAlive(5, 3)
        except libvirt.libvirtError as error:
            raise self.failure(error)

    def is_open(self):
        if self.gone:
            raise Lost(self.gone)
        # The event loop's thread appends to changes; this side takes them.
        while self.changes:
            port, when, opened = self.changes.pop(0)
            if port == self.alias:
                self.events.append((when, opened))
        if self.events:
            self.open_now = self.events[-1][1]
        return self.open_now

    # --- pause ----------------------------------------------------------------

    def _pause(self):
        try:
            self.dom.suspend()
            state = self.dom.state()[0]
        except libvirt.libvirtError as error:
            raise self.failure(error)
        return "paused" if state == libvirt.VIR_DOMAIN_PAUSED else "state %d" % state

    def _resume(self, again=False):
        try:
            if self.dom.state()[0] == libvirt.VIR_DOMAIN_PAUSED:
                self.dom.resume()
            return
        except libvirt.libvirtError as error:
            if not again:
                raise self.failure(error)
            first = error
        # The connection failed: a new one lets the domain go on.
        try:
            libvirt.open(self.uri).lookupByName(self.domain).resume()
        except libvirt.libvirtError as error:
            raise ResumeFailed("domain %s is still paused: resume failed (%s; then %s): "
                               "virsh resume %s" % (self.domain, first, error, self.domain))

    def close(self):
        stream = getattr(self, "stream", None)
        try:
            if stream:
                stream.abort()
            for kind, ident in self.callbacks:
                if kind == "qemu":
                    libvirt_qemu.qemuMonitorEventDeregister(self.conn, ident)
                else:
                    self.conn.domainEventDeregisterAny(ident)
            if self.conn:
                self.conn.close()
        except libvirt.libvirtError:
            pass


def _json(text):
    try:
        return json.loads(text) if text else {}
    except ValueError:
        return {}


def reachable(path):
    """None when this side may connect to the unix socket at path; else why not."""
    try:
        os.stat(path)
    except FileNotFoundError:
        return "no such socket here"
    except PermissionError:
        return "permission denied: a folder on its way is closed to this user"
    if not os.access(path, os.W_OK):
        return "permission denied: the socket is not writable for this user"
    return None


def wait_alone(path, seconds):
    """Waits until no other client is connected to the unix socket at path
    (QEMU serves one at a time); Busy when seconds pass first."""
    if not chanpipe_port.poll_until(lambda: not clients(path), seconds, 0.1):
        raise Busy("another client held %s for %g s (QEMU serves one at a time)" % (
            path, seconds))


def clients(path):
    """How many connections the unix socket at path has (accepted or
    waiting), from /proc/net/unix, where each shows with the path besides
    the listening socket; 0 where that cannot be read."""
    try:
        with open("/proc/net/unix") as table:
            rows = [line.split() for line in table][1:]
    except OSError:
        return 0
    # Num RefCount Protocol Flags Type St Inode Path; a listener's Flags has
    # __SO_ACCEPTCON (0x10000).
    return sum(1 for row in rows if len(row) >= 8 and row[7] == path and
               not int(row[3], 16) & 0x10000)
