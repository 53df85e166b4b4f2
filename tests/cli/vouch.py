#!/usr/bin/env python3
"""What vouches for an update, end to end with iapflash and the simulator: firmware
signed with the real minisign tool, checked before anything is sent, and the
service journal's record of every update that reached Update Firmware.

usage: vouch.py --iapflash PROG --iapsim SIM --examples DIR
                [--wine WINE --rig wine_null_modem.py]

With --wine, PROG is iapflash.exe: the signatures are checked by the Windows build's
cryptography, and one update over the null-modem rig writes its record into a
journal named with a drive letter.
"""

import argparse
import hashlib
import json
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import production  # noqa: E402  (the simulator, the work directories, the checks)
from production import FAILS, Sim, check, flash_check  # noqa: E402

ARGS = None


def minisign(*args):
    subprocess.run(["minisign"] + list(args), check=True, capture_output=True)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def events_of(out):
    return [json.loads(line) for line in out.splitlines() if line.strip()]


def iapflash(args, work, journal, env=None, timeout=120, port_path=None):
    # Under wine the journal is named as a Windows program sees it: Z: is the root.
    name = "Z:" + journal if ARGS.wine else journal
    r = subprocess.run(production.command(args, port_path), cwd=work, capture_output=True,
                       text=True, timeout=timeout,
                       env=dict(os.environ, IAP_JOURNAL=name, **(env or {})))
    return r.returncode, r.stdout.replace("\r\n", "\n"), r.stderr.replace("\r\n", "\n")


