// Fields lost on the way from the stick keep their places: however a field
// was lost, the fields after it carry the capture thread's numbers that skip
// exactly the lost ones, so everything downstream repeats in their place.
// The paced in-process stick draws each field's own number into its picture,
// which tells what the numbers should be.
#include <gtest/gtest.h>

#include <QTest>
#include <vector>

#include "capture/capture_thread.h"
#include "sim/in_process_backend.h"
#include "sim/test_pattern.h"
#include "tests/support/message_log.h"
#include "tests/support/rendering_capture.h"

namespace {

struct numbered_field {
  uint64_t serial;
  uint32_t number;  // as the stick drew it
};

TEST(field_loss, every_lost_field_leaves_its_number_unused) {
  struct case_t {
    const char* name;
    stick_faults faults;
    bool by_time;  // no start packet tells the loss: only the field clock can
  };
  stick_faults incomplete, starts, transfers, failed, stalled;
  incomplete.lose_packet_every = 500;
  starts.lose_field_start_every = 7;
  transfers.lose_transfer_every = 23;
  failed.reap_error_every = 19;
  // Held up for longer than the transfers queued: the bus went on with
  // nothing queued, and whole fields passed unseen.
  stalled.reaper_stall_ms = 300;
  stalled.reaper_stall_every = 400;
  const case_t cases[] = {
      {"fields that came incomplete", incomplete, false},   {"field-start packets lost", starts, true},
      {"whole transfers lost on the bus", transfers, true}, {"transfers that failed", failed, true},
      {"the capture thread held up", stalled, true},
  };
  message_log messages;
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.name);
    auto stick = std::make_shared<virtual_stick>();
    stick->set_faults(c.faults);
    in_process_backend backend;
    backend.set_paced(true);
    backend.set_clock_ppm(700);
    backend.add(stick);
    rendering_capture thread;
    thread.set_usb_backend(&backend);
    thread.set_settings(capture_settings::for_standard(video_standard::pal));

    std::vector<numbered_field> fields;
    bool gap = false;
    auto collect = [&] {
      thread.renderer.take_fields([&](const recorded_field& f) {
        const unsigned char* strip = f.pixels + size_t(288 - test_pattern::strip_lines / 2) * 720;
        fields.push_back({f.serial, test_pattern::decode_luma(strip).number});
        if (fields.size() > 1 && fields.back().number > fields[fields.size() - 2].number + 1) gap = true;
      });
    };
    thread.start_capture();
    // The render thread turns the feed off as it starts.
    ASSERT_TRUE(QTest::qWaitFor([&] { return thread.renderer.rendered_fields() >= 1; }, 20000));
    thread.renderer.set_recording(true);
    const bool enough = QTest::qWaitFor(
        [&] {
          collect();
          return fields.size() >= 80 && gap && (!c.by_time || thread.fields_never_came() > 0);
        },
        30000);
    thread.request_close();
    ASSERT_TRUE(thread.wait(20000));
    collect();
    ASSERT_TRUE(enough) << fields.size() << " fields, a gap: " << gap << ", never came " << thread.fields_never_came();

    int mismatches = 0;
    for (size_t i = 1; i < fields.size(); ++i) {
      const int64_t numbered = int64_t(fields[i].serial - fields[i - 1].serial);
      const int64_t sent = int64_t(fields[i].number) - int64_t(fields[i - 1].number);
      if (numbered != sent && ++mismatches <= 5)
        ADD_FAILURE() << "field " << fields[i].number << " after " << fields[i - 1].number << ": numbered " << numbered
                      << " on, the stick sent " << sent << " on";
    }
    EXPECT_EQ(mismatches, 0);
  }
  // Neither a stop nor any of these losses makes the loop resubmit what it
  // had not reaped.
  EXPECT_FALSE(messages.contains(capture_category, "capture: a video transfer on endpoint 0x82 could not be queued"));
}

}  // namespace
