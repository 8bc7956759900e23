#include "render/easycap_render_thread.h"

#include <QtDebug>
#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int display_bytes_per_pixel = 4;  // BGRA

// An AVFrame over one av_malloc'd buffer, planes packed with no padding so
// they lie one after another (the encoder copy relies on that). Null when
// either allocation fails.
AVFrame* alloc_picture(AVPixelFormat format, int width, int height) {
  const int size = av_image_get_buffer_size(format, width, height, 1);
  if (size <= 0) return nullptr;
  AVFrame* picture = av_frame_alloc();
  if (!picture) return nullptr;
  auto* buffer = static_cast<uint8_t*>(av_malloc(size_t(size)));
  if (!buffer || av_image_fill_arrays(picture->data, picture->linesize, buffer, format, width, height, 1) < 0) {
    av_free(buffer);
    av_frame_free(&picture);
    return nullptr;
  }
  picture->format = format;
  picture->width = width;
  picture->height = height;
  return picture;
}

// The pixel buffer is ours, not reference-counted: av_frame_free leaves it.
void free_picture(AVFrame*& picture) {
  if (!picture) return;
  av_free(picture->data[0]);
  av_frame_free(&picture);
}

// trunc(x) as a byte count, clamped to [0, limit]; NaN counts as 0.
size_t truncated_bytes(double x, size_t limit) {
  if (!(x > 0.0)) return 0;
  if (x >= double(limit)) return limit;
  return size_t(std::trunc(x));
}

// Even rows from the flag-clear field, odd rows from the flag-set field.
void weave(unsigned char* out, const unsigned char* even, const unsigned char* odd, size_t row_bytes, int rows) {
  for (int i = 0; i < rows; ++i) {
    std::memcpy(out + size_t(2 * i) * row_bytes, even + size_t(i) * row_bytes, row_bytes);
    std::memcpy(out + size_t(2 * i + 1) * row_bytes, odd + size_t(i) * row_bytes, row_bytes);
  }
}

// Per byte floor((a + b) / 2), eight bytes at a time: a & b keeps the common
// bits, (a ^ b) >> 1 halves the rest; the mask drops the bit each byte would
// otherwise borrow from its neighbour. No byte can overflow.
void blend(unsigned char* out, const unsigned char* a, const unsigned char* b, size_t bytes) {
  constexpr uint64_t low_seven = 0x7F7F7F7F7F7F7F7FULL;
  size_t k = 0;
  for (; k + 8 <= bytes; k += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + k, 8);
    std::memcpy(&y, b + k, 8);
    const uint64_t mean = (x & y) + (((x ^ y) >> 1) & low_seven);
    std::memcpy(out + k, &mean, 8);
  }
  for (; k < bytes; ++k) out[k] = static_cast<unsigned char>((unsigned(a[k]) + unsigned(b[k])) >> 1);
}

}  // namespace

easycap_render_thread::easycap_render_thread(QObject* parent) : QThread(parent) {}

easycap_render_thread::~easycap_render_thread() {
  // A running QThread must not be destroyed: stop the loop as the capture
  // thread would, in case nobody did.
  quit = true;
  { std::lock_guard<std::mutex> lock(frame_mutex); }  // a waiter is either asleep now or sees quit
  frame_condition.notify_all();
  wait();
  // QThread::wait() is not visible to ThreadSanitizer; the lock orders what
  // run() released before this.
  std::lock_guard<std::mutex> lock(frame_mutex);
  release_pictures();
}

void easycap_render_thread::set_render_settings(const render_settings& replacement) {
  std::unique_lock<std::mutex> lock(frame_mutex);
  // Called back from the render thread itself (a direct slot), the field in
  // progress is the caller's own: waiting for it would never end. The loop
  // converts from its own copy, so replacing them is safe there.
  if (QThread::currentThread() != this)
    frame_condition.wait(lock, [this] { return !frame_pending || !loop_running; });
  settings = replacement;
}

render_settings easycap_render_thread::current_settings() {
  std::lock_guard<std::mutex> lock(frame_mutex);
  return settings;
}

