#!/usr/bin/env python3
"""The soak's host side: serves the guest's requests during the boot, then
judges every run byte for byte and prints the table.

  soak-host.py serve CONTROL SOURCE STATE    during the boot
  soak-host.py judge STATE SINK REPORT        after it

serve listens on the unix socket CONTROL, which QEMU connects to as the
guest's second serial line, and feeds the port "source" through the unix
socket SOURCE that QEMU serves. It keeps what it sent and what the guest
reported in the folder STATE. judge reads SINK, the file behind the port
"sink", and writes the table to REPORT (and standard output); its status
is 1 when chanpipe hung or lost anything, or the soak did not run to its
end.
"""
import hashlib
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

CHUNK = 65536


def log(text):
    print("soak-host: " + text, file=sys.stderr, flush=True)


class Feed:
    """One connection to the port "source" and the payload sent on it."""

    def __init__(self, ident, size, cut, path, state):
        self.ident, self.size, self.cut = ident, size, cut
        self.sent, self.sha = 0, hashlib.sha256()
        # What a cut feed sent is kept: the guest may get only a prefix.
        self.keep = open(os.path.join(state, f"feed-{ident}"), "wb") if cut != "none" else None
        self.sock = None
        deadline = time.monotonic() + 30
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(path)
                self.sock = s
                return
            except OSError:
                s.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def send(self):
        # A cut feed sends a quarter, pauses while the guest copies it, sends
        # another quarter and goes away in the middle of the copy: by
        # closing the socket, or with a reset.
        if self.cut == "none":
            parts = [self.size]
        else:
            parts = [self.size // 4, self.size // 4]
        try:
            for n, part in enumerate(parts):
                if n:
                    time.sleep(0.2)
                left = part
                while left:
                    data = os.urandom(min(CHUNK, left))
                    self.sock.sendall(data)
                    self.sha.update(data)
                    if self.keep:
                        self.keep.write(data)
                    self.sent += len(data)
                    left -= len(data)
            if self.cut == "reset":
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            elif self.cut == "none":
                # As socat does: end the data, then wait for QEMU to hang up.
                self.sock.shutdown(socket.SHUT_WR)
                while self.sock.recv(CHUNK):
                    pass
        except OSError as e:
            log(f"feed {self.ident}: {e} after {self.sent} bytes")
        finally:
            self.close()

    def close(self):
        if self.keep:
            self.keep.close()
        try:
            self.sock.close()
        except OSError:
            pass


def serve(control, source, state):
    os.makedirs(state, exist_ok=True)
    results = open(os.path.join(state, "results.txt"), "w")
    feeds_file = open(os.path.join(state, "feeds.txt"), "w")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    if os.path.exists(control):
        os.unlink(control)
    listener.bind(control)
    listener.listen(1)
    listener.settimeout(120)
    conn, _ = listener.accept()
    listener.close()
    conn.settimeout(None)
    reader = conn.makefile("rb")
    feed, sender, busy, count = None, None, None, 0

    def finish_feed():
        nonlocal feed, sender
        if feed is None:
            return
        if sender is not None:
            sender.join(5)
            if sender.is_alive():
                # The guest stopped reading (a hung run): end the connection.
                feed.sock.shutdown(socket.SHUT_RDWR)
                sender.join()
        else:
            feed.close()
        feeds_file.write(f"{feed.ident} {feed.sent} {feed.sha.hexdigest()}\n")
        feeds_file.flush()
        feed, sender = None, None

    def stop_busy():
        nonlocal busy
        if busy is not None:
            busy.kill()
            busy.wait()
            busy = None

    try:
        for raw in reader:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            words = line.split()
            if not words:
                continue
            if words[0] == "FEED":
                finish_feed()
                try:
                    feed = Feed(words[1], int(words[2]), words[3], source, state)
                except OSError as e:
                    # The run goes on without a host and is judged as lost.
                    log(f"feed {words[1]}: cannot connect: {e}")
                conn.sendall(f"FED {words[1]}\n".encode())
            elif words[0] == "GO" and feed is not None and feed.ident == words[1]:
                sender = threading.Thread(target=feed.send)
                sender.start()
            elif words[0] == "BUSY":
                stop_busy()
                if words[1] == "1":
                    busy = subprocess.Popen(["sh", "-c", "while :; do :; done"])
            elif words[0] == "RESULT":
                # A read run's feed is over once the guest reports it.
                finish_feed()
                results.write(line + "\n")
                results.flush()
                count += 1
                if count % 200 == 0:
                    log(f"{count} runs")
            elif words[0] in ("HANGINFO", "WEDGED"):
                results.write(line + "\n")
                results.flush()
                log(line)
            elif words[0] == "END":
                results.write(line + "\n")
                break
    finally:
        finish_feed()
        stop_busy()
        results.close()
        feeds_file.close()
        conn.close()


def parse(line):
    fields = {}
    for word in line.split()[1:]:
        key, _, value = word.partition("=")
        fields[key] = value
    return fields


DIRS = {"r": "host → guest", "w": "guest → host", "wkill": "guest → host"}


def case_of(f, big):
    if f["dir"] == "wkill":
        return "killed midway (" + f["in"] + ")"
    if f["dir"] == "r" and f["cut"] != "none":
        return "host goes midway (" + f["cut"] + ")"
    if f.get("after") == "kill":
        return "right after a kill"
    if big and int(f["size"]) == big:
        return f"{big // 1048576} MiB"
    if f["busy"] == "1":
        return "host CPU busy"
    return "mixed sizes"


def judge(state, sink, report):
    feeds = {}
    with open(os.path.join(state, "feeds.txt")) as fh:
        for line in fh:
            ident, sent, digest = line.split()
            feeds[ident] = (int(sent), digest)
    lines = open(os.path.join(state, "results.txt")).read().splitlines()
    big = int(open(os.path.join(state, "big")).read()) if os.path.exists(os.path.join(state, "big")) else 0
    rows, problems, hanginfo, cuts = {}, [], [], {}
    ends = [line.split() for line in lines if line.startswith("END")]
    ended = bool(ends)
    offset = 0
    sink_file = open(sink, "rb")
    total = 0
    for line in lines:
        if line.startswith("HANGINFO") or line.startswith("WEDGED"):
            hanginfo.append(line)
            continue
        if not line.startswith("RESULT"):
            continue
        f = parse(line)
        tool, status, hung = f["tool"], int(f["status"]), f["hung"] == "1"
        why = []
        if f["dir"] == "r":
            sent, digest = feeds.get(f["id"], (-1, ""))
            moved = int(f["got"])
            if sent < 0:
                why.append("the host has no record of its feed")
            if f["cut"] != "none":
                # A host that goes away may lose what QEMU had not yet taken
                # (dd alike); what arrived must be a prefix, byte for byte.
                with open(os.path.join(state, "feed-" + f["id"]), "rb") as fh:
                    digest = hashlib.sha256(fh.read(moved)).hexdigest()
                cut = cuts.setdefault((tool, f["cut"], sent), [])
                cut.append((moved, status))
                if moved > sent or f["sha"] != digest:
                    why.append(f"the {moved} bytes that arrived are not what the host sent first")
            elif moved != sent or f["sha"] != digest:
                why.append(f"got {moved} bytes of {sent} sent, sha256 {'equal' if f['sha'] == digest else 'differs'}")
            if int(f["counted"]) != moved:
                why.append(f"driver counted {f['counted']} received")
            if f["discarded"] != "0":
                why.append(f"driver discarded {f['discarded']}")
            ok_status = status == 0
        else:
            moved = int(f["sent"])
            data = sink_file.read(moved)
            if len(data) != moved or hashlib.sha256(data).hexdigest() != f["sha"]:
                why.append(f"the host file differs from the {moved} bytes the driver sent")
            offset += moved
            if f["dir"] == "wkill":
                ok_status = status == 137 or (status == 0 and moved == int(f["size"]))
            else:
                ok_status = status == 0
                if moved != int(f["size"]):
                    why.append(f"sent {moved} of {f['size']} bytes")
        if not ok_status and not hung:
            why.append(f"status {status}")
        if f["errok"] != "1":
            why.append("standard error holds more than progress lines")
        total += moved
        key = (tool, DIRS[f["dir"]], case_of(f, big))
        row = rows.setdefault(key, [0, 0, 0, 0])
        row[0] += 1
        row[3] += moved
        if hung:
            row[1] += 1
            problems.append(f"HANG {tool} {f['dir']} size {f['size']} run {f['id']}: {line}")
        elif why:
            row[2] += 1
            problems.append(f"INCOMPLETE {tool} {f['dir']} size {f['size']} run {f['id']}: {'; '.join(why)}")
    rest = len(sink_file.read())
    if rest:
        problems.append(f"the host file holds {rest} bytes more than the driver counted as sent")
    out = ["| tool | direction | case | runs | hangs | incomplete | bytes |", "|---|---|---|---:|---:|---:|---:|"]
    order = lambda k: (k[0] != "chanpipe", k[1], k[2] != "mixed sizes", k[2])
    for key in sorted(rows, key=order):
        r = rows[key]
        out.append(f"| {key[0]} | {key[1]} | {key[2]} | {r[0]} | {r[1]} | {r[2]} | {r[3]} |")
    per_tool = {}
    for key, r in rows.items():
        t = per_tool.setdefault(key[0], [0, 0, 0, 0])
        for i in range(4):
            t[i] += r[i]
    out.append("")
    for tool, t in sorted(per_tool.items()):
        out.append(f"{tool}: {t[0]} runs, {t[1]} hangs, {t[2]} incomplete, {t[3]} bytes")
    out.append(f"total: {sum(t[0] for t in per_tool.values())} runs, {total} bytes moved")
    if not ended:
        problems.append("the guest did not reach the end of the soak")
    reported = sum(1 for line in lines if line.startswith("RESULT"))
    if ended and len(ends[0]) > 1 and int(ends[0][1]) != reported:
        problems.append(f"the guest ran {ends[0][1]} runs, the host has results of {reported}")
        ended = False
    out.append("")
    for (tool, cut, sent), got in sorted(cuts.items()):
        statuses = ", ".join(sorted({str(status) for _, status in got}))
        moved = sorted(m for m, _ in got)
        out.append(f"{tool} r, host {cut}s after {sent} bytes: {len(got)} runs, status {statuses},"
                   f" {moved[0]} to {moved[-1]} bytes arrived")
    out += [""] + problems + hanginfo
    text = "\n".join(out) + "\n"
    with open(report, "w") as fh:
        fh.write(text)
    sys.stdout.write(text)
    bad = not ended or any("chanpipe" == k[0] and (r[1] or r[2]) for k, r in rows.items())
    bad = bad or bool(rest) or "chanpipe" not in per_tool
    return 1 if bad else 0


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    if len(sys.argv) == 5 and sys.argv[1] == "serve":
        serve(*sys.argv[2:])
        return 0
    if len(sys.argv) == 5 and sys.argv[1] == "judge":
        return judge(*sys.argv[2:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
