// The live picture under a real X server: what the display widget shows for
// the images it is given, and which fields the main window turns into images.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QSurfaceFormat>
#include <QTest>
#include <QTimer>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "render/display_picture.h"
#include "render/video_widget.h"
#include "sim/in_process_backend.h"
#include "sim/test_pattern.h"
#include "tests/support/message_log.h"
#include "tests/support/window_fixture.h"

namespace {

QRgb rgb(const test_pattern::rgb& c) { return qRgb(c.r, c.g, c.b); }

::testing::AssertionResult near_colour(QRgb got, QRgb want, int tolerance = 1) {
  const int d = std::max(
      {std::abs(qRed(got) - qRed(want)), std::abs(qGreen(got) - qGreen(want)), std::abs(qBlue(got) - qBlue(want))});
  if (d <= tolerance) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << qRed(got) << "," << qGreen(got) << "," << qBlue(got) << " want "
                                       << qRed(want) << "," << qGreen(want) << "," << qBlue(want);
}

// An RGB32 image: the eight bars left to right on the top half, right to
// left on the bottom half, so a swap of red and blue, a mirror or a flip all
// show.
QImage bar_image(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      int bar = x * test_pattern::bar_count / width;
      if (y >= height / 2) bar = test_pattern::bar_count - 1 - bar;
      image.setPixel(x, y, rgb(test_pattern::bars_rgb[bar]));
    }
  return image;
}

// Four quadrants: red, green / blue, white.
QImage quadrant_image(int width, int height, QImage::Format format = QImage::Format_RGB32) {
  QImage image(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const bool right = x >= width / 2, bottom = y >= height / 2;
      image.setPixel(
          x, y, bottom ? (right ? qRgb(255, 255, 255) : qRgb(0, 0, 255)) : (right ? qRgb(0, 255, 0) : qRgb(255, 0, 0)));
    }
  return image.convertToFormat(format);
}

struct lumo_test : ::testing::Test {
  video_widget widget;
  void show_at(int w, int h) {
    widget.resize(w, h);
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
    QTest::qWait(20);
  }
  QImage shown() { return widget.grabFramebuffer(); }
  void expect_quadrants(const QImage& grab) {
    const int w = grab.width(), h = grab.height();
    // Near each corner (inside the filter's reach) and at each quadrant centre.
    for (int qx = 0; qx < 2; ++qx)
      for (int qy = 0; qy < 2; ++qy) {
        const QRgb want = qy ? (qx ? qRgb(255, 255, 255) : qRgb(0, 0, 255)) : (qx ? qRgb(0, 255, 0) : qRgb(255, 0, 0));
        EXPECT_TRUE(near_colour(grab.pixel(qx ? w - 2 : 1, qy ? h - 2 : 1), want, 2)) << qx << "," << qy;
        EXPECT_TRUE(near_colour(grab.pixel(w / 4 + qx * w / 2, h / 4 + qy * h / 2), want, 2)) << qx << "," << qy;
      }
  }
};

// The ctest cases gui_gl_core and gui_gl_es2 run these tests again on the
// OpenGL gui_main.cpp asks for: it must be the one they draw with.
TEST_F(lumo_test, draws_on_the_opengl_the_run_asked_for) {
  show_at(64, 64);
  ASSERT_TRUE(widget.context());
  const QSurfaceFormat format = widget.context()->format();
  const QByteArray api = qgetenv("OSTREVIN_TEST_GL");
  EXPECT_EQ(widget.context()->isOpenGLES(), api == "es2");
  if (api == "core") {
    EXPECT_EQ(format.profile(), QSurfaceFormat::CoreProfile);
    EXPECT_GE(format.version(), qMakePair(3, 2));
  }
}

