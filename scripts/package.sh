#!/usr/bin/env bash
# Builds the Debian package korvalin-cap_<version>_<arch>.deb in the build
# directory (default build/) and prints its path.
#
#   scripts/package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

scripts/setup.sh --packages-only
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target korvalin-cap
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/korvalin-cap_*.deb
