#!/usr/bin/env python3
"""The host side of the host-command test: every host command that
README.md and the man pages print, run as printed against chanpipe in a
QEMU guest, every Linux guest command they print, run as printed in the
guest against chanpipe-host, and chanpipe-host's own failures.

    commands.py ports ROOT                      the port names the commands use
    commands.py run ROOT SOCKETS WORK TCPPORT   during the boot: serve the guest, run, judge

A host command is a line of a README code block, or of a man page's
literal display after "$ ", that starts with "socat" or "chanpipe-host".
Only its socket folder /run/vm/ and the file after "<" or ">" are
replaced; a command that feeds a file sends to the guest's `chanpipe r
NAME`, one that fills a file takes what `chanpipe w NAME` sends. NAME is
the port of the socket /run/vm/NAME.sock or of --port NAME.

A guest command is a line of a README `sh` code block, or of a man page's
literal display after "$ ", that runs `chanpipe r NAME` or `chanpipe w
NAME` with a redirection. It runs in the guest as printed, in a folder of
its own, with chanpipe on the PATH; the file it reads (after "<", or in
the folder that `tar -cf -` packs) is filled first, and what it writes
(after ">", or what `tar -xf -` unpacks) is judged. Its host end is
chanpipe-host with --qmp and --port NAME, which ends by itself.

The guest (guest.sh) listens on its second serial line, one step at a
time: STEP ID DIR NAME SIZE MODE; it answers READY ID once the port's
last host has gone, runs its side once this one has connected, and
reports DONE ID status=S size=N sha=SHA256. For a guest command, MODE
is "line", followed by the file to fill or judge and the command.
"""

import glob
import hashlib
import os
import re
import shlex
import socket
import subprocess
import sys
import tarfile
import time

MIB = 1 << 20
SIZES = [0, 4097, 64 * MIB]
GUEST_SIZE = MIB + 4097  # the payload of each guest command
BOX = 60  # seconds a command may take, a hang guard
HOST_DIR = "/run/vm/"


# A redirection of the command's own standard input or output.
REDIRECTION = re.compile(r"(?<=\s)([<>]) *(\S+)")


class Command:
    def __init__(self, text, port=None):
        self.text, self.where, self.line = text, [], None
        kinds = {m.group(1) for m in REDIRECTION.finditer(text)}
        if len(kinds) != 1:
            raise ValueError("neither feeds a file nor fills one")
        self.sends = kinds == {"<"}
        words = shlex.split(text)
        found = re.search(re.escape(HOST_DIR) + r"([^ ,/]+)\.sock", text)
        port = port or (words[words.index("--port") + 1] if "--port" in words else None)
        self.port = port or (found and found.group(1))
        if not self.port or self.port == "qmp":
            raise ValueError("names no port")

    def concrete(self, sockets, payload, output):
        """The command as the test runs it."""
        return REDIRECTION.sub(lambda m: "%s %s" % (m.group(1), payload if m.group(1) == "<"
                                                    else output),
                               self.text.replace(HOST_DIR, sockets + "/"))


class GuestLine:
    """A guest command, and the host command at its other end."""

    def __init__(self, text):
        self.text, self.where = text, []
        words = shlex.split(text)
        at = next(i for i, w in enumerate(words[:-2]) if w == "chanpipe" and
                  words[i + 1] in ("r", "w"))
        reads, self.port = words[at + 1] == "r", words[at + 2]
        self.tar = "tar" in words
        if self.tar:  # the archive holds the one file
            self.file = "data" if reads else words[words.index("-") + 1] + "/data"
        else:
            self.file = REDIRECTION.search(text).group(2)
        self.command = Command("chanpipe-host %s --qmp /run/vm/qmp.sock --port %s %s x" % (
            "send" if reads else "recv", self.port, "<" if reads else ">"), self.port)
        self.command.where, self.command.line = self.where, self


def printed(root):
    """(text, where, language) of every line the documents print as a
    command: in a README code block ("sh", "bat", "xml" or ""), its comment
    left out, or after "$ " in a man page's literal display ("sh")."""
    lines = open(os.path.join(root, "README.md")).read().splitlines()
    inside, language = False, ""
    for number, line in enumerate(lines, 1):
        if line.startswith("```"):
            inside, language = not inside, line[3:].strip()
        elif inside and line.strip():
            yield re.sub(r"\s+#.*$", "", line).strip(), "README.md:%d" % number, language
    for page in sorted(glob.glob(os.path.join(root, "docs", "*.1"))):
        inside = False
        for number, line in enumerate(open(page).read().splitlines(), 1):
            if line.startswith(".Bd -literal"):
                inside = True
            elif line.startswith(".Ed"):
                inside = False
            elif inside and line.startswith("$ "):
                text = line[2:].replace("\\e", "\\").replace("\\-", "-").replace("\\&", "")
                yield text, "docs/%s:%d" % (os.path.basename(page), number), "sh"


