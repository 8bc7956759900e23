#!/usr/bin/env bash
# Runs a command against a private PulseAudio server started for it, with the
# inputs a Linux desktop with the stick plugged in would list, named as the
# sound server names them:
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
# Nothing is called "USB Audio Interface", as on Linux.
# The server, the tone feeders and the runtime directory go away afterwards.
set -uo pipefail

runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR=$runtime
export PULSE_SERVER=unix:$runtime/pulse/native
unset PULSE_SINK PULSE_SOURCE
feeders=()

cleanup() {
  for pid in "${feeders[@]}"; do kill "$pid" 2>/dev/null; done
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

load() { pactl load-module "$@" >/dev/null || exit 1; }
load module-null-sink sink_name=preview rate=48000 channels=2 \
  "sink_properties='device.description=\"Preview Output\"'"
# Qt 6.4 can miss the server's default source when the source list arrives
# before the server information; it then takes the first source listed, so
# line-in is created first to be the default input either way.
load module-null-sink sink_name=line_feed rate=48000 channels=2 \
  "sink_properties='device.description=\"line feed\"'"
load module-remap-source source_name=alsa_input.pci-0000_00_1f.3.analog-stereo master=line_feed.monitor channels=2 \
  "source_properties='device.description=\"Built-in Audio Analog Stereo\"'"
load module-remap-source source_name=alsa_input.usb-Generic_USB_2.0_Video_Capture_Controller-01.analog-stereo \
  master=line_feed.monitor channels=2 \
  "source_properties='device.description=\"USB 2.0 Video Capture Controller Analog Stereo\"'"
load module-null-sink sink_name=stick_feed rate=48000 channels=2 \
  "sink_properties='device.description=\"stick feed\"'"
load module-remap-source \
  source_name=alsa_input.usb-Syntek_Semiconductor_USB_2.0_Video_Capture_Controller-01.analog-stereo \
  master=stick_feed.monitor channels=2 \
  "source_properties='device.description=\"STK1160 Video Capture Device Analog Stereo\"'"
pactl set-default-sink preview
pactl set-default-source alsa_input.pci-0000_00_1f.3.analog-stereo

tone() {
  ffmpeg -v quiet -nostdin -f lavfi -i "sine=frequency=$1:sample_rate=48000" -ac 2 -f s16le - |
    pacat --latency-msec=20 -d "$2" --rate=48000 --channels=2 --format=s16le --raw 2>/dev/null &
  feeders+=($!)
}
[ "${OSTREVIN_STICK_SOUND:-}" = emulated ] || tone 1000 stick_feed
tone 2500 line_feed

"$@"
