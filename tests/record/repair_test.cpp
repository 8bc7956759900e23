// The repair of a recording whose writer died: the file as it stands on the
// disk mid-recording (no trailer, lengths 0, the last chunk torn anywhere),
// made whole in place; and what it leaves alone.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/file.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFile>
#include <functional>

#include "record/avi_repair.h"
#include "record/recording_journal.h"
#include "tests/record/recording_fixture.h"
#include "tests/support/avi_chunks.h"

namespace {

using ::testing::HasSubstr;

// The `n`th chunk with `id`.
const chunk_at& nth(const std::vector<chunk_at>& chunks, const char* id, int n) {
  const chunk_at* c = nth_chunk(chunks, id, n);
  if (!c) ADD_FAILURE() << "no chunk " << id;
  return c ? *c : chunks.front();
}

// `count` chunks with `id` and `size` bytes of data, one after the other.
QByteArray chunks(const char* id, uint32_t size, int count) {
  QByteArray one = QByteArray(id, 4) + QByteArray(reinterpret_cast<const char*>(&size), 4) + QByteArray(size, '\x5a');
  return one.repeated(count);
}

struct repair : recording {
  // The file of a recording still running, as a crash would leave it: what
  // the writer has handed to the system so far.
  QByteArray unfinished_file(const QString& name, int frames, bool sixty_hz = false) {
    EXPECT_TRUE(start(path(name), sixty_hz));
    feed(frames);
    EXPECT_TRUE(settle());
    const QByteArray bytes = file_bytes(path(name + ".avi"));
    stop();
    return bytes;
  }

