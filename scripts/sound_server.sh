# The part of the private test sound servers that does not depend on which
# server runs: the directory, the virtual devices, the client environment,
# stopping and playing tones. Sourced by pulse_server.sh and
# pipewire_server.sh after they define
#
#   launch DIR    start the daemons with DIR as their whole world; write the
#                 pid of the process that speaks the pulse protocol to
#                 DIR/server.pid and those of its helpers to DIR/helpers.pid
#   settle        (optional) run once the devices exist
#
# and then call sound_server_main "$@".
#
# Devices of every server:
#   speakers     null sink, 48000 Hz stereo, default sink ("Speakers")
#   headphones   null sink, 48000 Hz stereo ("Headphones"): another output
#   micsink      null sink, 48000 Hz mono: what is played here is "spoken"
#   virtual_mic  remap of micsink.monitor, 48000 Hz mono, default source
#                ("Virtual Microphone")
#   second_mic   remap of micsink.monitor, 44100 Hz mono (PulseAudio; 48000 Hz
#                on PipeWire) ("Second Microphone")

script_name=$(basename "$0")

die() { echo "$script_name: $*" >&2; exit 1; }

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

# The environment of the daemons: nothing of the caller's session (its
# runtime directory, configuration, state or bus) is seen or touched.
daemon_env() {
    local dir=$1
    export XDG_RUNTIME_DIR=$dir/runtime PULSE_RUNTIME_PATH=$dir/runtime PIPEWIRE_RUNTIME_DIR=$dir/runtime \
           XDG_CONFIG_HOME=$dir/config XDG_STATE_HOME=$dir/state PULSE_STATE_PATH=$dir/state HOME=$dir
    unset PULSE_SERVER PIPEWIRE_REMOTE DBUS_SESSION_BUS_ADDRESS
}

# A zombie counts as gone: its parent may reap it much later.
running() {
    local pid comm state
    read -r pid comm state _ 2>/dev/null < "/proc/$1/stat" && [[ $state != Z ]]
}

# Every pid of the server in DIR, the pulse server first.
server_pids() {
    cat "$1/server.pid" "$1/helpers.pid" 2>/dev/null || true
}

load_devices() {
    # The properties are quoted once more for the module's own argument
    # parser. PipeWire runs every node at the graph's rate, so there
    # second_mic is a 48000 Hz source like the others.
    pactl load-module module-null-sink sink_name=speakers rate=48000 channels=2 \
        "sink_properties=\"device.description='Speakers'\"" >/dev/null &&
    pactl load-module module-null-sink sink_name=headphones rate=48000 channels=2 \
        "sink_properties=\"device.description='Headphones'\"" >/dev/null &&
    pactl load-module module-null-sink sink_name=micsink rate=48000 channels=1 channel_map=mono \
        "sink_properties=\"device.description='Mic Feed'\"" >/dev/null &&
    pactl load-module module-remap-source master=micsink.monitor source_name=virtual_mic rate=48000 channels=1 \
        channel_map=mono master_channel_map=mono \
        "source_properties=\"device.description='Virtual Microphone'\"" >/dev/null &&
    pactl load-module module-remap-source master=micsink.monitor source_name=second_mic rate=44100 channels=1 \
        channel_map=mono master_channel_map=mono \
        "source_properties=\"device.description='Second Microphone'\"" >/dev/null &&
    pactl set-default-sink speakers &&
    pactl set-default-source virtual_mic
}

# A server may apply a new default a little after pactl returns.
wait_defaults() {
    local info
    for _ in $(seq 100); do
        info=$(LC_ALL=C pactl info 2>/dev/null) || true
        if grep -qx 'Default Sink: speakers' <<<"$info" && grep -qx 'Default Source: virtual_mic' <<<"$info"; then
            return 0
        fi
        sleep 0.02
    done
    return 1
}

