#include "record/avi_writer.h"

#include <QFile>
#include <algorithm>
#include <cstring>

#include "base/field_order.h"
#include "base/logging.h"
#include "record/file_sink.h"
#include "record/recording_journal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
}

namespace {

// Bytes of sound in a packet.
constexpr int audio_packet_bytes = 1000;
constexpr int64_t video_bit_rate = 5000000;
constexpr int video_gop_size = 12;

// Each frame is one picture of the signal (recording_feed.h): top field
// first at 50 Hz, bottom field first at 60 Hz (base/field_order.h).
AVFieldOrder woven_field_order(int frame_lines) { return top_field_first(frame_lines) ? AV_FIELD_TT : AV_FIELD_BB; }

// Each pixel of a 720-wide frame: the whole frame shows at the aspect the
// user chose, as the window shows it.
AVRational pixel_aspect(bool widescreen, int width, int height) {
  AVRational aspect{0, 1};
  av_reduce(&aspect.num, &aspect.den, int64_t(widescreen ? 16 : 4) * height, int64_t(widescreen ? 9 : 3) * width,
            1 << 16);
  return aspect;
}

QString av_error_text(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return QString::fromLocal8Bit(text);
}

// The encoder takes over a frame's bytes without copying them; FFmpeg lets
// them go through here once the frame is encoded.
void release_frame_bytes(void* size, uint8_t* data) {
  frame_memory::give_back(data, reinterpret_cast<uintptr_t>(size));
}

}  // namespace

avi_writer::avi_writer() = default;

avi_writer::~avi_writer() { close(); }

void avi_writer::fail(const QString& message) {
  if (failure_.isEmpty()) failure_ = message;
}

void avi_writer::fail(const QString& what, int av_error) { fail(what + ": " + av_error_text(av_error)); }

bool avi_writer::open(const QString& file_name, const avi_format& format, const avi_file_options& options) {
  close();
  failure_.clear();
  file_name_ = file_name;
  format_ = format;
  // The bytes the caller's existence test stands for, whatever the locale.
  const QByteArray path = QFile::encodeName(file_name);
  const QString shown = "'" + file_name + "'";

  int result = avformat_alloc_output_context2(&format_context, nullptr, nullptr, path.constData());
  if (result < 0 || !format_context) {
    // The one line this failure leaves in the log; the user is told what
    // went wrong by the message.
    const int error = result < 0 ? result : AVERROR(EINVAL);
    qCWarning(record_log).noquote()
        << QString("recording: could not open %1: FFmpeg has no way to write it (%2)").arg(shown, av_error_text(error));
    fail("Could not create the recording file " + shown, error);
    return false;
  }
  header_written = false;
  video_pts = 0;
  audio_pts = 0;
  packet = av_packet_alloc();
  last_video_packet = av_packet_alloc();
  if (!packet || !last_video_packet) {
    fail("Could not create the recording file " + shown, AVERROR(ENOMEM));
    return false;
  }

  if (format_context->oformat->video_codec != AV_CODEC_ID_NONE && !add_video_stream()) return false;
  if (format_context->oformat->audio_codec != AV_CODEC_ID_NONE && !add_audio_stream()) return false;

  sink = std::make_unique<file_sink>();
  if (options.reserve_bytes > 0) sink->reserve_bytes = options.reserve_bytes;
  sink->keep_free_bytes = options.keep_free_bytes;
  sink->forced_free_bytes = options.forced_free_bytes;
  result = sink->open(path);
  if (result < 0) {
    qCWarning(record_log).noquote() << QString("recording: could not open %1 (%2)").arg(shown, av_error_text(result));
    fail("Could not open the recording file " + shown, result);
    sink.reset();
    return false;
  }
  format_context->pb = sink->io();
  // Noted before the first byte of the file: from here on a crash leaves
  // something the next start can repair.
  journal_note = recording_journal::begin(options.journal_directory, file_name);
  result = avformat_write_header(format_context, nullptr);
  if (result < 0) {
    fail("Could not write the start of the recording file " + shown, result);
    return false;
  }
  header_written = true;
  return true;
}

