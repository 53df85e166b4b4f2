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
import hashlib
import json
import re
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

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


def run(args, cwd, env=None, port_path=None, timeout=120):
    """Status, stdout and stderr; the status is "hung" when it did not end in time."""
    try:
        r = subprocess.run(command(args, port_path), cwd=cwd, capture_output=True, text=True,
                           env=dict(os.environ, **(env or {})), timeout=timeout)
    except subprocess.TimeoutExpired:
        return "hung", "", ""
    return r.returncode, r.stdout.replace("\r\n", "\n"), r.stderr.replace("\r\n", "\n")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def against_test_device(work, args, on_command, closed=()):
    """iapflash over a pty that the test plays as the device: once the programming-mode
    command has come in whole, on_command() runs and the ready reply goes back; the
    device answers nothing more. closed: standard streams iapflash starts without.
    Returns the status ("hung" when it did not end), stdout, stderr and every byte
    that reached the device."""
    master, slave = os.openpty()
    outputs = [tempfile.TemporaryFile() for _ in range(2)]

    def close_streams():
        for fd in closed:
            os.close(fd)

    proc = subprocess.Popen([ARGS.iapflash, "-p", os.ttyname(slave)] + args, cwd=work,
                            stdin=subprocess.DEVNULL, stdout=outputs[0], stderr=outputs[1],
                            preexec_fn=close_streams)
    received, answered, deadline = b"", False, time.monotonic() + 30
    while proc.poll() is None and time.monotonic() < deadline:
        if select.select([master], [], [], 0.1)[0]:
            received += os.read(master, 4096)
            if not answered and b"\r" in received:
                on_command()
                os.write(master, b"#FH\r")
                answered = True
    status = proc.poll()
    if status is None:
        proc.kill()
        proc.wait()
        status = "hung"
    texts = []
    for f in outputs:
        f.seek(0)
        texts.append(f.read().decode(errors="replace"))
        f.close()
    os.close(master)
    os.close(slave)
    return status, texts[0], texts[1], received


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
    firmware = result.get("firmware") or {}
    frames = result.get("frames") or {}
    stamp = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
    check("--json: the result says the outcome, what went where and when",
          result.get("stage") == "end_of_file" and result.get("result") == "done"
          and result.get("reason") == "none" and result.get("variant") == "castrel"
          and result.get("version") and firmware.get("path", "").endswith("firmware.S19")
          and firmware.get("size") == os.path.getsize(os.path.join(work, "firmware.S19"))
          and firmware.get("sha256") == hashlib.sha256(read(os.path.join(work, "firmware.S19"))).hexdigest()
          and stamp.match(result.get("started", "")) and stamp.match(result.get("ended", ""))
          and result["started"] <= result["ended"], str(result))
    check("--json: every data frame sent was acknowledged, none resent",
          frames.get("sent", 0) > 0 and frames.get("acknowledged") == frames.get("sent")
          and frames.get("resent") == 0, str(frames))
    ok, report = flash_check(work, "hid", "InvConfigFile.ini", "firmware.S19")
    check("--json over USB: the flash holds the firmware", ok, report)

    # Failures: the result names the stage and reason, each box carries the reason.
    def last_json(args, env=None):
        rc, out, err = run(["--json", "-d", "castrel"] + args, work, env)
        events = [json.loads(line) for line in out.splitlines()]
        return rc, events[-1], [e for e in events if e["event"] in ("box", "problem")]
    with open(os.path.join(work, "firmware.S19"), newline="") as f:
        lines = f.read().splitlines(True)
    # The checksum of the third line, the two characters before its line end.
    body, end = lines[2].rstrip("\r\n"), lines[2][len(lines[2].rstrip("\r\n")):]
    lines[2] = body[:-2] + ("00" if body[-2:] != "00" else "11") + end
    with open(os.path.join(work, "bad.S19"), "w", newline="") as f:
        f.write("".join(lines))
    rc, result, boxes = last_json(["--prepare-only", "bad.S19"])
    check("--json: a checksum error is the file stage's, at its line",
          rc == 1 and (result["stage"], result["result"], result["reason"]) ==
          ("file", "failed", "checksum") and result["detail"].get("line") == 3
          and [b["reason"] for b in boxes] == ["checksum"], "%s %s" % (result, boxes))
    rc, result, boxes = last_json(["-i", "USB", "firmware.S19"],
                                  {"IAP_HID_SOCKET": os.path.join(work, "no-such-socket")})
    check("--json: no USB device is the link stage's, with the ids looked for",
          rc == 1 and (result["stage"], result["reason"]) == ("link", "no_device")
          and result["detail"].get("device") and boxes
          and {b["reason"] for b in boxes} == {"no_device"}, "%s %s" % (result, boxes))
    rc, result, boxes = last_json(["--port", os.path.join(work, "no-such-tty"), "firmware.S19"])
    check("--json: a port that is not there is the link stage's, bound as given",
          rc == 1 and (result["stage"], result["reason"]) == ("link", "port_not_found")
          and result["port"].endswith("no-such-tty") and result["detail"].get("os_error"),
          "%s %s" % (result, boxes))
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


