#!/bin/bash
# Builds the .deb with CPack into a scratch directory and looks inside: its name and
# version, Depends (the shared libraries' packages and fonts-liberation), that it
# holds what the install rules install, stripped and hardened, the udev reload
# after install, and lintian's verdict (--pedantic: no errors, no warnings). Then
# installs it with apt in a fresh Debian 12 root (debootstrap; root only) that
# leaves /usr/share/doc out, as minimal systems do, and starts each window there
# as its menu entry does, for a user whose home has a space in its path.
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

# Hardened as Debian's own programs: position-independent, relocations read-only
# and bound at start (BIND_NOW), the stack protector, and the C library's checked
# functions (__*_chk) in place of the plain ones.
for program in solvane castrel iapflash iapsim; do
  elf=$scratch/x/usr/bin/$program
  readelf -h "$elf" | grep -q 'Type: *DYN' || fail "$program is not position-independent"
  dynamic=$(readelf -d "$elf")
  grep -q 'FLAGS_1.*PIE' <<<"$dynamic" || fail "$program is not marked PIE"
  grep -Eq 'BIND_NOW|FLAGS.* NOW' <<<"$dynamic" || fail "$program is not linked with -z now"
  readelf -lW "$elf" | grep -q GNU_RELRO || fail "$program has no read-only relocations (-z relro)"
  symbols=$(readelf --dyn-syms -W "$elf")
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "$program has no stack protector"
  grep -oE '__[a-z0-9_]+_chk\b' <<<"$symbols" | grep -vqx __stack_chk_fail ||
    fail "$program calls none of the C library's checked functions (_FORTIFY_SOURCE)"
done

# The licences of what the programs have compiled in, and of what they link.
copyright=$scratch/x/usr/share/doc/iap-updater/copyright
for library in CLI11 BSD-3-clause "Qt 6" LGPL-3 hidapi libgcrypt libgpg-error LGPL-2.1; do
  grep -qF "$library" "$copyright" || fail "debian/copyright does not name $library"
done

lintian --pedantic --tag-display-limit 0 "$deb" 2>/dev/null | tee "$scratch/lintian.log"
grep -q '^[EW]: ' "$scratch/lintian.log" && fail "lintian reports errors or warnings"

# --- The package installed in a fresh Debian 12 and started from its menu -------
if [ "$(id -u)" != 0 ] || ! command -v debootstrap >/dev/null; then
  fail "the fresh Debian root needs root and debootstrap (make deps installs it)"
  finish package
fi
root=$scratch/root
# The bind mounts go before the scratch directory does, whatever ends the test;
# the removal never crosses into a file system that is still mounted.
cleanup() {
  kill $(jobs -p) 2>/dev/null
  for m in dev sys proc; do
    mountpoint -q "$root/$m" && { umount "$root/$m" || umount -l "$root/$m"; }
  done
  rm -rf --one-file-system "$scratch"
}
trap cleanup EXIT

# The mirror this machine's apt uses (deb.debian.org where none is named).
uris=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
  grep -oE '^(deb|URIs:)[[:space:]]+(\[[^]]*\][[:space:]]+)?[a-z]+://[^[:space:]]+' | awk '{print $NF}')
