"""chanpipe-host and the self-test kit on a libvirt domain: one boot of the
busybox guest in a transient domain of the harness's own daemons, and
every case of `--domain NAME --port NAME [--connect URI]` against it, each
time-boxed and judged by SHA-256 and status. Root only (status 77
otherwise), with a Python that has libvirt.

    cases.py CHANPIPE RUNSTAT WORK CACHE [CASE...]

The host's commands run as users run them: chanpipe-host and
chanpipe-selftest-host.py from the source tree, by this Python, as root or
as the harness's user in group libvirt.
"""
import hashlib
import os
import socket
import subprocess
import sys
import time
import urllib.parse

import libvirt

HERE = os.path.dirname(os.path.realpath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "vm"))
import libvirt_guest as lh  # noqa: E402

sys.path.insert(0, os.path.join(lh.ROOT, "tests", "host"))
import commands as documents  # noqa: E402

HOST = os.path.join(lh.ROOT, "host", "chanpipe-host")
KIT = os.path.join(lh.ROOT, "selftest")
DOMAIN = "chanpipe-cases"
DATA, TCP, PTY, KIT_PORT = "org.chanpipe.data", "org.chanpipe.tcp", "org.chanpipe.pty", \
    "org.chanpipe.selftest"
DOCUMENTED = ("inputs", "logs")  # the channels the documents' examples name
MIB = 1 << 20
BOX = 240  # the longest a host command may take
STALL = 151 * 4096  # as in the host test: what the stalled reader has still to come


class Run:
    """The domain, and what a case needs of it."""

    def __init__(self, dom, work):
        self.dom, self.work = dom, work

    def host(self, args, data=None, user=False, python=sys.executable, box=BOX):
        """Starts chanpipe-host ARGS (a list; a text is a command line of
        the documents, run by the shell with chanpipe-host on the PATH),
        with data on its standard input; its standard output goes to a
        file."""
        self.out = os.path.join(self.work, "out")
        source = os.path.join(self.work, "in")
        with open(source, "wb") as f:
            f.write(data or b"")
        if isinstance(args, str):
            command = ["sh", "-c", 'PATH="$0:$PATH" exec sh -c "$1"', self.path(), args]
        else:
            command = (python if isinstance(python, list) else [python]) + [HOST] + args
        if user:
            os.chmod(self.work, 0o777)
            for path in (source, self.out):
                open(path, "ab").close()
                os.chmod(path, 0o666)
            command = lh.ensure_user() + command
        self.began = time.monotonic()
        with open(source, "rb") as stdin, open(self.out, "wb") as stdout:
            return subprocess.Popen(command, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE)

    def path(self):
        """A folder for the PATH with chanpipe-host, and with python3 as
        this Python (Debian's, which has libvirt), as on a Debian host."""
        folder = os.path.join(self.work, "bin")
        if not os.path.isdir(folder):
            os.makedirs(folder)
            os.symlink(HOST, os.path.join(folder, "chanpipe-host"))
            os.symlink(sys.executable, os.path.join(folder, "python3"))
        return folder

    def done(self, process, box=BOX):
        """(status, its last line of standard error, seconds)."""
        try:
            err = process.communicate(timeout=box)[1]
        except subprocess.TimeoutExpired:
            process.kill()
            err = process.communicate()[1] + b"(killed after %d s)" % box
        lines = err.decode(errors="replace").strip().splitlines()
        return process.returncode, lines[-1] if lines else "", time.monotonic() - self.began

    def output(self):
        with open(self.out, "rb") as f:
            return f.read()

    def guest(self, command, seconds=BOX):
        return fields(self.dom.ask(command, seconds))

    def connected(self, port, state):
        """Waits, in the guest, until the port's host is (1) or is not (0)
        connected: a write before QEMU has taken the host is lost."""
        self.guest('n=0; until [ "$(counter %s host_connected)" = %d ] || [ $n -ge 1500 ]; do '
                   'sleep 0.02; n=$((n + 1)); done; echo c=$(counter %s host_connected)'
                   % (port, state, port))

    def payload(self, size):
        """size random bytes in the guest's /tmp/p: their SHA-256."""
        return self.guest("head -c %d /dev/urandom >/tmp/p; echo sha=$(sha256sum </tmp/p | "
                          "cut -d' ' -f1)" % size)["sha"]


