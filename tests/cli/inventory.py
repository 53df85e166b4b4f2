#!/usr/bin/env python3
"""What iapflash --list and --udev-rule tell a technician, run as a technician runs
them: real ptys, real port maps in a real config directory, the simulator's HID
socket with the attributes of a device the USB link must pass over, and the rule
read back as udev reads a rules file.

usage: inventory.py --iapflash PROG --iapsim SIM --examples DIR --rule PACKAGED.rules
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ARGS = None
FAILS = []

SERIAL_KEYS = {"kind", "path", "by_id", "product", "vid", "pid", "note", "present", "matches"}
HID_KEYS = {"kind", "path", "vid", "pid", "version", "input_report_length",
            "output_report_length", "product", "matches", "mismatch"}
CONFIG_KEYS = {"kind", "path", "vid", "pid"}


def check(name, condition, detail=""):
    if not condition:
        FAILS.append(name)
        print("FAIL: %s\n%s" % (name, detail))


def workdir(variant="solvane"):
    work = tempfile.mkdtemp(prefix="iap-inventory-")
    for name in os.listdir(os.path.join(ARGS.examples, variant)):
        shutil.copy(os.path.join(ARGS.examples, variant, name), work)
    return work


def run(args, cwd, env=None):
    """Status, stdout and stderr of iapflash with only the variables given set
    beside PATH and a HOME of the test's own (no port map of the machine's user)."""
    base = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": cwd, "LC_ALL": "C"}
    r = subprocess.run([ARGS.iapflash] + args, cwd=cwd, capture_output=True, text=True,
                       env=dict(base, **(env or {})), timeout=60)
    return r.returncode, r.stdout, r.stderr


def json_lines(out):
    """Every line of out as JSON; a line that is none fails the check and is left out."""
    objects, bad = [], []
    for line in out.splitlines():
        try:
            objects.append(json.loads(line))
        except ValueError:
            bad.append(line)
    check("--list --json: every line is a JSON object", not bad, "\n".join(bad[:3]))
    return objects


def write_map(config_home, text):
    os.makedirs(os.path.join(config_home, "iap-updater"), exist_ok=True)
    with open(os.path.join(config_home, "iap-updater", "ports.ini"), "w") as f:
        f.write(text)


def map_block(out):
    """The COMn=device lines of the paste-ready block, as (n, device)."""
    lines = out.splitlines()
    if "[PORTS]" not in lines:
        return []
    block = []
    for line in lines[lines.index("[PORTS]") + 1:]:
        m = re.match(r"^COM(\d+)=(.+)$", line)
        if not m:
            break
        block.append((int(m.group(1)), m.group(2)))
    return block


class HidSim:
    """iapsim on a HID socket in work with the attributes given, until it is stopped."""

    def __init__(self, work, *attributes):
        self.path = os.path.join(work, "hid.sock")
        self.proc = subprocess.Popen(
            [ARGS.iapsim, "hid", "--socket", self.path, "--timeout", "60", "--linger", "5"]
            + list(attributes), cwd=work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True)
        word, _, _ = self.proc.stdout.readline().strip().partition(" ")
        assert word == "ready", "iapsim did not come up"

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)


def test_serial_ports_and_the_port_map():
    work = workdir()
    cfg = os.path.join(work, "cfg")
    master, slave = os.openpty()
    pty = os.ttyname(slave)
    missing_env = os.path.join(work, "unplugged-adapter")
    missing_map = os.path.join(work, "by-id-of-an-adapter-elsewhere")
    # Lower case, a second section in another case, a port in each: both count.
    write_map(cfg, "[ports]\nCOM1=%s\n[Other]\nCOM6=/dev/wrong\n[Ports]\nCOM3=%s\n"
              % (missing_map, pty))
    env = {"XDG_CONFIG_HOME": cfg, "IAP_COM2": missing_env, "IAP_COM4": pty,
           "IAP_COM5": "/dev/tty"}
    rc, out, err = run(["--list"], work, env)
    lines = out.splitlines()
    line_of = {p: next((l for l in lines if l.split()[:1] == [p]), "") for p in
               (missing_env, missing_map, pty, "/dev/tty")}
    check("--list: a node IAP_COMn names that is not there is marked absent",
          rc == 0 and "COM2 (IAP_COM2)" in line_of[missing_env]
          and "absent" in line_of[missing_env], out + err)
    check("--list: a node from a [ports] section that is not there is marked absent",
          "COM1 (the port map)" in line_of[missing_map] and "absent" in line_of[missing_map], out)
    check("--list: the real pty, named by a second [Ports] section and by IAP_COM4, is there",
          "COM3 (the port map)" in line_of[pty] and "COM4 (IAP_COM4)" in line_of[pty]
          and "absent" not in line_of[pty], out)
    check("--list: no section but [PORTS] counts", "/dev/wrong" not in out, out)
    # The block for the map: never a port the map has, never a COM number it uses,
    # never a node that is not there; /dev/tty, present and not in the map, is in it.
    block = map_block(out)
    numbers = [n for n, _ in block]
    check("--list: the block leaves out the map's COM numbers and absent nodes",
          block and not {1, 3} & set(numbers) and numbers == sorted(set(numbers))
          and all(n <= 9 for n in numbers)
          and all(d not in (missing_env, missing_map) for _, d in block)
          and any(d == "/dev/tty" for _, d in block), out)

    # The same facts as JSON lines.
    rc, out, err = run(["--list", "--json"], work, env)
    objects = json_lines(out)
    serial = {o.get("path"): o for o in objects if o.get("kind") == "serial"}
    check("--list --json: exit 0, stable keys on every object",
          rc == 0 and objects
          and all(set(o) == SERIAL_KEYS for o in objects if o.get("kind") == "serial")
          and all(set(o) == HID_KEYS for o in objects if o.get("kind") == "hid")
          and [set(o) for o in objects if o.get("kind") == "configuration"] == [CONFIG_KEYS]
          and all(o.get("kind") in ("serial", "hid", "configuration") for o in objects),
          out + err)
    check("--list --json: absent and present nodes",
          serial.get(missing_env, {}).get("present") is False
          and serial.get(missing_map, {}).get("present") is False
          and serial.get(pty, {}).get("present") is True
          and serial.get(pty, {}).get("note") == "COM3 (the port map), COM4 (IAP_COM4)"
          and serial.get(pty, {}).get("vid") is None and serial.get(pty, {}).get("by_id") is None,
          json.dumps(serial, indent=1))
    config = [o for o in objects if o.get("kind") == "configuration"]
    check("--list --json: the configuration's ids",
          config and config[0]["vid"] == "1209" and config[0]["pid"] == "0001"
          and config[0]["path"] == os.path.join(os.path.realpath(work), "MpptConfigFile.ini"),
          out)

    # Once the map has /dev/tty (in a section pasted onto its end), the block leaves
    # it out; and with every port listed in the map, it says so instead.
    with open(os.path.join(cfg, "iap-updater", "ports.ini"), "a") as f:
        f.write("[PORTS]\nCOM7=/dev/tty\n")
    rc, out, err = run(["--list"], work, env)
    tty_line = next((l for l in out.splitlines() if l.split()[:1] == ["/dev/tty"]), "")
    check("--list: a port the map has already is not offered again",
          rc == 0 and "COM7 (the port map)" in tty_line
          and all(d != "/dev/tty" for _, d in map_block(out))
          and all(n not in (1, 3, 7) for n, _ in map_block(out)), out)
    if not map_block(out):
        check("--list: with every port in the map, it says so",
              "names every serial port listed" in out, out)

    # A map that gives a port no device is named in the list.
    write_map(cfg, "[PORTS]\nCOM2=\n")
    rc, out, err = run(["--list"], work, {"XDG_CONFIG_HOME": cfg})
    check("--list: an empty COMn= of the map is pointed out",
          rc == 0 and "gives COM2 no device (an empty COM2=)" in out, out)
    os.close(master)
    os.close(slave)
    shutil.rmtree(work)


def list_against(work, *attributes):
    """--list and --list --json against a simulator with these attributes."""
    sim = HidSim(work, *attributes)
    env = {"IAP_HID_SOCKET": sim.path}
    text = run(["--list"], work, env)
    _, out, _ = run(["--list", "--json"], work, env)
    sim.stop()
    hid = [o for o in json_lines(out) if o.get("kind") == "hid"]
    return text, hid, sim.path


def test_hid_device_passed_over():
    work = workdir()
    (rc, out, err), hid, path = list_against(work)
    check("--list --json: the simulator with the configuration's attributes matches",
          len(hid) == 1 and hid[0]["matches"] is True and hid[0]["mismatch"] is None
          and hid[0]["path"] == path and (hid[0]["vid"], hid[0]["pid"]) == ("1209", "0001")
          and isinstance(hid[0]["input_report_length"], int), json.dumps(hid))

    cases = [
        (["--input-report-length", "66"], ["input report length is 66 bytes", "2 to 65"]),
        (["--output-report-length", "129"], ["output report length is 129 bytes", "2 to 128"]),
        (["--hid-version", "1"], ["version number is 0001", "0002 or above"]),
        (["--hid-version", "0", "--input-report-length", "200"],
         ["version number is 0000", "input report length is 200 bytes"]),
    ]
    for attributes, words in cases:
        name = " ".join(attributes)
        (rc, out, err), hid, path = list_against(work, *attributes)
        line = next((l for l in out.splitlines() if path in l), "")
        check("--list (%s): the same VID:PID, passed over, and why" % name,
              rc == 0 and line.strip().startswith("1209:0001") and "passes it over" in line
              and "<- matches" not in line and all(w in line for w in words), out + err)
        check("--list --json (%s): matches false, the attribute that differs" % name,
              len(hid) == 1 and hid[0]["matches"] is False and hid[0]["mismatch"]
              and all(w in hid[0]["mismatch"] for w in words), json.dumps(hid))

        # The update fails to find the device; its explanation says why it was passed over.
        sim = HidSim(work, *attributes)
        rc, out, err = run(["-i", "USB", "firmware.mppt"], work, {"IAP_HID_SOCKET": sim.path})
        sim.stop()
        explanation = [l for l in err.splitlines() if l.startswith("iapflash: no USB HID device")]
        check("update (%s): the explanation names the attribute that differs" % name,
              rc == 1 and explanation and "present: 1209:0001 (passed over: " in explanation[0]
              and all(w in explanation[0] for w in words), err)
    shutil.rmtree(work)


def rule_tokens(line):
    """A udev rule line as (key, operator, value) triples, or None when it is not one."""
    tokens = []
    for part in line.split(", "):
        m = re.fullmatch(r'([A-Z]+(?:\{[A-Za-z_]+\})?)(==|!=|\+=|-=|:=|=)"([^"]*)"', part)
        if not m:
            return None
        tokens.append(m.groups())
    return tokens


def rule_lines(text):
    return [l for l in text.splitlines() if l.strip() and not l.startswith("#")]


def test_udev_rule():
    with open(ARGS.rule) as f:
        packaged = [rule_tokens(l) for l in rule_lines(f.read())]
    form = [(k, op) for k, op, _ in packaged[0]]

    work = workdir("castrel")
    config = os.path.join(work, "InvConfigFile.ini")
    with open(config) as f:
        text = f.read()
    with open(config, "w") as f:
        f.write(re.sub(r"(?m)^VID=.*$", "VID=0x04D8", re.sub(r"(?m)^PID=.*$", "PID=0xABCD", text)))
    elsewhere = tempfile.mkdtemp(prefix="iap-inventory-")
    rc, out, err = run(["-d", "castrel", "-C", work, "--udev-rule"], elsewhere)
    rules = rule_lines(out)
    tokens = rule_tokens(rules[0]) if len(rules) == 1 else None
    check("--udev-rule: one rule, in the packaged rule's form",
          rc == 0 and tokens is not None and [(k, op) for k, op, _ in tokens] == form, out + err)
    values = {k: (op, v) for k, op, v in tokens or []}
    check("--udev-rule: the configuration's ids in lower-case hex, for the hidraw node",
          values.get("ATTRS{idVendor}") == ("==", "04d8")
          and values.get("ATTRS{idProduct}") == ("==", "abcd")
          and values.get("SUBSYSTEM") == ("==", "hidraw")
          and values.get("TAG") == ("+=", "uaccess"), out)
    check("--udev-rule: nothing that opens the node to everybody",
          not any(k in ("MODE", "GROUP", "OWNER") for k in values), out)
    comments = [l for l in out.splitlines() if l.startswith("#")]
    check("--udev-rule: a comment names the configuration file and the VID:PID",
          any(os.path.realpath(config) in l and "04D8:ABCD" in l for l in comments), out)
    if shutil.which("udevadm") and subprocess.run(["udevadm", "verify", "--help"],
                                                  capture_output=True).returncode == 0:
        rule_file = os.path.join(elsewhere, "70-iap-updater-04d8-abcd.rules")
        with open(rule_file, "w") as f:
            f.write(out)
        r = subprocess.run(["udevadm", "verify", rule_file], capture_output=True, text=True)
        check("--udev-rule: udevadm verify takes the rule", r.returncode == 0, r.stdout + r.stderr)

    # A directory name with a line break in it stays inside the comment.
    odd = os.path.join(elsewhere, 'dir\nKERNEL=="*", MODE="0666"')
    os.mkdir(odd)
    shutil.copy(os.path.join(ARGS.examples, "solvane", "MpptConfigFile.ini"), odd)
    rc, out, err = run(["-C", odd, "--udev-rule"], elsewhere)
    check("--udev-rule: a line break in the path cannot add a rule",
          rc == 0 and len(rule_lines(out)) == 1 and "MODE" not in rule_lines(out)[0]
          and 'ATTRS{idVendor}=="1209"' in rule_lines(out)[0], out + err)

    # Without a configuration that names usable ids: the file and the reason, exit 1.
    empty = tempfile.mkdtemp(prefix="iap-inventory-")
    missing = os.path.join(os.path.realpath(empty), "MpptConfigFile.ini")
    rc, out, err = run(["--udev-rule"], empty)
    check("--udev-rule: no configuration file", rc == 1 and out == ""
          and missing in err and "No such file or directory" in err, out + err)
    faults = [
        ("[DEVICELIST]\nDEVICECOUNT=1\n[DEVICE0]\nPID=0x0001\n", "no VID in section [DEVICE0]"),
        ("[DEVICELIST]\nDEVICECOUNT=1\n[DEVICE0]\nVID=0x1209\nPID=\n",
         "no PID in section [DEVICE0]"),
        ("[DEVICELIST]\nDEVICECOUNT=1\n[DEVICE0]\nVID=0x12345\nPID=1\n", "VID=0x12345"),
    ]
    for text, words in faults:
        with open(missing, "w") as f:
            f.write(text)
        rc, out, err = run(["--udev-rule"], empty)
        check("--udev-rule: %s" % words, rc == 1 and out == "" and missing in err
              and words in err, out + err)
    with open(missing, "wb") as f:
        f.write("[DEVICE0]\nVID=0x1209\nPID=0x0001\n".encode("utf-16"))
    rc, out, err = run(["--udev-rule"], empty)
    check("--udev-rule: a UTF-16 file is turned away", rc == 1 and out == ""
          and missing in err and "turned away" in err, out + err)

    rc, out, _ = run(["--help"], empty)
    check("--help names --udev-rule", rc == 0 and "--udev-rule" in out, out)
    for d in (work, elsewhere, empty):
        shutil.rmtree(d)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--iapflash", "--iapsim", "--examples", "--rule"):
        parser.add_argument(name, required=True)
    ARGS = parser.parse_args()
    tests = [test_serial_ports_and_the_port_map, test_hid_device_passed_over, test_udev_rule]
    for test in tests:
        test()
    print("%d groups run, %d checks failed" % (len(tests), len(FAILS)))
    return 1 if FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
