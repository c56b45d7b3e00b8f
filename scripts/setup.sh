#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests, the benchmarks and
# the fuzzers need. Idempotent; runs as root without sudo, or with sudo when
# started by another user.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl-dev libxkbcommon-dev
  libpng-dev zlib1g-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libturbojpeg0-dev libopenjp2-7-dev
  clang libclang-rt-14-dev
  desktop-file-utils shared-mime-info xdg-utils
  libqt6svg6 librsvg2-bin libglib2.0-bin
  fonts-dejavu-core
  xclip
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "setup: installed ${missing[*]}"
