// What the decoder says of the signal, through the window on the virtual
// stick: the notice and the log in the same words, cleared when the signal
// returns; a tape of the other field rate told, and switched to in one step;
// a recording that goes on through a blank stretch, counts it, and stops
// after the time without a signal it was given.
#include <QCheckBox>
#include <QDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>

#include "sim/test_pattern.h"
#include "tests/support/avi_file.h"
#include "tests/support/message_log.h"
#include "tests/support/window_fixture.h"

namespace {

struct signal_test : recording_window_fixture {
  void set_signal(signal_fault fault) {
    stick_faults f = stick->faults();
    f.signal = fault;
    stick->set_faults(f);
  }
  bool notice_says(const QString& text) {
    return QTest::qWaitFor([&] { return notice_text(*window).contains(text); }, 10000);
  }
  bool notice_quiet_of(const QString& text) {
    return QTest::qWaitFor([&] { return !notice_text(*window).contains(text); }, 10000);
  }
  QPushButton* button(const char* name) { return window->findChild<QPushButton*>(name); }
};

TEST_F(signal_test, no_signal_is_told_on_the_input_in_use_and_clears_when_it_returns) {
  message_log log;
  open_streaming();
  stick->clear_log();
  set_signal(signal_fault::no_signal);
  const struct {
    std::function<void()> choose;
    QString told;
  } inputs[] = {
      {[] {}, "No signal on Composite"},
      {[&] { menu_item("&Input", "&S-Video")->trigger(); }, "No signal on S-Video"},
      {[&] { menu_item("&Channel", "1")->trigger(); }, "No signal on S-Video (channel 1)"},
  };
  for (const auto& input : inputs) {
    input.choose();
    EXPECT_TRUE(notice_says(input.told)) << input.told.toStdString() << " / " << notice_text(*window).toStdString();
    EXPECT_TRUE(log.contains(app_category, "Ostrevin: " + input.told)) << input.told.toStdString();
  }
  set_signal(signal_fault::none);
  EXPECT_TRUE(notice_quiet_of("No signal"));
  EXPECT_TRUE(log.contains(app_category, "Ostrevin: The signal is back on S-Video (channel 1)"));
  // The status came from the decoder's status register, read over the serial bus.
  const auto ops = stick->log();
  EXPECT_TRUE(std::any_of(ops.begin(), ops.end(), [](const stick_op& op) {
    return op.kind == stick_op_kind::decoder_read && op.index == 0x1F;
  }));
}

TEST_F(signal_test, a_standard_switched_with_the_tape_at_its_rate_is_never_called_wrong) {
  // The decoder's last reading was taken for the standard before; until the
  // stick is read for the new one, nothing may be said of the tape's rate.
  open_streaming();
  for (const char* standard : {"&NTSC", "&PAL", "PAL-&60"}) {
    SCOPED_TRACE(standard);
    stick->clear_log();
    menu_item("&NTSC/PAL", standard)->trigger();
    const bool sixty_hz = QString(standard) != "&PAL";
    size_t reads_then = 0;
    bool wrong = false;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          wrong = wrong || notice_text(*window).contains("This tape is");
          const auto ops = stick->log();
          const size_t reads = size_t(std::count_if(ops.begin(), ops.end(), [](const stick_op& op) {
            return op.kind == stick_op_kind::decoder_read && op.index == 0x1F;
          }));
          if (stick->geometry().sixty_hz != sixty_hz) reads_then = reads;
          return reads >= reads_then + 2;  // read twice since it was programmed for the new standard
        },
        20000));
    EXPECT_FALSE(wrong);
  }
}

