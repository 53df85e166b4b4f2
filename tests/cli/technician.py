#!/usr/bin/env python3
"""iapflash as a service technician meets it: in a terminal (a real pty of a given
width), through a pipe, and at each failure the technician has to act on.

usage: technician.py --iapflash PROG --iapsim SIM --examples DIR --version V
"""

import fcntl
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import production  # noqa: E402  (the simulator, work directories and checks)
from production import Sim, check, read, run, workdir, write  # noqa: E402

NOBODY = 65534


def in_terminal(work, args, columns, stdout_to_pty=True, sigint_at=None):
    """iapflash with stderr (and stdout unless stdout_to_pty is False, when it is a
    pipe) on a pty of columns; sigint_at: a text whose arrival sends Ctrl-C once.
    Returns the status, what reached the terminal and what reached the pipe."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen([production.ARGS.iapflash] + args, cwd=work, stdin=subprocess.DEVNULL,
                            stdout=slave if stdout_to_pty else subprocess.PIPE, stderr=slave)
    os.close(slave)
    screen, piped, deadline, sent = b"", b"", time.monotonic() + 120, False
    readers = [master] + ([] if stdout_to_pty else [proc.stdout])
    while readers and time.monotonic() < deadline:
        for r in select.select(readers, [], [], 0.2)[0]:
            try:
                data = os.read(r if r == master else r.fileno(), 65536)
            except OSError:  # the pty's other side has closed
                data = b""
            if not data:
                readers.remove(r)
            elif r == master:
                screen += data
            else:
                piped += data
        if sigint_at and not sent and sigint_at.encode() in screen:
            proc.send_signal(signal.SIGINT)
            sent = True
        if proc.poll() is not None and not select.select(readers, [], [], 0.2)[0]:
            break
    try:
        status = proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        status = "hung"
    os.close(master)
    return status, screen.decode(errors="replace"), piped.decode(errors="replace")


def bar_draws(screen):
    """Every state of the bar as drawn: the text after each carriage return up to the
    next one or the line's end, with the erase sequence taken out."""
    draws = []
    for line in screen.replace("\r\n", "\n").split("\n"):
        for piece in line.split("\r"):
            piece = piece.replace("\x1b[K", "")
            if re.match(r"^\[[#.]*\] ", piece) or re.match(r"^ *\d+ %", piece):
                draws.append(piece)
    return draws


def test_progress_bar():
    work = workdir()
    for columns in (45, 120):
        sim = Sim(work, "--pace")
        rc, screen, _ = in_terminal(work, ["-q", "-p", sim.path, "firmware.mppt"], columns)
        sim.wait()
        draws = bar_draws(screen)
        check("%d columns: the update succeeds and draws its bar" % columns,
              rc == 0 and len(draws) > 3, "%s\n%s" % (rc, screen[-2000:]))
        wide = [d for d in draws if len(d) > columns - 1]
        check("%d columns: no bar wider than the terminal's last column" % columns,
              not wide, wide[:3])
        rates = [float(r) for d in draws for r in re.findall(r"([\d.]+) kB/s", d)]
        check("%d columns: no rate above what 9600 baud can carry" % columns,
              all(r < 2.0 for r in rates), rates[:5])
        lines = screen.replace("\r\n", "\n").split("\n")
        check("%d columns: every log line reaches the terminal whole, on a line of its own"
              % columns, "Map bin file OK" in [l.split("\r")[-1].replace("\x1b[K", "")
                                               for l in lines]
              and "UPS firmware update successful!" in screen, screen[-1500:])
        if columns == 120:
            early = [d for d in draws if re.search(r"bytes  0:00(  |$)", d) and "kB/s" in d]
            check("the rate waits for a second of transfer", not early, early[:3])
            check("the time left is shown once the rate is",
                  any(re.search(r"\d+:\d\d left", d) for d in draws)
                  and all(("kB/s" in d) == ("left" in d) for d in draws), draws[-3:])
    # stdout through a pipe (iapflash ... | tee log), stderr the terminal: the bar
    # would be glued onto the lines the pipe's reader echoes, so none is drawn.
    sim = Sim(work, "--pace")
    rc, screen, piped = in_terminal(work, ["-q", "-p", sim.path, "firmware.mppt"], 80,
                                    stdout_to_pty=False)
    sim.wait()
    check("stdout a pipe: no bar on the terminal, every log line in the pipe",
          rc == 0 and not bar_draws(screen) and "kB/s" not in screen
          and "UPS firmware update successful!" in piped.splitlines(),
          "%s\n%r\n%s" % (rc, screen[-500:], piped[-500:]))
    shutil.rmtree(work)


