// The capture thread and its link to the stick, unchanged, through the real
// libusb-1.0 backend against the emulated stick: finding, programming and
// streaming.
#include "capture/capture_thread.h"

#include <QElapsedTimer>
#include <QTest>
#include <mutex>

#include "capture/stick_programming.h"
#include "sim/test_pattern.h"
#include "tests/support/message_log.h"
#include "tests/support/programming_tables.h"
#include "tests/support/rendering_capture.h"
#include "tests/support/signal_counter.h"
#include "tests/usbfs/usbfs_fixture.h"

namespace {

struct capture_over_usbfs : usbfs_test {
  std::vector<unsigned char> display = std::vector<unsigned char>(768 * 576 * 4, 0);
  std::unique_ptr<rendering_capture> thread;
  message_log messages;

  void make_thread(bool sixty_hz = false) {
    thread = std::make_unique<rendering_capture>();
    thread->set_usb_backend(backend.get());
    set_standard(sixty_hz);
  }
  void set_standard(bool sixty_hz) {
    thread->set_settings(capture_settings::for_standard(sixty_hz ? video_standard::ntsc : video_standard::pal));
  }
  void TearDown() override {
    if (thread) {
      thread->request_close();
      EXPECT_TRUE(thread->wait(20000));
      thread.reset();
    }
    usbfs_test::TearDown();
  }
};

TEST_F(capture_over_usbfs, programs_the_stick_transfer_by_transfer) {
  plug();
  stick_link link(backend.get());
  ASSERT_TRUE(link.claim().claimed);
  models[0]->clear_log();
  ASSERT_EQ(program_stick(link, capture_settings::for_standard(video_standard::pal), -1).end,
            programming_result::outcome::ready);
  const auto expected = expected_programming(standard::pal, false, -1).ops;
  const auto actual = programming_log(*models[0]);
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(actual[i], expected[i]) << "transfer " << i;
  EXPECT_TRUE(models[0]->capture_enabled());
  EXPECT_TRUE(messages.messages().isEmpty()) << messages.messages().join("\n").toStdString();
}

// The whole life of the program on a desktop's stick, through the real
// libusb backend: no set-configuration, the video driver set aside while it
// streams and bound again after, the sound interfaces never touched.
TEST_F(capture_over_usbfs, streams_from_the_plugged_in_stick_and_gives_it_back) {
  plug();
  make_thread();
  signal_counter problems(thread.get(), &capture_thread::capture_device_unusable);
  thread->start_capture();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread->renderer.rendered_fields() >= 5; }, 20000));
  EXPECT_EQ(models[0]->driver(0), "usbfs");
  EXPECT_EQ(thread->identity().manufacturer, "Syntek Semiconductor");
  EXPECT_EQ(thread->identity().product, "USB 2.0 Video Capture Controller");
  EXPECT_EQ(thread->identity().sound_interface, 1);
  thread->request_close();
  ASSERT_TRUE(thread->wait(20000));

  const virtual_stick& stick = *models[0];
  EXPECT_EQ(stick.driver(0), "stk1160");
  EXPECT_EQ(stick.alternate(), 0);
  EXPECT_EQ(stick.driver(1), "snd-usb-audio");
  EXPECT_EQ(stick.driver(2), "snd-usb-audio");
  EXPECT_TRUE(ops_of(stick, stick_op_kind::set_configuration).empty());
  for (const stick_op& op : stick.log())
    EXPECT_FALSE(touches_sound_interfaces(op)) << "the sound interfaces must not be touched: " << int(op.kind);
  const std::vector<stick_op> attached = ops_of(stick, stick_op_kind::attach_kernel_driver);
  ASSERT_EQ(attached.size(), 1u);
  EXPECT_EQ(attached[0].result, 1);
  EXPECT_EQ(problems.count(), 0);
}

