// A recording driven the way the main window drives it: start, frames and
// audio handed over from this (the main) thread, stop, then the files.
#pragma once

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "record/recorder.h"
#include "tests/support/avi_file.h"
#include "tests/support/message_log.h"
#include "tests/support/recorder_probe.h"
#include "tests/support/signal_counter.h"
#include "tests/support/synthetic_media.h"

// Sample frames of sound that the first `pictures` frames of a recording
// last: 1920 each at 25 a second, 1601.6 at 30000/1001 (rounded).
inline int64_t sound_of_pictures(int64_t pictures, bool sixty_hz) {
  return sixty_hz ? (pictures * 16016 + 5) / 10 : pictures * 1920;
}

// The numbered files of a split recording, in order, from base_name.avi on.
inline std::vector<drawn_avi> read_split_files(const QString& base_name, int field_lines, bool noisy = false) {
  std::vector<drawn_avi> files;
  for (int n = 1;; ++n) {
    const QString name = base_name + (n == 1 ? QString() : QString::number(n)) + ".avi";
    if (!QFileInfo::exists(name)) break;
    files.push_back(read_drawn_avi(name, field_lines, noisy));
  }
  return files;
}

// Every file a split closed holds the sound of its own pictures, to the
// sample: the sound of its first picture first. So a sound's place against
// its picture holds across any number of splits. (The last file, of a
// recording that is not live, ends with its last whole chunk.) Returns the
// sound of all files, in order.
inline QByteArray expect_each_file_has_its_pictures_sound(const std::vector<drawn_avi>& files, bool sixty_hz) {
  QByteArray sound;
  int64_t pictures = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE("file " + std::to_string(i + 1));
    const int64_t first = pictures;
    pictures += int64_t(files[i].frames.size());
    const int64_t own = sound_of_pictures(pictures, sixty_hz) - sound_of_pictures(first, sixty_hz);
    if (i + 1 < files.size())
      EXPECT_EQ(int64_t(files[i].audio.size()) / 4, own) << files[i].frames.size() << " frames";
    else
      EXPECT_NEAR(double(files[i].audio.size() / 4), double(own), 2000.0) << files[i].frames.size() << " frames";
    sound += files[i].audio;
  }
  return sound;
}

struct recording : ::testing::Test {
  QTemporaryDir dir;
  recorder encoder;
  // What the next start() records; tests change it before.
  recording_settings settings;
  message_log messages;
  signal_counter failures{&encoder, &recorder::recording_failed};
  int field_lines = 288;
  bool noisy = false;
  int next_frame = 0;
  QByteArray sent_audio;

  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    QObject::connect(
        &encoder, &recorder::recording_failed, &encoder,
        [this](const QString& message) {
          std::lock_guard lock(failure_mutex);
          failure_text = message.toStdString();
        },
        Qt::DirectConnection);
  }
  void TearDown() override {
    encoder.request_stop();
    EXPECT_TRUE(encoder.wait(30000));
  }

  QString path(const QString& name) const { return dir.filePath(name); }
  std::string failure() const {
    std::lock_guard lock(failure_mutex);
    return failure_text;
  }

  // Starts a recording to base_name and waits until the file is open and
  // the first pass is over, so what is handed over from now on is recorded.
  bool start(const QString& base_name, bool sixty_hz = false) {
    field_lines = sixty_hz ? 240 : 288;
    settings.field_lines = field_lines;
    settings.rate = sixty_hz ? sixty_hz_frame_rate : pal_frame_rate;
    settings.base_name = base_name;
    encoder.start_recording(settings);
    return QTest::qWaitFor([&] { return passes() >= 1 || encoder.isFinished(); }, 10000) && passes() >= 1;
  }
  unsigned passes() const { return encoder.counters().passes; }
  bool sixty_hz() const { return settings.rate == sixty_hz_frame_rate; }

  // The next `count` frames, each after the audio that covers it.
  void feed(int count, bool with_audio = true) {
    for (int i = 0; i < count; ++i, ++next_frame) {
      if (with_audio) {
        const int64_t until = audio_bytes_for_frames(next_frame + 1, sixty_hz());
        const QByteArray block = audio_bytes(sent_audio.size(), until - sent_audio.size());
        sent_audio += block;
        encoder.add_audio(QByteArray(block));
      }
      encoder.add_video_frame(new_frame(next_frame, field_lines, noisy));
    }
  }

  // As in real time: the sound due `elapsed_ms` after the start, and the
  // frames due by then at one every `frame_ms` (skipped, their time passing
  // without them, when `pictures` is false).
  void play_to(qint64 elapsed_ms, double frame_ms = 40.0, bool pictures = true) {
    const int frames_due = int(double(elapsed_ms) / frame_ms) + 1;
    const int64_t bytes_due = elapsed_ms * 192;  // 48000 Hz x 4 bytes
    const QByteArray block = audio_bytes(sent_audio.size(), bytes_due - sent_audio.size());
    if (!block.isEmpty()) {
      sent_audio += block;
      encoder.add_audio(QByteArray(block));
    }
    if (!pictures) next_frame = std::max(next_frame, frames_due);
    while (next_frame < frames_due) encoder.add_video_frame(new_frame(next_frame++, field_lines));
  }

  int queued_frames() { return int(recorder_probe::queued_frames(encoder)); }
  int queued_chunks() { return int(recorder_probe::queued_chunks(encoder)); }

  // Waits until the encoder can do no more with what it holds: at most
  // frames_left frames waiting and no audio to write them with, and the
  // pass that took the last frame over.
  bool settle(int frames_left = 0) {
    const bool idle = QTest::qWaitFor(
        [&] {
          return recorder_probe::with_queues(encoder, [&](const auto& video, const auto& audio) {
            return video.size() <= size_t(frames_left) && (video.empty() || audio.empty());
          });
        },
        20000);
    const unsigned pass = passes();
    return idle && QTest::qWaitFor([&] { return passes() > pass; }, 10000);
  }

  void stop() {
    encoder.request_stop();
    ASSERT_TRUE(encoder.wait(30000));
  }

 private:
  mutable std::mutex failure_mutex;
  std::string failure_text;
};
