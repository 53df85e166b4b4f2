#!/bin/bash
# Installs the build into a staging directory (DESTDIR) as a /usr install and runs
# what was installed from there: iapflash --version, the windows under the
# offscreen platform and, under Xvfb, their real windows' captions: the main
# window of castrel and the message box of a copy of solvane renamed solvane-v2.
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
  grep -qx "Exec=$v" "$desktop" || fail "$v.desktop does not start $v"
  grep -qx "Icon=$v" "$desktop" || fail "$v.desktop names another icon"
  for size in 16 48 256; do
    png=$root/share/icons/hicolor/${size}x${size}/apps/$v.png
    file "$png" | grep -q "PNG image data, $size x $size" || fail "$png is not $size px"
  done
  grep -q "<svg" "$root/share/icons/hicolor/scalable/apps/$v.svg" || fail "no $v.svg"
done
for page in "$(dirname "$0")"/../../man/*.1; do
  zcat "$root/share/man/man1/$(basename "$page").gz" | grep -q '^\.\(TH\|so\) ' ||
    fail "man page $(basename "$page") not installed"
done
[ -f "$root/lib/udev/rules.d/70-iap-updater-hidraw.rules" ] || fail "no udev rule"
doc=$root/share/doc/iap-updater
for f in README.md copyright changelog.gz examples/solvane/MpptConfigFile.ini \
  examples/solvane/firmware.mppt examples/castrel/InvConfigFile.ini examples/castrel/firmware.S19; do
  [ -f "$doc/$f" ] || fail "$f not in the doc directory"
done

out=$("$root/bin/iapflash" --version 2>&1 | head -1)
[[ $out == *"$version"* ]] || fail "iapflash --version says '$out', not $version"

# A window that starts keeps running until it is closed: still there after a few
# seconds (timeout's 124), not ended by a missing library or plug-in.
mkdir -p "$scratch/castrel" "$scratch/empty"
cp "$doc/examples/castrel/InvConfigFile.ini" "$scratch/castrel/"
(cd "$scratch/castrel" && QT_QPA_PLATFORM=offscreen timeout 5 "$root/bin/castrel" >"$scratch/offscreen.log" 2>&1)
rc=$?
[ $rc -eq 124 ] || { cat "$scratch/offscreen.log"; fail "installed castrel ended with $rc under offscreen"; }

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
(cd "$1/castrel" && exec "$2/bin/castrel") & castrel=$!
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
