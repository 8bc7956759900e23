// Sound against a real PulseAudio server (tests/support/with_pulse.sh): what
// the program plays on the preview output, the stick's input and line-in,
// mute, the source switch, the fallback and the preferences it writes.
#include <gtest/gtest.h>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QAudioSource>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <memory>

#include "app/main_window.h"
#include "audio/audio_device_search.h"
#include "capture/device_registers.h"
#include "sim/in_process_backend.h"
#include "tests/support/pulse_probe.h"
#include "tests/support/signal_counter.h"
#include "tests/support/window_fixture.h"

namespace {

using pulse_probe::line_in_tone_hz;
using pulse_probe::stick_tone_hz;

// Loud enough to be the tone that plays (the feed is a full-scale sine at
// -18 dBFS or so), and far above what leaks into a neighbouring frequency.
constexpr double audible = 500.0;
constexpr double quiet = 50.0;

struct audio_test : window_fixture {
  void SetUp() override {
    if (!pulse_probe::server_available()) GTEST_SKIP() << "no test sound server (run under with_pulse.sh)";
    window_fixture::SetUp();
  }
  void store_easycap_audio(bool easycap) {
    QByteArray bytes(9, '\0');
    bytes[4] = easycap ? 1 : 0;
    store(bytes);
  }
  QAction* easycap() { return menu_item("&Audio", "&Easycap"); }
  QAction* line_in() { return menu_item("&Audio", "&Line-in"); }
  QAction* mute() { return menu_item("&Audio", "&Mute audio preview"); }

