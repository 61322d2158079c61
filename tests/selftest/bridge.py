"""A simulated port's host end as QEMU would show it: a unix socket for the
port, and a QMP socket that tells when the guest opens and closes it. A
test fixture for the self-test kit under Wine, never shipped.

The port is driven through `simport-ctl host INDEX`, one long-running Wine
program whose standard input takes requests and whose standard output
gives what the guest wrote and every change of the guest's handles (see
simport/ctl.c).

The simulated driver has no "no host" state of its own: from its plug on,
a read waits for bytes until the host closes (then it ends with error
109), and a write is taken at once and kept for the host. The bridge maps
QEMU's host end onto that:
  * A connection to the port socket is the host connecting: bytes from it
    go to the guest. Like QEMU, the bridge reads the connection only while
    the guest has the port open, and a connection that is fully closed
    counts as gone at once, a half-closed one only once its bytes are read.
  * The guest sees a new connection only once the driver has taken it
    (simport-ctl acknowledges): until then the bridge passes nothing on,
    so the host cannot answer what the guest wrote with a reader that
    still finds the host gone.
  * The end of a connection is the host closing the port. Once the guest
    has let the port go after that (it has seen the host leave), the
    driver makes the port the host's again, keeping what the guest writes
    meanwhile for the next connection: the host protocol never starts a
    reader without a host, and nothing the guest wrote is lost.
  * QMP: query-chardev (with frontend-open), qom-list and qom-get of the
    port's chardev, and VSERPORT_CHANGE events, held back like QEMU's to
    one a second, the newest change kept.
  * QMP stop and cont (and query-status): a paused QEMU runs no guest code
    and moves no byte, so stop sends SIGSTOP to the guest's programs (the
    process group guest_group: Wine's cmd.exe and the chanpipe.exe it
    starts) and the bridge moves nothing either way until cont.
"""

import json
import os
import select
import signal
import socket
import struct
import threading
import time

EVENT_WINDOW = 1.0


