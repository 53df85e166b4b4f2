#!/usr/bin/env python3
"""iapflash --prepare-only on the S-record files that srec_cat writes.

    srec_corpus.py IAPFLASH [RUNNER] [--quick]

From random binaries srec_cat writes a firmware file with its defaults and with
each of -address-length=2/3/4 and -obs=16/32/64, without and with an execution
start address (and with -disable=data-count when there is one). Each file goes
through the updater for every record size of a 16-bit and a 24-bit device whose
address width it fits:
  - it is accepted, and tmp.txt and tmp.bin carry every byte at its address and
    nothing but fill anywhere else (check_rows.py);
  - damaged in one place (a digit changed, a character deleted, a line removed,
    cut at a line end) it is refused with the right box and line number, and
    tmp.bin is left as it was.
A file without a header line stays refused by the start-address check, and one
with neither a termination nor a count record cannot be told from a cut one.

Then, on a device map with its programmer and reserved range in the flash, the
shapes that put fill over data or into a protected range when rows do not follow
the record-size blocks: data from 16-byte boundaries that are no block start near
IAPMARK and at page starts, data that ends just below both protected ranges, data
inside them, the records shuffled, overlapping records. For every record size and
both links, check_rows.py walks tmp.bin as the device receives it. A range bound
off the row grid refuses the row that would reach into it, naming its line.
--quick runs a few files only (for the slow emulated Windows run).
"""

import os
import random
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ARGS = [a for a in sys.argv[1:] if a != "--quick"]
QUICK = "--quick" in sys.argv
PROG = os.path.abspath(ARGS[0])
RUNNER = ARGS[1:2]

# (width, ROMHEAD, ROMTAIL, IAPMARK, where the second chunk goes)
DEVICES = [(16, 0x8000, 0xFFFF, 0x8400, 0xA105), (24, 0x10000, 0x3FFFF, 0x10800, 0x12345)]

CONFIG = """[DEVICELIST]
DEVICECOUNT=1
[DEVICE0]
VID=0x1209
PID=0x0001
COMMUNICATBDRATE=9600
PROGRAMBDRATE=9600
RAWDATASIZE={raw}
ROMHEAD=0x{head:X}
ROMTAIL=0x{tail:X}
INTSTART=0x{int_start:X}
INTEND=0x{int_end:X}
PAGESIZE=0x{page:X}
IAPSTART=0x{iap_start:X}
IAPEND=0x{iap_end:X}
IAPMARK=0x{mark:X}
FLASHCMD=IAP#
"""

failures = []
passed = 0


def fail(what, detail=""):
    failures.append(what)
    print("FAIL:", what)
    if detail:
        print("  " + detail.replace("\n", "\n  "))


FAR_RANGES = dict(int_start=0xFFFF00, int_end=0xFFFFF0, iap_start=0xFFE000, iap_end=0xFFEFF0,
                  page=0x200)


def write_config(work, raw, head, tail, mark, ranges):
    with open(os.path.join(work, "MpptConfigFile.ini"), "w") as f:
        f.write(CONFIG.format(raw=raw, head=head, tail=tail, mark=mark, **ranges))


def prepare(work, lines, interface="COM1"):
    """Runs the File command on lines; returns (exit status, stdout, stderr)."""
    with open(os.path.join(work, "fw.mppt"), "w", newline="") as f:
        f.write("".join(lines))
    cmd = RUNNER + [PROG, "-i", interface, "--prepare-only", "fw.mppt"]
    run = subprocess.run(cmd, cwd=work, capture_output=True, timeout=120)
    # The emulator itself now and then faults in a thread of its own while the
    # program goes on (seen once in hundreds of runs, never twice in a row); such
    # a run proves nothing either way and is made again. A fault of the program's
    # own repeats, and the second run's output is judged as it stands.
    if RUNNER and b"wine: Unhandled" in run.stderr:
        print("note: the emulator faulted; run again: %s" % run.stderr.decode("latin-1").split("\n")[0])
        run = subprocess.run(cmd, cwd=work, capture_output=True, timeout=120)
    out = run.stdout.decode("latin-1").replace("\r", "")
    err = run.stderr.decode("latin-1").replace("\r", "")
    return run.returncode, out, err


