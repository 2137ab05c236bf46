#!/usr/bin/env bash
# Installs every package the project needs (Debian 12) and builds it in build/.
# Quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config python3 ccache libspeexdsp-dev
  nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  libpulse-dev pulseaudio pulseaudio-utils ffmpeg
  libdbus-1-dev rtkit
  pipewire pipewire-pulse wireplumber
  clang libclang-rt-14-dev
  python3-jsonschema dpkg-dev lintian file
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

[ "${1:-}" = "--packages-only" ] && exit 0

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
