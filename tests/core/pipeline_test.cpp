// Capture thread and render thread together on the in-process virtual stick:
// the stick's test pattern must come out of the pipeline in the right size,
// colours, field order and parity, for every standard, aspect and mode.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>
#include <atomic>
#include <cstdlib>

#include "capture/capture_thread.h"
#include "sim/in_process_backend.h"
#include "sim/test_pattern.h"
#include "tests/support/message_log.h"
#include "tests/support/rendering_capture.h"
#include "tests/support/signal_counter.h"

namespace {

enum class mode { f1, f2, interlaced, blended };
const char* name(mode m) {
  switch (m) {
    case mode::f1:
      return "F1";
    case mode::f2:
      return "F2";
    case mode::interlaced:
      return "Interlaced";
    case mode::blended:
      return "Field-blended";
  }
  return "";
}

struct pipeline : ::testing::Test {
  std::shared_ptr<virtual_stick> stick = std::make_shared<virtual_stick>();
  in_process_backend backend;
  std::unique_ptr<rendering_capture> owned = std::make_unique<rendering_capture>();
  rendering_capture& thread = *owned;
  // The newest display picture as the display shows it (BGRA), its
  // description and its height here; the newest recorded field.
  std::vector<unsigned char> display;
  picture_info shown;
  int display_height = 0;
  std::vector<unsigned char> encoder = std::vector<unsigned char>(720 * 288 * 2, 0x5A);
  message_log messages;

  void SetUp() override {
    backend.add(stick);
    thread.set_usb_backend(&backend);
  }
  void TearDown() override {
    thread.request_close();
    EXPECT_TRUE(thread.wait(20000));
  }
  // What the threads left behind once stopped: the newest display picture,
  // at its display size, except that a woven one keeps a row per frame line
  // so that each field is on rows of its own; and the newest recorded field.
  void collect(rendering_capture& t) {
    latest_picture& pictures = t.renderer.display();
    pictures.take();
    display.clear();
    if (pictures.has_front()) {
      shown = pictures.front_info();
      display_height = shown.layout == picture_layout::woven ? shown.rows : shown.display_height;
      display.assign(size_t(shown.display_width) * size_t(display_height) * 4, 0);
      picture_to_bgra(pictures.front(), shown, display.data(), shown.display_width, display_height);
    }
    t.renderer.take_fields(
        [&](const recorded_field& f) { std::copy_n(f.pixels, std::min(f.bytes, encoder.size()), encoder.begin()); });
  }
  void configure(bool sixty_hz, bool widescreen, mode m) { configure(thread, sixty_hz, widescreen, m); }
  static void configure(rendering_capture& thread, bool sixty_hz, bool widescreen, mode m) {
    thread.set_settings(
        capture_settings::for_standard(sixty_hz ? video_standard::ntsc : video_standard::pal, false, widescreen));
    thread.renderer.set_display_mode(m == mode::f2           ? display_mode::f2
                                     : m == mode::interlaced ? display_mode::interlaced
                                     : m == mode::blended    ? display_mode::field_blended
                                                             : display_mode::f1);
  }
  // Runs until `fields` fields were rendered, then stops both threads so the
  // buffers can be read without racing the render thread.
  void run_for(uint32_t fields, bool feed_encoder = false) { run_for(thread, fields, feed_encoder); }
  static void run_for(rendering_capture& thread, uint32_t fields, bool feed_encoder = false) {
    // The unpaced stick outruns the render thread, which may then keep
    // catching fields of one parity; wait until a flag-set field followed a
    // flag-clear one, so the two-field modes have built a picture.
    auto seen_clear = std::make_shared<std::atomic<bool>>(false);
    auto pairs = std::make_shared<std::atomic<int>>(0);
    QObject::connect(
        &thread.renderer, &render_thread::field_rendered, &thread.renderer,
        [seen_clear, pairs](bool flag) {
          if (!flag)
            *seen_clear = true;
          else if (*seen_clear)
            ++*pairs;
        },
        Qt::DirectConnection);
    thread.start_capture();
    ASSERT_TRUE(QTest::qWaitFor([&] { return thread.renderer.rendered_fields() >= 1; }, 20000));
    // Counted from here: with the feed on, every later field is recorded too.
    if (feed_encoder) thread.renderer.set_recording(true);
    const uint32_t from = thread.renderer.rendered_fields();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return thread.renderer.rendered_fields() >= from + fields && pairs->load() >= 2; }, 20000));
    thread.request_close();
    ASSERT_TRUE(thread.wait(20000));
  }
};

