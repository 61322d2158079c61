#!/usr/bin/env python3
"""Judges one run of the self-test kit from the host side's JSON.

    check-result.py RESULT.json HOST_STATUS good|noqmp|drop|nocopy|denied|killed linux|windows

good: every checked case passed, the host side exited 0, and the observed
cases say what is known of the platform. noqmp: the same without QMP, so
"host sends first" and "pause" are not run. drop, nocopy: a broken chanpipe
ran in the guest; the host side must have exited non-zero and named the
first case the fault can show in, with every case before it passed.
denied: the guest's chanpipe could write but not read the port; the
first echo must fail, naming the refused open. killed: SIGINT stopped the
host side in its first pause of the VM, in the big echo: the run ends there,
with SIGINT's status, every case before it passed.
"""
import json
import sys

# The first case each stand-in breaks: one that loses the second chunk
# needs more than 4096 bytes; one that copies nothing, a single byte.
FIRST_BROKEN = {"drop": "echo 4097 B", "nocopy": "echo 1 B"}


def main():
    path, status, mode, platform = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    try:
        result = json.load(open(path))
    except (OSError, ValueError) as error:
        print("FAIL: no result from the host side: %s" % error)
        return 1
    cases = {c["case"]: c for c in result["cases"]}
    order = [c["case"] for c in result["cases"]]
    problems = []

    def check(condition, text):
        if not condition:
            problems.append(text)

    if mode == "noqmp":
        check(status == 0 and result["verdict"] == "PASS", "verdict %s, host side exited %d" % (
            result["verdict"], status))
        check(cases["host sends first"]["result"] == "not run", "host sends first ran")
        check(cases["pause"]["result"] == "not run", "pause ran")
        check(cases["write with no host"].get("bytes_arrived") is True,
              "write with no host: %s" % cases["write with no host"]["detail"])
    elif mode == "good":
        check(status == 0, "host side exited %d" % status)
        check(result["verdict"] == "PASS", "verdict %s" % result["verdict"])
        for c in result["cases"]:
            check(not c["checked"] or c["result"] == "pass", "%s: %s %s" % (
                c["case"], c["result"], c["detail"]))
        first, no_host, pause = (cases[c] for c in ("host sends first", "write with no host",
                                                    "pause"))
        check(pause["result"] == "finding" and pause.get("kept") is True and
              set(pause.get("vm_status", [])) == {"paused"},
              "pause: %s %s (the bytes come through a pause of the VM unchanged)" % (
                  pause["result"], pause["detail"]))
        check(first["result"] == "finding" and first.get("front_lost") == 0,
              "host sends first: %s %s (no front is lost: the lookup reads names without "
              "opening the port, and the simulated driver keeps queued bytes)" % (
                  first["result"], first["detail"]))
        if platform == "linux":
            check(no_host["result"] == "finding" and no_host.get("waited") is True and
                  no_host.get("bytes_arrived") is True and no_host.get("status") == "0",
                  "write with no host: %s (chanpipe w waits for the host on Linux)" %
                  no_host["detail"])
        else:
            check(no_host["result"] == "finding" and no_host.get("bytes_arrived") is True,
                  "write with no host: %s" % no_host["detail"])
    elif mode == "denied":
        echo = cases["echo 0 B"]
        check(status != 0 and result["verdict"].startswith("FAIL: echo 0 B"),
              "verdict %s, host side exited %d" % (result["verdict"], status))
        check(cases["hello"]["result"] == "pass", "hello: %s" % cases["hello"]["detail"])
        check(echo["result"] == "FAIL" and "may not open the port" in echo["detail"] and
              "CreateFile error 13" in echo["detail"], "echo 0 B: %s %s" % (
                  echo["result"], echo["detail"]))
    elif mode == "killed":
        big = order.index("pause") - 1  # the big echo comes right before the pause row
        check(status == 130 and result["verdict"].startswith("FAIL: stopped by SIGINT"),
              "verdict %s, host side exited %d" % (result["verdict"], status))
        check(result["cases"][big]["detail"] == "stopped by SIGINT",
              "%s: %s" % (order[big], result["cases"][big]["detail"]))
        for name in order[:big]:
            check(cases[name]["result"] == "pass", "%s before the stop: %s %s" % (
                name, cases[name]["result"], cases[name]["detail"]))
    else:
        broken = FIRST_BROKEN[mode]
        check(status != 0, "host side exited 0 with a broken chanpipe")
        check(result["verdict"].startswith("FAIL: " + broken),
              "verdict %r does not name %s first" % (result["verdict"], broken))
        check(cases[broken]["result"] == "FAIL", "%s: %s" % (broken, cases[broken]["result"]))
        for name in order[:order.index(broken)]:
            check(cases[name]["result"] == "pass", "%s before the fault: %s %s" % (
                name, cases[name]["result"], cases[name]["detail"]))
    for p in problems:
        print("FAIL: " + p)
    if not problems:
        print("ok: %s run on %s: %s" % (mode, platform, result["verdict"]))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
