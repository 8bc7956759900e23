// The capture thread as a thread: start, requests, re-programming, stop.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "capture/capture_thread.h"
#include "sim/in_process_backend.h"
#include "tests/support/capture_probe.h"
#include "tests/support/message_log.h"
#include "tests/support/signal_counter.h"

namespace {

int count_of(const virtual_stick& stick, stick_op_kind kind) {
  int n = 0;
  for (const auto& op : stick.log())
    if (op.kind == kind) ++n;
  return n;
}

// Programming passes: each ends by selecting the streaming alternate setting.
int programming_passes(const virtual_stick& stick) { return count_of(stick, stick_op_kind::set_alternate); }

struct running : ::testing::Test {
  std::shared_ptr<virtual_stick> stick = std::make_shared<virtual_stick>();
  in_process_backend backend;
  capture_thread thread;
  message_log messages;
  std::unique_ptr<signal_counter> streaming;

  void SetUp() override {
    backend.add(stick);
    thread.set_usb_backend(&backend);
    streaming = std::make_unique<signal_counter>(&thread, &capture_thread::easycap_streaming);
  }
  void TearDown() override {
    stick->release_hold();
    thread.request_close();
    EXPECT_TRUE(thread.wait(10000));
  }
  void start_and_wait_for_stream() {
    thread.start_capture();
    ASSERT_TRUE(streaming->wait_for(1));
  }
};

TEST_F(running, streams_once_programmed) {
  start_and_wait_for_stream();
  EXPECT_TRUE(stick->capture_enabled());
  EXPECT_EQ(programming_passes(*stick), 1);
  EXPECT_TRUE(thread.isRunning());
}

TEST_F(running, every_request_reprograms_and_streams_again) {
  start_and_wait_for_stream();
  thread.set_settings(capture_settings::for_standard(video_standard::ntsc));
  thread.set_standard();
  ASSERT_TRUE(streaming->wait_for(2));
  EXPECT_EQ(stick->decoder(0x08), 0x79);
  EXPECT_EQ(stick->bridge(0x116), 243);

  thread.set_input(3);
  ASSERT_TRUE(streaming->wait_for(3));
  EXPECT_EQ(stick->bridge(0x000), 0x98);
  EXPECT_EQ(programming_passes(*stick), 3);
}

// A picture control reaches the decoder between reaps: only the registers
// that changed, each byte in range (the hue as two's complement), no
// programming pass, and fields go on coming.
TEST_F(running, picture_controls_reach_the_decoder_while_it_streams) {
  start_and_wait_for_stream();
  struct step {
    picture_controls asked;
    std::vector<std::pair<uint8_t, uint8_t>> registers;  // what the decoder then holds
    int writes;                                          // decoder writes it takes
  };
  const step steps[] = {
      {{140, 63, 63, 0}, {{0x0A, 140}, {0x0B, 63}}, 1},
      {{140, 63, 63, -20}, {{0x0D, 0xEC}, {0x0A, 140}}, 1},
      {{300, -5, 200, -300}, {{0x0A, 255}, {0x0B, 0}, {0x0C, 127}, {0x0D, 0x80}}, 4},
      {{300, -5, 200, -300}, {{0x0A, 255}}, 0},  // nothing changed: nothing written
  };
  for (const step& s : steps) {
    stick->clear_log();
    thread.set_picture(s.asked);
    const uint32_t fields = thread.assembled_fields();
    // Written between reaps: by the time a few more fields came.
    ASSERT_TRUE(QTest::qWaitFor([&] { return thread.assembled_fields() >= fields + 4; }, 10000));
    for (const auto& [reg, value] : s.registers) EXPECT_EQ(stick->decoder(reg), value) << std::hex << int(reg);
    EXPECT_EQ(count_of(*stick, stick_op_kind::decoder_write), s.writes);
    EXPECT_EQ(programming_passes(*stick), 0);
  }
  // Kept for the next pass.
  EXPECT_EQ(thread.settings().picture, (picture_controls{255, 0, 127, -128}));
}

TEST_F(running, the_channel_in_use_changes_nothing) {
  start_and_wait_for_stream();
  thread.set_input(2);  // composite's default channel
  EXPECT_FALSE(capture_probe::run_interrupted(thread));
  QTest::qWait(200);
  EXPECT_EQ(streaming->count(), 1);
  EXPECT_FALSE(thread.channel_chosen());
  EXPECT_EQ(programming_passes(*stick), 1);
}

TEST_F(running, requests_that_arrive_together_cause_one_reprogramming) {
  start_and_wait_for_stream();
  // Hold the next programming pass at its start so the requests pile up
  // while the thread is busy.
  stick->hold_at(0x500);
  thread.set_standard();
  ASSERT_TRUE(stick->wait_held(10000));
  thread.set_standard();
  thread.set_input(1);
  thread.set_standard();
  stick->release_hold();
  ASSERT_TRUE(streaming->wait_for(3));
  QTest::qWait(300);
  EXPECT_EQ(streaming->count(), 3);  // start, the held pass, one for the pile
  EXPECT_EQ(programming_passes(*stick), 3);
  EXPECT_EQ(stick->bridge(0x000), 0x88);
}

// Every control transfer can take its whole time-out on a stick that stopped
// answering: a close does not wait for the rest of the pass, and what was
// cut short starts nothing.
TEST_F(running, a_close_during_programming_cuts_it_short_and_starts_nothing) {
  stick->hold_at(0x202);  // in the bridge configuration table
  thread.start_capture();
  ASSERT_TRUE(stick->wait_held(10000));
  thread.set_standard();  // a re-programming request does not outlive a close
  thread.request_close();
  stick->release_hold();
  ASSERT_TRUE(thread.wait(10000));
  EXPECT_FALSE(stick->capture_enabled());
  EXPECT_EQ(count_of(*stick, stick_op_kind::decoder_write), 0);
  EXPECT_EQ(programming_passes(*stick), 0);
  EXPECT_EQ(streaming->count(), 0);
  // The stick is handed back to its video driver.
  EXPECT_FALSE(stick->claimed());
  EXPECT_EQ(stick->driver(0), stick_hw::video_driver_name);
}

// Choosing the other input re-programs even when its channel is the one in
// use: the decoder's input mode follows the menu.
TEST_F(running, an_input_change_on_the_same_channel_reprograms) {
  start_and_wait_for_stream();
  thread.set_input(0);  // chosen while composite
  ASSERT_TRUE(streaming->wait_for(2));
  EXPECT_EQ(stick->decoder(0x02), 0xC0);
  thread.set_settings(capture_settings::for_standard(video_standard::pal,
                                                     true));  // as the window sets it, then asks for channel 0 again
  thread.set_input(0);
  ASSERT_TRUE(streaming->wait_for(3));
  EXPECT_EQ(stick->decoder(0x02), 0xC9);
  EXPECT_EQ(stick->decoder(0x88), 0xCA);
  EXPECT_EQ(stick->bridge(0x000), 0x80);
  // Nothing changed since: the same request does nothing.
  thread.set_input(0);
  QTest::qWait(200);
  EXPECT_EQ(streaming->count(), 3);
}

// A slow host controller gives cancelled transfers back after the release
// stopped waiting for them; they then complete into their regions during
// the next run. The regions must still be there (freed, the large block is
// unmapped and the write crashes in any build).
TEST_F(running, a_cancel_that_comes_back_late_finds_its_region) {
  start_and_wait_for_stream();
  stick_faults f;
  f.cancel_delay_ms = 10;
  stick->set_faults(f);
  thread.set_standard();
  ASSERT_TRUE(streaming->wait_for(2));
  const uint32_t before = thread.assembled_fields();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread.assembled_fields() >= before + 3; }, 10000));
  thread.set_standard();
  ASSERT_TRUE(streaming->wait_for(3));
}