def test_quiet_and_interrupt():
    work = workdir("castrel")
    sim = Sim(work, mode="hid")
    rc, out, err = run(["-q", "-d", "castrel", "-i", "USB", "firmware.S19"], work,
                       {"IAP_HID_SOCKET": sim.path})
    sim.wait()
    counts = [l for l in out.splitlines() if l.isdigit()]
    check("-q over USB: no byte-count line, the handshake's included",
          rc == 0 and not counts and "UPS ready for firmware update" in out, out[:1500])
    shutil.rmtree(work)

    work = workdir()
    sim = Sim(work, "--pace")
    rc, screen, _ = in_terminal(work, ["-p", sim.path, "firmware.mppt"], 80, sigint_at="3 Wr")
    sim.wait()
    check("Ctrl-C in the transfer at a terminal: cancelled, logged, exit 130",
          rc == 130 and "***User cancel firmware update!!!" in screen, "%s\n%s" % (rc, screen[-800:]))

    rc, out, err = run(["-i", "ttyUSB0", "--check-config"], work)
    check("a usage error quotes what was typed",
          rc == 2 and "ttyUSB0 is not USB" in err and "TTYUSB0" not in err, err)
    shutil.rmtree(work)


def set_key(path, key, value):
    """The INI at path with key's line set to value, or removed when value is None."""
    lines = read(path).decode().splitlines()
    kept = [l for l in lines if not l.strip().upper().startswith(key + "=")]
    if value is not None:
        at = next(i for i, l in enumerate(lines) if l.strip().upper().startswith(key + "="))
        kept.insert(at, "%s=%s" % (key, value))
    write(path, ("\r\n".join(kept) + "\r\n").encode())


def test_configuration_check():
    work = workdir()
    ini = os.path.join(work, "MpptConfigFile.ini")
    good = read(ini)
    cases = [("PROGRAMBDRATE", "4800", "PROGRAMBDRATE is 4800"),
             ("DEVICECOUNT", "", "DEVICECOUNT is empty"),
             ("DEVICECOUNT", "0", "DEVICECOUNT is 0")]
    for size in ("8", "17", "48", "128", "255", None):
        cases.append(("RAWDATASIZE", size,
                      "RAWDATASIZE is %s" % size if size else "RAWDATASIZE is missing"))
    for key, value, said in cases:
        write(ini, good)
        set_key(ini, key, value)
        rc, out, err = run(["--check-config"], work)
        check("--check-config, %s=%s: exit 1 and the value explained" % (key, value),
              rc == 1 and any(l.startswith("iapflash: ") and said in l for l in err.splitlines()),
              "%s\n%s%s" % (rc, out, err))
    # An empty device list in a real run: each box File shows comes from the empty
    # device map, and its line says so rather than blaming the file.
    set_key(ini, "DEVICECOUNT", "0")
    rc, out, err = run(["--prepare-only", "firmware.mppt"], work)
    lines = err.splitlines()
    boxes = [i for i, l in enumerate(lines) if not l.startswith("iapflash: ")]
    check("DEVICECOUNT=0 at File: every box explained by the empty device list",
          rc == 1 and boxes and all(i + 1 < len(lines) and "DEVICECOUNT is 0" in lines[i + 1]
                                    for i in boxes), err)
    write(ini, good)
    rc, out, err = run(["--check-config"], work)
    check("--check-config of a sound file: exit 0, nothing on stderr", rc == 0 and not err, err)

    # A record size without frames: File warns, Update Firmware never sends the
    # programming-mode command.
    set_key(ini, "RAWDATASIZE", "8")
    rc, out, err, received = production.against_test_device(work, ["firmware.mppt"], lambda: None)
    check("record size 8: the device never gets the programming-mode command",
          rc == 1 and received == b"" and "Can't support this file !" in err,
          "%s %r\n%s%s" % (rc, received, out, err))

    # Notepad's "Unicode": UTF-16 with its byte-order mark, and without one.
    for encoding, name in (("utf-16", "UTF-16LE"), ("utf-16-le", "UTF-16LE"),
                           ("utf-16-be", "UTF-16BE")):
        write(ini, good.decode().encode(encoding))
        rc, out, err = run(["--check-config"], work)
        check("a %s configuration file: its encoding named" % name,
              rc == 1 and name in err and "is not exist" not in err, err)
    shutil.rmtree(work)