bool avi_writer::add_video_stream() {
  video_stream = avformat_new_stream(format_context, nullptr);
  if (!video_stream) {
    fail("Could not add the video stream to '" + file_name_ + "'", AVERROR(ENOMEM));
    return false;
  }
  video_stream->id = 0;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_HUFFYUV);
  if (!codec) {
    fail("This FFmpeg has no HuffYUV encoder");
    return false;
  }
  video_codec = avcodec_alloc_context3(codec);
  picture = av_frame_alloc();
  if (!video_codec || !picture) {
    fail("Could not set up the video encoder", AVERROR(ENOMEM));
    return false;
  }
  video_codec->codec_type = AVMEDIA_TYPE_VIDEO;
  video_codec->bit_rate = video_bit_rate;
  video_codec->width = format_.width;
  video_codec->height = format_.height;
  // A frame is one tick: the rate as its ratio, so no frame drifts.
  video_codec->time_base = AVRational{int(format_.rate.denominator), int(format_.rate.numerator)};
  video_codec->framerate = av_inv_q(video_codec->time_base);
  video_codec->gop_size = video_gop_size;
  video_codec->pix_fmt = AVPixelFormat(format_.pixel_format);
  video_codec->thread_count = 1;
  video_codec->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
  // Declared where AVI readers look: FFmpeg's muxer writes both into the
  // stream's video properties ('vprp').
  video_codec->field_order = woven_field_order(format_.height);
  video_codec->sample_aspect_ratio = pixel_aspect(format_.widescreen, format_.width, format_.height);
  video_stream->sample_aspect_ratio = video_codec->sample_aspect_ratio;
  if (format_context->oformat->flags & AVFMT_GLOBALHEADER) video_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  video_stream->time_base = video_codec->time_base;
  video_stream->avg_frame_rate = video_codec->framerate;

  const int result = avcodec_open2(video_codec, codec, nullptr);
  if (result < 0) {
    fail("Could not open the HuffYUV encoder", result);
    return false;
  }
  // After opening: the parameters carry the encoder's Huffman tables.
  if (avcodec_parameters_from_context(video_stream->codecpar, video_codec) < 0) {
    fail("Could not set up the video stream", AVERROR(ENOMEM));
    return false;
  }
  return true;
}

bool avi_writer::add_audio_stream() {
  audio_stream = avformat_new_stream(format_context, nullptr);
  if (!audio_stream) {
    fail("Could not add the audio stream to '" + file_name_ + "'", AVERROR(ENOMEM));
    return false;
  }
  audio_stream->id = 1;
  // PCM needs no encoder: the chunks are written as they are.
  AVCodecParameters* par = audio_stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_AUDIO;
  par->codec_id = AV_CODEC_ID_PCM_S16LE;
  par->format = AV_SAMPLE_FMT_S16;
  par->sample_rate = format_.sample_rate;
  av_channel_layout_default(&par->ch_layout, format_.channels);
  par->bits_per_coded_sample = 16;
  par->block_align = format_.channels * 2;
  par->bit_rate = int64_t(format_.sample_rate) * format_.channels * 16;
  audio_stream->time_base = AVRational{1, format_.sample_rate};
  // PCM has no frame size of its own: as many sample frames as fill a packet.
  chunk_frames_ = audio_packet_bytes / (format_.channels * 2);
  return true;
}

int avi_writer::compare_video_to_sound(int64_t sound_lead) const {
  const AVRational half_samples{1, 2 * format_.sample_rate};
  if (!video_codec) return av_compare_ts(0, AVRational{1, 1}, 2 * audio_pts + sound_lead, half_samples);
  return av_compare_ts(video_pts, video_codec->time_base, 2 * audio_pts + sound_lead, half_samples);
}

int64_t avi_writer::sound_short_of_picture(int64_t pictures_ahead) const {
  if (!video_codec) return -audio_pts;
  const int64_t picture_end = av_rescale_q_rnd(video_pts + pictures_ahead, video_codec->time_base,
                                               AVRational{1, format_.sample_rate}, AV_ROUND_UP);
  return picture_end - audio_pts;
}

bool avi_writer::space_low() const { return sink && sink->space_low(); }

bool avi_writer::size_limit_near() const { return sink && sink->size_limit_near(); }

void avi_writer::set_keep_free(int64_t bytes) {
  if (sink) sink->keep_free_bytes = std::max<int64_t>(bytes, 0);
}

int64_t avi_writer::bytes_written() const {
  if (!sink || !sink->io()) return 0;
  return std::max(sink->size(), int64_t(avio_tell(sink->io())));
}

bool avi_writer::write_frame(frame_buffer frame) {
  const AVPixelFormat pixel_format = AVPixelFormat(format_.pixel_format);
  const int size = av_image_get_buffer_size(pixel_format, format_.width, format_.height, 1);
  if (size < 0 || frame.size() < size_t(size)) {
    fail("Error while encoding video frame", size < 0 ? size : AVERROR(EINVAL));
    return false;
  }
  av_frame_unref(picture);
  picture->format = pixel_format;
  picture->width = format_.width;
  picture->height = format_.height;
  picture->pts = video_pts++;
  av_image_fill_arrays(picture->data, picture->linesize, frame.data(), pixel_format, format_.width, format_.height, 1);
  picture->buf[0] = av_buffer_create(frame.data(), size_t(size), release_frame_bytes,
                                     reinterpret_cast<void*>(uintptr_t(frame.size())), 0);
  // FFmpeg's from here; without a buffer it copies them and `frame` frees its own.
  if (picture->buf[0]) frame.release();
  const int result = avcodec_send_frame(video_codec, picture);
  av_frame_unref(picture);
  // HuffYUV takes every frame it is given: each one's packet is drained
  // below before the next comes, so even "try again" is a fault.
  if (result < 0) {
    fail("Error while encoding video frame", result);
    return false;
  }
  return drain_encoder();
}

