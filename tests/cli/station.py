#!/usr/bin/env python3
"""A production station: one iapflash updating several simulated units at once, four
on ptys and two USB units on sockets with one VID:PID, each with its own flash, faults
and service-journal record.

usage: station.py --iapflash PROG --iapsim SIM --examples DIR
"""

import argparse
import hashlib
import json
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import production  # noqa: E402  (the work directories, the checks)
import technician  # noqa: E402  (a terminal of a given width)
from production import FAILS, check, workdir  # noqa: E402

ARGS = None


class Unit:
    """One simulated unit in a folder of its own under work: a pty, or a socket
    with a USB serial number."""

    def __init__(self, work, name, *options, serial=None):
        self.dir = os.path.join(work, name)
        os.mkdir(self.dir)
        mode = ["serial"] if serial is None else [
            "hid", "--socket", os.path.join(self.dir, "hid.sock"), "--serial", serial]
        self.err = open(os.path.join(self.dir, "sim.err"), "w+")
        self.proc = subprocess.Popen(
            [ARGS.iapsim] + mode + ["--config", os.path.join(work, "MpptConfigFile.ini"),
                                    "--image", "flash.s19", "--frames", "frames.txt",
                                    "--timeout", "60", "--linger", "0.5"] + list(options),
            cwd=self.dir, stdout=subprocess.PIPE, stderr=self.err, text=True)
        word, _, self.path = self.proc.stdout.readline().strip().partition(" ")
        assert word == "ready", "iapsim did not come up"

    def wait(self):
        try:
            status = self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = "still running"
        self.err.seek(0)
        return status, self.err.read()

    def frames(self):
        path = os.path.join(self.dir, "frames.txt")
        return open(path).read().split() if os.path.exists(path) else []

    def flash_ok(self, work):
        r = subprocess.run([sys.executable, os.path.join(ARGS.examples, "check-flash.py"),
                            "--config", os.path.join(work, "MpptConfigFile.ini"), "--interface",
                            "serial" if "hid.sock" not in self.path else "hid",
                            os.path.join(work, "firmware.mppt"), "flash.s19"],
                           cwd=self.dir, capture_output=True, text=True)
        return r.returncode == 0, r.stdout + r.stderr


def sockets(units):
    return ":".join(u.path for u in units if u.path.endswith(".sock"))


def iapflash(args, work, units, timeout=180):
    env = dict(os.environ, IAP_JOURNAL=os.path.join(work, "journal.jsonl"),
               IAP_HID_SOCKET=sockets(units))
    r = subprocess.run([ARGS.iapflash] + args, cwd=work, capture_output=True, text=True,
                       env=env, timeout=timeout)
    return r.returncode, r.stdout, r.stderr


def events(out):
    return [json.loads(line) for line in out.splitlines() if line.strip()]


def records(work):
    path = os.path.join(work, "journal.jsonl")
    return [json.loads(line) for line in open(path)] if os.path.exists(path) else []


def unit_args(units):
    args = []
    for u in units:
        args += ["--usb", u.path] if u.path.endswith(".sock") else ["-p", u.path]
    return args


