# Sourced by with_pulse.sh and with_pipewire.sh once their server answers on
# PULSE_SERVER: the inputs and outputs a Linux desktop with the stick plugged
# in would list, made through the PulseAudio protocol (pactl), so that both
# servers show the program the same names, descriptions and defaults:
#   - "preview", a null sink and the default output; tests listen to its
#     monitor to hear what the program plays;
#   - the computer's own input, the default, fed from the null sink line_feed;
#   - another vendor's capture stick whose product string is the same as the
#     stick's ("USB 2.0 Video Capture Controller"), listed before the stick,
#     fed from line_feed too: a look-alike that must not be chosen;
#   - the stick's sound function, named after its USB identity and described
#     from the hardware database, fed from the null sink stick_feed.
# Nothing is called "USB Audio Interface", as on Linux.
# The caller sets `sound_server` (its name in messages) and calls
# desktop_sound_devices, then feed_tones; stop_tones undoes feed_tones.

tone_feeders=()

desktop_sound_devices() {
  load() {
    pactl load-module "$@" >/dev/null || {
      echo "$sound_server: pactl load-module $1 failed" >&2
      exit 1
    }
  }
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
  # PipeWire's session manager makes the chosen defaults the server's a
  # moment later; PulseAudio has them at once.
  local _
  for _ in $(seq 100); do
    [ "$(pactl get-default-sink 2>/dev/null)" = preview ] &&
      [ "$(pactl get-default-source 2>/dev/null)" = alsa_input.pci-0000_00_1f.3.analog-stereo ] && return 0
    sleep 0.1
  done
  echo "$sound_server: the default output and input did not take: $(pactl get-default-sink) $(pactl get-default-source)" >&2
  exit 1
}

# The stick's input carries a 1000 Hz tone (with OSTREVIN_STICK_SOUND=emulated,
# nothing: the emulator or the test plays the stick's own sound into
# stick_feed); the computer's input and the look-alike carry 2500 Hz.
feed_tones() {
  tone() {
    ffmpeg -v quiet -nostdin -f lavfi -i "sine=frequency=$1:sample_rate=48000" -ac 2 -f s16le - |
      pacat --latency-msec=250 -d "$2" --rate=48000 --channels=2 --format=s16le --raw 2>/dev/null &
    tone_feeders+=($!)
  }
  [ "${OSTREVIN_STICK_SOUND:-}" = emulated ] || tone 1000 stick_feed
  tone 2500 line_feed
}

stop_tones() {
  local pid
  for pid in "${tone_feeders[@]}"; do kill "$pid" 2>/dev/null; done
}