def documented(root):
    """{command text, its file names left out: Command}, with where each
    stands, and {guest command text: GuestLine}. Commands for a libvirt
    domain (--domain) are the libvirt tests'."""
    found, guest = {}, {}
    for text, where, language in printed(root):
        words = text.split()
        if words[:1] in (["socat"], ["chanpipe-host"]) and "--domain" not in words:
            try:  # the same command with other file names is run once
                command = found.setdefault(REDIRECTION.sub(r"\1 FILE", text), Command(text))
            except ValueError as error:
                sys.exit("%s: a host command the test cannot run (%s): %s" % (where, error, text))
            command.where.append(where)
        if language == "sh" and \
                any(w == "chanpipe" and n in ("r", "w") for w, n in zip(words, words[1:])) and \
                (REDIRECTION.search(text) or "|" in words):
            guest.setdefault(text, GuestLine(text)).where.append(where)
    return found, guest


class Step:
    def __init__(self, ident, command, size, mode="plain", status=0, says=""):
        self.id, self.command, self.size, self.mode = ident, command, size, mode
        self.status, self.says = status, says  # what the host command must do
        self.problems, self.detail = [], ""


def cases(tcp_port):
    """chanpipe-host's own runs: the other ways to name the port, and its failures."""
    c = "chanpipe-host send --qmp /run/vm/qmp.sock "
    r = "chanpipe-host recv --qmp /run/vm/qmp.sock "
    tcp = "--tcp 127.0.0.1:%d --qmp /run/vm/qmp.sock " % tcp_port
    return [
        (Command("chanpipe-host send " + tcp + "< x", "tcpdata"), 4097, "plain", 0, ""),
        (Command("chanpipe-host recv " + tcp + "> x", "tcpdata"), 4097, "plain", 0, ""),
        (Command("cd /run/vm/ && chanpipe-host send --socket inputs.sock --qmp qmp.sock < x",
                 "inputs"), 4097, "plain", 0, ""),
        (Command(c + "--port nosuch < x"), 0, "none", 2, "no virtio-serial port called nosuch"),
        (Command(c + "--port inputs --wait 3 < x"), 4097, "none", 3, "no reader in the guest"),
        (Command(r + "--port logs --wait 3 > x"), 0, "none", 3, "no writer in the guest"),
        (Command(c + "--port inputs < x"), 64 * MIB, "short", 4, "the guest closed the port"),
    ]


def plan(documents, tcp_port):
    commands, lines = documents
    steps = []
    for line in lines.values():
        steps.append(Step(len(steps) + 1, line.command, GUEST_SIZE, "line"))
    for command in commands.values():
        for size in SIZES:
            steps.append(Step(len(steps) + 1, command, size))
        if command.sends:  # a reader that stalls near the end
            steps.append(Step(len(steps) + 1, command, 64 * MIB, "stall"))
    for command, size, mode, status, says in cases(tcp_port):
        command.where = ["case"]
        steps.append(Step(len(steps) + 1, command, size, mode, status, says))
    return steps


class Guest:
    """The guest's second serial line, through QEMU's connection to us."""

    def __init__(self, path):
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(1)
        listener.settimeout(120)
        self.conn, _ = listener.accept()
        listener.close()
        self.file = self.conn.makefile("rb")

    def send(self, line):
        self.conn.sendall(line.encode() + b"\n")

    def expect(self, word, ident, seconds):
        self.conn.settimeout(seconds)
        try:
            for raw in self.file:
                words = raw.decode("utf-8", "replace").split()
                if words[:2] == [word, str(ident)] or (word == "HELLO" and words[:1] == [word]):
                    return dict(w.split("=", 1) for w in words[2:] if "=" in w)
        except (socket.timeout, OSError):
            pass
        return None


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(MIB):
            digest.update(block)
    return digest.hexdigest()


def received(output, line):
    """(size, SHA-256) of what the host command wrote; of the one file in
    it, when it is the tar archive of a guest command."""
    if not os.path.exists(output):
        return -1, ""
    if not (line and line.tar):
        return os.path.getsize(output), sha256(output)
    try:
        with tarfile.open(output) as archive:
            data = archive.extractfile(line.file).read()
    except (tarfile.TarError, KeyError, AttributeError) as error:
        return -1, "no %s in the archive: %s" % (line.file, error)
    return len(data), hashlib.sha256(data).hexdigest()


