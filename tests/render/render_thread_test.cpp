// The render thread on its own: what each display mode puts where, the
// encoder field, and the hand-off protocol with the capture side.
#include "render/render_thread.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTest>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/test_pattern.h"
#include "tests/support/message_log.h"
#include "tests/support/render_probe.h"
#include "tests/support/signal_counter.h"

namespace {

using rt = render_thread;
struct yuv {
  int y, u, v;
};

// 100 % colour bars in video range, and the BGR they must become.
constexpr yuv bar_yuv[8] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                            {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};
constexpr int bar_bgr[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                               {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
enum bar { white = 0, green = 3, red = 5, blue = 6 };
constexpr unsigned char sentinel = 0x5A;

// Runs f on another thread; false if it has not returned within five seconds.
template <typename F>
bool returns_within_5_s(F f) {
  std::atomic<bool> done{false};
  std::thread t([&] { f(), done = true; });
  const bool ok = QTest::qWaitFor([&] { return done.load(); }, 5000);
  ok ? t.join() : t.detach();
  return ok;
}

struct rendering : ::testing::Test {
  // What the thread gave out last, after each field: the newest display
  // picture as the display shows it at the test's size (the rest stays
  // sentinel) and as handed over; the newest recorded field; and the fields
  // kept for the two-field modes, shown at half the height.
  std::vector<unsigned char> encoder = std::vector<unsigned char>(rt::recording_field_buffer_size, sentinel);
  std::vector<unsigned char> display = std::vector<unsigned char>(768 * 576 * 4, sentinel);
  std::vector<unsigned char> raw;
  picture_info shown;
  std::vector<unsigned char> field_0 = std::vector<unsigned char>(768 * 288 * 4);
  std::vector<unsigned char> field_1 = std::vector<unsigned char>(768 * 288 * 4);
  int recorded = 0;
  // Larger than the hand-off buffer and always submitted whole: the copy must stop at 829,440 bytes.
  std::vector<unsigned char> field = std::vector<unsigned char>(900000);
  int lines = 288, width = 768, height = 576;
  rt render;
  signal_counter ready{&render, &rt::field_rendered};
  signal_counter broadcasts{&render, &rt::broadcast_frame};

  void TearDown() override {
    render.request_close();
    EXPECT_TRUE(render.wait(10000));
  }
  void use(bool sixty_hz, bool widescreen) {
    lines = sixty_hz ? 240 : 288;
    width = sixty_hz ? 640 : 768;
    height = sixty_hz ? (widescreen ? 360 : 480) : (widescreen ? 432 : 576);
    render.set_render_settings({720, 2 * lines, width / 2, height / 2});
  }
  template <typename F>
  void paint(F colour) {  // UYVY, colour by position
    for (int y = 0; y < lines; ++y)
      for (int x = 0; x < 720; x += 2) {
        const yuv c = colour(x, y);
        unsigned char* p = &field[size_t(y * 720 + x) * 2];
        p[0] = c.u, p[1] = c.y, p[2] = c.v, p[3] = c.y;
      }
  }
  void paint(bar top, bar bottom) {
    paint([&](int, int y) { return bar_yuv[y < lines / 2 ? top : bottom]; });
  }
  void paint(bar c) { paint(c, c); }
  // Hands the field over; set_render_settings returns once the thread is done with it.
  void show(bool flag) {
    render.submit_field(flag, field.data(), field.size());
    idle();
  }
  void idle() {
    render.set_render_settings(render_probe::settings(render));
    collect();
  }
  void collect() {
    latest_picture& pictures = render.display();
    if (pictures.take()) {
      shown = pictures.front_info();
      raw.assign(pictures.front(), pictures.front() + shown.bytes());
      std::fill(display.begin(), display.end(), sentinel);
      picture_to_bgra(raw.data(), shown, display.data(), width, height);
    }
    const picture_info one_field{720, lines};
    picture_to_bgra(render_probe::field_picture(render, false), one_field, field_0.data(), width, height / 2);
    picture_to_bgra(render_probe::field_picture(render, true), one_field, field_1.data(), width, height / 2);
    recorded += render.take_fields(
        [&](const recorded_field& f) { std::copy_n(f.pixels, std::min(f.bytes, encoder.size()), encoder.begin()); });
  }
  bool is(const std::vector<unsigned char>& b, int x, int y, int c) const {
    const unsigned char* p = &b[size_t(y * width + x) * 4];
    for (int i = 0; i < 3; ++i)
      if (std::abs(p[i] - bar_bgr[c][i]) > 4) return false;
    return p[3] == 255;
  }
  bool untouched_from(const std::vector<unsigned char>& b, size_t from) const {
    return std::all_of(b.begin() + long(from), b.end(), [](unsigned char c) { return c == sentinel; });
  }
};

TEST_F(rendering, f1_hands_each_field_over_as_it_came_for_every_standard_and_aspect) {
  std::atomic<uchar*> sent{nullptr};
  std::atomic<int> sent_w{0}, sent_h{0};
  QObject::connect(
      &render, &rt::broadcast_frame, &render, [&](uchar* b, int w, int h) { sent = b, sent_w = w, sent_h = h; },
      Qt::DirectConnection);

  for (auto [sixty_hz, widescreen] : {std::pair{false, false}, {false, true}, {true, false}, {true, true}}) {
    SCOPED_TRACE(testing::Message() << "sixty_hz " << sixty_hz << " widescreen " << widescreen);
    std::fill(display.begin(), display.end(), sentinel);
    use(sixty_hz, widescreen);
    // Bars left to right above, right to left below: catches flips and wrong row mapping.
    paint([&](int x, int y) { return bar_yuv[y < lines / 2 ? x / 90 : 7 - x / 90]; });
    show(false);
    EXPECT_EQ(broadcasts.count(), ready.count());
    EXPECT_EQ(sent.load(), render.display().front());
    EXPECT_EQ(sent_w * 2, width);
    EXPECT_EQ(sent_h * 2, height);
    // The stick's bytes, untouched, and what the display makes of them.
    EXPECT_EQ(shown.display_width, width);
    EXPECT_EQ(shown.display_height, height);
    EXPECT_EQ(shown.layout, picture_layout::rows);
    ASSERT_EQ(shown.rows, lines);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), field.begin()));
    for (int i = 0; i < 8; ++i) {
      EXPECT_TRUE(is(display, (2 * i + 1) * width / 16, height / 4, i)) << "bar " << i;
      EXPECT_TRUE(is(display, (2 * i + 1) * width / 16, 3 * height / 4, 7 - i)) << "bar " << i;
    }
  }
  EXPECT_EQ(ready.count(), 4);
}

