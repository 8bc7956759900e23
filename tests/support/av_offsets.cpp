// av_offsets: how far apart sound and picture are in a recording of the
// virtual stick playing its own sound (ostrevin-virtual-stick --sound).
//
// The picture: every field carrying the test pattern's sync mark (data-strip
// block 43), at its frame's time, plus half a frame when it is the later of
// the frame's two fields. The sound: every click, at the sample where it
// first reaches half the loudest level out of a stretch below 40 % of it,
// which the stick's 1000 Hz tone (at a quarter of a click) never does,
// resampled or not; the clicks are found to the sample. Each mark is paired
// with the click nearest to where the offset so far puts it (at first, the
// offset most marks see), so a recording that drifts far stays paired; a
// mark with no click within 250 ms of that is unpaired.
//
// One line per mark, then a summary:
//   mark N picture T.TTT s sound T.TTT s offset X.X ms
//   marks M offset first X.X ms last X.X ms min X.X ms max X.X ms spread X.X ms drift X.X ms
// Offsets are sound minus picture: positive when the click comes after its
// mark. Lines starting with '#' describe the file.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "sim/test_pattern.h"

namespace {

constexpr int exit_read_error = 1;
constexpr int exit_usage = 2;
constexpr int exit_nothing_to_measure = 3;

constexpr char usage_text[] =
    "Usage: av_offsets FILE\n"
    "Measures how far apart sound and picture are in a recording of the virtual stick\n"
    "with its sound on: the picture's sync marks against the sound's clicks.\n"
    "Exit status: 0 when marks were measured, 1 when the file cannot be read,\n"
    "2 for bad arguments, 3 when the file has no marks or no clicks.\n";

struct picture_mark {
  uint32_t field = 0;
  double time = 0.0;
  bool later_field = false;  // the frame's second field in time
  bool odd_rows = false;
};

struct stream_decoder {
  AVCodecContext* context = nullptr;
  ~stream_decoder() { avcodec_free_context(&context); }
  bool open(const AVStream* stream, std::string* error) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
      *error = std::string("no decoder for ") + avcodec_get_name(stream->codecpar->codec_id);
      return false;
    }
    context = avcodec_alloc_context3(codec);
    if (!context || avcodec_parameters_to_context(context, stream->codecpar) < 0 ||
        avcodec_open2(context, codec, nullptr) < 0) {
      *error = std::string("cannot open the ") + codec->name + " decoder";
      return false;
    }
    return true;
  }
};

// Reads the file: the marked fields and the sound's per-sample level (the
// louder channel's magnitude).
struct recording {
  std::vector<picture_mark> marks;
  std::vector<uint16_t> level;
  double audio_start = 0.0;
  int sample_rate = 0;
  int width = 0, height = 0;
  double frame_period = 0.0;
  long frames = 0;
  std::string error;
};

// The data strip of the field on rows first_row, first_row + 2, ...
test_pattern::field_info read_field(const AVFrame* frame, int first_row) {
  const int field_lines = frame->height / 2;
  const int row = first_row + 2 * (field_lines - test_pattern::strip_lines / 2);
  return test_pattern::decode_luma(frame->data[0] + size_t(row) * size_t(frame->linesize[0]), frame->width);
}

// A field read from a picture that is not the test pattern's can claim
// anything; one whose mark agrees with its number and standard is believed.
bool plausible(const test_pattern::field_info& f) {
  return f.sync_mark == test_pattern::carries_sync_mark(f.number, f.programmed.sixty_hz);
}

