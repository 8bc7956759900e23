// Everything the capture thread writes to the stick, in one place: the
// bridge's control requests and registers, the serial bus to the video
// decoder, the AC'97 codec path and the programming tables.
#pragma once

#include <array>
#include <cstdint>

namespace easycap {

// USB identity and layout.
constexpr uint16_t vendor_id = 0x05E1;
constexpr uint16_t product_id = 0x0408;
constexpr int configuration = 1;
constexpr int interface_number = 0;
constexpr int streaming_alternate = 5;
constexpr unsigned char video_endpoint = 0x82;
constexpr int control_timeout_ms = 5000;
// What every stick reports of itself, for when the system does not say.
constexpr char usb_manufacturer[] = "Syntek Semiconductor";
constexpr char usb_product[] = "USB 2.0 Video Capture Controller";
constexpr int sound_interface = 1;  // the USB audio function's control interface

// Control requests to the bridge.
constexpr int read_request_type = 0xC0;  // device-to-host, vendor, device
constexpr int read_request = 0x00;
constexpr int write_request_type = 0x40;  // host-to-device, vendor, device
constexpr int write_request = 0x01;
constexpr int feature_request_type = 0x00;  // host-to-device, standard, device
constexpr int set_feature_request = 0x03;

// Bridge registers (16-bit numbers, 8-bit contents).
constexpr uint16_t input_routing = 0x000;
constexpr uint16_t input_select = 0x002;
constexpr uint16_t capture_control = 0x100;
constexpr uint8_t capture_enable = 0x80;  // bit 7 of capture_control
constexpr uint16_t window_start_x = 0x110;
constexpr uint16_t window_start_x_high = 0x111;
constexpr uint16_t window_start_y = 0x112;
constexpr uint16_t window_start_y_high = 0x113;
constexpr uint16_t window_end_x = 0x114;
constexpr uint16_t window_end_x_high = 0x115;
constexpr uint16_t window_end_y = 0x116;
constexpr uint16_t window_end_y_high = 0x117;
constexpr uint16_t serial_control = 0x200;
constexpr uint16_t serial_status = 0x201;
constexpr uint16_t serial_address = 0x203;  // the slave's 8-bit address
constexpr uint16_t serial_subaddress = 0x204;
constexpr uint16_t serial_data = 0x205;
constexpr uint16_t serial_read_subaddress = 0x208;
constexpr uint16_t serial_read_data = 0x209;
constexpr uint16_t codec_command = 0x500;
constexpr uint16_t codec_data_low = 0x502;
constexpr uint16_t codec_data_high = 0x503;
constexpr uint16_t codec_register = 0x504;
constexpr uint16_t codec_link_enable = 0x506;
constexpr uint16_t codec_link_control = 0x507;

constexpr uint16_t serial_start_write = 0x01;
constexpr uint8_t serial_write_done = 0x04;
constexpr uint16_t codec_write_command = 0x8C;
constexpr uint16_t codec_read_command = 0x8B;
constexpr int serial_settle_us = 500;  // the bridge needs this before the status is valid
// A read: the bridge fetches the byte over the serial bus after the start;
// bit 0 of the status shows it done. Polled, as the kernel's stk1160 driver
// polls it, up to a limit; the bus takes a few hundred microseconds.
constexpr uint16_t serial_start_read = 0x20;
constexpr uint8_t serial_read_done = 0x01;
constexpr int serial_read_poll_us = 1000;
constexpr int serial_read_limit_us = 100000;
constexpr int status_timeout_ms = 250;  // each transfer of a status read
constexpr uint8_t decoder_serial_address = 0x4A;

// AC'97 registers.
constexpr uint8_t ac97_line_in_volume = 0x10;
constexpr uint8_t ac97_record_select = 0x1A;
constexpr uint8_t ac97_record_gain = 0x1C;
constexpr uint8_t ac97_vendor_id1 = 0x7C;
constexpr uint8_t ac97_vendor_id2 = 0x7E;
constexpr uint8_t ac97_reset_register = 0x94;
constexpr uint16_t ac97_record_line_in = 0x0404;  // record select: line in, both channels
constexpr double line_in_level = 1.0;             // full level: attenuation step 0 of 31
constexpr double record_gain_level = 0.3;         // gain step 5 of 15
constexpr int line_in_attenuation_steps = 31;
constexpr int record_gain_steps = 15;

struct register_write {
  uint16_t reg;
  uint16_t value;
};

// Bridge start-up writes.
constexpr std::array<register_write, 6> bridge_startup{{
    {0x500, 0x94},
    {0x203, 0xA0},
    {0x003, 0x80},
    {0x001, 0x03},
    {0x000, 0x21},
    {0x002, 0x67},
}};

// Bridge configuration; the first write points the serial bus at the decoder.
constexpr std::array<register_write, 17> bridge_configuration{{
    {0x203, 0x4A},
    {0x00D, 0x00},
    {0x00F, 0x02},
    {0x103, 0x00},
    {0x018, 0x00},
    {0x01A, 0x14},
    {0x01B, 0x0E},
    {0x01C, 0x46},
    {0x019, 0x00},
    {0x300, 0x12},
    {0x350, 0x2D},
    {0x351, 0x01},
    {0x352, 0x00},
    {0x353, 0x00},
    {0x300, 0x80},
    {0x018, 0x10},
    {0x202, 0x0F},
}};

constexpr uint16_t capture_control_idle = 0x33;  // capture enable still clear

// Decoder (SAA711X) registers that depend on the standard and the input.
constexpr uint8_t decoder_input_control = 0x02;   // analogue input mode
constexpr uint8_t decoder_sync_control = 0x08;    // bit 6: 60 Hz / 525 lines
constexpr uint8_t decoder_chroma_control = 0x0E;  // bits 6:4: colour standard
constexpr uint8_t decoder_output_control = 0x88;
constexpr uint8_t decoder_brightness = 0x0A;
constexpr uint8_t decoder_contrast = 0x0B;
constexpr uint8_t decoder_saturation = 0x0C;
constexpr uint8_t decoder_hue = 0x0D;
// The decoder's status byte (read only). Bit 6 set: the horizontal and
// vertical loops are NOT locked (no signal); bit 5: the field rate it
// detects is 60 Hz (525 lines), else 50 Hz; meaningful only while locked.
constexpr uint8_t decoder_status = 0x1F;
constexpr uint8_t status_not_locked = 0x40;
constexpr uint8_t status_sixty_hz = 0x20;
constexpr uint8_t decoder_line_control_first = 0x41;  // 0x41..0x57 all 0xFF
constexpr uint8_t decoder_line_control_last = 0x57;
constexpr uint16_t decoder_line_control_value = 0xFF;

struct decoder_input_values {
  uint16_t input_control, output_control;
};
constexpr decoder_input_values composite_input{0xC0, 0x4A};
constexpr decoder_input_values s_video_input{0xC9, 0xCA};
constexpr uint16_t sync_50hz = 0x39;
constexpr uint16_t sync_60hz = 0x79;
constexpr uint16_t chroma_pal_ntsc = 0x01;
constexpr uint16_t chroma_pal_60 = 0x11;

// The decoder table; the four entries marked 0 are filled from the standard
// and input by decoder_table().
constexpr std::array<register_write, 27> decoder_table_template{{
    {0x01, 0x08}, {0x02, 0},    {0x03, 0x20}, {0x04, 0x90}, {0x05, 0x90}, {0x06, 0xEB}, {0x07, 0xE0},
    {0x08, 0},    {0x09, 0x00}, {0x0E, 0},    {0x0F, 0x2A}, {0x10, 0x06}, {0x11, 0x08}, {0x12, 0x00},
    {0x13, 0x00}, {0x14, 0x01}, {0x15, 0x11}, {0x16, 0xFE}, {0x17, 0xD8}, {0x18, 0x40}, {0x19, 0x80},
    {0x1A, 0x77}, {0x1B, 0x42}, {0x1C, 0xA9}, {0x1D, 0x01}, {0x83, 0x31}, {0x88, 0},
}};

constexpr std::array<register_write, 27> decoder_table(bool s_video, bool sixty_hz, bool pal_60) {
  auto table = decoder_table_template;
  const decoder_input_values& input = s_video ? s_video_input : composite_input;
  for (auto& w : table) {
    if (w.reg == decoder_input_control) w.value = input.input_control;
    if (w.reg == decoder_output_control) w.value = input.output_control;
    if (w.reg == decoder_sync_control) w.value = sixty_hz ? sync_60hz : sync_50hz;
    if (w.reg == decoder_chroma_control) w.value = pal_60 ? chroma_pal_60 : chroma_pal_ntsc;
  }
  return table;
}

// Input routing: 0x80 | channel << 3.
constexpr uint16_t routing_base = 0x80;
constexpr uint16_t routing_value(int channel) { return uint16_t(routing_base | (channel << 3)); }
constexpr uint16_t input_select_value = 0x98;
constexpr int composite_channel = 2;
constexpr int s_video_channel = 0;
constexpr int channel_count = 4;

// Bytes of one UYVY field as the bridge sends it: 720 pixels x 2 bytes x
// 240 lines (60 Hz) or 288 lines (50 Hz).
constexpr int field_bytes_60hz = 345600;
constexpr int field_bytes_50hz = 414720;

// Capture window: lines counted from the start of the frame.
constexpr int full_line_pixels = 720;
constexpr int frame_lines_60hz = 486;
constexpr int frame_lines_50hz = 578;
constexpr uint16_t window_end_x_bytes = 0x05A0;  // 720 pixels x 2 bytes
constexpr uint16_t window_end_x_high_value = 0x05;
constexpr uint16_t window_end_y_60hz = 243;
constexpr uint16_t window_end_y_50hz = 289;
constexpr uint16_t window_end_y_high_60hz = 0;
constexpr uint16_t window_end_y_high_50hz = 1;

}  // namespace easycap
