#!/bin/bash
# Installs the build into a staging directory (DESTDIR) as a /usr install, looks at
# what the menu entries, the man pages, the udev rule and the doc directory hold,
# and runs what was installed from there: iapflash --version, the menu's launcher
# and the windows under the offscreen platform and, under Xvfb, their real
# windows' captions: the main window of castrel started by the launcher and the
# message box of a copy of solvane renamed solvane-v2.
#   install_test.sh BUILD_DIR VERSION
source "$(dirname "$0")/checks.sh"

DESTDIR=$scratch/root cmake --install "$build" --prefix /usr >"$scratch/install.log" ||
  { cat "$scratch/install.log"; exit 1; }
root=$scratch/root/usr

for f in bin/solvane bin/castrel bin/iapflash bin/iapsim; do
  [ -x "$root/$f" ] || fail "$f not installed"
done
for v in solvane castrel; do
  desktop=$root/share/applications/$v.desktop
  desktop-file-validate "$desktop" || fail "$v.desktop does not validate"
  grep -qx "Exec=/usr/libexec/iap-updater/start-window $v" "$desktop" ||
    fail "$v.desktop does not start $v through its launcher"
  grep -qx "Icon=$v" "$desktop" || fail "$v.desktop names another icon"
  for size in 16 48 256; do
    png=$root/share/icons/hicolor/${size}x${size}/apps/$v.png
    file "$png" | grep -q "PNG image data, $size x $size" || fail "$png is not $size px"
  done
  grep -q "<svg" "$root/share/icons/hicolor/scalable/apps/$v.svg" || fail "no $v.svg"