TEST_F(lumo_test, rgb32_colour_bars_show_unswapped_and_upright) {
  show_at(512, 64);
  widget.display_image(bar_image(512, 64));
  const QImage grab = shown();
  ASSERT_EQ(grab.size(), QSize(512, 64));
  for (int bar = 0; bar < test_pattern::bar_count; ++bar) {
    const int x = bar * 64 + 32;
    EXPECT_TRUE(near_colour(grab.pixel(x, 16), rgb(test_pattern::bars_rgb[bar]))) << "top, bar " << bar;
    EXPECT_TRUE(near_colour(grab.pixel(x, 48), rgb(test_pattern::bars_rgb[7 - bar]))) << "bottom, bar " << bar;
  }
}

// The render thread's 4:2:2 pictures, drawn by the shader, are what
// picture_to_bgra() makes of them ("Save picture" and the tests' view of the
// display): within two levels at every pixel, at the picture's own size and
// scaled. Random samples make a texel, row or field taken from the wrong
// place, or a weight the wrong way round, show at once.
TEST_F(lumo_test, each_picture_layout_draws_what_picture_to_bgra_makes_of_it) {
  struct layout_case {
    const char* name;
    int rows;
    picture_layout layout;
    QSize size;
  };
  const layout_case cases[] = {
      {"one PAL field", 288, picture_layout::rows, {768, 576}},
      {"PAL fields woven", 576, picture_layout::woven, {768, 576}},
      {"PAL fields blended", 576, picture_layout::blended, {768, 576}},
      {"NTSC fields woven, 16:9", 480, picture_layout::woven, {640, 360}},
      {"a frame, scaled down", 576, picture_layout::rows, {333, 250}},
      {"NTSC field, scaled up", 240, picture_layout::rows, {1000, 751}},
  };
  std::mt19937 random(7);
  std::vector<unsigned char> pixels(720 * 2 * 576);
  for (size_t k = 0; k < pixels.size(); ++k) pixels[k] = static_cast<unsigned char>(16 + random() % 220);
  for (const layout_case& c : cases) {
    SCOPED_TRACE(c.name);
    show_at(c.size.width(), c.size.height());
    picture_info info;
    info.width = 720;
    info.rows = c.rows;
    info.layout = c.layout;
    widget.display_picture(pixels.data(), info);
    const QImage grab = shown();
    ASSERT_EQ(grab.size(), c.size);
    std::vector<unsigned char> want(size_t(c.size.width()) * size_t(c.size.height()) * 4);
    picture_to_bgra(pixels.data(), info, want.data(), c.size.width(), c.size.height());
    int worst = 0;
    QPoint at;
    for (int y = 0; y < grab.height(); ++y)
      for (int x = 0; x < grab.width(); ++x) {
        const QRgb got = grab.pixel(x, y);
        const unsigned char* w = &want[(size_t(y) * size_t(grab.width()) + size_t(x)) * 4];
        const int d = std::max({std::abs(qBlue(got) - w[0]), std::abs(qGreen(got) - w[1]), std::abs(qRed(got) - w[2])});
        if (d > worst) worst = d, at = QPoint(x, y);
      }
    EXPECT_LE(worst, 2) << "at " << at.x() << "," << at.y();
  }
}