def interrupt_at(work, sim, line, sig=signal.SIGINT, options=()):
    """iapflash against sim, sig once its log shows line: status and the log after (with
    --json among options, the events after)."""
    proc = subprocess.Popen([ARGS.iapflash, "-p", sim.path] + list(options) + ["firmware.mppt"],
                            cwd=work, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for seen in proc.stdout:
        if seen.strip() == line or ("--json" in options and json.loads(seen).get("text") == line):
            break
    proc.send_signal(sig)
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
    check("Ctrl-C in the transfer: Cancel Update, exit 130 as before it",
          rc == 130 and "***User cancel firmware update!!!" in out, "%s\n%s" % (rc, out))
    check("iapsim ends when the updater cancels",
          status == 1 and "went away" in sim_err, "%s %s" % (status, sim_err))

    # SIGTERM (a supervisor stopping the station) and SIGHUP (its terminal gone):
    # the same, with the signal's own status.
    for sig, name, status in ((signal.SIGTERM, "SIGTERM", 143), (signal.SIGHUP, "SIGHUP", 129)):
        sim = Sim(work, "--fault", "no-ready")
        rc, out = interrupt_at(work, sim, "Com1 Is Finded", sig, ["--json"])
        sim.proc.terminate()
        sim.wait()
        check("%s in the handshake: exit %d at once, the result line says so" % (name, status),
              rc == status and "Can't communicate" not in out
              and json.loads(out.splitlines()[-1]) == {"event": "result", "exit": status},
              "%s\n%s" % (rc, out))

        sim = Sim(work)
        rc, out = interrupt_at(work, sim, "3 Wr", sig, ["--json"])
        sim_status, sim_err = sim.wait()
        events = [json.loads(l) for l in out.splitlines()]
        check("%s in the transfer: Cancel Update between two frames, exit %d" % (name, status),
              rc == status and {"event": "log", "text": "***User cancel firmware update!!!"}
              in events and events[-1].get("event") == "result"
              and events[-1].get("exit") == status, "%s\n%s" % (rc, out[-1500:]))
        check("%s in the transfer: iapsim ends as on a cancel" % name,
              sim_status == 1 and "went away" in sim_err, "%s %s" % (sim_status, sim_err))
    shutil.rmtree(work)


def test_firmware_is_never_overwritten():
    work = workdir()
    tmp_txt, tmp_bin = os.path.join(work, "tmp.txt"), os.path.join(work, "tmp.bin")
    firmware = read(os.path.join(work, "firmware.mppt"))
    # The firmware kept under the name File writes its image to.
    write(tmp_bin, firmware)
    rc, out, err = run(["--prepare-only", "tmp.bin"], work)
    lines = err.splitlines()
    check("firmware that is tmp.bin: refused as unreadable, and why",
          rc == 1 and lines[:1] == ["solvane: Read File Error !"] and len(lines) == 2
          and lines[1].startswith("iapflash: ") and "tmp.bin, which File writes" in lines[1]
          and "Build S19 block list error" in out.splitlines(), out + err)
    check("firmware that is tmp.bin: kept byte for byte, tmp.txt not written",
          read(tmp_bin) == firmware and not os.path.exists(tmp_txt), sorted(os.listdir(work)))
    os.remove(tmp_bin)

    # What a clean directory gets, to hold the replaced files to.
    rc, out, err = run(["--prepare-only", "firmware.mppt"], work)
    expected = read(tmp_txt), read(tmp_bin)
    names = sorted(os.listdir(work))
    if not ARGS.wine:
        # Symlinks named tmp.txt and tmp.bin into somebody else's file: the links
        # are replaced, the file stays as it is.
        os.remove(tmp_txt)
        os.remove(tmp_bin)
        write(os.path.join(work, "keep"), b"not the updater's")
        os.symlink("keep", tmp_txt)
        os.symlink(os.path.join(work, "keep"), tmp_bin)
        rc, out, err = run(["--prepare-only", "firmware.mppt"], work)
        check("tmp.txt and tmp.bin symlinks: replaced, never followed",
              rc == 0 and read(os.path.join(work, "keep")) == b"not the updater's"
              and not os.path.islink(tmp_txt) and not os.path.islink(tmp_bin)
              and (read(tmp_txt), read(tmp_bin)) == expected, out + err)
        check("tmp.txt and tmp.bin replaced: no temporary left behind",
              sorted(os.listdir(work)) == sorted(names + ["keep"]), sorted(os.listdir(work)))
    shutil.rmtree(work)


def test_tmp_bin_that_is_no_file():
    # tmp.bin swapped for a pipe after File wrote it, while the device is being
    # put into programming mode: the transfer turns it away at once.
    work = workdir()
    tmp_bin = os.path.join(work, "tmp.bin")

    def pipe_in_its_place():
        os.remove(tmp_bin)
        os.mkfifo(tmp_bin)

    rc, out, err, received = against_test_device(work, ["firmware.mppt"], pipe_in_its_place)
    check("tmp.bin a pipe at the transfer: Map bin file Error at once, nothing sent",
          rc == 1 and "Map bin file Error" in out.splitlines() and received == b"IAPMODE\r",
          "%s %r\n%s%s" % (rc, received, out, err))
    shutil.rmtree(work)


def test_closed_standard_streams():
    # Started with a standard stream closed, as a scheduler may start it. A box
    # during the transfer (tmp.bin changed behind the dialog's back) and every log
    # line go where they belong or nowhere, never into the device link.
    for closed in ((0,), (1,), (2,), (0, 1, 2)):
        work = workdir()
        tmp_bin = os.path.join(work, "tmp.bin")

        def change_tmp_bin():
            data = bytearray(read(tmp_bin))
            data[-1] ^= 1
            write(tmp_bin, data)

        rc, out, err, received = against_test_device(work, ["firmware.mppt"], change_tmp_bin,
                                                     closed)
        shown = (1 in closed or "Map bin file Error" in out.splitlines()) and (
            2 in closed or "solvane: BIN File Changed Error !" in err.splitlines())
        check("descriptors %s closed: the device gets the command alone" % (closed,),
              rc == 1 and received == b"IAPMODE\r" and shown,
              "%s %r\n%s%s" % (rc, received, out, err))
        shutil.rmtree(work)


def test_empty_values():
    work = workdir()
    for args in (["-p", "", "firmware.mppt"], ["--port=", "firmware.mppt"],
                 ["-C", "", "--check-config"], ["--check-config", ""], ["-d", "", "--check-config"],
                 ["-i", "", "--check-config"], ["--prepare-only", ""]):
        rc, out, err = run(args, work)
        check("empty value %r: a usage error" % args,
              rc == 2 and out == "" and len(err.splitlines()) == 2
              and err.splitlines()[1] == "see iapflash --help", "%s\n%s%s" % (rc, out, err))
    # An empty COM1= in the port map: COM1 opens nothing, the map is named.
    config = tempfile.mkdtemp(prefix="iap-prod-xdg-")
    os.makedirs(os.path.join(config, "iap-updater"))
    ports = os.path.join(config, "iap-updater", "ports.ini")
    write(ports, b"[PORTS]\nCOM1=\n")
    rc, out, err = run(["firmware.mppt"], work, {"XDG_CONFIG_HOME": config, "IAP_COM1": ""})
    lines = err.splitlines()
    check("empty COM1= in the port map: an error naming the map, no fall-back",
          rc == 1 and lines[:1] == ["solvane: Can Not Open Com1,Please Choose the right Com Port"]
          and len(lines) > 1 and lines[1].startswith("iapflash: COM1 opens no device: ")
          and ports in lines[1] and "/dev/ttyS" not in err, err)
    shutil.rmtree(config)
    shutil.rmtree(work)


def test_config_that_is_no_text():
    work = workdir()
    ini = os.path.join(work, "MpptConfigFile.ini")
    good = read(ini)
    cases = [("it is larger than 1 MiB", lambda: write(ini, good + b";" * (1 << 20))),
             ("it is not text", lambda: write(ini, good + b"\0\n"))]
    if not ARGS.wine:
        cases += [("it is not a regular file", lambda: os.symlink("/dev/zero", ini)),
                  ("it is not a regular file", lambda: os.mkfifo(ini))]
    for reason, make in cases:
        os.remove(ini)
        make()
        rc, out, err = run(["--check-config"], work, timeout=30)
        lines = err.splitlines()
        check("configuration file where %s: a faulty file, and why" % reason,
              rc == 1 and out.splitlines() == ["Please check the config file"]
              and lines[:1] == ["solvane: IAP Config File is error"] and len(lines) == 2
              and lines[1].startswith("iapflash: the configuration file for solvane is ")
              and reason in lines[1], "%s\n%s%s" % (rc, out, err))
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
             test_failures_say_what_and_why, test_list, test_firmware_is_never_overwritten,
             test_config_that_is_no_text]
    if not ARGS.wine:
        tests += [test_json_over_usb, test_interrupts, test_iapsim_help,
                  test_tmp_bin_that_is_no_file, test_closed_standard_streams, test_empty_values]
    for test in tests:
        test()
    print("%d groups run, %d checks failed" % (len(tests), len(FAILS)))
    return 1 if FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