bool read_recording(const char* path, recording& r) {
  AVFormatContext* format = nullptr;
  char message[AV_ERROR_MAX_STRING_SIZE] = {};
  int e = avformat_open_input(&format, path, nullptr, nullptr);
  if (e < 0) {
    av_strerror(e, message, sizeof message);
    r.error = std::string("cannot open ") + path + ": " + message;
    return false;
  }
  struct closer {
    AVFormatContext** f;
    ~closer() { avformat_close_input(f); }
  } close_format{&format};
  if ((e = avformat_find_stream_info(format, nullptr)) < 0) {
    av_strerror(e, message, sizeof message);
    r.error = std::string("cannot read the streams of ") + path + ": " + message;
    return false;
  }
  const int video_index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int audio_index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (video_index < 0 || audio_index < 0) {
    r.error = std::string(path) + " has no " + (video_index < 0 ? "video" : "audio") + " stream";
    return false;
  }
  const AVStream* video = format->streams[video_index];
  const AVStream* audio = format->streams[audio_index];
  const AVRational rate = video->avg_frame_rate.num ? video->avg_frame_rate : video->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) {
    r.error = "the video stream has no frame rate";
    return false;
  }
  r.frame_period = av_q2d(av_inv_q(rate));
  r.sample_rate = audio->codecpar->sample_rate;
  if (r.sample_rate <= 0) {
    r.error = "the audio stream has no sample rate";
    return false;
  }

  stream_decoder video_decoder, audio_decoder;
  if (!video_decoder.open(video, &r.error) || !audio_decoder.open(audio, &r.error)) return false;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::map<uint32_t, picture_mark> seen;  // by field number: a repeated frame counts once
  bool audio_started = false;
  bool bad_format = false;

  auto take_video = [&] {
    while (avcodec_receive_frame(video_decoder.context, frame) == 0) {
      const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
      if (!d || (d->flags & AV_PIX_FMT_FLAG_RGB) || d->comp[0].depth != 8 || d->comp[0].plane != 0 ||
          d->comp[0].step != 1 || frame->height < 2 * test_pattern::strip_lines) {
        bad_format = true;
        r.error = std::string("unexpected picture format ") + (d ? d->name : "?");
        av_frame_unref(frame);
        continue;
      }
      r.width = frame->width;
      r.height = frame->height;
      const int64_t pts = frame->best_effort_timestamp;
      const double t =
          pts == AV_NOPTS_VALUE ? double(r.frames) * r.frame_period : double(pts) * av_q2d(video->time_base);
      ++r.frames;
      const test_pattern::field_info even = read_field(frame, 0), odd = read_field(frame, 1);
      for (int rows = 0; rows < 2; ++rows) {
        const test_pattern::field_info& f = rows ? odd : even;
        const test_pattern::field_info& other = rows ? even : odd;
        if (!f.sync_mark || !plausible(f) || seen.count(f.number)) continue;
        picture_mark m;
        m.field = f.number;
        m.odd_rows = rows == 1;
        m.later_field = plausible(other) && other.number < f.number;
        m.time = t + (m.later_field ? r.frame_period / 2 : 0.0);
        seen[f.number] = m;
      }
      av_frame_unref(frame);
    }
  };
  auto take_audio = [&] {
    while (avcodec_receive_frame(audio_decoder.context, frame) == 0) {
      if (!audio_started) {
        const int64_t pts = frame->best_effort_timestamp;
        if (pts != AV_NOPTS_VALUE) r.audio_start = double(pts) * av_q2d(audio->time_base);
        audio_started = true;
      }
      const int channels = frame->ch_layout.nb_channels;
      const auto fmt = AVSampleFormat(frame->format);
      if (fmt != AV_SAMPLE_FMT_S16 && fmt != AV_SAMPLE_FMT_S16P) {
        bad_format = true;
        r.error = std::string("unexpected sample format ") + av_get_sample_fmt_name(fmt);
        av_frame_unref(frame);
        continue;
      }
      for (int i = 0; i < frame->nb_samples; ++i) {
        int level = 0;
        for (int c = 0; c < channels; ++c) {
          const int16_t v = fmt == AV_SAMPLE_FMT_S16
                                ? reinterpret_cast<const int16_t*>(frame->data[0])[i * channels + c]
                                : reinterpret_cast<const int16_t*>(frame->data[c])[i];
          level = std::max(level, std::abs(int(v)));
        }
        r.level.push_back(uint16_t(level));
      }
      av_frame_unref(frame);
    }
  };

  int read = 0;
  while ((read = av_read_frame(format, packet)) >= 0) {
    if (packet->stream_index == video_index) {
      avcodec_send_packet(video_decoder.context, packet);
      take_video();
    } else if (packet->stream_index == audio_index) {
      avcodec_send_packet(audio_decoder.context, packet);
      take_audio();
    }
    av_packet_unref(packet);
  }
  avcodec_send_packet(video_decoder.context, nullptr);
  take_video();
  avcodec_send_packet(audio_decoder.context, nullptr);
  take_audio();
  av_frame_free(&frame);
  av_packet_free(&packet);
  if (read != AVERROR_EOF) {
    av_strerror(read, message, sizeof message);
    r.error = std::string("cannot read ") + path + " to its end: " + message;
    return false;
  }
  if (bad_format) return false;
  for (const auto& [field, m] : seen) r.marks.push_back(m);
  std::sort(r.marks.begin(), r.marks.end(),
            [](const picture_mark& a, const picture_mark& b) { return a.time < b.time; });
  return true;
}

