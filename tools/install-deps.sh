#!/usr/bin/env bash
# Installs what building and testing Tarnel needs on Debian 12.
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail
. "$(dirname "$0")/apt-get.sh"

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-private-dev qt6-serialport-dev libgl-dev
  libgtest-dev libbenchmark-dev
  libmosquitto-dev libssl-dev mosquitto mosquitto-clients openssl
  clang libclang-rt-14-dev
  fonts-dejavu-core fonts-dejavu-extra
  xvfb
  picocom tio logrotate python3
  locales
  dpkg-dev lintian desktop-file-utils appstream file
  qemu-system-x86 busybox-static
  systemd
)

# A locale with a decimal comma, for the tests that check the number rules
# ignore it; en_US.UTF-8, in which Wine reaches file names in any script; and
# el_GR.UTF-8, whose time formats a Western code page cannot hold.
ensure_test_locales() {
  local missing=0 name
  for name in de_DE en_US el_GR; do
    locale -a 2>/dev/null | grep -qi "^$name.utf8$" && continue
    $sudo sed -i "s/^# *$name.UTF-8 UTF-8/$name.UTF-8 UTF-8/" /etc/locale.gen
    grep -q "^$name.UTF-8 UTF-8" /etc/locale.gen || echo "$name.UTF-8 UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    missing=1
  done
  [ "$missing" -eq 0 ] || $sudo locale-gen >/dev/null
}

# Debian's own kernel for the emulated machine of the drivers test, unpacked
# into a cache folder: installing the package would also build an initrd the
# test does not use, which takes minutes.
kernel_dir="${TARNEL_KERNEL_DIR:-$HOME/.cache/tarnel-kernel}"
ensure_test_kernel() {
  compgen -G "$kernel_dir/boot/vmlinuz-*" >/dev/null && return 0
  local package work
  package="$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)"
  if [ -z "$package" ]; then
    apt_get update -qq
    package="$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)"
  fi
  [ -n "$package" ] || { echo "install-deps: no linux-image package found" >&2; return 1; }
  work="$(mktemp -d)"
  (cd "$work" && apt-get download -qq -o APT::Sandbox::User=root "$package")
  # Unpacked beside it and moved in whole: an interrupted run leaves no half kernel.
  rm -rf "$kernel_dir.part"
  mkdir -p "$kernel_dir.part"
  dpkg-deb -x "$work"/*.deb "$kernel_dir.part"
  rm -rf "$work" "$kernel_dir"
  mv "$kernel_dir.part" "$kernel_dir"
}

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${missing[@]}"
fi
ensure_test_locales
ensure_test_kernel
