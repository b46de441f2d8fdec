#!/usr/bin/env bash
# Installs what Midwire needs to build, run and test on Debian 12, then
# builds it. Idempotent: packages already present are not installed again.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgmime-3.0-dev libglib2.0-dev
  libgtest-dev googletest
  python3 curl socat iproute2 util-linux procps netbase strace groff-base
  poppler-utils xvfb xauth imagemagick desktop-file-utils shared-mime-info
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The build tree: BUILD_DIR (default build); the script's arguments are extra
# CMake options (bash scripts/setup.sh -DMIDWIRE_SANITIZE=ON).
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
