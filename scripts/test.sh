#!/usr/bin/env bash
# Builds from clean and runs every test: the unit tests, the black-box tests
# of both binaries (the real one on a private PulseAudio and a private
# PipeWire server, which ctest starts and stops itself), the package check,
# the thread-sensitive tests once more under ThreadSanitizer, and the unit and
# black-box tests once more under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang; the same build holds the fuzz targets,
# which run for 30 s each).
#
# Most black-box time is spent waiting for real-time recordings, so each
# sanitizer build compiles (at the lowest CPU priority) while the previous
# test pass records. Each stage's wall time is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --packages-only

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
rm -rf build build-tsan build-asan
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALIN_SANITIZE=thread "${launcher[@]}" >/dev/null
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVALIN_SANITIZE=address,undefined -DKORVALIN_FUZZ=ON "${launcher[@]}" >/dev/null

started=$SECONDS
times=$(mktemp)
trap 'rm -f "$times"' EXIT
status=0
# stage NAME COMMAND...: runs it and notes its wall time; fails as it does.
stage() {
  local name=$1 begin=$SECONDS result=0
  shift
  "$@" || result=$?
  printf '%-22s %4d s%s\n' "$name" $((SECONDS - begin)) "$([ $result = 0 ] || echo '  FAILED')" >> "$times"
  return $result
}
background() { nice -n 19 "$@"; }
tsan_run() {
  local target
  for target in capture_tests engine_tests; do
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "build-tsan/tests/${target%_tests}/$target" \
      --gtest_brief=1 || return 1
  done
}
asan_ctest() {
  export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0" UBSAN_OPTIONS=print_stacktrace=1
  (cd build-asan && ctest --output-on-failure -j2)
}

stage "build" cmake --build build -j2 || exit 1
stage "build asan (beside)" background cmake --build build-asan -j2 > build-asan/build.log 2>&1 &
asan_build=$!
stage "ctest" bash -c "cd build && ctest --output-on-failure -j2" || status=1
stage "package check" scripts/package.sh --check build >/dev/null || status=1
wait $asan_build || { tail -n 50 build-asan/build.log; exit 1; }
stage "build tsan (beside)" background cmake --build build-tsan -j2 --target capture_tests engine_tests \
  > build-tsan/build.log 2>&1 &
tsan_build=$!
stage "ctest asan+ubsan" asan_ctest || status=1
wait $tsan_build || { tail -n 50 build-tsan/build.log; exit 1; }
stage "tsan" tsan_run || status=1
stage "fuzz" scripts/fuzz.sh 30 || status=1

cat "$times"
echo "total $((SECONDS - started)) s"
exit $status
