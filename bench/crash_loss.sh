#!/usr/bin/env bash
# How much of a real recording a crash costs: korvalin-cap records the
# microphone of a private PulseAudio server, is killed with SIGKILL at a
# random moment, and the file is repaired. The loss is the time it had been
# recording (from its "started" event) less the repaired file's duration.
#
#   bench/crash_loss.sh BINARY [TRIALS] [EARLIEST LATEST]   (default 8, 4.0 11.0 s)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
server="$here/../scripts/pulse_server.sh"
binary=$(realpath "$1")
trials=${2:-8}
earliest=${3:-4.0}
latest=${4:-11.0}
work=$(mktemp -d /tmp/korvalin-crash.XXXXXX)

eval "$("$server" start "$work/server")"
trap '"$server" stop "$work/server" || true; rm -rf "$work"' EXIT

for trial in $(seq "$trials"); do
    dir="$work/trial-$trial"
    mkdir -p "$dir"
    at=$(awk -v a="$earliest" -v b="$latest" -v s="$RANDOM" 'BEGIN { srand(s); printf "%.2f", a + rand() * (b - a) }')
    coproc CAP { exec "$binary" 2>/dev/null; }
    read -r _ <&"${CAP[0]}" # ready
    printf '{"cmd":"start","out":"%s/cut.m4a"}\n' "$dir" >&"${CAP[1]}"
    read -r _ <&"${CAP[0]}" # started
    sleep "$at"
    kill -KILL "$CAP_PID"
    wait "$CAP_PID" 2>/dev/null || true
    "$binary" --repair "$dir" >/dev/null 2>&1 || true
    duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$dir/cut.m4a" 2>/dev/null || echo 0)
    awk -v at="$at" -v d="$duration" 'BEGIN { printf "  killed at %5.2f s: %5.2f s in the repaired file, %.2f s lost\n", at, d, at - d }'
done | tee "$work/trials"
awk '{ if ($NF == "lost" && $(NF-2) > worst) worst = $(NF-2) } END { printf "worst loss: %.2f s\n", worst }' "$work/trials"
