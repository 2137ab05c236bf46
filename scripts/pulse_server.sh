#!/usr/bin/env bash
# A private PulseAudio server for tests: its own runtime directory, no
# autospawn, nothing of the user's session touched.
#
#   pulse_server.sh start [DIR]           start; prints the environment to use
#   pulse_server.sh stop [DIR]            stop it and remove DIR
#   pulse_server.sh tone SINK HZ SECONDS [AMPLITUDE]
#                                         play a sine into SINK (foreground)
#
# `eval "$(scripts/pulse_server.sh start)"` exports PULSE_SERVER (read by
# libpulse, pactl and paplay) and KORVALIN_PULSE_DIR (read by stop and tone).
#
# Devices of the server:
#   speakers     null sink, 48000 Hz stereo, default sink ("Speakers")
#   micsink      null sink, 48000 Hz mono: what is played here is "spoken"
#   virtual_mic  remap of micsink.monitor, 48000 Hz mono, default source
#                ("Virtual Microphone")
#   second_mic   remap of micsink.monitor, 44100 Hz mono ("Second Microphone")
#   keeper       null sink that only keeps the others' latency short
set -euo pipefail

die() { echo "pulse_server.sh: $*" >&2; exit 1; }

server_dir() {
    local dir=${1:-${KORVALIN_PULSE_DIR:-}}
    [[ -n $dir ]] || die "no server directory (pass DIR or set KORVALIN_PULSE_DIR)"
    echo "$dir"
}

# The environment every client of the server in DIR needs.
client_env() {
    local dir=$1
    export PULSE_SERVER="unix:$dir/runtime/native"
    # Keeps clients from reading or creating files in the caller's home.
    export PULSE_CLIENTCONFIG=$dir/client.conf
    export HOME=$dir
}

start() {
    local dir
    if [[ $# -gt 0 ]]; then
        dir=$1
        mkdir -p "$dir"
    else
        dir=$(mktemp -d /tmp/korvalin-pulse.XXXXXX)
    fi
    dir=$(cd "$dir" && pwd)
    mkdir -p "$dir/runtime" "$dir/state"
    chmod 700 "$dir" "$dir/runtime"

    cat > "$dir/server.pa" <<'EOF'
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=speakers rate=48000 channels=2 sink_properties="device.description='Speakers'"
load-module module-null-sink sink_name=micsink rate=48000 channels=1 channel_map=mono sink_properties="device.description='Mic\ Feed'"
load-module module-remap-source master=micsink.monitor source_name=virtual_mic rate=48000 channels=1 channel_map=mono master_channel_map=mono source_properties="device.description='Virtual\ Microphone'"
load-module module-remap-source master=micsink.monitor source_name=second_mic rate=44100 channels=1 channel_map=mono master_channel_map=mono source_properties="device.description='Second\ Microphone'"
# A null sink renders blocks as long as the latency its readers ask for,
# 2 s when nobody asks, and takes a new request only when the current block
# ends. A short loopback from each monitor into a sink of its own keeps the
# blocks short, as a sound card's would be, so a new stream gets data at once.
load-module module-null-sink sink_name=keeper sink_properties="device.description='Latency\ Keeper'"
load-module module-loopback source=speakers.monitor sink=keeper latency_msec=30 source_dont_move=true sink_dont_move=true
load-module module-loopback source=micsink.monitor sink=keeper latency_msec=30 source_dont_move=true sink_dont_move=true
set-default-sink speakers
set-default-source virtual_mic
EOF
    printf 'autospawn = no\n' > "$dir/client.conf"

    # As root PulseAudio only warns unless --system is given; a per-user
    # server in a private runtime directory is what the tests need.
    (
        export XDG_RUNTIME_DIR=$dir/runtime PULSE_RUNTIME_PATH=$dir/runtime \
               PULSE_STATE_PATH=$dir/state HOME=$dir
        unset PULSE_SERVER DBUS_SESSION_BUS_ADDRESS
        setsid pulseaudio -n -F "$dir/server.pa" --daemonize=no --system=false \
            --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
            --log-target=file:"$dir/server.log" </dev/null >/dev/null 2>&1 &
        echo $! > "$dir/server.pid"
    )

    client_env "$dir"
    local pid
    pid=$(cat "$dir/server.pid")
    for _ in $(seq 100); do
        if pactl info >/dev/null 2>&1; then
            wait_short_blocks
            echo "PULSE_SERVER=$PULSE_SERVER"
            echo "KORVALIN_PULSE_DIR=$dir"
            echo "export PULSE_SERVER KORVALIN_PULSE_DIR"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    cat "$dir/server.log" >&2 2>/dev/null || true
    kill "$pid" 2>/dev/null || true
    die "the server in $dir did not come up"
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

stop() {
    local dir pid
    dir=$(server_dir "$@")
    [[ -f $dir/server.pid ]] || die "no server in $dir"
    pid=$(cat "$dir/server.pid")
    if kill "$pid" 2>/dev/null; then
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
    rm -rf "$dir"
}

tone() {
    [[ $# -ge 3 ]] || die "usage: tone SINK HZ SECONDS [AMPLITUDE]"
    local sink=$1 hz=$2 seconds=$3 amplitude=${4:-0.5} dir
    dir=$(server_dir)
    client_env "$dir"
    local wav="$dir/tone-$hz-$seconds-$amplitude.wav"
    if [[ ! -f $wav ]]; then
        ffmpeg -nostdin -loglevel error -y -f lavfi \
            -i "aevalsrc=$amplitude*sin(2*PI*$hz*t):s=48000:d=$seconds" \
            -c:a pcm_s16le "$wav.tmp.wav"
        mv "$wav.tmp.wav" "$wav"
    fi
    exec paplay --device="$sink" "$wav"
}

case ${1:-} in
    start) shift; start "$@" ;;
    stop) shift; stop "$@" ;;
    tone) shift; tone "$@" ;;
    *) die "usage: pulse_server.sh start [DIR] | stop [DIR] | tone SINK HZ SECONDS [AMPLITUDE]" ;;
esac
