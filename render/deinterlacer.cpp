#include "render/deinterlacer.h"

#include <algorithm>
#include <cstdio>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

// Row alignment of the woven frames: bwdif's and swscale's SIMD code read
// whole vectors.
constexpr int frame_align = 32;
// The woven frame's format: bwdif takes planar formats only, and 4:2:2
// keeps the stick's chroma as it is.
constexpr AVPixelFormat frame_format = AV_PIX_FMT_YUV422P;

}  // namespace

bool deinterlacer::build_for(int width, int field_lines) {
  if (graph_ && width == width_ && 2 * field_lines == frame_lines_) return true;
  release();
  if (width <= 0 || width % 2 || field_lines < 2) return false;
  width_ = width, frame_lines_ = 2 * field_lines;

  const int frame_bytes = av_image_get_buffer_size(frame_format, width_, frame_lines_, frame_align);
  if (frame_bytes <= 0) return false;
  pool_ = av_buffer_pool_init(size_t(frame_bytes) + frame_align, nullptr);
  // One field at a time, onto every second row of the frame: an unscaled
  // UYVY to planar conversion, no filtering across the field's lines.
  field_scaler_ = sws_getContext(width_, field_lines, AV_PIX_FMT_UYVY422, width_, field_lines, frame_format, SWS_POINT,
                                 nullptr, nullptr, nullptr);
  if (!pool_ || !field_scaler_ || !build_graph()) {
    release();
    return false;
  }
  return true;
}

bool deinterlacer::build_graph() {
  graph_ = avfilter_graph_alloc();
  if (!graph_) return false;
  // The render thread's one core: no filter threads (set before the
  // filters are made, which is when the graph starts its thread pool).
  graph_->nb_threads = 1;
  char source_args[160];
  std::snprintf(source_args, sizeof source_args, "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1", width_,
                frame_lines_, int(frame_format));
  // send_field: one picture per field; parity=auto: each frame's own top
  // field first flag says which field is the earlier; deint=all: every
  // frame, whatever it is marked.
  if (avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "fields", source_args, nullptr, graph_) <
      0)
    return false;
  AVFilterContext* bwdif = nullptr;
  if (avfilter_graph_create_filter(&bwdif, avfilter_get_by_name("bwdif"), "deinterlace",
                                   "mode=send_field:parity=auto:deint=all", nullptr, graph_) < 0)
    return false;
  if (avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "pictures", nullptr, nullptr, graph_) <
      0)
    return false;
  if (avfilter_link(source_, 0, bwdif, 0) < 0 || avfilter_link(bwdif, 0, sink_, 0) < 0) return false;
  if (avfilter_graph_config(graph_, nullptr) < 0) return false;
  last_fed_serial_ = 0;
  return true;
}

void deinterlacer::free_graph() {
  avfilter_graph_free(&graph_);
  source_ = sink_ = nullptr;
  last_fed_serial_ = 0;
}

void deinterlacer::drop_pictures() {
  for (AVFrame* p : pictures_) av_frame_free(&p);
  pictures_.clear();
}

void deinterlacer::release() {
  drop_pictures();
  av_frame_free(&weaving_);
  woven_[0] = woven_[1] = field_stamp{};
  fed_.clear();
  last_woven_serial_ = 0;
  free_graph();
  sws_freeContext(field_scaler_);
  field_scaler_ = nullptr;
  sws_freeContext(picture_scaler_);
  picture_scaler_ = nullptr;
  picture_format_ = -1;
  av_buffer_pool_uninit(&pool_);  // the buffers still in frames go when those do
  width_ = frame_lines_ = 0;
}

