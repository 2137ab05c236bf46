#!/usr/bin/env bash
# CPU time (user + sys, seconds) of a real recording on a private PulseAudio
# server: korvalin-cap (microphone + output monitor, AAC 64 kbit/s) against
# the plain pipeline parec | ffmpeg (one stream, the same encoder settings).
#
#   bench/pulse_recording_cost.sh BINARY [SECONDS]     (default 60 s)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
server="$here/../scripts/pulse_server.sh"
binary=$1
seconds=${2:-60}
work=$(mktemp -d /tmp/korvalin-bench.XXXXXX)

eval "$("$server" start "$work/server")"
tones=()
cleanup() {
    kill "${tones[@]}" 2>/dev/null || true
    "$server" stop "$work/server" || true
    rm -rf "$work"
}
trap cleanup EXIT
"$server" tone micsink 440 $((2 * seconds + 20)) & tones+=($!)
"$server" tone speakers 1000 $((2 * seconds + 20)) & tones+=($!)
sleep 2

TIMEFORMAT='%U %S'
measure() { { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.2f", $1 + $2 }'; }

record_with_korvalin() {
    {
        printf '{"cmd":"start","out":"%s/korvalin.m4a"}\n' "$work"
        sleep "$seconds"
        printf '{"cmd":"stop"}\n'
        sleep 1
        printf '{"cmd":"quit"}\n'
    } | "$binary"
}

record_with_parec() {
    { timeout -s INT "$seconds" parec --device=virtual_mic --raw --format=float32le --rate=48000 --channels=2 || true; } |
        ffmpeg -nostdin -loglevel error -f f32le -ar 48000 -ac 2 -i - -c:a aac -b:a 64k "$work/parec.m4a"
}

korvalin=$(measure record_with_korvalin)
parec=$(measure record_with_parec)
duration() { ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$1"; }
echo "recording of ${seconds} s (CPU seconds, user + sys):"
echo "  korvalin-cap     $korvalin   file $(duration "$work/korvalin.m4a") s"
echo "  parec | ffmpeg   $parec   file $(duration "$work/parec.m4a") s"
