#!/usr/bin/env bash
# Runs a command against a private PipeWire server started for it, as current
# desktops run it: pipewire, the session manager WirePlumber, and
# pipewire-pulse, the PulseAudio-compatible server that Qt Multimedia,
# pactl, parec and pacat reach through PULSE_SERVER. It offers the same
# inputs and outputs as with_pulse.sh, made the same way through
# pipewire-pulse (desktop_sound_devices.sh): the null sink "preview" as the
# default output, line_feed behind the computer's own input (the default)
# and the look-alike stick's, with a 2500 Hz tone, and stick_feed behind the
# stick's input with a 1000 Hz tone (with OSTREVIN_STICK_SOUND=emulated,
# nothing).
#
# Everything is private: the runtime directory (the servers' sockets), the
# configuration and state directories (WirePlumber's remembered defaults and
# stream targets), and a D-Bus session bus, which WirePlumber will not run
# without. WirePlumber is told to leave the machine's sound cards, cameras
# and Bluetooth alone. The servers, the bus, the tone feeders and the
# runtime directory go away afterwards; the servers also end with this
# script if it is killed.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/desktop_sound_devices.sh"
sound_server=with_pipewire

for tool in pipewire pipewire-pulse wireplumber dbus-daemon pactl; do
  command -v "$tool" >/dev/null || {
    echo "with_pipewire: $tool is not installed (scripts/install-deps.sh installs it)" >&2
    exit 1
  }
done

runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR=$runtime
export XDG_CONFIG_HOME=$runtime/config XDG_STATE_HOME=$runtime/state XDG_DATA_HOME=$runtime/data
unset PULSE_SINK PULSE_SOURCE PULSE_SERVER PULSE_RUNTIME_PATH PIPEWIRE_RUNTIME_DIR PIPEWIRE_REMOTE
bus=unix:path=$runtime/bus
servers=()

cleanup() {
  stop_tones
  local i
  # The reverse of the start: the PulseAudio face, the session manager, the
  # server, the bus.
  for ((i = ${#servers[@]} - 1; i >= 0; i--)); do
    kill "${servers[i]}" 2>/dev/null
    wait "${servers[i]}" 2>/dev/null
  done
  wait 2>/dev/null
  rm -rf "$runtime"
}
trap cleanup EXIT

fail_start() {
  echo "with_pipewire: $1 did not start" >&2
  local log
  for log in "$runtime"/*.log; do
    [ -s "$log" ] && { echo "--- $(basename "$log")" >&2; tail -n 20 "$log" >&2; }
  done
  exit 1
}

# Starts a server in the background; it gets SIGTERM when this script ends,
# however it ends.
start() {
  local name=$1
  shift
  DBUS_SESSION_BUS_ADDRESS=$bus setpriv --pdeathsig TERM "$@" >"$runtime/$name.log" 2>&1 &
  servers+=($!)
}
alive() { kill -0 "${servers[-1]}" 2>/dev/null; }
wait_for() {
  local _
  for _ in $(seq 100); do
    "$@" && return 0
    alive || return 1
    sleep 0.1
  done
  return 1
}

# No sound cards, cameras or Bluetooth: only what the tests make.
mkdir -p "$XDG_CONFIG_HOME/wireplumber/main.lua.d" "$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d"
cat >"$XDG_CONFIG_HOME/wireplumber/main.lua.d/51-private-test-server.lua" <<'EOF'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
EOF
echo 'bluez_monitor.enabled = false' >"$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d/51-private-test-server.lua"

start dbus dbus-daemon --session --nofork --nopidfile --address="$bus"
wait_for test -S "$runtime/bus" || fail_start "the D-Bus session bus"
start pipewire pipewire
wait_for test -S "$runtime/pipewire-0" || fail_start "the PipeWire server"
start wireplumber wireplumber
start pipewire-pulse pipewire-pulse
export PULSE_SERVER=unix:$runtime/pulse/native
wait_for pactl info >/dev/null 2>&1 || fail_start "pipewire-pulse"
# WirePlumber is up once it has picked a default output (pipewire-pulse's
# own placeholder sink, until the tests' sinks come).
wireplumber_ready() { pactl get-default-sink 2>/dev/null | grep -qv '^@DEFAULT_SINK@$'; }
for _ in $(seq 100); do
  wireplumber_ready && break
  kill -0 "${servers[2]}" 2>/dev/null || break
  sleep 0.1
done
wireplumber_ready || fail_start "WirePlumber"

desktop_sound_devices
feed_tones

"$@"