TEST_F(signal_test, a_tape_of_the_other_field_rate_is_told_and_switched_to_in_one_step) {
  message_log log;
  set_signal(signal_fault::sixty_hz_tape);
  open_streaming();  // set for PAL, as a first run is
  const QString told = "This tape is 60 Hz (NTSC or PAL-60); Ostrevin is set to PAL";
  ASSERT_TRUE(notice_says(told)) << notice_text(*window).toStdString();
  EXPECT_TRUE(log.contains(app_category, "Ostrevin: " + told));
  ASSERT_TRUE(button("switch_to_ntsc") && button("switch_to_pal60"));
  EXPECT_FALSE(button("switch_to_pal"));

  button("switch_to_ntsc")->click();
  EXPECT_EQ(window->preferences().standard(), video_standard::ntsc);
  EXPECT_TRUE(menu_item("&NTSC/PAL", "&NTSC")->isChecked());
  EXPECT_TRUE(notice_quiet_of("This tape is"));
  // The stick is programmed for 60 Hz and the picture is the test pattern
  // again, drawn for what the stick was programmed with.
  const test_pattern::programming ntsc_composite{0, true, 0, 2};
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        const latest_picture& shown = parts->render.display();
        if (!shown.has_front()) return false;
        const picture_info& info = shown.front_info();
        const std::vector<unsigned char> bgra = picture_to_bgra(shown.front(), info);
        return !bgra.empty() &&
               test_pattern::decode_bgra(bgra.data(), info.display_width, info.display_height, 240).programmed ==
                   ntsc_composite;
      },
      10000));
  EXPECT_TRUE(stick->geometry().sixty_hz);
}

TEST_F(signal_test, stop_after_keeps_its_time_without_a_signal) {
  open_window();
  // Each pass shows what is set, then sets the next: off (5 minutes offered), 20 minutes, off.
  const std::pair<bool, int> sets[] = {{true, 20}, {false, 20}}, shown[] = {{false, 5}, {true, 20}, {false, 5}};
  for (size_t i = 0; i < std::size(shown); ++i) {
    on_next_modal<QDialog>([&, i](QDialog* dialog) {
      auto* on = dialog->findChild<QCheckBox*>("stop_without_signal");
      auto* minutes = dialog->findChild<QSpinBox*>("signal_minutes");
      EXPECT_EQ(std::make_pair(on->isChecked(), minutes->value()), shown[i]) << "pass " << i;
      if (i == std::size(sets)) return dialog->reject();
      on->setChecked(sets[i].first);
      minutes->setValue(sets[i].second);
      dialog->accept();
    });
    menu_item("&File", "Stop &after...")->trigger();
  }
}

TEST_F(signal_test, a_recording_goes_on_through_blank_stretches_counts_them_and_stops_after_the_time_set) {
  // Four seconds (the command line's --stop-without-signal 4s) for the test's sake.
  launch_options options;
  options.stop_without_signal_ms = 4000;
  open_streaming(options);
  start_recording(captures.filePath("tape"));
  ASSERT_TRUE(parts->recording.is_recording());

  // A weak signal: locked and lost again and again, never for long.
  set_signal(signal_fault::weak);
  for (int stretch = 0; stretch < 2; ++stretch) {
    ASSERT_TRUE(notice_says("No signal on Composite"));
    ASSERT_TRUE(notice_quiet_of("No signal on Composite"));
  }
  EXPECT_TRUE(parts->recording.is_recording());

  // The tape's end: a while without a signal, then the recording stops by itself.
  set_signal(signal_fault::no_signal);
  ASSERT_TRUE(notice_says("No signal on Composite"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !parts->recording.is_recording(); }, 30000));
  EXPECT_EQ(window->windowTitle(), "Ostrevin - recording stopped: no signal for 0:00:04");
  EXPECT_TRUE(notice_text(*window).contains(
      "The recording stopped because there has been no signal for 0:00:04. tape.avi holds"))
      << notice_text(*window).toStdString();
  // The blank stretches added up: at least the last one's 4 s.
  EXPECT_TRUE(notice_text(*window).contains(QRegularExpression("The recording went 0:00:(0[4-9]|[1-5][0-9]) without")))
      << notice_text(*window).toStdString();

  // Whole, with the blank fields in it: flat black, no test pattern.
  const pattern_avi r = read_pattern_avi(captures.filePath("tape.avi"));
  ASSERT_TRUE(r.opened) << r.error.toStdString();
  EXPECT_TRUE(r.has_index);
  EXPECT_EQ(r.decode_errors, 0);
  ASSERT_GE(r.video_seconds(), 4.0);
  EXPECT_NEAR(r.audio_seconds(), r.video_seconds(), 1.0 / 25);
  ASSERT_FALSE(r.frames.empty());
  EXPECT_EQ(r.frames.back().even, test_pattern::field_info{}) << "the last frame shows the test pattern";
}

}  // namespace
