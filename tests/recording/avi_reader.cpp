#include "tests/recording/avi_reader.h"

#include <QFile>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace {

// One field of a decoded yuv422p frame back into UYVY, for the pattern reader.
test_pattern::field_info read_field(const AVFrame* f, int first_row, bool* starts_black) {
  const int w = f->width, lines = f->height / 2;
  std::vector<uint8_t> uyvy(size_t(w) * 2 * lines);
  for (int line = 0; line < lines; ++line) {
    const int row = 2 * line + first_row;
    const uint8_t* y = f->data[0] + row * f->linesize[0];
    const uint8_t* u = f->data[1] + row * f->linesize[1];
    const uint8_t* v = f->data[2] + row * f->linesize[2];
    uint8_t* out = uyvy.data() + size_t(line) * w * 2;
    for (int x = 0; x < w / 2; ++x) {
      out[4 * x] = u[x];
      out[4 * x + 1] = y[2 * x];
      out[4 * x + 2] = v[x];
      out[4 * x + 3] = y[2 * x + 1];
    }
  }
  bool black = true;
  for (int line = 0; line < 2; ++line)
    for (int x = 0; x < w; ++x) black = black && f->data[0][(2 * line + first_row) * f->linesize[0] + x] == 0;
  *starts_black = black;
  return test_pattern::decode_uyvy(uyvy.data(), lines);
}

}  // namespace

recording read_recording(const QString& path) {
  recording r;
  AVFormatContext* format = nullptr;
  const QByteArray name = QFile::encodeName(path);
  if (avformat_open_input(&format, name.constData(), nullptr, nullptr) < 0) {
    r.error = "cannot open " + path;
    return r;
  }
  if (avformat_find_stream_info(format, nullptr) < 0 || format->nb_streams != 2) {
    r.error = "unexpected streams";
    avformat_close_input(&format);
    return r;
  }
  r.opened = true;
  const AVStream* video = format->streams[0];
  const AVStream* audio = format->streams[1];
  r.video_codec = avcodec_get_name(video->codecpar->codec_id);
  r.pixel_format = av_get_pix_fmt_name(AVPixelFormat(video->codecpar->format));
  r.width = video->codecpar->width;
  r.height = video->codecpar->height;
  r.frame_rate = av_q2d(video->avg_frame_rate.num ? video->avg_frame_rate : video->r_frame_rate);
  if (video->sample_aspect_ratio.num > 0) {
    AVRational aspect{};
    av_reduce(&aspect.num, &aspect.den, int64_t(video->sample_aspect_ratio.num) * video->codecpar->width,
              int64_t(video->sample_aspect_ratio.den) * video->codecpar->height, 1 << 16);
    r.display_aspect = QString("%1:%2").arg(aspect.num).arg(aspect.den);
  }
  r.audio_codec = avcodec_get_name(audio->codecpar->codec_id);
  r.sample_rate = audio->codecpar->sample_rate;
  r.channels = audio->codecpar->ch_layout.nb_channels;

  const AVCodec* decoder = avcodec_find_decoder(video->codecpar->codec_id);
  AVCodecContext* context = avcodec_alloc_context3(decoder);
  avcodec_parameters_to_context(context, video->codecpar);
  if (avcodec_open2(context, decoder, nullptr) < 0) {
    r.error = "cannot open the video decoder";
    avcodec_free_context(&context);
    avformat_close_input(&format);
    return r;
  }
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(context, frame) == 0) {
      recorded_frame rf;
      bool even_black = false, odd_black = false;
      rf.even = read_field(frame, 0, &even_black);
      rf.odd = read_field(frame, 1, &odd_black);
      rf.even_rows_start_black = even_black && odd_black;
      r.frames.push_back(rf);
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(format, packet) >= 0) {
    if (packet->stream_index == 0) {
      if (avcodec_send_packet(context, packet) < 0) ++r.decode_errors;
      drain();
    } else if (packet->stream_index == 1) {
      r.audio.append(reinterpret_cast<const char*>(packet->data), packet->size);
    }
    av_packet_unref(packet);
  }
  avcodec_send_packet(context, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  avformat_close_input(&format);
  return r;
}
