// The encoder's AVI writer on FFmpeg: HuffYUV video as stream 0, 16-bit PCM
// audio as stream 1, 1000-byte audio packets. Everything here runs on the
// encoder thread outside the queue mutex.
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>

#include "record/recorder.h"
#include "record/file_sink.h"
#include "record/recording_journal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

namespace {

constexpr int audio_sample_rate = 48000;
constexpr int audio_channels = 2;
constexpr int audio_outbuf_size = 1000;
constexpr int64_t video_bit_rate = 5000000;
constexpr int video_gop_size = 12;

// The weave (recording_feed.h) completes a frame with each field that goes
// on the even rows, so the odd rows hold the field before it: the earlier
// field is the bottom one, whatever the standard.
constexpr AVFieldOrder woven_field_order = AV_FIELD_BB;

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

// The encoder takes over a frame's buffer without copying it; FFmpeg lets it
// go through here once the frame is encoded.
void release_frame_buffer(void*, uint8_t* data) { std::free(data); }

}  // namespace

void recorder::fail(const QString& message) {
  if (failure_message.isEmpty()) failure_message = message;
}

void recorder::fail(const QString& what, int av_error) { fail(what + ": " + av_error_text(av_error)); }

void recorder::make_unique_file_name() {
  file_name = base_name + extension;
  int n = 1;
  while (QFileInfo::exists(file_name)) {
    ++n;
    file_name = base_name + QString::number(n) + extension;
  }
}

bool recorder::open_output() {
  make_unique_file_name();
  // The bytes the existence test above stands for, whatever the locale.
  const QByteArray path = QFile::encodeName(file_name);
  const QString shown = "'" + file_name + "'";

  int result = avformat_alloc_output_context2(&format_context, nullptr, nullptr, path.constData());
  if (result < 0 || !format_context) {
    std::fprintf(stderr, "Could not open '%s'\n", path.constData());
    fail("Could not create the recording file " + shown, result < 0 ? result : AVERROR(EINVAL));
    return false;
  }
  output_format = format_context->oformat;
  video_stream = nullptr;
  audio_stream = nullptr;
  header_written = false;
  video_pts = 0;
  audio_pts = 0;
  packet = av_packet_alloc();
  last_video_packet = av_packet_alloc();
  if (!packet || !last_video_packet) {
    fail("Could not create the recording file " + shown, AVERROR(ENOMEM));
    return false;
  }

  if (output_format->video_codec != AV_CODEC_ID_NONE && !add_video_stream()) return false;
  if (output_format->audio_codec != AV_CODEC_ID_NONE && !add_audio_stream()) return false;
  if (audio_stream && !open_audio()) return false;

  sink = std::make_unique<file_sink>();
  if (const int64_t reserve = reserve_bytes; reserve > 0) sink->reserve_bytes = reserve;
  sink->forced_free_bytes = forced_free_bytes;
  result = sink->open(path);
  if (result < 0) {
    std::fprintf(stderr, "Could not open '%s'\n", path.constData());
    fail("Could not open the recording file " + shown, result);
    sink.reset();
    return false;
  }
  format_context->pb = sink->io();
  // Noted before the first byte of the file: from here on a crash leaves
  // something the next start can repair.
  journal_note = recording_journal::begin(journal_directory, file_name);
  result = avformat_write_header(format_context, nullptr);
  if (result < 0) {
    fail("Could not write the start of the recording file " + shown, result);
    return false;
  }
  header_written = true;
  frames_encoded = 0;
  return true;
}

