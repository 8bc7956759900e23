// The encoder thread: takes whole frames and raw audio from the main window,
// queues them, and interleaves them into a HuffYUV + PCM AVI file. The audio
// stream keeps time: a frame is written once the audio already written has
// reached that frame's time. It makes up silence when audio is missing,
// throws away the oldest audio when it piles up, and starts a new numbered
// file after five hours of video.
//
// A recording that cannot go on (the file cannot be created, a write fails,
// the trailer cannot be written) ends the thread with the file closed as far
// as it can be, sets `failed` so later frames and audio are refused, and
// emits recording_failed() once with a message for the user.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <atomic>
#include <cstdint>

#include "app/run_completion.h"
#include "app/stopwatch.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVOutputFormat;
struct AVPacket;
struct AVStream;

class encode : public QThread {
  Q_OBJECT

 public:
  explicit encode(QObject* parent = nullptr);
  // Releases whatever is still queued. It neither stops nor waits for the
  // thread: the owner stops it (stop_requested, wait()) before.
  ~encode() override;

  // QThread::wait(); afterwards everything run() did is visible here.
  bool wait(QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever)) {
    const bool ended = QThread::wait(deadline);
    if (ended) completion.observe();
    return ended;
  }
  bool wait(unsigned long ms) { return wait(QDeadlineTimer(qint64(ms))); }

  // Picture geometry. frame_width and pixel_format are set once by the main
  // window; field_lines and sixty_hz are rewritten (with the same values)
  // while a recording runs, hence atomic.
  int frame_width = 720;
  std::atomic<int> field_lines{288};
  int pixel_format = 4;  // FFmpeg's planar YUV 4:2:2
  std::atomic<bool> sixty_hz{false};
  double frame_rate = 25.0;  // set by start_encoder()

  // Cleared by start_encoder(), set by the main window to end a recording.
  std::atomic<bool> stop_requested{true};
  // Set when a recording ended on an error; cleared by start_encoder().
  std::atomic<bool> failed{false};

  // Written by the main window only while no recording runs.
  QString base_name;
  QString extension = ".avi";
  // The file being written; the encoder thread's, read it after wait().
  QString file_name;

  // Guards both queues.
  QMutex queue_mutex;
  // Whole frames, oldest first; malloc'd buffers owned by the queue.
  QList<uchar*> video_queue;
  // Audio chunks of exactly audio_chunk_bytes, oldest first; owned.
  QList<QByteArray*> audio_queue;
  // Bytes short of a whole chunk; main thread only, kept between recordings.
  QByteArray* pending_audio;
  // Bytes per audio chunk; 0 until the audio stream of a file is set up.
  std::atomic<unsigned> audio_chunk_bytes{0};

  // The frame being encoded; the encoder thread's.
  uchar* current_frame = nullptr;
  // Frames written to the current file; restarts at 0 with every file.
  std::atomic<int> frames_encoded{0};
  // Seconds of media written to the current file on each stream.
  double video_time = 0.0;
  double audio_time = 0.0;
  stopwatch recording_timer;

  // Frames the video queue may hold; add_video_frame() drops the oldest
  // beyond it. At least 1.
  int max_queued_frames = 125;
  // Frames add_video_frame() dropped, over the object's life.
  std::atomic<unsigned> dropped_frame_count{0};
  // Frames after which a new file is started; 0 = five hours at the
  // nominal rate.
  std::atomic<int> split_frames{0};
  // Passes of the loop completed in this recording.
  std::atomic<unsigned> passes{0};

  // Main thread.
  void start_encoder();
  void add_video_frame(uchar* frame);
  void add_audio(QByteArray* bytes);
  // A frame lost before it reached the queue (e.g. no memory for its copy).
  void count_dropped_frames(uint count);
  // Both need queue_mutex held; they return how many went.
  uint drop_video_frames(uint keep);
  uint drop_audio_chunks(uint keep);

  // The AVI writer (avi_output.cpp); encoder thread, or any one thread while
  // the encoder thread is not running. Those returning bool leave a message
  // in failure_message when they fail.
  void make_unique_file_name();
  bool open_output();
  bool add_video_stream();
  bool add_audio_stream();
  bool open_audio();
  bool write_video_frame();
  bool write_audio_frame();
  bool close_output();
  void close_audio();
  // Seconds written on the streams of the open file.
  double video_stream_time() const;
  double audio_stream_time() const;
  // Raw audio of one chunk, filled before write_audio_frame().
  uint8_t* samples = nullptr;
  int audio_input_frame_size = 0;
  QString failure_message;

 signals:
  void dropped_frames(uint count);
  void recording_failed(QString message);

 protected:
  void run() override;

 private:
  bool interleave();
  void status_pass();
  int split_limit() const;
  void empty_queues();
  void fail(const QString& what, int av_error);
  void fail(const QString& message);

  // FFmpeg output state of the open file.
  const AVOutputFormat* output_format = nullptr;
  AVFormatContext* format_context = nullptr;
  AVStream* video_stream = nullptr;
  AVStream* audio_stream = nullptr;
  AVCodecContext* video_codec = nullptr;
  AVFrame* picture = nullptr;
  AVPacket* packet = nullptr;
  bool header_written = false;
  // Time stamps of the next packet: frames (video codec time base) and
  // sample frames (1/48000).
  int64_t video_pts = 0;
  int64_t audio_pts = 0;

  run_completion completion;
};