void expect_bars(const unsigned char* bgra, int width, int row, const std::string& where) {
  for (int b = 0; b < test_pattern::bar_count; ++b) {
    const int x = (b * test_pattern::bar_width + test_pattern::bar_width / 2) * width / test_pattern::width;
    const unsigned char* p = bgra + (size_t(row) * size_t(width) + size_t(x)) * 4;
    const test_pattern::rgb want = test_pattern::bars_rgb[size_t(b)];
    EXPECT_NEAR(p[2], want.r, 8) << where << " bar " << b << " red";
    EXPECT_NEAR(p[1], want.g, 8) << where << " bar " << b << " green";
    EXPECT_NEAR(p[0], want.b, 8) << where << " bar " << b << " blue";
    EXPECT_EQ(p[3], 255) << where << " bar " << b << " alpha";
  }
}

TEST_F(pipeline, every_standard_aspect_and_mode_shows_the_pattern) {
  // In real time, so the render thread sees both fields of each frame.
  backend.set_paced(true);
  for (bool sixty : {false, true}) {
    for (bool wide : {false, true}) {
      for (mode m : {mode::f1, mode::f2, mode::interlaced, mode::blended}) {
        const std::string where = std::string(sixty ? "NTSC " : "PAL ") + (wide ? "16:9 " : "4:3 ") + name(m);
        SCOPED_TRACE(where);
        // A fresh pipeline for each combination.
        rendering_capture t;
        t.set_usb_backend(&backend);
        configure(t, sixty, wide, m);
        run_for(t, 6);
        collect(t);
        ASSERT_FALSE(display.empty());

        // The fields as they came, at the standard's and aspect's size.
        const int field_lines = sixty ? 240 : 288;
        const int w = sixty ? 640 : 768;
        EXPECT_EQ(shown.display_width, w);
        EXPECT_EQ(shown.display_height, (sixty ? (wide ? 180 : 240) : (wide ? 216 : 288)) * 2);
        EXPECT_EQ(shown.width, 720);
        EXPECT_EQ(shown.rows, m == mode::f1 || m == mode::f2 ? field_lines : 2 * field_lines);
        const int h = display_height;
        const int bars_row = h / 6;
        if (m == mode::blended) {
          // Both fields averaged: the bars are the same in both.
          EXPECT_EQ(shown.layout, picture_layout::blended);
          expect_bars(display.data(), w, bars_row, where);
          const auto info = test_pattern::decode_bgra(display.data(), w, h, field_lines);
          EXPECT_EQ(info.programmed.sixty_hz, sixty);
        } else if (m == mode::interlaced) {
          EXPECT_EQ(shown.layout, picture_layout::woven);
          expect_bars(display.data(), w, bars_row, where + " even");
          expect_bars(display.data(), w, bars_row + 1, where + " odd");
          // One picture of the signal: its earlier field then its later,
          // the top field first at 50 Hz, the bottom field at 60 Hz.
          const auto even = test_pattern::decode_bgra(display.data(), w, h, field_lines, 0, 2);
          const auto odd = test_pattern::decode_bgra(display.data(), w, h, field_lines, 1, 2);
          const auto& earlier = sixty ? odd : even;
          const auto& later = sixty ? even : odd;
          EXPECT_TRUE(earlier.first_field);
          EXPECT_FALSE(later.first_field);
          EXPECT_EQ(earlier.number + 1, later.number);
        } else {
          EXPECT_EQ(shown.layout, picture_layout::rows);
          expect_bars(display.data(), w, bars_row, where);
          const auto info = test_pattern::decode_bgra(display.data(), w, h, field_lines);
          EXPECT_EQ(info.programmed.sixty_hz, sixty);
          EXPECT_EQ(info.programmed.channel, 2);  // composite's default input
          if (m == mode::f2) {
            // The bottom field: the later of a picture at 50 Hz, the earlier at 60 Hz.
            EXPECT_EQ(info.first_field, sixty) << "F2 shows only the bottom field";
          }
        }
      }
    }
  }
}

TEST_F(pipeline, recorded_fields_are_planar_422_with_two_black_luma_rows) {
  configure(false, false, mode::f1);
  run_for(4, true);
  collect(thread);
  // Y plane 720 x 288, then Cb and Cr, 360 x 288 each.
  for (int i = 0; i < 1440; ++i) ASSERT_EQ(encoder[size_t(i)], 0) << "byte " << i;
  const int row = 100;
  for (int b = 0; b < test_pattern::bar_count; ++b) {
    const int x = b * test_pattern::bar_width + test_pattern::bar_width / 2;
    const test_pattern::yuv want = test_pattern::bars_yuv[size_t(b)];
    EXPECT_NEAR(encoder[size_t(row * 720 + x)], want.y, 3) << "bar " << b;
    EXPECT_NEAR(encoder[size_t(720 * 288 + row * 360 + x / 2)], want.u, 3) << "bar " << b;
    EXPECT_NEAR(encoder[size_t(720 * 288 + 360 * 288 + row * 360 + x / 2)], want.v, 3) << "bar " << b;
  }
}