  bool wait_audio_running() {
    return QTest::qWaitFor([&] { return parts->sound.is_running(); }, 10000);
  }
  // Sound has come in from the input (a fresh server can take over a second).
  bool wait_sound_flowing() {
    const qint64 before = parts->sound.bytes_read();
    return QTest::qWaitFor([&] { return parts->sound.bytes_read() > before + 48000; }, 8000);
  }
  std::vector<int16_t> listen(int ms = 600) { return pulse_probe::record_preview(ms); }
  // The preview plays this tone and not the other one. A new output stream
  // starts playing once the server has buffered enough, so listen a few times.
  ::testing::AssertionResult hears(double hz, double other_hz) {
    double level = 0.0, other = 0.0;
    for (int attempt = 0; attempt < 8; ++attempt) {
      const auto heard = listen(400);
      level = pulse_probe::tone_level(heard, hz);
      other = pulse_probe::tone_level(heard, other_hz);
      if (level > audible && other < quiet) return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << hz << " Hz at " << level << ", " << other_hz << " Hz at " << other;
  }
  ::testing::AssertionResult hears_stick() { return hears(stick_tone_hz, line_in_tone_hz); }
  ::testing::AssertionResult hears_line_in() { return hears(line_in_tone_hz, stick_tone_hz); }
  // Nothing plays, after what is already queued in the server drained.
  ::testing::AssertionResult hears_nothing() {
    QTest::qWait(300);
    const int p = pulse_probe::peak(listen(400));
    if (p < 100) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "peak " << p;
  }
};

TEST(audio_device_names, only_the_stick_names_match) {
  EXPECT_TRUE(is_easycap_audio_name("USB Audio Interface"));
  EXPECT_FALSE(is_easycap_audio_name("Generic USB Audio Interface"));
  EXPECT_FALSE(is_easycap_audio_name("USB Audio Interface Analog Stereo"));
  EXPECT_FALSE(is_easycap_audio_name("usb audio interface"));
  EXPECT_TRUE(is_easycap_audio_name("Digital Audio Interface"));
  EXPECT_TRUE(is_easycap_audio_name("C-Media Digital Audio Interface (2)"));
  EXPECT_FALSE(is_easycap_audio_name("digital audio interface"));
  EXPECT_FALSE(is_easycap_audio_name(""));
}

// On Linux the input is named after udev's id of the USB sound card, built
// from the strings the stick reported.
TEST(audio_device_names, the_sticks_input_is_known_by_its_usb_identity) {
  const usb_device_identity stick{"Syntek Semiconductor", "USB 2.0 Video Capture Controller", 1};
  EXPECT_EQ(easycap_sound_card_id(stick), "usb-Syntek_Semiconductor_USB_2.0_Video_Capture_Controller-01");
  // Nothing known yet: what every stick reports.
  EXPECT_EQ(easycap_sound_card_id({}), easycap_sound_card_id(stick));
  // udev's rules: whitespace runs make one '_', the ends are trimmed, other
  // characters it does not keep become '_'.
  EXPECT_EQ(easycap_sound_card_id({"  Some   Maker ", "Grabber (v2)/x", 2}), "usb-Some_Maker_Grabber__v2__x-02");

  const QString name = pulse_probe::stick_source;
  EXPECT_TRUE(is_easycap_audio_input(pulse_probe::stick_description, name, stick));
  // PipeWire names its nodes the same way; another profile is the same stick.
  EXPECT_TRUE(is_easycap_audio_input(
      "x", "alsa_input.usb-Syntek_Semiconductor_USB_2.0_Video_Capture_Controller-01.mono-fallback", stick));
  // Another vendor's stick with the same product string, and sticks on
  // other interfaces or of other makers, are not this one.
  EXPECT_FALSE(
      is_easycap_audio_input("USB 2.0 Video Capture Controller Analog Stereo", pulse_probe::lookalike_source, stick));
  EXPECT_FALSE(is_easycap_audio_input(
      "x", "alsa_input.usb-Syntek_Semiconductor_USB_2.0_Video_Capture_Controller-010.analog-stereo", stick));
  EXPECT_FALSE(is_easycap_audio_input(
      pulse_probe::stick_description,
      "alsa_output.usb-Syntek_Semiconductor_USB_2.0_Video_Capture_Controller-01.analog-stereo", stick));
  EXPECT_FALSE(is_easycap_audio_input(pulse_probe::stick_description, name, {"Other", "Grabber", 1}));
  // The stick's own names hold whatever the identity.
  EXPECT_TRUE(is_easycap_audio_input("USB Audio Interface", "anything", stick));
}

TEST_F(audio_test, stick_sound_plays_on_the_preview_and_line_in_replaces_it) {
  open_window();
  ASSERT_TRUE(wait_audio_running());
  // Found by its USB identity, not the look-alike listed before it.
  EXPECT_EQ(parts->sound.stick_input().id(), pulse_probe::stick_source);
  EXPECT_EQ(parts->sound.stick_input().description(), pulse_probe::stick_description);
  EXPECT_TRUE(easycap()->isChecked());
  EXPECT_TRUE(easycap()->isEnabled());
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(hears_stick());

  // The switch replaces the input, plays the other source and stores it.
  line_in()->trigger();
  ASSERT_NE(parts->sound.source(), nullptr);
  EXPECT_NE(parts->sound.source()->state(), QAudio::StoppedState);
  EXPECT_FALSE(window->preferences().current().easycap_audio);
  EXPECT_EQ(stored().size(), 9);
  EXPECT_EQ(stored().at(4), 0);
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(hears_line_in());

  easycap()->trigger();
  EXPECT_EQ(stored().at(4), 1);
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(hears_stick());
}

TEST_F(audio_test, stored_line_in_plays_the_default_input_and_still_finds_the_stick) {
  store_easycap_audio(false);
  open_window();
  ASSERT_TRUE(wait_audio_running());
  EXPECT_TRUE(line_in()->isChecked());
  EXPECT_TRUE(easycap()->isEnabled());
  EXPECT_EQ(parts->sound.stick_input().id(), pulse_probe::stick_source);
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(hears_line_in());
}

TEST_F(audio_test, mute_silences_the_preview_and_a_switch_makes_it_audible_again) {
  open_window();
  ASSERT_TRUE(wait_audio_running());
  ASSERT_TRUE(wait_sound_flowing());
  mute()->trigger();
  EXPECT_TRUE(mute()->isChecked());
  EXPECT_TRUE(parts->sound.is_muted());
  EXPECT_TRUE(hears_nothing());
  // Sound still comes in while muted; the preview just does not play it,
  // and the meters show it as it is recorded (the tone at -18 dBFS).
  EXPECT_TRUE(wait_sound_flowing());
  const auto* meters = window->findChild<const sound_meters*>("sound_meters");
  ASSERT_NE(meters, nullptr);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        const sound_levels::reading levels = meters->levels();
        return std::all_of(levels.begin(), levels.end(), [](const sound_levels::channel_level& level) {
          return !level.no_sound && level.peak_db > -24.0 && level.peak_db < -12.0;
        });
      },
      5000));

  mute()->trigger();
  EXPECT_FALSE(mute()->isChecked());
  EXPECT_TRUE(hears_stick());

  mute()->trigger();
  line_in()->trigger();
  EXPECT_FALSE(mute()->isChecked());
  EXPECT_FALSE(parts->sound.is_muted());
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(hears_line_in());
}