  // Repairs a copy of `bytes` and checks it against what was sent: every
  // frame whole and in order, the sound as sent, an index, and lengths that
  // say so.
  avi_repair_result expect_repaired(const QByteArray& bytes, const QString& name, bool sixty_hz = false) {
    const QString copy = path(name);
    EXPECT_TRUE(write_bytes(copy, bytes));
    const avi_repair_result result = repair_avi(copy);
    EXPECT_TRUE(result.ok) << name.toStdString() << ": " << result.error.toStdString();
    if (!result.ok) return result;
    const drawn_avi file = read_drawn_avi(copy, sixty_hz ? 240 : 288);
    EXPECT_TRUE(file.opened) << file.error.toStdString();
    EXPECT_TRUE(file.has_index) << name.toStdString();
    EXPECT_EQ(file.decode_errors, 0) << name.toStdString();
    EXPECT_TRUE(is_run(file.frames, 0, int(file.frames.size()))) << name.toStdString();
    EXPECT_EQ(int64_t(file.frames.size()), result.video_frames) << name.toStdString();
    EXPECT_EQ(int64_t(file.audio.size()), result.audio_samples * 4) << name.toStdString();
    EXPECT_TRUE(file.audio == audio_bytes(0, file.audio.size())) << name.toStdString();
    EXPECT_NEAR(result.video_seconds, double(result.video_frames) / (sixty_hz ? 30000.0 / 1001.0 : 25.0), 1e-9);
    // Whole now: again, nothing to do.
    const QByteArray repaired = file_bytes(copy);
    const avi_repair_result again = repair_avi(copy);
    EXPECT_TRUE(again.ok && again.was_whole) << name.toStdString();
    EXPECT_EQ(again.video_frames, result.video_frames);
    EXPECT_TRUE(file_bytes(copy) == repaired) << name.toStdString();
    return result;
  }
};

TEST_F(repair, a_file_torn_anywhere_keeps_every_whole_frame_and_its_sound) {
  const QByteArray bytes = unfinished_file("unfinished", 40);
  ASSERT_GT(bytes.size(), 4 << 20);
  // Torn at the end as the writer left it, and cut short at many places:
  // in a frame's data, in a chunk header, right after a chunk.
  // Before its first frame is whole there is nothing to keep (told below).
  const chunk_at first = nth(chunks_of(bytes), "00dc", 0);
  int64_t previous = -1;
  for (int i = 0; i <= 16; ++i) {
    const qsizetype size = i == 16 ? bytes.size() : qsizetype(20000 + int64_t(bytes.size() - 20000) * i / 16 + i * 37);
    if (size < first.at + 8 + first.size) continue;
    const avi_repair_result result = expect_repaired(bytes.left(size), QString("cut%1.avi").arg(i));
    if (!result.ok) continue;
    EXPECT_FALSE(result.was_whole);
    EXPECT_GE(result.video_frames, previous);
    previous = result.video_frames;
  }
  // Most of what was written is still there at the full length.
  EXPECT_GE(previous, 30);
}

// A damaged chunk header in the part the repair walks is not the end: the
// chunks after it are found again and kept, a damaged size mended, and only
// what cannot be placed dropped; chunks that no frame can be are no frames.
TEST_F(repair, a_damaged_chunk_header_loses_only_what_cannot_be_placed) {
  const QByteArray bytes = unfinished_file("damaged", 40);
  const std::vector<chunk_at> written = chunks_of(bytes);
  const avi_repair_result undamaged = expect_repaired(bytes, "undamaged.avi");
  const chunk_at& frame = nth(written, "00dc", 20);
  const chunk_at& sound = nth(written, "01wb", 60);
  // Where the last whole chunk ends; a bigger size that still fits a frame.
  qsizetype whole_end = 0;
  for (const chunk_at& c : written)
    if (c.at + 8 + c.size <= bytes.size()) whole_end = c.at + 8 + c.size + (c.size & 1);
  uint32_t bit = 1u << 12;
  while (frame.size & bit) bit <<= 1;
  const uint32_t bigger = frame.size | bit;
  ASSERT_GT(frame.size, 4096u);
  struct damage {
    const char* name;
    std::function<void(QByteArray*)> apply;
    int frames_lost, mended, stretches;
  };
  const damage cases[] = {
      {"first_size_corrupt", [&](QByteArray* b) { put_size(b, written.front(), 0x7ffffff0); }, 0, 1, 0},
      {"frame_size_corrupt", [&](QByteArray* b) { put_size(b, frame, 0xfffffff0); }, 0, 1, 0},
      {"frame_size_bit_up", [&](QByteArray* b) { put_size(b, frame, bigger); }, 0, 1, 0},
      {"frame_size_bit_down", [&](QByteArray* b) { put_size(b, frame, frame.size & ~(frame.size & -frame.size)); }, 0,
       1, 0},
      {"sound_size_bit", [&](QByteArray* b) { put_size(b, sound, sound.size ^ (1u << 10)); }, 0, 1, 0},
      {"frame_header_zeroed", [&](QByteArray* b) { b->replace(frame.at, 4096, QByteArray(4096, '\0')); }, 1, 0, 1},
      {"zero_length_frames", [&](QByteArray* b) { b->insert(frame.at, chunks("00dc", 0, 1000)); }, 0, 0, 1},
      {"random_ids", [&](QByteArray* b) { b->insert(sound.at, chunks("qz7x", 16, 50)); }, 0, 0, 1},
      {"zero_length_frames_at_the_end",
       [&](QByteArray* b) {
         b->truncate(whole_end);
         b->append(chunks("00dc", 0, 100000));
       },
       0, 0, 0},
  };
  for (const damage& d : cases) {
    SCOPED_TRACE(d.name);
    QByteArray damaged = bytes;
    d.apply(&damaged);
    const QString copy = path(QString(d.name) + ".avi");
    ASSERT_TRUE(write_bytes(copy, damaged));
    const avi_repair_result result = repair_avi(copy);
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(result.video_frames, undamaged.video_frames - d.frames_lost);
    EXPECT_EQ(result.headers_mended, d.mended);
    EXPECT_EQ(result.stretches_dropped, d.stretches);
    EXPECT_EQ(result.frames_dropped, 0);  // no stretch began with a frame's header
    const drawn_avi file = read_drawn_avi(copy, 288);
    ASSERT_TRUE(file.opened) << file.error.toStdString();
    EXPECT_EQ(file.decode_errors, 0);
    EXPECT_EQ(int64_t(file.frames.size()), result.video_frames);
    // The frames in order, only the lost ones missing; the sound whole.
    EXPECT_TRUE(std::is_sorted(file.frames.begin(), file.frames.end()) &&
                std::adjacent_find(file.frames.begin(), file.frames.end()) == file.frames.end() &&
                !file.frames.empty() && file.frames.front() >= 0 && file.frames.back() == undamaged.video_frames - 1);
    EXPECT_EQ(result.audio_samples, undamaged.audio_samples);
    EXPECT_TRUE(file.audio == audio_bytes(0, file.audio.size()));
    EXPECT_TRUE(repair_avi(copy).was_whole);
  }
}

TEST_F(repair, a_torn_sixty_hz_file_keeps_its_rate) {
  const QByteArray bytes = unfinished_file("sixty", 30, true);
  const avi_repair_result result = expect_repaired(bytes.left(bytes.size() - 12345), "sixty_cut.avi", true);
  EXPECT_GE(result.video_frames, 10);
}

TEST_F(repair, a_file_killed_while_its_index_was_written_keeps_every_frame) {
  ASSERT_TRUE(start(path("ending")));
  feed(25);
  ASSERT_TRUE(settle());
  stop();
  QByteArray bytes = file_bytes(path("ending.avi"));
  // As the end was being written: the 'movi' list closed, the index half
  // there, the file's own size not yet written.
  const qsizetype index = bytes.lastIndexOf("idx1");
  ASSERT_GT(index, 0);
  bytes = bytes.left(index + 8 + 16 * 20 + 7);
  bytes.replace(4, 4, QByteArray(4, char(0xFF)));
  const avi_repair_result result = expect_repaired(bytes, "ending_cut.avi");
  EXPECT_EQ(result.video_frames, 25);
}

// Where the file system cannot allocate ahead, the free space it reports is
// watched instead: too little, and the recording ends whole at once.
TEST_F(repair, a_disk_without_room_for_the_end_stops_the_recording_whole) {
  settings.journal_directory = path("journal");
  settings.tuning.forced_free_bytes = 1 << 20;
  ASSERT_TRUE(start(path("cramped")));
  feed(10);
  ASSERT_TRUE(failures.wait_for(1));
  EXPECT_TRUE(encoder.wait(10000));
  EXPECT_TRUE(encoder.counters().stopped_by_full_disk);
  EXPECT_THAT(failure(), HasSubstr("The disk is full"));
  EXPECT_THAT(failure(), HasSubstr("cramped.avi"));
  const avi_repair_result whole = repair_avi(path("cramped.avi"));
  EXPECT_TRUE(whole.ok && whole.was_whole) << whole.error.toStdString();
  const drawn_avi file = read_drawn_avi(path("cramped.avi"), 288);
  EXPECT_TRUE(file.has_index);
  EXPECT_TRUE(is_run(file.frames, 0, int(file.frames.size())));
  EXPECT_EQ(int64_t(file.frames.size()), whole.video_frames);
  EXPECT_NEAR(file.audio_seconds(), file.video_seconds(), 1.0 / 25 + 1e-9);
  EXPECT_TRUE(recording_journal::unfinished(path("journal")).isEmpty());
}

TEST_F(repair, leaves_a_whole_file_as_it_is) {
  ASSERT_TRUE(start(path("whole")));
  feed(20);
  ASSERT_TRUE(settle());
  stop();
  const QByteArray before = file_bytes(path("whole.avi"));
  const avi_repair_result result = repair_avi(path("whole.avi"));
  ASSERT_TRUE(result.ok) << result.error.toStdString();
  EXPECT_TRUE(result.was_whole);
  EXPECT_EQ(result.video_frames, 20);
  EXPECT_EQ(result.sections, 1);
  EXPECT_TRUE(file_bytes(path("whole.avi")) == before);
  EXPECT_EQ(describe_repaired_length(result).toStdString(), "0.8 s, 20 frames");
}

TEST_F(repair, refuses_what_is_no_recording_or_holds_no_whole_frame_and_changes_nothing) {
  // Finished before its first frame: whole, and no reader opens it either.
  ASSERT_TRUE(start(path("none")));
  stop();
  const QByteArray none = file_bytes(path("none.avi"));
  const QByteArray bytes = unfinished_file("header", 5);
  const qsizetype movi = bytes.indexOf("movi") + 4;
  const qsizetype first_frame = nth(chunks_of(bytes), "00dc", 0).at;
  struct bad {
    const char* name;
    QByteArray bytes;
    const char* says;
    bool nothing_to_keep;  // a recording that ended before its first whole frame
  };
  for (const bad& b :
       {bad{"empty.avi", QByteArray(), "header", true}, bad{"text.avi", QByteArray(5000, 'x'), "not an AVI", false},
        bad{"header_only.avi", bytes.left(600), "header", true},
        bad{"before_the_first_frame.avi", bytes.left(movi), "first frame", true},
        bad{"first_frame_torn.avi", bytes.left(first_frame + 5000), "first frame is whole", true},
        bad{"finished_without_a_frame.avi", none, "finished before its first frame", true},
        bad{"damaged_header.avi", bytes.left(12) + QByteArray(5000, 'x'), "header", false}}) {
    ASSERT_TRUE(write_bytes(path(b.name), b.bytes));
    const avi_repair_result result = repair_avi(path(b.name));
    EXPECT_FALSE(result.ok) << b.name;
    EXPECT_EQ(result.nothing_to_keep, b.nothing_to_keep) << b.name;
    EXPECT_FALSE(result.worth_retrying) << b.name;
    EXPECT_THAT(result.error.toStdString(), HasSubstr(b.says)) << b.name;
    EXPECT_TRUE(file_bytes(path(b.name)) == b.bytes) << b.name;
  }
  const avi_repair_result missing = repair_avi(path("not_there.avi"));
  EXPECT_FALSE(missing.ok);
  EXPECT_TRUE(missing.worth_retrying);
}

TEST_F(repair, a_file_being_recorded_is_left_alone_and_its_note_kept_until_it_ends) {
  settings.journal_directory = path("journal");
  ASSERT_TRUE(start(path("live")));
  feed(5);
  ASSERT_TRUE(settle());
  const QList<recording_journal::entry> notes = recording_journal::unfinished(path("journal"));
  ASSERT_EQ(notes.size(), 1);
  EXPECT_EQ(notes[0].recording, path("live.avi"));
  const QByteArray before = file_bytes(path("live.avi"));
  const avi_repair_result result = repair_avi(path("live.avi"));
  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(result.worth_retrying);
  EXPECT_TRUE(result.in_use);
  EXPECT_THAT(result.error.toStdString(), HasSubstr("being recorded"));
  EXPECT_TRUE(file_bytes(path("live.avi")) == before);
  stop();
  // Ended normally: nothing left behind, nothing to repair.
  EXPECT_TRUE(recording_journal::unfinished(path("journal")).isEmpty());
  EXPECT_TRUE(QDir(path("journal")).entryList(QDir::Files).isEmpty());
  EXPECT_TRUE(repair_avi(path("live.avi")).was_whole);
}

TEST_F(repair, notes_name_their_recordings_and_are_forgotten_by_recording) {
  const QString journal = path("notes");
  const QString a = recording_journal::begin(journal, path("a.avi"));
  const QString b = recording_journal::begin(journal, path("b.avi"));
  ASSERT_FALSE(a.isEmpty());
  ASSERT_FALSE(b.isEmpty());
  EXPECT_NE(a, b);
  QStringList noted;
  for (const recording_journal::entry& e : recording_journal::unfinished(journal)) noted << e.recording;
  noted.sort();
  EXPECT_EQ(noted, QStringList({path("a.avi"), path("b.avi")}));
  // Something else in the directory is not a note.
  ASSERT_TRUE(write_bytes(journal + "/stray.recording", "hello\n"));
  recording_journal::forget(journal, path("a.avi"));
  const QList<recording_journal::entry> left = recording_journal::unfinished(journal);
  ASSERT_EQ(left.size(), 1);
  EXPECT_EQ(left[0].recording, path("b.avi"));
  // Nowhere to write one: the recording goes on without.
  EXPECT_TRUE(recording_journal::begin(QString(), path("c.avi")).isEmpty());
  EXPECT_TRUE(recording_journal::begin("/proc/no/such/place", path("c.avi")).isEmpty());
}

}  // namespace
