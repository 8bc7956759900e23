#include "capture/video_transfers.h"

#include <libusb.h>

#include <QDebug>
#include <QString>
#include <utility>

#include "base/logging.h"
#include "base/stopwatch.h"
#include "capture/device_registers.h"

using namespace easycap;

static_assert(video_transfers::region_size ==
              (video_transfers::packet_size + 12) * video_transfers::packets_per_transfer + 4);

// A stick that was pulled out fails every transfer at once, thousands of
// times a second; say each distinct error once and how often it repeated.
class video_transfers::repeat_filter {
 public:
  explicit repeat_filter(QString what) : what_(std::move(what)) {}
  ~repeat_filter() { flush(); }
  void report(int result) {
    if (result == last_ && repeats_ < 1000000) {
      ++repeats_;
      return;
    }
    flush();
    qCDebug(capture_log).noquote() << QString("%1 (libusb: %2)").arg(what_, libusb_error_name(result));
    last_ = result;
  }

 private:
  void flush() {
    if (repeats_ > 0)
      qCDebug(capture_log).noquote()
          << QString("%1 (libusb: %2) %3 more times").arg(what_, libusb_error_name(last_)).arg(repeats_);
    repeats_ = 0;
  }
  QString what_;
  int last_ = 0;
  int repeats_ = 0;
};

namespace {

QString endpoint_name() { return QString("0x%1").arg(unsigned(video_endpoint), 2, 16, QLatin1Char('0')); }

}  // namespace

video_transfers::video_transfers(usb_device& device)
    : device_(device),
      // One block for all regions, as large as the design has always made
      // it; not cleared: the service writes each region before it is parsed.
      regions_(new unsigned char[size_t(2) * size_t(packets_per_transfer) * packet_size * size_t(in_flight_count)]),
      contexts_(size_t(in_flight_count)),
      submitted_ns_(size_t(in_flight_count), 0) {
  for (int i = 0; i < in_flight_count; ++i) {
    const int result = device_.iso_setup(contexts_[size_t(i)], video_endpoint, packet_size);
    if (result < 0)
      qCDebug(capture_log).noquote() << QString(
                                            "capture: setting up video transfers on endpoint %1 failed (libusb: %2)")
                                            .arg(endpoint_name(), libusb_error_name(result));
  }
  const QString transfer = QString("capture: a video transfer on endpoint %1").arg(endpoint_name());
  submit_errors_ = std::make_unique<repeat_filter>(transfer + " could not be queued");
  reap_errors_ = std::make_unique<repeat_filter>(transfer + " failed");
}

video_transfers::~video_transfers() {
  // Regions a transfer may still be written into are left, never freed.
  if (!released_) (void)release().release();
  // The reap errors are told before the submission errors, as they were counted.
  reap_errors_.reset();
  submit_errors_.reset();
}

unsigned char* video_transfers::region_at(int i) const { return regions_.get() + size_t(i) * size_t(region_size); }

const unsigned char* video_transfers::region(int i) const { return region_at(i); }

void video_transfers::submit(int i) {
  const int64_t now = steady_clock_ns();
  const int result = device_.iso_submit(contexts_[size_t(i)].get(), region_at(i), region_size);
  if (result < 0) {
    submit_errors_->report(result);
    if (result == LIBUSB_ERROR_NO_DEVICE) submit_found_no_device_ = true;
    // Busy: the USB layer still holds it (a reap that failed before it
    // completed), so it is reaped again rather than queued.
    if (result == LIBUSB_ERROR_BUSY)
      in_flight_.push_back(i);
    else
      idle_.push_back(i);
    return;
  }
  submitted_ns_[size_t(i)] = now;
  in_flight_.push_back(i);
}

void video_transfers::submit_all() {
  for (int i = 0; i < in_flight_count; ++i)
    if (contexts_[size_t(i)]) submit(i);
}

void video_transfers::retry_idle() {
  std::vector<int> waiting;
  waiting.swap(idle_);
  for (int i : waiting) submit(i);
}

int video_transfers::reap_oldest(int timeout_ms) {
  return device_.iso_reap(contexts_[size_t(in_flight_.front())].get(), timeout_ms);
}

int64_t video_transfers::take_oldest() {
  const int i = in_flight_.front();
  in_flight_.pop_front();
  return submitted_ns_[size_t(i)];
}

void video_transfers::resubmit(int i) {
  submit(i);
  retry_idle();
}

void video_transfers::report_reap_error(int result) { reap_errors_->report(result); }

std::unique_ptr<unsigned char[]> video_transfers::release() {
  released_ = true;
  bool still_pointed_into = false;
  for (auto& context : contexts_)
    if (context && device_.iso_release(context) < 0) still_pointed_into = true;
  if (still_pointed_into) return std::move(regions_);
  return nullptr;
}
