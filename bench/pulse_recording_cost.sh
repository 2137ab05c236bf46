#!/usr/bin/env bash
# The cost of a real recording on one private PulseAudio server, in one run:
#
#   korvalin-cap      60 s of microphone + system audio through the exclusion
#                     tap, three streams playing on the speakers
#   ffmpeg -f pulse   the same two sources recorded by ffmpeg itself
#   bare encode       60 s of stereo through the same AAC 64 kbit/s encoder
#
# Prints CPU seconds (user + sys), the share of one core, the ratios and
# the peak resident memory of each.
#
#   bench/pulse_recording_cost.sh BINARY [SECONDS]     (default 60 s)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
server="$here/../scripts/pulse_server.sh"
binary=$(realpath "$1")
seconds=${2:-60}
work=$(mktemp -d /tmp/korvalin-bench.XXXXXX)

eval "$("$server" start "$work/server")"
cleanup() {
    for pidfile in "$work"/player-*.pid; do
        [[ -f $pidfile ]] && kill "$(cat "$pidfile")" 2>/dev/null || true
    done
    "$server" stop "$work/server" || true
    rm -rf "$work"
}
trap cleanup EXIT

# The players must not descend from this script: korvalin-cap takes its
# parent (this script) for its host and would leave their sound out.
n=0
detached_tone() {
    n=$((n + 1))
    setsid -f sh -c 'echo $$ > "$0"; exec "$@" >/dev/null 2>&1' "$work/player-$n.pid" \
        "$server" tone "$1" "$2" $((3 * seconds + 30)) 0.2
}
detached_tone micsink 440
for hz in 600 1000 1500; do detached_tone speakers "$hz"; done
sleep 4 # the tone files are rendered and playing

# CPU seconds and peak RSS (KiB) of a command, from GNU time.
measure() {
    /usr/bin/time -f '%U %S %M' -o "$work/time" "$@" >/dev/null 2>&1
    awk '{ printf "%.2f %d\n", $1 + $2, $3 }' "$work/time"
}

record_with_korvalin() {
    {
        printf '{"cmd":"start","out":"%s/korvalin.m4a"}\n' "$work"
        sleep "$seconds"
        printf '{"cmd":"stop"}\n'
        sleep 1
        printf '{"cmd":"quit"}\n'
    } | /usr/bin/time -f '%U %S %M' -o "$work/time" "$binary" >/dev/null 2>"$work/korvalin.log"
    awk '{ printf "%.2f %d\n", $1 + $2, $3 }' "$work/time"
}

read -r korvalin korvalin_rss < <(record_with_korvalin)
read -r ffmpeg_pulse ffmpeg_rss < <(measure ffmpeg -nostdin -loglevel error \
    -f pulse -i virtual_mic -f pulse -i speakers.monitor -t "$seconds" \
    -filter_complex '[1:a]pan=mono|c0=0.5*c0+0.5*c1[sys];[0:a][sys]join=inputs=2:channel_layout=stereo[out]' \
    -map '[out]' -c:a aac -b:a 64k "$work/ffmpeg.m4a")
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
    -ac 2 -c:a pcm_f32le "$work/stereo.wav"
read -r bare bare_rss < <(measure ffmpeg -nostdin -loglevel error -i "$work/stereo.wav" -c:a aac -b:a 64k \
    "$work/bare.m4a")

duration() { ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo "recording of ${seconds} s, three streams on the speakers (CPU seconds, user + sys; peak RSS):"
printf '  korvalin-cap       %6.2f s  %5.2f %% of a core  %6.1f MiB  file %s s\n' "$korvalin" \
    "$(awk -v c="$korvalin" -v s="$seconds" 'BEGIN { print 100 * c / s }')" \
    "$(awk -v k="$korvalin_rss" 'BEGIN { print k / 1024 }')" "$(duration "$work/korvalin.m4a")"
printf '  ffmpeg -f pulse    %6.2f s                    %6.1f MiB  file %s s\n' "$ffmpeg_pulse" \
    "$(awk -v k="$ffmpeg_rss" 'BEGIN { print k / 1024 }')" "$(duration "$work/ffmpeg.m4a")"
printf '  bare AAC encode    %6.2f s                    %6.1f MiB\n' "$bare" \
    "$(awk -v k="$bare_rss" 'BEGIN { print k / 1024 }')"
echo "  korvalin-cap / ffmpeg -f pulse: $(ratio "$korvalin" "$ffmpeg_pulse")x"
echo "  korvalin-cap / bare encode:     $(ratio "$korvalin" "$bare")x"
