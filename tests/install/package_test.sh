#!/bin/bash
# Builds the .deb with CPack into a scratch directory and looks inside: its name and
# version, Depends (the shared libraries' packages and fonts-liberation), that it
# holds what the install rules install, stripped, the udev reload after install,
# and lintian's verdict (no errors).
#   package_test.sh BUILD_DIR VERSION
source "$(dirname "$0")/checks.sh"

(cd "$build" && cpack -G DEB -B "$scratch") >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; exit 1; }
deb=$scratch/iap-updater_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$scratch"; fail "no $(basename "$deb")"; exit 1; }

[ "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version)" = "iap-updater $version" ] ||
  fail "package name or version"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
for dep in fonts-liberation libqt6widgets6 libhidapi-hidraw0 libc6 libstdc++6; do
  grep -qxF "$dep" <<<"$names" || fail "Depends lacks $dep"
done

# The same files as the install rules put under /usr.
DESTDIR=$scratch/inst cmake --install "$build" --prefix /usr >/dev/null
(cd "$scratch/inst" && find . ! -type d | sort) >"$scratch/installed.txt"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort | diff "$scratch/installed.txt" - ||
  fail "the package and the install rules hold different files"
dpkg-deb -x "$deb" "$scratch/x"
file "$scratch/x/usr/bin/solvane" | grep -q ", stripped" || fail "programs are not stripped"
dpkg-deb -e "$deb" "$scratch/control"
[ -x "$scratch/control/postinst" ] && grep -q "udevadm control --reload-rules" "$scratch/control/postinst" ||
  fail "postinst does not reload udev"

lintian --tag-display-limit 0 "$deb" 2>/dev/null | tee "$scratch/lintian.log"
grep -q '^E: ' "$scratch/lintian.log" && fail "lintian reports errors"
finish package
