// Listens to what the program plays and changes the sound server's devices,
// against the private PulseAudio server that tests/support/with_pulse.sh
// starts: the stick's input named as a desktop names it, with a 1000 Hz tone;
// the default input and a look-alike stick with a 2500 Hz tone; the default
// output "preview".
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace pulse_probe {

constexpr double stick_tone_hz = 1000.0;
constexpr double line_in_tone_hz = 2500.0;

// The stick's input as the sound server lists it.
constexpr char stick_source[] = "alsa_input.usb-Syntek_Semiconductor_USB_2.0_Video_Capture_Controller-01.analog-stereo";
constexpr char stick_description[] = "STK1160 Video Capture Device Analog Stereo";
constexpr char lookalike_source[] = "alsa_input.usb-Generic_USB_2.0_Video_Capture_Controller-01.analog-stereo";

// Whether the test server is there (PULSE_SERVER set by with_pulse.sh).
bool server_available();

// Interleaved stereo samples that reached the preview sink during `ms`
// milliseconds; the Qt event loop keeps running meanwhile.
std::vector<int16_t> record_preview(int ms);

// Amplitude (0 … 32767) of one frequency in the left channel (Goertzel).
double tone_level(const std::vector<int16_t>& stereo, double hz);
// Largest absolute sample value.
int peak(const std::vector<int16_t>& stereo);

// pactl with arguments; returns its standard output, or a null string when it failed.
QString pactl(const QStringList& arguments);
// Loads a source described as `description` carrying the stick's tone; returns
// the module index, or -1.
int load_source(const QString& name, const QString& description);
void unload_module(int index);
// The module that provides the named source, or -1.
int module_of_source(const QString& source_name);
// Waits until Qt lists (or no longer lists) an input with that id.
bool wait_for_input(const QString& id, bool present, int timeout_ms = 5000);

}  // namespace pulse_probe
