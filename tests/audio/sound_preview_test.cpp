// The sound preview on its own, without a window, against the private
// PulseAudio server (tests/support/with_pulse.sh): which input it opens for
// what it is told, what it hands on, what it reports, mute, and the wait for
// the stick's input after the stick was pulled out.
#include "audio/sound_preview.h"

#include <gtest/gtest.h>

#include <QAudioSink>
#include <QAudioSource>
#include <QByteArray>
#include <QSignalSpy>
#include <QTest>
#include <cstring>
#include <vector>

#include "tests/support/pulse_probe.h"

namespace {

using pulse_probe::line_in_tone_hz;
using pulse_probe::stick_tone_hz;

constexpr double audible = 500.0;
constexpr double quiet = 50.0;
constexpr qint64 bytes_per_second = 48000 * 4;

// What a stick that reports nothing reports: the identity the test server's
// stick input is named after.
const usb_device_identity any_stick{};
// A stick of another maker: no input on the server is its.
const usb_device_identity other_stick{"Other Maker", "USB 2.0 Video Capture Controller", 1};

struct sound_preview_test : ::testing::Test {
  sound_preview preview;
  QByteArray captured;
  std::vector<int> loaded;
  int removed = -1;

  void SetUp() override {
    if (!pulse_probe::server_available()) GTEST_SKIP() << "no test sound server (run under with_pulse.sh)";
    QObject::connect(&preview, &sound_preview::sound_captured, [this](const QByteArray& bytes) { captured += bytes; });
  }
  void TearDown() override {
    preview.release();
    if (removed >= 0) {
      pulse_probe::load_source(pulse_probe::stick_source, pulse_probe::stick_description);
      pulse_probe::wait_for_input(pulse_probe::stick_source, true);
    }
  }
  void remove_stick_source() {
    removed = pulse_probe::module_of_source(pulse_probe::stick_source);
    ASSERT_GE(removed, 0);
    pulse_probe::unload_module(removed);
    ASSERT_TRUE(pulse_probe::wait_for_input(pulse_probe::stick_source, false));
  }
  // Sound has come in: a quarter of a second more than before.
  bool wait_sound_flowing() {
    const qint64 before = preview.bytes_read();
    return QTest::qWaitFor([&] { return preview.bytes_read() > before + bytes_per_second / 4; }, 8000);
  }
  // The last quarter second handed on carries this tone and not the other.
  ::testing::AssertionResult carries(double hz, double other_hz) {
    const qsizetype tail = std::min<qsizetype>(captured.size(), bytes_per_second / 4) & ~qsizetype(3);
    std::vector<int16_t> samples(size_t(tail / 2));
    std::memcpy(samples.data(), captured.constData() + captured.size() - tail, size_t(tail));
    const double level = pulse_probe::tone_level(samples, hz);
    const double other = pulse_probe::tone_level(samples, other_hz);
    if (level > audible && other < quiet) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << hz << " Hz at " << level << ", " << other_hz << " Hz at " << other;
  }
};

TEST_F(sound_preview_test, the_sticks_input_is_handed_on_whole_and_in_order) {
  QSignalSpy missing(&preview, &sound_preview::stick_sound_missing);
  QSignalSpy refused(&preview, &sound_preview::format_not_supported);
  preview.start(any_stick, true);
  EXPECT_TRUE(preview.is_running());
  ASSERT_NE(preview.source(), nullptr);
  ASSERT_NE(preview.sink(), nullptr);
  EXPECT_EQ(preview.source()->format(), preview.format());
  EXPECT_EQ(preview.stick_input().id(), pulse_probe::stick_source);
  EXPECT_FALSE(preview.is_stick_sound_missing());
  ASSERT_TRUE(wait_sound_flowing());
  ASSERT_TRUE(wait_sound_flowing());
  // Everything read went out by the signal, nothing else.
  EXPECT_EQ(captured.size(), preview.bytes_read());
  EXPECT_EQ(captured.size() % 4, 0);
  EXPECT_TRUE(carries(stick_tone_hz, line_in_tone_hz));
  EXPECT_EQ(missing.count(), 0);
  EXPECT_EQ(refused.count(), 0);
}

TEST_F(sound_preview_test, line_in_is_the_default_input_and_the_stick_is_still_looked_for) {
  QSignalSpy missing(&preview, &sound_preview::stick_sound_missing);
  preview.start(any_stick, false);
  EXPECT_TRUE(preview.is_running());
  EXPECT_EQ(preview.stick_input().id(), pulse_probe::stick_source);
  ASSERT_TRUE(wait_sound_flowing());
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(carries(line_in_tone_hz, stick_tone_hz));
  EXPECT_EQ(missing.count(), 0);
}

TEST_F(sound_preview_test, a_start_while_running_changes_nothing) {
  preview.start(any_stick, true);
  QAudioSource* source = preview.source();
  QAudioSink* sink = preview.sink();
  QSignalSpy missing(&preview, &sound_preview::stick_sound_missing);
  preview.start(other_stick, false);
  EXPECT_EQ(preview.source(), source);
  EXPECT_EQ(preview.sink(), sink);
  EXPECT_EQ(missing.count(), 0);
  ASSERT_TRUE(wait_sound_flowing());
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(carries(stick_tone_hz, line_in_tone_hz));
  // Still the stick's sound: its going takes it away.
  preview.stick_gone();
  EXPECT_FALSE(preview.is_running());
  EXPECT_EQ(preview.source(), nullptr);
}

TEST_F(sound_preview_test, without_the_sticks_input_it_says_so_and_takes_line_in) {
  QSignalSpy missing(&preview, &sound_preview::stick_sound_missing);
  QSignalSpy refused(&preview, &sound_preview::format_not_supported);
  preview.start(other_stick, true);
  EXPECT_TRUE(preview.is_running());
  EXPECT_EQ(missing.count(), 1);
  EXPECT_EQ(refused.count(), 0);
  EXPECT_TRUE(preview.is_stick_sound_missing());
  EXPECT_TRUE(preview.stick_input().isNull());
  ASSERT_TRUE(wait_sound_flowing());
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(carries(line_in_tone_hz, stick_tone_hz));

  // The stick is not looked for again, though its input is there for this
  // identity: asked for the stick, it is line-in again and says so again.
  preview.stop_input();
  EXPECT_FALSE(preview.is_running());
  preview.start(any_stick, true);
  EXPECT_EQ(missing.count(), 2);
  EXPECT_TRUE(preview.stick_input().isNull());
  ASSERT_TRUE(wait_sound_flowing());
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(carries(line_in_tone_hz, stick_tone_hz));
}

TEST_F(sound_preview_test, a_stick_that_has_no_sound_is_not_looked_for) {
  QSignalSpy missing(&preview, &sound_preview::stick_sound_missing);
  preview.stick_has_no_sound();
  EXPECT_TRUE(preview.is_stick_sound_missing());
  EXPECT_EQ(missing.count(), 0);
  preview.start(any_stick, true);
  EXPECT_EQ(missing.count(), 1);
  EXPECT_TRUE(preview.stick_input().isNull());
  ASSERT_TRUE(wait_sound_flowing());
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(carries(line_in_tone_hz, stick_tone_hz));
}

TEST_F(sound_preview_test, mute_before_the_output_exists_holds_and_a_new_source_is_audible) {
  QSignalSpy mute(&preview, &sound_preview::mute_changed);
  preview.toggle_mute();
  ASSERT_EQ(mute.count(), 1);
  EXPECT_EQ(mute.at(0).at(0).toBool(), true);
  EXPECT_TRUE(preview.is_muted());

  preview.start(any_stick, true);
  ASSERT_NE(preview.sink(), nullptr);
  EXPECT_EQ(preview.sink()->state(), QAudio::SuspendedState);
  EXPECT_TRUE(preview.is_muted());
  EXPECT_EQ(mute.count(), 1);
  // Muted, the input still reads and hands on.
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_EQ(captured.size(), preview.bytes_read());

  // Another source: the same output, playing again.
  QAudioSink* sink = preview.sink();
  preview.stop_input();
  preview.start(any_stick, false);
  EXPECT_EQ(preview.sink(), sink);
  EXPECT_FALSE(preview.is_muted());
  ASSERT_EQ(mute.count(), 2);
  EXPECT_EQ(mute.at(1).at(0).toBool(), false);
  EXPECT_NE(preview.sink()->state(), QAudio::SuspendedState);

  preview.toggle_mute();
  EXPECT_EQ(preview.sink()->state(), QAudio::SuspendedState);
  preview.toggle_mute();
  EXPECT_NE(preview.sink()->state(), QAudio::SuspendedState);
  EXPECT_EQ(mute.count(), 4);
}

TEST_F(sound_preview_test, a_pulled_stick_takes_only_its_own_input_away) {
  // On line-in the stick's going changes nothing.
  preview.start(any_stick, false);
  QAudioSource* line_in = preview.source();
  preview.stick_gone();
  EXPECT_TRUE(preview.is_running());
  EXPECT_EQ(preview.source(), line_in);

  preview.stop_input();
  preview.start(any_stick, true);
  preview.toggle_mute();
  preview.stick_gone();
  EXPECT_FALSE(preview.is_running());
  EXPECT_EQ(preview.source(), nullptr);
  // The preview goes with it, and comes back with it, as muted as it was.
  EXPECT_EQ(preview.sink(), nullptr);
  // Its input is still listed: the next start takes it at once.
  preview.start(any_stick, true);
  ASSERT_NE(preview.sink(), nullptr);
  EXPECT_TRUE(preview.is_muted());
  EXPECT_EQ(preview.sink()->state(), QAudio::SuspendedState);
  preview.toggle_mute();
  EXPECT_TRUE(preview.is_running());
  EXPECT_FALSE(preview.is_stick_sound_missing());
  ASSERT_TRUE(wait_sound_flowing());
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(carries(stick_tone_hz, line_in_tone_hz));
}

TEST_F(sound_preview_test, after_the_stick_was_pulled_its_input_is_waited_for) {
  QSignalSpy missing(&preview, &sound_preview::stick_sound_missing);
  preview.start(any_stick, true);
  ASSERT_TRUE(wait_sound_flowing());
  remove_stick_source();
  preview.stick_gone();
  // Back, but the sound server does not list its input yet.
  preview.start(any_stick, true);
  EXPECT_FALSE(preview.is_running());
  EXPECT_EQ(preview.source(), nullptr);
  EXPECT_EQ(missing.count(), 0);

  ASSERT_GE(pulse_probe::load_source(pulse_probe::stick_source, pulse_probe::stick_description), 0);
  removed = -1;
  ASSERT_TRUE(QTest::qWaitFor([&] { return preview.is_running(); }, 10000));
  EXPECT_EQ(missing.count(), 0);
  EXPECT_FALSE(preview.is_stick_sound_missing());
  EXPECT_EQ(preview.stick_input().id(), pulse_probe::stick_source);
  ASSERT_TRUE(wait_sound_flowing());
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(carries(stick_tone_hz, line_in_tone_hz));
}

TEST_F(sound_preview_test, once_reading_stopped_nothing_more_is_read_or_handed_on) {
  preview.start(any_stick, true);
  ASSERT_TRUE(wait_sound_flowing());
  preview.stop_reading();
  const qint64 read = preview.bytes_read();
  const qsizetype handed = captured.size();
  QTest::qWait(500);
  EXPECT_EQ(preview.bytes_read(), read);
  EXPECT_EQ(captured.size(), handed);
}

TEST_F(sound_preview_test, release_stops_and_drops_input_and_output) {
  preview.start(any_stick, true);
  ASSERT_TRUE(wait_sound_flowing());
  preview.release();
  EXPECT_FALSE(preview.is_running());
  EXPECT_EQ(preview.source(), nullptr);
  EXPECT_EQ(preview.sink(), nullptr);
  preview.release();  // twice, as the window's destructor and the preview's own do
  EXPECT_EQ(preview.source(), nullptr);
}

}  // namespace
