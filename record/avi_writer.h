// One AVI recording file on FFmpeg: HuffYUV video as stream 0, 16-bit PCM
// sound as stream 1 in 1000-byte packets. The file goes through a file_sink
// (file_sink.h), which keeps room for its end, and is noted in the
// recording journal (recording_journal.h) from before its first byte until
// it is closed whole.
//
// Used by one thread at a time (the recorder's). A call that fails returns
// false and leaves a message for the user in failure_message(): the first
// failure since open() is the one kept.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "base/frame_rate.h"
#include "record/frame_buffer.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
class file_sink;

// What a file holds: the pictures' geometry, rate and aspect, and the sound.
struct avi_format {
  int width = 720;
  int height = 576;                  // the whole frame: both fields
  int pixel_format = 4;              // FFmpeg's AVPixelFormat: planar YUV 4:2:2
  frame_rate rate = pal_frame_rate;  // 25 frames a second, or 30000/1001
  bool widescreen = false;           // the frame shows at 16:9, else 4:3
  int sample_rate = 48000;           // 16-bit PCM
  int channels = 2;
};

// Where and how a file is kept.
struct avi_file_options {
  // Where the note of the open file is kept; empty: none is.
  QString journal_directory;
  // Room the file keeps for its end (file_sink.h); 0: the sink's own.
  int64_t reserve_bytes = 0;
  // Room beyond that the disk must keep (file_sink.h).
  int64_t keep_free_bytes = 0;
  // A test hook: the free space the sink sees where it cannot allocate.
  int64_t forced_free_bytes = -1;
};

class avi_writer {
 public:
  avi_writer();
  avi_writer(const avi_writer&) = delete;
  avi_writer& operator=(const avi_writer&) = delete;
  // Closes a file still open, as close() does.
  ~avi_writer();

  // Creates `file_name` (it must not exist) and writes its header. What a
  // failure leaves set up is freed by close() (or the next open(), or the
  // destructor).
  bool open(const QString& file_name, const avi_format& format, const avi_file_options& options = {});
  // The header is written and the trailer not yet.
  bool is_open() const { return header_written; }

  // A whole frame, taken over: the encoder reads it where it is.
  bool write_frame(frame_buffer frame);
  // The last frame again, for one that never came (a black one when this
  // file has none yet).
  bool write_repeated_frame();
  // One chunk of sound: chunk_bytes() bytes of interleaved samples, or
  // `frames` sample frames (1 to chunk_frames()) for a shorter one, which
  // ends a file's sound exactly where its pictures end. Null: silence.
  bool write_sound(const uint8_t* chunk, int frames = 0);
  bool write_silence(int frames = 0) { return write_sound(nullptr, frames); }
  // Bytes and sample frames in a chunk of sound; known once a file has been
  // opened (0 before).
  unsigned chunk_bytes() const { return unsigned(chunk_frames_ * 2 * format_.channels); }
  int chunk_frames() const { return chunk_frames_; }

  // The end of the pictures written against the end of the sound written,
  // exactly, on the streams' own time bases: < 0 when the pictures end
  // first, 0 together, > 0 when the sound does. `sound_lead` half sample
  // frames (1 / (2 x sample rate) s each, so that half a chunk is exact) are
  // added to the sound first.
  int compare_video_to_sound(int64_t sound_lead = 0) const;
  // Sample frames the sound written falls short of the end of the picture
  // `pictures_ahead` beyond those written, rounded up; 0 or less when it
  // reaches that far.
  int64_t sound_short_of_picture(int64_t pictures_ahead) const;
  // Pictures and sample frames of sound in this file so far.
  int64_t pictures_written() const { return video_pts; }
  int64_t sound_written() const { return audio_pts; }

  // The disk has no more room than the file needs for its end.
  bool space_low() const;
  // The file has grown as large as its file system (or a limit) allows.
  bool size_limit_near() const;
  // Room the disk must keep beyond the file's end from now on; the file is
  // low on space as soon as it has not (file_sink::keep_free_bytes).
  void set_keep_free(int64_t bytes);
  // Bytes the open file holds so far, with what is still buffered.
  int64_t bytes_written() const;

  // Whatever the encoder still holds, the index and the final sizes; then
  // everything is freed. A file closed whole leaves no note in the journal.
  bool close();

  const QString& failure_message() const { return failure_; }

 private:
  bool add_video_stream();
  bool add_audio_stream();
  // Every packet the encoder has ready, into the file.
  bool drain_encoder();
  // `packet` into the file (its reference goes with it).
  bool write_packet();
  void fail(const QString& what, int av_error);
  void fail(const QString& message);

  avi_format format_;
  QString file_name_;
  QString failure_;
  AVFormatContext* format_context = nullptr;
  AVStream* video_stream = nullptr;
  AVStream* audio_stream = nullptr;
  AVCodecContext* video_codec = nullptr;
  AVFrame* picture = nullptr;
  AVPacket* packet = nullptr;
  AVPacket* last_video_packet = nullptr;  // the last frame of this file, for repeats
  bool header_written = false;
  std::unique_ptr<file_sink> sink;
  QString journal_note;
  int chunk_frames_ = 0;
  // Time stamps of the next packet: frames (the video codec's time base)
  // and sample frames (1 / sample rate).
  int64_t video_pts = 0;
  int64_t audio_pts = 0;
};