TEST_F(lumo_test, half_height_image_fills_the_same_area_as_a_full_one) {
  show_at(384, 288);
  widget.display_image(quadrant_image(768, 576));
  const QImage full = shown();
  expect_quadrants(full);
  widget.display_image(quadrant_image(768, 288));
  const QImage half = shown();
  expect_quadrants(half);
  ASSERT_EQ(full.size(), half.size());
  int worst = 0;
  for (int y = 0; y < full.height(); ++y)
    for (int x = 0; x < full.width(); ++x) {
      const QRgb a = full.pixel(x, y), b = half.pixel(x, y);
      worst = std::max(
          {worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
      if (std::abs(y - full.height() / 2) > 2 && y > 1 && y < full.height() - 2) {
        ASSERT_LE(worst, 2) << x << "," << y;
      }
    }
}

TEST_F(lumo_test, a_smaller_image_after_a_larger_leaves_no_stale_border) {
  show_at(400, 300);
  QImage white(768, 576, QImage::Format_RGB32);
  white.fill(qRgb(255, 255, 255));
  widget.display_image(white);
  (void)shown();
  QImage green(320, 240, QImage::Format_RGB32);
  green.fill(qRgb(0, 191, 0));
  widget.display_image(green);
  const QImage grab = shown();
  for (int y = 0; y < grab.height(); ++y)
    for (int x = 0; x < grab.width(); ++x) ASSERT_TRUE(near_colour(grab.pixel(x, y), qRgb(0, 191, 0))) << x << "," << y;
}

TEST_F(lumo_test, resizing_keeps_the_picture_filling_the_widget) {
  show_at(320, 240);
  widget.display_image(quadrant_image(640, 480));
  expect_quadrants(shown());
  for (QSize size : {QSize(200, 100), QSize(700, 500), QSize(33, 47)}) {
    widget.resize(size);
    QTest::qWait(20);
    const QImage grab = shown();
    ASSERT_EQ(grab.size(), size);
    expect_quadrants(grab);
  }
}

TEST_F(lumo_test, at_a_display_aspect_the_picture_keeps_it_between_black_bars) {
  struct {
    QSize widget;
    double aspect;
    QRect picture;
  } const cases[] = {
      {{400, 400}, 4.0 / 3.0, {0, 50, 400, 300}},   // bars above and below
      {{800, 300}, 4.0 / 3.0, {200, 0, 400, 300}},  // beside
      {{640, 480}, 16.0 / 9.0, {0, 60, 640, 360}},  // a 16:9 tape in a 4:3 window
      {{641, 480}, 4.0 / 3.0, {0, 0, 641, 480}},    // a pixel off: no bar of rounding
  };
  show_at(64, 48);
  widget.display_image(quadrant_image(768, 576));
  for (const auto& c : cases) {
    widget.resize(c.widget);
    widget.set_display_aspect(c.aspect);
    QTest::qWait(20);
    const QImage grab = shown();
    ASSERT_EQ(grab.size(), c.widget);
    expect_quadrants(grab.copy(c.picture));
    // Everything two pixels or more outside the picture: black.
    for (int y = 0; y < grab.height(); y += 3)
      for (int x = 0; x < grab.width(); x += 3)
        if (!c.picture.adjusted(-2, -2, 2, 2).contains(x, y))
          ASSERT_TRUE(near_colour(grab.pixel(x, y), qRgb(0, 0, 0), 0)) << x << "," << y;
  }
}

TEST_F(lumo_test, nothing_shown_yet_is_black) {
  show_at(64, 48);
  const QImage grab = shown();
  EXPECT_TRUE(near_colour(grab.pixel(32, 24), qRgb(0, 0, 0), 0));
}

// Image formats other than the 32-bit ones: reported, shown through a
// conversion, and never read beyond their data. The pixels live in exactly
// sized heap blocks so AddressSanitizer sees any overrun.
TEST_F(lumo_test, other_image_formats_are_reported_and_stay_within_their_data) {
  show_at(64, 64);
  message_log log;
  const QString line = "display: an image of format";

  std::vector<uchar> grey(3 * 3, 200);
  QImage grey_image(grey.data(), 3, 3, 3, QImage::Format_Grayscale8);
  widget.display_image(grey_image);
  EXPECT_TRUE(log.contains(render_category, line));
  EXPECT_TRUE(near_colour(shown().pixel(32, 32), qRgb(200, 200, 200)));

  log.clear();
  std::vector<uchar> indices(5 * 2, 1);
  QImage indexed(indices.data(), 5, 2, 5, QImage::Format_Indexed8);
  indexed.setColorTable({qRgb(0, 0, 0), qRgb(191, 0, 191)});
  widget.display_image(indexed);
  EXPECT_TRUE(log.contains(render_category, line));
  EXPECT_TRUE(near_colour(shown().pixel(32, 32), qRgb(191, 0, 191)));

  log.clear();
  std::vector<uchar> one(1, 77);
  widget.display_image(QImage(one.data(), 1, 1, 1, QImage::Format_Grayscale8));
  EXPECT_TRUE(log.contains(render_category, line));
  EXPECT_TRUE(near_colour(shown().pixel(5, 60), qRgb(77, 77, 77)));

  log.clear();
  widget.display_image(QImage());  // null: reported, nothing to show
  EXPECT_TRUE(log.contains(render_category, line));
}

TEST_F(lumo_test, rgb888_rows_with_padding_show_the_right_colours) {
  // 61 pixels = 183 bytes per row, stored at QImage's 184-byte stride.
  show_at(61, 40);
  const QImage image = quadrant_image(61, 40, QImage::Format_RGB888);
  ASSERT_GT(image.bytesPerLine(), 61 * 3);
  message_log log;
  widget.display_image(image);
  EXPECT_FALSE(log.contains(render_category, "display: an image of format"));
  expect_quadrants(shown());
}

TEST_F(lumo_test, video_frames_upload_their_bytes_unchanged_or_are_reported) {
  show_at(64, 64);
  message_log log;
  QVideoFrame frame(QVideoFrameFormat(QSize(4, 4), QVideoFrameFormat::Format_XRGB8888));
  ASSERT_TRUE(frame.map(QVideoFrame::WriteOnly));
  for (int y = 0; y < 4; ++y) {
    uchar* row = frame.bits(0) + y * frame.bytesPerLine(0);
    for (int x = 0; x < 4; ++x) {
      row[4 * x] = 10;
      row[4 * x + 1] = 120;
      row[4 * x + 2] = 230;
      row[4 * x + 3] = 255;
    }
  }
  frame.unmap();
  widget.display_frame(frame);
  EXPECT_TRUE(near_colour(shown().pixel(32, 32), qRgb(10, 120, 230)));
  EXPECT_FALSE(log.contains(render_category, "display: a frame of pixel format"));

  QVideoFrame yuv(QVideoFrameFormat(QSize(4, 4), QVideoFrameFormat::Format_YUV420P));
  widget.display_frame(yuv);
  EXPECT_TRUE(log.contains(render_category, "display: a frame of pixel format"));
  EXPECT_TRUE(near_colour(shown().pixel(32, 32), qRgb(10, 120, 230))) << "the last picture stays";
}

TEST_F(lumo_test, press_emits_clicked_once_double_click_twice) {
  show_at(64, 64);
  int clicks = 0;
  QObject::connect(&widget, &video_widget::clicked, [&] { ++clicks; });
  const QPointF at(10, 10);
  auto send = [&](QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent event(type, at, widget.mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
  };
  send(QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton);
  send(QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton);
  EXPECT_EQ(clicks, 1);
  clicks = 0;
  // A double click as the window system delivers it.
  send(QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
  send(QEvent::MouseButtonDblClick, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(widget.minimumSizeHint(), QSize(32, 32));
}

// The texture a widget drew its last picture with, watched from a context of
// the test's own in the same share group: that keeps the group, and the
// texture if nobody deletes it, alive after the widget's context goes.
struct texture_watch {
  QOffscreenSurface surface;
  QOpenGLContext context;
  GLint name = 0;
  explicit texture_watch(video_widget& widget) {
    widget.makeCurrent();
    widget.context()->functions()->glGetIntegerv(GL_TEXTURE_BINDING_2D, &name);
    widget.doneCurrent();
    context.setShareContext(widget.context());
    context.setFormat(widget.context()->format());
    EXPECT_TRUE(context.create());
    surface.setFormat(context.format());
    surface.create();
  }
  bool alive() {
    EXPECT_TRUE(context.makeCurrent(&surface));
    const bool is = context.functions()->glIsTexture(GLuint(name));
    context.doneCurrent();
    return is;
  }
};

// Moved to another window the widget gets a new context, and deleted it
// loses its own: each time its texture goes too. Once moved it shows black,
// then pictures again.
TEST(lumo_context, the_texture_goes_with_the_context_and_a_moved_widget_shows_pictures) {
  QWidget first, second;
  auto* widget = new video_widget;
  const auto show_in = [&](QWidget& window) {
    widget->setParent(&window);
    widget->setGeometry(0, 0, 64, 48);
    widget->show();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_TRUE(QTest::qWaitFor([&] { return widget->isValid(); }, 10000));
  };
  const auto shown = [&] { return widget->grabFramebuffer().pixel(16, 12); };  // top left: red
  show_in(first);
  widget->display_image(quadrant_image(64, 48));
  texture_watch in_first(*widget);
  ASSERT_TRUE(in_first.alive());

  widget->setParent(&second);  // the first context goes here
  EXPECT_FALSE(in_first.alive());
  show_in(second);
  EXPECT_TRUE(near_colour(shown(), qRgb(0, 0, 0), 0));
  widget->display_image(quadrant_image(64, 48));
  EXPECT_TRUE(near_colour(shown(), qRgb(255, 0, 0), 2));

  texture_watch in_second(*widget);
  ASSERT_TRUE(in_second.alive());
  delete widget;
  EXPECT_FALSE(in_second.alive());
}

// The window on the virtual stick: the test pattern on screen in every
// display mode, for both standards and both aspects.
struct lumo_window : window_fixture {};

TEST_F(lumo_window, every_standard_aspect_and_display_mode_shows_the_test_pattern) {
  open_streaming();
  auto* view = window->findChild<video_widget*>();
  ASSERT_TRUE(view);
  for (const char* standard : {"&PAL", "&NTSC"})
    for (const char* aspect : {"&4:3", "&16:9"})
      for (const char* mode : {"F&1", "F&2", "&Interlaced", "&Field-blended", "&Deinterlaced"}) {
        SCOPED_TRACE(testing::Message() << standard << " " << aspect << " " << mode);
        menu_item("&NTSC/PAL", standard)->trigger();
        menu_item("Aspect &ratio", aspect)->trigger();
        menu_item("&Display", mode)->trigger();
        // Pictures made since the change, and the window at their size.
        const int from = parts->display.pictures_shown();
        ASSERT_TRUE(QTest::qWaitFor([&] { return parts->display.pictures_shown() >= from + 10; }, 20000));
        QImage shown;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
              shown = view->grabFramebuffer();
              return bool(shows_test_pattern_bars(shown, 10));
            },
            5000))
            << shows_test_pattern_bars(shown, 10).message();
      }
}

// The display feed, called as the render thread's signal would, while the
// virtual stick streams and the render thread fills the buffer.
struct frame_slot_test : ::testing::Test {
  in_process_backend backend;
  scoped_usb_backend backend_in_use{&backend};
  std::shared_ptr<virtual_stick> stick = std::make_shared<virtual_stick>();
  QTemporaryDir home;
  scoped_data_home data_home{home.path()};
  std::unique_ptr<capture_pipeline> parts;
  std::unique_ptr<main_window> window;
  std::vector<QImage> images;  // as the display shows them, at their display size
  std::vector<picture_info> infos;

  void SetUp() override { backend.add(stick); }
  void TearDown() override {
    window.reset();
    parts.reset();
  }
  // Parts whose feed only the calls below reach, its pictures in `images`.
  void make_parts() {
    images.clear();
    infos.clear();
    parts = std::make_unique<capture_pipeline>();
    QObject::disconnect(&parts->render, &render_thread::field_rendered, &parts->display, nullptr);
    QObject::connect(&parts->display, &display_feed::picture_ready,
                     [this](const unsigned char* pixels, const picture_info& info) {
                       images.push_back(picture_image(pixels, info, {info.display_width, info.display_height}));
                       infos.push_back(info);
                     });
  }
  // A window in F1 showing them.
  void open() {
    make_parts();
    window = std::make_unique<main_window>(*parts);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return parts->render.rendered_fields() >= 4; }, 10000));
  }
  // A field, at least 10 ms after the previous: true when it became an image.
  // `until_shown`: again, 10 ms apart, until one does (the render thread shows
  // no picture for a field when a newer one waits).
  bool field(bool until_shown = true) {
    const size_t before = images.size();
    auto call = [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(11));
      parts->display.field_rendered();
      return images.size() > before;
    };
    return until_shown ? QTest::qWaitFor(call, 10000) : call();
  }
};