class Bridge:
    def __init__(self, ctl, port_path, qmp_path, port_id="selftest0", label="selftest"):
        self.ctl = ctl  # the simport-ctl host process, stdin and stdout pipes
        self.port_path, self.port_id, self.label = port_path, port_id, label
        self.lock = threading.Lock()
        self.acked = threading.Condition()
        self.told = self.acks = 0  # host comings and goings sent, and taken
        self.handles = 0
        self.transitions = 0  # the guest's opens and closes so far
        self.to_host = bytearray()
        self.client = None
        self.stopping = False
        self.paused, self.guest_group = False, None
        self.qmp_clients = []
        self.last_emit = -EVENT_WINDOW
        self.pending = None
        self.timer = None
        self.port_server = self._listen(port_path)
        self.qmp_server = self._listen(qmp_path)
        self.request(b"C")  # no host yet
        self.threads = [threading.Thread(target=f, daemon=True)
                        for f in (self._records, self._port_loop, self._qmp_accept)]
        for t in self.threads:
            t.start()

    @staticmethod
    def _listen(path):
        if os.path.exists(path):
            os.unlink(path)
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.bind(path)
        s.listen(1)
        return s

    def request(self, kind, data=b""):
        with self.lock:
            self.ctl.stdin.write(kind + struct.pack("<I", len(data)) + data)
            self.ctl.stdin.flush()
            if kind in b"CHO":
                self.told += 1
                return self.told

    def wait_for_host(self, process, seconds):
        """Waits until the host's connection is the guest's to see, or process
        ends; False when neither came within seconds."""
        deadline = time.monotonic() + seconds
        while self.client is None and process.poll() is None:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)
        return True

    def taken(self, count, seconds=120):
        """Waits until the driver has taken the first count comings and goings."""
        with self.acked:
            if not self.acked.wait_for(lambda: self.acks >= count or self.stopping, seconds):
                raise RuntimeError("simport-ctl host took no request for %g s" % seconds)

    def stop(self):
        self.stopping = True
        with self.acked:
            self.acked.notify_all()
        try:
            self.request(b"Q")
        except OSError:
            pass
        for s in (self.port_server, self.qmp_server, self.client):
            if s:
                s.close()

    # ---- the driver's side ----

    def _read(self, size):
        data = b""
        while len(data) < size:
            block = self.ctl.stdout.read(size - len(data))
            if not block:
                return None
            data += block
        return data

    def _records(self):
        while True:
            head = self._read(5)
            if head is None:
                return
            body = self._read(struct.unpack("<I", head[1:])[0])
            if body is None:
                return
            if head[:1] == b"A":
                with self.acked:
                    self.acks += 1
                    self.acked.notify_all()
            elif head[:1] == b"D":
                with self.lock:
                    self.to_host += body
            elif head[:1] == b"S":
                handles, closes = struct.unpack("<II", body)
                self._handles(handles, closes)

    def _handles(self, handles, closes):
        # One handle at a time: opens and closes alternate, so the counts
        # tell every change, even one that came and went between two looks.
        total = handles + 2 * closes
        with self.lock:
            changes = range(self.transitions, total)
            self.handles = handles
            self.transitions = max(total, self.transitions)
        for n in changes:
            self.event(n % 2 == 0)

    # ---- the port socket ----

    def _hang_up(self):
        self.client.close()
        self.client = None
        self.request(b"H")

    def _port_loop(self):
        while not self.stopping:
            if self.paused:
                time.sleep(0.01)
                continue
            if self.client is None:
                readable, _, _ = select.select([self.port_server], [], [], 0.05)
                if readable and not self.stopping:
                    client, _ = self.port_server.accept()
                    self.taken(self.request(b"O"))
                    self.client = client
                continue
            with self.lock:
                out, guest_open = bytes(self.to_host), self.handles > 0
                del self.to_host[:]
            try:
                if out:
                    self.client.sendall(out)
                poller = select.poll()
                poller.register(self.client, select.POLLIN | select.POLLHUP)
                events = poller.poll(5)
                if not events:
                    continue
                flags = events[0][1]
                if guest_open and flags & select.POLLIN:
                    block = self.client.recv(60000)
                    if block:
                        self.request(b"P", block)
                    else:
                        self._hang_up()
                elif flags & select.POLLHUP and not self.client.recv(1, socket.MSG_PEEK):
                    self._hang_up()
                else:
                    time.sleep(0.005)
            except OSError:
                if self.client:
                    self._hang_up()

    # ---- QMP ----

    def _qmp_accept(self):
        while not self.stopping:
            try:
                conn, _ = self.qmp_server.accept()
            except OSError:
                return
            threading.Thread(target=self._qmp_serve, args=(conn,), daemon=True).start()

    def _send(self, conn, message):
        try:
            conn.sendall(json.dumps(message).encode() + b"\r\n")
        except OSError:
            pass

    def _qmp_serve(self, conn):
        self._send(conn, {"QMP": {"version": {"qemu": {"major": 7, "minor": 2, "micro": 0},
                                              "package": "chanpipe selftest bridge"},
                                  "capabilities": []}})
        with self.lock:
            self.qmp_clients.append(conn)
        for line in conn.makefile("rb"):
            try:
                request = json.loads(line)
            except ValueError:
                continue
            reply = self._answer(request.get("execute"), request.get("arguments", {}))
            if "id" in request:
                reply["id"] = request["id"]
            self._send(conn, reply)

    def _answer(self, name, args):
        with self.lock:
            is_open = self.handles > 0
        if name == "qmp_capabilities":
            return {"return": {}}
        if name in ("stop", "cont"):
            self.pause(name == "stop")
            return {"return": {}}
        if name == "query-status":
            return {"return": {"status": "paused" if self.paused else "running",
                               "running": not self.paused, "singlestep": False}}
        if name == "query-chardev":
            # QEMU's way of saying that no client holds the socket
            gone = "disconnected:" if self.client is None else ""
            return {"return": [{"label": self.label, "filename": "%sunix:%s,server=on" % (
                gone, self.port_path), "frontend-open": is_open}]}
        if name == "qom-list" and args.get("path") == "/machine/peripheral":
            return {"return": [{"name": self.port_id, "type": "child<virtserialport>"}]}
        if name == "qom-get" and args.get("path") == "/machine/peripheral/" + self.port_id \
                and args.get("property") == "chardev":
            return {"return": self.label}
        return {"error": {"class": "GenericError", "desc": "not in this bridge: %s" % name}}

    def pause(self, on):
        if on == self.paused:
            return
        self.paused = on
        if self.guest_group:
            os.killpg(self.guest_group, signal.SIGSTOP if on else signal.SIGCONT)
        with self.lock:
            self._broadcast("STOP" if on else "RESUME", {})

    def event(self, is_open):
        """Sends VSERPORT_CHANGE now, or at the end of the window."""
        with self.lock:
            now = time.monotonic()
            if self.timer is None and now - self.last_emit >= EVENT_WINDOW:
                self._emit(is_open, now)
            else:
                self.pending = is_open
                if self.timer is None:
                    self.timer = threading.Timer(self.last_emit + EVENT_WINDOW - now, self._flush)
                    self.timer.daemon = True
                    self.timer.start()

    def _flush(self):
        with self.lock:
            self.timer = None
            if self.pending is not None:
                self._emit(self.pending, time.monotonic())
                self.pending = None

    def _emit(self, is_open, now):
        # Under the lock.
        self.last_emit = now
        self._broadcast("VSERPORT_CHANGE", {"id": self.port_id, "open": is_open})

    def _broadcast(self, name, data):
        # Under the lock.
        stamp = time.time()
        message = {"event": name, "data": data,
                   "timestamp": {"seconds": int(stamp), "microseconds": int(stamp % 1 * 1e6)}}
        for conn in self.qmp_clients:
            self._send(conn, message)
