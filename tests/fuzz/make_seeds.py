#!/usr/bin/env python3
"""Writes the seed corpus: one small input per edge case, in the layout that
fuzz_lookup.cpp and fuzz_copy.cpp read. Run it from anywhere after changing
a layout; the files it writes are the ones checked in."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u8(v):
    return bytes([v & 0xFF])


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


JUNK = 0x29  # fills the record's 7 leading bytes


def record(kind, *args):
    """The name request's reply: ('match', tail), ('run', tail), ('raw', bytes)
    or ('prefix', cut, tail), as fuzz_lookup.cpp builds them."""
    if kind == "raw":
        return u8(JUNK << 2 | 2) + u16(len(args[0])) + args[0]
    if kind == "prefix":
        cut, tail = args
        return u8(JUNK << 2 | 3) + u8(cut) + u8(len(tail)) + tail
    tail = args[0] if args else b""
    return u8(JUNK << 2 | {"match": 0, "run": 1}[kind]) + u8(len(tail)) + tail


def port(rec, units=12, shift=None, literal=(), query=None, fetch=None, probe=None, io=None, close=None,
         without_nul=False, short_fetch=False, reported=None):
    bits = 0
    out = b""
    for bit, value in ((1, query), (2, fetch), (4, probe), (8, io), (16, close)):
        if value is not None:
            bits |= bit
            out += u32(value)
    bits |= 32 if without_nul else 0
    bits |= 64 if short_fetch else 0
    if reported is not None:
        bits |= 128
        out += u32(reported)
    if shift is None:  # a path of its own
        port.made += 1
        shift = port.made * 7
    out += u16(units) + u8(shift) + u8(len(literal)) + b"".join(u16(u) for u in literal)
    return u8(bits) + out + rec


port.made = 0


def lookup(name=b"chan0", ports=(), set_error=None, heap_exhausted=False, destroy_error=None,
           enum_stop=None):
    flags = 0
    out = b""
    if set_error is not None:
        flags |= 1
        out += u32(set_error)
    flags |= 2 if heap_exhausted else 0
    if destroy_error is not None:
        flags |= 4
        out += u32(destroy_error)
    if enum_stop is not None:
        flags |= 8
        out += u8(enum_stop[0]) + u32(enum_stop[1])
    return u8(flags) + out + u16(len(name)) + name + u8(len(ports)) + b"".join(ports)


def read(size=0, literal=b"", error=None, kind=0, claim=None):
    if error is not None:
        return u8(kind | 1) + u32(error)
    if claim is None:
        return u8(kind & 0xFC) + u16(size) + u8(len(literal)) + literal
    return u8(kind & 0xFC | 2) + u16(size) + u8(len(literal)) + literal + u32(claim)


def write(accept=None, error=None):
    if error is not None:
        return u8(0) + u32(error)
    if accept is not None:
        return u8(1) + u16(accept)
    return u8(2)


def copy(mode="r", reads=(), writes=(), open_error=None, end_error=None):
    flags = 1 if mode == "w" else 0
    out = b""
    if open_error is not None:
        flags |= 2
        out += u32(open_error)
    if end_error is not None:
        flags |= 4
        out += u32(end_error)
    return (u8(flags) + out + u8(len(reads)) + b"".join(reads) + u8(len(writes)) +
            b"".join(writes))


LOOKUP = {
    "no-ports": lookup(),
    "one-match": lookup(ports=[port(record("match"))]),
    "first-of-two-equal-names": lookup(ports=[port(record("raw", b"\xa5" * 7 + b"alpha\0")),
                                              port(record("match")), port(record("match"))]),
    "case-differs": lookup(ports=[port(record("raw", b"\0" * 7 + b"CHAN0\0"))]),
    "channel-is-prefix-of-port": lookup(ports=[port(record("run", b"x\0"))]),
    "port-is-prefix-of-channel": lookup(ports=[port(record("prefix", 4, b"\0"))]),
    "empty-name-nul-at-7": lookup(name=b"", ports=[port(record("raw", b"\x01" * 7 + b"\0"))]),
    "empty-name-short-reply": lookup(name=b"", ports=[port(record("raw", b"abc"))]),
    "reply-without-nul": lookup(name=b"A" * 505, ports=[port(record("raw", b"\x01" * 7 +
                                                                       b"A" * 505))]),
    "longest-name": lookup(name=b"A" * 504, ports=[port(record("match"))]),
    "name-longer-than-record": lookup(name=b"B" * 600, ports=[port(record("match"))]),
    "name-with-8-bit-bytes": lookup(name=b"\xe9t\xe9\xff", ports=[port(record("match"))]),
    "probe-of-match-fails": lookup(ports=[port(record("match"), probe=5)]),
    "failing-port-before-match": lookup(ports=[port(record("match"), fetch=13),
                                               port(record("match"))]),
    "set-fails-negative-error": lookup(set_error=0x80000005),
    "set-release-fails": lookup(ports=[port(record("match"))], destroy_error=6),
    "path-over-259-units": lookup(ports=[port(record("match"), units=600)]),
    # 'x' is the 24th letter: the 23 units and the fill are the other's path.
    "path-without-nul": lookup(ports=[port(record("raw", b""), units=23, shift=0,
                                           without_nul=True, reported=4 + 2 * 24),
                                      port(record("match"), units=24, shift=0)]),
    "path-without-nul-cut": lookup(ports=[port(record("match"), units=258, without_nul=True,
                                               reported=4 + 2 * 300)]),
    "size-below-declared": lookup(ports=[port(record("match"), reported=5),
                                         port(record("match"), reported=1)]),
    "size-too-big-for-heap": lookup(ports=[port(record("match"), reported=0xFFFFFFFF)]),
    "short-fetch-succeeds": lookup(ports=[port(record("raw", b""), units=300, shift=0,
                                               short_fetch=True, reported=4 + 2 * 10),
                                          port(record("match"), units=10, shift=0)]),
    "odd-size-short-fetch": lookup(ports=[port(record("raw", b""), units=40, shift=3,
                                               short_fetch=True, reported=4 + 2 * 7 + 1),
                                          port(record("match"), units=7, shift=3)]),
    "size-short-of-path": lookup(ports=[port(record("match"), units=40, reported=4 + 2 * 20)]),
    "request-fails-after-reply": lookup(ports=[port(record("match"), io=31),
                                               port(record("match"))]),
    "close-fails-after-request-fails": lookup(ports=[port(record("match"), io=1167, close=6)]),
    "close-fails-on-match": lookup(ports=[port(record("match"), close=0)]),
    "walk-cut-short": lookup(ports=[port(record("raw", b"")), port(record("raw", b"")),
                                    port(record("match"))], enum_stop=(1, 0xFFFFFFFF)),
    "heap-exhausted": lookup(ports=[port(record("match"))], heap_exhausted=True),
    "query-fails": lookup(ports=[port(record("match"), query=0x57)]),
    "nul-inside-path": lookup(ports=[port(record("match"), units=20, literal=[0x5C, 0])]),
    "same-path-twice": lookup(ports=[port(record("raw", b"\0" * 7 + b"other\0"), units=30,
                                          literal=[0x41] * 30),
                                     port(record("match"), units=30, literal=[0x41] * 30)]),
    "eight-ports": lookup(ports=[port(record("prefix", i, b"\0")) for i in range(5)] +
                          [port(record("run", b"x\0")), port(record("raw", b"\0" * 7 + b"Chan0\0")),
                           port(record("match"))]),
}

A_CHUNK = read(4096, b"first")
COPY = {
    "r-source-ends-at-once": copy("r"),
    "w-source-ends-at-once": copy("w"),
    "w-three-chunks": copy("w", [A_CHUNK, read(4096), read(100)]),
    "r-three-chunks": copy("r", [read(1), read(4096), read(4095)]),
    "r-destination-closed": copy("r", [read(10, b"0123456789")], [write(error=6)]),
    "w-read-fails": copy("w", [read(17), read(error=5)]),
    "read-fails-top-bit": copy("r", [read(error=0xFFFFFFFF)]),
    "zero-byte-read-ends": copy("w", [read(8), read(0), read(9)]),
    "short-writes-complete": copy("w", [A_CHUNK], [write(1000), write(1), write(accept=None)]),
    "write-takes-nothing": copy("r", [read(50)], [write(49), write(0)]),
    "data-open-fails": copy("w", [read(5)], open_error=5),
    "data-open-fails-negative": copy("r", open_error=0xC0000022),
    "source-ends-with-0": copy("r", [read(3)], end_error=0),
    "source-ends-with-other": copy("w", [read(3)], end_error=232),
    "broken-pipe-midway": copy("r", [read(3), read(error=109), read(4)]),
    "write-fails-with-109": copy("w", [read(3)], [write(error=109)]),
    "read-claims-more-than-asked": copy("r", [read(10, b"0123456789", claim=0xFFFFFFFF)]),
    "read-claims-more-than-given": copy("w", [read(4000), read(10, claim=96)]),
    "read-claims-less-than-given": copy("r", [read(100, claim=1), read(5)]),
    "write-fails-top-bit": copy("r", [read(10)], [write(6), write(error=0x80000000)]),
}


def main():
    for target, seeds in (("lookup", LOOKUP), ("copy", COPY)):
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as out:
                out.write(data)


if __name__ == "__main__":
    main()