TEST_F(rendering, f2_shows_only_flag_set_fields_but_signals_every_field) {
  render.set_display_mode(display_mode::f2);
  use(false, false);
  paint(red);
  show(false);
  EXPECT_TRUE(untouched_from(display, 0));
  EXPECT_EQ(ready.count() + broadcasts.count(), 2);
  show(true);
  EXPECT_TRUE(is(display, 700, 500, red));
  EXPECT_EQ(ready.count() + broadcasts.count(), 4);
}

TEST_F(rendering, interlaced_weaves_each_picture_of_the_signal_with_its_top_field_on_even_rows) {
  render.set_display_mode(display_mode::interlaced);
  int pictures = 0;
  // A picture's earlier field: the top one (flag clear) at 50 Hz, the bottom one at 60 Hz.
  for (const bool sixty_hz : {false, true}) {
    SCOPED_TRACE(sixty_hz ? "60 Hz" : "50 Hz");
    use(sixty_hz, false);  // half-height fields, a whole picture
    std::fill(display.begin(), display.end(), sentinel);
    const bool earlier_flag = sixty_hz;
    const std::vector<unsigned char>& earlier_half = earlier_flag ? field_1 : field_0;
    paint(white, blue);
    show(earlier_flag);
    EXPECT_TRUE(untouched_from(display, 0)) << "half a picture is not shown";
    EXPECT_TRUE(is(earlier_half, width / 2, height / 8, white));  // half height: the field's middle is row height / 4
    EXPECT_TRUE(is(earlier_half, width / 2, 3 * height / 8, blue));

    paint(red);
    show(!earlier_flag);
    ++pictures;
    const int top = earlier_flag ? 1 : 0;  // the row the earlier field's first line went to
    EXPECT_TRUE(is(display, width / 2, height / 4 + top, white));
    EXPECT_TRUE(is(display, width / 2, height / 4 + 1 - top, red));
    EXPECT_TRUE(is(display, width / 2, 3 * height / 4 + top, blue));
    EXPECT_TRUE(is(display, width / 2, 3 * height / 4 + 1 - top, red));
    EXPECT_TRUE(untouched_from(display, size_t(width * height * 4)));

    // The next picture's earlier field waits for its later one; a later
    // field whose earlier one never came (skipped, or lost on the way)
    // leaves the picture as it was.
    const std::vector<unsigned char> woven = display;
    paint(green);
    show(earlier_flag);
    EXPECT_EQ(display, woven);
    EXPECT_TRUE(is(earlier_half, width / 2, height / 8, green));
    render.submit_field(!earlier_flag, field.data(), field.size(), -1, 1000000u + unsigned(pictures));
    idle();
    EXPECT_EQ(display, woven);
  }
  EXPECT_EQ(ready.count(), 4 * pictures);
}

