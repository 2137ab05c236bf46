#!/usr/bin/env bash
# Builds the Debian package korvalin-cap_<version>_<arch>.deb in the build
# directory (default build/) and prints its path. With --check it then judges
# what a user gets: the install tree of `cmake --install` and the package,
# unpacked into a scratch root, by readelf, man, dpkg-deb and lintian, and runs
# the program from where each landed.
#
#   scripts/package.sh [--check] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
check=false
[ "${1:-}" = "--check" ] && { check=true; shift; }
build=${1:-build}

scripts/setup.sh --packages-only
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target korvalin-cap
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/korvalin-cap_*.deb)
echo "$deb"
$check || exit 0

scratch=$(mktemp -d /tmp/korvalin-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }
listing() { (cd "$1" && find . -type f | sed 's#^\./##' | sort); }
version_of() { TMPDIR=$scratch "$1" --version; }

installed="bin/korvalin-cap
share/doc/korvalin-cap/README.md
share/doc/korvalin-cap/changelog
share/doc/korvalin-cap/copyright
share/korvalin-cap/commands.schema.json
share/korvalin-cap/events.schema.json
share/man/man1/korvalin-cap.1"

# The install tree: exactly these files, no RPATH, the schema as written, a
# manual that renders without warnings, and relocatable.
cmake --install "$build" --prefix "$scratch/first" >/dev/null
[ "$(listing "$scratch/first")" = "$installed" ] || fail "install tree: $(listing "$scratch/first")"
! readelf -d "$scratch/first/bin/korvalin-cap" | grep -q PATH || fail "the program has an RPATH"
for name in commands events; do
    cmp -s "schema/$name.schema.json" "$scratch/first/share/korvalin-cap/$name.schema.json" || fail "$name schema differs"
done
man_err=$(MANWIDTH=80 man --warnings -l "$scratch/first/share/man/man1/korvalin-cap.1" 2>&1 >"$scratch/man.txt")
[ -z "$man_err" ] || fail "manual warnings: $man_err"
for section in "EXIT STATUS" PROTOCOL ENVIRONMENT --merge probe_result repair_failed; do
    grep -q -- "$section" "$scratch/man.txt" || fail "manual lacks $section"
done
mv "$scratch/first" "$scratch/moved"
[ "$(version_of "$scratch/moved/bin/korvalin-cap")" = 0.1.0 ] || fail "a moved tree does not run"

# The package: its name, what it depends on, its files, a stripped program
# that passes its self test, and lintian without errors.
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "korvalin-cap_0.1.0_$arch.deb" ] || fail "package name $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libpulse0 libavformat libavcodec libswresample libavutil; do
    grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb -f "$deb" Recommends)" = "pipewire-pulse | pulseaudio" ] || fail "Recommends"
dpkg-deb -x "$deb" "$scratch/root"
expected=$(sed -e 's#^#usr/#' -e 's#\(korvalin-cap\.1\|/changelog\)$#&.gz#' <<<"$installed" | sort)
[ "$(listing "$scratch/root")" = "$expected" ] || fail "package files: $(listing "$scratch/root")"
program=$scratch/root/usr/bin/korvalin-cap
file "$program" | grep -q ', stripped$' || fail "the program is not stripped"
[ "$(version_of "$program")" = 0.1.0 ] || fail "the packaged program does not run"
TMPDIR=$scratch "$program" --selftest | tail -n 1 | grep -qx "SELFTEST OK" || fail "the packaged self test fails"
! lintian --tag-display-limit 0 "$deb" 2>&1 | grep -q '^E: ' || fail "lintian errors: $(lintian "$deb" 2>&1)"
echo "package check: passed"