TEST_F(audio_test, mute_before_the_first_stream_holds_once_the_preview_exists) {
  stick->hold_at(easycap::window_end_y_high);  // programming stops before the stick streams
  open_window();
  ASSERT_TRUE(stick->wait_held(10000));
  mute()->trigger();
  EXPECT_TRUE(mute()->isChecked());
  EXPECT_TRUE(parts->sound.is_muted());
  stick->release_hold();
  ASSERT_TRUE(wait_audio_running());
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(mute()->isChecked());
  EXPECT_TRUE(hears_nothing());

  mute()->trigger();
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(hears_stick());
}

// The stick's source is removed from the server for a test and put back after.
struct audio_without_stick_source : audio_test {
  int removed = -1;
  std::vector<int> loaded;
  void SetUp() override {
    audio_test::SetUp();
    if (IsSkipped()) return;
    removed = pulse_probe::module_of_source(pulse_probe::stick_source);
    ASSERT_GE(removed, 0);
    pulse_probe::unload_module(removed);
    ASSERT_TRUE(pulse_probe::wait_for_input(pulse_probe::stick_source, false));
  }
  void TearDown() override {
    window.reset();
    for (int index : loaded) pulse_probe::unload_module(index);
    if (removed >= 0) {
      pulse_probe::load_source(pulse_probe::stick_source, pulse_probe::stick_description);
      pulse_probe::wait_for_input(pulse_probe::stick_source, true);
    }
    audio_test::TearDown();
  }
  void add_source(const QString& name, const QString& description) {
    const int index = pulse_probe::load_source(name, description);
    ASSERT_GE(index, 0);
    loaded.push_back(index);
    ASSERT_TRUE(pulse_probe::wait_for_input(name, true));
  }
  void expect_fallen_back() {
    EXPECT_FALSE(easycap()->isChecked());
    EXPECT_FALSE(easycap()->isEnabled());
    EXPECT_TRUE(line_in()->isChecked());
    EXPECT_FALSE(window->preferences().current().easycap_audio);
    EXPECT_TRUE(parts->sound.is_stick_sound_missing());
  }
};

// The look-alike stays listed: neither its name nor its description makes it
// the stick.
TEST_F(audio_without_stick_source, a_name_that_only_contains_the_stick_name_falls_back_silently) {
  add_source("lookalike", "Generic USB Audio Interface 2");
  store_easycap_audio(true);
  open_window();
  ASSERT_TRUE(wait_audio_running());
  expect_fallen_back();
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  // The fallback is not written: the next start looks for the stick again.
  EXPECT_EQ(stored().at(4), 1);
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(hears_line_in());
}

TEST_F(audio_without_stick_source, a_digital_audio_interface_is_the_stick) {
  add_source("digital", "C-Media Digital Audio Interface");
  open_window();
  ASSERT_TRUE(wait_audio_running());
  EXPECT_TRUE(easycap()->isChecked());
  EXPECT_TRUE(easycap()->isEnabled());
  EXPECT_EQ(parts->sound.stick_input().description(), "C-Media Digital Audio Interface");
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(hears_stick());
}

// Systems that show the USB interface's own name.
TEST_F(audio_without_stick_source, the_usb_audio_interface_name_is_the_stick) {
  add_source("usb_audio_interface", "USB Audio Interface");
  open_window();
  ASSERT_TRUE(wait_audio_running());
  EXPECT_TRUE(easycap()->isChecked());
  EXPECT_EQ(parts->sound.stick_input().description(), "USB Audio Interface");
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(hears_stick());
}

// The identity is the attached stick's own: a stick that reports other
// strings is another card to the sound server, and the input named after
// this one's strings is not its sound.
TEST_F(audio_test, the_identity_comes_from_the_attached_stick) {
  stick->manufacturer = "Other Maker";
  open_window();
  ASSERT_TRUE(wait_audio_running());
  EXPECT_EQ(parts->capture.identity().manufacturer, "Other Maker");
  EXPECT_TRUE(parts->sound.is_stick_sound_missing());
  EXPECT_TRUE(line_in()->isChecked());
  const QString other = "alsa_input.usb-Other_Maker_USB_2.0_Video_Capture_Controller-01.analog-stereo";
  const int index = pulse_probe::load_source(other, "Other Maker Analog Stereo");
  ASSERT_GE(index, 0);
  ASSERT_TRUE(pulse_probe::wait_for_input(other, true));
  window.reset();
  open_window();
  ASSERT_TRUE(wait_audio_running());
  EXPECT_FALSE(parts->sound.is_stick_sound_missing());
  EXPECT_EQ(parts->sound.stick_input().description(), "Other Maker Analog Stereo");
  window.reset();
  pulse_probe::unload_module(index);
}