TEST_F(rendering, field_blended_hands_over_both_fields_and_shows_their_mean) {
  render.set_display_mode(display_mode::field_blended);
  use(false, false);
  // Two luma ramps one step apart, then bars against their reverse.
  paint([](int x, int) { return yuv{16 + x * 219 / 719, 128, 128}; });
  const std::vector<unsigned char> top(field.begin(), field.begin() + 720 * 2 * 288);
  show(false);
  paint([](int x, int) { return yuv{std::min(235, 17 + x * 219 / 719), 90, 200}; });
  show(true);
  ASSERT_EQ(shown.layout, picture_layout::blended);
  ASSERT_EQ(shown.rows, 2 * lines);
  EXPECT_TRUE(std::equal(top.begin(), top.end(), raw.begin()));
  EXPECT_TRUE(std::equal(raw.begin() + long(top.size()), raw.end(), field.begin()));
  // Each pixel the mean of the two fields' (a linear conversion: the mean
  // of the colours is the colour of the mean), within a level of rounding.
  int worst = 0;
  for (size_t k = 0; k < 768 * 576 * 4; ++k) {
    const size_t half = k % (768 * 4) + (k / (768 * 4)) / 2 * 768 * 4;  // the same pixel in the half-height fields
    if (field_0[half] == 0 || field_0[half] == 255 || field_1[half] == 0 || field_1[half] == 255) continue;  // clipped
    worst = std::max(worst, std::abs(2 * int(display[k]) - int(field_0[half]) - int(field_1[half])));
  }
  EXPECT_LE(worst, 3);
  EXPECT_TRUE(untouched_from(display, 768 * 576 * 4));
}

// The virtual stick's test pattern, its box moving 4 pixels a field, fed
// with the serials and flags the stick would give (field n: serial n + 1;
// picture n / 2, its top field first at 50 Hz, its bottom field at 60 Hz).
struct pattern_fields : rendering {
  rt woven;  // the same fields in Interlaced, converted on this thread

  int box_top() const { return 2 * (lines * 2 / 3 + (lines - 16 - lines * 2 / 3 - test_pattern::box_size) / 2); }
  int display_x(int x) const { return x * width / 720; }
  void draw(uint32_t n) {
    test_pattern::draw_field(field.data(), lines, 1440, test_pattern::field_info{n, false, {}, false});
  }
  bool flag(uint32_t n) const { return (n % 2 == 1) != (lines == 240); }  // set: the bottom field
  // True when the thread published a picture for field n (then in `display`).
  bool feed(uint32_t n) {
    draw(n);
    render.submit_field(flag(n), field.data(), size_t(lines) * 1440, -1, n + 1);
    render.set_render_settings(render_probe::settings(render));
    if (!render.display().take()) return false;
    picture_to_bgra(render.display().front(), render.display().front_info(), display.data(), width, height);
    return true;
  }
  std::vector<unsigned char> woven_pair(uint32_t first) {
    for (uint32_t n : {first, first + 1}) draw(n), render_probe::render_one_field(woven, flag(n), field.data());
    EXPECT_TRUE(woven.display().take());
    std::vector<unsigned char> bgra(size_t(width * height * 4));
    picture_to_bgra(woven.display().front(), woven.display().front_info(), bgra.data(), width, height);
    return bgra;
  }
  int luma(const std::vector<unsigned char>& b, int x, int y) const {
    const unsigned char* p = &b[size_t(y * width + x) * 4];
    return (p[0] + 2 * p[1] + p[2]) / 4;
  }
  int box_left(const std::vector<unsigned char>& b) const {
    int x = 0;
    while (x < width && luma(b, x, box_top() + test_pattern::box_size) < 192) ++x;
    return x;
  }
  // Pixels of the box's rows and columns [x0, x1) that are combed, as
  // ffmpeg's idet filter tests a pixel: it differs from the rows above and
  // below by more than the threshold, the same way.
  int combed(const std::vector<unsigned char>& b, int x0, int x1) const {
    int count = 0;
    for (int y = box_top() - 2; y < box_top() + 2 * test_pattern::box_size + 2; ++y)
      for (int x = x0; x < x1; ++x) {
        const int up = luma(b, x, y) - luma(b, x, y - 1), down = luma(b, x, y) - luma(b, x, y + 1);
        count += (up > 24 && down > 24) || (up < -24 && down < -24);
      }
    return count;
  }
};