mirror=$(grep -E '/debian/?$' <<<"$uris" | head -1)
security=$(grep -E '/debian-security/?$' <<<"$uris" | head -1)
mirror=${mirror:-http://deb.debian.org/debian}
echo "debootstrap bookworm from $mirror"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$scratch/debootstrap.log" 2>&1 ||
  { tail -20 "$scratch/debootstrap.log"; fail "debootstrap failed"; finish package; }
{
  echo "deb $mirror bookworm main"
  echo "deb $mirror bookworm-updates main"
  [ -n "$security" ] && echo "deb $security bookworm-security main"
} >"$root/etc/apt/sources.list"
# As a slim system or a container image: no /usr/share/doc beyond the copyright files.
cat >"$root/etc/dpkg/dpkg.cfg.d/excludes" <<'EOF'
path-exclude=/usr/share/doc/*
path-include=/usr/share/doc/*/copyright
EOF
for m in dev sys proc; do mount --bind "/$m" "$root/$m"; done
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
in_root apt-get update -q >"$scratch/apt.log" 2>&1 &&
  in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" xvfb xauth x11-utils \
    >>"$scratch/apt.log" 2>&1 ||
  { tail -30 "$scratch/apt.log"; fail "apt could not install the package in the fresh root"; finish package; }
[ -e "$root/usr/share/doc/iap-updater/README.md" ] &&
  fail "the fresh root keeps /usr/share/doc: the excluded-doc case is not tested"

home="/home/tech nician"
in_root useradd --create-home --home-dir "$home" --shell /bin/sh technician
uid=$(in_root id -u technician)
# as_user CMD...: CMD run as the technician in the fresh root, in his home.
as_user() {
  chroot --userspec=technician:technician "$root" env -i PATH=/usr/bin:/bin HOME="$home" \
    USER=technician XDG_RUNTIME_DIR="$home/.run" "$@"
}
as_user mkdir -m 700 "$home/.run"
wait_window='for _ in $(seq 1 150); do
    line=$(xwininfo -root -tree | grep -F "$1")
    [ -n "$line" ] && break
    sleep 0.2
  done
  sleep 1
  xwininfo -root -tree | grep -F "(\"$2\" "'

for variant in solvane castrel; do
  case $variant in
    solvane) folder=Solvane ini=MpptConfigFile.ini caption='"Solvane(Rev00.01)"' ;;
    castrel) folder=Castrel ini=InvConfigFile.ini caption='"Castrel(Rev00.02)"' ;;
  esac
  entry=$root/usr/share/applications/$variant.desktop
  exec_line=$(sed -n 's/^Exec=//p' "$entry")
  [ -n "$exec_line" ] || { fail "$variant.desktop has no Exec line"; continue; }
  work=$root$home/IAP\ Updater/$folder

  # The first start: the folder made, the example INI and README.txt in it, and a
  # window that keeps running (timeout's 124).
  as_user sh -c "cd && QT_QPA_PLATFORM=offscreen timeout 5 $exec_line" >"$scratch/$variant-first.log" 2>&1
  rc=$?
  [ $rc -eq 124 ] || { cat "$scratch/$variant-first.log"; fail "$variant from its menu entry ended with $rc"; }
  cmp -s "$work/$ini" "$root/usr/share/iap-updater/examples/$variant/$ini" ||
    fail "the first start did not put the example $ini into ~/IAP Updater/$folder"
  grep -q "$ini" "$work/README.txt" 2>/dev/null ||
    fail "~/IAP Updater/$folder/README.txt does not say how to replace $ini"
  [ "$(stat -c %u "$work/$ini" 2>/dev/null)" = "$uid" ] || fail "$ini does not belong to the user"

  # The technician's own INI (the example with a line of his) is kept on the next
  # start, which the window reads: its main window comes up, not the box of a
  # missing or faulty file (captioned with the program's name).
  echo "; the vendor's file for site 7" >>"$work/$ini"
  cp "$work/$ini" "$scratch/$variant-own.ini"
  windows=$(as_user xvfb-run -a sh -c "$exec_line & $wait_window" sh "$caption" "$variant" 2>&1)
  echo "$variant from the menu: $windows"
  grep -qF "$caption" <<<"$windows" ||
    fail "$variant started from its menu entry shows no main window $caption: no configuration found"
  grep -qF "\"$variant\": (\"$variant\"" <<<"$windows" &&
    fail "$variant started from its menu entry shows a message box"
  cmp -s "$work/$ini" "$scratch/$variant-own.ini" || fail "the second start wrote over the user's $ini"
done
finish package
