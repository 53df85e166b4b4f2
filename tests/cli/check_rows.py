#!/usr/bin/env python3
"""Checks tmp.txt and tmp.bin against the firmware they were made from.

check_rows.py DIR RECORD_SIZE CHUNK... where CHUNK is ADDRESS:FILE.bin (hex address).
Independent of the updater's code: it parses the two files by their documented
layouts and asks, for every firmware byte, that some row carries it at its address
and that no row other than an all-0xFF fill row holds a different value there, and
that rows hold nothing but fill (0xFF) at addresses where the firmware has no byte.
"""
import sys


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


def main():
    work, size = sys.argv[1], int(sys.argv[2])
    firmware = {}
    for chunk in sys.argv[3:]:
        addr, path = chunk.split(":", 1)
        base = int(addr, 16)
        for i, b in enumerate(open(path, "rb").read()):
            firmware[base + i] = b

    binary = open(f"{work}/tmp.bin", "rb").read()
    text = open(f"{work}/tmp.txt", "rb").read()
    stride = size + 5
    if len(binary) == 0 or len(binary) % stride:
        fail(f"tmp.bin is {len(binary)} bytes, not whole rows of {stride}")
    lines = text.split(b"\r\n")
    if lines[-1] != b"":
        fail("tmp.txt does not end with CR LF")
    lines = lines[:-1]
    if any(b"\n" in line or b"\r" in line for line in lines):
        fail("tmp.txt has a line end other than CR LF")

    rows = []
    for i in range(len(binary) // stride):
        row = binary[i * stride:(i + 1) * stride]
        length, address, count, data = row[0], int.from_bytes(row[1:4], "big"), row[4], row[5:]
        if count != size or length != count + 4:
            fail(f"row {i}: length {length} count {count} for record size {size}")
        expected = ("%02x-%06x-%02x-" % (length, address, count)).encode() + data.hex().upper().encode()
        if lines[i] != expected:
            fail(f"tmp.txt line {i} {lines[i][:40]!r} does not match tmp.bin row {expected[:40]!r}")
        rows.append((address, data))
    if len(lines) != len(rows):
        fail(f"tmp.txt has {len(lines)} lines for {len(rows)} rows")

    carried = set()
    for address, data in rows:
        fill = all(b == 0xFF for b in data)
        for k, b in enumerate(data):
            want = firmware.get(address + k)
            if want is None:
                if b != 0xFF:  # a header's text, or a byte at a wrapped address
                    fail(f"row at {address:06x} holds {b:02x} at {address + k:06x}, where the firmware has none")
                continue
            if b == want:
                carried.add(address + k)
            elif not fill:
                fail(f"row at {address:06x} holds {b:02x} for {address + k:06x}, firmware has {want:02x}")
    lost = sorted(set(firmware) - carried)
    if lost:
        fail(f"{len(lost)} firmware bytes not carried, first at {lost[0]:06x}")
    print(f"ok: {len(rows)} rows of {size}, {len(firmware)} firmware bytes carried")


main()
