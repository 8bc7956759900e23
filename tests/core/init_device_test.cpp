// The whole programming sequence, transfer by transfer, against the register
// tables of the bridge, decoder and codec, for every standard and input.
#include <gtest/gtest.h>
#include <libusb.h>

#include "capture/stick_programming.h"
#include "sim/in_process_backend.h"
#include "tests/support/message_log.h"
#include "tests/support/programming_tables.h"
#include "tests/support/stick_fixture.h"

namespace {

struct programmed : opened_stick_fixture {
  capture_settings settings = capture_settings::for_standard(standard::pal, false);
  void select(standard std, bool s_video) { settings = capture_settings::for_standard(std, s_video); }
  // A pass that follows the input unless a channel is chosen.
  programming_result program(int chosen_channel = -1) { return program_stick(link, settings, chosen_channel); }
};
using outcome = programming_result::outcome;

TEST_F(programmed, every_standard_and_input_writes_the_tables_in_order) {
  for (standard std : {standard::ntsc, standard::pal, standard::pal_60}) {
    for (bool s_video : {false, true}) {
      for (int chosen : {-1, 1, 3}) {
        SCOPED_TRACE(testing::Message() << "standard " << int(std) << " s_video " << s_video << " channel " << chosen);
        // A stick of its own: the fixture's link holds the other one.
        auto own = std::make_shared<virtual_stick>();
        in_process_backend own_backend;
        own_backend.add(own);
        stick_link fresh(&own_backend);
        ASSERT_TRUE(fresh.claim().claimed);
        own->clear_log();

        const programming_result r = program_stick(fresh, capture_settings::for_standard(std, s_video), chosen);
        ASSERT_EQ(r.end, outcome::ready);

        const auto expected = expected_programming(std, s_video, chosen).ops;
        const auto actual = programming_log(*own);
        ASSERT_EQ(actual.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(actual[i], expected[i]) << "transfer " << i;
        EXPECT_FALSE(r.codec_missing);
        EXPECT_EQ(r.channel, chosen >= 0 ? chosen : s_video ? 0 : 2);

        // What the stick now holds.
        EXPECT_EQ(own->decoder(0x02), s_video ? 0xC9 : 0xC0);
        EXPECT_EQ(own->decoder(0x08) & 0x40, std != standard::pal ? 0x40 : 0);
        EXPECT_EQ((own->decoder(0x0E) >> 4) & 7, std == standard::pal_60 ? 1 : 0);
        EXPECT_EQ(own->codec(0x1C), 0x0505);
        EXPECT_EQ(own->codec(0x1A), 0x0404);
        EXPECT_TRUE(own->capture_enabled());
      }
    }
  }
  EXPECT_TRUE(messages.messages().isEmpty()) << messages.messages().join("\n").toStdString();
}

TEST_F(programmed, fifty_four_decoder_writes_each_pass) {
  select(standard::pal, false);
  ASSERT_EQ(program().end, outcome::ready);
  int decoder_writes = 0;
  for (const auto& op : stick->log())
    if (op.kind == stick_op_kind::decoder_write) ++decoder_writes;
  EXPECT_EQ(decoder_writes, 54);
}

TEST_F(programmed, channel_follows_the_input_until_one_is_chosen) {
  select(standard::pal, true);
  EXPECT_EQ(program().channel, 0);
  EXPECT_EQ(stick->bridge(0x000), 0x80);
  select(standard::pal, false);
  EXPECT_EQ(program().channel, 2);
  EXPECT_EQ(stick->bridge(0x000), 0x90);

  select(standard::pal, true);  // the routing now follows the channel only
  const programming_result r = program(1);
  ASSERT_EQ(r.end, outcome::ready);
  EXPECT_EQ(stick->bridge(0x000), 0x88);
  EXPECT_EQ(r.channel, 1);
}

TEST_F(programmed, a_silent_codec_is_reported_and_programming_goes_on) {
  stick_faults f;
  f.codec_silent = true;
  stick->set_faults(f);
  const programming_result r = program();
  ASSERT_EQ(r.end, outcome::ready);
  EXPECT_TRUE(r.codec_missing);
  EXPECT_TRUE(stick->capture_enabled());
  EXPECT_EQ(stick->bridge(0x000), 0x90);
}

TEST_F(programmed, one_nonzero_identification_byte_means_a_codec_is_there) {
  for (auto [id1, id2] : {std::pair{0x0000, 0x0100}, {0x0001, 0x0000}}) {
    link.write_codec_register(0x7C, uint16_t(id1));
    link.write_codec_register(0x7E, uint16_t(id2));
    // The programming itself does not touch the identification registers.
    EXPECT_FALSE(program().codec_missing) << id1 << " " << id2;
  }
  link.write_codec_register(0x7C, 0);
  link.write_codec_register(0x7E, 0);
  EXPECT_TRUE(program().codec_missing);
}

TEST_F(programmed, a_refused_alternate_setting_ends_the_programming) {
  stick_faults f;
  f.refuse_alternate = true;
  stick->set_faults(f);
  EXPECT_EQ(program().end, outcome::streaming_refused) << "the stick is there: it is told why it cannot stream";
  EXPECT_TRUE(messages.contains(capture_category,
                                "capture: selecting alternate setting 5 of the video interface for "
                                "streaming failed (libusb: LIBUSB_ERROR_IO)"))
      << messages.messages().join("\n").toStdString();

  const auto log = programming_log(*stick);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().kind, stick_op_kind::set_alternate) << "nothing may follow the refused alternate setting";
  EXPECT_FALSE(stick->capture_enabled());
  EXPECT_EQ(stick->bridge(0x100) & 0x80, 0);
}

TEST_F(programmed, failed_writes_are_logged_and_programming_continues) {
  stick_faults f;
  f.control_results[0x350] = LIBUSB_ERROR_PIPE;
  f.serial_status = 0x0C;
  stick->set_faults(f);
  ASSERT_EQ(program().end, outcome::ready);
  EXPECT_EQ(
      messages.count(capture_category, "capture: writing bridge register 0x0350 failed (libusb: LIBUSB_ERROR_PIPE)"),
      1);
  EXPECT_EQ(messages.count(capture_category, "capture: writing decoder register "), 54);
  EXPECT_TRUE(stick->capture_enabled());
}

}  // namespace
