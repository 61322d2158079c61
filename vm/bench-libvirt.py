"""The host side of scripts/bench-libvirt.sh: chanpipe-host through libvirt
against chanpipe-host on the channel's own socket, in one boot of one
transient domain, round after round (vm/bench_rounds.py). Root, with
Debian's python3 (python3-libvirt):

    bench-libvirt.py WORK CHANPIPE RUNSTAT CACHE ROUNDS MIB

The domain has a unix channel and a tcp channel. WORK holds the daemons'
files and the payload. Prints one RESULT line a run; the tools are TOOLS'
names.
"""
import os
import sys

HERE = os.path.dirname(os.path.realpath(__file__))
sys.path.insert(0, HERE)
import libvirt_guest as lh  # noqa: E402
from bench_rounds import Tool, rounds  # noqa: E402

DOMAIN, UNIX, TCP = "chanpipe-bench", "org.chanpipe.unix", "org.chanpipe.tcp"
HOST = [sys.executable, os.path.join(lh.ROOT, "host", "chanpipe-host")]


def tools(dom):
    """Each way to reach the channels, as bench_rounds' Tools. A stream
    carries recv only: chanpipe-host refuses a send it cannot finish."""
    sock, (host, port) = dom.source(UNIX), dom.source(TCP)
    tcp = "%s:%d" % (host, port)

    def domain(channel, *more):
        return (["send", "--domain", DOMAIN, "--port", channel] + list(more),
                ["recv", "--domain", DOMAIN, "--port", channel] + list(more))
    local, remote = domain(UNIX), domain(UNIX, "--connect", lh.REMOTE)
    local_tcp, remote_tcp = domain(TCP), domain(TCP, "--connect", lh.REMOTE)
    user = lh.ensure_user()
    return [
        Tool("socket", HOST + ["send", "--socket", sock], HOST + ["recv", "--socket", sock],
             False, UNIX, UNIX),
        Tool("domain", HOST + local[0], HOST + local[1], True, UNIX, UNIX),
        Tool("user-stream", None, user + HOST + local[1] + ["--connect", lh.LOCAL], True, UNIX,
             UNIX),
        Tool("remote-stream", None, HOST + remote[1], True, UNIX, UNIX),
        Tool("tcp", HOST + ["send", "--tcp", tcp], HOST + ["recv", "--tcp", tcp], False, TCP, TCP),
        Tool("domain-tcp", HOST + local_tcp[0], HOST + local_tcp[1], True, TCP, TCP),
        Tool("remote-tcp", HOST + remote_tcp[0], HOST + remote_tcp[1], True, TCP, TCP),
    ]


def main(work, chanpipe, runstat, cache, count, mib):
    payload = os.path.join(work, "payload")
    data = os.urandom(int(mib) << 20)
    with open(payload, "wb") as f:
        f.write(data)
    with lh.Daemons(os.path.join(work, "daemons")) as daemons:
        dom = lh.Domain(daemons, DOMAIN, chanpipe, runstat, cache,
                        [("unix", UNIX), ("tcp", TCP, lh.free_port())],
                        files={"data/payload": data})
        del data
        print("bench: daemons in %.1f s, the domain booted in %.1f s" % (
            daemons.start_seconds, dom.boot_seconds), file=sys.stderr, flush=True)
        return rounds(dom.agent, tools(dom), payload, work, int(count))


if __name__ == "__main__":
    try:
        sys.exit(main(*sys.argv[1:]))
    except (lh.Failed, lh.libvirt.libvirtError, OSError) as error:
        print("bench: %s" % error, file=sys.stderr)
        sys.exit(1)
