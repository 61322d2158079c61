#!/usr/bin/env python3
"""The host side of scripts/bench-host.sh: the host tools at the other end
of the guest's chanpipe, in one boot, round after round (vm/bench_rounds.py).

    bench-host.py SOCKETS WORK ROUNDS TOOL...

SOCKETS holds the guest's serial line (ctl, this side listens), the QMP
socket (qmp) and the ports' sockets (source.sock: host to guest, sink.sock:
guest to host). WORK/payload is the payload, the same as the guest's
/data/payload. A TOOL is socat, or NAME=DIR for the chanpipe-host in DIR,
run once with --socket and once with --qmp (NAME and NAME+qmp).
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from agent import Agent  # noqa: E402
from bench_rounds import BOX, Tool, rounds  # noqa: E402


def commands(tools, sockets):
    """The Tool of each tool."""
    found = []
    for tool in tools:
        if tool == "socat":
            found.append(Tool("socat", ["socat", "-t", "60", "-", "UNIX-CONNECT:%s/source.sock" %
                                        sockets],
                              ["socat", "-u", "UNIX-CONNECT:%s/sink.sock" % sockets, "-"], False,
                              "source", "sink"))
            continue
        name, _, folder = tool.partition("=")
        host = [sys.executable, os.path.join(folder, "chanpipe-host")]
        found.append(Tool(name, host + ["send", "--socket", "%s/source.sock" % sockets],
                          host + ["recv", "--socket", "%s/sink.sock" % sockets], False,
                          "source", "sink"))
        qmp = ["--qmp", "%s/qmp" % sockets, "--port"]
        found.append(Tool(name + "+qmp", host + ["send"] + qmp + ["source"],
                          host + ["recv"] + qmp + ["sink"], True, "source", "sink"))
    return found


def main(sockets, work, count, *tools):
    agent = Agent([os.path.join(sockets, "ctl")], BOX + 30)
    try:
        return rounds(agent, commands(tools, sockets), os.path.join(work, "payload"), work,
                      int(count))
    finally:
        agent.ask("quit")


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
