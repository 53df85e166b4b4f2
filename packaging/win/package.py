#!/usr/bin/env python3
"""Writes the Windows release: dist/iap-updater-VERSION-win64.zip and, with
makensis, dist/iap-updater-VERSION-win64-setup.exe.

usage: package.py --version V --bin BUILD-WIN/bin --examples EXAMPLES --out DIST
                  --stage STAGE-DIR [--makensis MAKENSIS] [--strip STRIP] [--lgpl LGPL-2.1]

Beside the programs and the examples: README.txt and LICENSES.txt, the
libraries compiled into the programs with their licences.
"""

import argparse
import os
import shutil
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAMS = ("solvane.exe", "castrel.exe", "iapflash.exe")
EXAMPLES = {"solvane": ("MpptConfigFile.ini", "firmware.mppt"),
            "castrel": ("InvConfigFile.ini", "firmware.S19")}


def stage(args, root):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    for program in PROGRAMS:
        shutil.copy2(os.path.join(args.bin, program), root)
        if args.strip:
            subprocess.run([args.strip, os.path.join(root, program)], check=True)
    for variant, files in EXAMPLES.items():
        os.makedirs(os.path.join(root, "examples", variant))
        for name in files:
            shutil.copy2(os.path.join(args.examples, variant, name),
                         os.path.join(root, "examples", variant))
    # Notepad and every Windows editor read CR LF.
    with open(args.lgpl) as f:
        lgpl = f.read().rstrip("\n")
    for name in ("README.txt", "LICENSES.txt"):
        with open(os.path.join(HERE, name)) as f:
            text = f.read().replace("@VERSION@", args.version).replace("@LGPL_2_1_TEXT@", lgpl)
        with open(os.path.join(root, name), "wb") as f:
            f.write(text.replace("\n", "\r\n").encode("ascii"))


def main():
    parser = argparse.ArgumentParser()
    for option in ("--version", "--bin", "--examples", "--out", "--stage"):
        parser.add_argument(option, required=True)
    parser.add_argument("--makensis")
    # The whole text of the licence of the libraries linked into iapflash.exe, as
    # every Debian system has it (base-files).
    parser.add_argument("--lgpl", default="/usr/share/common-licenses/LGPL-2.1")
    parser.add_argument("--strip", help="strips the staged programs (iapflash keeps its symbols in the build)")
    args = parser.parse_args()

    name = "iap-updater-%s-win64" % args.version
    root = os.path.join(args.stage, name)
    stage(args, root)
    os.makedirs(args.out, exist_ok=True)
    archive = os.path.join(args.out, name + ".zip")
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        for folder, _, files in sorted(os.walk(root)):
            for f in sorted(files):
                path = os.path.join(folder, f)
                z.write(path, os.path.join(name, os.path.relpath(path, root)))
    print("wrote", archive)

    if args.makensis:
        setup = os.path.join(args.out, name + "-setup.exe")
        subprocess.run([args.makensis, "-V2", "-DVERSION=" + args.version, "-DSTAGE=" + root,
                        "-DOUTFILE=" + os.path.abspath(setup), os.path.join(HERE, "installer.nsi")],
                       check=True)
        print("wrote", setup)
    return 0


if __name__ == "__main__":
    sys.exit(main())
