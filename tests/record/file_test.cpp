// Files written by the encoder thread, read back with FFmpeg: the streams,
// every frame bit-exact and in order, the audio as sent, the made-up
// silence, the names and the split into numbered files.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <atomic>

#include "base/stopwatch.h"
#include "tests/record/recording_fixture.h"

namespace {

// The audio in a file is what was sent, from the start, in whole chunks.
void expect_audio_prefix(const QByteArray& written, const QByteArray& sent, qsizetype from = 0) {
  EXPECT_EQ(written.size() % 1000, 0);
  ASSERT_LE(from + written.size(), sent.size());
  EXPECT_TRUE(written == sent.mid(from, written.size())) << "audio differs from what was sent";
}

void expect_streams(const drawn_avi& file, int height, double frame_rate) {
  ASSERT_TRUE(file.opened) << file.error.toStdString();
  EXPECT_EQ(file.video_codec, "huffyuv");
  EXPECT_EQ(file.pixel_format, "yuv422p");
  EXPECT_EQ(file.width, 720);
  EXPECT_EQ(file.height, height);
  EXPECT_NEAR(file.frame_rate, frame_rate, 1e-6);
  EXPECT_EQ(file.audio_codec, "pcm_s16le");
  EXPECT_EQ(file.sample_rate, 48000);
  EXPECT_EQ(file.channels, 2);
  EXPECT_EQ(file.decode_errors, 0);
  EXPECT_TRUE(file.has_index);
}

struct standard_case {
  bool sixty_hz;
  int height;
  double frame_rate;
};

void PrintTo(const standard_case& c, std::ostream* out) { *out << (c.sixty_hz ? "60 Hz" : "50 Hz"); }

struct standards : recording, ::testing::WithParamInterface<standard_case> {};

TEST_P(standards, every_frame_and_the_audio_arrive_intact) {
  const standard_case c = GetParam();
  ASSERT_TRUE(start(path("movie"), c.sixty_hz));
  feed(20);
  ASSERT_TRUE(settle());
  feed(20);  // a second burst, after the encoder has gone idle once
  ASSERT_TRUE(settle());
  EXPECT_EQ(encoder.counters().frames_in_file, 40);
  stop();

  EXPECT_EQ(encoder.file_name(), path("movie.avi"));
  const drawn_avi file = read_drawn_avi(path("movie.avi"), field_lines);
  expect_streams(file, c.height, c.frame_rate);
  EXPECT_TRUE(is_run(file.frames, 0, 40));
  expect_audio_prefix(file.audio, sent_audio);
  EXPECT_EQ(file.audio_packets * 1000, file.audio.size());
  EXPECT_NEAR(file.audio_seconds(), file.video_seconds(), 1.0 / c.frame_rate + 1e-9);
  EXPECT_EQ(failures.count(), 0);
}

TEST_P(standards, without_audio_the_track_is_silence_as_long_as_the_video) {
  const standard_case c = GetParam();
  ASSERT_TRUE(start(path("silent"), c.sixty_hz));
  feed(30, false);
  // The last frame waits for audio that never comes.
  ASSERT_TRUE(settle(1));
  const int written = encoder.counters().frames_in_file;
  EXPECT_GE(written, 29);
  stop();

  const drawn_avi file = read_drawn_avi(path("silent.avi"), field_lines);
  expect_streams(file, c.height, c.frame_rate);
  EXPECT_TRUE(is_run(file.frames, 0, written));
  EXPECT_TRUE(file.audio == QByteArray(file.audio.size(), '\0'));
  EXPECT_NEAR(file.audio_seconds(), file.video_seconds(), 1.0 / c.frame_rate + 1e-9);
  // Made up because no sound came, and told.
  EXPECT_GE(encoder.counters().sound_missing_samples * 4, file.audio.size());
  EXPECT_TRUE(
      messages.contains_match("^recording: \\d+ ms of sound never came \\(silence in its place\\), 0 ms dropped$"));
}

INSTANTIATE_TEST_SUITE_P(recording, standards,
                         ::testing::Values(standard_case{false, 576, 25.0}, standard_case{true, 480, 30000.0 / 1001.0}),
                         [](const auto& info) { return info.param.sixty_hz ? "sixty_hz" : "fifty_hz"; });

// A live recording keeps its own clock: pictures that stop coming for a
// while (a stalled stick) leave repeats of the last frame in their place,
// the sound goes on beside them, and at the stop the clock's frame periods
// are the frames that came plus those lost.
TEST_F(recording, a_live_recording_repeats_frames_that_never_came) {
  settings.keep_time = true;
  ASSERT_TRUE(start(path("live")));
  QElapsedTimer clock;
  clock.start();
  // In real time: frames and their sound for 1 s, sound alone for 1 s,
  // then both again for 1 s.
  auto play = [&](int until_ms, bool pictures) {
    while (clock.elapsed() < until_ms) {
      play_to(clock.elapsed(), 40.0, pictures);
      QTest::qWait(10);
    }
  };
  play(1000, true);
  const int before_stall = next_frame;
  play(2000, false);
  const int after_stall = next_frame;
  play(3000, true);
  stop();

  const drawn_avi file = read_drawn_avi(path("live.avi"), field_lines);
  expect_streams(file, 576, 25.0);
  const recorder_counters ended = encoder.counters();
  const int64_t periods = ended.frame_periods, came = ended.frames_received;
  const int64_t repeated = ended.frames_repeated;
  // The file is as long as the recording, to within the frames still on
  // their way, and what came plus what was lost is what the clock counted.
  EXPECT_NEAR(double(file.frames.size()), double(periods), 3.0);
  EXPECT_EQ(int64_t(file.frames.size()), came + repeated);
  EXPECT_EQ(ended.frames_lost_untold(), periods - came);
  // The stall's frames are repeats, where the stall was.
  const int missing = after_stall - before_stall;
  EXPECT_NEAR(double(repeated), double(missing), 4.0);
  int repeats_in_file = 0;
  for (size_t i = 1; i < file.frames.size(); ++i) repeats_in_file += file.frames[i] == file.frames[i - 1];
  EXPECT_EQ(repeats_in_file, repeated);
  const auto first_after = std::find(file.frames.begin(), file.frames.end(), after_stall);
  ASSERT_NE(first_after, file.frames.end());
  EXPECT_NEAR(double(first_after - file.frames.begin()), double(after_stall), 4.0)
      << "the pictures after the stall stay with their time";
  EXPECT_NEAR(file.audio_seconds(), file.video_seconds(), 1.0 / 25 + 1e-9);
}

// Frames held up on their way for longer than the clock waits (a machine
// too busy to bring them) come at last, all at once, each stamped with its
// time on the bus: the repeats the clock wrote stand for them, and they
// give way, so the pictures after them keep their time.
TEST_F(recording, frames_that_were_only_late_give_way_to_the_repeats_in_their_place) {
  settings.keep_time = true;
  ASSERT_TRUE(start(path("late")));
  QElapsedTimer clock;
  clock.start();
  const int64_t origin = steady_clock_ns();
  auto send_frames_to = [&](int frame) {
    for (; next_frame < frame; ++next_frame)
      encoder.add_video_frame(new_frame(next_frame, field_lines), origin + int64_t(next_frame) * 40000000);
  };
  auto play = [&](int until_ms, bool pictures) {
    while (clock.elapsed() < until_ms) {
      play_to(clock.elapsed(), 1e12);  // the sound alone
      if (pictures) send_frames_to(int(clock.elapsed() / 40) + 1);
      QTest::qWait(10);
    }
  };
  play(1000, true);
  play(2000, false);  // held up: sound goes on, no pictures
  play(3000, true);   // the held ones at once, then as they come
  play(4000, false);  // held up again, and handed over only as it stops
  send_frames_to(int(clock.elapsed() / 40) + 1);
  const qint64 stopped_ms = clock.elapsed();
  stop();

  const drawn_avi file = read_drawn_avi(path("late.avi"), field_lines);
  EXPECT_EQ(int64_t(file.frames.size()), encoder.counters().frame_periods);
  EXPECT_NEAR(double(encoder.counters().frame_periods), stopped_ms / 40.0, 3.0)
      << "the periods are the recording's time";
  EXPECT_GT(encoder.counters().frames_repeated, 10) << "the clock did not fill the wait";
  // Every picture that went in is at its own time, to a frame of jitter.
  int worst = 0;
  for (size_t i = 1; i < file.frames.size(); ++i)
    if (file.frames[i] != file.frames[i - 1]) worst = std::max(worst, std::abs(file.frames[i] - int(i)));
  EXPECT_LE(worst, 2) << "a picture moved against its time";
  EXPECT_NEAR(file.audio_seconds(), file.video_seconds(), 1.0 / 25 + 1e-9);
}

// The sound of the last frames comes after them (through the sound
// server): a stop waits for it, taking what the owner still hands over,
// and the recording ends with its own sound rather than silence.
TEST_F(recording, a_stop_waits_for_the_sound_of_the_last_frames) {
  settings.keep_time = true;
  ASSERT_TRUE(start(path("end")));
  QElapsedTimer clock;
  clock.start();
  constexpr qint64 sound_lag_ms = 150;
  // Frames as they come; their sound 150 ms later.
  auto hand_over = [&](qint64 elapsed_ms) {
    const int64_t bytes_due = std::max<qint64>(0, elapsed_ms - sound_lag_ms) * 192;
    if (bytes_due > sent_audio.size()) {
      const QByteArray block = audio_bytes(sent_audio.size(), bytes_due - sent_audio.size());
      sent_audio += block;
      encoder.add_audio(QByteArray(block));
    }
  };
  while (clock.elapsed() < 1500) {
    const qint64 now = clock.elapsed();
    hand_over(now);
    while (next_frame < int(now / 40) + 1) encoder.add_video_frame(new_frame(next_frame++, field_lines));
    QTest::qWait(10);
  }
  encoder.stop_at(steady_clock_ns());
  // As the window does: the sound still comes while the recorder ends.
  while (!encoder.wait(5)) hand_over(clock.elapsed());
  EXPECT_EQ(failures.count(), 0) << failure();

  const drawn_avi file = read_drawn_avi(path("end.avi"), field_lines);
  expect_streams(file, 576, 25.0);
  EXPECT_NEAR(file.audio_seconds(), file.video_seconds(), 1e-9);
  // The last 100 ms: the sound sent (its samples count up), no silence.
  const qsizetype tail = 100 * 192;
  ASSERT_GE(file.audio.size(), tail);
  int zero_frames = 0;
  for (qsizetype at = file.audio.size() - tail; at < file.audio.size(); at += 4)
    zero_frames += file.audio.mid(at, 4) == QByteArray(4, '\0');
  EXPECT_LT(zero_frames, 10) << "the recording ends in silence";
}

// A disk that stops answering for a moment (a write that takes 200 ms, or
// two) holds up only the encoder thread: the frames wait in its queue, none
// is lost or repeated, and the file gets them all in order.
TEST_F(recording, a_writer_stalled_for_200_ms_loses_no_frame) {
  settings.keep_time = true;
  ASSERT_TRUE(start(path("stalled writer")));
  QElapsedTimer clock;
  clock.start();
  int stalled_at = -1;
  while (clock.elapsed() < 2000) {
    play_to(clock.elapsed());
    if (stalled_at < 0 && clock.elapsed() > 500) {
      stalled_at = encoder.counters().frames_in_file;
      recorder_probe::slow_writes(encoder, 200);
    } else if (stalled_at >= 0 && encoder.counters().frames_in_file > stalled_at) {
      recorder_probe::slow_writes(encoder, 0);
    }
    QTest::qWait(10);
  }
  ASSERT_GE(stalled_at, 0);
  recorder_probe::slow_writes(encoder, 0);
  // Stopped as the window stops: at an instant, with what was due by then.
  play_to(clock.elapsed());
  encoder.stop_at(steady_clock_ns());
  stop();

  const drawn_avi file = read_drawn_avi(path("stalled writer.avi"), field_lines);
  EXPECT_EQ(encoder.counters().frames_dropped, 0u);
  EXPECT_EQ(encoder.counters().frames_repeated, 0);
  EXPECT_EQ(encoder.counters().frames_received, next_frame);
  ASSERT_EQ(int(file.frames.size()), next_frame);
  for (int i = 0; i < next_frame; ++i) EXPECT_EQ(file.frames[size_t(i)], i) << "frame " << i;
}

TEST_F(recording, audio_without_video_writes_nothing_and_stays_bounded) {
  settings.tuning.max_queued_sound_seconds = 0.1;  // 19 chunks of 1000 bytes
  ASSERT_TRUE(start(path("stalled")));
  encoder.add_audio(QByteArray(audio_bytes(0, 30000)));  // 30 chunks at once
  EXPECT_EQ(queued_chunks(), 19);
  EXPECT_EQ(encoder.counters().sound_dropped_samples, 11 * 250);
  EXPECT_TRUE(messages.contains("audio: the recording cannot keep up; 57 ms of sound dropped so far"));
  for (int i = 0; i < 5; ++i) encoder.add_audio(QByteArray(audio_bytes(0, 4000)));
  const unsigned later = encoder.counters().passes;
  ASSERT_TRUE(QTest::qWaitFor([&] { return encoder.counters().passes >= later + 2; }, 10000));
  EXPECT_LE(queued_chunks(), 19);
  EXPECT_EQ(encoder.counters().sound_dropped_samples, 31 * 250);
  stop();

  const drawn_avi file = read_drawn_avi(path("stalled.avi"), field_lines);
  ASSERT_TRUE(file.opened) << file.error.toStdString();
  EXPECT_TRUE(file.frames.empty());
  EXPECT_EQ(file.audio.size(), 0);
}

TEST_F(recording, status_line_each_pass) {
  ASSERT_TRUE(start(path("status")));
  feed(5);
  ASSERT_TRUE(settle());
  stop();
  const QRegularExpression line(
      "^\"[ -]*\\d+\\.\\d{10}\" : supposed to have encoded [-+.e\\d]+ actually encoded (\\d+) ; "
      "video_queue\\.size\\(\\) (\\d+) audio_queue\\.size\\(\\) (\\d+) $");
  int status_lines = 0;
  bool saw_five = false;
  for (const QString& message : messages.messages()) {
    const auto match = line.match(message);
    if (!match.hasMatch()) continue;
    ++status_lines;
    if (match.captured(1) == "5" && match.captured(2) == "0") saw_five = true;
  }
  EXPECT_GE(status_lines, 2);
  EXPECT_TRUE(saw_five);
}

TEST_F(recording, never_overwrites_and_numbers_from_two) {
  for (const char* name : {"take.avi", "take2.avi"}) {
    QFile file(path(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("keep");
  }
  ASSERT_TRUE(start(path("take")));
  feed(3);
  ASSERT_TRUE(settle());
  stop();
  EXPECT_EQ(encoder.file_name(), path("take3.avi"));
  EXPECT_EQ(QFileInfo(path("take.avi")).size(), 4);
  EXPECT_EQ(QFileInfo(path("take2.avi")).size(), 4);
  EXPECT_TRUE(is_run(read_drawn_avi(path("take3.avi"), field_lines).frames, 0, 3));

  // The same object records again to the next free name.
  next_frame = 0;
  sent_audio.clear();
  recorder_probe::drop_pending_audio(encoder);
  ASSERT_TRUE(start(path("take")));
  feed(2);
  ASSERT_TRUE(settle());
  stop();
  EXPECT_EQ(encoder.file_name(), path("take4.avi"));
  EXPECT_TRUE(is_run(read_drawn_avi(path("take4.avi"), field_lines).frames, 0, 2));
}

TEST_F(recording, names_outside_ascii_reach_the_disk_unchanged) {
  const QString base = QString::fromUtf8("Aufnahme – Käse 日本");
  {
    QFile taken(path(base + ".avi"));
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
  }
  ASSERT_TRUE(start(path(base)));
  feed(3);
  ASSERT_TRUE(settle());
  stop();
  EXPECT_EQ(failures.count(), 0);
  EXPECT_EQ(encoder.file_name(), path(base + "2.avi"));
  EXPECT_TRUE(QFileInfo(path(base + "2.avi")).size() > 0);
  EXPECT_EQ(QFileInfo(path(base + ".avi")).size(), 0);
  EXPECT_TRUE(is_run(read_drawn_avi(path(base + "2.avi"), field_lines).frames, 0, 3));
}

TEST_F(recording, a_split_continues_in_the_next_free_file_with_every_frame_once) {
  {
    QFile taken(path("long2.avi"));
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
  }
  settings.tuning.split_frames = 10;
  ASSERT_TRUE(start(path("long")));
  feed(15);
  ASSERT_TRUE(settle());
  feed(10);
  ASSERT_TRUE(settle());
  stop();

  // Every file but the last holds exactly the frames asked for, however
  // they fell into passes; long2.avi is skipped.
  const QStringList names = {"long.avi", "long3.avi", "long4.avi", "long5.avi", "long6.avi", "long7.avi"};
  std::vector<drawn_avi> files;
  for (const QString& name : names) {
    if (!QFileInfo::exists(path(name))) break;
    files.push_back(read_drawn_avi(path(name), field_lines));
  }
  ASSERT_GE(files.size(), 2u);
  ASSERT_LT(files.size(), size_t(names.size()));
  EXPECT_EQ(encoder.file_name(), path(names[qsizetype(files.size()) - 1]));
  std::vector<int> frames;
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    expect_streams(files[i], 576, 25.0);
    if (i + 1 < files.size()) {
      EXPECT_EQ(files[i].frames.size(), 10u);
    }
    frames.insert(frames.end(), files[i].frames.begin(), files[i].frames.end());
  }
  EXPECT_TRUE(is_run(frames, 0, 25));
  // The sound goes on where it stopped, each file with its own pictures'.
  const QByteArray sound = expect_each_file_has_its_pictures_sound(files, false);
  EXPECT_TRUE(sound == sent_audio.left(sound.size()));
}

// At every split the closing file gets exactly the sound of its pictures
// and the next starts with the sound of its first picture, whenever that
// sound comes: with its frames, late (the split waits for it), or too late
// (silence in its place, and as much of the sound skipped when it comes).
struct split_case {
  const char* name;
  bool sixty_hz;
  int last_sound_ms;  // the sound of file 1's last picture comes this late; 0: with it
  int wait_ms;        // what the split waits for it
};

struct splits : recording, ::testing::WithParamInterface<split_case> {};

TEST_P(splits, every_file_holds_the_sound_of_its_own_pictures) {
  const split_case c = GetParam();
  constexpr int per_file = 7, total = 30;
  settings.tuning.split_frames = per_file;
  settings.tuning.split_sound_wait_ms = c.wait_ms;
  ASSERT_TRUE(start(path("split"), c.sixty_hz));
  QByteArray expected;
  if (c.last_sound_ms > 0) {
    // File 1's frames with the sound up to part of its last picture; the
    // rest of it later.
    // (In whole chunks of 1000 bytes: the recorder takes no less.)
    const int64_t half = (audio_bytes_for_frames(per_file - 1, c.sixty_hz) / 1000 + 3) * 1000;
    const int64_t end = audio_bytes_for_frames(per_file, c.sixty_hz) / 4 * 4;
    sent_audio = audio_bytes(0, half);
    encoder.add_audio(sent_audio);
    for (; next_frame < per_file; ++next_frame) encoder.add_video_frame(new_frame(next_frame, field_lines));
    expected = sent_audio;
    if (c.wait_ms < c.last_sound_ms) {
      ASSERT_TRUE(QTest::qWaitFor(
          [&] { return messages.contains_match("^recording: \\d+ ms of sound for the end of split.avi had not come"); },
          20000));
      expected += QByteArray(int(end - half), '\0');
    } else {
      QTest::qWait(c.last_sound_ms);
      expected += audio_bytes(half, end - half);
    }
    const QByteArray rest = audio_bytes(half, end - half);
    encoder.add_audio(rest);
    sent_audio += rest;
  }
  feed(total - next_frame);
  ASSERT_TRUE(settle());
  stop();
  EXPECT_EQ(failures.count(), 0) << failure();

  const std::vector<drawn_avi> files = read_split_files(path("split"), field_lines);
  ASSERT_EQ(files.size(), size_t((total + per_file - 1) / per_file));
  std::vector<int> frames;
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_TRUE(files[i].has_index);
    if (i + 1 < files.size()) {
      EXPECT_EQ(files[i].frames.size(), size_t(per_file)) << "file " << i + 1;
    }
    frames.insert(frames.end(), files[i].frames.begin(), files[i].frames.end());
  }
  EXPECT_TRUE(is_run(frames, 0, total));
  const QByteArray sound = expect_each_file_has_its_pictures_sound(files, c.sixty_hz);
  expected += sent_audio.mid(expected.size());
  ASSERT_LE(sound.size(), expected.size());
  // Each sample where it was sent: the sound's place against its pictures
  // holds across files.
  for (qsizetype at = 0; at < sound.size(); at += 4)
    ASSERT_TRUE(sound.mid(at, 4) == expected.mid(at, 4)) << "sample frame " << at / 4 << " moved";
}

INSTANTIATE_TEST_SUITE_P(recording, splits,
                         ::testing::Values(split_case{"pal", false, 0, 500}, split_case{"ntsc", true, 0, 500},
                                           split_case{"sound_late", false, 200, 20000},
                                           split_case{"sound_too_late", false, 1000, 50}),
                         [](const auto& info) { return std::string(info.param.name); });

// A frame limit counts over every file of a recording: exactly that many
// frames, the sound as long as they are, and the recording ends by itself,
// told once.
TEST_F(recording, a_frame_limit_ends_the_recording_with_exactly_that_many_frames_across_files) {
  signal_counter ends{&encoder, &recorder::limit_reached};
  settings.tuning.split_frames = 10;
  settings.frame_limit = 27;
  ASSERT_TRUE(start(path("limited")));
  // In bursts of 12, each written in a pass of its own: the first two files
  // hold 10 frames each, the third the last 7.
  feed(12);
  ASSERT_TRUE(settle());
  feed(12);
  ASSERT_TRUE(settle());
  feed(12);
  ASSERT_TRUE(ends.wait_for(1)) << "the limit did not end the recording";
  ASSERT_TRUE(encoder.wait(30000));
  EXPECT_EQ(failures.count(), 0);
  EXPECT_EQ(ends.count(), 1);
  EXPECT_EQ(encoder.counters().frames_received, 27);

  std::vector<int> frames;
  double audio_seconds = 0.0;
  for (const char* name : {"limited.avi", "limited2.avi", "limited3.avi", "limited4.avi"}) {
    if (!QFileInfo::exists(path(name))) break;
    const drawn_avi file = read_drawn_avi(path(name), field_lines);
    ASSERT_TRUE(file.opened) << file.error.toStdString();
    EXPECT_TRUE(file.has_index) << name;
    frames.insert(frames.end(), file.frames.begin(), file.frames.end());
    audio_seconds += file.audio_seconds();
  }
  EXPECT_TRUE(QFileInfo::exists(path("limited3.avi"))) << "no split before the limit";
  EXPECT_TRUE(is_run(frames, 0, 27)) << frames.size() << " frames";
  EXPECT_NEAR(audio_seconds, 27 / 25.0, 2 / 25.0);
}

// A disk slower than the picture: the recording takes what it can, its
// queues stay bounded, it still splits, and a stop is prompt. Every frame
// handed over is written or told lost, and so is the sound.
TEST_F(recording, writing_slower_than_the_picture_stays_bounded_splits_and_stops_promptly) {
  settings.keep_time = true;
  recorder_probe::slow_writes(encoder, 80);  // half the speed of the picture
  settings.tuning.split_frames = 30;
  settings.tuning.max_queued_frames = 25;
  settings.tuning.max_queued_sound_seconds = 1.0;
  settings.tuning.stop_budget_ms = 500;
  // Its sound is all there: the stop's wait for it is no part of this.
  settings.tuning.last_sound_wait_ms = 0;
  ASSERT_TRUE(start(path("slow")));
  int64_t dropped_told = 0;
  QObject::connect(&encoder, &recorder::dropped_frames, [&](uint n) { dropped_told += n; });
  QElapsedTimer clock;
  clock.start();
  int most_frames = 0, most_chunks = 0;
  // In real time until the second file has begun and frames were dropped.
  while (clock.elapsed() < 60000) {
    play_to(clock.elapsed());
    // Frames, not the repeats queued in place of lost ones (no memory).
    most_frames = std::max(most_frames, int(recorder_probe::frames_that_came_queued(encoder)));
    most_chunks = std::max(most_chunks, queued_chunks());
    if (QFileInfo::exists(path("slow2.avi")) && encoder.counters().sound_dropped_samples > 0 && clock.elapsed() > 4000)
      break;
    QTest::qWait(10);
  }
  ASSERT_TRUE(QFileInfo::exists(path("slow2.avi"))) << "no split while writing fell behind";
  EXPECT_LE(most_frames, 25);
  EXPECT_LE(most_chunks, 192);

  QElapsedTimer stopping;
  stopping.start();
  stop();
  // The stop's own budget, a pass and a frame being written: well under
  // two seconds however busy the machine.
  EXPECT_LT(stopping.elapsed(), 2000);

  // Every frame handed over was written as it came or dropped and told.
  QCoreApplication::processEvents();
  EXPECT_EQ(encoder.counters().frames_received + int64_t(encoder.counters().frames_dropped), int64_t(next_frame));
  EXPECT_EQ(dropped_told, int64_t(encoder.counters().frames_dropped));
  EXPECT_GT(encoder.counters().sound_dropped_samples, 0);
  EXPECT_TRUE(messages.contains_match(
      "^recording: \\d+ ms of sound never came \\(silence in its place\\), [1-9]\\d* ms dropped$"));
  for (const char* name : {"slow.avi", "slow2.avi"}) {
    const drawn_avi file = read_drawn_avi(path(name), field_lines);
    expect_streams(file, 576, 25.0);
  }
}

// A terminal that stops taking output (a paused terminal, a full pipe)
// holds up the encoder's status line, but never the main thread handing
// frames and sound over.
std::atomic<bool> status_blocked{false}, status_release{false};
void blocking_handler(QtMsgType, const QMessageLogContext&, const QString& message) {
  if (!message.contains("supposed to have encoded") || status_release) return;
  status_blocked = true;
  for (int i = 0; i < 1000 && !status_release; ++i) QThread::msleep(10);
  status_blocked = false;
}

TEST_F(recording, a_blocked_terminal_holds_up_no_hand_over) {
  ASSERT_TRUE(start(path("blocked")));
  status_release = false;
  const QtMessageHandler previous = qInstallMessageHandler(blocking_handler);
  ASSERT_TRUE(QTest::qWaitFor([] { return status_blocked.load(); }, 10000));
  feed(5);
  const bool still_blocked = status_blocked;
  status_release = true;
  qInstallMessageHandler(previous);
  EXPECT_TRUE(still_blocked) << "the hand-over waited for the terminal";
  stop();
}

}  // namespace