def test_six_units_at_once():
    work = workdir()
    units = [Unit(work, "pty%d" % i) for i in range(4)]
    units += [Unit(work, "usb%d" % i, serial="SN-%d" % i) for i in range(2)]
    status, out, err = iapflash(unit_args(units) + ["--json", "-q", "firmware.mppt"], work, units)
    check("six units: exit 0", status == 0, err + out[-2000:])
    evs = events(out)
    summary = [e for e in evs if e.get("event") == "summary"]
    check("six units: one summary, last", len(summary) == 1 and evs[-1] == summary[0], out[-800:])
    if summary:
        rows = {row["unit"]: row for row in summary[0]["units"]}
        check("six units: every unit done in the summary",
              sorted(rows) == sorted(u.path for u in units) and
              all(r["result"] == "done" and r["frames"] > 0 for r in rows.values()), summary)
    results = [e for e in evs if e.get("event") == "result"]
    check("six units: a result for each unit",
          sorted(e.get("unit") for e in results) == sorted(u.path for u in units) and
          all(e["exit"] == 0 for e in results), results)
    # Every event of a unit names it; only the run's own preparing comes before.
    unit_names = {u.path for u in units}
    after = evs[next(i for i, e in enumerate(evs) if "unit" in e):-1]
    check("six units: every event of the transfers names its unit",
          all(e.get("unit") in unit_names for e in after), after[:5])
    for u in units:
        ok, detail = u.flash_ok(work)
        sim_status, sim_err = u.wait()
        check("six units: %s flash check" % u.path, ok and sim_status == 0, detail + sim_err)
    recs = records(work)
    check("six units: one done record for each unit, each naming its own device",
          len(recs) == 6 and all(r["outcome"]["result"] == "done" for r in recs) and
          sorted(r["device"]["hid_path"] or r["device"]["path"] for r in recs) ==
          sorted(u.path for u in units), [r["device"] for r in recs])
    serials = sorted(r["device"]["serial"] for r in recs if r["device"]["hid_path"])
    check("six units: the USB records carry the serial numbers", serials == ["SN-0", "SN-1"],
          serials)
    # Each record's stream is exactly what its own simulator took, in order (the
    # last frame it saw is the end-of-file frame, outside the stream).
    for r in recs:
        path = r["device"]["hid_path"] or r["device"]["path"]
        u = next(u for u in units if u.path == path)
        data = b"".join(bytes.fromhex(f) for f in u.frames()[:-1])
        check("six units: %s record holds its own frames" % path,
              r["stream_sha256"] == hashlib.sha256(data).hexdigest() and
              r["frames"]["acknowledged"] == len(u.frames()) - 1, r["frames"])
    verify = subprocess.run([ARGS.iapflash, "--journal-verify"], cwd=work, capture_output=True,
                            text=True, env=dict(os.environ, IAP_JOURNAL=os.path.join(
                                work, "journal.jsonl")))
    check("six units: the journal's chain holds", verify.returncode == 0, verify.stdout +
          verify.stderr)


def test_one_faulty_unit_among_healthy_ones():
    work = workdir()
    units = [Unit(work, "good0"), Unit(work, "bad", "--fault", "silent-after=5"),
             Unit(work, "good1"), Unit(work, "usb", serial="SN-X")]
    status, out, err = iapflash(unit_args(units) + ["firmware.mppt"], work, units)
    bad = units[1].path
    check("one faulty: exit 1", status == 1, err[-1500:])
    lines = out.splitlines()
    table = lines[lines.index(next(l for l in lines if l.startswith("Station: "))):]
    rows = {l.split()[0]: l.split()[1:] for l in table[2:]}
    check("one faulty: the summary fails that unit alone",
          rows.get(bad, [""])[0] == "failed" and
          all(rows.get(u.path, [""])[0] == "done" for u in units if u.path != bad), table)
    check("one faulty: its reason is in its row", "no_acknowledgement" in " ".join(rows[bad]) or
          "timeout" in " ".join(rows[bad]), table)
    # The fault's lines are the faulty unit's: the others' are clean.
    for u in units:
        mine = [l for l in out.splitlines() + err.splitlines() if l.startswith(u.path + ": ")]
        failed = any("Err" in l or "fail" in l.lower() for l in mine)
        check("one faulty: %s lines" % u.path, mine and failed == (u.path == bad), mine[-5:])
    for u in units:
        if u.path != bad:
            ok, detail = u.flash_ok(work)
            check("one faulty: %s flash check" % u.path, ok, detail)
        u.wait()
    recs = records(work)
    check("one faulty: four records, one failed",
          len(recs) == 4 and sum(r["outcome"]["result"] != "done" for r in recs) == 1,
          [r["outcome"] for r in recs])


