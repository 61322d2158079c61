#!/usr/bin/env python3
"""End-to-end tests of the real chanpipe.exe under Wine, against simulated
virtio-serial ports.

    e2e.py OPTIONS setup      fresh prefix if needed, driver and ports in place
    e2e.py OPTIONS run CASE   one case
    e2e.py OPTIONS stop       ends the prefix's Wine session
    e2e.py list               the cases, one a line

The ports, the prefix and its Wine session are simport/simport.py's, and
OPTIONS are its options. One Wine session stays up for all cases, so the
driver's state lives from one step to the next.

Known Wine 8 differences, each named where a case meets it:
  * A device open does not wait for the driver's answer to IRP_MJ_CREATE:
    CreateFileW succeeds even when the driver refuses the open. Windows
    fails CreateFileW with the refusal's error. The simulated port fails
    every later request on a refused handle with the refusal, so under
    Wine the refusal shows one call later.
  * Share modes are not enforced on device opens, and the driver is not
    told the access asked for (so it cannot check them itself either);
    IoCheckShareAccess is an unimplemented stub. Windows lets the port
    refuse a second open of a port held with share mode 0.
  * CloseHandle on a device returns before the driver sees the close, so
    the next open may still find what the close was to change. The port
    that goes between the lookup and the data open goes as it answers the
    probe's name, not at the probe's close.
  * A write on a synchronous handle goes through while a read blocks on the
    same handle. Windows runs a synchronous handle's requests one at a time.
  * A Linux pipe given as standard input ends with a read that succeeds
    with no bytes; a Windows pipe ends with a read failing with
    ERROR_BROKEN_PIPE (109). The cases use both.
  * IRP buffers are reused, so every byte of test data comes from a PRNG
    stream that never repeats: stale bytes cannot pass for fresh ones.
The 32-bit chanpipe.exe meets the same differences, in a 32-bit prefix
with the x86 driver and under WoW64 with the x64 one, and no others.
"""
import argparse
import contextlib
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "simport"))
from simport import (CHUNK, EIGHT_BIT_NAME, GONE, INDEX, LONG_NAME, NAME,  # noqa: E402
                     NO_NUL_NAME, PAIR, Failure, Machine, add_options, check, prng,
                     run_action, setup, show, stop)

SIZES = {"0": 0, "1": 1, "4095": 4095, "4096": 4096, "4097": 4097, "8mib": 8 << 20}

# Create options as the driver sees them (FILE_FLAG_NO_BUFFERING and a
# synchronous handle).
FILE_NO_INTERMEDIATE_BUFFERING = 0x08
FILE_SYNCHRONOUS_IO_NONALERT = 0x20


def same_bytes(what, got, want):
    if got != want:
        raise Failure("%s: %d bytes, sha256 %s; expected %d bytes, sha256 %s; got %s" % (
            what, len(got), hashlib.sha256(got).hexdigest()[:16], len(want),
            hashlib.sha256(want).hexdigest()[:16], show(got)))


def not_found(name):
    return (b"%s not found\r\nTurn UAC off and make sure that %s is defined in the VM config.\r\n"
            b"Unable to find %s\r\n" % (name, name, name))


def chunks(size, chunk=CHUNK):
    return (size + chunk - 1) // chunk


class Harness(Machine):
    """The machine, with what every run must leave behind."""

    def expect_run(self, result, status, err, out=b""):
        got_status, got_out, got_err, _ = result
        if got_err != err:
            raise Failure("standard error:\n  got      %s\n  expected %s" % (show(got_err),
                                                                             show(err)))
        same_bytes("standard output", got_out, out)
        check(got_status == status, "exit status %d, expected %d" % (got_status, status))

    # ---- what every run must leave behind ----

    def check_lookup(self, probed, matched=None, untouched=()):
        """probed ports were opened once and asked their name; the matched
        one was opened a second time for data; untouched ones never. A port
        whose path is gone is never reached."""
        for key in probed:
            s = self.stat(key)
            if s["vanished"] and s["opens"] == 0 and key in GONE:
                continue
            want = 2 if key == matched else 1
            check(s["opens"] == want, "port %s opened %d times, expected %d" % (
                key, s["opens"], want))
            check(s["max_handles"] <= 1, "port %s held by %d handles at once" % (
                key, s["max_handles"]))
            if s["info_requests"]:
                check(s["info_out_length"] == 512 and s["info_in_length"] == 0,
                      "port %s asked with %d bytes in, %d out; expected 0 and 512" % (
                          key, s["info_in_length"], s["info_out_length"]))
            probe = parse_open(s["open1"])
            check(probe["share"] == 0, "probe of %s shared (%d)" % (key, probe["share"]))
            check(not probe["options"] & FILE_NO_INTERMEDIATE_BUFFERING,
                  "probe of %s asked for no buffering" % key)
            check(probe["options"] & FILE_SYNCHRONOUS_IO_NONALERT,
                  "probe of %s is not synchronous" % key)
            if key == matched and s["open_log_count"] >= 2:
                data = parse_open(s["open2"])
                check(data["share"] == 0, "data open of %s shared" % key)
                check(data["options"] & FILE_NO_INTERMEDIATE_BUFFERING,
                      "data open of %s without FILE_FLAG_NO_BUFFERING" % key)
                check(data["options"] & FILE_SYNCHRONOUS_IO_NONALERT,
                      "data open of %s is not synchronous" % key)
        for key in untouched:
            s = self.stat(key)
            check(s["opens"] == 0, "port %s after the match was opened" % key)


