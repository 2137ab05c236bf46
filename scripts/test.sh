#!/usr/bin/env bash
# Builds from clean and runs every test: the unit tests, the black-box tests
# of both binaries (the real one on a private PulseAudio and a private
# PipeWire server, which ctest starts and stops itself), and the
# thread-sensitive tests once more under ThreadSanitizer, then the unit and
# black-box tests once more under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang; the same build holds the fuzz targets,
# which run for 30 s each).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --packages-only

rm -rf build build-tsan build-asan
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2

tsan_targets=()
for target in capture_tests engine_tests; do
  [ -f "tests/${target%_tests}/CMakeLists.txt" ] && tsan_targets+=("$target")
done
if [ ${#tsan_targets[@]} -gt 0 ]; then
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALIN_SANITIZE=thread >/dev/null
  cmake --build build-tsan -j2 --target "${tsan_targets[@]}"
fi

CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVALIN_SANITIZE=address,undefined -DKORVALIN_FUZZ=ON >/dev/null
cmake --build build-asan -j2

status=0
(cd build && ctest --output-on-failure -j2) || status=$?
for target in "${tsan_targets[@]}"; do
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "build-tsan/tests/${target%_tests}/${target}" || status=$?
done
(
  export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0" UBSAN_OPTIONS=print_stacktrace=1
  cd build-asan && ctest --output-on-failure -j2
) || status=$?
scripts/fuzz.sh 30 || status=$?
exit $status