// Pulled out and plugged in again: the sound server lists the stick's input
// anew, a moment after the picture is back, and its sound plays again.
TEST_F(audio_test, the_sticks_sound_comes_back_with_the_stick) {
  open_window();
  ASSERT_TRUE(wait_audio_running());
  ASSERT_TRUE(wait_sound_flowing());
  ASSERT_TRUE(hears_stick()) << "before it was pulled out";
  const int module = pulse_probe::module_of_source(pulse_probe::stick_source);
  ASSERT_GE(module, 0);
  stick->unplug();
  pulse_probe::unload_module(module);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !parts->sound.is_running(); }, 10000));
  stick->replug();
  QTest::qWait(1500);
  ASSERT_GE(pulse_probe::load_source(pulse_probe::stick_source, pulse_probe::stick_description), 0);
  ASSERT_TRUE(wait_audio_running());
  EXPECT_TRUE(easycap()->isChecked());
  EXPECT_FALSE(parts->sound.is_stick_sound_missing());
  EXPECT_EQ(parts->sound.stick_input().id(), pulse_probe::stick_source);
  // What the program reads from the stick's input, beside what it plays.
  std::vector<int16_t> read;
  QObject::connect(&parts->sound, &sound_preview::sound_captured, [&](const QByteArray& bytes) {
    const auto* samples = reinterpret_cast<const int16_t*>(bytes.constData());
    read.insert(read.end(), samples, samples + bytes.size() / 2);
  });
  ASSERT_TRUE(wait_sound_flowing());
  // Said apart when it fails: the input silent, or the preview.
  EXPECT_TRUE(hears_stick()) << "read from the stick's input: 1000 Hz at "
                             << pulse_probe::tone_level(read, stick_tone_hz);
}

TEST_F(audio_test, a_stick_without_codec_falls_back_at_once_although_its_source_is_listed) {
  stick_faults faults;
  faults.codec_silent = true;
  stick->set_faults(faults);
  open_window();
  ASSERT_TRUE(wait_audio_running());
  EXPECT_TRUE(parts->sound.is_stick_sound_missing());
  EXPECT_FALSE(easycap()->isEnabled());
  EXPECT_TRUE(line_in()->isChecked());
  EXPECT_EQ(stored(), "<missing>");
  ASSERT_TRUE(wait_sound_flowing());
  EXPECT_TRUE(hears_line_in());
}

TEST_F(audio_test, choosing_the_stick_after_it_reported_no_codec_records_line_in) {
  store_easycap_audio(false);
  stick_faults faults;
  faults.codec_silent = true;
  stick->set_faults(faults);
  stick->hold_at(easycap::window_end_y_high);  // after the codec check, before the stream
  open_window();
  ASSERT_TRUE(stick->wait_held(10000));
  // The codec report is queued to the window: let it arrive.
  ASSERT_TRUE(QTest::qWaitFor([&] { return parts->sound.is_stick_sound_missing(); }, 5000));
  ASSERT_TRUE(easycap()->isEnabled());
  easycap()->trigger();
  EXPECT_TRUE(parts->sound.is_running());
  EXPECT_FALSE(easycap()->isChecked());
  EXPECT_FALSE(easycap()->isEnabled());
  EXPECT_TRUE(line_in()->isChecked());
  EXPECT_EQ(stored().at(4), 0);
  stick->release_hold();
}

TEST_F(audio_test, the_first_start_applies_the_stored_settings_once_even_after_an_early_switch) {
  // NTSC, 16:9, sound from the stick.
  store(QByteArray("\x00\x01\x00\x01\x01\x00\x00\x00\x00", 9));
  stick->hold_at(easycap::window_end_y_high);
  open_window();
  ASSERT_TRUE(stick->wait_held(10000));
  int standards = 0;
  QObject::connect(window.get(), &main_window::set_standard, [&] { ++standards; });
  EXPECT_EQ(window->size(), with_meters({768, 596}));

  line_in()->trigger();  // before the first stream: the first start runs now
  EXPECT_EQ(standards, 1);
  EXPECT_TRUE(parts->sound.is_running());
  EXPECT_TRUE(QTest::qWaitFor([&] { return window->size() == with_meters({640, 380}); }, 5000));

  stick->release_hold();
  signal_counter streaming(&parts->capture, &capture_thread::easycap_streaming);
  ASSERT_TRUE(streaming.wait_for(1));
  QTest::qWait(300);  // the streaming report reaches the window, which must not act again
  EXPECT_EQ(standards, 1);
  EXPECT_FALSE(window->preferences().current().easycap_audio);
  EXPECT_EQ(stored().at(4), 0);
}

}  // namespace