TEST_F(pattern_fields, deinterlaced_shows_every_field_whole_a_frame_late_without_combing_and_as_sharp_as_woven) {
  render.set_display_mode(display_mode::deinterlaced);
  woven.set_display_mode(display_mode::interlaced);
  for (const auto& [sixty_hz, start] : {std::pair{false, 0u}, {true, 1000u}}) {
    SCOPED_TRACE(sixty_hz ? "NTSC" : "PAL");
    use(sixty_hz, false);  // a standard switch: nothing of the old size may follow
    woven.set_render_settings(render_probe::settings(render));
    int fed = 0, pictures = 0;
    for (uint32_t n = start; n < start + 40; ++n) {
      if (n == start + 20 || n == start + 21) continue;  // the thread fell behind: two fields skipped
      ++fed;
      if (!feed(n)) continue;
      ++pictures;
      const picture_info& info = render.display().front_info();
      ASSERT_EQ(info.layout, picture_layout::rows);
      ASSERT_EQ(info.rows, 2 * lines);  // a whole frame
      // The filter holds a frame back, and a frame's second picture waits a field.
      EXPECT_EQ(info.field_serial, n + 1 - 3);
      EXPECT_NEAR(box_left(display), display_x(test_pattern::box_x(n - 3)), 2) << "field " << n;
    }
    // Each run of fields shows all but its first three.
    EXPECT_EQ(pictures, fed - 6);

    // The last picture shows field start + 36, of the pair woven with start + 37.
    const std::vector<unsigned char> interlaced = woven_pair(start + 36);
    const int x0 = display_x(test_pattern::box_x(start + 36)) - 8;
    const int x1 = display_x(test_pattern::box_x(start + 37) + test_pattern::box_size) + 8;
    EXPECT_GT(combed(interlaced, x0, x1), 200);
    EXPECT_LT(combed(display, x0, x1), 10);
    // Above the box nothing moves: the bars and their edge with the band
    // below stay as sharp as woven.
    int worst = 0;
    for (int k = 0; k < width * (box_top() - 8) * 4; ++k) worst = std::max(worst, std::abs(display[k] - interlaced[k]));
    EXPECT_LE(worst, 6);
  }
}

TEST_F(rendering, a_mode_change_between_two_fields_applies_to_the_next_field) {
  use(false, false);
  paint(white, blue);
  show(false);
  EXPECT_TRUE(is(display, 384, 432, blue));

  render.set_display_mode(display_mode::interlaced);
  std::fill(display.begin(), display.end(), sentinel);
  show(false);
  EXPECT_TRUE(untouched_from(display, 0));
  EXPECT_TRUE(is(field_0, 384, 72, white));
  EXPECT_TRUE(is(field_0, 384, 216, blue));

  // The mode alone is enough: a half-height scaler must not stay behind.
  render.set_display_mode(display_mode::f1);
  paint(red, green);
  show(true);
  EXPECT_TRUE(is(display, 384, 144, red));
  EXPECT_TRUE(is(display, 384, 432, green));
}

