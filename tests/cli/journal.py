#!/usr/bin/env python3
"""iapflash --journal, --journal-verify and --journal-export on journals written here
line by line as the updater writes them (each record carrying the SHA-256 of the line
before it): whole, with a crash's torn line, and edited.

usage: journal.py IAPFLASH [RUNNER]   (RUNNER: wine, for the Windows build)
"""

import copy
import csv
import fcntl
import hashlib
import json
import os
import pty
import struct
import subprocess
import sys
import tempfile
import termios

PROG = sys.argv[1]
RUNNER = sys.argv[2:]
FAILS = []
BY_ID = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"


def check(name, condition, detail=""):
    if not condition:
        FAILS.append(name)
        print("FAIL: %s\n%s" % (name, detail))


def record(i, result="done", reason="none", firmware=None):
    fw = firmware or "/fw/app-%d.s19" % i
    return {
        "begun": "2026-12-10T13:0%d:05Z" % i, "ended": "2026-12-10T13:0%d:55Z" % i,
        "program": "iapflash", "version": "0.1.0", "variant": "castrel" if i == 1 else "solvane",
        "host": "bench", "user": "tech", "interface": "COM",
        "device": {"path": "/dev/ttyUSB0", "by_id": BY_ID, "hid_path": "", "vid_pid": "0403:6001",
                   "product": "FT232R USB UART", "serial": "A50285BI"},
        "firmware": {"path": fw, "size": 1000 + i, "key_id": "", "trusted_comment": "",
                     "sha256": hashlib.sha256(b"firmware %d" % i).hexdigest()},
        "profile": {"section": "DEVICE0", "romhead": 4096, "romtail": 524287, "record_size": 256, "baud_rate": 9600,
                    "program_baud_rate": 115200},
        "frames": {"sent": 10, "acknowledged": 10, "resent": 0}, "bytes": 2560,
        "stream_sha256": hashlib.sha256(b"stream %d" % i).hexdigest(),
        "outcome": {"stage": "end_of_file", "result": result, "reason": reason, "detail": ""},
        "previous": None,
    }


def chained(records, torn_after=None):
    """The journal's lines, each record's previous the digest of the record line before;
    torn_after: the index after which a crash left half a line."""
    lines, previous = [], "0" * 64
    for i, r in enumerate(records):
        r["previous"] = previous
        line = json.dumps(r, separators=(",", ":"), ensure_ascii=False).encode()
        previous = hashlib.sha256(line).hexdigest()
        lines.append(line)
        if i == torn_after:
            lines.append(line[:57])
    return lines


def write(path, lines):
    with open(path, "wb") as f:
        f.write(b"".join(line + b"\n" for line in lines))


def run(args, work, stdout=subprocess.PIPE):
    r = subprocess.run(RUNNER + [PROG] + args, cwd=work, stdout=stdout, stderr=subprocess.PIPE,
                       env=dict(os.environ, IAP_JOURNAL="journal.jsonl"), timeout=120)
    out = r.stdout.decode().replace("\r\n", "\n") if r.stdout is not None else ""
    return r.returncode, out, r.stderr.decode().replace("\r\n", "\n")


def sample(work):
    records = [record(0), record(1, "failed", "no_ready_reply", "=HYPERLINK(\"x\").s19"),
               record(2, "cancelled", "user_cancel")]
    write(os.path.join(work, "journal.jsonl"), chained(records, torn_after=1))
    return records


def test_list():
    work = tempfile.mkdtemp(prefix="iap-journal-")
    records = sample(work)
    rc, out, err = run(["--journal"], work)
    rows = [l for l in out.splitlines() if l.startswith("2026-")]
    check("--journal: a row for each record, oldest first, in the list's words",
          rc == 0 and len(rows) == 3 and "castrel" in rows[1]
          and rows[0].startswith("2026-12-10 13:00:55") and BY_ID in rows[0]
          and "app-0.s19 (%s)" % records[0]["firmware"]["sha256"][:8] in rows[0]
          and rows[1].endswith("failed: no_ready_reply") and rows[2].endswith("cancelled"),
          out + err)
    check("--journal: the torn line is named on stderr",
          "iapflash: journal line 3 is torn and was skipped" in err, err)
    # A later version's key and an escape written another way: --json prints the
    # lines as they are, so each still hashes to the next record's previous.
    records[0]["later"] = {"kept": [1, True, None]}
    records[2]["user"] = "t\u00e9ch"
    written = chained(records, torn_after=1)
    written[3] = written[3].replace("t\u00e9ch".encode(), b"t\\u00e9ch")
    write(os.path.join(work, "journal.jsonl"), written)
    rc, out, err = run(["--journal", "--json"], work)
    lines = out.splitlines()
    parsed = [json.loads(l, object_pairs_hook=list) for l in lines]
    check("--journal --json: each record's own line, keys in the journal's order",
          rc == 0 and [json.loads(l) for l in lines] == records
          and [k for k, _ in parsed[0]] == list(records[0]), out + err)
    check("--journal --json: the lines as the journal has them, chaining by their digests",
          [l.encode() for l in lines] == [written[0], written[1], written[3]]
          and hashlib.sha256(lines[0].encode()).hexdigest() == records[1]["previous"], out)
    rc, out, err = run(["--journal", "firmware.s19"], work)
    check("--journal with a firmware file is a usage error", rc == 2 and "firmware" in err, err)


