#include "tests/support/avi_file.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <cstring>
#include <functional>

#include "tests/support/synthetic_media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace {

// Reads every packet of `path` into `out` and hands each decoded frame to
// `decoded`, which tells what it is.
void read_avi(const QString& path, avi_streams& out, const std::function<void(const AVFrame*)>& decoded) {
  {
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) out.has_index = file.readAll().contains("idx1");
  }
  const QByteArray name = QFile::encodeName(path);
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, name.constData(), nullptr, nullptr) < 0) {
    out.error = "cannot open " + path;
    return;
  }
  if (avformat_find_stream_info(input, nullptr) < 0 || input->nb_streams != 2) {
    out.error = QString("%1 streams").arg(input->nb_streams);
    avformat_close_input(&input);
    return;
  }
  out.opened = true;
  const AVStream* video = input->streams[0];
  const AVStream* audio = input->streams[1];
  out.video_codec = avcodec_get_name(video->codecpar->codec_id);
  out.pixel_format = av_get_pix_fmt_name(AVPixelFormat(video->codecpar->format));
  out.width = video->codecpar->width;
  out.height = video->codecpar->height;
  out.frame_rate = av_q2d(video->r_frame_rate);
  if (video->sample_aspect_ratio.num > 0) {
    AVRational aspect{};
    av_reduce(&aspect.num, &aspect.den, int64_t(video->sample_aspect_ratio.num) * video->codecpar->width,
              int64_t(video->sample_aspect_ratio.den) * video->codecpar->height, 1 << 16);
    out.display_aspect = QString("%1:%2").arg(aspect.num).arg(aspect.den);
  }
  out.audio_codec = avcodec_get_name(audio->codecpar->codec_id);
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
  auto drain = [&] {
    while (avcodec_receive_frame(decoder, frame) == 0) {
      decoded(frame);
      av_frame_unref(frame);
    }
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
}

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

drawn_avi read_drawn_avi(const QString& path, int field_lines, bool noisy) {
  drawn_avi out;
  std::vector<uchar> expected;
  read_avi(path, out,
           [&](const AVFrame* frame) { out.frames.push_back(identify(frame, field_lines, noisy, expected)); });
  return out;
}

bool is_run(const std::vector<int>& frames, int first, int count) {
  if (int(frames.size()) != count) return false;
  for (int i = 0; i < count; ++i)
    if (frames[size_t(i)] != first + i) return false;
  return true;
}

pattern_avi read_pattern_avi(const QString& path) {
  pattern_avi out;
  read_avi(path, out, [&](const AVFrame* frame) {
    pattern_frame f;
    bool even_black = false, odd_black = false;
    f.even = read_field(frame, 0, &even_black);
    f.odd = read_field(frame, 1, &odd_black);
    f.even_rows_start_black = even_black && odd_black;
    out.frames.push_back(f);
  });
  return out;
}

int seekable_frames(const QString& path, int* frames) {
  *frames = 0;
  const QByteArray name = QFile::encodeName(path);
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, name.constData(), nullptr, nullptr) < 0) return -1;
  int found = -1;
  AVPacket* packet = av_packet_alloc();
  if (avformat_find_stream_info(input, nullptr) >= 0 && input->nb_streams > 0 && packet) {
    // The frames the file's index lists for the picture, then each one
    // sought by its number and read back as that frame.
    const AVStream* video = input->streams[0];
    *frames = avformat_index_get_entries_count(video);
    found = 0;
    for (int i = 0; i < *frames; ++i) {
      if (av_seek_frame(input, 0, i, 0) < 0) continue;
      while (av_read_frame(input, packet) >= 0) {
        const bool picture = packet->stream_index == 0;
        if (picture && packet->pts == i) ++found;
        av_packet_unref(packet);
        if (picture) break;
      }
    }
  }
  av_packet_free(&packet);
  avformat_close_input(&input);
  return found;
}

namespace {
// The program's standard output and error, or nothing when it cannot be run.
QString output_of(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, arguments);
  if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
    return {};
  return QString::fromLocal8Bit(process.readAll());
}
}  // namespace

field_verdicts read_field_verdicts(const QString& path) {
  field_verdicts v;
  v.scan_order = output_of("mediainfo", {"--Inform=Video;%ScanOrder%", path}).trimmed();
  const QString idet = output_of(
      "ffmpeg", {"-nostdin", "-hide_banner", "-nostats", "-i", path, "-an", "-vf", "idet", "-f", "null", "-"});
  const QRegularExpressionMatch m =
      QRegularExpression(
          R"(Single frame detection: TFF:\s*(\d+) BFF:\s*(\d+) Progressive:\s*(\d+) Undetermined:\s*(\d+))")
          .match(idet);
  if (m.hasMatch()) {
    v.tff = m.captured(1).toInt();
    v.bff = m.captured(2).toInt();
    v.progressive = m.captured(3).toInt();
    v.undetermined = m.captured(4).toInt();
  }
  return v;
}
