"""The libvirt half of scripts/demo.sh --libvirt: the demo's file through a
transient domain of the busybox guest, with chanpipe-host --domain on the
host and vm/demo-guest.sh's steps in the guest. Root, with Debian's
python3 (python3-libvirt):

    demo-libvirt.py WORK CHANPIPE RUNSTAT CACHE

WORK/sent is the file. Prints what it does, with the channel's lines of
`virsh dumpxml`, and leaves for demo.sh's report: WORK/back (what came
back), WORK/guest.log (the guest's DEMO- lines), WORK/host.log (each
chanpipe-host's status and seconds), WORK/send.err and WORK/recv.err
(their standard error). Status 0 once both transfers ran, whatever they
moved; the report judges that.
"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.realpath(__file__))
sys.path.insert(0, HERE)
import libvirt_guest as lh  # noqa: E402

NAME, PORT = "chanpipe-demo", "chan0"
HOST = os.path.join(lh.ROOT, "host", "chanpipe-host")
BOX = 300


def host(command, stdin, stdout, err):
    """Starts chanpipe-host COMMAND --domain NAME --port chan0 with this
    Python (Debian's, which has libvirt), as a user types it."""
    args = [sys.executable, HOST, command, "--domain", NAME, "--port", PORT, "--progress",
            "--wait", "120"]
    print("host:  %s %s" % (" ".join(args), "< " + stdin.name if command == "send" else
                            "> " + stdout.name), flush=True)
    return subprocess.Popen(args, stdin=stdin, stdout=stdout, stderr=err)


def step(dom, command, stdin, stdout, work, log):
    """One transfer: chanpipe-host COMMAND on the host, the matching step of
    the demo's guest script in the guest. Returns the guest's DEMO- lines."""
    with open(os.path.join(work, command + ".err"), "wb") as err:
        began = time.monotonic()
        process = host(command, stdin, stdout, err)
        ident = dom.request("DEMO_STEP=%s; . /demo.sh" % ("r" if command == "send" else "w"))
        try:
            status = process.wait(BOX)
        except subprocess.TimeoutExpired:
            process.kill()
            status = process.wait()
        log.write("HOST-%s status=%d seconds=%.3f\n" % (command.upper(), status,
                                                         time.monotonic() - began))
    # The agent answers on one line: a line of the guest's each DEMO-.
    return dom.answer(ident, BOX).replace(" DEMO-", "\nDEMO-").strip() + "\n"


def main(work, chanpipe, runstat, cache):
    with open(os.path.join(lh.HERE, "demo-guest.sh"), "rb") as f:
        guest = f.read()
    with lh.Daemons(os.path.join(work, "daemons"), remote=False) as daemons:
        version = daemons.conn.getLibVersion()
        print("libvirt: libvirtd %d.%d.%d, %s" % (
            version // 1000000, version // 1000 % 1000, version % 1000,
            "the host's, left running" if daemons.reused else
            "with virtlogd, the demo's own, up in %.1f s and stopped at the end" %
            daemons.start_seconds), flush=True)
        dom = lh.Domain(daemons, NAME, chanpipe, runstat, cache, [("unix", PORT)],
                        files={"demo.sh": guest})
        print("domain %s (transient, type qemu) booted in %.1f s; its channel, as libvirt "
              "has it:" % (NAME, dom.boot_seconds), flush=True)
        dump = "virsh -c %s dumpxml %s | sed -n '/<channel/,/<\\/channel>/p'" % (lh.LOCAL, NAME)
        print("$ " + dump, flush=True)
        subprocess.run(["sh", "-c", dump], check=True)
        with open(os.path.join(work, "guest.log"), "w") as guest_log, \
                open(os.path.join(work, "host.log"), "w") as log:
            guest_log.write("GUEST-KERNEL %s\nDEMO-NODE %s\n" % (
                dom.ask("uname -rm"), dom.ask("port_node %s" % PORT)))
            with open(os.path.join(work, "sent"), "rb") as sent:
                guest_log.write(step(dom, "send", sent, subprocess.DEVNULL, work, log))
            with open(os.path.join(work, "back"), "wb") as back:
                guest_log.write(step(dom, "recv", subprocess.DEVNULL, back, work, log))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(*sys.argv[1:]))
    except (lh.Failed, lh.libvirt.libvirtError, OSError, subprocess.SubprocessError) as error:
        print("demo: %s" % error, file=sys.stderr)
        sys.exit(1)