def test_named_twice_is_a_usage_error():
    work = workdir()
    u = Unit(work, "pty")
    link = os.path.join(work, "by-name")
    os.symlink(u.path, link)
    usb = Unit(work, "usb", serial="SN-T")
    socket_link = os.path.join(work, "unit.sock")
    os.symlink(usb.path, socket_link)
    for args, said in ((["-p", u.path, "-p", u.path], "is named twice"),
                       (["-p", u.path, "-p", link], "are the same unit"),
                       (["--usb", usb.path, "--usb", "serial=SN-T"], "are the same unit"),
                       (["--usb", usb.path, "--usb", "unit.sock"], "are the same unit"),
                       # In a station a unit no device answers for is refused at
                       # once: looking for it would open the other units' devices.
                       (["-p", u.path, "--usb", "serial=NONE"], "has that serial number"),
                       (["--usb", "serial="], "no serial number")):
        status, out, err = iapflash(args + ["firmware.mppt"], work, [usb])
        check("named twice: %s" % args, status == 2 and said in err and out == "", err)
    u.proc.terminate()
    usb.proc.terminate()
    check("named twice: nothing reached the units", u.frames() == [] and usb.frames() == [])
    check("named twice: no record", records(work) == [])


def test_ctrl_c_cancels_every_unit():
    work = workdir()
    units = [Unit(work, "pty%d" % i, "--pace") for i in range(3)]
    # Reports of 17 bytes: three to a frame, each paced, so the USB unit is still
    # under way when the signal comes.
    units.append(Unit(work, "usb", "--pace", "--output-report-length", "17", serial="SN-C"))
    env = dict(os.environ, IAP_JOURNAL=os.path.join(work, "journal.jsonl"),
               IAP_HID_SOCKET=sockets(units))
    proc = subprocess.Popen([ARGS.iapflash] + unit_args(units) + ["--json", "firmware.mppt"],
                            cwd=work, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=env)
    # Once every unit is under way, Ctrl-C.
    moving, lines = set(), []
    deadline = time.monotonic() + 60
    while len(moving) < len(units) and time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        lines.append(line)
        e = json.loads(line)
        if e.get("event") == "progress" and e["percent"] >= 5:
            moving.add(e["unit"])
    proc.send_signal(signal.SIGINT)
    rest, err = proc.communicate(timeout=60)
    evs = events("".join(lines) + rest)
    check("ctrl-c: every unit was moving", len(moving) == len(units), moving)
    check("ctrl-c: exit 130", proc.returncode == 130, err[-1000:])
    summary = evs[-1] if evs else {}
    check("ctrl-c: every unit cancelled, none done",
          summary.get("event") == "summary" and
          all(r["result"] == "cancelled" for r in summary["units"]), summary)
    for u in units:
        status, _ = u.wait()
        check("ctrl-c: %s stopped part way" % u.path, 0 < len(u.frames()) < 140 and status != 0,
              len(u.frames()))
    recs = records(work)
    check("ctrl-c: a cancelled record for each unit",
          len(recs) == 4 and all(r["outcome"]["result"] == "cancelled" for r in recs),
          [r["outcome"] for r in recs])


def test_serial_number_picks_the_unit():
    work = workdir()
    units = [Unit(work, "a", serial="AAA-1"), Unit(work, "b", serial="BBB-2")]
    status, out, err = iapflash(["--usb", "serial=BBB-2", "-q", "firmware.mppt"], work, units)
    check("serial=: exit 0", status == 0, err)
    check("serial=: one unit, no station prefix", "Station:" not in out and
          not any(l.startswith("serial=") for l in out.splitlines()), out[-500:])
    ok, detail = units[1].flash_ok(work)
    check("serial=: the unit with that serial number has the image", ok, detail)
    check("serial=: the other one got no frame", units[0].frames() == [], len(units[0].frames()))
    # A serial number no unit has: that unit fails on its own, and says so.
    status, out, err = iapflash(["--usb", "serial=NONE", "firmware.mppt"], work, units)
    check("serial=: unknown serial number fails", status == 1 and "serial number NONE" in err,
          err)
    for u in units:
        u.proc.terminate()