TEST_F(running, close_returns_promptly_with_a_silent_stick) {
  start_and_wait_for_stream();
  stick->unplug();
  QElapsedTimer clock;
  clock.start();
  thread.request_close();
  ASSERT_TRUE(thread.wait(10000));
  EXPECT_LT(clock.elapsed(), 5000);
}

TEST_F(running, a_refused_alternate_setting_later_ends_the_thread) {
  signal_counter unusable(&thread, &capture_thread::capture_device_unusable);
  start_and_wait_for_stream();
  stick_faults f;
  f.refuse_alternate = true;
  stick->set_faults(f);
  thread.set_input(0);
  ASSERT_TRUE(thread.wait(10000));
  EXPECT_EQ(unusable.count(), 1);
}

TEST_F(running, no_stick_ends_the_thread_after_reporting) {
  backend.clear();
  signal_counter not_found(&thread, &capture_thread::capture_device_not_found);
  thread.start_capture();
  ASSERT_TRUE(thread.wait(10000));
  EXPECT_EQ(not_found.count(), 1);
  EXPECT_EQ(streaming->count(), 0);
}

TEST(capture_thread_object, out_of_range_channels) {
  capture_thread thread;
  // The bridge has four inputs; anything else must not reach the routing.
  thread.set_input(4);
  thread.set_input(-1);
  EXPECT_EQ(thread.channel(), 2);
  EXPECT_FALSE(thread.channel_chosen());
  EXPECT_FALSE(capture_probe::run_interrupted(thread));
}

}  // namespace