start() {
    local dir
    if [[ $# -gt 0 ]]; then
        dir=$1
        mkdir -p "$dir"
    else
        dir=$(mktemp -d "/tmp/korvalin-${script_name%_server.sh}.XXXXXX")
    fi
    dir=$(cd "$dir" && pwd)
    # A server left behind in DIR (an interrupted run) goes first.
    [[ -f $dir/server.pid ]] && stop_server "$dir"
    mkdir -p "$dir/runtime" "$dir/state" "$dir/config"
    chmod 700 "$dir" "$dir/runtime"
    printf 'autospawn = no\n' > "$dir/client.conf"

    client_env "$dir"
    # A server that comes up but refuses its devices now and then (PipeWire's
    # pulse server answering before its graph is ready: "Not supported") is
    # started afresh.
    local attempt
    for attempt in 1 2 3; do
        launch "$dir"
        if come_up "$dir"; then
            echo "PULSE_SERVER=$PULSE_SERVER"
            echo "KORVALIN_PULSE_DIR=$dir"
            echo "KORVALIN_SERVER_SCRIPT=$(cd "$(dirname "$0")" && pwd)/$script_name"
            echo "export PULSE_SERVER KORVALIN_PULSE_DIR KORVALIN_SERVER_SCRIPT"
            return 0
        fi
        echo "$script_name: attempt $attempt:" >&2
        cat "$dir"/*.log >&2 2>/dev/null || true
        stop_server "$dir"
    done
    die "the server in $dir did not come up"
}

# Waits up to 10 s for the server in DIR to answer, then gives it its devices.
come_up() {
    local pid deadline=$((SECONDS + 10))
    pid=$(cat "$1/server.pid")
    while ((SECONDS < deadline)); do
        if pactl info >/dev/null 2>&1; then
            load_devices && { ! declare -F settle >/dev/null || settle; } && wait_defaults
            return
        fi
        running "$pid" || return 1
        sleep 0.01
    done
    return 1
}

# Ends the server's processes, the pulse server first, and waits for them.
stop_server() {
    local dir=$1 pid
    for pid in $(server_pids "$dir"); do
        kill "$pid" 2>/dev/null || true
    done
    for pid in $(server_pids "$dir"); do
        for _ in $(seq 50); do
            running "$pid" || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
    done
    rm -f "$dir/server.pid" "$dir/helpers.pid"
}

stop() {
    local dir
    dir=$(server_dir "$@")
    [[ -f $dir/server.pid ]] || die "no server in $dir"
    stop_server "$dir"
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
            -c:a pcm_s16le "$wav.$$.wav"
        mv "$wav.$$.wav" "$wav"
    fi
    exec paplay --device="$sink" "$wav"
}

# An acoustic echo path: module-loopback carries what the speakers play into
# micsink LATENCY_MS later, 20 dB down, at a fixed rate unless "adjusting"
# (the loopback's own clock then drifts against it). Prints the module.
echo_path() {
    [[ $# -ge 1 ]] || die "usage: echo-path LATENCY_MS [adjusting]"
    local dir module input=""
    dir=$(server_dir)
    client_env "$dir"
    local args=(source=speakers.monitor sink=micsink latency_msec="$1")
    [[ ${2:-} == adjusting ]] || args+=(adjust_time=0)
    module=$(pactl load-module module-loopback "${args[@]}")
    for _ in $(seq 100); do
        input=$(LC_ALL=C pactl list sink-inputs |
            awk -v m="$module" '/^Sink Input #/ { i = substr($3, 2) } $1 == "Owner" && $3 == m { print i }')
        [[ -n $input ]] && break
        sleep 0.05
    done
    [[ -n $input ]] || die "the loopback's stream did not appear"
    pactl set-sink-input-volume "$input" 0.1
    echo "$module"
}

sound_server_main() {
    case ${1:-} in
        start) shift; start "$@" ;;
        stop) shift; stop "$@" ;;
        tone) shift; tone "$@" ;;
        echo-path) shift; echo_path "$@" ;;
        *) die "usage: $script_name start [DIR] | stop [DIR] | tone SINK HZ SECONDS [AMPLITUDE] | echo-path LATENCY_MS [adjusting]" ;;
    esac
}
