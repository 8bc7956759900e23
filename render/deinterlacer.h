// The Deinterlaced display mode's machinery (render thread only): the two
// fields of a pair are woven into one planar 4:2:2 frame, libavfilter's
// bwdif deinterlaces it at the field rate (two pictures per frame), and
// each picture goes back to UYVY, the display picture's own 4:2:2.
//
// bwdif interpolates a field's missing lines from the fields before and
// after it, so it gives a frame's pictures only once the next frame is in:
// one frame (two fields) of delay, plus one field because the second
// picture of a frame waits for the next field to be shown. A field is on
// screen three fields (60 ms PAL, 50 ms NTSC) after it came.
#pragma once

#include <array>
#include <cstdint>
#include <deque>

struct AVBufferPool;
struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;
struct SwsContext;

class deinterlacer {
 public:
  deinterlacer() = default;
  deinterlacer(const deinterlacer&) = delete;
  deinterlacer& operator=(const deinterlacer&) = delete;
  ~deinterlacer() { release(); }

  // Builds the filter and the converters for fields of `width` x
  // `field_lines` (UYVY), unless built for exactly that; false when
  // something cannot be built.
  bool build_for(int width, int field_lines);
  // Frees everything; the next build_for() builds anew.
  void release();

  // A field (UYVY) goes into the frame being woven: the flag-clear field
  // onto the even rows (the top field), the flag-set one onto the odd rows.
  // `serial` numbers the fields in the order they came; `arrival_ns` is
  // when the field came, passed on with its picture.
  void weave_field(const unsigned char* uyvy, bool flag, uint64_t serial, int64_t arrival_ns);
  // The frame being woven is complete: it goes to the filter, whose
  // pictures wait to be shown. The field order is the frame's own (its top
  // field came first or not); a frame missing a field, or not following
  // the frame fed before, starts the filter afresh.
  void feed_frame();
  // The field a picture shows: its serial and arrival, as weave_field()
  // had them.
  struct field_stamp {
    uint64_t serial = 0;  // 0: none
    int64_t arrival_ns = -1;
  };
  // Writes the oldest picture waiting, a whole frame of UYVY rows
  // (width x 2 * field_lines, tight), and tells which field it shows; false
  // when none waits.
  bool next_picture(unsigned char* uyvy, field_stamp& shown);

  bool built() const { return graph_ != nullptr; }
  // Frames that had to start the filter afresh (tests).
  uint32_t restarts() const { return restarts_; }

 private:
  bool build_graph();
  void free_graph();
  void drop_pictures();
  void feed(bool top_field_first);

  int width_ = 0, frame_lines_ = 0;
  AVFilterGraph* graph_ = nullptr;
  AVFilterContext* source_ = nullptr;
  AVFilterContext* sink_ = nullptr;
  AVBufferPool* pool_ = nullptr;
  SwsContext* field_scaler_ = nullptr;    // UYVY field -> its rows of the planar frame
  SwsContext* picture_scaler_ = nullptr;  // the filter's planar picture -> UYVY
  int picture_format_ = -1;               // what picture_scaler_ takes

  AVFrame* weaving_ = nullptr;      // the frame being woven
  field_stamp woven_[2];            // the fields on its top (0) and bottom (1) rows
  uint64_t last_woven_serial_ = 0;  // the field woven last
  uint64_t last_fed_serial_ = 0;    // the later field of the frame fed last; 0: the filter is fresh
  int64_t frames_fed_ = 0;          // the frames' time stamps
  // The fields of the last frames fed, earlier first, by time stamp: a
  // picture's time stamp is twice its frame's, plus one for the later field.
  std::deque<std::pair<int64_t, std::array<field_stamp, 2>>> fed_;
  std::deque<AVFrame*> pictures_;  // deinterlaced, waiting to be shown
  uint32_t restarts_ = 0;
};