TEST_F(capture_over_usbfs, a_present_stick_that_cannot_be_used_says_why) {
  struct case_t {
    const char* name;
    plug_state state;
    stick_faults faults;
    int expected;  // -1 not found, -2 not USB 2.0, else the problem
  };
  plug_state busy, full_speed, unconfigured;
  busy.video_claimed_elsewhere = true;
  full_speed.high_speed = false;
  unconfigured.configuration = 0;
  stick_faults refuse_configuration, refuse_interface, refuse_alternate;
  refuse_configuration.refuse_configuration = true;
  refuse_interface.refuse_interface = true;
  refuse_alternate.refuse_alternate = true;
  using problem = capture_thread::device_problem;
  const case_t cases[] = {
      {"in use", busy, {}, int(problem::in_use)},
      {"full speed", full_speed, {}, -2},
      {"configuration", unconfigured, refuse_configuration, int(problem::configuration_refused)},
      {"interface", {}, refuse_interface, int(problem::interface_refused)},
      {"streaming", {}, refuse_alternate, int(problem::streaming_refused)},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.name);
    models.clear();
    plug(1, c.faults, {}, c.state);
    make_thread();
    signal_counter not_found(thread.get(), &capture_thread::capture_device_not_found);
    signal_counter slow_port(thread.get(), &capture_thread::capture_device_not_usb_2_0);
    std::atomic<int> seen{-100};
    QObject::connect(
        thread.get(), &capture_thread::capture_device_unusable, thread.get(),
        [&](capture_thread::device_problem p) { seen = int(p); }, Qt::DirectConnection);
    thread->start_capture();
    ASSERT_TRUE(thread->wait(20000));
    QCoreApplication::processEvents();
    EXPECT_EQ(not_found.count(), c.expected == -1 ? 1 : 0);
    EXPECT_EQ(slow_port.count(), c.expected == -2 ? 1 : 0);
    EXPECT_EQ(seen.load(), c.expected < 0 ? -100 : c.expected);
    // Whatever happened, the stick is left as it was found.
    if (c.state.video_claimed_elsewhere) {
      EXPECT_EQ(models[0]->owner(0), -1);
    } else if (c.state.configuration) {
      EXPECT_EQ(models[0]->driver(0), "stk1160");
    }
    thread.reset();
    backend.reset();
    bus.reset();
  }
}

// A stick whose serial bus never answers: every decoder write waits out the
// 5 s control time-out, 54 of them a pass. A close takes the one transfer
// on the bus, not the rest of the pass.
TEST_F(capture_over_usbfs, a_close_during_timing_out_programming_is_prompt) {
  stick_faults f;
  f.control_results[stick_hw::reg_serial_control] = LIBUSB_ERROR_TIMEOUT;
  plug(1, f);
  make_thread();
  thread->start_capture();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (const stick_op& op : models[0]->log())
          if (op.kind == stick_op_kind::control && op.index == stick_hw::reg_serial_control) return true;
        return false;
      },
      20000));
  thread->request_close();
  EXPECT_TRUE(thread->wait(20000)) << "the close waited for the whole programming pass";
  EXPECT_FALSE(models[0]->capture_enabled());
  EXPECT_EQ(models[0]->driver(0), "stk1160");
}

TEST_F(capture_over_usbfs, an_empty_bus_is_not_found) {
  plug(0);
  make_thread();
  signal_counter not_found(thread.get(), &capture_thread::capture_device_not_found);
  thread->start_capture();
  ASSERT_TRUE(thread->wait(20000));
  EXPECT_EQ(not_found.count(), 1);
}

