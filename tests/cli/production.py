#!/usr/bin/env python3
"""iapflash as a production line runs it: against the iapsim simulator over a real
pty or the socket HID channel, in real directories, with real pipes and signals.

usage: production.py --iapflash PROG --iapsim SIM --examples DIR --version V
                     [--wine WINE --rig wine_null_modem.py]

With --wine, PROG is iapflash.exe: the simulator's pty becomes wine's COM12 through
the null-modem rig, and only what applies under wine is run.
"""

import argparse
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile

ARGS = None
FAILS = []


def check(name, condition, detail=""):
    if not condition:
        FAILS.append(name)
        print("FAIL: %s\n%s" % (name, detail))


class Sim:
    """iapsim in dir, until its "ready PATH" line."""

    def __init__(self, work, *options, mode="serial"):
        extra = ["--socket", os.path.join(work, "hid.sock")] if mode == "hid" else []
        self.err = open(os.path.join(work, "sim.err"), "w+")
        self.proc = subprocess.Popen(
            [ARGS.iapsim, mode] + extra + ["--image", "flash.s19", "--timeout", "60",
                                           "--linger", "0.5"] + list(options),
            cwd=work, stdout=subprocess.PIPE, stderr=self.err, text=True)
        word, _, self.path = self.proc.stdout.readline().strip().partition(" ")
        assert word == "ready", "iapsim did not come up"

    def wait(self):
        try:
            status = self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = "still running"
        self.err.seek(0)
        return status, self.err.read()


def workdir(variant="solvane"):
    work = tempfile.mkdtemp(prefix="iap-prod-")
    for name in os.listdir(os.path.join(ARGS.examples, variant)):
        shutil.copy(os.path.join(ARGS.examples, variant, name), work)
    return work


def command(args, port_path=None):
    """The command line that runs iapflash; under wine COM12 is port_path."""
    if not ARGS.wine:
        return [ARGS.iapflash] + args
    rig = [sys.executable, ARGS.rig, "--wine", ARGS.wine]
    if port_path:
        rig += ["--map", "12=" + port_path]
    return rig + ["--", ARGS.iapflash] + args


def run(args, cwd, env=None, port_path=None):
    r = subprocess.run(command(args, port_path), cwd=cwd, capture_output=True, text=True,
                       env=dict(os.environ, **(env or {})), timeout=120)
    return r.returncode, r.stdout.replace("\r\n", "\n"), r.stderr.replace("\r\n", "\n")


def flash_check(work, interface="serial", config="MpptConfigFile.ini", firmware="firmware.mppt"):
    r = subprocess.run([sys.executable, os.path.join(ARGS.examples, "check-flash.py"), "--config",
                        config, "--interface", interface, firmware, "flash.s19"],
                       cwd=work, capture_output=True, text=True)
    return r.returncode == 0, r.stdout + r.stderr


def port_arg(sim):
    return "COM12" if ARGS.wine else sim.path


def test_command_line():
    work = workdir()
    rc, out, err = run(["--version"], work)
    check("--version names the project version", rc == 0 and ARGS.version in out, out + err)
    rc, out, err = run(["--variant", "nosuch", "firmware.mppt"], work)
    check("a usage error is one line and a pointer to --help",
          rc == 2 and err.splitlines() == [err.splitlines()[0], "see iapflash --help"]
          and "nosuch" in err, err)
    rc, out, err = run(["-i", "com12", "--check-config"], work)
    check("COM10 and above only through --port", rc == 2 and "--port" in err, err)
    # Values in any case, short options, --opt=value; -C reads and writes in DIR.
    other = tempfile.mkdtemp(prefix="iap-prod-cwd-")
    rc, out, err = run(["--variant=SOLVANE", "-i", "usb", "-C", work, "--prepare-only",
                        os.path.join(work, "firmware.mppt")], other)
    check("-C DIR: prepared from DIR's configuration into DIR",
          rc == 0 and os.path.exists(os.path.join(work, "tmp.bin"))
          and not os.listdir(other), out + err)
    shutil.rmtree(other)
    shutil.rmtree(work)


