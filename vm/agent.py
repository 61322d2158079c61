"""The host's end of vm/agent-guest.sh, the guest's agent: requests go out
on the guest's serial line, one a line ("ID COMMAND"), and their answers
come back in any order ("ID OUTPUT"), each with the time it came.

    agent = Agent(["/tmp/x/ctl"], 90)      # QEMU connects to it, the guest says READY
    ident = agent.ask("xfer chanpipe r logs 60 /tmp/out")
    fields = agent.answer(ident)           # {"status": "0", ..., "err": ..., "at": ...}

Python 3 and its standard library only.
"""
import os
import select
import socket
import threading
import time

# A request sent within a few milliseconds of the guest's last line loses
# its front on QEMU's emulated serial line (seen here, after a request that
# ran for seconds): requests keep this far from it.
SPACING = 0.2


class Failed(Exception):
    pass


class Agent:
    """The guest's agent on its serial line. A migration's destination has
    a line of its own; requests go to the line the guest last spoke on.
    Each path is a unix socket this side listens on, which QEMU connects
    to; `seconds` is how long answer() waits by default. With accept
    False, the caller starts QEMU and then calls accept()."""

    def __init__(self, paths, seconds, accept=True):
        self.cond = threading.Condition()
        self.answers, self.line, self.count, self.seconds = {}, None, 0, seconds
        self.heard = 0.0  # when the guest's last line came
        self.listeners = []
        for path in paths:
            listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            # Listening before its name shows: QEMU connects once it sees it.
            listener.bind(path + ".new")
            listener.listen(1)
            os.rename(path + ".new", path)
            self.listeners.append(listener)
        if accept:
            self.accept(120)

    def accept(self, seconds):
        """Takes QEMU's connections and waits for the guest's READY."""
        for listener in self.listeners:
            listener.settimeout(seconds)
        self.lines = [listener.accept()[0] for listener in self.listeners]
        self.line = self.lines[0]
        for listener in self.listeners:
            listener.close()
        threading.Thread(target=self._read, daemon=True).start()
        self.answer("READY", seconds)

    def _read(self):
        buffers = {line: b"" for line in self.lines}
        while buffers:
            for line in select.select(list(buffers), [], [])[0]:
                block = line.recv(65536)
                if not block:
                    del buffers[line]
                    continue
                buffers[line] += block
                while b"\n" in buffers[line]:
                    text, _, buffers[line] = buffers[line].partition(b"\n")
                    ident, _, rest = text.decode("utf-8", "replace").strip().partition(" ")
                    with self.cond:
                        self.heard = time.monotonic()
                        self.line, self.answers[ident] = line, (rest, self.heard)
                        self.cond.notify_all()

    def ask(self, command):
        """Sends a request; returns its id."""
        time.sleep(max(0.0, self.heard + SPACING - time.monotonic()))
        with self.cond:
            self.count += 1
            self.line.sendall(b"%d %s\n" % (self.count, command.encode()))
            return str(self.count)

    def done(self, ident):
        """Whether the answer to the request has come (and is not taken yet)."""
        with self.cond:
            return ident in self.answers

    def answer(self, ident, seconds=None):
        """The answer's key=value words; "err" is the rest of the line, "at"
        when it came, "text" the whole. Failed when none comes within seconds."""
        seconds = self.seconds if seconds is None else seconds
        with self.cond:
            if not self.cond.wait_for(lambda: ident in self.answers, seconds):
                raise Failed("the guest did not answer request %s within %d s" % (ident, seconds))
            text, at = self.answers.pop(ident)
        words, _, err = (" " + text).partition(" err=")
        fields = dict(w.split("=", 1) for w in words.split() if "=" in w)
        fields.update(err=err.strip(), at=at, text=text)
        return fields
