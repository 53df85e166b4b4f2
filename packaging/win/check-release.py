#!/usr/bin/env python3
"""Checks the Windows release as a technician receives it, under wine in a wine
prefix of its own: the zip holds the three programs, the examples, a CR LF
README and a LICENSES.txt that names each library compiled in with its licence,
and nothing else; the programs import no DLL but Windows' own; the installer
installs silently, makes the working folders with their INI and the Start menu
entries that start in them; the
installed solvane.exe and castrel.exe each run a whole update against the
simulator; the uninstaller removes the programs and keeps the INI files.

usage: check-release.py --build-win BUILD-WIN --dist DIST --iapsim IAPSIM --examples DIR

Run it on an X display (xvfb-run): the prefix's wine processes, the installer's
included, all draw there.
"""

import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(HERE, "..", "..", "tests", "ui", "win32_update_e2e.py")
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def project_version(build_win):
    with open(os.path.join(build_win, "CMakeCache.txt")) as f:
        match = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", f.read(), re.M)
    return match.group(1)


def check_zip(path, name):
    with zipfile.ZipFile(path) as z:
        names = sorted(z.namelist())
        want = sorted(name + "/" + n for n in (
            "README.txt", "LICENSES.txt", "solvane.exe", "castrel.exe", "iapflash.exe",
            "examples/solvane/MpptConfigFile.ini", "examples/solvane/firmware.mppt",
            "examples/castrel/InvConfigFile.ini", "examples/castrel/firmware.S19"))
        check(names == want, "the zip holds the programs, the examples, the README and the licences only")
        for text in ("README.txt", "LICENSES.txt"):
            data = z.read(name + "/" + text) if name + "/" + text in names else b""
            check(b"\r\n" in data and data.count(b"\n") == data.count(b"\r\n"),
                  text + " has CR LF line ends")
        if name + "/LICENSES.txt" in names:
            check_licences(z.read(name + "/LICENSES.txt").decode("ascii").replace("\r\n", "\n"))
        for program in ("solvane.exe", "castrel.exe", "iapflash.exe"):
            if name + "/" + program in names:
                check_imports(program, z.read(name + "/" + program))


# Each library compiled into the programs, the licence LICENSES.txt must give it,
# and a line of that licence's text that must be there with it.
LIBRARIES = (
    ("CLI11", "BSD-3-Clause", "Neither the name of the University nor the names of its contributors"),
    ("libgcrypt", "LGPL-2.1-or-later", "GNU LESSER GENERAL PUBLIC LICENSE"),
    ("libgpg-error", "LGPL-2.1-or-later", "Version 2.1, February 1999"),
    ("libstdc++", "GPL-3.0-or-later with the GCC", "gcc-exception-3.1"),
    ("mingw-w64 C runtime", "ZPL-2.1", "Servicemarks (sm) or Trademarks (tm)"),
    ("winpthreads", "MIT (expat)", "Permission is hereby granted, free of charge"),
)


def check_licences(text):
    table = text.split("\n\n")[2] if text.count("\n\n") > 2 else ""
    for library, licence, line in LIBRARIES:
        row = [r for r in table.splitlines() if library in r]
        check(bool(row) and licence in row[0],
              "LICENSES.txt names %s with its licence %s" % (library, licence))
        check(line in " ".join(text.split()), "LICENSES.txt has the text of %s's licence" % library)
    check("@" not in text, "LICENSES.txt has every placeholder filled in")


# The DLLs that come with Windows. A program that imports any other would need it
# shipped beside it, and LICENSES.txt says every library is compiled in.
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll",
                "advapi32.dll", "shell32.dll", "ole32.dll", "msvcrt.dll", "setupapi.dll",
                "hid.dll", "ws2_32.dll", "bcrypt.dll", "uxtheme.dll"}


def check_imports(program, data):
    with tempfile.NamedTemporaryFile(suffix=".exe") as exe:
        exe.write(data)
        exe.flush()
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe.name],
                              capture_output=True, text=True).stdout
    dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)}
    foreign = sorted(d for d in dlls if d not in WINDOWS_DLLS and not d.startswith("api-ms-win-"))
    check(bool(dlls) and not foreign,
          "%s imports only Windows' own DLLs (not %s)" % (program, ", ".join(foreign) or "-"))


