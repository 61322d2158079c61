"""Host tools at the other end of the guest's chanpipe, round after round
in one boot: the measuring loop of vm/bench-host.py and
vm/bench-libvirt.py, with the guest's agent (vm/agent.py).

    tools = [Tool("socat", send, recv, ends=False, read="source", write="sink"), ...]
    rounds(agent, tools, payload, work, 5)

Host to guest, the tool's send command feeds the guest's `chanpipe r
READ`, which reads into a file; the time is the host command's, from its
start to its end. Guest to host, the guest's `chanpipe w WRITE` sends the
payload (the guest's /data/payload, the same as the host's payload file)
to the tool's recv command; the time is from the host command's start to
the payload's last byte in its output file, and, for the commands that end
by themselves (ends), to their end. A tool without a send or recv command
has no run that way. Every run is judged by size and SHA-256 and
time-boxed. Prints one RESULT line a run, as vm/bench-table.awk reads them.
"""
import collections
import hashlib
import os
import subprocess
import sys
import time

from agent import Failed

BOX = 120

Tool = collections.namedtuple("Tool", "name send recv ends read write")


def sha(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def host_gone(agent, port):
    """Waits, untimed, until the guest's driver has seen the last run's host
    go: a reader would end at once on its stale connection. QEMU sees a
    unix client's close at once, but looks at a TCP client's socket only
    while the guest has the port open: every second the guest opens the
    port for a moment, so that QEMU sees that close too."""
    agent.answer(agent.ask(
        'n=0; until [ "$(counter %s host_connected)" != 1 ] || [ $n -ge 30 ]; do '
        'sleep 0.3 <"$(port_node %s)"; sleep 0.7; n=$((n + 1)); done' % (port, port)), 60)


def result(direction, tool, round_, wall, end, status, complete, err):
    print("RESULT dir=%s tool=%s round=%d wall=%.4f end=%.4f status=%s complete=%d%s" % (
        direction, tool.name, round_, wall, end, status, complete,
        "" if complete else " err=" + err.decode(errors="replace").strip().replace("\n", " / ")),
        flush=True)


def to_guest(agent, tool, payload, size, digest, round_):
    host_gone(agent, tool.read)
    with open(payload, "rb") as stdin:
        began = time.monotonic()
        process = subprocess.Popen(tool.send, stdin=stdin, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        ident = agent.ask("xfer chanpipe r %s %d /tmp/in; rm -f /tmp/in" % (tool.read, BOX))
        try:
            err = process.communicate(timeout=BOX)[1]
        except subprocess.TimeoutExpired:
            process.kill()
            err = process.communicate()[1]
        took = time.monotonic() - began
    got = agent.answer(ident, BOX + 30)
    complete = int(got.get("status") == "0" and got.get("size") == str(size) and
                   got.get("sha") == digest and process.returncode == 0)
    result("read", tool, round_, took, took, process.returncode, complete, err)


def to_host(agent, tool, work, size, digest, round_):
    host_gone(agent, tool.write)
    output = os.path.join(work, "out")
    with open(output, "wb") as stdout:
        began = time.monotonic()
        process = subprocess.Popen(tool.recv, stdin=subprocess.DEVNULL, stdout=stdout,
                                   stderr=subprocess.PIPE)
        # What the guest writes before QEMU has taken the host's connection is lost.
        ident = agent.ask('n=0; until [ "$(counter %s host_connected)" = 1 ] || [ $n -ge 1500 ]; '
                          'do sleep 0.02; n=$((n + 1)); done; xfer chanpipe w %s %d /data/payload'
                          % (tool.write, tool.write, BOX))
        last = None
        while time.monotonic() - began < BOX:
            if last is None and os.path.getsize(output) >= size:
                last = time.monotonic() - began
            if process.poll() is not None or last is not None and not tool.ends:
                break
            time.sleep(0.002)
        if process.poll() is None:
            process.kill()
        err = process.communicate()[1]
        end = time.monotonic() - began
    got = agent.answer(ident, BOX + 30)
    complete = int(got.get("status") == "0" and os.path.getsize(output) == size and
                   sha(output) == digest and (process.returncode == 0 or not tool.ends))
    result("write", tool, round_, last if last is not None else -1, end, process.returncode,
           complete, err)
    os.unlink(output)


def rounds(agent, tools, payload, work, count):
    """count rounds of every tool in turn, each way: a slow spell of the
    host hits all alike. Status 1 when the guest stopped answering (the
    RESULT lines so far stand)."""
    size, digest = os.path.getsize(payload), sha(payload)
    try:
        for round_ in range(1, count + 1):
            for tool in tools:
                if tool.send:
                    to_guest(agent, tool, payload, size, digest, round_)
                if tool.recv:
                    to_host(agent, tool, work, size, digest, round_)
    except Failed as error:
        print("bench: %s" % error, file=sys.stderr)
        return 1
    return 0
