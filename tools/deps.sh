#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the screenshots need,
# only when one of them is missing, so a second run costs nothing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev libxcb1-dev
  libmodbus-dev mbpoll ser2net libssl-dev libudev-dev
  openssh-client
  fonts-dejavu-core fonts-dejavu-extra
  xvfb xauth x11-utils imagemagick xdotool
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "tools/deps.sh: missing Debian packages: ${missing[*]}" >&2
    echo "tools/deps.sh: installing them needs root: run \`bash tools/deps.sh\` as root once, or install sudo" >&2
    exit 1
  fi
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