TEST_F(rendering, encoder_field_is_planar_422_starting_with_two_black_rows_only_while_fed) {
  const auto pattern = [](int x, int y) { return yuv{(x + 3 * y) & 255, (x * 5 + y) & 255, (x * 7 + 2 * y) & 255}; };
  const auto check = [&](int shift) {
    const unsigned char* cb = encoder.data() + 720 * lines;
    const unsigned char* cr = cb + 360 * lines;
    EXPECT_TRUE(std::all_of(encoder.begin(), encoder.begin() + 1440, [](unsigned char c) { return c == 0; }));
    for (int y = 0; y < lines; ++y)
      for (int x = 0; x < 720; x += 2) {
        const yuv c = pattern(x + shift, y);
        ASSERT_EQ(encoder[size_t(y * 720 + x)], y < 2 ? 0 : c.y) << x << "," << y;
        ASSERT_EQ(cb[y * 360 + x / 2], c.u) << x << "," << y;
        ASSERT_EQ(cr[y * 360 + x / 2], c.v) << x << "," << y;
      }
  };
  render.set_recording(true);  // cleared when the thread starts: recording begins later
  use(true, false);
  paint(pattern);
  show(true);
  EXPECT_FALSE(render_probe::recording(render));
  EXPECT_TRUE(untouched_from(encoder, 0));

  render.set_recording(true);
  show(true);
  check(0);
  EXPECT_TRUE(untouched_from(encoder, 345600));

  use(false, false);
  render.set_display_mode(display_mode::f2);  // a field F2 does not show is still recorded
  paint([&](int x, int y) { return pattern(x + 2, y); });
  show(false);
  check(2);

  render.set_recording(false);
  const std::vector<unsigned char> recorded = encoder;
  paint(red);
  show(true);
  EXPECT_EQ(encoder, recorded);
}

// The thread held inside field_rendered, converting its first field (red).
struct held_render_thread : rendering {
  std::atomic<bool> hold{true}, held{false};
  message_log log;
  void SetUp() override {
    QObject::connect(
        &render, &rt::field_rendered, &render,
        [this] {
          held = true;
          while (hold) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        },
        Qt::DirectConnection);
    use(false, false);
    paint(red);
    render.submit_field(false, field.data(), field.size());
    ASSERT_TRUE(QTest::qWaitFor([&] { return held.load(); }, 10000));
  }
  void TearDown() override {
    hold = false;
    rendering::TearDown();
  }
};

TEST_F(held_render_thread, fields_arriving_while_busy_wait_and_beyond_the_backlog_the_oldest_give_way) {
  QLoggingCategory::setFilterRules("ostrevin.render.timing.debug=true");
  // The field in hand is red; while it is held, blue ones arrive, then a
  // green one last. Numbered 2 to 7.
  paint(blue);
  for (int i = 0; i < rt::display_backlog + 1; ++i) render.submit_field(i & 1, field.data(), field.size());
  paint(green);
  render.submit_field(true, field.data(), field.size());
  EXPECT_EQ(render.dropped_fields(), 2u);

  hold = false;
  idle();
  // The waiting ones were converted; only the newest became a picture.
  EXPECT_EQ(render.rendered_fields(), uint32_t(1 + rt::display_backlog));
  EXPECT_EQ(render.unshown_fields(), uint32_t(rt::display_backlog - 1));
  EXPECT_TRUE(is(display, 384, 288, green));
  EXPECT_EQ(render.display().front_info().field_serial, uint64_t(rt::display_backlog + 3));
  QLoggingCategory::setFilterRules(QString());
  // Told in the timing category, off unless asked for: how many gave way,
  // and each conversion's time.
  const QStringList lines = log.messages();
  EXPECT_EQ(lines.filter("render: fields waiting to be converted gave way to newer ones: 1").size(), 2);
  EXPECT_EQ(lines.filter(QRegularExpression("^render: a field converted in [0-9.e+-]+ ms$")).size(),
            rt::display_backlog);
}

TEST_F(held_render_thread, while_recording_a_busy_thread_loses_no_field_until_every_slot_is_full) {
  render.set_recording(true);
  paint(blue);
  // Held for as long as it takes: every slot but the one in hand may wait.
  for (int i = 0; i < rt::handoff_slots - 1; ++i) render.submit_field(i & 1, field.data(), field.size());
  EXPECT_EQ(render.dropped_fields(), 0u);
  render.submit_field(false, field.data(), field.size());
  EXPECT_EQ(render.dropped_fields(), 1u);
  hold = false;
  idle();
  EXPECT_EQ(recorded, rt::handoff_slots - 1);
}

