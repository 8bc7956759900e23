#include "capture/stick_programming.h"

#include <libusb.h>

#include <cmath>

#include "capture/device_registers.h"

using namespace easycap;

namespace {

// Nearest step for a level in [0, 1]; halves go away from zero.
uint16_t level_step(double level, int steps) { return uint16_t(std::lround(level * steps)); }
// The same step for both channels of an AC'97 stereo register.
uint16_t both_channels(uint16_t step) { return uint16_t(step << 8 | step); }

}  // namespace

void write_picture_controls(stick_link& link, const picture_controls& wanted, const picture_controls* in_force) {
  const picture_controls p = wanted.clamped();
  // One byte each; the hue is a two's complement phase.
  const auto write = [&](uint8_t reg, int value, int was) {
    if (!in_force || value != was) link.write_decoder_register(reg, uint16_t(value & 0xFF));
  };
  const picture_controls was = in_force ? *in_force : picture_controls{};
  write(decoder_brightness, p.brightness, was.brightness);
  write(decoder_contrast, p.contrast, was.contrast);
  write(decoder_saturation, p.saturation, was.saturation);
  write(decoder_hue, p.hue, was.hue);
}

programming_result program_stick(stick_link& link, const capture_settings& settings, int chosen_channel) {
  return program_stick(link, settings,
                       [chosen_channel](int followed) { return chosen_channel >= 0 ? chosen_channel : followed; });
}

programming_result program_stick(stick_link& link, const capture_settings& settings,
                                 const std::function<int(int followed)>& route, const std::function<void()>& no_codec) {
  programming_result r;
  const bool is_sixty_hz = settings.sixty_hz();
  const bool is_s_video = settings.s_video;
  link.begin_pass();
  struct pass_scope {
    stick_link& link;
    ~pass_scope() { link.end_pass(); }
  } scope{link};

  for (const register_write& w : bridge_startup) link.write_register(w.reg, w.value);
  for (const register_write& w : bridge_configuration) link.write_register(w.reg, w.value);
  link.write_register(capture_control, capture_control_idle);

  for (const register_write& w : decoder_table(is_s_video, is_sixty_hz, settings.pal_60()))
    link.write_decoder_register(uint8_t(w.reg), w.value);
  for (int reg = decoder_line_control_first; reg <= decoder_line_control_last; ++reg)
    link.write_decoder_register(uint8_t(reg), decoder_line_control_value);

  write_picture_controls(link, settings.picture);

  // Audio codec: reset, link on, record from line in at a fixed gain.
  link.write_codec_register(ac97_reset_register, 0x0000);
  link.write_register(codec_link_enable, 0x01);
  link.write_register(codec_link_control, 0x00);
  link.write_codec_register(ac97_record_select, ac97_record_line_in);
  link.write_codec_register(ac97_line_in_volume,
                            both_channels(level_step(1.0 - line_in_level, line_in_attenuation_steps)));
  link.write_codec_register(ac97_record_gain, both_channels(level_step(record_gain_level, record_gain_steps)));

  // A codec that is not there reads back zeros in both identification registers.
  const uint16_t id1 = link.read_codec_register(ac97_vendor_id1);
  const uint16_t id2 = link.read_codec_register(ac97_vendor_id2);
  // (Zeros from reads that were skipped say nothing.)
  r.codec_missing = id1 == 0 && id2 == 0 && !link.skipping();
  if (r.codec_missing && no_codec) no_codec();

  r.channel = route(is_s_video ? s_video_channel : composite_channel);
  link.write_register(input_routing, routing_value(r.channel));
  link.write_register(input_select, input_select_value);

  const int lines = is_sixty_hz ? frame_lines_60hz : frame_lines_50hz;
  link.write_register(window_start_x, uint16_t((full_line_pixels - capture_settings::line_pixels) * 2));
  link.write_register(window_start_x_high, 0);
  link.write_register(window_start_y, uint16_t((lines - settings.frame_lines()) / 2));
  link.write_register(window_start_y_high, 0);
  link.write_register(window_end_x, window_end_x_bytes);
  link.write_register(window_end_x_high, window_end_x_high_value);
  link.write_register(window_end_y, is_sixty_hz ? window_end_y_60hz : window_end_y_50hz);
  link.write_register(window_end_y_high, is_sixty_hz ? window_end_y_high_60hz : window_end_y_high_50hz);

  // A pass cut short (a close, a stick that stopped answering) starts nothing.
  if (link.skipping()) return r;
  const int result = link.select_streaming_alternate();
  if (result < 0) {
    r.end = result == LIBUSB_ERROR_NO_DEVICE ? programming_result::outcome::gone
                                             : programming_result::outcome::streaming_refused;
    return r;
  }

  const uint8_t control = link.read_register(capture_control);
  link.write_register(capture_control, uint16_t((control & 0x7F) | capture_enable));
  if (!link.skipping()) r.end = programming_result::outcome::ready;
  return r;
}