def parse_open(text):
    fields = dict(part.split(":", 1) for part in text.split())
    return {k: int(v, 16) if v.startswith("0x") else int(v) for k, v in fields.items()}


# ---------------------------------------------------------------- cases

CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


def read_case(h, port, data, sink_kind, label):
    """Host to guest with r: everything is queued before the run."""
    h.plug(port)
    h.push(port, data)
    h.close(port)
    result = h.chanpipe("r", NAME[port], sink_kind=sink_kind)
    h.expect_run(result, 0, PAIR * chunks(len(data)), data)
    s = h.stat(port)
    check(s["writes"] == 0, "chanpipe r wrote to the port")
    check(s["reads"] == chunks(len(data)) + 1,
          "%d reads of the port, expected %d" % (s["reads"], chunks(len(data)) + 1))
    h.check_lookup([port], matched=port)


def write_case(h, port, data, source_kind):
    """Guest to host with w."""
    h.plug(port)
    status, out, err, _ = h.chanpipe("w", NAME[port], source=data, source_kind=source_kind)
    s = h.stat(port)
    check(status == 0, "exit status %d, expected 0; standard error %s" % (status, show(err)))
    check(out == b"", "chanpipe w wrote to standard output: %s" % show(out))
    check(s["reads"] == 0, "chanpipe w read the port")
    pairs = len(err) // len(PAIR)
    check(err == PAIR * pairs, "standard error is not progress lines alone: %s" % show(err))
    check(pairs == s["writes"], "%d progress pairs for %d writes" % (pairs, s["writes"]))
    if source_kind == "file":
        # A file delivers full chunks: one write per 4096 bytes.
        check(pairs == chunks(len(data)), "%d writes, expected %d" % (pairs, chunks(len(data))))
    else:
        check(pairs >= chunks(len(data)), "%d writes for %d bytes" % (pairs, len(data)))
    same_bytes("bytes the host received", h.pull(port), data)
    h.check_lookup([port], matched=port)


# "pipe" is a Windows anonymous pipe: its end is a read failing with 109.
# "unix_pipe" is what a Linux shell gives a Wine program. Wine difference:
# its end reads as a success with no bytes, not as error 109.
for _size in SIZES:
    for _kind in ("file", "pipe", "unix_pipe"):
        if _kind == "unix_pipe" and _size not in ("0", "4097", "8mib"):
            continue
        def _read(h, size=_size, kind=_kind):
            read_case(h, "data", prng("r %s %s" % (size, kind), SIZES[size]), kind, size)

        def _write(h, size=_size, kind=_kind):
            write_case(h, "data", prng("w %s %s" % (size, kind), SIZES[size]), kind)

        _read.__name__ = "host_to_guest_%s_bytes_to_%s" % (_size, _kind)
        _write.__name__ = "guest_to_host_%s_bytes_from_%s" % (_size, _kind)
        case(_read)
        case(_write)


@case
def third_argument_is_ignored(h):
    data = prng("third argument", 5000)
    h.plug("data")
    h.push("data", data)
    h.close("data")
    h.expect_run(h.chanpipe("r", NAME["data"], extra=[b"extra"]), 0, PAIR * 2, data)