bool recorder::add_video_stream() {
  video_stream = avformat_new_stream(format_context, nullptr);
  if (!video_stream) {
    std::fprintf(stderr, "Could not alloc stream\n");
    fail("Could not add the video stream to '" + file_name + "'", AVERROR(ENOMEM));
    return false;
  }
  video_stream->id = 0;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_HUFFYUV);
  if (!codec) {
    std::fprintf(stderr, "codec not found\n");
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
  video_codec->width = frame_width;
  video_codec->height = 2 * field_lines;
  video_codec->time_base = sixty_hz ? AVRational{1001, 30000} : AVRational{1, 25};
  video_codec->framerate = av_inv_q(video_codec->time_base);
  video_codec->gop_size = video_gop_size;
  video_codec->pix_fmt = AVPixelFormat(pixel_format);
  video_codec->thread_count = 1;
  video_codec->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
  // Declared where AVI readers look: FFmpeg's muxer writes both into the
  // stream's video properties ('vprp').
  video_codec->field_order = woven_field_order;
  video_codec->sample_aspect_ratio = pixel_aspect(widescreen, frame_width, video_codec->height);
  video_stream->sample_aspect_ratio = video_codec->sample_aspect_ratio;
  if (output_format->flags & AVFMT_GLOBALHEADER) video_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  video_stream->time_base = video_codec->time_base;
  video_stream->avg_frame_rate = video_codec->framerate;

  const int result = avcodec_open2(video_codec, codec, nullptr);
  if (result < 0) {
    std::fprintf(stderr, "could not open codec\n");
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

bool recorder::add_audio_stream() {
  audio_stream = avformat_new_stream(format_context, nullptr);
  if (!audio_stream) {
    std::fprintf(stderr, "Could not alloc stream\n");
    fail("Could not add the audio stream to '" + file_name + "'", AVERROR(ENOMEM));
    return false;
  }
  audio_stream->id = 1;
  // PCM needs no encoder: the chunks are written as they are.
  AVCodecParameters* par = audio_stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_AUDIO;
  par->codec_id = AV_CODEC_ID_PCM_S16LE;
  par->format = AV_SAMPLE_FMT_S16;
  par->sample_rate = audio_sample_rate;
  av_channel_layout_default(&par->ch_layout, audio_channels);
  par->bits_per_coded_sample = 16;
  par->block_align = audio_channels * 2;
  par->bit_rate = int64_t(audio_sample_rate) * audio_channels * 16;
  audio_stream->time_base = AVRational{1, audio_sample_rate};
  return true;
}

bool recorder::open_audio() {
  const AVCodecParameters* par = audio_stream->codecpar;
  const int channels = par->ch_layout.nb_channels;
  // PCM has no frame size of its own: as many sample frames as fill the
  // packet buffer, halved for the 16-bit formats.
  audio_input_frame_size = audio_outbuf_size / channels;
  switch (par->codec_id) {
    case AV_CODEC_ID_PCM_S16LE:
    case AV_CODEC_ID_PCM_S16BE:
    case AV_CODEC_ID_PCM_U16LE:
    case AV_CODEC_ID_PCM_U16BE:
      audio_input_frame_size >>= 1;
      break;
    default:
      break;
  }
  const unsigned bytes = unsigned(audio_input_frame_size * 2 * channels);
  av_freep(&samples);
  samples = static_cast<uint8_t*>(av_malloc(bytes));
  if (!samples) {
    fail("Could not set up the audio stream", AVERROR(ENOMEM));
    return false;
  }
  audio_chunk_bytes = bytes;
  return true;
}

double recorder::video_stream_time() const {
  return video_codec ? double(video_pts) * av_q2d(video_codec->time_base) : 0.0;
}

double recorder::audio_stream_time() const { return double(audio_pts) / audio_sample_rate; }

bool recorder::write_video_frame() {
  const int height = 2 * field_lines;
  const AVPixelFormat format = AVPixelFormat(pixel_format);
  uchar* frame = current_frame;
  current_frame = nullptr;
  ++frames_encoded;  // a frame counts as consumed whatever becomes of it

  av_frame_unref(picture);
  picture->format = format;
  picture->width = frame_width;
  picture->height = height;
  picture->pts = video_pts++;
  av_image_fill_arrays(picture->data, picture->linesize, frame, format, frame_width, height, 1);
  const int size = av_image_get_buffer_size(format, frame_width, height, 1);
  picture->buf[0] = av_buffer_create(frame, size_t(size), release_frame_buffer, nullptr, 0);
  int result = avcodec_send_frame(video_codec, picture);
  if (!picture->buf[0]) std::free(frame);  // FFmpeg copied it
  av_frame_unref(picture);
  if (result < 0) return true;  // the encoder refused it: nothing to write, as for an empty packet

  while ((result = avcodec_receive_packet(video_codec, packet)) == 0) {
    av_packet_rescale_ts(packet, video_codec->time_base, video_stream->time_base);
    packet->stream_index = video_stream->index;
    // HuffYUV frames stand alone: a repeat is this packet again.
    av_packet_unref(last_video_packet);
    av_packet_ref(last_video_packet, packet);
    result = av_interleaved_write_frame(format_context, packet);
    if (result < 0) {
      std::fprintf(stderr, "Error while writing video frame\n");
      fail("Could not write to the recording file '" + file_name + "'", result);
      return false;
    }
  }
  return true;
}

bool recorder::write_repeated_frame() {
  ++frames_repeated;
  if (!last_video_packet->data) {
    // Nothing to repeat in this file yet: black (Y 16, Cb and Cr 128).
    const int height = 2 * field_lines;
    const size_t luma = size_t(frame_width) * size_t(height);
    auto* black = static_cast<uchar*>(std::malloc(2 * luma));  // planar 4:2:2: two bytes a pixel
    if (!black) {
      fail("Could not write to the recording file '" + file_name + "'", AVERROR(ENOMEM));
      return false;
    }
    std::memset(black, 16, luma);
    std::memset(black + luma, 128, luma);
    current_frame = black;
    return write_video_frame();
  }
  ++frames_encoded;
  int result = av_packet_ref(packet, last_video_packet);
  if (result >= 0) {
    packet->pts = packet->dts = av_rescale_q(video_pts++, video_codec->time_base, video_stream->time_base);
    result = av_interleaved_write_frame(format_context, packet);
  }
  if (result < 0) {
    fail("Could not write to the recording file '" + file_name + "'", result);
    return false;
  }
  return true;
}

bool recorder::write_audio_frame() {
  const int bytes = int(audio_chunk_bytes);
  int result = av_new_packet(packet, bytes);
  if (result < 0) {
    fail("Could not write to the recording file '" + file_name + "'", result);
    return false;
  }
  std::copy_n(samples, bytes, packet->data);
  packet->pts = audio_pts;
  packet->dts = audio_pts;
  packet->duration = audio_input_frame_size;
  av_packet_rescale_ts(packet, AVRational{1, audio_sample_rate}, audio_stream->time_base);
  packet->flags |= AV_PKT_FLAG_KEY;
  packet->stream_index = audio_stream->index;
  audio_pts += audio_input_frame_size;
  result = av_interleaved_write_frame(format_context, packet);
  if (result < 0) {
    std::fprintf(stderr, "Error while writing audio frame\n");
    fail("Could not write to the recording file '" + file_name + "'", result);
    return false;
  }
  return true;
}

bool recorder::close_output() {
  bool ok = true;
  if (header_written) {
    // Whatever the encoder still holds, then the index and the final sizes.
    if (avcodec_send_frame(video_codec, nullptr) == 0) {
      while (avcodec_receive_packet(video_codec, packet) == 0) {
        av_packet_rescale_ts(packet, video_codec->time_base, video_stream->time_base);
        packet->stream_index = video_stream->index;
        if (av_interleaved_write_frame(format_context, packet) < 0) ok = false;
      }
    }
    const int result = av_write_trailer(format_context);
    if (result < 0) {
      fail("Could not finish the recording file '" + file_name + "'", result);
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
      fail("Could not write to the recording file '" + file_name + "'", error < 0 ? error : closed);
      ok = false;
    }
  }
  // A file closed whole needs no repair; one whose end could not be
  // written keeps its note for the next start.
  if (ok) recording_journal::end(journal_note);
  journal_note.clear();
  close_audio();
  avcodec_free_context(&video_codec);
  av_frame_free(&picture);
  av_packet_free(&packet);
  av_packet_free(&last_video_packet);
  avformat_free_context(format_context);  // frees the streams too
  format_context = nullptr;
  output_format = nullptr;
  video_stream = nullptr;
  audio_stream = nullptr;
  if (current_frame) {
    std::free(current_frame);
    current_frame = nullptr;
  }
  return ok;
}

void recorder::close_audio() { av_freep(&samples); }