def test_verify():
    work = tempfile.mkdtemp(prefix="iap-journal-")
    records = sample(work)
    rc, out, err = run(["--journal-verify"], work)
    path = os.path.join(work, "journal.jsonl")
    lines = chained(copy.deepcopy(records), torn_after=1)
    check("--journal-verify: an intact journal holds, the torn line skipped, the newest's digest "
          "given", rc == 0 and "3 records" in out and "line 4" in out and "line 3 is torn" in err
          and "the newest record's digest: " + hashlib.sha256(lines[3]).hexdigest() in out,
          out + err)
    for name, edited, fault in [
            ("one byte of a record changed",
             [lines[0], lines[1].replace(b"bench", b"bencH")] + lines[2:], "line 4: "),
            ("a middle record removed", [lines[0], lines[3]], "line 2: "),
            ("the first record removed", lines[1:], "line 1: "),
            ("every record unreadable", [l[:-1] for l in lines], "no line of it is a record")]:
        write(path, edited)
        rc, out, err = run(["--journal-verify"], work)
        check("--journal-verify: %s -> exit 1 naming the record" % name,
              rc == 1 and "journal.jsonl does not hold: " + fault in err, "%s\n%s%s" % (rc, out, err))
    os.remove(path)
    rc, out, err = run(["--journal-verify"], work)
    check("--journal-verify: no journal -> exit 1, saying so", rc == 1 and "no journal" in err, err)
    rc, out, err = run(["--journal"], work)
    check("--journal: no journal -> exit 0, empty, saying so",
          rc == 0 and out == "" and "no journal" in err, out + err)


def test_export():
    work = tempfile.mkdtemp(prefix="iap-journal-")
    records = sample(work)
    rc, out, err = run(["--journal-export", "updates.csv"], work)
    with open(os.path.join(work, "updates.csv"), "rb") as f:
        data = f.read()
    rows = list(csv.reader(data.decode("utf-8-sig").splitlines()))
    column = rows[0].index("firmware") if rows and "firmware" in rows[0] else 0
    check("--journal-export: a UTF-8 spreadsheet with a BOM, a header and a row a record",
          rc == 0 and data.startswith(b"\xef\xbb\xbf") and len(rows) == 4
          and [r[rows[0].index("sha256")] for r in rows[1:]]
          == [r["firmware"]["sha256"] for r in records], out + err)
    check("--journal-export: a cell a spreadsheet would run stays text",
          rows[2][column] == "'=HYPERLINK(\"x\").s19", rows)
    rc, out, err = run(["--journal-export", "no-such-folder/updates.csv"], work)
    check("--journal-export: a file it cannot write -> exit 1 naming it and why",
          rc == 1 and "iapflash: cannot write " in err
          and "updates.csv: " in err.split("iapflash: cannot write ")[-1], err)
    path = os.path.join(work, "journal.jsonl")
    with open(path, "rb") as f:
        journal = f.read()
    onto = ["journal.jsonl", "sub/../journal.jsonl"]
    if not RUNNER:
        os.link(path, os.path.join(work, "alias.csv"))
        onto.append("alias.csv")
    for name in onto:
        rc, out, err = run(["--journal-export", name], work)
        with open(path, "rb") as f:
            kept = f.read()
        check("--journal-export onto the journal itself (%s) -> exit 1 naming both" % name,
              rc == 1 and kept == journal and err.startswith("iapflash: ")
              and os.path.basename(name) in err
              and err.count("journal.jsonl") >= (2 if name.endswith("journal.jsonl") else 1),
              "%s\n%s" % (rc, err))


def on_terminal(work, columns):
    """The lines of --journal on a terminal of that many columns."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen([PROG, "--journal"], cwd=work, stdout=slave, stderr=subprocess.DEVNULL,
                            env=dict(os.environ, IAP_JOURNAL="journal.jsonl"))
    os.close(slave)
    data, chunk = b"", b"-"
    while chunk:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the program's end closes the terminal
            chunk = b""
        data += chunk
    proc.wait(timeout=60)
    os.close(master)
    return data.decode().replace("\r\n", "\n").splitlines()


def test_terminal_width():
    """On a narrow terminal every line fits with the last column free: the by-id name
    keeps its end, the firmware cell its short hash."""
    work = tempfile.mkdtemp(prefix="iap-journal-")
    records = sample(work)
    lines = on_terminal(work, 90)
    rows = [l for l in lines if l.startswith("2026-")]
    check("--journal on a 90-column terminal: every row fits, by-id end and hash kept",
          len(rows) == 3 and all(len(l) <= 89 for l in lines)
          and all("port0" in l and "(%s)" % r["firmware"]["sha256"][:8] in l
                  for l, r in zip(rows, records)), "\n".join(lines))
    # 45 columns: a record takes lines of its own, a long result one more.
    records.append(record(3, "failed", "record_size_unsendable"))
    write(os.path.join(work, "journal.jsonl"), chained(records))
    lines = on_terminal(work, 45)
    text = "\n".join(lines)
    check("--journal on a 45-column terminal: every line fits, every record's cells kept",
          all(len(l) <= 44 for l in lines)
          and len([l for l in lines if l.startswith("2026-")]) == 4
          and "  failed: record_size_unsendable" in lines
          and all("(%s)" % r["firmware"]["sha256"][:8] in text for r in records)
          and text.count("port0") == 4, text)


if __name__ == "__main__":
    test_list()
    test_verify()
    test_export()
    if not RUNNER:
        test_terminal_width()
    print("%d failed" % len(FAILS) if FAILS else "all passed")
    sys.exit(1 if FAILS else 0)