// Sample indices of the clicks: where the level first reaches half the
// loudest, with nothing above 40 % of it in the 20 ms before or from 2 to
// 10 ms after. A resampled click rings for a few samples either side of its
// edge; those are left out of the look before. The tone, at a quarter of a
// click, never gets there; a tone alone (the loudest is then the tone) does,
// but never falls quiet right after.
std::vector<int64_t> find_clicks(const std::vector<uint16_t>& level, int sample_rate) {
  std::vector<int64_t> clicks;
  const int64_t size = int64_t(level.size());
  const int peak = level.empty() ? 0 : *std::max_element(level.begin(), level.end());
  if (peak < 4096) return clicks;  // silence, or near enough
  const int high = peak / 2, loud = peak * 2 / 5;
  const int64_t ms = sample_rate / 1000;
  const int64_t before = 20 * ms, ringing = 8;
  auto quiet = [&](int64_t from, int64_t to) {
    from = std::max<int64_t>(from, 0);
    to = std::min(to, size);
    for (int64_t i = from; i < to; ++i)
      if (level[size_t(i)] >= loud) return false;
    return true;
  };
  int64_t last_high = -before - 1;
  for (int64_t i = 0; i < size; ++i) {
    if (level[size_t(i)] < high) continue;
    if (i - last_high > before && quiet(i - before, i - ringing) && quiet(i + 2 * ms, i + 10 * ms)) clicks.push_back(i);
    last_high = i;
  }
  return clicks;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(usage_text, stdout);
    return 0;
  }
  if (argc != 2 || argv[1][0] == '\0') {
    std::fputs(usage_text, stderr);
    return exit_usage;
  }
  av_log_set_level(AV_LOG_ERROR);
  recording r;
  if (!read_recording(argv[1], r)) {
    std::fprintf(stderr, "av_offsets: %s\n", r.error.c_str());
    return exit_read_error;
  }
  const std::vector<int64_t> clicks = find_clicks(r.level, r.sample_rate);
  std::vector<double> click_times;
  for (int64_t c : clicks) click_times.push_back(r.audio_start + double(c) / r.sample_rate);

  std::printf("# %ld frames %dx%d at %.3f fps, %zu sound samples at %d Hz (%.3f s), %zu marks, %zu clicks\n", r.frames,
              r.width, r.height, 1.0 / r.frame_period, r.level.size(), r.sample_rate,
              double(r.level.size()) / r.sample_rate, r.marks.size(), clicks.size());
  if (!r.marks.empty()) {
    const size_t odd =
        size_t(std::count_if(r.marks.begin(), r.marks.end(), [](const picture_mark& m) { return m.odd_rows; }));
    const size_t later =
        size_t(std::count_if(r.marks.begin(), r.marks.end(), [](const picture_mark& m) { return m.later_field; }));
    std::printf("# marked fields on the %s rows (%zu of %zu odd), the later field of their frame in %zu\n",
                odd * 2 > r.marks.size() ? "odd" : "even", odd, r.marks.size(), later);
  }
  if (r.marks.empty()) {
    std::fprintf(stderr, "av_offsets: no sync marks in the picture of %s\n", argv[1]);
    return exit_nothing_to_measure;
  }
  if (click_times.empty()) {
    std::fprintf(stderr, "av_offsets: no clicks in the sound of %s\n", argv[1]);
    return exit_nothing_to_measure;
  }

  auto nearest = [&click_times](double t) {
    auto it = std::lower_bound(click_times.begin(), click_times.end(), t);
    if (it == click_times.end()) return click_times.back();
    if (it != click_times.begin() && t - *(it - 1) < *it - t) return *(it - 1);
    return *it;
  };
  // Where to look first: the offset most marks see to their nearest click.
  std::vector<double> first_guess;
  for (const picture_mark& m : r.marks) first_guess.push_back(nearest(m.time) - m.time);
  std::nth_element(first_guess.begin(), first_guess.begin() + std::ptrdiff_t(first_guess.size() / 2),
                   first_guess.end());
  double expected = first_guess[first_guess.size() / 2];

  constexpr double pairing_window = 0.25;
  std::vector<double> offsets;
  int n = 0;
  for (const picture_mark& m : r.marks) {
    ++n;
    const double sound = nearest(m.time + expected);
    const double offset = sound - m.time;
    if (std::abs(offset - expected) > pairing_window) {
      std::printf("mark %d picture %.3f s sound none\n", n, m.time);
      continue;
    }
    std::printf("mark %d picture %.3f s sound %.3f s offset %.1f ms\n", n, m.time, sound, offset * 1000);
    offsets.push_back(offset * 1000);
    expected = offset;
  }
  if (offsets.empty()) {
    std::fprintf(stderr, "av_offsets: no click near any mark in %s\n", argv[1]);
    return exit_nothing_to_measure;
  }
  const auto [low, high] = std::minmax_element(offsets.begin(), offsets.end());
  if (offsets.size() < r.marks.size())
    std::printf("# %zu of %zu marks had no click near them\n", r.marks.size() - offsets.size(), r.marks.size());
  std::printf("marks %zu offset first %.1f ms last %.1f ms min %.1f ms max %.1f ms spread %.1f ms drift %.1f ms\n",
              offsets.size(), offsets.front(), offsets.back(), *low, *high, *high - *low,
              offsets.back() - offsets.front());
  return 0;
}