def fields(text):
    return dict(w.split("=", 1) for w in text.split() if "=" in w)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def args(command, port=DATA, uri=None, *more):
    return [command, "--domain", DOMAIN, "--port", port] + (["--connect", uri] if uri else []) + \
        list(more)


def check(problems, ok, text):
    if not ok:
        problems.append(text)


def expect(problems, result, status, says):
    check(problems, result[0] == status and says in result[1],
          "status %s, expected %d; %r, expected %r in it" % (result[0], status, result[1], says))


# --- the cases: each returns (problems, detail) -----------------------------

def receive(run, size, uri=None, port=DATA, user=False, command=None):
    """The guest's `chanpipe w` of size random bytes into chanpipe-host recv,
    or into the documents' command."""
    want = run.payload(size)
    run.connected(port, 0)
    process = run.host(command or args("recv", port, uri), user=user)
    run.connected(port, 1)
    guest = run.guest("xfer chanpipe w %s 180 /tmp/p" % port)
    result = run.done(process)
    got = run.output()
    problems = []
    expect(problems, result, 0, "ended: the guest closed the port")
    check(problems, guest.get("status") == "0", "the guest's chanpipe w: %s" % guest)
    check(problems, (len(got), sha(got)) == (size, want), "%d of %d bytes came, %s" % (
        len(got), size, "the same" if sha(got) == want else "not the same bytes"))
    return problems, "%d B in %.1f s; %s" % (len(got), result[2], result[1])


