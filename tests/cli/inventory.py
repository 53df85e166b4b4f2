#!/usr/bin/env python3
"""iapflash --list and --udev-rule as a technician runs them: real ptys, real port
maps, the simulator's HID socket, the rule read back token by token.

usage: inventory.py --iapflash PROG --iapsim SIM --examples DIR --rule PACKAGED.rules
"""

import argparse
import contextlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import production  # noqa: E402  (the checks and the work directories)
from production import FAILS, check  # noqa: E402

ARGS = None

KEYS = {"serial": {"kind", "path", "by_id", "product", "vid", "pid", "note", "present", "matches"},
        "hid": {"kind", "path", "vid", "pid", "version", "input_report_length",
                "output_report_length", "product", "serial", "matches", "mismatch"},
        "configuration": {"kind", "path", "vid", "pid"}}


def run(args, cwd, env=None):
    """iapflash with a HOME of the test's own (no port map of the machine's user)."""
    base = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": cwd, "LC_ALL": "C"}
    r = subprocess.run([ARGS.iapflash] + args, cwd=cwd, capture_output=True, text=True,
                       env=dict(base, **(env or {})), timeout=60)
    return r.returncode, r.stdout, r.stderr


def map_block(out):
    """The COMn=device lines of the paste-ready block, as (n, device)."""
    m = re.search(r"^\[PORTS\]\n((?:COM\d+=.+\n)*)", out, re.M)
    return [(int(n), d) for n, d in re.findall(r"COM(\d+)=(.+)", m.group(1) if m else "")]