void easycap_render_thread::submit_frame(bool flag, const unsigned char* field, size_t size) {
  bool dropped = false;
  {
    std::unique_lock<std::mutex> lock(frame_mutex);
    if (!loop_running && isRunning()) {
      // run() has returned but QThread is still finishing; start() would be
      // ignored until it has.
      lock.unlock();
      wait();
      lock.lock();
    }
    const bool stopping = quit.load();
    const auto take_field = [&] {
      const size_t bytes = std::min(size, handoff_buffer_size);
      if (settings.handoff_buffer && field && bytes) std::memcpy(settings.handoff_buffer, field, bytes);
      field_flag = flag;
      frame_pending = true;
    };

    if (!loop_running) {
      // First field of the process: the thread starts with it already pending
      // and takes the capture thread's time-critical priority. With quit set
      // it starts only to end at once.
      if (!stopping) take_field();
      encoder_feed = false;
      loop_running = true;
      start(QThread::InheritPriority);
    } else if (stopping) {
      // The stop call only wakes the thread; a field it is busy with still
      // finishes, then the loop sees quit.
      frame_condition.notify_all();
    } else if (frame_pending) {
      // Still converting the previous field: the hand-off buffer is in use.
      ++dropped_fields_;
      dropped = true;
    } else {
      take_field();
      // All waiters: set_render_settings may share the condition.
      frame_condition.notify_all();
    }
  }
  // Outside the lock, so no slot can run while the hand-off is held.
  if (dropped && debug) emit debug_console_set_text(QStringLiteral("easycap_render_thread dropping frame"));
}

void easycap_render_thread::run() {
  run_completion::guard done(completion);
  release_pictures();
  settings_changed = true;  // the first field builds everything

  std::unique_lock<std::mutex> lock(frame_mutex);
  loop_running = true;
  for (;;) {
    // Asleep until submit_frame hands over a field (or the stop call wakes
    // us). The predicate covers spurious wake-ups.
    frame_condition.wait(lock, [this] { return frame_pending || quit.load(); });
    if (quit) break;

    // The hand-off buffer belongs to us while frame_pending is set; only
    // the settings and flag are copied, under the lock.
    const render_settings s = settings;
    const bool flag = field_flag;
    lock.unlock();
    render_field(s, flag);
    lock.lock();

    frame_pending = false;
    frame_condition.notify_all();  // set_render_settings may be waiting
  }
  // Leave nothing for a waiter to wait on. The pictures go first: whoever
  // sees loop_running clear under the lock may touch them (the destructor).
  frame_pending = false;
  lock.unlock();
  release_pictures();
  lock.lock();
  loop_running = false;
  // Under the lock, so the destructor cannot get past it to destroy the
  // condition before the notify is done.
  frame_condition.notify_all();
}

bool easycap_render_thread::render_one_field_for_benchmark(bool flag) {
  if (isRunning()) return false;  // the pictures belong to the thread then
  return render_field(current_settings(), flag);
}

void easycap_render_thread::release_pictures() {
  if (source_picture) av_frame_free(&source_picture);  // describes the hand-off buffer only
  free_picture(display_picture);
  free_picture(encoder_picture);
  sws_freeContext(display_scaler);
  display_scaler = nullptr;
  sws_freeContext(encoder_scaler);
  encoder_scaler = nullptr;
  encoder_picture_size = 0;
  pictures_ready = false;
}

