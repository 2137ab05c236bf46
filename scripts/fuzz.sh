#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer), seeds each with a small corpus and runs each
# for SECONDS. Prints per target the executions and executions per second;
# keeps every crashing, leaking, slow or memory-hungry input in
# fuzz/crashes/ and then exits non-zero.
#
#   fuzz.sh [SECONDS] [TARGET...]     default 60 s, every target
#
# Targets: command_line mp4_box repair analyze media_facts. The build
# directory is build-asan (KORVALIN_FUZZ_BUILD overrides it), shared with the
# sanitizer build of scripts/test.sh; the corpus each run grows stays in
# BUILD/fuzz-corpus/TARGET for the next run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(command_line mp4_box repair analyze media_facts)
build=${KORVALIN_FUZZ_BUILD:-build-asan}

if [ ! -f "$build/build.ninja" ] || ! grep -q 'KORVALIN_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKORVALIN_SANITIZE=address,undefined -DKORVALIN_FUZZ=ON >/dev/null
fi
cmake --build "$build" -j2 --target "${targets[@]/%/_fuzzer}"

# Seeds: fragmented AAC files as segments are (ffmpeg, fragments of 0.25 s),
# copies cut inside a fragment and inside the header, a WAV, and command
# lines of every kind.
seed_media() {
    local dir=$1 size
    ffmpeg -v error -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=1" -c:a aac -b:a 16k \
        -movflags +frag_keyframe+empty_moov+default_base_moof -frag_duration 250000 "$dir/mono.m4a"
    ffmpeg -v error -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.25*sin(2*PI*880*t):s=48000:d=0.5" -c:a aac -b:a 64k \
        -movflags +frag_keyframe+empty_moov+default_base_moof -frag_duration 250000 "$dir/stereo.m4a"
    ffmpeg -v error -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=0.05" -c:a pcm_s16le "$dir/short.wav"
    size=$(stat -c %s "$dir/mono.m4a")
    head -c $((size * 2 / 3)) "$dir/mono.m4a" > "$dir/mono-cut-in-fragment.m4a"
    head -c 600 "$dir/mono.m4a" > "$dir/mono-cut-in-header.m4a"
}

seed_command_line() {
    local dir=$1
    printf '{"cmd":"start","out":"/tmp/rec/seg-000.m4a"}\n' > "$dir/start"
    printf '{"cmd":"merge","segments":["/a.m4a","/b.m4a"],"out":"/r.m4a"}\r\n' > "$dir/merge"
    printf '{"cmd":"probe","seconds":3}\n{"cmd":"pause"}\n{"cmd":"resume","out":"x"}\n{"cmd":"stop"}\n{"cmd":"permissions"}\n{"cmd":"quit"}\n' \
        > "$dir/session"
    printf '   \n[1,2,3]\nnot json\n{"cmd":42}\n{"cmd":"START"}\n{"cmd":"stop"}\0 garbage\n\xff\x41\n' > "$dir/errors"
    printf '{"cmd":"start","out":"rec\\u0000.wav","x":[{"y":null}]}' > "$dir/unterminated"
}

mkdir -p fuzz/crashes
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
status=0
for target in "${targets[@]}"; do
    corpus=$build/fuzz-corpus/$target
    if [ ! -d "$corpus" ]; then
        mkdir -p "$corpus"
        if [ "$target" = command_line ]; then seed_command_line "$corpus"; else seed_media "$corpus"; fi
    fi
    # Every run starts with the damaged files the tests keep, so a corpus
    # grown before one was kept still tries it.
    [ "$target" = command_line ] || cp tests/data/*.m4a "$corpus/"
    log=$build/fuzz-$target.log
    rc=0
    nice "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -rss_limit_mb=512 -timeout=10 \
        -print_final_stats=1 -artifact_prefix="fuzz/crashes/$target-" "$corpus" >"$log" 2>&1 &
    pid=$!
    wait $pid || rc=$?
    rm -rf "/dev/shm/korvalin-fuzz-$pid" "/tmp/korvalin-fuzz-$pid"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    printf '%-12s %10s executions %8s/s' "$target" "${runs:-?}" "${rate:-?}"
    if [ $rc -ne 0 ]; then
        status=1
        printf '   FAILED (%s; log %s)\n' "$(grep -m1 -oE 'ERROR: [A-Za-z]+: [^ ]+|runtime error: .*' "$log" || echo "exit $rc")" "$log"
        grep -h 'Test unit written to' "$log" || true
    else
        printf '\n'
    fi
done
exit $status
