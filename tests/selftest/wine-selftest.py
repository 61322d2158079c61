#!/usr/bin/env python3
"""The self-test kit on Windows, under Wine: Wine's cmd.exe runs
chanpipe-selftest.cmd with a chanpipe.exe against the simulated
virtio-serial port "data" (org.chanpipe.data) of the end-to-end tests, and
the host side runs against it through the bridge (bridge.py), with QMP.

    wine-selftest.py --kit DIR --chanpipe EXE [--stand-in EXE --mode drop|nocopy]
                     E2E-OPTIONS (--installer --controller --driver --prefix --work)

The prefix (always 64-bit: a 32-bit chanpipe.exe runs under WoW64) and its
Wine session are those of the end-to-end cases' setup test. Exit status 0
when check-result.py is content. Where 32-bit programs do not run, CTest's
gate (tests/wine-win32/if-32bit.sh) skips the 32-bit run before it starts.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "simport"))
import simport  # noqa: E402
from bridge import Bridge  # noqa: E402

PORT = "data"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kit", required=True)
    parser.add_argument("--chanpipe", required=True)
    parser.add_argument("--stand-in")
    parser.add_argument("--mode", default="good", choices=["good", "drop", "nocopy"])
    parser.add_argument("--big", type=int, default=2)
    for option in ("installer", "controller", "driver", "prefix", "work"):
        parser.add_argument("--" + option, required=True)
    o = parser.parse_args()
    # The ports' prefix is always 64-bit: a 32-bit chanpipe.exe runs there
    # under WoW64.
    o.winearch = "win64"
    for option in ("kit", "chanpipe", "stand_in", "installer", "controller", "driver", "prefix",
                   "work"):
        if getattr(o, option):
            setattr(o, option, os.path.abspath(getattr(o, option)))
    signal.signal(signal.SIGTERM, simport.stopped)
    shutil.rmtree(o.work, ignore_errors=True)
    os.makedirs(o.work)
    h = simport.Machine(o)
    h.dir = o.work
    sockets = tempfile.mkdtemp(prefix="chanpipe-selftest-wine.")
    bridge = None
    try:
        # The program must start in this prefix at all (a 32-bit one needs
        # a prefix with WoW64): its usage line, status 1.
        probe = h.wine.start([o.chanpipe], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
        err = probe.communicate(timeout=120 * simport.SCALE)[1]
        if probe.returncode != 1 or not err.startswith(b"Usage: chanpipe"):
            print("FAILED: %s does not run in %s (status %d, %r)%s" % (
                o.chanpipe, o.prefix, probe.returncode, err[:200],
                ": a 32-bit program needs a prefix with WoW64"
                if simport.pe_machine(o.chanpipe) == "x86" else ""))
            return 1
        h.plug(PORT)
        ctl = h.wine.start([o.controller, "host", str(simport.INDEX[PORT])],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=open(os.path.join(o.work, "ctl-host.err"), "wb"))
        bridge = Bridge(ctl, os.path.join(sockets, "port"), os.path.join(sockets, "qmp"))
        env = dict(h.wine.env)
        program = o.stand_in if o.mode != "good" else o.chanpipe
        env["CHANPIPE"] = simport.windows_path(program)
        if o.mode != "good":
            env.update(CHANPIPE_REAL=simport.windows_path(o.chanpipe), CHANPIPE_STAND_IN=o.mode)
        result = os.path.join(o.work, "result.json")
        host = subprocess.Popen(
            [sys.executable, os.path.join(o.kit, "chanpipe-selftest-host.py"), "--socket",
             bridge.port_path, "--qmp", os.path.join(sockets, "qmp"), "--big", str(o.big),
             "--json", result, "--timeout", str(60 * simport.SCALE),
             "--wait", str(180 * simport.SCALE)] +
            (["--fail-fast"] if o.mode != "good" else []),
            stdout=subprocess.PIPE, stderr=open(os.path.join(o.work, "host.err"), "wb"),
            start_new_session=True)  # a group of its own, as kill_started ends them
        simport.STARTED.append(host)
        # The order the README gives: the host side waits, then the guest
        # side starts. The simulated port takes the guest's writes at once,
        # where QEMU holds them until a host is there, so a guest started
        # first could open its first reader with no host and see it end.
        if not bridge.wait_for_host(host, 120 * simport.SCALE):
            raise simport.Failure("the host side did not connect to the port in %d s" % (
                120 * simport.SCALE))
        guest_out = open(os.path.join(o.work, "guest.out"), "wb")
        script = simport.windows_path(os.path.join(o.kit, "chanpipe-selftest.cmd"))
        guest = subprocess.Popen([h.wine.wine, "cmd", "/c", script,
                                  simport.NAME[PORT].decode()],
                                 env=env, stdin=subprocess.DEVNULL, stdout=guest_out,
                                 stderr=subprocess.STDOUT, start_new_session=True)
        simport.STARTED.append(guest)
        bridge.guest_group = guest.pid  # what QMP stop stops
        host_out = host.communicate(timeout=900 * simport.SCALE)[0]
        sys.stdout.write(host_out.decode())
        # With a broken chanpipe the host side stops at the first failure
        # and leaves the guest script waiting.
        try:
            guest.wait(60 * simport.SCALE if o.mode == "good" else 0)
        except subprocess.TimeoutExpired:
            print("the guest script did not end; stopped")
        print("guest side (Wine cmd.exe):")
        for line in open(os.path.join(o.work, "guest.out"), "rb").read().decode(
                "utf-8", "replace").splitlines():
            print("  " + line)
        sys.stdout.flush()
        return subprocess.run([sys.executable, os.path.join(HERE, "check-result.py"), result,
                               str(host.returncode), o.mode, "windows"]).returncode
    except simport.Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        if bridge:
            bridge.stop()
        simport.kill_started()
        shutil.rmtree(sockets, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