bool easycap_render_thread::rebuild(const render_settings& s, const geometry& g) {
  release_pictures();
  built = g;

  // Settings the buffers cannot hold would have swscale write past them.
  const size_t field_bytes = size_t(std::max(g.width, 0)) * 2 * size_t(std::max(g.field_lines, 0));
  const size_t picture_bytes = size_t(std::max(g.half_display_width, 0)) * 2 * display_bytes_per_pixel *
                               size_t(std::max(g.half_display_height, 0)) * 2;
  if (g.width <= 0 || g.width % 2 || g.field_lines <= 0 || g.half_display_width <= 0 ||
      g.half_display_height <= 0 || field_bytes > handoff_buffer_size || picture_bytes > image_buffer_size ||
      !s.handoff_buffer || !s.display_buffer || !s.field_buffer_0 || !s.field_buffer_1 || !s.encoder_field_buffer)
    return false;

  // swscale asserts on a format it does not know rather than failing.
  const auto encoder_format = static_cast<AVPixelFormat>(g.encoder_format);
  if (!sws_isSupportedOutput(encoder_format)) return false;
  const int display_width = 2 * g.half_display_width;
  const int scaled_height = g.half_height ? g.half_display_height : 2 * g.half_display_height;

  source_picture = av_frame_alloc();
  display_picture = alloc_picture(AV_PIX_FMT_BGRA, display_width, 2 * g.half_display_height);
  encoder_picture = alloc_picture(encoder_format, g.width, g.field_lines);
  display_scaler = sws_getContext(g.width, g.field_lines, AV_PIX_FMT_UYVY422, display_width, scaled_height,
                                  AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
  encoder_scaler = sws_getContext(g.width, g.field_lines, AV_PIX_FMT_UYVY422, g.width, g.field_lines, encoder_format,
                                  SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!source_picture || !display_picture || !encoder_picture || !display_scaler || !encoder_scaler) {
    release_pictures();
    return false;
  }
  encoder_picture_size = av_image_get_buffer_size(encoder_format, g.width, g.field_lines, 1);
  pictures_ready = true;
  return true;
}

bool easycap_render_thread::render_field(const render_settings& s, bool flag) {
  // Every switch is read once per field; a change counts from the next one.
  const bool f2 = display_f2;
  const bool interlaced = display_interlaced;
  const bool blended = display_field_blended;
  const bool feed = encoder_feed;
  const bool debugging = debug;
  const bool changed = settings_changed.exchange(false);

  const geometry wanted{s.width, s.frame_lines / 2, s.half_display_width, s.half_display_height,
                        encoder_pixel_format.load(), interlaced || blended};
  // A new display height, a new apply_preferences() or anything else the
  // scalers were built for: rebuild. A failed build is retried next field.
  if (changed || !pictures_ready || wanted != built) {
    if (!rebuild(s, wanted)) {
      ++failed_fields_;
      if (!failure_reported)
        qWarning("easycap_render_thread: cannot build pictures and scalers for %dx%d -> %dx%d; fields are skipped",
                 wanted.width, wanted.field_lines, 2 * wanted.half_display_width, 2 * wanted.half_display_height);
      failure_reported = true;
      return false;
    }
    failure_reported = false;
  }

  if (debugging) render_timer.start();

  const int lines = built.field_lines;
  // The source picture only points into the hand-off buffer.
  av_image_fill_arrays(source_picture->data, source_picture->linesize, s.handoff_buffer, AV_PIX_FMT_UYVY422,
                       built.width, lines, 1);

  // F2 shows only flag-set fields; the others are still signalled.
  if (!(f2 && !interlaced && !blended && !flag)) {
    sws_scale(display_scaler, source_picture->data, source_picture->linesize, 0, lines, display_picture->data,
              display_picture->linesize);
    const size_t row_bytes = size_t(built.half_display_width) * 2 * display_bytes_per_pixel;
    const size_t field_bytes = row_bytes * size_t(built.half_display_height);
    if (interlaced || blended) {
      // One field at display width and half height, kept per flag; the
      // picture changes only when the flag-set field completes the pair.
      std::memcpy(flag ? s.field_buffer_1 : s.field_buffer_0, display_picture->data[0], field_bytes);
      if (flag) {
        const std::lock_guard<std::mutex> lock(display_mutex_);
        if (interlaced)
          weave(s.display_buffer, s.field_buffer_0, s.field_buffer_1, row_bytes, built.half_display_height);
        else
          blend(s.display_buffer, s.field_buffer_0, s.field_buffer_1, field_bytes);
      }
    } else {
      const std::lock_guard<std::mutex> lock(display_mutex_);
      std::memcpy(s.display_buffer, display_picture->data[0], 2 * field_bytes);
    }
  }

  // While recording, every field (shown or not) also goes to the encoder.
  if (feed) {
    sws_scale(encoder_scaler, source_picture->data, source_picture->linesize, 0, lines, encoder_picture->data,
              encoder_picture->linesize);
    const double bytes_per_pixel = encoder_bytes_per_pixel;
    const size_t limit = std::min(size_t(encoder_picture_size), encoder_field_buffer_size);
    const size_t bytes = truncated_bytes(double(lines) * built.width * bytes_per_pixel, limit);
    const std::lock_guard<std::mutex> lock(encoder_mutex_);
    std::memcpy(s.encoder_field_buffer, encoder_picture->data[0], bytes);
    // The recorder expects every field to start with two rows of luma 0.
    std::memset(s.encoder_field_buffer, 0, truncated_bytes(built.width * bytes_per_pixel, bytes));
    if (encoder_ring_.empty()) encoder_ring_.resize(size_t(encoder_ring_fields) * encoder_field_buffer_size);
    ++encoder_field_serial_;
    std::memcpy(encoder_ring_.data() + (encoder_field_serial_ % encoder_ring_fields) * encoder_field_buffer_size,
                s.encoder_field_buffer, bytes);
    encoder_ring_flags_[encoder_field_serial_ % encoder_ring_fields] = flag;
  }

  ++rendered_fields_;
  emit frame_ready(flag);
  emit broadcast_frame(s.display_buffer, s.half_display_width, s.half_display_height);

  if (debugging)
    emit debug_console_set_text(QStringLiteral("easycap_render_thread: %1").arg(render_timer.lap(), 0, 'g', -1, QChar(' ')));
  return true;
}
