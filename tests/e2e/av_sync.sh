#!/usr/bin/env bash
# Sound and picture stay together in a recording: the real ostrevin binary
# records (PAL, the stick's sound) from the emulated stick while the stick
# plays its own sound, a tone with a click whenever a field with the
# picture's sync mark starts on the bus, and its field clock runs fast
# against the sound's. av_offsets pairs each mark in the file with its click;
# the offsets may sit anywhere, but must stay where the first one was.
#
# Environment (the defaults are CTest's run):
#   AV_SECONDS          how long to record (40; 0: only the split recording)
#   AV_CLOCK_PPM        how fast the stick's field clock runs, ppm (1000)
#   AV_SPREAD_LIMIT_MS  how far any mark's offset may stray from the first
#                       mark's, ms, or "none" to only report it (20: a
#                       sound server that changes its buffering for good
#                       in the middle of a recording moves the sound's
#                       arrivals, which no arrival time can tell from a
#                       clock, by up to some 15 ms; 20 ms is below what
#                       anyone notices, and half of what the stick's
#                       1000 ppm would drift uncorrected over the 40 s, or
#                       of a frame lost or repeated out of its place)
#   AV_SETTLE_SECONDS   how long the program runs before recording (12)
#   AV_KEEP             a path to keep the recording at
#   AV_SPLIT_SECONDS    then how long to record under a file-size limit of
#                       AV_SPLIT_MB (32), so that the recording goes on in
#                       several files: every file's marks must stay within
#                       the spread limit of the first file's first (15; 0:
#                       no such recording)
# The stick's sound must be the emulator's alone: with_pulse.sh leaves
# stick_feed to it with OSTREVIN_STICK_SOUND=emulated (CTest sets it);
# otherwise the tone feeder it started is muted here.
# Optional 4th argument: av_offsets (default: next to the X client).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/x_session.sh"
av_offsets=$(realpath -m "${4:-$(dirname "$3")/av_offsets}")
keep=${AV_KEEP:+$(realpath -m "$AV_KEEP")}
e2e_session "$@"
[ -n "${PULSE_SERVER:-}" ] || fail "no test sound server: run under tests/support/with_pulse.sh"
[ -x "$av_offsets" ] || fail "no av_offsets at $av_offsets"
seconds=${AV_SECONDS:-40}
ppm=${AV_CLOCK_PPM:-1000}
limit=${AV_SPREAD_LIMIT_MS:-20}

# Anything already playing into stick_feed (with_pulse.sh's tone feeder) is
# muted: the clicks must be the only loud thing there.
stick_feed=$(pactl list short sinks | awk '$2 == "stick_feed" { print $1 }')
[ -n "$stick_feed" ] || fail "the sound server has no stick_feed sink"
while read -r input sink _; do
  [ "$sink" = "$stick_feed" ] && pactl set-sink-input-mute "$input" 1
done < <(pactl list short sink-inputs)

prefs_dir=$HOME/.local/share/ostrevin
mkdir -p "$prefs_dir"
# PAL, composite, the stick's sound (byte 5), interlaced display.
printf '\x00\x00\x00\x00\x01\x00\x00\x01\x00' >"$prefs_dir/ostrevin_preferences"

# The recorder's account of the sync (its clocks, cuts and paddings) goes
# to the log, for a failure to be read.
QT_LOGGING_RULES="ostrevin.record.debug=true" \
  "$emulator" --sound --clock-ppm="$ppm" -- "$ostrevin" >"$work/run.log" 2>&1 &
pid=$!
main_window >/dev/null || { cat "$work/run.log"; fail "no main window"; }
# Streaming, and the stick's sound found; then a while for the sound
# server's buffers to settle after the input's start (its delays shrink by
# several ms over the first seconds), as before any recording a person makes.
sleep "${AV_SETTLE_SECONDS:-12}"
pactl list sink-inputs | grep -q 'application.name = "ostrevin-virtual-stick"' ||
  { cat "$work/run.log"; fail "the emulator plays nothing into the sound server"; }
echo "the emulated stick plays into stick_feed, field clock at $ppm ppm"

if [ "$seconds" -gt 0 ]; then
  start_recording "$work/av"
  sleep "$seconds"
  stop_recording
  for _ in $(seq 100); do grep -q "recording stopped:" "$work/run.log" && break; sleep 0.1; done
fi

# A recording split by a file-size limit (as on a FAT disk, 4 GiB): the
# program's own limit is lowered while it runs, and each file ends whole
# below it, with the sound of its own pictures.
split_seconds=${AV_SPLIT_SECONDS:-15}
if [ "$split_seconds" -gt 0 ]; then
  program=$(pgrep -P $pid) || fail "the program died"
  prlimit --pid "$program" --fsize=$((${AV_SPLIT_MB:-32} << 20)) || fail "cannot lower the file-size limit"
  start_recording "$work/split"
  sleep "$split_seconds"
  stop_recording
  for _ in $(seq 100); do [ "$(grep -c "recording stopped:" "$work/run.log")" -ge $((seconds > 0 ? 2 : 1)) ] && break; sleep 0.1; done
