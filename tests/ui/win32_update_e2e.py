#!/usr/bin/env python3
"""A whole update through the Win32 window of one variant, under wine.

The native simulator plays the device on a pty; wine's COM port is pointed at
that pty; win32_drive.exe starts the real program, checks its caption and group
box, opens the About box and runs File and Update Firmware to the result box.
Then the simulator's flash is checked against the firmware, byte for byte.

With --signed the firmware is srec_cat's re-encoding of the example, signed with
a new minisign key that the configuration names: it flashes, the path's tool tip is
its trusted comment and the service journal gets one record of the update. Then
the same file with one byte changed after signing is refused at File with the
box, and not one byte reaches the port.

usage: win32_update_e2e.py --wine WINE --drive DRIVE.exe --program PROGRAM.exe
         --variant solvane|castrel --iapsim IAPSIM --examples DIR [--com N]
         [--road | --signed] [--shots DIR]   (screenshots: main, about, transfer, as PNG)
"""

import argparse
import hashlib
import json
import os
import pty as ptys
import shutil
import subprocess
import sys
import tempfile
import time

VARIANTS = {
    "solvane": ("MpptConfigFile.ini", "firmware.mppt", "Solvane(Rev00.01)", "MPPT Firmware Update"),
    "castrel": ("InvConfigFile.ini", "firmware.S19", "Castrel(Rev00.02)", "Inverter Firmware Update"),
}


def wine_prefix():
    return os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")


def start_sim(iapsim, work, config):
    out = open(os.path.join(work, "sim.out"), "w")
    err = open(os.path.join(work, "sim.err"), "w")
    sim = subprocess.Popen([iapsim, "serial", "--config", config, "--frames", "frames.txt",
                            "--image", "flash.s19", "--timeout", "120",
                            # wine reopens the port between handshake and transfer;
                            # on a busy machine that may take a few seconds
                            "--linger", "10"],
                           cwd=work, stdout=out, stderr=err)
    for _ in range(300):  # 30 s: a busy machine may be slow to start it
        with open(os.path.join(work, "sim.out")) as f:
            words = f.readline().split()
        if len(words) == 2 and words[0] == "ready":
            return sim, words[1]
        if sim.poll() is not None:
            break
        time.sleep(0.1)
    sim.kill()
    sys.exit("the simulator did not come up:\n" + open(os.path.join(work, "sim.err")).read())


def road_firmware(path):
    """A solvane file whose records come out of order and enter blocks at 16-byte
    boundaries next to IAPMARK, where rows once put fill over data."""
    def line(address):
        body = bytes([19, address >> 8, address & 0xFF]) + bytes(
            ((address >> 4) * 7 + k * 13) & 0xFF for k in range(16))
        return "S1%s%02X\n" % (body.hex().upper(), ~sum(body) & 0xFF)
    later = [line(a) for a in range(0x8410, 0x8600, 16)] + [line(a) for a in range(0x8630, 0x8670, 16)]
    with open(path, "w") as f:
        f.write("S0030000FC\n" + "".join(line(a) for a in range(0x8000, 0x8100, 16))
                + "".join(reversed(later)) + "S9030000FC\n")


COMMENT = "version 2.4.1 2026-11-30"