def send(run, size, uri=None, port=DATA, late=0.0, stall=False, command=None):
    """chanpipe-host send (or the documents' command) of size random bytes
    to the guest's `chanpipe r`, which comes `late` seconds after, or
    stalls near the end."""
    data = os.urandom(size)
    run.connected(port, 0)
    process = run.host(command or args("send", port, uri), data)
    time.sleep(late)
    if stall:
        ident = run.dom.request(
            "{ /chanpipe r %s 2>/dev/null; echo $? >/tmp/rc; } | { dd bs=4096 count=%d "
            "2>/dev/null; sleep 2; cat; } >/tmp/in; echo status=$(cat /tmp/rc) size=$(wc -c "
            "</tmp/in) sha=$(sha256sum </tmp/in | cut -d' ' -f1)" % (port, (size - STALL) // 4096))
    else:
        ident = run.dom.request("xfer chanpipe r %s 180 /tmp/in" % port)
    result = run.done(process)
    guest = fields(run.dom.answer(ident, BOX))
    problems = []
    expect(problems, result, 0, "")
    check(problems, (guest.get("status"), guest.get("size"), guest.get("sha")) ==
          ("0", str(size), sha(data)), "the guest got %s" % guest)
    return problems, "%d B in %.1f s" % (size, result[2])


def case_recv_64mib(run):
    return receive(run, 64 * MIB)


def case_send_late_reader(run):
    return send(run, 4 * MIB, late=5)


def case_send_stalled_reader(run):
    return send(run, 16 * MIB, stall=True)


def case_zero_bytes(run):
    problems, detail = send(run, 0)
    more, other = receive(run, 0)
    return problems + more, detail + "; " + other


def case_remote_tcp(run):
    problems, detail = send(run, 4 * MIB, lh.REMOTE, TCP)
    more, other = receive(run, 4 * MIB, lh.REMOTE, TCP)
    return problems + more, detail + "; " + other


def case_remote_unix_recv(run):
    return receive(run, 16 * MIB, lh.REMOTE)


def case_remote_unix_send(run):
    """Refused before a byte goes: nothing can tell when the guest has it all."""
    process = run.host(args("send", DATA, lh.REMOTE), os.urandom(MIB))
    result = run.done(process, 60)
    problems = []
    expect(problems, result, 2, "no half-close")
    check(problems, "ssh 127.0.0.1 chanpipe-host send" in result[1] and "'tcp'" in result[1],
          "it does not say what to do instead")
    return problems, "status %d: %s" % (result[0], result[1][:160])


def failure(run, status, says, more=(), port=DATA, uri=None, python=sys.executable, box=60):
    process = run.host(args("recv", port, uri, "--timeout", "5", *more), python=python)
    result = run.done(process, box)
    problems = []
    expect(problems, result, status, says)
    return problems, "status %d: %s" % (result[0], result[1][:160])


def case_no_libvirt_module(run):
    # Without site's paths Debian's python3 has no python3-libvirt.
    return failure(run, 2, "install python3-libvirt", python=[sys.executable, "-S"])


def case_no_such_domain(run):
    process = run.host(["recv", "--domain", "nosuch", "--port", DATA])
    result = run.done(process, 60)
    problems = []
    expect(problems, result, 2, "has no domain called nosuch")
    return problems, "status %d: %s" % (result[0], result[1][:160])


def case_domain_not_running(run):
    conn = run.dom.daemons.conn
    xml = run.dom.xml.replace("<name>%s</name>" % DOMAIN, "<name>%s-off</name>" % DOMAIN)
    defined = conn.defineXML(xml)
    try:
        process = run.host(["recv", "--domain", DOMAIN + "-off", "--port", DATA])
        result = run.done(process, 60)
    finally:
        defined.undefine()
    problems = []
    expect(problems, result, 2, "is not running")
    return problems, "status %d: %s" % (result[0], result[1][:160])


def case_no_such_channel(run):
    return failure(run, 2, "has no virtio channel called nosuch", port="nosuch")


def case_pty_channel(run):
    return failure(run, 2, "is of type 'pty'", port=PTY)


def case_read_only(run):
    return failure(run, 2, "read-only", uri="qemu:///system?socket=/run/libvirt/libvirt-sock-ro")


def case_refused(run):
    return failure(run, 2, "libvirt refused a connection", uri="qemu+tcp://127.0.0.1:1/system")


def case_busy(run):
    """Another client holds the channel's socket: QEMU serves one at a time."""
    with socket.socket(socket.AF_UNIX) as other:
        other.connect(run.dom.source(DATA))
        return failure(run, 3, "another client held")


def case_not_root(run):
    """A member of group libvirt: recv through libvirt's stream; send says
    what to change."""
    problems, detail = receive(run, 4 * MIB, lh.LOCAL, user=True)
    process = run.host(args("send", DATA, lh.LOCAL), os.urandom(MIB), user=True)
    result = run.done(process, 60)
    expect(problems, result, 2, "usermod -aG libvirt-qemu")
    return problems, detail + "; send: status %d" % result[0]


def case_selftest(run):
    """The kit's whole verdict through --domain, paused by libvirt."""
    guest = run.dom.request("CHANPIPE=/chanpipe sh /selftest/chanpipe-selftest.sh %s "
                            ">/tmp/kit.log 2>&1; echo status=$?" % KIT_PORT)
    report = os.path.join(run.work, "kit.json")
    kit = subprocess.run([sys.executable, os.path.join(KIT, "chanpipe-selftest-host.py"),
                          "--domain", DOMAIN, "--port", KIT_PORT, "--big", "16", "--json",
                          report, "--quiet", "--wait", "120"], capture_output=True, timeout=BOX)
    ended = fields(run.dom.answer(guest, BOX))
    out = kit.stdout.decode(errors="replace")
    problems = []
    check(problems, kit.returncode == 0 and "verdict: PASS" in out,
          "the kit exited %d:\n%s%s" % (kit.returncode, out, kit.stderr.decode(errors="replace")))
    check(problems, "paused 3 s (libvirt suspend, resume) halfway each way: every byte came "
          "through unchanged" in out, "the pause row: %s" % out)
    check(problems, ended.get("status") == "0", "the guest side ended %s" % ended)
    return problems, next((line for line in out.splitlines() if line.startswith("verdict")), "")


def case_documented(run):
    """Every libvirt command of README.md and the man pages, as printed but
    for the domain's name, the file names, and a remote URI (the test's
    own); a line run over ssh, as the hypervisor runs it."""
    problems, details, lines = [], [], {}
    for text, where, language in documents.printed(lh.ROOT):
        words = text.split()
        words = words[2:] if words[:1] == ["ssh"] else words
        if words[:1] == ["virt-xml"] or words[:1] == ["chanpipe-host"] and "--domain" in words:
            lines.setdefault(" ".join(words), []).append(where)
    for text, where in lines.items():
        words = text.split()
        if words[0] == "virt-xml":
            words[1] = DOMAIN + "-off"
        else:
            words[words.index("--domain") + 1] = DOMAIN
        if "--connect" in words and urllib.parse.urlparse(
                words[words.index("--connect") + 1]).hostname:
            words[words.index("--connect") + 1] = lh.REMOTE
        command = documents.REDIRECTION.sub(lambda m: "%s %s" % (m.group(1), os.path.join(
            run.work, "in" if m.group(1) == "<" else "out")), " ".join(words))
        if words[0] == "virt-xml":
            more, detail = virt_xml(run, command, words)
        elif words[1] == "send":
            more, detail = send(run, MIB + 1, port=words[words.index("--port") + 1],
                                command=command)
        else:
            more, detail = receive(run, MIB + 1, port=words[words.index("--port") + 1],
                                   command=command)
        problems += ["%s: %s" % (",".join(where), p) for p in more]
        details.append("%s (%s)" % (",".join(where), detail.split(";")[0]))
    check(problems, len(lines) >= 4, "only %d libvirt commands in the documents" % len(lines))
    return problems, "; ".join(details)


def virt_xml(run, command, words):
    """The documents' virt-xml line on a domain defined for it: the channel
    it adds must be in the domain's XML after."""
    conn = run.dom.daemons.conn
    defined = conn.defineXML(run.dom.xml.replace("<name>%s</name>" % DOMAIN,
                                                 "<name>%s-off</name>" % DOMAIN))
    try:
        ran = subprocess.run(["sh", "-c", command], capture_output=True, timeout=120)
        xml = defined.XMLDesc(libvirt.VIR_DOMAIN_XML_INACTIVE)
    finally:
        defined.undefine()
    name = words[-1].split("target.name=")[-1].split(",")[0]
    problems = []
    check(problems, ran.returncode == 0 and "<target type='virtio' name='%s'/>" % name in xml,
          "virt-xml: status %d, %s; no channel %s in the XML" % (
              ran.returncode, ran.stderr.decode(errors="replace").strip()[-200:], name))
    return problems, "the channel %s added" % name


def case_lost_midway(run):
    """libvirtd goes away under a remote recv: status 4 (the last case: the
    daemons do not come back)."""
    run.payload(64 * MIB)
    run.connected(DATA, 0)
    process = run.host(args("recv", DATA, lh.REMOTE))
    run.connected(DATA, 1)
    run.dom.request("xfer chanpipe w %s 60 /tmp/p" % DATA)
    time.sleep(1)
    for daemon in run.dom.daemons.started:
        if "libvirtd" in daemon.args[-1] or "libvirtd" in " ".join(daemon.args):
            daemon.terminate()
    result = run.done(process, 120)
    problems = []
    expect(problems, result, 4, "")
    return problems, "status %d after %d bytes: %s" % (result[0], len(run.output()),
                                                        result[1][:160])


CASES = [name[5:] for name in list(globals()) if name.startswith("case_")]


def main():
    chanpipe, runstat, work, cache = sys.argv[1:5]
    wanted = sys.argv[5:] or CASES
    if os.geteuid() != 0:
        print("libvirt cases: need root; skipped")
        return 77
    os.makedirs(work, exist_ok=True)
    failed = 0
    kit = open(os.path.join(KIT, "chanpipe-selftest.sh"), "rb").read()
    with lh.Daemons(os.path.join(work, "daemons")) as daemons:
        dom = lh.Domain(daemons, DOMAIN, chanpipe, runstat, cache,
                        [("unix", DATA), ("tcp", TCP, lh.free_port()), ("pty", PTY),
                         ("unix", KIT_PORT)] + [("unix", name) for name in DOCUMENTED],
                        files={"selftest/chanpipe-selftest.sh": kit})
        print("daemons in %.1f s, the domain booted in %.1f s" % (
            daemons.start_seconds, dom.boot_seconds), flush=True)
        run = Run(dom, work)
        for name in wanted:
            began = time.monotonic()
            try:
                problems, detail = globals()["case_" + name](run)
            except (lh.Failed, OSError, libvirt.libvirtError, subprocess.SubprocessError) as e:
                problems, detail = ["%s: %s" % (type(e).__name__, e)], ""
            failed += bool(problems)
            print("%-20s %-4s %6.1f s  %s" % (name.replace("_", "-"), "FAIL" if problems else
                                              "ok", time.monotonic() - began,
                                              "; ".join(problems) or detail), flush=True)
        if failed:
            print(dom.console()[-3000:])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