done
# Every page carries one version, the project's: its header names it with no
# date beside it, and no other version stands anywhere in it.
for page in "$(dirname "$0")"/../../man/*.1; do
  name=$(basename "$page")
  text=$(zcat "$root/share/man/man1/$name.gz") || { fail "man page $name not installed"; continue; }
  grep -q '^\.so ' <<<"$text" && continue
  grep -qx "\.TH [A-Z]* 1 \"\" \"iap-updater $version\" \"User Commands\"" <<<"$text" ||
    fail "man page $name: its header is not '.TH ... \"\" \"iap-updater $version\"': $(head -1 <<<"$text")"
  others=$(grep -oE '\b[0-9]+\.[0-9]+\.[0-9]+\b' <<<"$text" | grep -vxF "$version" | sort -u)
  [ -z "$others" ] || fail "man page $name carries another version: $others"
done
# The packaged rule hands the device to the user at the seat, and to nobody else.
rule=$root/lib/udev/rules.d/70-iap-updater-hidraw.rules
[ -f "$rule" ] || fail "no udev rule"
while read -r line; do
  [[ $line == *'TAG+="uaccess"'* && $line != *MODE* && $line != *GROUP* && $line != *OWNER* ]] ||
    fail "udev rule line gives access beyond the seat's user: $line"
done < <(grep -v '^#' "$rule" | grep .)
doc=$root/share/doc/iap-updater
for f in README.md solvane.png castrel.png copyright changelog.gz examples/solvane/MpptConfigFile.ini \
  examples/solvane/firmware.mppt examples/castrel/InvConfigFile.ini examples/castrel/firmware.S19; do
  [ -f "$doc/$f" ] || fail "$f not in the doc directory"
done
# The README there is the technician's: the windows, the ports, USB access and the
# failures, with the pictures it shows beside it, each a PNG of a few tens of KB.
for heading in "## The windows" "## The configuration file" "## Serial ports" "## USB access" \
  "## When an update fails"; do
  grep -qx "$heading" "$doc/README.md" || fail "the installed README has no section '$heading'"
done
grep -q "/etc/udev/rules.d/" "$doc/README.md" && grep -q -- "--udev-rule" "$doc/README.md" ||
  fail "the installed README does not say where a site's udev rule goes"
grep -q "^## Building" "$doc/README.md" && fail "the installed README is the developer's"
for png in $(grep -oE '\]\([^)]+\.png\)' "$doc/README.md" | tr -d '])('); do
  file "$doc/$png" | grep -q "PNG image data" || fail "the README shows $png, which is not installed"
  [ "$(stat -c %s "$doc/$png")" -lt 100000 ] || fail "$png is larger than 100 KB"
done
for v in solvane castrel; do
  grep -qF "]($v.png)" "$doc/README.md" || fail "the README shows no picture of $v"
done

out=$("$root/bin/iapflash" --version 2>&1 | head -1)
[[ $out == *"$version"* ]] || fail "iapflash --version says '$out', not $version"

# The menu's launcher: the first start makes the working folder in a home with a
# space in its path, with the example INI and a README.txt, and starts a window
# that keeps running until it is closed (still there after a few seconds,
# timeout's 124, not ended by a missing library or plug-in).
launcher=$root/libexec/iap-updater/start-window
[ -x "$launcher" ] || fail "no launcher libexec/iap-updater/start-window"
home="$scratch/home of tech"
mkdir -p "$home" "$scratch/empty"
work="$home/IAP Updater/Castrel"
(cd "$scratch/empty" && HOME=$home QT_QPA_PLATFORM=offscreen timeout 5 "$launcher" castrel \
  >"$scratch/offscreen.log" 2>&1)
rc=$?
[ $rc -eq 124 ] || { cat "$scratch/offscreen.log"; fail "castrel from its launcher ended with $rc under offscreen"; }
cmp -s "$work/InvConfigFile.ini" "$root/share/iap-updater/examples/castrel/InvConfigFile.ini" ||
  fail "the launcher did not put the example InvConfigFile.ini into $work"
grep -qF "InvConfigFile.ini" "$work/README.txt" && grep -qF "$doc/README.md" "$work/README.txt" ||
  fail "$work/README.txt does not name the INI and the installed README"
[ -e "$scratch/empty/InvConfigFile.ini" ] && fail "the launcher wrote into the folder it was started from"
# The technician's INI and README.txt stay as they are.
echo "; the vendor's file" >>"$work/InvConfigFile.ini"
echo "site notes" >"$work/README.txt"
cp "$work/InvConfigFile.ini" "$scratch/own.ini"
HOME=$home QT_QPA_PLATFORM=offscreen timeout 3 "$launcher" castrel >/dev/null 2>&1
cmp -s "$work/InvConfigFile.ini" "$scratch/own.ini" || fail "the launcher wrote over the user's INI"
[ "$(cat "$work/README.txt")" = "site notes" ] || fail "the launcher wrote over the user's README.txt"
# A home where the folder cannot be made: the window starts all the same (and
# says why its configuration is missing), and stderr names the folder.
touch "$scratch/plain-file"
(cd "$scratch/empty" && HOME=$scratch/plain-file QT_QPA_PLATFORM=offscreen timeout 3 "$launcher" solvane \
  >"$scratch/nohome.log" 2>&1)
rc=$?
[ $rc -eq 124 ] || fail "solvane did not start when its working folder could not be made ($rc)"
grep -qF "the working folder $scratch/plain-file/IAP Updater/Solvane could not be made" "$scratch/nohome.log" ||
  { cat "$scratch/nohome.log"; fail "the launcher does not name the folder it could not make"; }
out=$("$launcher" inverter 2>&1)
rc=$?
[ $rc -eq 2 ] && [[ $out == *"solvane or castrel, not 'inverter'"* ]] ||
  fail "the launcher took an unknown window name ($rc: $out)"

# The captions as an X server shows them. The first window with the caption and a
# class (Qt's own helper windows have none) is the one looked for.
cp "$root/bin/solvane" "$scratch/solvane-v2"
cat >"$scratch/windows.sh" <<'SH'
wait_for() {  # wait_for "CAPTION": ("CLASS" -- prints the window's line
  for _ in $(seq 1 150); do
    line=$(xwininfo -root -tree | grep -F "$1")
    [ -n "$line" ] && { echo "$line"; return; }
    sleep 0.2
  done
  echo "no window $1"
}
HOME=$1/home\ of\ tech "$2/libexec/iap-updater/start-window" castrel & castrel=$!
wait_for '"Castrel(Rev00.02)": ("castrel"'
(cd "$1/empty" && exec "$1/solvane-v2") & renamed=$!
wait_for '"solvane-v2": ("solvane-v2"'
kill $castrel $renamed
SH
windows=$(xvfb-run -a bash "$scratch/windows.sh" "$scratch" "$root" 2>/dev/null)
echo "$windows"
grep -q '"Castrel(Rev00.02)".* 575x566+' <<<"$windows" ||
  fail "installed castrel's main window is not 575 x 566 with its caption"
grep -q '"solvane-v2": ("solvane-v2"' <<<"$windows" ||
  fail "the renamed copy's message box is not captioned solvane-v2"

finish install
