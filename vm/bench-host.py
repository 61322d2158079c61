#!/usr/bin/env python3
"""The host side of scripts/bench-host.sh: the host tools at the other end
of the guest's chanpipe, in one boot, round after round.

    bench-host.py SOCKETS WORK ROUNDS MIB TOOL...

SOCKETS holds the guest's serial line (ctl, this side listens), the QMP
socket (qmp) and the ports' sockets (source.sock: host to guest, sink.sock:
guest to host). WORK/payload is the payload, the same as the guest's
/data/payload. A TOOL is socat, or NAME=DIR for the chanpipe-host in DIR,
run once with --socket and once with --qmp (NAME and NAME+qmp).

Host to guest, the guest's `chanpipe r source` reads into a file; the time
is the host command's, from its start to its end. Guest to host, the
guest's `chanpipe w sink` sends the payload; the time is from the host
command's start to the payload's last byte in its output file, and, for
the commands that end by themselves, to their end. Every run is judged by
size and SHA-256 and time-boxed. Prints one RESULT line a run.
"""
import hashlib
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from agent import Agent, Failed  # noqa: E402

BOX = 120


def sha(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def commands(tools, sockets):
    """(name, send command, recv command, ends by itself) for each tool."""
    found = []
    for tool in tools:
        if tool == "socat":
            found.append(("socat", ["socat", "-t", "60", "-", "UNIX-CONNECT:%s/source.sock" % sockets],
                          ["socat", "-u", "UNIX-CONNECT:%s/sink.sock" % sockets, "-"], False))
            continue
        name, _, folder = tool.partition("=")
        host = [sys.executable, os.path.join(folder, "chanpipe-host")]
        found.append((name, host + ["send", "--socket", "%s/source.sock" % sockets],
                      host + ["recv", "--socket", "%s/sink.sock" % sockets], False))
        qmp = ["--qmp", "%s/qmp" % sockets, "--port"]
        found.append((name + "+qmp", host + ["send"] + qmp + ["source"],
                      host + ["recv"] + qmp + ["sink"], True))
    return found


def to_guest(agent, name, command, payload, size, digest, round_):
    with open(payload, "rb") as stdin:
        began = time.monotonic()
        process = subprocess.Popen(command, stdin=stdin, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        ident = agent.ask("xfer chanpipe r source %d /tmp/in; rm -f /tmp/in" % BOX)
        try:
            err = process.communicate(timeout=BOX)[1]
        except subprocess.TimeoutExpired:
            process.kill()
            err = process.communicate()[1]
        took = time.monotonic() - began
    got = agent.answer(ident, BOX + 30)
    complete = int(got.get("status") == "0" and got.get("size") == str(size) and
                   got.get("sha") == digest and process.returncode == 0)
    print("RESULT dir=read tool=%s round=%d wall=%.4f end=%.4f status=%s complete=%d%s" % (
        name, round_, took, took, process.returncode, complete,
        "" if complete else " err=" + err.decode(errors="replace").strip().replace("\n", " / ")),
        flush=True)


def to_host(agent, name, command, ends, work, size, digest, round_):
    output = os.path.join(work, "out")
    with open(output, "wb") as stdout:
        began = time.monotonic()
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout,
                                   stderr=subprocess.PIPE)
        ident = agent.ask("xfer chanpipe w sink %d /data/payload" % BOX)
        last = None
        while time.monotonic() - began < BOX:
            if last is None and os.path.getsize(output) >= size:
                last = time.monotonic() - began
            if process.poll() is not None or last is not None and not ends:
                break
            time.sleep(0.002)
        if process.poll() is None:
            process.kill()
        err = process.communicate()[1]
        end = time.monotonic() - began
    got = agent.answer(ident, BOX + 30)
    complete = int(got.get("status") == "0" and os.path.getsize(output) == size and
                   sha(output) == digest and (process.returncode == 0 or not ends))
    print("RESULT dir=write tool=%s round=%d wall=%.4f end=%.4f status=%s complete=%d%s" % (
        name, round_, last if last is not None else -1, end, process.returncode, complete,
        "" if complete else " err=" + err.decode(errors="replace").strip().replace("\n", " / ")),
        flush=True)
    os.unlink(output)


def main(sockets, work, rounds, mib, *tools):
    payload = os.path.join(work, "payload")
    size, digest = int(mib) << 20, sha(payload)
    agent = Agent([os.path.join(sockets, "ctl")], BOX + 30)
    try:
        for round_ in range(1, int(rounds) + 1):
            # Every tool in turn, each round: a slow spell of the host hits all alike.
            for name, send, recv, ends in commands(tools, sockets):
                to_guest(agent, name, send, payload, size, digest, round_)
                to_host(agent, name, recv, ends, work, size, digest, round_)
    except Failed as error:
        print("bench-host: %s" % error, file=sys.stderr)
        return 1
    finally:
        agent.ask("quit")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