fi
"$x_window" close "$(main_window)"
wait_exit $pid 30 || fail "the window did not close"
pid=""
[ "$exit_code" -eq 0 ] || { cat "$work/run.log"; fail "exit code $exit_code after close"; }
grep -E "recording|clicks came too late" "$work/run.log"
if [ "$seconds" -gt 0 ]; then
  [ -n "$keep" ] && cp "$work/av.avi" "$keep"

  "$av_offsets" "$work/av.avi" >"$work/offsets.txt" 2>"$work/offsets.err"
  status=$?
  cat "$work/offsets.txt"
  [ "$status" -eq 0 ] || { cat "$work/offsets.err"; fail "av_offsets: exit status $status"; }

  # The summary's values by name: "marks M offset first X ms last X ms ...".
  summary() { awk -v key="$1" '$1 == "marks" { for (i = 1; i < NF; ++i) if ($i == key) print $(i + 1) }' "$work/offsets.txt"; }
  marks=$(summary marks) first=$(summary first) spread=$(summary spread) drift=$(summary drift)
  low=$(summary min) high=$(summary max)
  [ -n "$spread" ] || fail "no summary from av_offsets"
  # A mark a second; the first and last few may miss the file's sound.
  [ "$marks" -ge $((seconds * 3 / 4)) ] || fail "only $marks marks paired with clicks in $seconds s"
  # How far any mark strays from the first.
  worst=$(awk -v f="$first" -v lo="$low" -v hi="$high" 'BEGIN { a = hi - f; b = f - lo; printf "%.1f", (a > b ? a : b) }')
  echo "A/V offset: $first ms at first, every mark within $worst ms of it (spread $spread ms, drift $drift ms)" \
    "over $marks marks ($ppm ppm)"
  if [ "$limit" != none ]; then
    awk -v w="$worst" -v l="$limit" 'BEGIN { exit !(w <= l) }' ||
      fail "a mark's sound strays $worst ms from where the first one was, more than $limit ms"
  fi
fi

[ "$split_seconds" -gt 0 ] || exit 0
# Every file's marks where the first file's first one was: the offset holds
# across the splits (each split used to move it by up to a frame, for good).
files=("$work/split.avi")
for n in $(seq 2 99); do
  [ -e "$work/split$n.avi" ] || break
  files+=("$work/split$n.avi")
done
[ "${#files[@]}" -ge 3 ] || fail "the size limit split the recording into ${#files[@]} files, not 3 or more"
reference="" split_worst=0
for file in "${files[@]}"; do
  "$av_offsets" "$file" >"$work/split-offsets.txt" 2>"$work/split-offsets.err"
  status=$?
  # The last file may be too short for a mark.
  if [ "$status" -eq 3 ] && [ "$file" = "${files[-1]}" ]; then continue; fi
  [ "$status" -eq 0 ] || { cat "$work/split-offsets.err"; fail "av_offsets $(basename "$file"): exit status $status"; }
  # A file a split closed holds the sound of its pictures, to the sample.
  if [ "$file" != "${files[-1]}" ]; then
    awk '$1 == "#" && $3 == "frames" { if ($8 != $2 * 1920) { print "sound " $8 " samples, pictures " $2 * 1920; exit 1 } }' \
      "$work/split-offsets.txt" || fail "$(basename "$file") does not hold the sound of its own pictures"
  fi
  line=$(awk '$1 == "marks"' "$work/split-offsets.txt")
  first_here=$(awk '$1 == "marks" { print $5 }' "$work/split-offsets.txt")
  [ -n "$reference" ] || reference=$first_here
  worst_here=$(awk -v r="$reference" '$1 == "mark" && $9 == "offset" { d = $10 - r; if (d < 0) d = -d; if (d > w) w = d }
    END { printf "%.1f", w }' "$work/split-offsets.txt")
  echo "$(basename "$file"): $line; every mark within $worst_here ms of the first file's first ($reference ms)"
  split_worst=$(awk -v a="$split_worst" -v b="$worst_here" 'BEGIN { print (b > a ? b : a) }')
done
echo "split recording: ${#files[@]} files, every mark within $split_worst ms of the first file's first"
if [ "$limit" != none ]; then
  awk -v w="$split_worst" -v l="$limit" 'BEGIN { exit !(w <= l) }' ||
    fail "across the split files a mark's sound strays $split_worst ms from the first one's, more than $limit ms"
fi