def test_station_on_a_terminal():
    """The station's one progress line, at 45 and 120 columns: it never fills the
    terminal, it ends with every unit's state, and no log line is glued to it."""
    work = workdir()
    for columns in (45, 120):
        units = [Unit(work, "t%d-%d" % (columns, i), "--pace") for i in range(3)]
        status, screen, _ = technician.in_terminal(work, ["-q"] + unit_args(units) +
                                                   ["firmware.mppt"], columns)
        for u in units:
            u.wait()
        draws = technician.bar_draws(screen)
        check("%d columns: the station succeeds and draws its line" % columns,
              status == 0 and len(draws) > 3, screen[-1500:])
        wide = [d for d in draws if len(d) > columns - 1]
        check("%d columns: no line wider than the terminal's last column" % columns, not wide,
              wide[:3])
        check("%d columns: the last line says every unit is through" % columns,
              draws and draws[-1].startswith("[############] 100 %") and
              (draws[-1].count("ok") == 3 or "3 ok" in draws[-1]), draws[-3:])
        lines = [l.split("\r")[-1].replace("\x1b[K", "")
                 for l in screen.replace("\r\n", "\n").split("\n")]
        for u in units:
            check("%d columns: %s's lines reach the terminal whole" % (columns, u.path),
                  u.path + ": UPS firmware update successful!" in lines, screen[-1500:])


def test_two_com_ports_under_wine():
    """iapflash.exe with two COM ports of the null-modem rig, each a simulator's pty:
    the Windows serial channel opens each unit's own port, and the journal named
    by drive letter gets both records."""
    work = workdir()
    units = [Unit(work, "com%d" % n) for n in (12, 13)]
    journal = os.path.join(work, "journal.jsonl")
    cmd = [sys.executable, ARGS.rig, "--wine", ARGS.wine, "--map", "12=" + units[0].path,
           "--map", "13=" + units[1].path, "--", ARGS.iapflash, "-q", "--json", "-p", "COM12",
           "-p", "COM13", "firmware.mppt"]
    r = subprocess.run(cmd, cwd=work, capture_output=True, text=True, timeout=180,
                       env=dict(os.environ, IAP_JOURNAL="Z:" + journal))
    evs = events(r.stdout.replace("\r\n", "\n"))
    check("wine: exit 0", r.returncode == 0, r.stderr[-1500:])
    check("wine: both units done in the summary",
          evs and evs[-1].get("event") == "summary" and
          sorted((u["unit"], u["result"]) for u in evs[-1]["units"]) ==
          [("COM12", "done"), ("COM13", "done")], evs[-1:] if evs else r.stdout[-500:])
    for u in units:
        ok, detail = u.flash_ok(work)
        u.wait()
        check("wine: %s flash check" % u.path, ok, detail)
    check("wine: a done record for each unit",
          len(records(work)) == 2 and all(r["outcome"]["result"] == "done"
                                          for r in records(work)), records(work))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--iapflash", "--iapsim", "--examples"):
        parser.add_argument(name, required=True)
    parser.add_argument("--wine")
    parser.add_argument("--rig")
    ARGS = parser.parse_args()
    production.ARGS = ARGS
    technician.production.ARGS = ARGS
    tests = [test_two_com_ports_under_wine] if ARGS.wine else [
        test_six_units_at_once, test_one_faulty_unit_among_healthy_ones,
        test_named_twice_is_a_usage_error, test_ctrl_c_cancels_every_unit,
        test_serial_number_picks_the_unit, test_station_on_a_terminal]
    for test in tests:
        test()
    if FAILS:
        print("%d check(s) failed" % len(FAILS))
        return 1
    print("station: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
