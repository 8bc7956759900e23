#include "render/render_thread.h"

#include <QtDebug>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "base/field_order.h"
#include "base/logging.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

// trunc(x) as a byte count, clamped to [0, limit]; NaN counts as 0.
size_t truncated_bytes(double x, size_t limit) {
  if (!(x > 0.0)) return 0;
  if (x >= double(limit)) return limit;
  return size_t(std::trunc(x));
}

}  // namespace

render_thread::render_thread(QObject* parent) : worker_thread("render", parent) {
  for (int i = handoff_slots - 1; i >= 0; --i) free_.push_back(i);
  for (auto& picture : field_picture_) picture.assign(picture_buffer_size / 2, 0);
}

render_thread::~render_thread() {
  // A running QThread must not be destroyed: stop the loop as the capture
  // thread would, in case nobody did.
  quit_ = true;
  { std::lock_guard<std::mutex> lock(handoff_mutex); }  // a waiter is either asleep now or sees quit_
  handoff_condition.notify_all();
  wait();
  // QThread::wait() is not visible to ThreadSanitizer; the lock orders what
  // run() released before this.
  std::lock_guard<std::mutex> lock(handoff_mutex);
  release_pictures();
}

void render_thread::set_render_settings(const render_settings& replacement) {
  std::unique_lock<std::mutex> lock(handoff_mutex);
  // Called back from the render thread itself (a direct slot), the field in
  // progress is the caller's own: waiting for it would never end. The loop
  // converts with its own copy, so replacing them is safe there.
  if (QThread::currentThread() != this)
    handoff_condition.wait(lock, [this] { return (waiting_.empty() && in_hand_ < 0) || !loop_running; });
  settings = replacement;
}

void render_thread::request_close() {
  // If the thread never ran, this starts it and it ends at once on seeing
  // the request.
  quit_ = true;
  submit_field(true, nullptr, 0);
}

void render_thread::capture_ended() {
  request_close();
  wait();
}

void render_thread::set_display_mode(display_mode mode) { display_mode_ = mode; }

void render_thread::set_recording_format(int pixel_format, double bytes_per_pixel) {
  recording_pixel_format_ = pixel_format;
  recording_bytes_per_pixel_ = bytes_per_pixel;
}

bool render_thread::wait_until_converted(int timeout_ms) {
  std::unique_lock<std::mutex> lock(handoff_mutex);
  return handoff_condition.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [this] { return (waiting_.empty() && in_hand_ < 0) || !loop_running; });
}

int render_thread::take_fields(const std::function<void(const recorded_field&)>& use) {
  std::vector<recording_entry> taken;
  {
    std::lock_guard<std::mutex> lock(recording_mutex_);
    taken.assign(recording_queue_.begin(), recording_queue_.end());
    recording_queue_.clear();
  }
  for (const recording_entry& e : taken)
    use(recorded_field{recording_pool_[size_t(e.slot)].data(), e.bytes, e.flag, e.serial, e.arrival_ns});
  std::lock_guard<std::mutex> lock(recording_mutex_);
  for (const recording_entry& e : taken) recording_free_.push_back(e.slot);
  return int(taken.size());
}

int render_thread::fields_waiting() {
  if (!recording_on_) return 0;
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(handoff_mutex);
    count = int(waiting_.size()) + (in_hand_ >= 0 ? 1 : 0);
  }
  std::lock_guard<std::mutex> lock(recording_mutex_);
  return count + int(recording_queue_.size());
}

render_settings render_thread::current_settings() {
  std::lock_guard<std::mutex> lock(handoff_mutex);
  return settings;
}

