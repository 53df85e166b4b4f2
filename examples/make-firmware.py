#!/usr/bin/env python3
"""Writes the example firmware images and the benchmark image as Motorola S-records.

The data are pseudo-random but deterministic (a xorshift generator with fixed
seeds), so running this again gives the same files byte for byte. Every file has
the shape that srec_cat gives by default: an S0 header with text, 32 data bytes a
line, a count record, and (castrel) a termination record with a start address.
The first data line is at the device's ROMHEAD.

    python3 examples/make-firmware.py            # rewrites the files under examples/
    python3 examples/make-firmware.py --bench OUT  # 4 KiB image for bench/transfer
"""

import argparse
import os


class XorShift32:
    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF or 1

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def byte(self):
        return self.next() >> 24


# Data bytes per line: srec_cat's default, longer than the devices' record size of
# 16, so every line spans more than one row.
LINE_BYTES = 32


def record(kind, address, address_bytes, data):
    body = [address_bytes + len(data) + 1]
    body += [(address >> (8 * i)) & 0xFF for i in reversed(range(address_bytes))]
    body += data
    body.append(~sum(body) & 0xFF)
    return "S" + kind + "".join("%02X" % b for b in body)


def srecords(regions, wide, rng, header, start_address=None):
    """regions: (start, length, short_lines) tuples in ascending order; short_lines
    lists the line indexes that carry only 10 of their 32 bytes (the rest is left
    to the updater's fill bytes). The file ends as srec_cat ends its files: the
    count record S5, then a termination record only when there is a start
    address."""
    address_bytes = 3 if wide else 2
    lines = [record("0", 0, 2, list(header.encode("ascii")))]
    for start, length, short_lines in regions:
        for index, address in enumerate(range(start, start + length, LINE_BYTES)):
            count = min(LINE_BYTES, start + length - address)
            if index in short_lines:
                count = 10
            data = [rng.byte() for _ in range(count)]
            lines.append(record("2" if wide else "1", address, address_bytes, data))
    lines.append(record("5", len(lines) - 1, 2, []))
    if start_address is not None:
        lines.append(record("8" if wide else "9", start_address, address_bytes, []))
    return "\r\n".join(lines) + "\r\n"


def write(path, text):
    with open(path, "w", newline="") as f:
        f.write(text)
    print("wrote", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", metavar="OUT", help="write the 4 KiB benchmark image to OUT")
    args = parser.parse_args()

    if args.bench:
        # 4 KiB from 0x8000, 16-bit addresses, no holes.
        write(args.bench, srecords([(0x8000, 0x1000, ())], False, XorShift32(0xB0A7), "bench"))
        return

    here = os.path.dirname(os.path.abspath(__file__))
    # solvane: 16-bit device, application from 0x8000 with a hole and short lines,
    # a region that runs over the programmer (0xF000..0xF3FF) past IAPEND, and the
    # top of flash with the protected vector range 0xFFC0..0xFFE0.
    solvane = [
        (0x8000, 0x0A00, (5, 17, 64)),
        (0x8A40, 0x05C0, (3,)),
        (0xEF00, 0x0580, ()),
        (0xFF80, 0x0080, ()),
    ]
    write(os.path.join(here, "solvane", "firmware.mppt"),
          srecords(solvane, False, XorShift32(0x5A1F), "solvane example firmware"))
    # castrel: 24-bit device, application from 0x00F000 across the 64 KiB boundary,
    # with the programmer at 0x010800..0x010BFF and a reserved range at 0x011200.
    castrel = [
        (0x00F000, 0x1800, (9, 130)),
        (0x010840, 0x0C00, ()),
        (0x011480, 0x0100, (2,)),
    ]
    write(os.path.join(here, "castrel", "firmware.S19"),
          srecords(castrel, True, XorShift32(0xCA57), "castrel example firmware", 0x00F000))


if __name__ == "__main__":
    main()
