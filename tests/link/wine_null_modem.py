#!/usr/bin/env python3
"""Runs a Windows test program under wine with two COM ports joined like a
null-modem cable.

Two pty pairs are made; wine's dosdevices links comA and comB are pointed at
their slaves, and the two masters are relayed into each other, so whatever the
program writes on one port it reads on the other. A third port can be pointed at
a path that does not exist, and others at given ttys (a simulator's pty). The
program's exit status is the script's.

usage: wine_null_modem.py --wine WINE [--ports A B] [--absent C] [--map N=TTY]...
                          -- PROGRAM [ARGS...]
"""

import argparse
import os
import select
import subprocess
import sys
import threading
import tty


def wine_prefix():
    return os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")


def ensure_prefix(wine):
    dosdevices = os.path.join(wine_prefix(), "dosdevices")
    if not os.path.isdir(dosdevices):
        os.makedirs(wine_prefix(), exist_ok=True)
        subprocess.run([wine, "wineboot", "--init"], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.makedirs(dosdevices, exist_ok=True)
    return dosdevices


def point(dosdevices, port, target):
    link = os.path.join(dosdevices, "com%d" % port)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(target, link)
    return link


def relay(a, b, stop):
    while not stop.is_set():
        ready, _, _ = select.select([a, b], [], [], 0.1)
        for src in ready:
            dst = b if src == a else a
            try:
                data = os.read(src, 4096)
            except OSError:
                continue
            while data:
                try:
                    data = data[os.write(dst, data):]
                except BlockingIOError:
                    select.select([], [dst], [], 0.1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", required=True)
    parser.add_argument("--ports", type=int, nargs=2, default=[])
    parser.add_argument("--map", action="append", default=[])
    parser.add_argument("--absent", type=int)
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = [p for p in args.program if p != "--"]

    dosdevices = ensure_prefix(args.wine)
    pairs = [os.openpty() for _ in args.ports]
    links = []
    for port, (master, slave) in zip(args.ports, pairs):
        # Raw both ways before wine applies its line settings: no echo of the
        # relayed bytes, no line editing, no CR/LF translation.
        tty.setraw(slave)
        tty.setraw(master)
        links.append(point(dosdevices, port, os.ttyname(slave)))
    if args.absent:
        links.append(point(dosdevices, args.absent, "/dev/iap-no-such-tty"))
    for mapping in args.map:
        port, _, target = mapping.partition("=")
        links.append(point(dosdevices, int(port), target))

    stop = threading.Event()
    thread = None
    if pairs:
        thread = threading.Thread(target=relay, args=(pairs[0][0], pairs[1][0], stop), daemon=True)
        thread.start()
    env = dict(os.environ, IAP_NULL_MODEM="1", WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))
    try:
        status = subprocess.run([args.wine] + program, env=env, check=False).returncode
    finally:
        stop.set()
        if thread:
            thread.join()
        for link in links:
            if os.path.lexists(link):
                os.unlink(link)
    return status


if __name__ == "__main__":
    sys.exit(main())