TEST_F(held_render_thread, set_render_settings_waits_for_the_field_in_hand_and_never_hangs_after_quit) {
  std::atomic<bool> replaced{false};
  std::thread waiter([&] { idle(), replaced = true; });
  QTest::qWait(100);
  EXPECT_FALSE(replaced);
  render.request_close();  // while busy
  hold = false;
  EXPECT_TRUE(QTest::qWaitFor([&] { return replaced.load(); }, 5000));
  replaced ? waiter.join() : waiter.detach();
  EXPECT_TRUE(render.wait(10000));
  EXPECT_EQ(render.rendered_fields(), 1u);
  EXPECT_TRUE(returns_within_5_s([&] { idle(); }));
}

TEST_F(rendering, quit_ends_the_thread_without_converting_whenever_it_comes) {
  // Before the first field: the thread starts only to end. Held before run()
  // so the first field is still pending when quit arrives.
  std::atomic<bool> hold{true};
  signal_counter started(&render, &QThread::started);
  const auto holding = QObject::connect(
      &render, &QThread::started, &render,
      [&] {
        while (hold) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      },
      Qt::DirectConnection);
  use(false, false);
  paint(red);
  render.submit_field(false, field.data(), field.size());
  render.request_close();
  hold = false;
  EXPECT_TRUE(render.wait(10000));
  EXPECT_EQ(started.count(), 1);
  EXPECT_EQ(ready.count(), 0);
  EXPECT_TRUE(untouched_from(display, 0));
  EXPECT_TRUE(returns_within_5_s([&] { idle(); }));  // nothing left pending
  QObject::disconnect(holding);

  // While asleep: it ends after the wake-up.
  render_probe::withdraw_close(render);
  show(false);
  EXPECT_TRUE(is(display, 384, 288, red));
  paint(blue);
  render.request_close();
  EXPECT_TRUE(render.wait(10000));
  EXPECT_EQ(ready.count(), 1);
  EXPECT_TRUE(is(display, 384, 288, red));
}

TEST_F(rendering, fields_that_cannot_be_converted_are_skipped_counted_and_retried) {
  message_log log;
  render.set_recording_format(-7, 2.0);  // no such format: the recording's picture and scaler cannot be built
  use(false, false);
  paint(red);
  show(false);
  show(false);
  EXPECT_EQ(render.failed_fields(), 2u);
  EXPECT_EQ(ready.count(), 0);
  EXPECT_TRUE(untouched_from(display, 0));
  EXPECT_EQ(log.count(render_category, "render: cannot build the recording's scaler"), 1);

  render.set_recording_format(4, 2.0);
  show(false);
  EXPECT_EQ(ready.count(), 1);
  EXPECT_TRUE(is(display, 384, 288, red));

  // Fields larger than the display's buffers hold two of are refused, not written.
  render.set_render_settings({720, 600, 384, 300});
  show(false);
  EXPECT_EQ(render.failed_fields(), 3u);
  EXPECT_EQ(ready.count(), 1);
}