bool avi_writer::drain_encoder() {
  for (;;) {
    const int result = avcodec_receive_packet(video_codec, packet);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;  // wants a frame, or ended
    if (result < 0) {
      fail("Error while encoding video frame", result);
      return false;
    }
    av_packet_rescale_ts(packet, video_codec->time_base, video_stream->time_base);
    packet->stream_index = video_stream->index;
    // HuffYUV frames stand alone: a repeat is this packet again.
    av_packet_unref(last_video_packet);
    av_packet_ref(last_video_packet, packet);
    if (!write_packet()) return false;
  }
}

bool avi_writer::write_packet() {
  const int result = av_interleaved_write_frame(format_context, packet);
  if (result < 0) {
    fail("Could not write to the recording file '" + file_name_ + "'", result);
    return false;
  }
  return true;
}

bool avi_writer::write_repeated_frame() {
  if (!last_video_packet->data) {
    // Nothing to repeat in this file yet: black (Y 16, Cb and Cr 128).
    const size_t luma = size_t(format_.width) * size_t(format_.height);
    frame_buffer black = frame_buffer::allocate(2 * luma);  // planar 4:2:2: two bytes a pixel
    if (!black) {
      fail("Could not write to the recording file '" + file_name_ + "'", AVERROR(ENOMEM));
      return false;
    }
    std::memset(black.data(), 16, luma);
    std::memset(black.data() + luma, 128, luma);
    return write_frame(std::move(black));
  }
  const int result = av_packet_ref(packet, last_video_packet);
  if (result < 0) {
    fail("Could not write to the recording file '" + file_name_ + "'", result);
    return false;
  }
  packet->pts = packet->dts = av_rescale_q(video_pts++, video_codec->time_base, video_stream->time_base);
  return write_packet();
}

bool avi_writer::write_sound(const uint8_t* chunk, int frames) {
  // PCM in AVI is counted in bytes: a chunk of any whole number of sample
  // frames keeps the stream's time.
  if (frames <= 0 || frames > chunk_frames_) frames = chunk_frames_;
  const int bytes = frames * 2 * format_.channels;
  const int result = av_new_packet(packet, bytes);
  if (result < 0) {
    fail("Could not write to the recording file '" + file_name_ + "'", result);
    return false;
  }
  if (chunk)
    std::copy_n(chunk, bytes, packet->data);
  else
    std::fill_n(packet->data, bytes, uint8_t(0));
  packet->pts = audio_pts;
  packet->dts = audio_pts;
  packet->duration = frames;
  av_packet_rescale_ts(packet, AVRational{1, format_.sample_rate}, audio_stream->time_base);
  packet->flags |= AV_PKT_FLAG_KEY;
  packet->stream_index = audio_stream->index;
  audio_pts += frames;
  return write_packet();
}

bool avi_writer::close() {
  bool ok = true;
  if (header_written) {
    // Whatever the encoder still holds, then the index and the final sizes.
    if (video_codec) {
      const int result = avcodec_send_frame(video_codec, nullptr);
      if (result < 0) {
        fail("Error while encoding video frame", result);
        ok = false;
      } else if (!drain_encoder()) {
        ok = false;
      }
    }
    const int result = av_write_trailer(format_context);
    if (result < 0) {
      fail("Could not finish the recording file '" + file_name_ + "'", result);
      ok = false;
    }
    header_written = false;
  }
  if (sink) {
    const int error = format_context && format_context->pb ? format_context->pb->error : 0;
    if (format_context) format_context->pb = nullptr;  // the sink's
    const int closed = sink->close();
    sink.reset();
    if (error < 0 || closed < 0) {
      fail("Could not write to the recording file '" + file_name_ + "'", error < 0 ? error : closed);
      ok = false;
    }
  }
  // A file closed whole needs no repair; one whose end could not be
  // written keeps its note for the next start.
  if (ok) recording_journal::end(journal_note);
  journal_note.clear();
  avcodec_free_context(&video_codec);
  av_frame_free(&picture);
  av_packet_free(&packet);
  av_packet_free(&last_video_packet);
  avformat_free_context(format_context);  // frees the streams too
  format_context = nullptr;
  video_stream = nullptr;
  audio_stream = nullptr;
  return ok;
}