void render_thread::submit_field(bool flag, const unsigned char* field, size_t size, int64_t arrival_ns,
                                 uint64_t serial) {
  if (arrival_ns < 0) arrival_ns = steady_clock_ns();
  uint32_t dropped = 0;
  int slot = -1;
  {
    std::unique_lock<std::mutex> lock(handoff_mutex);
    if (!loop_running && isRunning()) {
      // run() has returned but QThread is still finishing; start() would be
      // ignored until it has.
      lock.unlock();
      wait();
      lock.lock();
    }
    if (quit_.load()) {
      // The stop call only starts the thread to end at once, or wakes it; a
      // field it is busy with still finishes, then the loop sees quit.
      start_or_wake();
      return;
    }
    // Room for the field: while recording every slot may wait (one is in
    // hand), otherwise a few, the newest.
    const size_t limit = recording_on_ ? size_t(handoff_slots - 1) : size_t(display_backlog);
    while (!waiting_.empty() && (waiting_.size() >= limit || free_.empty())) {
      free_.push_back(waiting_.front());
      waiting_.pop_front();
      ++dropped;
    }
    slot = free_.back();
    free_.pop_back();
  }
  // The slot is the capture thread's alone until it is queued: the copy
  // needs no lock.
  handoff_slot& s = slots_[size_t(slot)];
  if (s.bytes.empty()) s.bytes.assign(handoff_buffer_size, 0);
  const size_t bytes = std::min(size, handoff_buffer_size);
  if (field && bytes) std::memcpy(s.bytes.data(), field, bytes);
  s.flag = flag;
  s.arrival_ns = arrival_ns;
  {
    std::lock_guard<std::mutex> lock(handoff_mutex);
    s.serial = serial ? serial : ++own_serial_;
    waiting_.push_back(slot);
    start_or_wake();
  }
  if (dropped > 0) {
    dropped_fields_ += dropped;
    qCDebug(render_timing_log).noquote()
        << QString("render: fields waiting to be converted gave way to newer ones: %1").arg(dropped);
  }
}

void render_thread::start_or_wake() {
  if (!loop_running) {
    // The first field of the process (or the stop call before any): the
    // thread starts with it waiting and takes the capture thread's priority.
    recording_on_ = false;
    loop_running = true;
    start(QThread::InheritPriority);
  } else {
    // All waiters: set_render_settings may share the condition.
    handoff_condition.notify_all();
  }
}

void render_thread::work() {
  release_pictures();  // the first field builds everything

  std::unique_lock<std::mutex> lock(handoff_mutex);
  loop_running = true;
  for (;;) {
    // Asleep until submit_field hands over a field (or the stop call wakes
    // us). The predicate covers spurious wake-ups.
    handoff_condition.wait(lock, [this] { return !waiting_.empty() || quit_.load(); });
    if (quit_) break;

    in_hand_ = waiting_.front();
    waiting_.pop_front();
    const handoff_slot& slot = slots_[size_t(in_hand_)];
    // A display picture only for the newest: in F1 any field behind this
    // one replaces it; in the other modes a picture needs a pair of fields,
    // so this one counts unless a field of its own kind waits too.
    const size_t newer = waiting_.size();
    const field_in_hand field{slot.bytes.data(), slot.flag, slot.serial, slot.arrival_ns,
                              newer < (display_mode_ == display_mode::f1 ? 1u : 2u)};
    const render_settings s = settings;
    lock.unlock();
    render_field(s, field);
    lock.lock();

    free_.push_back(in_hand_);
    in_hand_ = -1;
    handoff_condition.notify_all();  // set_render_settings may be waiting
  }
  // Leave nothing for a waiter to wait on. The pictures go first: whoever
  // sees loop_running clear under the lock may touch them (the destructor).
  while (!waiting_.empty()) {
    free_.push_back(waiting_.front());
    waiting_.pop_front();
  }
  lock.unlock();
  release_pictures();
  lock.lock();
  loop_running = false;
  // Under the lock, so the destructor cannot get past it to destroy the
  // condition before the notify is done.
  handoff_condition.notify_all();
}

bool render_thread::render_one_field(bool flag, const unsigned char* pixels) {
  if (isRunning()) return false;  // the pictures belong to the thread then
  return render_field(current_settings(), field_in_hand{pixels, flag, ++own_serial_, steady_clock_ns(), true});
}

void render_thread::release_pictures() {
  if (source_picture) av_frame_free(&source_picture);  // describes a hand-off slot only
  sws_freeContext(recording_scaler);
  recording_scaler = nullptr;
  recording_picture_size = 0;
  pictures_ready = false;
  deinterlace_.release();
}

