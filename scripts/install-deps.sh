#!/usr/bin/env bash
# Installs every Debian package the build, the program and the tests need.
# Idempotent: packages already present are left alone. Run as root (or with sudo).
set -euo pipefail

PKGS=(
  build-essential cmake pkg-config ninja-build
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libzip-dev libexpat1-dev libgsf-1-dev libxlsxwriter-dev libdeflate-dev libisal-dev zlib1g-dev
  libgtest-dev
  fonts-noto-cjk qt6-translations-l10n
  libreoffice-calc python3-uno
  xvfb xauth x11-utils imagemagick xdg-utils
  python3 python3-openpyxl python3-xlrd python3-xlwt
  clang libclang-rt-14-dev
  time linux-perf ccache
  libsqlite3-dev liblz4-dev nettle-dev
  xdotool wmctrl
  e2fsprogs dosfstools sqlite3
  python3-msoffcrypto-tool
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
