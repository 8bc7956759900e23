#include "tests/record/media.h"

#include <QFile>
#include <array>
#include <cstring>
#include <utility>

#include "record/recording_feed.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

size_t frame_bytes(int field_lines) { return size_t(720) * 2 * size_t(field_lines) * 2; }

void draw_frame(uchar* frame, int number, int field_lines, bool noisy) {
  const int width = 720, height = 2 * field_lines;
  uchar* luma = frame;
  uchar* chroma = frame + size_t(width) * height;
  if (noisy) {
    uint64_t state = 0x9E3779B97F4A7C15ull * uint64_t(number + 1);
    for (size_t i = 0; i < frame_bytes(field_lines); i += sizeof state) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      std::memcpy(frame + i, &state, sizeof state);
    }
  } else {
    // Rows are windows into two ramps: luma x + 3y + 7n, chroma bands of 16
    // pixels, 128 + (x / 16 + row + n) % 64.
    static const auto ramps = [] {
      std::array<uchar, 2048> luma_ramp{}, chroma_ramp{};
      for (size_t i = 0; i < luma_ramp.size(); ++i) {
        luma_ramp[i] = uchar(i);
        chroma_ramp[i] = uchar(128 + (i / 16) % 64);
      }
      return std::pair{luma_ramp, chroma_ramp};
    }();
    for (int y = 0; y < height; ++y)
      std::memcpy(luma + size_t(y) * width, ramps.first.data() + (3 * y + 7 * number) % 256, size_t(width));
    for (int row = 0; row < 2 * height; ++row)
      std::memcpy(chroma + size_t(row) * width / 2, ramps.second.data() + 16 * ((row + number) % 64),
                  size_t(width / 2));
  }
  std::memcpy(luma, &number, sizeof number);
}

frame_buffer new_frame(int number, int field_lines, bool noisy) {
  frame_buffer frame = frame_buffer::allocate(recording_frame_bytes);
  std::memset(frame.data(), 0, recording_frame_bytes);
  draw_frame(frame.data(), number, field_lines, noisy);
  return frame;
}

QByteArray audio_bytes(int64_t first_byte, int64_t count) {
  QByteArray bytes(qsizetype(count), Qt::Uninitialized);
  for (int64_t i = 0; i < count; ++i) {
    const int64_t at = first_byte + i;
    const int64_t sample_frame = at / 4;
    const bool right = (at / 2) % 2 == 1;
    const uint16_t value = uint16_t(right ? ~sample_frame : sample_frame);
    bytes[qsizetype(i)] = char(at % 2 == 0 ? value & 0xFF : value >> 8);
  }
  return bytes;
}

int64_t audio_bytes_for_frames(int frames, bool sixty_hz) {
  const double rate = sixty_hz ? 30000.0 / 1001.0 : 25.0;
  return int64_t(frames * 48000.0 / rate) * 4;
}

bool is_run(const std::vector<int>& frames, int first, int count) {
  if (int(frames.size()) != count) return false;
  for (int i = 0; i < count; ++i)
    if (frames[size_t(i)] != first + i) return false;
  return true;
}

namespace {

// The number drawn into a decoded frame, if every byte matches draw_frame().
int identify(const AVFrame* decoded, int field_lines, bool noisy, std::vector<uchar>& expected) {
  const int width = 720, height = 2 * field_lines;
  if (decoded->format != AV_PIX_FMT_YUV422P || decoded->width != width || decoded->height != height) return -1;
  int number = 0;
  std::memcpy(&number, decoded->data[0], sizeof number);
  if (number < 0 || number > 10000000) return -1;
  expected.assign(frame_bytes(field_lines), 0);
  draw_frame(expected.data(), number, field_lines, noisy);
  const uchar* plane = expected.data();
  const int widths[3] = {width, width / 2, width / 2};
  for (int p = 0; p < 3; ++p) {
    for (int y = 0; y < height; ++y)
      if (std::memcmp(decoded->data[p] + y * decoded->linesize[p], plane + size_t(y) * widths[p], size_t(widths[p])))
        return -1;
    plane += size_t(widths[p]) * height;
  }
  return number;
}

}  // namespace

avi_contents read_avi(const QString& path, int field_lines, bool noisy) {
  avi_contents out;
  {
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) out.has_index = file.readAll().contains("idx1");
  }
  const QByteArray name = QFile::encodeName(path);
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, name.constData(), nullptr, nullptr) < 0) {
    out.error = "cannot open " + path;
    return out;
  }
  if (avformat_find_stream_info(input, nullptr) < 0 || input->nb_streams != 2) {
    out.error = QString("%1 streams").arg(input->nb_streams);
    avformat_close_input(&input);
    return out;
  }
  out.opened = true;
  const AVStream* video = input->streams[0];
  const AVStream* audio = input->streams[1];
  out.video_codec = video->codecpar->codec_id;
  out.pixel_format = video->codecpar->format;
  out.width = video->codecpar->width;
  out.height = video->codecpar->height;
  out.frame_rate = av_q2d(video->r_frame_rate);
  out.audio_codec = audio->codecpar->codec_id;
  out.sample_rate = audio->codecpar->sample_rate;
  out.channels = audio->codecpar->ch_layout.nb_channels;

  const AVCodec* codec = avcodec_find_decoder(video->codecpar->codec_id);
  AVCodecContext* decoder = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(decoder, video->codecpar);
  decoder->thread_count = 1;
  if (avcodec_open2(decoder, codec, nullptr) < 0) {
    out.error = "no decoder";
    out.opened = false;
  }
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<uchar> expected;
  auto drain = [&] {
    while (avcodec_receive_frame(decoder, frame) == 0)
      out.frames.push_back(identify(frame, field_lines, noisy, expected));
  };
  while (out.opened && av_read_frame(input, packet) >= 0) {
    if (packet->stream_index == 0 && packet->size > 0) {
      if (avcodec_send_packet(decoder, packet) < 0) ++out.decode_errors;
      drain();
    } else if (packet->stream_index == 1) {
      out.audio.append(reinterpret_cast<const char*>(packet->data), packet->size);
      ++out.audio_packets;
    }
    av_packet_unref(packet);
  }
  if (out.opened) {
    avcodec_send_packet(decoder, nullptr);
    drain();
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&decoder);
  avformat_close_input(&input);
  return out;
}
