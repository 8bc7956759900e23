// The whole programming sequence, transfer by transfer, against the register
// tables of the bridge, decoder and codec, for every standard and input.
#include <gtest/gtest.h>
#include <libusb.h>

#include <QSignalSpy>

#include "capture/capture_thread.h"
#include "sim/in_process_backend.h"
#include "tests/support/message_log.h"
#include "tests/support/programming_tables.h"
#include "tests/support/stick_fixture.h"

namespace {

struct programmed : opened_stick_fixture {
  void select(standard std, bool s_video) { thread.set_settings(capture_settings::for_standard(std, s_video)); }
};

TEST_F(programmed, every_standard_and_input_writes_the_tables_in_order) {
  for (standard std : {standard::ntsc, standard::pal, standard::pal_60}) {
    for (bool s_video : {false, true}) {
      for (int chosen : {-1, 1, 3}) {
        SCOPED_TRACE(testing::Message() << "standard " << int(std) << " s_video " << s_video << " channel " << chosen);
        // A stick of its own: the fixture's thread holds the other one.
        auto own = std::make_shared<virtual_stick>();
        in_process_backend own_backend;
        own_backend.add(own);
        capture_thread fresh;
        fresh.backend = &own_backend;
        fresh.set_settings(capture_settings::for_standard(std, s_video));
        ASSERT_TRUE(fresh.open_device());
        if (chosen >= 0) fresh.set_input(chosen);
        own->clear_log();
        QSignalSpy audio_missing(&fresh, &capture_thread::easycap_audio_not_found);

        ASSERT_TRUE(fresh.init_device());

        const auto expected = expected_programming(std, s_video, chosen).ops;
        const auto actual = programming_log(*own);
        ASSERT_EQ(actual.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(actual[i], expected[i]) << "transfer " << i;
        EXPECT_EQ(audio_missing.count(), 0);
        EXPECT_EQ(fresh.channel(), chosen >= 0 ? chosen : s_video ? 0 : 2);

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
  ASSERT_TRUE(thread.init_device());
  int decoder_writes = 0;
  for (const auto& op : stick->log())
    if (op.kind == stick_op_kind::decoder_write) ++decoder_writes;
  EXPECT_EQ(decoder_writes, 54);
}

TEST_F(programmed, channel_follows_the_input_until_one_is_chosen) {
  select(standard::pal, true);
  ASSERT_TRUE(thread.init_device());
  EXPECT_EQ(stick->bridge(0x000), 0x80);
  EXPECT_EQ(thread.channel(), 0);
  select(standard::pal, false);
  ASSERT_TRUE(thread.init_device());
  EXPECT_EQ(stick->bridge(0x000), 0x90);
  EXPECT_EQ(thread.channel(), 2);

  thread.set_input(2);  // already in use: nothing changes
  EXPECT_FALSE(thread.channel_chosen());
  EXPECT_FALSE(thread.stop_requested.load());

  thread.set_input(1);
  ASSERT_TRUE(thread.channel_chosen());
  select(standard::pal, true);  // the routing now follows the channel only
  ASSERT_TRUE(thread.init_device());
  EXPECT_EQ(stick->bridge(0x000), 0x88);
  EXPECT_EQ(thread.channel(), 1);
}

TEST_F(programmed, a_silent_codec_is_reported_and_programming_goes_on) {
  stick_faults f;
  f.codec_silent = true;
  stick->set_faults(f);
  QSignalSpy audio_missing(&thread, &capture_thread::easycap_audio_not_found);
  QSignalSpy not_found(&thread, &capture_thread::capture_device_not_found);
  ASSERT_TRUE(thread.init_device());
  EXPECT_EQ(audio_missing.count(), 1);
  EXPECT_EQ(not_found.count(), 0);
  EXPECT_TRUE(stick->capture_enabled());
  EXPECT_EQ(stick->bridge(0x000), 0x90);
}

TEST_F(programmed, one_nonzero_identification_byte_means_a_codec_is_there) {
  for (auto [id1, id2] : {std::pair{0x0000, 0x0100}, {0x0001, 0x0000}}) {
    thread.write_codec_register(0x7C, uint16_t(id1));
    thread.write_codec_register(0x7E, uint16_t(id2));
    // The programming itself does not touch the identification registers.
    QSignalSpy audio_missing(&thread, &capture_thread::easycap_audio_not_found);
    ASSERT_TRUE(thread.init_device());
    EXPECT_EQ(audio_missing.count(), 0) << id1 << " " << id2;
  }
  thread.write_codec_register(0x7C, 0);
  thread.write_codec_register(0x7E, 0);
  QSignalSpy audio_missing(&thread, &capture_thread::easycap_audio_not_found);
  ASSERT_TRUE(thread.init_device());
  EXPECT_EQ(audio_missing.count(), 1);
}

TEST_F(programmed, a_refused_alternate_setting_ends_the_programming) {
  stick_faults f;
  f.refuse_alternate = true;
  stick->set_faults(f);
  QSignalSpy not_found(&thread, &capture_thread::capture_device_not_found);
  QSignalSpy unusable(&thread, &capture_thread::capture_device_unusable);
  EXPECT_FALSE(thread.init_device());
  EXPECT_EQ(not_found.count(), 0);
  ASSERT_EQ(unusable.count(), 1) << "the stick is there: it is told why it cannot stream";
  EXPECT_EQ(unusable[0][0].value<capture_thread::device_problem>(), capture_thread::device_problem::streaming_refused);
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
  ASSERT_TRUE(thread.init_device());
  EXPECT_EQ(
      messages.count(capture_category, "capture: writing bridge register 0x0350 failed (libusb: LIBUSB_ERROR_PIPE)"),
      1);
  EXPECT_EQ(messages.count(capture_category, "capture: writing decoder register "), 54);
  EXPECT_TRUE(stick->capture_enabled());
}

}  // namespace