TEST_F(frame_slot_test, f1_shows_a_new_picture_at_least_10_ms_apart) {
  open();
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(field()) << i;
  ASSERT_EQ(images.size(), 6u);
  for (const QImage& image : images) EXPECT_EQ(image.size(), QSize(768, 576));
  EXPECT_EQ(parts->display.pictures_shown(), 6);

  // Back to back: the second is within 10 ms and is not shown.
  ASSERT_TRUE(field());
  parts->display.field_rendered();
  EXPECT_EQ(images.size(), 7u);

  // The image is the stick's picture, colour bars on top.
  EXPECT_TRUE(shows_test_pattern_bars(images.back(), 10));
}

// Each mode's pictures as the stick's 4:2:2, laid out for the shader, each
// shown once: once the stream has ended, the last picture goes out and then
// nothing more.
TEST_F(frame_slot_test, each_mode_hands_over_its_fields_as_they_came_and_each_picture_once) {
  struct mode {
    const char* name;
    display_mode shown;
    video_standard standard;
    bool widescreen;
    QSize size;
    int rows;
    picture_layout layout;
  };
  for (const mode& m : {
           mode{"F2", display_mode::f2, video_standard::pal, false, {768, 576}, 288, picture_layout::rows},
           mode{"Interlaced",
                display_mode::interlaced,
                video_standard::pal,
                false,
                {768, 576},
                576,
                picture_layout::woven},
           mode{"Field-blended",
                display_mode::field_blended,
                video_standard::pal,
                false,
                {768, 576},
                576,
                picture_layout::blended},
           mode{"NTSC 16:9 Field-blended",
                display_mode::field_blended,
                video_standard::ntsc,
                true,
                {640, 360},
                480,
                picture_layout::blended},
           mode{"NTSC Deinterlaced",
                display_mode::deinterlaced,
                video_standard::ntsc,
                false,
                {640, 480},
                480,
                picture_layout::rows},
       }) {
    SCOPED_TRACE(m.name);
    make_parts();
    parts->capture.set_settings(capture_settings::for_standard(m.standard, false, m.widescreen));
    parts->render.set_display_mode(m.shown);
    parts->capture.start_capture();
    ASSERT_TRUE(QTest::qWaitFor([&] { return parts->render.rendered_fields() >= 4; }, 10000));
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(field()) << i;
    parts->capture.request_close();
    parts->capture.wait();
    field(false);  // the last picture, if it came after the one before
    EXPECT_FALSE(field(false));
    for (const picture_info& info : infos) {
      EXPECT_EQ(QSize(info.display_width, info.display_height), m.size);
      EXPECT_EQ(info.width, 720);
      EXPECT_EQ(info.rows, m.rows);
      EXPECT_EQ(info.layout, m.layout);
    }
    for (const QImage& image : images) EXPECT_TRUE(shows_test_pattern_bars(image, 10));
    parts.reset();
  }
}

TEST_F(frame_slot_test, a_minimised_window_gets_no_images) {
  open();
  window->setWindowState(window->windowState() | Qt::WindowMinimized);
  ASSERT_TRUE(window->windowState() & Qt::WindowMinimized);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(field(false));
  EXPECT_EQ(parts->display.pictures_shown(), 0);
  window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  EXPECT_TRUE(field());
}

TEST_F(frame_slot_test, after_closing_nothing_is_shown) {
  open();
  ASSERT_TRUE(field());
  QTimer::singleShot(0, [&] { window->close(); });
  EXPECT_EQ(QApplication::exec(), 0);
  ASSERT_FALSE(window->isVisible());
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(field(false));
  EXPECT_EQ(parts->display.pictures_shown(), 1);
}

}  // namespace