def journal_lines(journal):
    if not os.path.exists(journal):
        return []
    with open(journal, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def signed_workdir():
    """A solvane directory whose firmware is srec_cat's re-encoding of the example,
    signed by a vendor key that the configuration names."""
    work = production.workdir()
    minisign("-G", "-W", "-f", "-p", os.path.join(work, "vendor.pub"),
             "-s", os.path.join(work, "vendor.key"))
    subprocess.run(["srec_cat", "firmware.mppt", "-o", "fw.s19"], cwd=work, check=True)
    minisign("-S", "-W", "-s", os.path.join(work, "vendor.key"), "-m", os.path.join(work, "fw.s19"),
             "-t", "version 2.4.1 2026-11-30")
    with open(os.path.join(work, "vendor.pub")) as f:
        key = f.read().splitlines()[1]
    ini = os.path.join(work, "MpptConfigFile.ini")
    with open(ini, newline="") as f:
        text = f.read()
    with open(ini, "w", newline="") as f:
        f.write(re.sub(r"(\[DEVICE\d+\][^\n]*\n)", lambda m: m.group(1) + "SIGNKEY=" + key + "\r\n",
                       text))
    return work, key


def test_signed_update_and_its_record():
    work, _ = signed_workdir()
    journal = os.path.join(work, "journal.jsonl")
    sim = Sim(work, "--frames", "frames.hex")
    rc, out, err = iapflash(["--json", "-p", sim.path, "fw.s19"], work, journal)
    status, sim_err = sim.wait()
    ok, report = flash_check(work, firmware="fw.s19")
    events = events_of(out)
    result = events[-1] if events else {}
    check("a signed srec_cat file flashes", rc == 0 and status == 0 and ok,
          "%s %s\n%s\n%s\n%s" % (rc, status, err, sim_err, report))
    firmware = result.get("firmware") or {}
    check("--json: the key id and the verified trusted comment",
          re.fullmatch(r"[0-9A-F]{1,16}", firmware.get("key_id") or "") is not None
          and firmware.get("trusted_comment") == "version 2.4.1 2026-11-30", str(result))

    records = journal_lines(journal)
    check("one record for the update", len(records) == 1, str(records))
    if records:
        r = records[0]
        with open(os.path.join(work, "frames.hex")) as f:
            frames = [bytes.fromhex(line.strip()) for line in f if line.strip()]
        # The last frame the simulator saw is the end-of-file frame, which carries
        # no image and has no acknowledgement of its own.
        data = b"".join(frames[:-1])
        check("the record: firmware as read and signed, the profile, the outcome",
              r["firmware"]["sha256"] == sha256(os.path.join(work, "fw.s19"))
              and r["firmware"]["key_id"] == firmware.get("key_id")
              and r["firmware"]["trusted_comment"] == "version 2.4.1 2026-11-30"
              and r["interface"] == "COM" and r["device"]["path"] == sim.path
              and r["profile"]["record_size"] in (16, 32, 64)
              and r["outcome"] == {"stage": "end_of_file", "result": "done", "reason": "none",
                                   "detail": ""}
              and r["previous"] == "0" * 64 and r["program"] == "iapflash", json.dumps(r))
        check("the record: the digest of the frames the device acknowledged, in order",
              r["stream_sha256"] == hashlib.sha256(data).hexdigest() and r["bytes"] == len(data)
              and r["frames"]["acknowledged"] == len(frames) - 1, json.dumps(r["frames"]))

    # The legacy form (the file itself signed, not its BLAKE2b) is taken as well.
    minisign("-S", "-l", "-W", "-s", os.path.join(work, "vendor.key"),
             "-m", os.path.join(work, "fw.s19"), "-t", "legacy")
    rc, out, err = iapflash(["--json", "--prepare-only", "fw.s19"], work, journal)
    result = events_of(out)[-1]
    check("the legacy signature form", rc == 0 and result["firmware"]["trusted_comment"] == "legacy",
          out[-800:] + err)
    shutil.rmtree(work)


def test_bad_signatures_send_nothing():
    work, _ = signed_workdir()
    journal = os.path.join(work, "journal.jsonl")
    rc, _, err = iapflash(["--prepare-only", "fw.s19"], work, journal)
    before = {name: sha256(os.path.join(work, name)) for name in ("tmp.txt", "tmp.bin")}
    minisign("-G", "-W", "-f", "-p", os.path.join(work, "other.pub"),
             "-s", os.path.join(work, "other.key"))
    with open(os.path.join(work, "fw.s19"), "rb") as f:
        firmware = f.read()
    with open(os.path.join(work, "fw.s19.minisig"), "rb") as f:
        signature = f.read()
    changed = bytearray(firmware)
    changed[40] = ord("0") if changed[40] != ord("0") else ord("1")

    def other_key(path):
        minisign("-S", "-W", "-s", os.path.join(work, "other.key"), "-m", path)

    cases = [
        # name, firmware bytes, signature bytes (None: made by fn), reason, words
        ("one byte of the file changed", bytes(changed), signature, "signature_mismatch",
         "is not the file"),
        ("another key", firmware, other_key, "signature_other_key", "made with key"),
        ("the trusted comment changed", firmware,
         signature.replace(b"version 2.4.1", b"version 2.4.2"), "trusted_comment_mismatch",
         "trusted comment"),
        ("a truncated signature file", firmware, signature[:len(signature) // 2],
         "signature_malformed", "not a minisign signature"),
        ("no signature file", firmware, None, "signature_missing", "No such file"),
    ]
    for name, data, sig, reason, words in cases:
        path = os.path.join(work, "bad.s19")
        with open(path, "wb") as f:
            f.write(data)
        if os.path.exists(path + ".minisig"):
            os.remove(path + ".minisig")
        if callable(sig):
            sig(path)
        elif sig is not None:
            with open(path + ".minisig", "wb") as f:
                f.write(sig)
        # The port is a pty the test holds: whatever reaches it would be read back.
        master, slave = pty.openpty()
        port = ["--port", "COM12"] if ARGS.wine else ["-p", os.ttyname(slave)]
        rc, out, err = iapflash(["--json"] + port + ["bad.s19"], work, journal,
                                port_path=os.ttyname(slave))
        os.set_blocking(master, False)
        try:
            sent = os.read(master, 4096)
        except (BlockingIOError, OSError):
            sent = b""
        os.close(master)
        os.close(slave)
        events = events_of(out)
        boxes = [e for e in events if e["event"] == "box"]
        problems = [e["text"] for e in events if e["event"] == "problem"]
        after = {n: sha256(os.path.join(work, n)) for n in ("tmp.txt", "tmp.bin")}
        check("%s: refused with the box, the reason and what it was" % name,
              rc == 1 and boxes and boxes[0]["text"] == "S19 File Signature Error !"
              and events[-1]["reason"] == reason and events[-1]["stage"] == "file"
              and any(words in p for p in problems)
              and {"event": "log", "text": "Build S19 block list error"} in events,
              "%s %s\n%s" % (rc, err, out[-1500:]))
        check("%s: nothing sent, tmp files untouched, no update recorded" % name,
              sent == b"" and after == before and not journal_lines(journal),
              "%r %s" % (sent[:40], after))

    # A key that is no minisign key, or a key in one device section only (the
    # check would be left to the section read last), is a faulty configuration.
    ini = os.path.join(work, "MpptConfigFile.ini")
    with open(ini, newline="") as f:
        text = f.read()
    second = text.replace("DEVICECOUNT=1", "DEVICECOUNT=2") + re.sub(
        r"SIGNKEY=\S+\r?\n", "", "[DEVICE1]" + text.split("[DEVICE0]")[1])
    for name, content, words in (
            ("a SIGNKEY that is no key", re.sub(r"SIGNKEY=\S+", "SIGNKEY=not-a-key", text),
             "SIGNKEY is not-a-key"),
            ("a SIGNKEY in one of two sections", second, "[DEVICE1] none")):
        with open(ini, "w", newline="") as f:
            f.write(content)
        rc, out, err = iapflash(["--check-config"], work, journal)
        check("%s fails the configuration check" % name,
              rc == 1 and "IAP Config File is error" in err and words in err, err)
        rc, out, err = iapflash(["--prepare-only", "bad.s19"], work, journal)
        check("%s: File does not run" % name, rc == 1, out + err)
    shutil.rmtree(work)


def test_a_record_for_every_end():
    work = production.workdir()
    journal = os.path.join(work, "journal.jsonl")
    cases = [
        ("a device that never gets ready", ["--fault", "no-ready"], 1,
         ("handshake", "failed", "no_ready_reply")),
        ("a device that stops answering", ["--fault", "silent-after=3"], 1,
         ("transfer", "failed", "timeout")),
    ]
    for name, faults, want_rc, outcome in cases:
        sim = Sim(work, *faults)
        rc, out, err = iapflash(["-p", sim.path, "firmware.mppt"], work, journal, timeout=180)
        sim.proc.terminate()
        sim.wait()
        records = journal_lines(journal)
        last = records[-1]["outcome"] if records else {}
        check("%s: exit %d, and the record says how it ended" % (name, want_rc),
              rc == want_rc and (last.get("stage"), last.get("result"), last.get("reason")) == outcome,
              "%s %s\n%s" % (rc, last, err[-600:]))

    # Ctrl-C in the transfer is Cancel Update: a cancelled record.
    sim = Sim(work)
    count = len(journal_lines(journal))
    proc = subprocess.Popen([ARGS.iapflash, "-p", sim.path, "firmware.mppt"], cwd=work,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, IAP_JOURNAL=journal))
    for seen in proc.stdout:
        if seen.strip() == "3 Wr":
            break
    proc.send_signal(signal.SIGINT)
    proc.communicate(timeout=60)
    sim.wait()
    records = journal_lines(journal)
    check("Ctrl-C: exit 130 and one cancelled record",
          proc.returncode == 130 and len(records) == count + 1
          and records[-1]["outcome"]["result"] == "cancelled", str(records[-1:]))

    # Two updaters at once, one journal: two whole records, the chain unbroken.
    sims = [Sim(work), Sim(work)]
    procs = [subprocess.Popen([ARGS.iapflash, "-q", "-p", s.path, "firmware.mppt"], cwd=work,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                              env=dict(os.environ, IAP_JOURNAL=journal)) for s in sims]
    codes = [p.wait(timeout=180) for p in procs]
    for s in sims:
        s.wait()
    records = journal_lines(journal)
    rc, out, err = iapflash(["--journal-verify"], work, journal)
    check("two runs at once: two more whole records, and the chain holds",
          codes == [0, 0] and len(records) == count + 3 and rc == 0,
          "%s %d %s %s" % (codes, len(records), out, err))

    # A journal that cannot be written does not stop the update; it is a problem.
    sim = Sim(work)
    blocked = os.path.join(work, "blocked")
    os.mkdir(blocked)
    rc, out, err = iapflash(["--json", "-p", sim.path, "firmware.mppt"], work, blocked)
    sim.wait()
    events = events_of(out)
    problems = [e for e in events if e["event"] == "problem"]
    check("an unwritable journal: the update is done, the problem says where and why",
          rc == 0 and events[-1]["exit"] == 0 and problems
          and problems[-1]["text"].startswith("Service journal could not be written: " + blocked + " (")
          and problems[-1]["reason"] == "journal_unwritten", out[-1200:])
    shutil.rmtree(work)


def test_signed_update_under_wine():
    work, _ = signed_workdir()
    journal = os.path.join(work, "journal.jsonl")
    sim = Sim(work)
    rc, out, err = iapflash(["--json", "--port", "COM12", "fw.s19"], work, journal, timeout=300,
                            port_path=sim.path)
    status, sim_err = sim.wait()
    ok, report = flash_check(work, firmware="fw.s19")
    events = events_of(out) if rc != "hung" else []
    firmware = (events[-1].get("firmware") or {}) if events else {}
    check("wine: a signed srec_cat file flashes, its comment in the result",
          rc == 0 and status == 0 and ok
          and firmware.get("trusted_comment") == "version 2.4.1 2026-11-30",
          "%s %s\n%s\n%s\n%s" % (rc, status, err[-800:], sim_err[-800:], report))
    records = journal_lines(journal)
    check("wine: the update's record, chained from the start",
          len(records) == 1 and records[0]["outcome"]["result"] == "done"
          and records[0]["firmware"]["key_id"] == firmware.get("key_id")
          and records[0]["previous"] == "0" * 64, str(records))
    rc, out, err = iapflash(["--journal-verify"], work, journal)
    check("wine: the chain holds", rc == 0, out + err)
    shutil.rmtree(work)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--iapflash", "--iapsim", "--examples"):
        parser.add_argument(name, required=True)
    parser.add_argument("--wine")
    parser.add_argument("--rig")
    ARGS = parser.parse_args()
    production.ARGS = ARGS
    tests = [test_bad_signatures_send_nothing]
    if ARGS.wine:
        tests.append(test_signed_update_under_wine)
    else:
        tests += [test_signed_update_and_its_record, test_a_record_for_every_end]
    for test in tests:
        test()
    print("%d checks failed" % len(FAILS))
    return 1 if FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