def main():
    parser = argparse.ArgumentParser()
    for option in ("--build-win", "--dist", "--iapsim", "--examples"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    version = project_version(args.build_win)
    name = "iap-updater-%s-win64" % version
    archive = os.path.join(args.dist, name + ".zip")
    setup = os.path.join(args.dist, name + "-setup.exe")
    check(os.path.isfile(archive), "dist holds " + os.path.basename(archive))
    check(os.path.isfile(setup), "dist holds " + os.path.basename(setup))
    if failures:
        return 1
    check_zip(archive, name)

    wine = subprocess.run(["sh", "-c", "command -v wine64 || command -v wine || echo /usr/lib/wine/wine64"],
                          capture_output=True, text=True).stdout.split()[0]
    home = tempfile.mkdtemp(prefix="iapwinrel.")
    env = dict(os.environ, HOME=home, WINEPREFIX=os.path.join(home, "prefix"), WINEDEBUG="-all")
    subprocess.run([wine, "wineboot", "--init"], env=env, check=False,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([wine, setup, "/S"], env=env, check=False)
    user = glob.glob(os.path.join(env["WINEPREFIX"], "drive_c", "users", "*", "AppData"))
    user = [u for u in user if "Public" not in u]
    check(len(user) == 1, "the wine prefix has one user")
    if failures:
        return 1
    appdata = user[0]
    installed = os.path.join(appdata, "Local", "Programs", "IAP Updater")
    for program in ("solvane.exe", "castrel.exe", "iapflash.exe", "Uninstall.exe", "LICENSES.txt"):
        check(os.path.isfile(os.path.join(installed, program)), "installed " + program)
    documents = glob.glob(os.path.join(os.path.dirname(appdata), "*", "IAP Updater"))
    work = documents[0] if documents else ""
    check(os.path.isfile(os.path.join(work, "Solvane", "MpptConfigFile.ini")) and
          os.path.isfile(os.path.join(work, "Castrel", "InvConfigFile.ini")),
          "the working folders hold their INI")
    menu = os.path.join(appdata, "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                        "IAP Firmware Updater")
    for variant in ("Solvane", "Castrel"):
        link = os.path.join(menu, variant + ".lnk")
        data = open(link, "rb").read() if os.path.isfile(link) else b""
        folder = "IAP Updater\\" + variant
        check(folder.encode("utf-16-le") in data or folder.encode() in data,
              "the Start menu entry %s starts in Documents\\%s" % (variant, folder))

    for variant in ("solvane", "castrel"):
        run = subprocess.run([sys.executable, E2E, "--wine", wine, "--drive",
                              os.path.join(args.build_win, "bin", "win32_drive.exe"),
                              "--program", os.path.join(installed, variant + ".exe"),
                              "--variant", variant, "--iapsim", args.iapsim,
                              "--examples", args.examples],
                             env=env, capture_output=True, text=True)
        if run.returncode != 0:
            print(run.stdout[-3000:], run.stderr[-2000:])
        check(run.returncode == 0, "the installed %s.exe runs a whole update" % variant)

    subprocess.run([wine, os.path.join(installed, "Uninstall.exe"), "/S"], env=env, check=False)
    for _ in range(100):  # the uninstaller runs on from a copy of itself
        if not os.path.exists(os.path.join(installed, "solvane.exe")):
            break
        time.sleep(0.2)
    time.sleep(1)
    check(not os.path.exists(installed), "the uninstaller removed the programs")
    check(not os.path.exists(menu), "the uninstaller removed the Start menu entries")
    check(os.path.isfile(os.path.join(work, "Solvane", "MpptConfigFile.ini")),
          "the uninstaller kept the technician's INI files")
    subprocess.run([os.path.join(os.path.dirname(wine), "wineserver") if "/" in wine else "wineserver",
                    "-k"], env=env, check=False, stderr=subprocess.DEVNULL)
    subprocess.run(["rm", "-rf", home], check=False)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