@contextlib.contextmanager
def hid_sim(work, attributes, name="hid.sock"):
    """iapsim on a HID socket in work with the attributes given; yields iapflash's env."""
    path = os.path.join(work, name)
    proc = subprocess.Popen(
        [ARGS.iapsim, "hid", "--socket", path, "--timeout", "60", "--linger", "5"] + attributes,
        cwd=work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    assert proc.stdout.readline().startswith("ready"), "iapsim did not come up"
    yield {"IAP_HID_SOCKET": path}
    proc.terminate()
    proc.wait(timeout=30)


def line_of_path(out, path):
    return next((l for l in out.splitlines() if l.split()[:1] == [path]), "")


def test_serial_ports_and_the_port_map():
    work = production.workdir()
    ports_ini = os.path.join(work, "cfg", "iap-updater", "ports.ini")
    os.makedirs(os.path.dirname(ports_ini))
    master, slave = os.openpty()
    pty, gone_env, gone_map = os.ttyname(slave), work + "/unplugged", work + "/elsewhere"
    # Two sections, neither in upper case: both count.
    with open(ports_ini, "w") as f:
        f.write("[ports]\nCOM1=%s\n[Ports]\nCOM3=%s\n" % (gone_map, pty))
    env = {"XDG_CONFIG_HOME": work + "/cfg", "IAP_COM2": gone_env, "IAP_COM4": pty,
           "IAP_COM5": "/dev/tty"}
    rc, out, err = run(["--list"], work, env)
    line = {p: line_of_path(out, p) for p in (gone_env, gone_map, pty)}
    block = map_block(out)
    check("--list: absent nodes marked, both sections read, the block without what the map has",
          rc == 0 and "COM2 (IAP_COM2)" in line[gone_env] and "absent" in line[gone_env]
          and "COM1 (the port map)" in line[gone_map] and "absent" in line[gone_map]
          and "COM3 (the port map)" in line[pty] and "COM4 (IAP_COM4)" in line[pty]
          and "absent" not in line[pty] and ("/dev/tty" in [d for _, d in block])
          and all(n not in (1, 3) and d not in (gone_env, gone_map) for n, d in block), out + err)

    rc, out, err = run(["--list", "--json"], work, env)
    objects = [json.loads(l) for l in out.splitlines()]  # a line of no JSON ends the test
    present = {o.get("path"): o.get("present") for o in objects if o.get("kind") == "serial"}
    config = [(o["vid"], o["pid"]) for o in objects if o.get("kind") == "configuration"]
    check("--list --json: stable keys, absent and present nodes, the configuration's ids",
          rc == 0 and all(set(o) == KEYS.get(o.get("kind")) for o in objects)
          and [present.get(p) for p in (gone_env, gone_map, pty)] == [False, False, True]
          and config == [("1209", "0001")], out + err)

    # A block pasted onto the map's end: /dev/tty is not offered again; an empty
    # COMn= is pointed out and its number not offered either.
    with open(ports_ini, "a") as f:
        f.write("[PORTS]\nCOM7=/dev/tty\nCOM8=\n")
    rc, out, err = run(["--list"], work, env)
    check("--list: a port or COM number the map has is not offered again",
          rc == 0 and "COM7 (the port map)" in line_of_path(out, "/dev/tty")
          and all(d != "/dev/tty" and n not in (1, 3, 7, 8) for n, d in map_block(out))
          and "gives COM8 no device (an empty COM8=)" in out, out)
    os.close(master)
    os.close(slave)
    shutil.rmtree(work)


def test_hid_device_passed_over():
    work = production.workdir()
    cases = [
        ([], []),
        (["--input-report-length", "66"], ["input report length is 66 bytes", "2 to 65"]),
        (["--output-report-length", "129"], ["output report length is 129 bytes", "2 to 128"]),
        (["--hid-version", "1"], ["version number is 0001", "0002 or above"]),
        (["--hid-version", "0", "--input-report-length", "200"],
         ["version number is 0000", "input report length is 200 bytes"]),
    ]
    for attributes, words in cases:
        name = " ".join(attributes) or "the configuration's attributes"
        with hid_sim(work, attributes) as env:
            rc, out, err = run(["--list"], work, env)
            _, jout, _ = run(["--list", "--json"], work, env)
            urc, _, uerr = run(["-i", "USB", "firmware.mppt"], work, env) if words else (1, "", "")
        hid = [o for o in map(json.loads, jout.splitlines()) if o["kind"] == "hid"] or [{}]
        line = next((l for l in out.splitlines() if env["IAP_HID_SOCKET"] in l), "")
        if not words:
            check("--list, --json: the simulator matches, no serial number",
                  hid[0].get("matches") is True and hid[0].get("mismatch") is None
                  and hid[0].get("serial", "") is None and "<- matches" in line
                  and " serial " not in line, out + jout)
            continue
        why = next((l for l in uerr.splitlines() if l.startswith("iapflash: no USB HID")), "")
        check("%s: --list, --json and the update say the VID:PID is passed over, and why" % name,
              rc == 0 and line.strip().startswith("1209:0001") and "passes it over" in line
              and hid[0].get("matches") is False and "present: 1209:0001 (passed over: " in why
              and urc == 1 and all(w in t for w in words
                                   for t in (line, why, hid[0].get("mismatch") or "")),
              out + err + jout + uerr)
    shutil.rmtree(work)


def test_station_of_simulated_units():
    """Two simulators in IAP_HID_SOCKET, ':' between them: listed in that order, each
    with its own serial number, in the text and in the JSON."""
    work = production.workdir()
    with hid_sim(work, ["--serial", "UNIT-0007"], "b.sock") as b, \
            hid_sim(work, ["--serial", "UNIT-0012"], "a.sock") as a:
        env = {"IAP_HID_SOCKET": b["IAP_HID_SOCKET"] + ":" + a["IAP_HID_SOCKET"]}
        rc, out, err = run(["--list"], work, env)
        jrc, jout, jerr = run(["--list", "--json"], work, env)
    lines = [l for l in out.splitlines() if l.strip().startswith("1209:0001")]
    want = [(b["IAP_HID_SOCKET"], "UNIT-0007"), (a["IAP_HID_SOCKET"], "UNIT-0012")]
    check("--list: each unit in the order named, its serial number after the product",
          rc == 0 and len(lines) == 2 and all(
              "device simulator (IAP_HID_SOCKET)  serial %s  %s  <- matches" % (sn, path) in l
              for l, (path, sn) in zip(lines, want)), out + err)
    hid = [o for o in map(json.loads, jout.splitlines()) if o.get("kind") == "hid"]
    check("--list --json: each unit with its serial number, in order",
          jrc == 0 and [(o.get("path"), o.get("serial")) for o in hid] == want
          and all(o.get("matches") is True and set(o) == KEYS["hid"] for o in hid),
          jout + jerr)
    shutil.rmtree(work)


def one_rule(text):
    """The only rule line of text as (key, operator, value) triples; [] unless just one."""
    lines = [l for l in text.splitlines() if l.strip() and not l.startswith("#")]
    parts = [re.fullmatch(r'([A-Z]+(?:\{[A-Za-z_]+\})?)(==|!=|\+=|-=|:=|=)"([^"]*)"', p)
             for p in lines[0].split(", ")] if len(lines) == 1 else [None]
    return [m.groups() for m in parts] if all(parts) else []


def test_udev_rule():
    with open(ARGS.rule) as f:
        form = [(k, op) for k, op, _ in one_rule(f.read().splitlines()[-1])]
    work = production.workdir("castrel")
    config = os.path.join(work, "InvConfigFile.ini")
    with open(config) as f:
        text = re.sub(r"(?m)^VID=.*$", "VID=0x04D8", f.read())
    with open(config, "w") as f:
        f.write(re.sub(r"(?m)^PID=.*$", "PID=0xABCD", text))
    elsewhere = tempfile.mkdtemp(prefix="iap-inventory-")
    rc, out, err = run(["-d", "castrel", "-C", work, "--udev-rule"], elsewhere)
    tokens = one_rule(out)
    values = {k: (op, v) for k, op, v in tokens}
    check("--udev-rule: one rule in the packaged form, the ids in lower-case hex, the file named",
          rc == 0 and [(k, op) for k, op, _ in tokens] == form
          and values.get("ATTRS{idVendor}") == ("==", "04d8")
          and values.get("ATTRS{idProduct}") == ("==", "abcd")
          and any(l.startswith("#") and os.path.realpath(config) in l and "04D8:ABCD" in l
                  for l in out.splitlines()), out + err)

    # A line break in the directory's name cannot add a rule.
    odd = os.path.join(elsewhere, 'dir\nKERNEL=="*", MODE="0666"')
    os.mkdir(odd)
    shutil.copy(os.path.join(ARGS.examples, "solvane", "MpptConfigFile.ini"), odd)
    rc, out, err = run(["-C", odd, "--udev-rule"], elsewhere)
    tokens = one_rule(out)
    check("--udev-rule: a line break in the path cannot add a rule",
          rc == 0 and ("ATTRS{idVendor}", "==", "1209") in tokens
          and all(k != "MODE" for k, _, _ in tokens), out + err)

    # Without usable ids: the file and the reason on stderr, exit 1.
    empty = tempfile.mkdtemp(prefix="iap-inventory-")
    missing = os.path.join(os.path.realpath(empty), "MpptConfigFile.ini")
    head = "[DEVICELIST]\nDEVICECOUNT=1\n[DEVICE0]\n"
    for content, words in [
            (None, "No such file or directory"),
            ((head + "PID=0x0001\n").encode(), "no VID in section [DEVICE0]"),
            ((head + "VID=0x1209\nPID=\n").encode(), "no PID in section [DEVICE0]"),
            ((head + "VID=0x12345\nPID=1\n").encode(), "VID=0x12345"),
            ((head + "VID=zz\nPID=1\n").encode(), "VID=zz"),
            ((head + "VID=0x1209\nPID=0x0001\n").encode("utf-16"), "turned away")]:
        if content is not None:
            with open(missing, "wb") as f:
                f.write(content)
        rc, out, err = run(["--udev-rule"], empty)
        check("--udev-rule: %s" % words,
              rc == 1 and out == "" and missing in err and words in err, out + err)
    for d in (work, elsewhere, empty):
        shutil.rmtree(d)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--iapflash", "--iapsim", "--examples", "--rule"):
        parser.add_argument(name, required=True)
    ARGS = parser.parse_args()
    production.ARGS = ARGS
    for test in (test_serial_ports_and_the_port_map, test_hid_device_passed_over,
                 test_station_of_simulated_units, test_udev_rule):
        test()
    print("%d checks failed" % len(FAILS))
    return 1 if FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