def run_step(step, guest, sockets, work, payloads, env):
    direction, line = "r" if step.command.sends else "w", step.command.line
    guest.send("STEP %d %s %s %d %s%s" % (step.id, direction, step.command.port, step.size,
                                          step.mode, " %s %s" % (line.file, line.text)
                                          if line else ""))
    if guest.expect("READY", step.id, 120) is None:
        step.problems.append("the guest never got ready")
        return
    output = os.path.join(work, "out-%d" % step.id)
    payload = payloads["tar" if line and line.tar else step.size][0]
    text = step.command.concrete(sockets, payload, output)
    started = time.monotonic()
    process = subprocess.Popen(text, shell=True, cwd=work, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               start_new_session=True)
    try:
        err = process.communicate(timeout=BOX)[1].decode("utf-8", "replace").strip()
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, 9)
        err = process.communicate()[1].decode("utf-8", "replace").strip()
        step.problems.append("did not end within %d s" % BOX)
    seconds = time.monotonic() - started
    done = guest.expect("DONE", step.id, BOX + 60)
    if done is None:
        step.problems.append("no word from the guest")
        return
    if process.returncode != step.status:
        step.problems.append("status %s, expected %d" % (process.returncode, step.status))
    if step.says not in err:
        step.problems.append("no %r on standard error" % step.says)
    last = err.splitlines()[-1] if err else ""
    if step.mode in ("plain", "stall", "line"):
        if done.get("status") != "0":
            step.problems.append("the guest's %s status %s" % (
                "command" if line else "chanpipe", done.get("status")))
        guest = int(done.get("size", -1)), done.get("sha")
        if step.command.sends:
            sent, got = (step.size, payloads[step.size][1]), guest
        else:
            sent, got = guest, received(output, line)
        if got != sent or sent[0] != step.size:
            step.problems.append("%d of %d bytes arrived%s" % (
                got[0], step.size, ", not the same bytes" if got[0] == step.size else ""))
        step.detail = "%d B moved in %.1f s" % (got[0], seconds)
    else:
        step.detail = "status %s in %.1f s, guest chanpipe %s" % (
            process.returncode, seconds, done.get("status"))
    if last:
        step.detail += "; " + last[:100]
    if os.path.exists(output):
        os.unlink(output)


def run(root, sockets, work, tcp_port):
    steps = plan(documented(root), int(tcp_port))
    payloads = {}
    for size in SIZES + [GUEST_SIZE]:
        path = os.path.join(work, "payload-%d" % size)
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        payloads[size] = (path, sha256(path))
    # For `chanpipe r NAME | tar -xf -`: the guest's payload as the file "data".
    path = os.path.join(work, "payload-tar")
    with tarfile.open(path, "w") as archive:
        archive.add(payloads[GUEST_SIZE][0], "data")
    payloads["tar"] = (path, payloads[GUEST_SIZE][1])
    env = dict(os.environ, PATH=os.path.join(root, "host") + os.pathsep + os.environ["PATH"])
    guest = Guest(os.path.join(sockets, "control"))
    if guest.expect("HELLO", 0, 120) is None:
        print("FAIL: no word from the guest")
        return 1
    for step in steps:
        run_step(step, guest, sockets, work, payloads, env)
        print("%-4s %-4s %-10s %-16s %s" % (step.id, "FAIL" if step.problems else "ok",
                                            step.mode, ",".join(step.command.where)[:16],
                                            step.command.text), flush=True)
        if step.command.line:
            print("          guest: " + step.command.line.text, flush=True)
        for problem in step.problems:
            print("          FAIL: " + problem, flush=True)
        print("          " + step.detail, flush=True)
    guest.send("END")
    failed = [s for s in steps if s.problems]
    print("%d passed, %d failed" % (len(steps) - len(failed), len(failed)))
    return 1 if failed else 0


def ports(root):
    commands, lines = documented(root)
    print("\n".join(sorted({c.port for c in list(commands.values()) + list(lines.values())})))
    return 0


def main():
    command, count = {"ports": (ports, 1), "run": (run, 4)}.get(
        sys.argv[1] if len(sys.argv) > 1 else "", (None, -1))
    if command is None or len(sys.argv) - 2 != count:
        print(__doc__, file=sys.stderr)
        return 2
    return command(*sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
