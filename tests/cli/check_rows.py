#!/usr/bin/env python3
"""Checks tmp.txt and tmp.bin against the firmware they were made from, as the
device would receive them.

check_rows.py DIR RECORD_SIZE [--link serial|hid] [--ranges IAPSTART,IAPEND,INTSTART,INTEND]
              (--srec FILE | CHUNK...)

CHUNK is ADDRESS:FILE.bin (hex address); --srec takes the firmware's bytes from an
S-record file instead (an address given twice holds its last value). Independent of
the updater's code: it parses both files by their documented layouts, walks the rows
of tmp.bin in order as the transfer sends them (stepping over the rows whose address
lies in IAPSTART..IAPEND, the row at IAPEND over USB only, or in INTSTART..INTEND,
both bounds inside; the bounds on 16-byte boundaries) and asks that
  (a) no row that is sent carries a byte into IAPSTART <= a < IAPEND or
      INTSTART <= a <= INTEND;
  (b) every byte sent is 0xFF or the firmware's byte at that address, and once the
      firmware's byte has gone to an address, no later row carries anything else
      there;
  (c) every firmware byte outside the rows stepped over reaches the device.
"""
import argparse
import sys


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


def srec_bytes(path):
    out = {}
    for line in open(path, "rb").read().decode("latin-1").splitlines():
        line = line.strip()
        if len(line) < 4 or line[0] != "S" or line[1] not in "123":
            continue
        raw = bytes.fromhex(line[2:])
        width = {"1": 2, "2": 3, "3": 4}[line[1]]
        base = int.from_bytes(raw[1:1 + width], "big")
        for k, b in enumerate(raw[1 + width:-1]):
            out[base + k] = b
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("work")
    ap.add_argument("size", type=int)
    ap.add_argument("--link", choices=("serial", "hid"), default="serial")
    ap.add_argument("--ranges", default="0xFFE000,0xFFEFF0,0xFFFF00,0xFFFFF0")
    ap.add_argument("--srec")
    ap.add_argument("chunks", nargs="*")
    args = ap.parse_args()
    work, size = args.work, args.size
    iap_start, iap_end, int_start, int_end = (int(v, 0) & 0xFFFFF0 for v in args.ranges.split(","))
    firmware = srec_bytes(args.srec) if args.srec else {}
    for chunk in args.chunks:
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
        # tmp.txt keeps the case of the firmware's digits; tmp.bin holds the bytes.
        head, _, digits = lines[i].rpartition(b"-")
        if head + b"-" + digits.upper() != expected:
            fail(f"tmp.txt line {i} {lines[i][:40]!r} does not match tmp.bin row {expected[:40]!r}")
        rows.append((address, data))
    if len(lines) != len(rows):
        fail(f"tmp.txt has {len(lines)} lines for {len(rows)} rows")

    def protected(a):
        return iap_start <= a < iap_end or int_start <= a <= int_end

    def stepped_over(a):
        return protected(a) or (args.link == "hid" and a == iap_end and a >= iap_start)

    programmed = {}  # address -> the firmware byte sent there
    skipped = set()
    sent_rows = 0
    for n, (address, data) in enumerate(rows):
        if stepped_over(address):
            skipped.update(range(address, address + size))
            continue
        sent_rows += 1
        for k, b in enumerate(data):
            a = address + k
            if protected(a):
                fail(f"row {n} at {address:06x} puts {b:02x} into the protected range at {a:06x}")
            want = firmware.get(a)
            if a in programmed and b != programmed[a]:
                fail(f"row {n} at {address:06x} puts {b:02x} at {a:06x} after the firmware's "
                     f"{programmed[a]:02x} was sent there")
            if want is None:
                if b != 0xFF:
                    fail(f"row {n} at {address:06x} holds {b:02x} at {a:06x}, where the firmware has none")
            elif b == want:
                programmed[a] = b
            elif b != 0xFF:
                fail(f"row {n} at {address:06x} holds {b:02x} for {a:06x}, firmware has {want:02x}")
    lost = sorted(a for a in firmware if a not in programmed and a not in skipped)
    if lost:
        fail(f"{len(lost)} firmware bytes never reach the device, first at {lost[0]:06x}")
    print(f"ok: {sent_rows} of {len(rows)} rows of {size} sent over {args.link}, "
          f"{len(programmed)} firmware bytes programmed")


main()
