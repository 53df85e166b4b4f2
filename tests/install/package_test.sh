#!/bin/bash
# Builds the .deb with CPack into a scratch directory and looks inside: its name
# and version, Depends (the shared libraries' packages and fonts-liberation), the
# files a technician's desktop needs, the udev reload after install, and lintian's
# verdict (no errors).
#   package_test.sh BUILD_DIR VERSION
source "$(dirname "$0")/checks.sh"
out=$scratch

(cd "$build" && cpack -G DEB -B "$out") >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
deb=$out/iap-updater_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$out"; fail "no $(basename "$deb")"; exit 1; }

[ "$(dpkg-deb -f "$deb" Package)" = iap-updater ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
for dep in fonts-liberation libqt6widgets6 libqt6gui6 libqt6core6 libhidapi-hidraw0 libc6 libstdc++6; do
  grep -qxF "$dep" <<<"$names" || fail "Depends lacks $dep"
done

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/solvane ./usr/bin/castrel ./usr/bin/iapflash ./usr/bin/iapsim \
  ./usr/share/applications/solvane.desktop ./usr/share/applications/castrel.desktop \
  ./usr/share/icons/hicolor/48x48/apps/solvane.png ./usr/share/icons/hicolor/scalable/apps/castrel.svg \
  ./usr/share/man/man1/solvane.1.gz ./usr/share/man/man1/castrel.1.gz \
  ./usr/lib/udev/rules.d/70-iap-updater-hidraw.rules ./usr/share/doc/iap-updater/copyright \
  ./usr/share/doc/iap-updater/examples/castrel/InvConfigFile.ini; do
  grep -qxF "$f" <<<"$contents" || fail "$f not in the package"
done
# Every man page of the tree is in it.
for page in "$(dirname "$0")"/../../man/*.1; do
  grep -qxF "./usr/share/man/man1/$(basename "$page").gz" <<<"$contents" || fail "no $(basename "$page")"
done
mkdir "$out/x" && dpkg-deb -x "$deb" "$out/x"
file "$out/x/usr/bin/solvane" | grep -q "stripped" && ! file "$out/x/usr/bin/solvane" | grep -q "not stripped" ||
  fail "programs are not stripped"

mkdir "$out/control" && dpkg-deb -e "$deb" "$out/control"
grep -q "udevadm control --reload-rules" "$out/control/postinst" || fail "postinst does not reload udev"
[ -x "$out/control/postinst" ] || fail "postinst is not executable"

if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" 2>/dev/null | tee "$out/lintian.log"
  grep -q '^E: ' "$out/lintian.log" && fail "lintian reports errors"
else
  echo "lintian is not installed (make deps installs it): not run"
fi

finish package