bool render_thread::rebuild(const geometry& g) {
  release_pictures();
  built = g;
  // The fields kept were of another size: none of them pairs again.
  field_picture_serial_[0] = field_picture_serial_[1] = 0;

  // Settings the buffers cannot hold would have swscale, or the copies for
  // the display, write past them.
  const size_t field_bytes = size_t(std::max(g.width, 0)) * 2 * size_t(std::max(g.field_lines, 0));
  if (g.width <= 0 || g.width % 2 || g.field_lines <= 0 || 2 * field_bytes > picture_buffer_size) return false;

  // swscale asserts on a format it does not know rather than failing.
  const auto recording_format = static_cast<AVPixelFormat>(g.recording_format);
  if (!sws_isSupportedOutput(recording_format)) return false;
  const int size = av_image_get_buffer_size(recording_format, g.width, g.field_lines, 1);
  if (size <= 0 || size_t(size) > recording_field_buffer_size * 2) return false;

  source_picture = av_frame_alloc();
  recording_scaler = sws_getContext(g.width, g.field_lines, AV_PIX_FMT_UYVY422, g.width, g.field_lines,
                                    recording_format, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!source_picture || !recording_scaler) {
    release_pictures();
    return false;
  }
  recording_picture_size = size;
  pictures_ready = true;
  return true;
}

int render_thread::recording_slot() {
  std::lock_guard<std::mutex> lock(recording_mutex_);
  if (!recording_free_.empty()) {
    const int slot = recording_free_.back();
    recording_free_.pop_back();
    return slot;
  }
  if (recording_slots_used_ < recording_slots) return recording_slots_used_++;
  ++recording_overflows_;
  // Every slot is in the consumer's hands (the recorder weaves them all):
  // this field has nowhere to go, and the recording counts it lost.
  if (recording_queue_.empty()) return -1;
  // The recorder has taken nothing for all the slots' time: the oldest
  // field gives way, and the recording counts it lost.
  const int slot = recording_queue_.front().slot;
  recording_queue_.pop_front();
  return slot;
}

void render_thread::record_field(const field_in_hand& field, int lines) {
  const int slot = recording_slot();
  if (slot < 0) return;
  std::vector<unsigned char>& buffer = recording_pool_[size_t(slot)];
  if (buffer.size() < size_t(recording_picture_size)) buffer.assign(size_t(recording_picture_size), 0);
  uint8_t* planes[4] = {};
  int strides[4] = {};
  av_image_fill_arrays(planes, strides, buffer.data(), static_cast<AVPixelFormat>(built.recording_format), built.width,
                       lines, 1);
  // The source picture only points into the field in hand.
  av_image_fill_arrays(source_picture->data, source_picture->linesize, field.pixels, AV_PIX_FMT_UYVY422, built.width,
                       lines, 1);
  sws_scale(recording_scaler, source_picture->data, source_picture->linesize, 0, lines, planes, strides);
  const double bytes_per_pixel = recording_bytes_per_pixel_;
  const size_t limit = std::min(size_t(recording_picture_size), recording_field_buffer_size);
  const size_t bytes = truncated_bytes(double(lines) * built.width * bytes_per_pixel, limit);
  // The recorder expects every field to start with two rows of luma 0.
  std::memset(buffer.data(), 0, truncated_bytes(built.width * bytes_per_pixel, bytes));
  std::lock_guard<std::mutex> lock(recording_mutex_);
  recording_queue_.push_back({slot, bytes, field.flag, field.serial, field.arrival_ns});
}

