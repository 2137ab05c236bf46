#!/usr/bin/env bash
# The cost of a real recording on one private PulseAudio server:
#
#   korvalin-cap   SECONDS of microphone + system audio through the exclusion
#                  tap, three streams playing on the speakers, sampled by perf
#   floor          the same content (our file decoded to PCM) encoded by
#                  ffmpeg's AAC encoder at 64 kbit/s: what encoding alone costs
#                  (the cheapest of three runs), and the same encode paced
#                  as the audio comes in (ffmpeg -re)
#
# Prints CPU seconds (user + sys), the share of one core, the ratio to the
# floor, the peak resident memory, the share of our CPU time spent in the
# resampler (perf samples in platform::Resampler), and the
# load average at each measurement, since other work on the machine counts,
# and how often each of korvalin-cap's threads wakes per second (its
# voluntary context switches between 5 s in and 5 s before the end, a count
# the machine's load hardly bends; the forced ones follow the load) and how
# much of a core it takes meanwhile.
#
#   bench/pulse_recording_cost.sh BINARY [SECONDS]     (default 60 s)
#
# With ECHO_CANCEL=true or false, pink noise plays on the speakers instead of
# the tones (a far end whose echo can be found), a loopback carries it into
# the microphone's feed 20 dB down, and the recording cancels that echo or
# not: the two runs tell what cancelling costs.
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
    [[ -n ${KEEP:-} ]] || rm -rf "$work"
}
trap cleanup EXIT

# The players must not descend from this script: korvalin-cap takes its
# parent (this script) for its host and would leave their sound out.
n=0
detached_tone() {
    n=$((n + 1))
    setsid -f sh -c 'echo $$ > "$0"; exec "$@" >/dev/null 2>&1' "$work/player-$n.pid" \
        "$server" tone "$1" "$2" $((seconds + 30)) 0.2
}
detached_tone micsink 440
echo_key=""
if [[ -z ${ECHO_CANCEL:-} ]]; then
    for hz in 600 1000 1500; do detached_tone speakers "$hz"; done
else
    echo_key=",\"echo_cancel\":$ECHO_CANCEL"
    ffmpeg -nostdin -loglevel error -f lavfi -i "anoisesrc=color=pink:amplitude=0.5:duration=$((seconds + 30))" \
        "$work/noise.wav"
    n=$((n + 1))
    setsid -f sh -c 'echo $$ > "$0"; exec paplay --device=speakers "$1" >/dev/null 2>&1' "$work/player-$n.pid" \
        "$work/noise.wav"
    "$server" echo-path 60 >/dev/null
fi
sleep 4 # the tone files are rendered and playing

load() { cut -d' ' -f1 /proc/loadavg; }
# CPU seconds and peak RSS (KiB) from GNU time's output file.
times() { awk '{ printf "%.2f %d\n", $1 + $2, $3 }' "$1"; }

record_with_korvalin() {
    {
        printf '{"cmd":"start","out":"%s/korvalin.m4a"%s}\n' "$work" "$echo_key"
        sleep "$seconds"
        printf '{"cmd":"stop"}\n'
        sleep 1
        printf '{"cmd":"quit"}\n'
    } | /usr/bin/time -f '%U %S %M' -o "$work/korvalin.time" "$binary" >/dev/null 2>"$work/korvalin.log" &
    local timer=$! pid=""
    while [[ -z $pid ]]; do
        sleep 0.1
        pid=$(pgrep -n -f "^$binary\$" || true)
    done
    perf record -q -F 499 -p "$pid" -o "$work/perf.data" >/dev/null 2>&1 &
    local perf=$!
    switches_per_second "$pid" >"$work/switches" &
    wait "$timer" || true
    wait "$perf" || true
}

# Per thread: its id, name, voluntary and forced context switches so far,
# and the nanoseconds it has run (schedstat's first field).
thread_switches() {
    for task in /proc/"$1"/task/*; do
        awk -v t="${task##*/}" -v ns="$(cut -d' ' -f1 "$task/schedstat" 2>/dev/null)" \
            '/^Name:/ { n = $2 } /^voluntary/ { v = $2 } /^nonvoluntary/ { f = $2 }
            END { print t, n, v, f, ns }' "$task/status" 2>/dev/null || true
    done
}
switches_per_second() {
    local span=$((seconds - 10))
    ((span > 0)) || return 0
    sleep 5
    thread_switches "$1" >"$work/switches.before"
    sleep "$span"
    thread_switches "$1" | awk -v s="$span" 'NR == FNR { v[$1] = $3; f[$1] = $4; c[$1] = $5; next }
        ($1 in v) { printf "  wake-ups  %-16s %-8s %6.1f /s  (and %.1f /s preempted)  %5.2f %% of a core\n", $2, $1,
                    ($3 - v[$1]) / s, ($4 - f[$1]) / s, ($5 - c[$1]) / s / 1e7 }' "$work/switches.before" - |
        sort -k4 -nr
}

record_with_korvalin
korvalin_load=$(load)
read -r korvalin korvalin_rss < <(times "$work/korvalin.time")
ffmpeg -nostdin -loglevel error -i "$work/korvalin.m4a" -c:a pcm_f32le "$work/content.wav"
# The floor is the cheapest of three encodes: on a shared machine a run can
# only come out dearer than the encode itself.
for run in 1 2 3; do
    /usr/bin/time -f '%U %S %M' -o "$work/floor.time" \
        ffmpeg -nostdin -y -loglevel error -i "$work/content.wav" -c:a aac -b:a 64k "$work/floor.m4a"
    times "$work/floor.time"
done | sort -n | head -1 >"$work/floor.best"
floor_load=$(load)
read -r floor floor_rss <"$work/floor.best"
# The same encode at the pace the audio comes in (-re): what encoding costs
# ffmpeg itself when it runs in bursts with its caches gone cold in between.
/usr/bin/time -f '%U %S %M' -o "$work/paced.time" \
    ffmpeg -nostdin -y -loglevel error -re -i "$work/content.wav" -c:a aac -b:a 64k "$work/paced.m4a"
read -r paced _ < <(times "$work/paced.time")
resampler=$(perf report -q -i "$work/perf.data" --sort dso,symbol --stdio 2>/dev/null |
    awk '/Resampler/ { sub(/%/, "", $1); s += $1 } END { printf "%.1f", s }')

duration() { ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$1"; }
share() { awk -v c="$1" -v s="$seconds" 'BEGIN { printf "%.2f", 100 * c / s }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
echo "recording of ${seconds} s, three streams on the speakers (CPU seconds, user + sys; peak RSS):"
printf '  korvalin-cap  %6.2f s  %5s %% of a core  %6s MiB  file %s s  load %s\n' "$korvalin" \
    "$(share "$korvalin")" "$(mib "$korvalin_rss")" "$(duration "$work/korvalin.m4a")" "$korvalin_load"
printf '  floor         %6.2f s  %5s %% of a core  %6s MiB  (ffmpeg AAC 64k of the same content)  load %s\n' \
    "$floor" "$(share "$floor")" "$(mib "$floor_rss")" "$floor_load"
printf '  paced floor   %6.2f s  %5s %% of a core  (the same, read at the recording'"'"'s pace: ffmpeg -re)\n' \
    "$paced" "$(share "$paced")"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo "  korvalin-cap / floor: $(ratio "$korvalin" "$floor")x, / paced floor: $(ratio "$korvalin" "$paced")x"
echo "  resampler: ${resampler} % of korvalin-cap's perf samples"
cat "$work/switches"
grep -a -e 'systémový zvuk' -e 'ozvěn' "$work/korvalin.log" | sed 's/^/  log: /' || true