TEST_F(capture_over_usbfs, streams_whole_fields_with_alternating_flags) {
  // Unpaced: transfers complete as fast as the emulation serves them, so a
  // slow (sanitizer) build loses no microframes and every field is whole.
  usbfs_stick::options unpaced;
  unpaced.paced = false;
  plug(1, {}, unpaced);
  make_thread();
  std::mutex mutex;
  std::vector<bool> flags;
  QObject::connect(
      &thread->renderer, &render_thread::field_rendered, &thread->renderer,
      [&](bool flag) {
        std::lock_guard lock(mutex);
        flags.push_back(flag);
      },
      Qt::DirectConnection);
  thread->start_capture();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread->renderer.rendered_fields() >= 30; }, 20000));
  thread->request_close();
  ASSERT_TRUE(thread->wait(20000));

  // The newest picture the render thread finished.
  latest_picture& pictures = thread->renderer.display();
  pictures.take();
  ASSERT_TRUE(pictures.has_front());
  ASSERT_EQ(pictures.front_info().display_width, 768);
  ASSERT_EQ(pictures.front_info().display_height, 576);
  picture_to_bgra(pictures.front(), pictures.front_info(), display.data(), 768, 576);

  std::lock_guard lock(mutex);
  // Fields alternate, except where the pipeline counted a loss (a slow
  // machine may make the render thread drop one).
  uint32_t repeats = 0;
  for (size_t i = 1; i < flags.size(); ++i) repeats += flags[i] == flags[i - 1];
  EXPECT_LE(repeats, thread->lost_fields());
  // Beyond the partial field the run started in, none arrives incomplete.
  // (Fields told missing by the field clock are left out: unpaced, the
  // emulation's bus time is not the wall clock's, and a busy machine's
  // pauses between its bursts read as fields that never came.)
  EXPECT_LE(thread->lost_fields() - thread->renderer.dropped_fields() - thread->fields_never_came(), 1u);
  EXPECT_GE(thread->assembled_fields(), 30u);
  EXPECT_EQ(thread->dropped_packets(), 0u);
  const auto info = test_pattern::decode_bgra(display.data(), 768, 576, 288);
  EXPECT_FALSE(info.programmed.sixty_hz);
  EXPECT_EQ(info.programmed.channel, 2);
  const test_pattern::rgb yellow = test_pattern::bars_rgb[1];
  const unsigned char* p = display.data() + (100 * 768 + 135 * 768 / 720) * 4;
  EXPECT_NEAR(p[2], yellow.r, 8);
  EXPECT_NEAR(p[1], yellow.g, 8);
  EXPECT_NEAR(p[0], yellow.b, 8);
}

TEST_F(capture_over_usbfs, a_standard_change_mid_run_reprograms_once) {
  plug();
  make_thread();
  signal_counter streaming(thread.get(), &capture_thread::easycap_streaming);
  thread->start_capture();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread->renderer.rendered_fields() >= 5; }, 20000));
  set_standard(true);
  thread->set_standard();
  ASSERT_TRUE(streaming.wait_for(2));
  const uint32_t before = thread->renderer.rendered_fields();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread->renderer.rendered_fields() >= before + 10; }, 20000));
  EXPECT_EQ(streaming.count(), 2);
  EXPECT_EQ(models[0]->decoder(0x08), 0x79);
  EXPECT_EQ(ops_of(*models[0], stick_op_kind::set_alternate).size(), 2u);
  // Both stops (the re-programming and the close) cancel what is in flight
  // instead of queueing it again: neither the submissions nor the reaps fail.
  thread->request_close();
  ASSERT_TRUE(thread->wait(20000));
  EXPECT_FALSE(messages.contains(capture_category, "capture: a video transfer on endpoint 0x82"))
      << messages.messages().join("\n").toStdString();
}

TEST_F(capture_over_usbfs, an_unplug_mid_stream_is_logged_and_close_is_prompt) {
  plug();
  make_thread();
  thread->start_capture();
  ASSERT_TRUE(QTest::qWaitFor([&] { return thread->renderer.rendered_fields() >= 5; }, 20000));
  bus->unplug(0);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return messages.contains(capture_category,
                                 "capture: a video transfer on endpoint 0x82 failed (libusb: LIBUSB_ERROR_NO_DEVICE)");
      },
      10000))
      << messages.messages().join("\n").toStdString();
  QTest::qWait(300);
  QElapsedTimer clock;
  clock.start();
  thread->request_close();
  ASSERT_TRUE(thread->wait(20000));
  // Not a reap's whole time-out (5 s), however busy the machine.
  EXPECT_LT(clock.elapsed(), 4000);
  EXPECT_LT(messages.messages().size(), 40) << "a pulled stick must not flood the log";
}

}  // namespace