bool render_thread::render_field(const render_settings& s, const field_in_hand& field) {
  // Every switch is read once per field; a change counts from the next one.
  const display_mode mode = display_mode_;
  const bool feed = recording_on_;
  const bool debugging = render_timing_log().isDebugEnabled();

  const geometry wanted{s.width, s.frame_lines / 2, recording_pixel_format_.load()};
  // A new field size or recording format: rebuild. A failed build is
  // retried next field.
  if (!pictures_ready || wanted != built) {
    if (!rebuild(wanted)) {
      ++failed_fields_;
      if (!failure_reported)
        qCWarning(render_log, "render: cannot build the recording's scaler for %dx%d fields; fields are skipped",
                  wanted.width, wanted.field_lines);
      failure_reported = true;
      return false;
    }
    failure_reported = false;
  }

  if (debugging) render_timer.start();
  if (const int ms = slow_render_ms_; ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));

  // The recording first: it needs every field, the display only the newest.
  if (feed) record_field(field, built.field_lines);
  // The deinterlacer exists only while its mode is chosen.
  if (mode != display_mode::deinterlaced && deinterlace_.built()) deinterlace_.release();

  picture_info& info = display_.back_info();
  if (make_display_picture(field, mode, info)) {
    info.display_width = 2 * s.half_display_width;
    info.display_height = 2 * s.half_display_height;
    last_published_ = display_.back();
    display_.publish();
  }

  ++rendered_fields_;
  emit field_rendered(field.flag);
  emit broadcast_frame(last_published_, s.half_display_width, s.half_display_height);

  if (debugging)
    qCDebug(render_timing_log).noquote()
        << QString("render: a field converted in %1 ms").arg(render_timer.lap(), 0, 'g', -1, QChar(' '));
  return true;
}

bool render_thread::make_display_picture(const field_in_hand& field, display_mode mode, picture_info& info) {
  const int lines = built.field_lines;
  const size_t field_bytes = size_t(built.width) * 2 * size_t(lines);
  const bool flag = field.flag;
  // F2 shows only flag-set fields (the bottom field).
  if (mode == display_mode::f2 && !flag) return false;
  // The two-field modes keep every field: a picture's later field needs its
  // earlier one, and that one may well have been shown already.
  const bool pair = mode == display_mode::interlaced || mode == display_mode::field_blended;
  if (pair) {
    std::memcpy(field_picture_[flag ? 1 : 0].data(), field.pixels, field_bytes);
    field_picture_serial_[flag ? 1 : 0] = field.serial;
  }
  if (!field.show) {
    ++unshown_fields_;
    return false;
  }

  info.width = built.width;
  info.field_serial = field.serial;
  info.arrival_ns = field.arrival_ns;
  if (pair) {
    // A picture when its later field completes the pair (base/field_order.h),
    // as the recording pairs them, and only a picture of the signal: its
    // earlier field, the one just before, is in the other half. One skipped
    // (the thread was behind), lost on the way or from before a rebuild
    // leaves the picture shown as it was, rather than joined with an older
    // half or a black one.
    const uint64_t earlier = field_picture_serial_[flag ? 0 : 1];
    if (flag != completing_flag(2 * lines) || earlier == 0 || earlier + 1 != field.serial) return false;
    // The top field's rows, then the bottom field's: the shader weaves or
    // blends them.
    std::memcpy(display_.back(), field_picture_[0].data(), field_bytes);
    std::memcpy(display_.back() + field_bytes, field_picture_[1].data(), field_bytes);
    info.rows = 2 * lines;
    info.layout = mode == display_mode::interlaced ? picture_layout::woven : picture_layout::blended;
    return true;
  }
  if (mode == display_mode::deinterlaced) {
    // A picture per field, each of the frame woven from a pair, one frame
    // later (the filter needs the frame after): see render/deinterlacer.h.
    if (!deinterlace_.build_for(built.width, lines)) {
      if (!deinterlace_failure_reported_)
        qCWarning(render_log, "render: cannot build the deinterlacer (libavfilter's bwdif) for %dx%d; nothing is shown",
                  built.width, 2 * lines);
      deinterlace_failure_reported_ = true;
      return false;
    }
    deinterlace_.weave_field(field.pixels, flag, field.serial, field.arrival_ns);
    if (flag == completing_flag(2 * lines)) deinterlace_.feed_frame();
    deinterlacer::field_stamp shown;
    if (!deinterlace_.next_picture(display_.back(), shown)) return false;
    info.field_serial = shown.serial;
    info.arrival_ns = shown.arrival_ns;
    info.rows = 2 * lines;
    info.layout = picture_layout::rows;
    return true;
  }
  // F1 and F2: the field as it came.
  std::memcpy(display_.back(), field.pixels, field_bytes);
  info.rows = lines;
  info.layout = picture_layout::rows;
  return true;
}
