#!/usr/bin/env python3
"""Checks a device's flash image against the firmware file it was updated from.

    check-flash.py --config INI --interface serial|hid FIRMWARE FLASH

FIRMWARE is the S-record file given to the updater, FLASH the S-record image the
simulator wrote of its flash. The protected ranges are byte ranges, their bounds
the INI values on 16-byte boundaries (value & 0xFFFFF0): the programmer's range
holds the bytes from IAPSTART up to IAPEND, the byte at IAPEND being outside it;
the reserved range holds INTSTART..INTEND, both bounds inside. The check passes when
  - nothing at all was written into the protected ranges, not one byte,
  - over USB (hid), nothing was written into the row at IAPEND either: the USB
    programmer keeps that row for itself; over serial it is an ordinary row,
  - every other firmware byte is in the flash, unchanged, except those that
    share their row with a protected byte: a row goes to the device whole or not
    at all, so they cannot get there,
  - every other byte in the flash is 0xFF (fill bytes of rows and page starts).
A row is one record size of bytes on its record-size boundary (rows of 64 go out
as rows of 32). Written on its own from the INI and S-record formats, sharing no
code with the updater.
"""

import argparse
import sys


def read_ini(path):
    sections = {}
    current = None
    with open(path, encoding="latin-1") as f:
        for raw in f:
            line = raw.strip()
            if line.startswith("[") and "]" in line:
                current = sections.setdefault(line[1:line.index("]")].strip().upper(), {})
            elif "=" in line and current is not None:
                key, value = line.split("=", 1)
                current.setdefault(key.strip().upper(), value.strip())
    return sections


def number(text):
    text = text.strip()
    return int(text, 16) if text.lower().startswith("0x") else int(text)


def read_srecords(path):
    """address -> byte of every data record (S1, S2, S3, each with its own address
    length); the last one given for an address stays."""
    data = {}
    address_lengths = {"S1": 2, "S2": 3, "S3": 4}
    with open(path, encoding="latin-1") as f:
        for line in f:
            line = line.strip()
            if line[:2] in ("S7", "S8", "S9"):
                break
            if line[:2] not in address_lengths:
                continue
            address_bytes = address_lengths[line[:2]]
            body = bytes.fromhex(line[2:])
            if body[0] != len(body) - 1 or sum(body) & 0xFF != 0xFF:
                sys.exit("%s: bad record %s" % (path, line))
            address = int.from_bytes(body[1:1 + address_bytes], "big")
            for i, value in enumerate(body[1 + address_bytes:-1]):
                data[address + i] = value
    return data


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", required=True)
    parser.add_argument("--interface", choices=("serial", "hid"), required=True)
    parser.add_argument("firmware")
    parser.add_argument("flash")
    args = parser.parse_args()

    ini = read_ini(args.config)
    count = number(ini["DEVICELIST"]["DEVICECOUNT"])
    device = ini["DEVICE%d" % (count - 1)]
    field = lambda key, mask=0xFFFFF0: number(device[key]) & mask
    size = field("RAWDATASIZE", 0xFF)
    size = 32 if size == 64 else size  # rows of 64 go out as rows of 32
    iap_start, iap_end = field("IAPSTART"), field("IAPEND")
    int_start, int_end = field("INTSTART"), field("INTEND")

    ranges = [("the programmer's range IAPSTART..IAPEND", iap_start, iap_end - 1),
              ("the reserved range INTSTART..INTEND", int_start, int_end)]

    def protected(address):
        """The protected range (name, first, last) holding the byte, or None."""
        return next((r for r in ranges if r[1] <= address <= r[2]), None)

    def row_of(address):
        return address - address % size

    def usb_row(address):
        return args.interface == "hid" and iap_end >= iap_start and row_of(address) == iap_end

    rows_touching = {}

    def row_touches_range(address):
        row = row_of(address)
        if row not in rows_touching:
            rows_touching[row] = any(protected(row + i) for i in range(size))
        return rows_touching[row]

    firmware = read_srecords(args.firmware)
    flash = read_srecords(args.flash)
    problems = []
    placed = kept_out = 0
    for address, value in sorted(firmware.items()):
        if protected(address) or usb_row(address):
            kept_out += 1  # and anything written there is reported below
        elif row_touches_range(address):
            kept_out += 1
            if address in flash and flash[address] != value:
                problems.append("0x%06X: firmware %02X, flash %02X" % (address, value, flash[address]))
        elif flash.get(address) != value:
            problems.append("0x%06X: firmware %02X, flash %s" % (
                address, value, "%02X" % flash[address] if address in flash else "not written"))
        else:
            placed += 1
    fill = 0
    for address, value in sorted(flash.items()):
        inside = protected(address)
        if inside:
            problems.append("0x%06X: written inside %s (0x%06X..0x%06X)" % ((address,) + inside))
        elif usb_row(address):
            problems.append("0x%06X: written in the row at IAPEND, which the USB programmer keeps"
                            % address)
        elif address not in firmware:
            if value != 0xFF:
                problems.append("0x%06X: %02X written where the firmware has no byte" % (address, value))
            fill += 1
    for line in problems[:20]:
        print("  " + line)
    if problems:
        print("flash check FAILED: %d problems" % len(problems))
        return 1
    print("flash check OK: %d firmware bytes in place, %d fill bytes, %d firmware bytes in or beside"
          " the protected ranges left out" % (placed, fill, kept_out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
