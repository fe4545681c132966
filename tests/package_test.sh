#!/usr/bin/env bash
# Builds the Debian package and checks it as Debian would: its file list,
# its dependencies, and the desktop entry, AppStream and lintian validators.
set -euo pipefail
build_dir="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd "$build_dir" && cpack -G DEB -B "$work" >/dev/null)
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")"
deb="$work/tarnel_${version}_amd64.deb"
test -f "$deb" || { echo "no $deb"; ls "$work"; exit 1; }

fail() { echo "FAILED: $*"; exit 1; }

expected_files="./usr/bin/tarnel
./usr/bin/tarnel-sim
./usr/lib/systemd/system/tarnel@.service
./usr/lib/sysusers.d/tarnel.conf
./usr/share/applications/org.tarnel.tarnel.desktop
./usr/share/doc/tarnel/changelog.gz
./usr/share/doc/tarnel/copyright
./usr/share/icons/hicolor/16x16/apps/tarnel.png
./usr/share/icons/hicolor/32x32/apps/tarnel.png
./usr/share/icons/hicolor/48x48/apps/tarnel.png
./usr/share/icons/hicolor/64x64/apps/tarnel.png
./usr/share/man/man1/tarnel-sim.1.gz
./usr/share/man/man1/tarnel.1.gz
./usr/share/metainfo/org.tarnel.tarnel.metainfo.xml"
files="$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)"
[ "$files" = "$expected_files" ] || fail "file list differs:
$(diff <(echo "$expected_files") <(echo "$files"))"

depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libmosquitto1 qt6-qpa-plugins; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done

dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/org.tarnel.tarnel.desktop" ||
  fail "desktop-file-validate"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/org.tarnel.tarnel.metainfo.xml" ||
  fail "appstreamcli validate"
for icon in "$work"/root/usr/share/icons/hicolor/*/apps/tarnel.png; do
  size="$(basename "$(dirname "$(dirname "$icon")")")"
  [ "$(file -b "$icon" | grep -o '[0-9]* x [0-9]*' | tr -d ' ')" = "$size" ] ||
    fail "$icon is not $size: $(file -b "$icon")"
done

# The service unit as systemd reads it, for one instance, in a root holding
# the package, systemd's own units and the kill its reload runs (systemd
# need not be running): no errors and no warnings (the file's problems are
# only warnings).
mkdir -p "$work/root/usr/lib/systemd/system" "$work/root/bin"
cp -r /usr/lib/systemd/system/. "$work/root/usr/lib/systemd/system/"
cp /bin/kill "$work/root/bin/kill"
unit='tarnel@var-lib-tarnel-port3.service'
verify="$(systemd-analyze verify --man=no --root="$work/root" "$unit" 2>&1)" ||
  fail "systemd-analyze verify $unit: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify $unit: $verify"
# Its sandbox, open to the network for publishing: an exposure of 2.5 at
# most; --threshold counts tenths.
security="$(systemd-analyze security --offline=true --threshold=25 --root="$work/root" "$unit")" ||
  fail "$unit is too exposed: $security"
echo "${security##*$'\n'}"
# Its user, as the package's postinst makes it in the root dpkg installs
# into: in the dialout group.
mkdir -p "$work/root/etc"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst >"$work/postinst"
DPKG_ROOT="$work/root" sh "$work/postinst" configure >/dev/null 2>&1 || fail "postinst"
grep -q '^tarnel:.*:/usr/sbin/nologin$' "$work/root/etc/passwd" || fail "no user tarnel"
grep -q '^dialout:x:[0-9]*:\(.*,\)\?tarnel\(,.*\)\?$' "$work/root/etc/group" ||
  fail "tarnel is not in dialout"
# Running instances are restarted after an upgrade and stopped at removal,
# and systemd forgets the unit once it is gone.
grep -q "deb-systemd-invoke try-restart 'tarnel@\*.service'" "$work/postinst" ||
  fail "postinst does not restart the running instances"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./prerm | grep -q "deb-systemd-invoke stop 'tarnel@\*.service'" ||
  fail "prerm does not stop the running instances"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postrm | grep -q "systemctl --system daemon-reload" ||
  fail "postrm does not reload systemd"

# No errors and no warnings (lintian, run as root in CI, says so on stderr).
lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>/dev/null || fail "lintian"
echo "$(basename "$deb"): files, Depends, desktop entry, AppStream, service unit, its user and lintian all pass"