def as_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def run_as_nobody(args, cwd):
    r = subprocess.run([production.ARGS.iapflash] + args, cwd=cwd, capture_output=True, text=True,
                       preexec_fn=as_nobody, timeout=60)
    return r.returncode, r.stdout, r.stderr


def explained(err, *words):
    """True when a line "iapflash: ..." holds every one of words."""
    return any(l.startswith("iapflash: ") and all(w in l for w in words) for l in err.splitlines())


def test_every_failure_explained():
    work = workdir()
    # The device that never answers: named, with its baud rate and the tries.
    master, slave = os.openpty()
    name = os.ttyname(slave)
    rc, out, err = run(["-p", name, "firmware.mppt"], work, timeout=60)
    os.close(slave)
    os.close(master)
    check("no ready reply: the device, its baud rate and the tries",
          rc == 1 and explained(err, "no ready reply", name, "9600 baud", "3 tries"), err)

    # A directory as the firmware, and a first data record off ROMHEAD.
    os.mkdir(os.path.join(work, "fw.d"))
    rc, out, err = run(["--prepare-only", "fw.d"], work)
    check("a directory as the firmware: said so", rc == 1 and explained(err, "is a directory"), err)
    lines = read(os.path.join(work, "firmware.mppt")).decode().splitlines()
    moved = lines[:]
    for i, line in enumerate(moved):
        if line.startswith("S1"):
            body = "%02X%04X%s" % (int(line[2:4], 16), int(line[4:8], 16) + 0x100, line[8:-2])
            total = sum(bytes.fromhex(body))
            moved[i] = "S1" + body + "%02X" % (~total & 0xFF)
            break
    write(os.path.join(work, "moved.mppt"), ("\n".join(moved) + "\n").encode())
    rc, out, err = run(["--prepare-only", "moved.mppt"], work)
    check("first record off ROMHEAD: its line, its address and ROMHEAD",
          rc == 1 and "Flash File doesn't match the config file !" in err
          and explained(err, "line 2", "0x8100", "ROMHEAD 0x8000"), err)

    if os.geteuid() != 0:
        print("skipped: the permission cases need root to act as another user")
        shutil.rmtree(work)
        return
    os.chmod(work, 0o755)
    for f in os.listdir(work):
        os.chmod(os.path.join(work, f), 0o644)
    # tmp.txt and tmp.bin that cannot be written: the path and the system's word.
    rc, out, err = run_as_nobody(["--prepare-only", "firmware.mppt"], work)
    check("tmp.txt not writable: its path and the OS error",
          rc == 1 and explained(err, os.path.join(work, "tmp.txt"), "Permission denied"), err)
    os.chmod(work, 0o777)
    for name in ("tmp.txt", "tmp.bin"):
        if os.path.exists(os.path.join(work, name)):
            os.remove(os.path.join(work, name))
    os.mkdir(os.path.join(work, "tmp.bin"))
    rc, out, err = run_as_nobody(["--prepare-only", "firmware.mppt"], work)
    check("tmp.bin not writable: its path and why",
          rc == 1 and explained(err, os.path.join(work, "tmp.bin"), "not a regular file"), err)
    os.rmdir(os.path.join(work, "tmp.bin"))

    # A tty whose mode forbids it to its own group, for a user in that group: no
    # advice to join the group.
    master, slave = os.openpty()
    name = os.ttyname(slave)
    os.chown(name, 0, NOBODY)
    os.chmod(name, 0o000)
    rc, out, err = run_as_nobody(["-p", name, "firmware.mppt"], work)
    check("mode 000 tty, user in its group: the mode named, not the group",
          rc == 1 and explained(err, name, "mode 0000", "forbids") and "usermod" not in err, err)
    os.chown(name, 0, 20)  # dialout
    os.chmod(name, 0o660)
    rc, out, err = run_as_nobody(["-p", name, "firmware.mppt"], work)
    check("group-only tty, user outside the group: join it",
          rc == 1 and explained(err, name, "usermod -aG dialout"), err)
    os.close(slave)
    os.close(master)
    shutil.rmtree(work)


def main():
    import argparse
    parser = argparse.ArgumentParser()
    for name in ("--iapflash", "--iapsim", "--examples", "--version"):
        parser.add_argument(name, required=True)
    production.ARGS = parser.parse_args()
    production.ARGS.wine = None
    tests = [test_progress_bar, test_quiet_and_interrupt, test_configuration_check,
             test_every_failure_explained]
    for test in tests:
        test()
    print("%d groups run, %d checks failed" % (len(tests), len(production.FAILS)))
    return 1 if production.FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