void deinterlacer::weave_field(const unsigned char* uyvy, bool flag, uint64_t serial, int64_t arrival_ns) {
  if (!graph_) return;
  if (!weaving_) {
    // A fresh buffer for every frame: the filter keeps the frames it was
    // given (the one before and the one after the frame it deinterlaces).
    weaving_ = av_frame_alloc();
    if (!weaving_) return;
    weaving_->buf[0] = av_buffer_pool_get(pool_);
    if (!weaving_->buf[0]) {
      av_frame_free(&weaving_);
      return;
    }
    av_image_fill_arrays(weaving_->data, weaving_->linesize, weaving_->buf[0]->data, frame_format, width_, frame_lines_,
                         frame_align);
    weaving_->width = width_;
    weaving_->height = frame_lines_;
    weaving_->format = frame_format;
    woven_[0] = woven_[1] = field_stamp{};
  }
  // A field skipped since the last one: a picture still waiting shows a
  // moment too long ago to follow the last picture shown.
  if (serial != last_woven_serial_ + 1) drop_pictures();
  last_woven_serial_ = serial;
  const int row = flag ? 1 : 0;
  uint8_t* planes[4] = {};
  int strides[4] = {};
  for (int p = 0; p < 3; ++p) {
    planes[p] = weaving_->data[p] + row * weaving_->linesize[p];
    strides[p] = 2 * weaving_->linesize[p];
  }
  const uint8_t* source[4] = {uyvy};
  const int source_stride[4] = {2 * width_};
  sws_scale(field_scaler_, source, source_stride, 0, frame_lines_ / 2, planes, strides);
  woven_[row] = {serial, arrival_ns};
}

void deinterlacer::feed_frame() {
  if (!graph_ || !weaving_) return;
  const uint64_t top = woven_[0].serial, bottom = woven_[1].serial;
  const uint64_t first = std::min(top, bottom), last = std::max(top, bottom);
  // Pictures not yet shown are older than this frame's: a gap, or a frame
  // that came too late. They go, so the display never lags further.
  drop_pictures();
  if (!first || last != first + 1) {
    // A field of the pair was skipped (the thread was behind): the frame
    // would mix two moments. The frame after it starts the filter afresh.
    av_frame_free(&weaving_);
    return;
  }
  if (last_fed_serial_ && first != last_fed_serial_ + 1) {
    // Fields were skipped since the last frame: the filter's frames before
    // this one are not its neighbours in time.
    ++restarts_;
    free_graph();
    if (!build_graph()) {
      free_graph();
      av_frame_free(&weaving_);
      return;
    }
  }
  const bool top_field_first = top < bottom;
  fed_.push_back({frames_fed_, top_field_first ? std::array{woven_[0], woven_[1]} : std::array{woven_[1], woven_[0]}});
  if (fed_.size() > 4) fed_.pop_front();
  feed(top_field_first);
  last_fed_serial_ = last;
}

void deinterlacer::feed(bool top_field_first) {
  weaving_->interlaced_frame = 1;
  weaving_->top_field_first = top_field_first;
  weaving_->pts = frames_fed_++;
  // The frame's reference passes to the filter; weaving_ is blank after.
  const int fed = av_buffersrc_add_frame_flags(source_, weaving_, 0);
  av_frame_free(&weaving_);
  if (fed < 0) return;
  for (;;) {
    AVFrame* picture = av_frame_alloc();
    if (!picture) return;
    if (av_buffersink_get_frame(sink_, picture) < 0) {
      av_frame_free(&picture);
      return;
    }
    pictures_.push_back(picture);
  }
}

bool deinterlacer::next_picture(unsigned char* uyvy, field_stamp& shown) {
  if (pictures_.empty()) return false;
  AVFrame* picture = pictures_.front();
  pictures_.pop_front();
  shown = {};
  for (const auto& [pts, fields] : fed_)
    if (pts == picture->pts / 2) shown = fields[size_t(picture->pts % 2)];
  if (picture->format != picture_format_) {
    sws_freeContext(picture_scaler_);
    // Unscaled planar to packed 4:2:2: a copy of the samples in another order.
    picture_scaler_ = sws_getContext(width_, frame_lines_, static_cast<AVPixelFormat>(picture->format), width_,
                                     frame_lines_, AV_PIX_FMT_UYVY422, SWS_POINT, nullptr, nullptr, nullptr);
    picture_format_ = picture_scaler_ ? picture->format : -1;
  }
  const bool converted = picture_scaler_ && picture->width == width_ && picture->height == frame_lines_;
  if (converted) {
    uint8_t* planes[4] = {uyvy};
    const int strides[4] = {2 * width_};
    sws_scale(picture_scaler_, picture->data, picture->linesize, 0, frame_lines_, planes, strides);
  }
  av_frame_free(&picture);
  return converted;
}