def test_quiet_transfer_over_port():
    work = workdir()
    sim = Sim(work)
    rc, out, err = run(["-q", "--port", port_arg(sim), "firmware.mppt"], work, port_path=sim.path)
    status, sim_err = sim.wait()
    lines = out.splitlines()
    per_frame = [l for l in lines if l.endswith(" Wr") or l.endswith(" Rd") or l.startswith("A")]
    check("--port: the update goes over the named device", rc == 0 and status == 0,
          out + err + sim_err)
    check("--quiet: no per-frame lines, every stage and the result",
          not per_frame and "Map bin file OK" in lines and "Com1 Is Finded" in lines
          and "UPS firmware update successful!" in lines, out)
    ok, report = flash_check(work)
    check("--port: the flash holds the firmware", ok, report)
    shutil.rmtree(work)


def test_json_over_usb():
    work = workdir("castrel")
    sim = Sim(work, mode="hid")
    rc, out, err = run(["--json", "-d", "castrel", "-i", "USB", "firmware.S19"], work,
                       {"IAP_HID_SOCKET": sim.path})
    sim.wait()
    try:
        events = [json.loads(line) for line in out.splitlines()]
    except ValueError as e:
        events = []
        check("--json: every line is a JSON object", False, "%s\n%s" % (e, out[:2000]))
    kinds = {e.get("event") for e in events}
    result = events[-1] if events else {}
    image = os.path.getsize(os.path.join(work, "tmp.bin"))
    check("--json: log, box, progress and the result last, nothing on stderr",
          {"log", "box", "progress", "result"} <= kinds and err == "", "%s %r" % (kinds, err))
    check("--json: the result has the exit status and the image size",
          rc == 0 and result.get("exit") == 0 and result.get("image_bytes") == image, str(result))
    percents = [e["percent"] for e in events if e["event"] == "progress"]
    check("--json: progress rises to 100", percents == sorted(percents) and percents[-1] == 100,
          str(percents[-5:]))
    ok, report = flash_check(work, "hid", "InvConfigFile.ini", "firmware.S19")
    check("--json over USB: the flash holds the firmware", ok, report)
    shutil.rmtree(work)