TEST_F(pipeline, paced_fields_alternate_without_loss) {
  backend.clear();
  backend.set_paced(true);
  backend.add(stick);
  configure(true, false, mode::f1);
  std::vector<bool> flags;
  QObject::connect(&thread.renderer, &render_thread::field_rendered, &thread, [&](bool f) { flags.push_back(f); });
  thread.start_capture();
  QTest::qWait(1500);
  thread.request_close();
  ASSERT_TRUE(thread.wait(20000));
  QTest::qWait(50);  // the last queued signals
  // 59.94 fields a second, minus the start-up.
  ASSERT_GE(flags.size(), 40u);
  // Fields alternate; a repeated flag is only allowed where the pipeline
  // counted a loss (a slow machine may make the render thread drop one).
  uint32_t repeats = 0;
  for (size_t i = 1; i < flags.size(); ++i) repeats += flags[i] == flags[i - 1];
  // (Whether a build keeps up with real time at all is for the benchmarks:
  // a sanitizer build may fall behind and lose whole microframes.)
  EXPECT_LE(repeats, thread.lost_fields());
}

TEST_F(pipeline, damaged_streams_lose_fields_but_never_break) {
  configure(false, false, mode::f1);
  stick_faults f;
  f.lose_packet_every = 400;
  f.truncate_packet_every = 701;
  f.corrupt_packet_every = 997;
  f.packet_count_override = 5;
  f.reap_error_every = 13;
  stick->set_faults(f);
  thread.start_capture();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread.lost_fields() >= 20; }, 20000));
  thread.request_close();
  ASSERT_TRUE(thread.wait(20000));
  EXPECT_TRUE(messages.contains(capture_category, "capture: a video transfer came back with 5 packets, not the 16"));
  EXPECT_TRUE(messages.contains(capture_category,
                                "capture: a video transfer on endpoint 0x82 failed (libusb: LIBUSB_ERROR_IO)"));
}

TEST_F(pipeline, transfers_reporting_more_packets_than_they_hold_are_bounded) {
  configure(false, false, mode::f1);
  stick_faults f;
  f.packet_count_override = 1000;
  stick->set_faults(f);
  thread.start_capture();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread.renderer.rendered_fields() >= 3; }, 20000));
  EXPECT_GT(thread.dropped_packets(), 0u);
  EXPECT_TRUE(messages.contains(capture_category, "capture: a video transfer came back with 1000 packets, not the 16"));
}

TEST_F(pipeline, a_standard_change_mid_run_reprograms_once_and_fields_follow) {
  configure(false, false, mode::f1);
  signal_counter streaming(&thread, &capture_thread::easycap_streaming);
  thread.start_capture();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread.renderer.rendered_fields() >= 2; }, 20000));
  configure(true, false, mode::f1);
  thread.set_standard();
  ASSERT_TRUE(streaming.wait_for(2));
  const uint32_t before = thread.renderer.rendered_fields();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread.renderer.rendered_fields() >= before + 4; }, 20000));
  thread.request_close();
  ASSERT_TRUE(thread.wait(20000));
  EXPECT_EQ(streaming.count(), 2);
  collect(thread);
  const auto info = test_pattern::decode_bgra(display.data(), 640, 480, 240);
  EXPECT_TRUE(info.programmed.sixty_hz);
  expect_bars(display.data(), 640, 80, "after the change");
}

TEST_F(pipeline, an_unplug_mid_stream_is_logged_and_close_stays_prompt) {
  configure(false, false, mode::f1);
  thread.start_capture();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread.renderer.rendered_fields() >= 2; }, 20000));
  stick->unplug();
  QTest::qWait(500);
  QElapsedTimer clock;
  clock.start();
  thread.request_close();
  ASSERT_TRUE(thread.wait(20000));
  // Not a reap's whole time-out (5 s), however busy the machine.
  EXPECT_LT(clock.elapsed(), 4000);
  EXPECT_TRUE(messages.contains(capture_category,
                                "capture: a video transfer on endpoint 0x82 failed (libusb: LIBUSB_ERROR_NO_DEVICE)"));
  // Said once, with a count, not thousands of times.
  EXPECT_LT(messages.messages().size(), 20) << messages.messages().join("\n").toStdString();
}

TEST_F(pipeline, closing_a_silent_stick_waits_for_one_reap_not_a_pass) {
  configure(false, false, mode::f1);
  thread.start_capture();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread.renderer.rendered_fields() >= 2; }, 20000));
  stick_faults f;
  f.stalled = true;  // transfers stop completing; each reap takes its full 5 s
  stick->set_faults(f);
  QTest::qWait(100);
  QElapsedTimer clock;
  clock.start();
  thread.request_close();
  ASSERT_TRUE(thread.wait(60000));
  // A whole pass would be one 5 s time-out for every transfer in flight.
  EXPECT_LT(clock.elapsed(), 15000);
}

}  // namespace