def sign(work, firmware, config):
    """The signed re-encoding of firmware in work, and the id of the key that the
    configuration's device section now names."""
    def minisign(*args):
        subprocess.run(["minisign"] + list(args), cwd=work, check=True, capture_output=True)
    minisign("-G", "-W", "-f", "-p", "vendor.pub", "-s", "vendor.key")
    signed = "signed-" + firmware
    subprocess.run(["srec_cat", firmware, "-o", signed], cwd=work, check=True)
    minisign("-S", "-W", "-s", "vendor.key", "-m", signed, "-t", COMMENT)
    with open(os.path.join(work, "vendor.pub")) as f:
        # "untrusted comment: minisign public key ID", then the key
        heading, key = f.read().splitlines()[:2]
    path = os.path.join(work, config)
    with open(path, newline="") as f:
        text = f.read()
    with open(path, "w", newline="") as f:
        f.write(text.replace("[DEVICE0]\r\n", "[DEVICE0]\r\nSIGNKEY=%s\r\n" % key))
    return signed, heading.split()[-1]


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def records_of(journal):
    if not os.path.exists(journal):
        return []
    with open(journal, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def signed_checks(args, work, firmware, key_id, journal, out, drive):
    """After the signed update: its tip and record; then the changed file refused.
    The problems found."""
    problems = []
    if "tip: %s\n" % COMMENT not in out:
        problems.append("the path's tool tip is not the trusted comment")
    records = records_of(journal)
    if len(records) != 1 or records[0]["outcome"]["result"] != "done" \
            or records[0]["outcome"]["stage"] != "end_of_file" \
            or records[0]["firmware"]["key_id"] != key_id \
            or records[0]["firmware"]["sha256"] != digest(os.path.join(work, firmware)):
        problems.append("not one record of the signed update (key %s): %s" % (key_id, records))

    before = {name: digest(os.path.join(work, name)) for name in ("tmp.txt", "tmp.bin")}
    with open(os.path.join(work, firmware), "rb") as f:
        changed = bytearray(f.read())
    at = changed.index(b"\n") + 20  # a hex digit of the first data record
    changed[at] = ord("1") if changed[at] == ord("0") else ord("0")
    with open(os.path.join(work, firmware), "wb") as f:
        f.write(changed)
    # The port is a pty held here: whatever reaches it is read back.
    master, slave = ptys.openpty()
    try:
        status, out = drive(os.ttyname(slave))
        os.set_blocking(master, False)
        try:
            sent = os.read(master, 4096)
        except (BlockingIOError, OSError):
            sent = b""
    finally:
        os.close(master)
        os.close(slave)
    if status != 3 or "box: %s: S19 File Signature Error !\n" % args.variant not in out \
            or "file refused, Update Firmware disabled\n" not in out:
        problems.append("the changed file was not refused with the box (driver %d)" % status)
    # The signature file's comment is there to be read, but was never vouched for.
    if "tip: \n" not in out:
        problems.append("the path's tool tip shows the comment of a file that failed its check")
    if sent:
        problems.append("bytes reached the port: %r" % sent[:40])
    after = {name: digest(os.path.join(work, name)) for name in ("tmp.txt", "tmp.bin")}
    if after != before or len(records_of(journal)) != 1:
        problems.append("tmp.txt or tmp.bin changed, or the journal grew")
    return problems


def main():
    parser = argparse.ArgumentParser()
    for option in ("--wine", "--drive", "--program", "--variant", "--iapsim", "--examples"):
        parser.add_argument(option, required=True)
    parser.add_argument("--com", type=int, default=3)
    parser.add_argument("--shots")
    parser.add_argument("--road", action="store_true",
                        help="send a file out of order instead of the example's firmware")
    parser.add_argument("--signed", action="store_true",
                        help="send a signed file, then refuse it changed after signing")
    args = parser.parse_args()
    args.iapsim = os.path.abspath(args.iapsim)
    if not os.access(args.iapsim, os.X_OK):
        sys.exit("no simulator at %s: build the native tree first (make build-native)" % args.iapsim)
    config, firmware, caption, group = VARIANTS[args.variant]

    work = tempfile.mkdtemp(prefix="iapwin32.")
    link = None
    sim = None
    try:
        source = os.path.join(args.examples, args.variant)
        for name in (config, firmware):
            shutil.copy(os.path.join(source, name), work)
        if args.road:
            road_firmware(os.path.join(work, firmware))
        key_id = None
        if args.signed:
            firmware, key_id = sign(work, firmware, config)
        journal = os.path.join(work, "journal.jsonl")
        # Under wine the Linux file system is drive Z:.
        env = dict(os.environ, IAP_JOURNAL="Z:" + journal) if args.signed else None
        sim, pty = start_sim(args.iapsim, work, config)

        dosdevices = os.path.join(wine_prefix(), "dosdevices")
        if not os.path.isdir(dosdevices):
            subprocess.run([args.wine, "wineboot", "--init"], check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        link = os.path.join(dosdevices, "com%d" % args.com)

        def point_com(device):
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(device, link)
        point_com(pty)

        program = "Z:" + os.path.abspath(args.program).replace("/", "\\")
        drive_exe = "Z:" + os.path.abspath(args.drive).replace("/", "\\")
        command = [args.wine, drive_exe, program, firmware, str(args.com)]

        def drive_again(device):
            """Another run of the driver with COM pointed at device."""
            point_com(device)
            run = subprocess.run(command, cwd=work, stdout=subprocess.PIPE, env=env,
                                 stderr=subprocess.STDOUT, text=True, timeout=900)
            print(run.stdout)
            return run.returncode, run.stdout
        shots = None
        if args.shots:
            shots = os.path.join(work, "shots")
            os.makedirs(shots)
            # A wine desktop of its own, so the windows get their frames and captions.
            command = [args.wine, "explorer", "/desktop=iapshot,1024x768"] + command[1:] + \
                ["Z:" + shots.replace("/", "\\")]
        drive = subprocess.run(command, cwd=work, stdout=subprocess.PIPE, env=env,
                               stderr=subprocess.STDOUT, text=True, timeout=900)
        print(drive.stdout)
        status = drive.returncode
        if shots:
            os.makedirs(args.shots, exist_ok=True)
            for bmp in sorted(os.listdir(shots)):
                png = "%s-%s.png" % (args.variant, os.path.splitext(bmp)[0])
                subprocess.run(["convert", os.path.join(shots, bmp), os.path.join(args.shots, png)],
                               check=False)
            # explorer's own status is not the driver's: read the result from its output.
            status = 0 if "exit: 0" in drive.stdout and "FAIL" not in drive.stdout else 1
        if "window: %s | %s\n" % (caption, group) not in drive.stdout:
            print("the window's caption or group box differ from %r, %r" % (caption, group))
            status = 1

        if status == 0:
            sim.wait(timeout=30)  # it writes its flash image and ends after the last frame
        else:
            sim.kill()
            sim.wait()
        print(open(os.path.join(work, "sim.err")).read())
        if status != 0 or sim.returncode != 0:
            print("the update failed (driver %d, simulator %d)" % (status, sim.returncode))
            return 1
        check = subprocess.run(
            [sys.executable, os.path.join(args.examples, "check-flash.py"), "--config",
             os.path.join(work, config), "--interface", "serial", os.path.join(work, firmware),
             os.path.join(work, "flash.s19")])
        if check.returncode != 0 or not args.signed:
            return check.returncode
        problems = signed_checks(args, work, firmware, key_id, journal, drive.stdout, drive_again)
        for problem in problems:
            print("FAIL: " + problem)
        return 1 if problems else 0
    finally:
        if sim and sim.poll() is None:
            sim.kill()
        if link and os.path.lexists(link):
            os.unlink(link)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
