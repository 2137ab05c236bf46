#!/usr/bin/env bash
# Builds from clean and runs every test, each build carrying what it checks
# best:
#   build       the release programs, and the black-box tests of both (the
#               real one on a private PulseAudio and a private PipeWire
#               server, which ctest starts and stops itself), then the
#               package check;
#   build-asan  clang with AddressSanitizer and UndefinedBehaviorSanitizer:
#               the unit tests, the black-box tests once more, and the fuzz
#               targets, which run for 20 s each;
#   build-tsan  the thread-sensitive unit tests under ThreadSanitizer.
# Most black-box time is spent waiting for real-time recordings, so each
# sanitizer build compiles (at the lowest CPU priority) while the previous
# test pass records. Each stage's wall time is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --packages-only

launcher=()
if command -v ccache >/dev/null; then
  # Paths relative to the checkout, so that every clone shares the cache.
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
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
    # The echo canceller is one thread's arithmetic, minutes under ThreadSanitizer.
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "build-tsan/tests/${target%_tests}/$target" \
      --gtest_brief=1 --gtest_filter=-EchoCanceller.* || return 1
  done
}
asan_ctest() {
  export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0" UBSAN_OPTIONS=print_stacktrace=1
  (cd build-asan && ctest --output-on-failure -j2)
}

stage "build" cmake --build build -j2 --target korvalin-cap korvalin-cap-sim || exit 1
stage "build asan (beside)" background cmake --build build-asan -j2 > build-asan/build.log 2>&1 &
asan_build=$!
stage "ctest black-box" bash -c "cd build && ctest --output-on-failure -j2 -R '^(e2e_|sound_server_)'" || status=1
stage "package check" scripts/package.sh --check build >/dev/null || status=1
wait $asan_build || { tail -n 50 build-asan/build.log; exit 1; }
stage "build tsan (beside)" background cmake --build build-tsan -j2 --target capture_tests engine_tests \
  > build-tsan/build.log 2>&1 &
tsan_build=$!
stage "ctest asan+ubsan" asan_ctest || status=1
wait $tsan_build || { tail -n 50 build-tsan/build.log; exit 1; }
stage "tsan" tsan_run || status=1
stage "fuzz" scripts/fuzz.sh 20 || status=1

cat "$times"
echo "total $((SECONDS - started)) s"
exit $status