def damaged(lines, rng):
    """(name, lines, expected box) for each kind of damage, the line numbers 1-based."""
    data = [i for i, line in enumerate(lines) if line[:2] in ("S1", "S2", "S3")]
    counted = any(line[:2] in ("S5", "S6") for line in lines)
    i = data[len(data) // 2]
    line = lines[i]
    out = []
    # A digit of a data byte changed to another hex digit.
    pos = len(line) - 6
    digit = "0" if line[pos] != "0" else "7"
    out.append(("digit changed", lines[:i] + [line[:pos] + digit + line[pos + 1:]] + lines[i + 1:],
                "S19 File Checksum Error ! Line %d" % (i + 1)))
    # One character deleted.
    pos = rng.randrange(2, len(line.rstrip("\r\n")))
    out.append(("character deleted", lines[:i] + [line[:pos] + line[pos + 1:]] + lines[i + 1:],
                "S19 File Format Error ! Line %d" % (i + 1)))
    # A data line removed: only a count record can tell.
    if counted:
        rest = lines[:i] + lines[i + 1:]
        count_line = next(n for n, l in enumerate(rest) if l[:2] in ("S5", "S6"))
        out.append(("line removed", rest, "S19 File Format Error ! Line %d" % (count_line + 1)))
    # Cut off after the damaged line.
    out.append(("cut at a line end", lines[:i + 1], "S19 File Is Incomplete ! Line %d" % (i + 2)))
    return out


def check_file(work, name, lines, chunks, device, raw, rng, damage):
    global passed
    width, head, tail, mark, _ = device
    write_config(work, raw, head, tail, mark, FAR_RANGES)
    for stale in ("tmp.txt", "tmp.bin"):
        if os.path.exists(os.path.join(work, stale)):
            os.remove(os.path.join(work, stale))
    what = "%s on a %d-bit device, record size %d" % (name, width, raw)
    rc, out, err = prepare(work, lines)
    if rc != 0 or "Write to tmp.bin file OK" not in out:
        return fail(what + ": refused", err + out)
    args = ["%x:%s" % (address, path) for address, path in chunks]
    sent = 32 if raw == 64 else raw
    check = subprocess.run([sys.executable, os.path.join(HERE, "check_rows.py"), work, str(sent)]
                           + args, capture_output=True, text=True)
    if check.returncode != 0:
        return fail(what + ": rows", check.stdout)
    passed += 1
    if not damage:
        return
    with open(os.path.join(work, "tmp.bin"), "rb") as f:
        before = f.read()
    for kind, bad, box in damaged(lines, rng):
        rc, out, err = prepare(work, bad)
        with open(os.path.join(work, "tmp.bin"), "rb") as f:
            kept = f.read() == before
        if rc != 1 or err.strip().split(": ", 1)[-1] != box or not kept or \
                not out.rstrip("\n").split("\n")[-2:-1] == ["Build S19 block list error"]:
            fail("%s, %s: expected %r" % (what, kind, box), "stderr: " + err + "stdout tail: " +
                 "|".join(out.split("\n")[-3:]) + (" tmp.bin changed" if not kept else ""))
        else:
            passed += 1


# The two shipped maps: (width, ROMHEAD, ROMTAIL, IAPMARK, ranges).
MAPS = [(16, 0x8000, 0xFFFF, 0x8400,
         dict(iap_start=0xF000, iap_end=0xF400, int_start=0xFFC0, int_end=0xFFE0, page=0x200)),
        (24, 0xF000, 0x2FFFF, 0x10000,
         dict(iap_start=0x10800, iap_end=0x10C00, int_start=0x11200, int_end=0x11240, page=0x400))]


def srec_cat(work, chunks, opts, rng):
    """srec_cat's file of random bytes at each (address, length)."""
    args = []
    for n, (address, length) in enumerate(chunks):
        path = os.path.join(work, "c%d.bin" % n)
        with open(path, "wb") as f:
            f.write(bytes(rng.randrange(256) for _ in range(length)))
        args += [path, "-binary", "-offset", "0x%X" % address]
    out = os.path.join(work, "shape.srec")
    subprocess.run(["srec_cat"] + args + ["-o", out] + opts, check=True)
    with open(out, newline="") as f:
        return f.read().splitlines(keepends=True)


def srecord(address, data, width):
    kind, n = ("1", 2) if width == 16 else ("2", 3)
    body = bytes([len(data) + n + 1]) + address.to_bytes(n, "big") + bytes(data)
    return "S%s%s%02X\n" % (kind, body.hex().upper(), ~sum(body) & 0xFF)


def shapes(width, head, mark, r, rng):
    """(name, lines) of the files whose rows once broke the device's image."""
    page = r["page"]
    opts = ["-obs=16", "-address-length=%d" % (width // 8)]
    near = [(head, 0x100), (mark + 0x10, page - 0x10), (mark + page + 0x20, 0x10),
            (mark + page + 0x30, 0x40), (mark + 3 * page + 0x30, 0x50)]
    edges = [(head, 0x40), (r["iap_start"] - 0x10, 0x10), (r["int_start"] - 0x10, 0x10)]
    inside = [(head, 0x40), (r["iap_start"] - 0x30, 0x60), (r["iap_end"] - 0x20, 0x40),
              (r["int_start"] - 0x20, r["int_end"] - r["int_start"] + 0x40)]
    out = [("data from 16-byte boundaries near IAPMARK and page starts", srec_cat(WORK, near, opts, rng)),
           ("data just below both protected ranges", srec_cat(WORK, edges, opts, rng)),
           ("data reaching into both protected ranges", srec_cat(WORK, inside, opts, rng))]
    # Shuffled: the header and the first data record (at ROMHEAD) stay in front.
    for n in range(2 if QUICK else 12):
        obs = ["-obs=%d" % rng.choice((4, 16, 28))] if n % 2 else ["-obs=16"]
        lines = srec_cat(WORK, near + inside[1:], obs + opts[1:], rng)
        data = [l for l in lines[2:] if l[:2] in ("S1", "S2")]
        rng.shuffle(data)
        rest = [l for l in lines[2:] if l[:2] not in ("S1", "S2")]
        out.append(("records shuffled (%d)" % n, lines[:2] + data + rest))
    # Overlapping records: the later value holds.
    over = [srecord(head, [rng.randrange(256) for _ in range(32)], width),
            srecord(head + 0x10, [rng.randrange(256) for _ in range(32)], width),
            srecord(head + 0x08, [rng.randrange(256) for _ in range(4)], width),
            srecord(mark - 0x08, [rng.randrange(256) for _ in range(0x18)], width),
            srecord(head + 0x1C, [0x5A] * 8, width)]
    out.append(("overlapping records", ["S0030000FC\n"] + over + ["S9030000FC\n" if width == 16 else "S804000000FB\n"]))
    return out


def check_device_image(work, rng):
    """Every byte the device receives is the image's byte, on both links."""
    global passed
    for width, head, tail, mark, r in MAPS:
        for name, lines in shapes(width, head, mark, r, rng):
            with open(os.path.join(work, "shape.srec"), "w", newline="") as f:
                f.write("".join(lines))
            firmware = os.path.join(work, "firmware.srec")
            os.replace(os.path.join(work, "shape.srec"), firmware)
            for raw in (32,) if QUICK else (16, 32, 64):
                write_config(work, raw, head, tail, mark, r)
                for interface, link in (("COM1", "serial"), ("USB", "hid")):
                    what = "%s, %d-bit, record size %d, %s" % (name, width, raw, link)
                    rc, out, err = prepare(work, lines, interface)
                    if rc != 0:
                        fail(what + ": refused", err + out)
                        continue
                    ranges = "%d,%d,%d,%d" % (r["iap_start"], r["iap_end"], r["int_start"], r["int_end"])
                    check = subprocess.run(
                        [sys.executable, os.path.join(HERE, "check_rows.py"), work, str(32 if raw == 64 else raw),
                         "--link", link, "--ranges", ranges, "--srec", firmware],
                        capture_output=True, text=True)
                    if check.returncode != 0:
                        fail(what, check.stdout)
                    else:
                        passed += 1
    # A bound off the row grid: the row that would reach into the range is
    # refused at the line of its first byte; with rows of 16 it fits beside it.
    width, head, tail, mark, r = MAPS[0]
    lines = srec_cat(WORK, [(head, 0x40), (r["iap_start"] - 0x10, 0x10), (r["iap_start"], 0x10)],
                     ["-obs=16"], rng)
    line = next(n for n, l in enumerate(lines) if l.startswith("S113%04X" % r["iap_start"])) + 1
    off_grid = dict(r, iap_start=r["iap_start"] + 0x10)
    for raw, box in ((32, "S19 File Address Error ! Line %d" % line), (16, None)):
        write_config(work, raw, head, tail, mark, off_grid)
        rc, out, err = prepare(work, lines)
        said = err.strip().split("\n")[0].split(": ", 1)[-1]
        if (box is None and rc != 0) or (box is not None and (rc != 1 or said != box)):
            fail("IAPSTART off the row grid, record size %d: expected %r" % (raw, box), err)
        else:
            passed += 1


# tmp.txt and tmp.bin (SHA-256 of both) of files whose data blocks start on
# record-size boundaries, in address order, as the updater wrote them before rows
# were made per block: such files must come out byte for byte the same.
UNCHANGED = {
    'example solvane/firmware.mppt':
        'c5aab747b2a646cff7779693011b4216b771fb2036db6f1ca2847cd7adc5f450',
    'example castrel/firmware.S19':
        '6dcbfa277a2ea5e2dd442956d89a9ce4862ba5bd0ddd5f5c0faf6977ae2dc031',
    'srec_cat -obs=16, 16-bit, record size 16':
        '88e9f898cd2520359a8f10bb74c4307afe053dad6a77abfb4a6f81ea0710ea84',
    'srec_cat -obs=16, 16-bit, record size 32':
        '4db7e5e7bfe54003eb4f334f536c02712b446be52f281c651d231407d4901614',
    'srec_cat -obs=32, 16-bit, record size 32':
        '075083ae19ba57e7c88d556c34c764ac05c373d67df4a3c01be55fae971e604a',
    'srec_cat -obs=16, 16-bit, record size 64':
        '39d502b9ace7c7663dbfd8856a70f67474c0d3e0a5f9ba69b7f0860fca28a1a0',
    'srec_cat -obs=64, 16-bit, record size 64':
        '2b257d95c6d5756891ca3b5c63832d0be26f5bbeec1b6c8e87a37e0310cf01de',
    'srec_cat -obs=16, 24-bit, record size 16':
        '80e6bcb545f42b24e677e131361d11b8de7b2b037c5277cfa53c221c776bdfd5',
    'srec_cat -obs=16, 24-bit, record size 32':
        '9423ad14186307f718826c30299c325269e878ca32fbb928391e62605184f4fd',
    'srec_cat -obs=32, 24-bit, record size 32':
        'e9e2bddc8773e71d07133a59acc4f88fa2690e1b46276d7cb19db0dde186faec',
    'srec_cat -obs=16, 24-bit, record size 64':
        'e44c9e5935488637772f251515b1e5653afe1f031852821b813c5dbee91c3b8f',
    'srec_cat -obs=64, 24-bit, record size 64':
        'adb94e3829aba45df79a1a7df2552774405120dcdce01ab8fe377dc9886936a0',
}


def unchanged_cases(work, examples):
    """(name, firmware lines, raw, map) of sorted files on record-size boundaries."""
    cases = []
    for variant, raw, m in (("solvane/firmware.mppt", 32, MAPS[0]), ("castrel/firmware.S19", 16, MAPS[1])):
        with open(os.path.join(examples, variant), newline="") as f:
            cases.append(("example " + variant, f.read().splitlines(keepends=True), raw, m))
    rng = random.Random(20261209)
    for m in MAPS:
        width, head, _, mark, r = m
        for raw in (16, 32, 64):
            chunks = [(head, 0x300 + raw), (mark + r["page"] + 4 * raw, 0x123),
                      (r["iap_start"] - 0x100, 0x100)]
            for obs in sorted({16, raw}):
                lines = srec_cat(work, chunks, ["-obs=%d" % obs, "-address-length=%d" % (width // 8)], rng)
                cases.append(("srec_cat -obs=%d, %d-bit, record size %d" % (obs, width, raw), lines, raw, m))
    return cases


def check_unchanged(work):
    global passed
    import hashlib
    examples = os.path.join(os.path.dirname(os.path.dirname(HERE)), "examples")
    digests = {}
    for name, lines, raw, (width, head, tail, mark, r) in unchanged_cases(work, examples):
        write_config(work, raw, head, tail, mark, r)
        rc, out, err = prepare(work, lines)
        h = hashlib.sha256()
        for tmp in ("tmp.txt", "tmp.bin"):
            with open(os.path.join(work, tmp), "rb") as f:
                h.update(f.read())
        digests[name] = h.hexdigest()
        if os.environ.get("SREC_CORPUS_RECORD"):
            continue
        if rc != 0 or UNCHANGED.get(name) != digests[name]:
            fail(name + ": tmp.txt and tmp.bin are not what they were", err)
        else:
            passed += 1
    if os.environ.get("SREC_CORPUS_RECORD"):
        print(repr(digests))


WORK = None


def main():
    global WORK
    rng = random.Random(int(os.environ.get("SREC_CORPUS_SEED", "20261208")))
    work = tempfile.mkdtemp(prefix="iap-srec-")
    WORK = work
    try:
        check_unchanged(work)
        if os.environ.get("SREC_CORPUS_RECORD"):
            return 0
        check_device_image(work, rng)
        for device in DEVICES:
            width, head, _, _, second = device
            a = os.path.join(work, "a.bin")
            b = os.path.join(work, "b.bin")
            with open(a, "wb") as f:
                f.write(bytes(rng.randrange(256) for _ in range(rng.randrange(2000, 9000))))
            with open(b, "wb") as f:
                f.write(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 400))))
            chunks = [(head, a), (second, b)]
            lengths = [None] + [n for n in (2, 3, 4) if n * 8 >= width]
            shapes = []
            for length in lengths:
                for obs in (None, 16, 32, 64):
                    for start in ("none", "start", "start-nocount"):
                        opts = []
                        if length:
                            opts.append("-address-length=%d" % length)
                        if obs:
                            opts.append("-obs=%d" % obs)
                        if start != "none":
                            opts.append("-execution-start-address=0x%X" % head)
                        if start == "start-nocount":
                            opts.append("-disable=data-count")
                        shapes.append(opts)
            if QUICK:
                shapes = [[], ["-obs=16", "-execution-start-address=0x%X" % head]]
            for opts in shapes:
                out = os.path.join(work, "src.srec")
                cmd = ["srec_cat", a, "-binary", "-offset", "0x%X" % head, b, "-binary", "-offset",
                       "0x%X" % second, "-o", out] + opts
                if subprocess.run(cmd).returncode != 0:
                    fail("srec_cat " + " ".join(opts))
                    continue
                with open(out, newline="") as f:
                    lines = f.read().splitlines(keepends=True)
                name = "srec_cat " + (" ".join(opts) or "(defaults)")
                for raw in (16, 32, 64) if not QUICK else (16, 64):
                    check_file(work, name, lines, chunks, device, raw, rng, damage=raw == 16)
            # No header line: the second data line is compared with ROMHEAD.
            subprocess.run(["srec_cat", a, "-binary", "-offset", "0x%X" % head, "-o", out,
                            "-disable=header"], check=True)
            with open(out, newline="") as f:
                rc, _, err = prepare(work, f.read().splitlines(keepends=True))
            said = err.replace("\r", "").splitlines()
            if rc != 1 or not any(l.endswith("Flash File doesn't match the config file !")
                                  for l in said):
                fail("%d-bit: a file without a header line is accepted" % width, err)
            # Neither a termination nor a count record: cannot be told from a cut file.
            subprocess.run(["srec_cat", a, "-binary", "-offset", "0x%X" % head, "-o", out,
                            "-disable=data-count"], check=True)
            with open(out, newline="") as f:
                lines = f.read().splitlines(keepends=True)
            rc, _, err = prepare(work, lines)
            if rc != 1 or not err.strip().endswith("S19 File Is Incomplete ! Line %d" % (len(lines) + 1)):
                fail("%d-bit: a file without an end is accepted" % width, err)
    finally:
        subprocess.run(["rm", "-rf", work])
    print("%d passed, %d failed" % (passed, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
