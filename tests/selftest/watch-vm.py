#!/usr/bin/env python3
"""The VM as the test sees it, on a QMP monitor of its own.

    watch-vm.py SOCKET stopped PID SIGNAL...   at the VM's first STOP, the
                                               signals to PID, 50 ms apart
                                               (those it lives to get)
    watch-vm.py SOCKET status                  prints query-status's status
    watch-vm.py SOCKET cont                    lets the VM go on
"""
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "host"))
import chanpipe_qmp  # noqa: E402


def main(socket, what, pid=None, *signals):
    with chanpipe_qmp.QMPClient(socket, timeout=30) as qmp:
        qmp.connect()
        if what == "status":
            print(qmp.cmd("query-status")["status"])
            return 0
        if what == "cont":
            qmp.cmd("cont")
            return 0
        deadline = time.monotonic() + 300
        while time.monotonic() < deadline:
            event = qmp.pull_event(wait=1.0)
            if event and event["event"] == "STOP":
                for name in signals:
                    try:
                        os.kill(int(pid), signal.Signals[name])
                    except ProcessLookupError:
                        break  # it has ended
                    time.sleep(0.05)
                return 0
    print("watch-vm: the VM was never paused", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
