// Recordings as tools nobody here wrote read them: FFmpeg, mediainfo and
// GStreamer (tests/tools/reader_check.py). What the file declares (aspect,
// field order, rate), and files whose writer was killed at the awkward
// moments, repaired by `ostrevin --repair`. Real files of real size: past
// the first gigabyte where a new section starts.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <functional>

#include "record/avi_repair.h"
#include "record/recording_journal.h"
#include "tests/support/avi_chunks.h"

namespace {

constexpr int64_t gigabyte = 1ll << 30;

struct process_result {
  int exit_code = -1;
  QString out, err;
};

process_result run(const QString& program, const QStringList& arguments, int timeout_ms = 600000) {
  QProcess p;
  p.start(program, arguments);
  process_result r;
  if (!p.waitForStarted(10000)) {
    r.err = "did not start: " + p.errorString();
    return r;
  }
  if (!p.waitForFinished(timeout_ms)) {
    p.kill();
    p.waitForFinished();
    r.err = "timed out";
    return r;
  }
  r.exit_code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

// What every reader says about the file, checked against what it must say.
// Prints the readers' own words when they disagree.
void expect_readers_agree(const QString& file, const QStringList& expectations, bool decode = false) {
  QStringList arguments{OSTREVIN_READER_CHECK, file};
  if (decode)
    arguments << "--decode"
              << "--seek";
  for (const QString& e : expectations) arguments << "--expect" << e;
  const process_result r = run("python3", arguments);
  EXPECT_EQ(r.exit_code, 0) << file.toStdString() << "\n" << r.err.toStdString() << "\n" << r.out.toStdString();
}

int64_t free_space(const QString& dir) {
  struct statvfs fs {};
  if (statvfs(QFile::encodeName(dir).constData(), &fs) != 0) return 0;
  return int64_t(fs.f_bavail) * int64_t(fs.f_frsize);
}

struct files : ::testing::Test {
  QTemporaryDir dir;
  QString path(const QString& name) const { return dir.filePath(name); }

  // recording_writer, killed once its file has reached `kill_at` bytes.
  // The size the file had when the kill came.
  int64_t write_and_kill(const QString& base, int64_t kill_at, const QStringList& options = {"--noisy"}) {
    QProcess writer;
    writer.start(OSTREVIN_RECORDING_WRITER, QStringList{base, "--journal", path("journal")} + options);
    writer.setStandardErrorFile(QProcess::nullDevice());
    EXPECT_TRUE(writer.waitForStarted(10000));
    const QString file = base + ".avi";
    QDeadlineTimer give_up(240000);
    while (QFileInfo(file).size() < kill_at && writer.state() == QProcess::Running && !give_up.hasExpired())
      QThread::usleep(200);
    writer.kill();
    writer.waitForFinished(30000);
    EXPECT_EQ(writer.exitStatus(), QProcess::CrashExit) << "the writer ended before it was killed";
    return QFileInfo(file).size();
  }

  // `ostrevin --repair`, and what it says it kept; `says` besides.
  avi_repair_result repair_with_the_program(const QString& file, const QString& says = QString()) {
    const process_result r = run(OSTREVIN_BINARY, {"--repair", file});
    EXPECT_EQ(r.exit_code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(" repaired: ")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(says)) << r.out.toStdString();
    // What it says matches what the file now holds.
    const avi_repair_result again = repair_avi(file);
    EXPECT_TRUE(again.ok && again.was_whole) << again.error.toStdString();
    EXPECT_TRUE(r.out.contains(QString("%1 frames kept").arg(again.video_frames))) << r.out.toStdString();
    return again;
  }

  // The readers agree with the repair on the length, to the frame, and
  // decode and seek to the end; the file still says what it said (PAL: top
  // field first).
  void expect_whole(const QString& file, const avi_repair_result& repaired, const QString& field_order = "tff") {
    expect_readers_agree(file,
                         {QString("duration=%1±0.05").arg(repaired.video_seconds, 0, 'f', 3),
                          QString("frames=%1").arg(repaired.video_frames), "field_order=" + field_order, "dar=4:3"},
                         true);
  }
};

TEST_F(files, declare_aspect_field_order_and_rate_for_every_standard_and_aspect) {
  struct standard {
    const char* name;
    QStringList options;
    const char* dar;
    const char* rate;
    const char* field_order;  // a PAL picture starts with its top field, a 525-line one with its bottom field
  };
  for (const standard& s :
       {standard{"pal_4_3", {}, "4:3", "25/1", "tff"}, standard{"pal_16_9", {"--widescreen"}, "16:9", "25/1", "tff"},
        standard{"ntsc_4_3", {"--ntsc"}, "4:3", "30000/1001", "bff"},
        standard{"ntsc_16_9", {"--ntsc", "--widescreen"}, "16:9", "30000/1001", "bff"}}) {
    SCOPED_TRACE(s.name);
    const process_result w = run(OSTREVIN_RECORDING_WRITER, QStringList{path(s.name), "--frames", "60"} + s.options);
    ASSERT_EQ(w.exit_code, 0) << w.out.toStdString();
    expect_readers_agree(path(s.name) + ".avi", {QString("dar=") + s.dar, QString("field_order=") + s.field_order,
                                                 QString("frame_rate=") + s.rate, "frames=60"});
  }
}

TEST_F(files, killed_before_the_first_gigabyte_reads_whole_after_repair) {
  const int64_t killed_at = write_and_kill(path("early"), 150 << 20);
  ASSERT_EQ(recording_journal::unfinished(path("journal")).size(), 1);
  const avi_repair_result repaired = repair_with_the_program(path("early.avi"));
  EXPECT_EQ(repaired.sections, 1);
  // Within a second of what had reached the disk (noisy frames are all
  // about the same size).
  const double bytes_per_second = double(QFileInfo(path("early.avi")).size()) / repaired.video_seconds;
  EXPECT_NEAR(repaired.video_seconds, double(killed_at) / bytes_per_second, 1.0);
  expect_whole(path("early.avi"), repaired);
}

// The file is one of the PAL files earlier builds wrote, which paired the
// later field of one picture with the earlier of the next and said bottom
// field first: the repair keeps what it says.
TEST_F(files, killed_in_the_middle_of_a_chunk_loses_that_chunk_only) {
  const int64_t killed_at = write_and_kill(path("torn"), 60 << 20);
  // Whatever the kill left, cut again in the middle of a frame's data.
  QByteArray torn = file_bytes(path("torn.avi")).left(killed_at - 654321);
  // The video properties' two field records: the first field's valid start
  // line 1, the second's 0 (bottom field first).
  const qsizetype vprp = torn.indexOf("vprp");
  ASSERT_GT(vprp, 0);
  for (const auto& [record, start_line] : {std::pair{0, 1u}, {1, 0u}})
    qToLittleEndian<quint32>(start_line, torn.data() + vprp + 8 + 4 * (9 + 8 * record + 7));
  ASSERT_TRUE(write_bytes(path("torn.avi"), torn));
  const avi_repair_result repaired = repair_with_the_program(path("torn.avi"));
  EXPECT_GT(repaired.video_frames, 10);
  expect_whole(path("torn.avi"), repaired, "bff");
}

// Damage in the part the repair walks, in a file a real kill left (the
// repair's own tests take every kind of damage): the frames after it are
// kept, and every reader reads, decodes and seeks what the program says it
// kept. A kill before the first frame was whole is told, with its own exit
// code, and the file left as it was.
TEST_F(files, killed_and_damaged_keeps_the_frames_after_the_damage) {
  write_and_kill(path("killed"), 60 << 20);
  const QByteArray killed = file_bytes(path("killed.avi"));
  const std::vector<chunk_at> chunks = chunks_of(killed);
  ASSERT_GT(chunks.size(), 200u);
  ASSERT_TRUE(write_bytes(path("undamaged.avi"), killed));
  const avi_repair_result undamaged = repair_avi(path("undamaged.avi"));
  ASSERT_TRUE(undamaged.ok) << undamaged.error.toStdString();
  const chunk_at* frame = nth_chunk(chunks, "00dc", 0, 100);
  ASSERT_TRUE(frame);
  struct damage {
    const char* name;
    std::function<void(QByteArray*)> apply;
    int frames_lost;
    const char* says;
  };
  const damage cases[] = {
      {"one_bit_of_chunk_60", [&](QByteArray* b) { put_size(b, chunks[60], chunks[60].size ^ (1u << 20)); }, 0,
       "1 damaged chunk header mended"},
      {"a_frame_zeroed", [&](QByteArray* b) { b->replace(frame->at, 65536, QByteArray(65536, '\0')); }, 1,
       "bytes of damaged data dropped in 1 place"},
  };
  for (const damage& d : cases) {
    SCOPED_TRACE(d.name);
    QByteArray damaged = killed;
    d.apply(&damaged);
    const QString file = path(QString(d.name) + ".avi");
    ASSERT_TRUE(write_bytes(file, damaged));
    const avi_repair_result repaired = repair_with_the_program(file, d.says);
    EXPECT_EQ(repaired.video_frames, undamaged.video_frames - d.frames_lost);
    expect_whole(file, repaired);
  }

  const QByteArray early = killed.left(nth_chunk(chunks, "00dc", 0)->at + 1000);
  ASSERT_TRUE(write_bytes(path("early.avi"), early));
  const process_result r = run(OSTREVIN_BINARY, {"--repair", path("early.avi")});
  EXPECT_EQ(r.exit_code, 3) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("holds no whole frame")) << r.err.toStdString();
  EXPECT_TRUE(file_bytes(path("early.avi")) == early);
}

TEST_F(files, killed_just_after_a_section_boundary_keeps_both_sections) {
  if (free_space(dir.path()) < 4 * gigabyte) GTEST_SKIP() << "needs 4 GiB free in " << dir.path().toStdString();
  const int64_t killed_at = write_and_kill(path("boundary"), gigabyte + (3 << 20));
  ASSERT_GT(killed_at, gigabyte);
  const avi_repair_result repaired = repair_with_the_program(path("boundary.avi"));
  EXPECT_EQ(repaired.sections, 2);
  // The repair read the open section, not the finished gigabyte before it.
  expect_whole(path("boundary.avi"), repaired);
}

TEST_F(files, killed_in_a_later_section_keeps_every_section) {
  if (free_space(dir.path()) < 4 * gigabyte) GTEST_SKIP() << "needs 4 GiB free in " << dir.path().toStdString();
  write_and_kill(path("later"), gigabyte + (300 << 20));
  const avi_repair_result direct = repair_avi(path("later.avi"));
  ASSERT_TRUE(direct.ok) << direct.error.toStdString();
  EXPECT_EQ(direct.sections, 2);
  EXPECT_LT(direct.bytes_read, 64 << 20) << "chunk headers of the open section only";
  expect_whole(path("later.avi"), direct);
}

TEST_F(files, a_full_file_system_ends_the_file_whole) {
  // A small tmpfs of its own, in a mount namespace of its own.
  const QString disk = path("disk");
  ASSERT_TRUE(QDir().mkpath(disk));
  const QString script = QString(
                             "mount -t tmpfs -o size=40m tmpfs '%1' || exit 77; '%2' '%1/full' --noisy --frames 1000; "
                             "status=$?; cp '%1/full.avi' '%3'; exit $status")
                             .arg(disk, OSTREVIN_RECORDING_WRITER, path("full.avi"));
  const process_result r = run("unshare", {"-m", "sh", "-c", script});
  if (r.exit_code == 77 || r.err.contains("unshare failed") || r.err.contains("Operation not permitted"))
    GTEST_SKIP() << "cannot mount a private tmpfs here: " << r.err.toStdString();
  EXPECT_EQ(r.exit_code, 1) << r.out.toStdString();
  EXPECT_TRUE(r.out.contains("The disk is full")) << r.out.toStdString();
  const avi_repair_result whole = repair_avi(path("full.avi"));
  ASSERT_TRUE(whole.ok) << whole.error.toStdString();
  EXPECT_TRUE(whole.was_whole);
  EXPECT_GT(whole.video_frames, 5);
  expect_whole(path("full.avi"), whole);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
