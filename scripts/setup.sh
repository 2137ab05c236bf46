#!/usr/bin/env bash
# Installs the packages the project needs (Debian 12), only those missing,
# and builds it in build/. Quick when everything is already there.
#
#   setup.sh                  everything: the program, its tests, benchmarks
#                             and package checks
#   setup.sh --program        only what the program and the demo need (a
#                             sound server and its tools), and only the program
#   setup.sh --packages-only  every package, no build
set -euo pipefail
cd "$(dirname "$0")/.."

# What builds the program, and what the demo runs it on.
program_packages=(
  build-essential cmake ninja-build pkg-config libspeexdsp-dev nlohmann-json3-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev libpulse-dev libdbus-1-dev
  pulseaudio pulseaudio-utils ffmpeg espeak-ng
)
# What only the tests, the sanitizer and fuzz builds and the package check need.
test_packages=(
  python3 python3-jsonschema ccache libgtest-dev libgmock-dev libbenchmark-dev
  pipewire pipewire-pulse wireplumber rtkit clang libclang-rt-14-dev dpkg-dev lintian file
)

packages=("${program_packages[@]}")
[ "${1:-}" = "--program" ] || packages+=("${test_packages[@]}")

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

case ${1:-} in
  --packages-only) exit 0 ;;
  --program)
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALIN_TESTS=OFF >/dev/null
    cmake --build build -j2 --target korvalin-cap ;;
  *)
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALIN_TESTS=ON >/dev/null
    cmake --build build -j2 ;;
esac
