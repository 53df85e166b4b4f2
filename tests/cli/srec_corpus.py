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
INTSTART=0xFFFF00
INTEND=0xFFFFF0
PAGESIZE=0x200
IAPSTART=0xFFE000
IAPEND=0xFFEFF0
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


def prepare(work, lines):
    """Runs the File command on lines; returns (exit status, stdout, stderr)."""
    with open(os.path.join(work, "fw.mppt"), "w", newline="") as f:
        f.write("".join(lines))
    run = subprocess.run(RUNNER + [PROG, "--prepare-only", "fw.mppt"], cwd=work,
                         capture_output=True, timeout=120)
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
    with open(os.path.join(work, "MpptConfigFile.ini"), "w") as f:
        f.write(CONFIG.format(raw=raw, head=head, tail=tail, mark=mark))
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


def main():
    rng = random.Random(int(os.environ.get("SREC_CORPUS_SEED", "20261208")))
    work = tempfile.mkdtemp(prefix="iap-srec-")
    try:
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
            if rc != 1 or not err.strip().endswith("Flash File doesn't match the config file !"):
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