def test_stdout_closed_early():
    work = workdir()
    sim = Sim(work)
    proc = subprocess.Popen(command(["--port", port_arg(sim), "firmware.mppt"], sim.path),
                            cwd=work, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.readline()
    proc.stdout.close()  # as `| head -1` does
    err = proc.stderr.read().decode()
    rc = proc.wait(timeout=120)
    status, sim_err = sim.wait()
    check("stdout closed early: the update runs to its end", rc == 0 and status == 0,
          "%s %s\n%s%s" % (rc, status, err, sim_err))
    ok, report = flash_check(work)
    check("stdout closed early: the flash holds the firmware", ok, report)
    shutil.rmtree(work)


def test_failures_say_what_and_why():
    work = workdir()
    empty = tempfile.mkdtemp(prefix="iap-prod-empty-")
    rc, out, err = run(["--check-config"], empty)
    check("missing INI: its full path for the variant after the box",
          rc == 1 and err.splitlines()[-1].startswith("iapflash: the configuration file for solvane")
          and os.path.basename(empty) + ("\\" if ARGS.wine else "/") + "MpptConfigFile.ini" in err,
          err)
    rc, out, err = run(["--prepare-only", "nosuch.mppt"], work)
    check("missing firmware: the path and the OS error after the box",
          rc == 1 and "nosuch.mppt" in err.splitlines()[-1]
          and "No such file" in err.splitlines()[-1], err)
    if ARGS.wine:
        port, rig_port = "COM11", None
    else:
        port, rig_port = "/dev/iap-no-such-tty", None
    rc, out, err = run(["-p", port, "firmware.mppt"], work, port_path=rig_port)
    lines = err.splitlines()
    check("missing port: COMn, its device and the OS error after the box",
          rc == 1 and lines[0].startswith("solvane: Can Not Open Com1")
          and lines[1].startswith("iapflash: COM1 is ") and len(lines[1]) > 40, err)
    if not ARGS.wine:
        master, slave = os.openpty()
        fcntl.flock(slave, fcntl.LOCK_EX)
        rc, out, err = run(["-p", os.ttyname(slave), "firmware.mppt"], work)
        check("busy port: another program holds it, which one",
              rc == 1 and "another program holds it" in err and str(os.getpid()) in err, err)
        os.close(slave)
        os.close(master)
        sim = Sim(work, "--vid", "0x1209", "--pid", "0x0002", mode="hid")
        rc, out, err = run(["-i", "USB", "firmware.mppt"], work, {"IAP_HID_SOCKET": sim.path})
        sim.proc.terminate()
        sim.wait()
        check("HID not found: the ids searched for and those present",
              rc == 1 and "VID:PID 1209:0001" in err and "present: 1209:0002" in err, err)
    shutil.rmtree(empty)
    shutil.rmtree(work)


def test_list():
    work = workdir()
    serial = Sim(work)
    env = {}
    if not ARGS.wine:
        hid = Sim(work, mode="hid")
        env = {"IAP_COM3": serial.path, "IAP_HID_SOCKET": hid.path}
    rc, out, err = run(["--list"], work, env, port_path=serial.path)
    lines = out.splitlines()
    if ARGS.wine:
        check("--list under wine: COM12 among the serial ports",
              rc == 0 and any(l.split()[:1] == ["COM12"] for l in lines), out + err)
    else:
        check("--list: the simulator's pty as COM3",
              rc == 0 and any(serial.path in l and "COM3 (IAP_COM3)" in l for l in lines), out)
        check("--list: the HID socket with its ids, marked as the configured device",
              any(hid.path in l and l.strip().startswith("1209:0001") and "matches" in l
                  for l in lines), out)
        hid.proc.terminate()
        hid.wait()
    serial.proc.terminate()
    serial.wait()
    shutil.rmtree(work)


def interrupt_at(work, sim, line):
    """iapflash against sim, Ctrl-C once its log shows line: status and the log after."""
    proc = subprocess.Popen([ARGS.iapflash, "-p", sim.path, "firmware.mppt"], cwd=work,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for seen in proc.stdout:
        if seen.strip() == line:
            break
    proc.send_signal(signal.SIGINT)
    out = proc.stdout.read()
    return proc.wait(timeout=60), out


def test_interrupts():
    # Ctrl-C while the device does not answer the programming-mode command: the
    # run ends at once, the handshake's own failure never comes.
    work = workdir()
    sim = Sim(work, "--fault", "no-ready")
    rc, out = interrupt_at(work, sim, "Com1 Is Finded")
    sim.proc.terminate()
    sim.wait()
    check("Ctrl-C in the handshake: exit 130 before its end",
          rc == 130 and "Can't communicate" not in out, "%s\n%s" % (rc, out))

    # Ctrl-C during the transfer is Cancel Update; the simulator sees the updater
    # go and ends well before its own time-out.
    sim = Sim(work)
    rc, out = interrupt_at(work, sim, "3 Wr")
    status, sim_err = sim.wait()
    check("Ctrl-C in the transfer: Cancel Update, exit 1",
          rc == 1 and "***User cancel firmware update!!!" in out, out)
    check("iapsim ends when the updater cancels",
          status == 1 and "went away" in sim_err, "%s %s" % (status, sim_err))
    shutil.rmtree(work)


def test_iapsim_help():
    r = subprocess.run([ARGS.iapsim, "--help"], capture_output=True, text=True)
    names = ["--config", "--pace", "--frames", "--image", "--stats", "--fault", "--timeout",
             "--linger", "--socket", "--vid", "--pid", "--hid-version", "--input-report-length",
             "--output-report-length", "silent-after=N", "hangup-after=N", "nak=K", "garbage=K",
             "no-ready", "no-baud-ack"]
    check("iapsim --help names every option and fault",
          r.returncode == 0 and all(n in r.stdout for n in names),
          [n for n in names if n not in r.stdout])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--iapflash", "--iapsim", "--examples", "--version"):
        parser.add_argument(name, required=True)
    parser.add_argument("--wine")
    parser.add_argument("--rig")
    ARGS = parser.parse_args()
    tests = [test_command_line, test_quiet_transfer_over_port, test_stdout_closed_early,
             test_failures_say_what_and_why, test_list]
    if not ARGS.wine:
        tests += [test_json_over_usb, test_interrupts, test_iapsim_help]
    for test in tests:
        test()
    print("%d groups run, %d checks failed" % (len(tests), len(FAILS)))
    return 1 if FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