class Waiting:
    """chanpipe r running on its own, waiting in a read of the port."""

    def __init__(self, h, process):
        self.h, self.process = h, process

    def finish(self):
        """(status, stdout, stderr, None) once it has ended by itself."""
        status = self.h.wine.finish(self.process, 120, "chanpipe r")
        return (status, open(os.path.join(self.h.dir, "waiting.out"), "rb").read(),
                open(os.path.join(self.h.dir, "waiting.err"), "rb").read(), None)

    def kill(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


@contextlib.contextmanager
def waiting_reader(h, port):
    with open(os.path.join(h.dir, "waiting.out"), "wb") as out, \
            open(os.path.join(h.dir, "waiting.err"), "wb") as err:
        waiting = Waiting(h, h.start_chanpipe([b"r", NAME[port]], subprocess.DEVNULL, out, err))
    try:
        h.wait(port, "reads_pending", 1)
        yield waiting
    finally:
        waiting.kill()


@case
def host_to_guest_with_output_closed(h):
    """Standard output closed: the first chunk is lost with the write's
    error (an invalid handle) and the port is not read again."""
    data = prng("output closed", 5000)
    h.plug("data")
    h.push("data", data)
    h.close("data")
    err_path = os.path.join(h.dir, "closed.err")
    with open(err_path, "wb") as err:
        process = h.wine.start([h.o.chanpipe, "r", NAME["data"]], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=err,
                               preexec_fn=lambda: os.close(1))
    status = h.wine.finish(process, 120, "chanpipe r")
    h.expect_run((status, b"", open(err_path, "rb").read(), None), 4,
                 PAIR + b"WriteFile error 6\r\n")
    check(h.stat("data")["reads"] == 1, "the port was read after the failed write")


@case
def read_waits_for_the_host(h):
    """A read with nothing queued waits; each push answers it."""
    first, second = prng("wait first", 3000), prng("wait second", 5096)
    h.plug("data")
    with waiting_reader(h, "data") as waiting:
        h.push("data", first)
        h.wait("data", "reads", 2)  # the next read has come ...
        h.wait("data", "reads_pending", 1)  # ... and waits
        h.push("data", second)  # answers it with 4096, then 1000 at once
        h.wait("data", "reads", 4)
        h.wait("data", "reads_pending", 1)
        h.close("data")  # the waiting read ends with a broken pipe
        h.expect_run(waiting.finish(), 0, PAIR * 3, first + second)


@case
def killed_while_reading_the_read_is_cancelled(h):
    """A guest program killed in a waiting read: the driver cancels the
    read and no byte sent afterwards is lost to it."""
    h.plug("data")
    with waiting_reader(h, "data") as waiting:
        waiting.kill()
    h.wait("data", "reads_pending", 0)
    h.wait("data", "handles", 0)
    check(h.stat("data")["reads_cancelled"] == 1, "the waiting read was not cancelled")
    data = prng("after the kill", 6000)
    h.push("data", data)
    h.close("data")
    h.expect_run(h.chanpipe("r", NAME["data"]), 0, PAIR * 2, data)
    check(h.stat("data")["reads_cancelled"] == 1, "a read was cancelled in the second run")


# ---- lookup ----

def lookup_reads(h, present, wanted, query=None, before_err=b""):
    """Plugs present, sends data on wanted, reads it with chanpipe r."""
    h.plug(*present)
    data = prng("lookup " + wanted + " " + ",".join(present), 4100)
    h.push(wanted, data)
    h.close(wanted)
    name = NAME[wanted] if query is None else query
    h.expect_run(h.chanpipe("r", name), 0, before_err + PAIR * 2, data)
    at = present.index(wanted)
    h.check_lookup(present[:at + 1], matched=wanted, untouched=present[at + 1:])


def lookup_misses(h, present, query):
    h.plug(*present)
    h.expect_run(h.chanpipe("r", query), 2, not_found(query))
    h.check_lookup(present)


@case
def one_port(h):
    lookup_reads(h, ["data"], "data")


@case
def one_port_other_name_not_found(h):
    lookup_misses(h, ["data"], b"org.chanpipe.nowhere")


@case
def no_port_present_not_found(h):
    h.plug()
    h.expect_run(h.chanpipe("r", NAME["data"]), 2, not_found(NAME["data"]))


@case
def three_ports_last_matches(h):
    lookup_reads(h, ["lookup1", "lookup2", "lookup3"], "lookup3")


@case
def three_ports_middle_matches(h):
    lookup_reads(h, ["lookup1", "lookup2", "lookup3"], "lookup2")


EIGHT = ["lookup%d" % i for i in range(1, 9)]


@case
def eight_ports_last_matches(h):
    lookup_reads(h, EIGHT, "lookup8")


@case
def eight_ports_first_matches_rest_untouched(h):
    lookup_reads(h, EIGHT, "lookup1")


@case
def eight_ports_not_found(h):
    lookup_misses(h, EIGHT, b"org.chanpipe.lookup.9")


@case
def twins_first_in_enumeration_wins(h):
    h.plug("twin_first", "twin_second")
    first, second = prng("twin first", 4500), prng("twin second", 4500)
    h.push("twin_first", first)
    h.close("twin_first")
    h.push("twin_second", second)
    h.close("twin_second")
    h.expect_run(h.chanpipe("r", b"org.chanpipe.twin"), 0, PAIR * 2, first)
    h.check_lookup(["twin_first"], matched="twin_first", untouched=["twin_second"])


@case
def case_and_prefix_differences_do_not_match(h):
    lookup_misses(h, ["upper_case", "longer", "shorter"], b"org.chanpipe.exact")


@case
def exact_name_after_near_misses(h):
    lookup_reads(h, ["upper_case", "longer", "shorter", "exact"], "exact")


@case
def name_prefix_of_a_port_does_not_match(h):
    lookup_misses(h, ["exact"], b"org.chanpipe.exac")


@case
def empty_name_matches_the_empty_port(h):
    lookup_reads(h, ["data", "empty"], "empty")


@case
def empty_name_without_an_empty_port_not_found(h):
    lookup_misses(h, ["data", "exact"], b"")


@case
def name_of_504_bytes(h):
    lookup_reads(h, ["data", "long_name"], "long_name")


@case
def name_of_504_bytes_less_one_not_found(h):
    lookup_misses(h, ["long_name"], LONG_NAME[:503])


@case
def eight_bit_name(h):
    lookup_reads(h, ["data", "eight_bit"], "eight_bit")


@case
def eight_bit_name_not_found_is_echoed_unchanged(h):
    lookup_misses(h, ["eight_bit"], EIGHT_BIT_NAME[:-1] + b"\xae")


@case
def record_without_nul_names_nothing(h):
    h.plug("no_nul")
    for query in (NO_NUL_NAME, NO_NUL_NAME[:504]):
        h.expect_run(h.chanpipe("r", query), 2, not_found(query))


@case
def record_without_nul_then_match(h):
    lookup_reads(h, ["no_nul", "wanted"], "wanted")


@case
def short_record_then_match(h):
    # The reply holds only the driver's own seven bytes: no name, no message.
    lookup_reads(h, ["short_record", "wanted"], "wanted")


@case
def short_record_alone_not_found(h):
    lookup_misses(h, ["short_record"], b"org.chanpipe.wanted")


# ---- faults in the lookup, each followed by a port that matches ----

@case
def port_gone_before_its_probe_then_match(h):
    # Listed, but its path opens nothing (unplugged after the listing).
    lookup_reads(h, ["gone", "wanted"], "wanted", before_err=b"CreateFile error 2\r\n")


@case
def probe_open_refused_then_match(h):
    # Wine difference: Windows fails the probe's CreateFileW itself with
    # "CreateFile error 5"; under Wine the open succeeds and the refusal
    # comes back from the port information request.
    lookup_reads(h, ["refused", "wanted"], "wanted", before_err=b"DeviceIoControl Error 5\r\n")
    check(h.stat("refused")["refused_requests"] == 1, "the refused handle was used again")


@case
def port_info_access_denied_then_match(h):
    lookup_reads(h, ["info_denied", "wanted"], "wanted", before_err=b"DeviceIoControl Error 5\r\n")


@case
def port_info_not_supported_then_match(h):
    lookup_reads(h, ["info_unsupported", "wanted"], "wanted",
                 before_err=b"DeviceIoControl Error 50\r\n")


@case
def port_info_invalid_request_then_match(h):
    lookup_reads(h, ["info_invalid", "wanted"], "wanted",
                 before_err=b"DeviceIoControl Error 1\r\n")


@case
def port_info_error_with_top_bit_is_negative(h):
    lookup_reads(h, ["info_custom", "wanted"], "wanted",
                 before_err=b"DeviceIoControl Error -536870846\r\n")


# What each faulty port adds to standard error when the lookup meets it.
FAULT_LINES = {
    "no_nul": b"",
    "short_record": b"",
    # Under Wine; Windows: "CreateFile error 5" (see probe_open_refused_then_match).
    "refused": b"DeviceIoControl Error 5\r\n",
    "gone": b"CreateFile error 2\r\n",
    "info_denied": b"DeviceIoControl Error 5\r\n",
    "info_unsupported": b"DeviceIoControl Error 50\r\n",
    "info_invalid": b"DeviceIoControl Error 1\r\n",
    "info_custom": b"DeviceIoControl Error -536870846\r\n",
}


@case
def every_lookup_fault_in_turn_then_match(h):
    faulty = sorted(FAULT_LINES, key=INDEX.get)
    lookup_reads(h, faulty + ["wanted"], "wanted",
                 before_err=b"".join(FAULT_LINES[k] for k in faulty))


@case
def every_lookup_fault_and_no_match(h):
    faulty = sorted(FAULT_LINES, key=INDEX.get)
    h.plug(*faulty)
    query = b"org.chanpipe.wanted"
    h.expect_run(h.chanpipe("r", query), 2,
                 b"".join(FAULT_LINES[k] for k in faulty) + not_found(query))


# ---- the data open ----

@case
def data_open_port_gone_r(h):
    # The port goes between the lookup and the data open: status 3, and no
    # later port of the same name is tried.
    h.plug("data_gone", "held_later")
    h.expect_run(h.chanpipe("r", b"org.chanpipe.held"), 3, b"CreateFile error 2\r\n")
    h.check_lookup(["data_gone"], untouched=["held_later"])


@case
def data_open_port_gone_w(h):
    h.plug("data_gone", "held_later")
    result = h.chanpipe("w", b"org.chanpipe.held", source=prng("gone w", 5000),
                        source_kind="pipe")
    h.expect_run(result, 3, b"CreateFile error 2\r\n")
    check(h.pull("data_gone") == b"" and h.pull("held_later") == b"", "bytes reached a port")


@case
def data_open_refused_r(h):
    # Wine difference: Windows fails the data open's CreateFileW with
    # "CreateFile error 32" and status 3; under Wine the open succeeds and
    # the refusal comes back from the first read.
    h.plug("data_refused", "held_later")
    h.push("data_refused", prng("refused r", 100))
    h.expect_run(h.chanpipe("r", b"org.chanpipe.held"), 5, b"ReadFile error 32\r\n")
    h.check_lookup(["data_refused"], matched="data_refused", untouched=["held_later"])


@case
def data_open_refused_w(h):
    # Wine difference, as above: Windows gives "CreateFile error 32" and
    # status 3; under Wine the first write fails with the refusal.
    h.plug("data_refused", "held_later")
    result = h.chanpipe("w", b"org.chanpipe.held", source=prng("refused w", 100))
    h.expect_run(result, 4, PAIR + b"WriteFile error 32\r\n")
    check(h.pull("data_refused") == b"", "bytes reached the refused port")


# ---- transfer faults ----

@case
def read_fails_after_first_chunk(h):
    data = prng("read fails", 6000)
    h.plug("read_fails")
    h.push("read_fails", data)  # the host stays open: only the fault ends the run
    h.expect_run(h.chanpipe("r", NAME["read_fails"]), 5, PAIR + b"ReadFile error 1167\r\n",
                 data[:CHUNK])


@case
def read_end_of_file_ends_quietly(h):
    # A synchronous ReadFile reports the port's end-of-file as success with
    # no bytes: the copy ends with status 0.
    h.plug("read_eof")
    h.push("read_eof", prng("eof", 100))
    h.expect_run(h.chanpipe("r", NAME["read_eof"]), 0, b"")
    check(h.stat("read_eof")["reads"] == 1, "the port was read again after its end")


@case
def write_fails_at_once(h):
    h.plug("write_fails_first")
    result = h.chanpipe("w", b"org.chanpipe.write-fails", source=prng("write fails 1", 5000))
    h.expect_run(result, 4, PAIR + b"WriteFile error 1117\r\n")
    check(h.pull("write_fails_first") == b"", "bytes of a failed write reached the host")
    check(h.stat("write_fails_first")["writes"] == 1, "a write followed the failed one")


@case
def write_fails_on_second_chunk(h):
    data = prng("write fails 2", 9000)
    h.plug("write_fails_second")
    result = h.chanpipe("w", b"org.chanpipe.write-fails", source=data)
    h.expect_run(result, 4, PAIR * 2 + b"WriteFile error 1117\r\n")
    same_bytes("bytes the host received", h.pull("write_fails_second"), data[:CHUNK])


def trickle_case(h, source_kind):
    # The port takes at most 1000 bytes a write: each chunk is finished by
    # further writes, each between its own progress lines.
    data = prng("trickle " + source_kind, 10000)
    h.plug("trickle")
    status, out, err, _ = h.chanpipe("w", NAME["trickle"], source=data, source_kind=source_kind)
    s = h.stat("trickle")
    check(status == 0 and out == b"", "status %d, output %s" % (status, show(out)))
    if source_kind == "file":
        sizes = [CHUNK, CHUNK, 10000 - 2 * CHUNK]
        want = sum(chunks(size, 1000) for size in sizes)
        check(err == PAIR * want, "standard error %s, expected %d pairs" % (show(err), want))
    else:
        check(err == PAIR * (len(err) // len(PAIR)), "standard error %s" % show(err))
    check(len(err) // len(PAIR) == s["writes"], "%d pairs for %d writes" % (
        len(err) // len(PAIR), s["writes"]))
    same_bytes("bytes the host received", h.pull("trickle"), data)


@case
def short_writes_are_finished_from_file(h):
    trickle_case(h, "file")


@case
def short_writes_are_finished_from_pipe(h):
    trickle_case(h, "pipe")


@case
def write_taking_nothing_counts_as_failed(h):
    h.plug("stalled")
    status, out, err, _ = h.chanpipe("w", NAME["stalled"], source=prng("stalled", 300))
    check(status == 4, "exit status %d, expected 4" % status)
    check(re.fullmatch(rb"Executing WriteFile\r\nFinished WriteFile\r\nWriteFile error -?\d+\r\n",
                       err), "standard error %s" % show(err))
    check(h.stat("stalled")["writes"] == 1, "the port was written again")


# ---- Wine differences, shown ----

@case
def wine_difference_share_mode_not_enforced(h):
    """Wine difference: while chanpipe holds the port (share mode 0), a
    second open succeeds under Wine. On Windows the port is told the access
    asked for and refuses it with ERROR_SHARING_VIOLATION (32)."""
    h.plug("data")
    with waiting_reader(h, "data") as waiting:
        _, text = h.ctl("open", INDEX["data"], "80000000", "0")
        h.close("data")
        h.expect_run(waiting.finish(), 0, b"")
    check(text.strip() == "open 1: ok",
          "the second open gave %r; Wine 8 lets it through (Windows: error 32)" % text)
    check(h.stat("data")["max_handles"] == 2, "the second open did not reach the port")


@case
def wine_difference_write_passes_a_blocked_read(h):
    """Wine difference: on one synchronous handle a write completes while a
    read still waits. Windows runs a synchronous handle's requests one at a
    time, so there the write waits until the read is answered. Either way
    the port keeps the two directions apart."""
    h.plug("data")
    out_bytes, in_bytes = prng("both ways out", 200), prng("both ways in", 150)
    _, text = h.ctl("both-ways", INDEX["data"], out_bytes.hex(), in_bytes.hex())
    lines = dict(word.split("=", 1) for word in text.split() if "=" in word)
    check(lines.get("write") == "ok" and lines.get("written") == str(len(out_bytes)),
          "the write: %s" % text)
    check(lines.get("reads_pending_after_write") == "1",
          "the write waited for the read (Windows' behaviour, not Wine 8's): %s" % text)
    check(lines.get("read") == "ok" and lines.get("read_bytes") == in_bytes.hex(),
          "the read: %s" % text)
    same_bytes("bytes the host received", h.pull("data"), out_bytes)


def main():
    parser = argparse.ArgumentParser()
    add_options(parser)
    parser.add_argument("action", choices=["setup", "run", "stop", "list"])
    parser.add_argument("case", nargs="?")
    o = parser.parse_args()
    if o.action == "list":
        print("\n".join(CASES))
        return 0
    h = Harness(o)
    if o.action != "run":
        return run_action(h, {"setup": setup, "stop": stop}[o.action])
    if o.case not in CASES:
        print("FAILED: no case %r" % o.case, file=sys.stderr)
        return 1

    def one_case(h):
        h.dir = os.path.join(o.work, o.case)
        shutil.rmtree(h.dir, ignore_errors=True)
        os.makedirs(h.dir)
        CASES[o.case](h)
    one_case.__name__ = "run"
    return run_action(h, one_case, o.case)


if __name__ == "__main__":
    sys.exit(main())
