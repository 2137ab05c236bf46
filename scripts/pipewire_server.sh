#!/usr/bin/env bash
# A private PipeWire server for tests (PipeWire, WirePlumber and PipeWire's
# pulse server): its own runtime, configuration and state directories, no
# session bus, nothing of the user's session touched.
#
#   pipewire_server.sh start [DIR]        start; prints the environment to use
#   pipewire_server.sh stop [DIR]         stop it and remove DIR
#   pipewire_server.sh tone SINK HZ SECONDS [AMPLITUDE]
#                                         play a sine into SINK (foreground)
#
# The environment and the devices are those of pulse_server.sh (see
# sound_server.sh). DIR/server.pid is the pulse server's pid: killing it is
# the server going away for every client.
set -euo pipefail

# WirePlumber without the parts that need a session bus or hardware: no
# Bluetooth, no device monitors, no portal. Without a bus they would end it.
write_wireplumber_config() {
    local config=$1/config/wireplumber
    mkdir -p "$config/main.lua.d"
    cat > "$config/wireplumber.conf" <<'EOF'
context.properties = {
  log.level = 2
  wireplumber.script-engine = lua-scripting
}
context.spa-libs = {
  audio.convert.* = audioconvert/libspa-audioconvert
  support.*       = support/libspa-support
}
context.modules = [
  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-client-device }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-metadata }
  { name = libpipewire-module-session-manager }
]
wireplumber.components = [
  { name = libwireplumber-module-lua-scripting, type = module }
  { name = main.lua, type = config/lua }
  { name = policy.lua, type = config/lua }
]
EOF
    # Read after the packaged 50-*.lua files and before 90-enable-all.lua.
    cat > "$config/main.lua.d/80-headless.lua" <<'EOF'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
default_access.properties["enable-flatpak-portal"] = false
EOF
}

launch() {
    local dir=$1
    write_wireplumber_config "$dir"
    # A socket left by a server that was killed would pass for the new one's.
    rm -f "$dir/runtime/pipewire-0"
    (
        daemon_env "$dir"
        setsid pipewire </dev/null >"$dir/pipewire.log" 2>&1 &
        echo $! > "$dir/helpers.pid"
        # The session manager and the pulse server connect to its socket.
        for _ in $(seq 500); do
            [[ -S $dir/runtime/pipewire-0 ]] && break
            sleep 0.01
        done
        setsid wireplumber </dev/null >"$dir/wireplumber.log" 2>&1 &
        echo $! >> "$dir/helpers.pid"
        setsid pipewire-pulse </dev/null >"$dir/pipewire-pulse.log" 2>&1 &
        echo $! > "$dir/server.pid"
    )
}

source "$(dirname "$0")/sound_server.sh"
sound_server_main "$@"
