#!/usr/bin/env python3
"""Whole updates of the files whose rows once left the device with other bytes
than the file, through iapflash against the strict simulator, over the pty and
over the socket HID channel; the flash is then compared with the file.

usage: device_image.py --iapflash PROG --iapsim SIM --examples DIR

Each road, on solvane's shipped map (record size 32) and castrel's (raised to 32,
so that rows are wider than a line of srec_cat's):
  - data entering a block at a 16-byte boundary next to IAPMARK and at a page start;
  - data that ends just below the programmer and just below the reserved range;
  - the records of a file shuffled, and records that overlap;
and a PAGESIZE that is no whole number of rows, which never reaches the device.
The simulator refuses ("N") any frame that puts a byte into a protected range or
another value over a programmed byte, so a wrong image fails the update itself.
"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys

import production
from production import Sim, flash_check, run, workdir

CHECKS = [0]


def check(name, condition, detail=""):
    CHECKS[0] += 1
    production.check(name, condition, detail)

VARIANTS = {
    # variant: (config, firmware name, address bytes, IAPMARK, PAGESIZE, IAPSTART, INTSTART, ROMHEAD)
    "solvane": ("MpptConfigFile.ini", "firmware.mppt", 2, 0x8400, 0x200, 0xF000, 0xFFC0, 0x8000),
    "castrel": ("InvConfigFile.ini", "firmware.S19", 3, 0x10000, 0x400, 0x10800, 0x11200, 0xF000),
}


def srec_cat(work, chunks, rng, obs=16):
    args = []
    for n, (address, length) in enumerate(chunks):
        path = os.path.join(work, "c%d.bin" % n)
        with open(path, "wb") as f:
            f.write(rng.randbytes(length))
        args += [path, "-binary", "-offset", "0x%X" % address]
    return args + ["-obs=%d" % obs]


def roads(variant, work, rng):
    config, _, width, mark, page, iap, reserved, head = VARIANTS[variant]
    made = []

    def make(name, chunks, shuffle=False):
        out = os.path.join(work, name + ".srec")
        subprocess.run(["srec_cat"] + srec_cat(work, chunks, rng) + ["-address-length=%d" % width,
                        "-o", out], check=True)
        if shuffle:  # the header and the record at ROMHEAD stay first
            with open(out) as f:
                lines = f.readlines()
            data = [l for l in lines[2:] if l[:2] in ("S1", "S2")]
            rng.shuffle(data)
            with open(out, "w") as f:
                f.writelines(lines[:2] + data + [l for l in lines[2:] if l[:2] not in ("S1", "S2")])
        made.append((name, out))

    make("fill-over-data", [(head, 0x100), (mark + 0x10, 0x1F0), (mark + page + 0x30, 0x40)])
    make("fill-into-programmer", [(head, 0x100), (iap - 0x10, 0x10), (reserved - 0x10, 0x10)])
    make("records-out-of-order", [(head, 0x300), (mark + 0x10, 0x200)], shuffle=True)
    return made


def with_record_size(work, config, size):
    path = os.path.join(work, config)
    with open(path) as f:
        text = f.read()
    with open(path, "w") as f:
        f.write(re.sub(r"RAWDATASIZE=\d+", "RAWDATASIZE=%d" % size, text))


def update(variant, firmware, mode):
    """A whole update of firmware over mode; (ok, detail)."""
    config = VARIANTS[variant][0]
    work = workdir(variant)
    with_record_size(work, config, 32)
    shutil.copy(firmware, os.path.join(work, "road.srec"))
    sim = Sim(work, mode=mode)
    if mode == "hid":
        rc, out, err = run(["-d", variant, "-i", "USB", "road.srec"], work, {"IAP_HID_SOCKET": sim.path})
    else:
        rc, out, err = run(["-d", variant, "--port", sim.path, "road.srec"], work)
    status, sim_err = sim.wait()
    ok, report = flash_check(work, "hid" if mode == "hid" else "serial", config, "road.srec")
    shutil.rmtree(work)
    return rc == 0 and status == 0 and ok, "iapflash %s\n%s%s\niapsim %s: %s\n%s" % (
        rc, out[-600:], err, status, sim_err, report)


def test_roads():
    rng = random.Random(20261209)
    scratch = production.tempfile.mkdtemp(prefix="iap-roads-")
    for variant in VARIANTS:
        for name, firmware in roads(variant, scratch, rng):
            for mode in ("serial", "hid"):
                ok, detail = update(variant, firmware, mode)
                check("%s, %s over %s: the device holds the file" % (name, variant, mode), ok, detail)
    shutil.rmtree(scratch)


def test_page_size_off_the_rows():
    work = workdir()
    path = os.path.join(work, "MpptConfigFile.ini")
    with open(path) as f:
        text = f.read()
    with open(path, "w") as f:
        f.write(text.replace("PAGESIZE=0x200", "PAGESIZE=0x1F0"))
    sim = Sim(work)
    rc, out, err = run(["--port", sim.path, "firmware.mppt"], work)
    sim.proc.terminate()
    status, sim_err = sim.wait()
    check("PAGESIZE 0x1F0 with rows of 32: refused, nothing reaches the device",
          rc == 1 and "IAP Config File is error" in err and "Com1 Is Finded" not in out
          and not os.path.exists(os.path.join(work, "tmp.bin")), out + err + sim_err)
    shutil.rmtree(work)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--iapflash", required=True)
    ap.add_argument("--iapsim", required=True)
    ap.add_argument("--examples", required=True)
    args = ap.parse_args()
    production.ARGS = argparse.Namespace(iapflash=args.iapflash, iapsim=args.iapsim,
                                         examples=args.examples, wine=None)
    test_roads()
    test_page_size_off_the_rows()
    print("%d passed, %d failed" % (CHECKS[0] - len(production.FAILS), len(production.FAILS)))
    return 1 if production.FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
