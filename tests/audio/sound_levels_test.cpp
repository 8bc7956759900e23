// The meters' measurement on sound of known level: peak, RMS, hold, clip and
// "no sound", fed in whole blocks and in blocks that cut frames apart; and
// the meters themselves: a click, and an input that stops.
#include "audio/sound_levels.h"

#include <gtest/gtest.h>

#include <QTest>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "app/sound_meters.h"

namespace {

constexpr double any = std::numeric_limits<double>::quiet_NaN();
constexpr double pi = 3.14159265358979323846;

struct wave {
  enum kind_t { silence, sine, square } kind = silence;
  double dbfs = 0.0;
  double hz = 1000.0;
  int16_t at(int64_t frame) const {
    const double amplitude = std::min(32768.0 * std::pow(10.0, dbfs / 20.0), 32767.0);
    const double phase = 2.0 * pi * hz * double(frame) / sound_levels::frames_per_second;
    if (kind == sine) return int16_t(std::lround(amplitude * std::sin(phase)));
    if (kind == square) return int16_t(std::sin(phase) >= 0 ? std::lround(amplitude) : -std::lround(amplitude));
    return 0;
  }
};
struct stretch {
  double seconds;
  wave left, right;
};
struct expected_level {
  double peak_db = any, rms_db = any, hold_db = any;
  bool clipped = false, no_sound = false;
};

std::vector<unsigned char> pcm(const std::vector<stretch>& sound) {
  std::vector<unsigned char> bytes;
  int64_t frame = 0;
  for (const stretch& s : sound)
    for (int64_t end = frame + std::lround(s.seconds * sound_levels::frames_per_second); frame < end; ++frame)
      for (const wave& w : {s.left, s.right}) {
        const auto value = uint16_t(w.at(frame));
        bytes.push_back(uint8_t(value & 0xff));
        bytes.push_back(uint8_t(value >> 8));
      }
  return bytes;
}

TEST(sound_levels, figures_of_known_sound_in_any_blocks) {
  const wave quiet{};
  const wave loud{wave::sine, -6.0};
  const wave soft{wave::sine, -40.0};
  const wave full_square{wave::square, 0.0};
  const struct {
    const char* name;
    std::vector<stretch> sound;
    expected_level left, right;
  } cases[] = {
      {"-6 dBFS sine on the left, silence on the right",
       {{1.0, loud, quiet}},
       {-6.0, -9.0, -6.0},
       {any, any, any, false, true}},
      {"a full-scale square clips; the mark outlasts it",
       {{0.1, full_square, quiet}, {2.0, quiet, quiet}},
       {any, any, any, true, true},
       {any, any, any, false, true}},
      {"the hold keeps a peak 1.4 s old",
       {{0.2, loud, loud}, {1.4, soft, soft}},
       {-40.0, -43.0, -6.0},
       {-40.0, -43.0, -6.0}},
      {"the hold falls back after 1.5 s",
       {{0.2, loud, loud}, {1.6, soft, soft}},
       {-40.0, -43.0, -40.0},
       {-40.0, -43.0, -40.0}},
      {"the last bit alone is no sound; -70 dBFS is sound",
       {{1.0, {wave::square, -90.3}, {wave::sine, -70.0}}},
       {any, any, any, false, true},
       {-70.0, -73.0, -70.0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<unsigned char> bytes = pcm(c.sound);
    sound_levels whole, cut;
    whole.add(bytes.data(), bytes.size());
    // Blocks that end inside frames and inside samples, each in memory of
    // its own size (AddressSanitizer sees a read past it).
    const size_t sizes[] = {1, 2, 3, 5, 4093, 7, 961};
    for (size_t at = 0, i = 0; at < bytes.size(); ++i) {
      const size_t size = std::min(sizes[i % std::size(sizes)], bytes.size() - at);
      const std::vector<unsigned char> block(bytes.begin() + long(at), bytes.begin() + long(at + size));
      cut.add(block.data(), block.size());
      at += size;
    }
    const sound_levels::reading levels = whole.levels();
    EXPECT_EQ(cut.levels(), levels);
    for (size_t ch = 0; ch < levels.size(); ++ch) {
      SCOPED_TRACE(ch == 0 ? "left" : "right");
      const expected_level& want = ch == 0 ? c.left : c.right;
      const sound_levels::channel_level& got = levels[ch];
      auto near = [](double figure, double wanted) { return std::isnan(wanted) || std::abs(figure - wanted) <= 0.5; };
      EXPECT_TRUE(near(got.peak_db, want.peak_db) && near(got.rms_db, want.rms_db) && near(got.hold_db, want.hold_db))
          << "peak " << got.peak_db << ", RMS " << got.rms_db << ", hold " << got.hold_db;
      EXPECT_EQ(got.clipped, want.clipped);
      EXPECT_EQ(got.no_sound, want.no_sound);
    }
  }
}

// A full-scale block lights both clip marks; then no more blocks come:
// after a while both bars say "no sound", the marks still lit until a click.
TEST(sound_meters, a_click_clears_the_clip_marks_and_a_stopped_input_has_no_sound) {
  sound_meters meters;
  meters.resize(400, sound_meters::fixed_height);
  meters.show();
  const std::vector<unsigned char> bytes = pcm({{0.1, {wave::square, 0.0}, {wave::square, 0.0}}});
  meters.take_sound(QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));
  EXPECT_TRUE(meters.levels()[0].clipped && meters.levels()[1].clipped);
  EXPECT_FALSE(meters.levels()[0].no_sound);
  // The input stops: no sound, and the clip marks stay until the click.
  EXPECT_TRUE(QTest::qWaitFor([&] { return meters.levels()[0].no_sound && meters.levels()[1].no_sound; }, 10000));
  EXPECT_TRUE(meters.levels()[0].clipped && meters.levels()[1].clipped);
  QTest::mouseClick(&meters, Qt::LeftButton);
  EXPECT_FALSE(meters.levels()[0].clipped || meters.levels()[1].clipped);
}

}  // namespace