// The hand-off from the capture side under the loads a desktop gives it.
namespace live_path {

struct hand_off : rendering {
  void SetUp() override {
    use(false, false);
    paint(red);
    show(false);  // started, pictures and scalers built
  }
  uint64_t submitted = 1;  // the thread numbers the fields itself, from 1
  void submit(bool flag) {
    render.submit_field(flag, field.data(), field.size());
    ++submitted;
  }
};

TEST_F(hand_off, bursts_of_four_fields_lose_nothing_whether_recording_or_not) {
  for (bool recording : {false, true}) {
    SCOPED_TRACE(recording ? "recording" : "not recording");
    render.set_recording(recording);
    const uint32_t rendered = render.rendered_fields();
    recorded = 0;
    for (int burst = 0; burst < 20; ++burst) {
      for (int i = 0; i < 4; ++i) submit(i & 1);
      idle();  // the gap
    }
    EXPECT_EQ(render.dropped_fields(), 0u);
    EXPECT_EQ(render.rendered_fields() - rendered, 80u);
    EXPECT_EQ(recorded, recording ? 80 : 0);
    EXPECT_EQ(render.display().front_info().field_serial, submitted);
  }
}

TEST_F(hand_off, fed_faster_than_it_converts_the_loss_is_counted_and_the_newest_is_shown) {
  render_probe::slow_down(render, 12);
  for (bool recording : {false, true}) {
    SCOPED_TRACE(recording ? "recording" : "not recording");
    render.set_recording(recording);
    const uint32_t rendered = render.rendered_fields(), dropped = render.dropped_fields();
    const uint32_t overflows = render.recording_overflows();
    recorded = 0;
    for (int i = 0; i < 120; ++i) {
      submit(i & 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      // The window takes the recorded fields as they come.
      recorded += render.take_fields([](const recorded_field&) {});
    }
    idle();
    const uint32_t converted = render.rendered_fields() - rendered, lost = render.dropped_fields() - dropped;
    EXPECT_GT(lost, 0u) << "a 12 ms conversion cannot keep up with a field every 3 ms";
    EXPECT_EQ(converted + lost, 120u) << "every field converted or counted lost";
    if (recording) {
      // A consumer held up for longer than the recording's slots (a loaded
      // machine) loses the oldest, counted.
      EXPECT_EQ(uint32_t(recorded) + (render.recording_overflows() - overflows), converted);
    }
    // Whatever was dropped, the last field of all became the picture.
    EXPECT_EQ(render.display().front_info().field_serial, submitted);
  }
}

TEST_F(hand_off, a_display_and_a_recording_consumer_stalled_for_200_ms_lose_no_field) {
  render.set_recording(true);
  // Fields at the PAL pace while nobody takes pictures or recorded fields.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 12; ++i) {
    submit(i & 1);
    std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * (i + 1)));
  }
  ASSERT_TRUE(render.wait_until_converted(10000));
  EXPECT_EQ(render.dropped_fields(), 0u);
  EXPECT_EQ(render.recording_overflows(), 0u);
  // The consumer wakes: every field for the recording, in order, and the
  // newest picture.
  std::vector<uint64_t> serials;
  render.take_fields([&](const recorded_field& f) { serials.push_back(f.serial); });
  ASSERT_EQ(serials.size(), 12u);
  for (size_t i = 0; i < serials.size(); ++i) EXPECT_EQ(serials[i], submitted - 11 + i);
  ASSERT_TRUE(render.display().take());
  EXPECT_EQ(render.display().front_info().field_serial, submitted);
}

TEST_F(hand_off, a_recording_consumer_gone_for_longer_than_its_slots_loses_the_oldest_counted) {
  render.set_recording(true);
  const int extra = 5;
  for (int i = 0; i < rt::recording_slots + extra; ++i) {
    submit(i & 1);
    render.wait_until_converted(10000);
  }
  EXPECT_EQ(render.recording_overflows(), uint32_t(extra));
  std::vector<uint64_t> serials;
  render.take_fields([&](const recorded_field& f) { serials.push_back(f.serial); });
  ASSERT_EQ(serials.size(), size_t(rt::recording_slots));
  EXPECT_EQ(serials.front(), submitted - rt::recording_slots + 1) << "the newest are kept";
  EXPECT_EQ(serials.back(), submitted);

  // The slots filled again, and all of them in the consumer's hands while
  // more fields come: those have nowhere to go and are counted lost.
  for (int i = 0; i < rt::recording_slots; ++i) {
    submit(i & 1);
    render.wait_until_converted(10000);
  }
  const uint32_t overflows = render.recording_overflows();
  serials.clear();
  render.take_fields([&](const recorded_field& f) {
    if (serials.empty())
      for (int i = 0; i < extra; ++i) {
        submit(i & 1);
        render.wait_until_converted(10000);
      }
    serials.push_back(f.serial);
  });
  EXPECT_EQ(serials.size(), size_t(rt::recording_slots));
  EXPECT_EQ(render.recording_overflows() - overflows, uint32_t(extra));
  EXPECT_EQ(render.take_fields([](const recorded_field&) {}), 0);
}

}  // namespace live_path

}  // namespace
