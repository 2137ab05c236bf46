#!/usr/bin/env bash
# A private PulseAudio server for tests: its own runtime directory, no
# autospawn, nothing of the user's session touched.
#
#   pulse_server.sh start [DIR]           start; prints the environment to use
#   pulse_server.sh stop [DIR]            stop it and remove DIR
#   pulse_server.sh tone SINK HZ SECONDS [AMPLITUDE]
#                                         play a sine into SINK (foreground)
#   pulse_server.sh echo-path LATENCY_MS [adjusting]
#                                         speakers into micsink, 20 dB down
#
# `eval "$(scripts/pulse_server.sh start)"` exports PULSE_SERVER (read by
# libpulse, pactl and paplay), KORVALIN_PULSE_DIR (read by stop and tone) and
# KORVALIN_SERVER_SCRIPT (this script, for tests that start servers of their
# own). The devices are those of sound_server.sh, and one more:
#   keeper       null sink that only keeps the others' latency short
set -euo pipefail

launch() {
    local dir=$1
    printf 'load-module module-native-protocol-unix auth-anonymous=1\n' > "$dir/server.pa"
    # As root PulseAudio only warns unless --system is given; a per-user
    # server in a private runtime directory is what the tests need.
    (
        daemon_env "$dir"
        setsid pulseaudio -n -F "$dir/server.pa" --daemonize=no --system=false \
            --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
            --log-target=file:"$dir/server.log" </dev/null >/dev/null 2>&1 &
        echo $! > "$dir/server.pid"
    )
}

# A null sink renders blocks as long as the latency its readers ask for, 2 s
# when nobody asks, and takes a new request only when the current block
# ends. A short loopback from each monitor into a sink of its own keeps the
# blocks short, as a sound card's would be, so a new stream gets data at once.
settle() {
    pactl load-module module-null-sink sink_name=keeper "sink_properties=\"device.description='Latency Keeper'\"" \
        >/dev/null || return 1
    local monitor
    for monitor in speakers.monitor headphones.monitor micsink.monitor; do
        pactl load-module module-loopback source=$monitor sink=keeper latency_msec=30 source_dont_move=true \
            sink_dont_move=true >/dev/null || return 1
    done
    wait_short_blocks
}

# The null sinks start with 2-second blocks; the keeper's short latency
# applies when the first block ends.
wait_short_blocks() {
    local latencies
    for _ in $(seq 40); do
        latencies=$(LC_ALL=C pactl list sinks | sed -n 's/^\s*Latency: \([0-9]*\) usec.*/\1/p')
        if ! grep -qE '^[0-9]{6,}$' <<<"$latencies"; then
            return 0
        fi
        sleep 0.1
    done
}

source "$(dirname "$0")/sound_server.sh"
sound_server_main "$@"
