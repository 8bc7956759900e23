#!/usr/bin/env bash
# Runs a command against a private PulseAudio server started for it, with the
# inputs a Linux desktop with the stick plugged in would list, named as the
# sound server names them (desktop_sound_devices.sh):
#   - the computer's own input, the default, carrying a 2500 Hz tone;
#   - another vendor's capture stick whose product string is the same as the
#     stick's ("USB 2.0 Video Capture Controller"), listed before the stick,
#     carrying the same 2500 Hz tone: a look-alike that must not be chosen;
#   - the stick's sound function, named after its USB identity and described
#     from the hardware database, carrying a 1000 Hz tone (with
#     OSTREVIN_STICK_SOUND=emulated, nothing: the emulator or the test plays
#     the stick's own sound into stick_feed);
#   - "preview", a null sink and the default output; tests listen to its
#     monitor to hear what the program plays.
# Nothing is called "USB Audio Interface", as on Linux. with_pipewire.sh
# offers the same through PipeWire.
# The server, the tone feeders and the runtime directory go away afterwards.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/desktop_sound_devices.sh"
sound_server=with_pulse

runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR=$runtime
export PULSE_SERVER=unix:$runtime/pulse/native
unset PULSE_SINK PULSE_SOURCE

cleanup() {
  stop_tones
  pactl exit >/dev/null 2>&1 || pulseaudio -k >/dev/null 2>&1
  wait 2>/dev/null
  rm -rf "$runtime"
}
trap cleanup EXIT

pulseaudio --daemonize=yes --exit-idle-time=-1 -n --load=module-native-protocol-unix \
  --log-target=file:"$runtime/pulse.log" 2>/dev/null
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
if ! pactl info >/dev/null 2>&1; then
  echo "with_pulse: the PulseAudio server did not start" >&2
  cat "$runtime/pulse.log" >&2
  exit 1
fi

desktop_sound_devices
feed_tones

"$@"
