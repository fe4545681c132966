#!/usr/bin/env bash
# Installs what building and testing Tarnel needs on Debian 12.
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-private-dev qt6-serialport-dev libgl-dev
  libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  fonts-dejavu-core fonts-dejavu-extra
  xvfb
  picocom tio
  locales
  dpkg-dev lintian desktop-file-utils appstream file
  systemd
)

# A locale with a decimal comma, for the tests that check the number rules
# ignore it.
ensure_test_locale() {
  locale -a 2>/dev/null | grep -qi '^de_DE.utf8$' && return 0
  $sudo sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  $sudo locale-gen >/dev/null
}

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
ensure_test_locale
