#include "capture/stick_link.h"

#include <libusb.h>

#include <QDebug>
#include <QString>
#include <QThread>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "base/stopwatch.h"
#include "capture/device_registers.h"

using namespace easycap;

namespace {

// For the log: "0x0201" for a bridge register, "0x0a" for a decoder one.
QString hex(unsigned value, int digits) { return QString("0x%1").arg(value, digits, 16, QLatin1Char('0')); }

// Why a transfer failed, for the log: libusb's name for the error, or, for
// a read that ended without error, how many bytes came back.
QString transfer_failure(bool open, int result) {
  if (!open) return QStringLiteral("no stick open");
  if (result < 0) return QString("libusb: %1").arg(libusb_error_name(result));
  return QString("%1 bytes came back").arg(result);
}

}  // namespace

usb_device_identity stick_link::identity() const {
  std::lock_guard lock(identity_mutex_);
  return identity_;
}

stick_link::claim_result stick_link::claim() {
  claim_result r;
  using failure = claim_result::failure;
  auto failed = [&r](failure f) {
    if (r.first_failure == failure::none) r.first_failure = f;  // the first stick's reason is told
  };
  const std::vector<usb_device_entry> devices = backend_ ? backend_->list_devices() : std::vector<usb_device_entry>{};
  for (const usb_device_entry& entry : devices) {
    if (entry.vendor != vendor_id || entry.product != product_id) continue;
    // Streaming needs 3072 bytes every microframe: a USB 1.1 port cannot.
    if (entry.speed > 0 && entry.speed < LIBUSB_SPEED_HIGH) {
      failed(failure::slow_port);
      continue;
    }
    std::unique_ptr<usb_device> handle;
    const int opened = backend_->open(entry, handle);
    if (opened != 0 || !handle) {
      failed(opened == LIBUSB_ERROR_ACCESS ? failure::no_permission : failure::gone);
      continue;
    }
    // A desktop hands the stick over configured, with the sound driver on
    // its audio interfaces: setting the configuration again would be
    // refused while they are held, and is only needed when it differs.
    const int active = handle->get_configuration();
    if (active != configuration && handle->set_configuration(configuration) != 0) {
      failed(active == LIBUSB_ERROR_NO_DEVICE ? failure::gone : failure::configuration_refused);
      continue;
    }
    const int claimed = handle->claim_interface(interface_number);
    if (claimed != 0) {
      failed(claimed == LIBUSB_ERROR_NO_DEVICE ? failure::gone
             : claimed == LIBUSB_ERROR_BUSY    ? failure::in_use
                                               : failure::interface_refused);
      continue;
    }
    usb_device_identity id = handle->identity();
    {
      std::lock_guard lock(identity_mutex_);
      identity_ = std::move(id);
    }
    device_ = std::move(handle);
    r.claimed = true;
  }
  return r;
}

void stick_link::begin_pass() {
  in_pass_ = true;
  silent_ = false;
  failed_transfers_ = 0;
}

// A transfer that timed out or found no device says the stick does not
// answer: the rest of the pass would only wait out the same time-outs.
void stick_link::note_failure(int result) {
  if (!in_pass_) return;
  ++failed_transfers_;
  if (result == LIBUSB_ERROR_TIMEOUT || result == LIBUSB_ERROR_NO_DEVICE) silent_ = true;
}

uint8_t stick_link::read_register(uint16_t reg) {
  if (skipping()) return 0;
  unsigned char byte = 0;
  const int result =
      device_ ? device_->control_msg(read_request_type, read_request, 0, reg, &byte, 1, control_timeout_ms) : -1;
  if (result != 1) {
    note_failure(result);
    qCDebug(capture_log).noquote() << QString("capture: reading bridge register %1 failed (%2)")
                                          .arg(hex(reg, 4), transfer_failure(is_open(), result));
    return 0;
  }
  return byte;
}

bool stick_link::write_register(uint16_t reg, uint16_t value) {
  if (skipping()) return false;
  const int result =
      device_ ? device_->control_msg(write_request_type, write_request, value, reg, nullptr, 0, control_timeout_ms)
              : -1;
  if (result < 0) {
    note_failure(result);
    qCDebug(capture_log).noquote() << QString("capture: writing bridge register %1 failed (%2)")
                                          .arg(hex(reg, 4), transfer_failure(is_open(), result));
    return false;
  }
  return true;
}

bool stick_link::set_feature(uint16_t feature) {
  if (skipping()) return false;
  const int result = device_ ? device_->control_msg(feature_request_type, set_feature_request, feature, 0, nullptr, 0,
                                                    control_timeout_ms)
                             : -1;
  if (result < 0) {
    note_failure(result);
    qCDebug(capture_log).noquote() << QString("capture: setting USB feature %1 on the bridge failed (%2)")
                                          .arg(hex(feature, 4), transfer_failure(is_open(), result));
    return false;
  }
  return true;
}

void stick_link::write_decoder_register(uint8_t reg, uint16_t value) {
  if (skipping()) return;
  write_register(serial_subaddress, reg);
  write_register(serial_data, value);
  write_register(serial_control, serial_start_write);
  QThread::usleep(serial_settle_us);
  // One status read: the bridge has finished or it has not.
  const uint8_t status = read_register(serial_status);
  // A close cut the transaction short: nothing was read to judge it by.
  if (skipping()) return;
  if (status != serial_write_done)
    qCDebug(capture_log).noquote()
        << QString(
               "capture: writing decoder register %1 failed: the bridge's serial bus shows status %2, not %3 (done)")
               .arg(hex(reg, 2), hex(status, 2), hex(serial_write_done, 2));
}

std::optional<uint8_t> stick_link::read_decoder_register(uint8_t reg, QString* why) {
  auto failed = [why](const QString& reason) {
    if (why) *why = reason;
    return std::nullopt;
  };
  if (skipping() || !is_open()) return failed(QStringLiteral("no stick open"));
  // Short time-outs: this runs between reaps, and a bridge that hangs is
  // told by the stream, not by waiting here.
  auto write = [this](uint16_t bridge_reg, uint16_t value) {
    return device_->control_msg(write_request_type, write_request, value, bridge_reg, nullptr, 0, status_timeout_ms);
  };
  auto read = [this](uint16_t bridge_reg, uint8_t& byte) {
    return device_->control_msg(read_request_type, read_request, 0, bridge_reg, &byte, 1, status_timeout_ms) == 1;
  };
  // The address each time: a read addresses the slave afresh.
  int result = write(serial_address, decoder_serial_address);
  if (result >= 0) result = write(serial_read_subaddress, reg);
  if (result >= 0) result = write(serial_control, serial_start_read);
  if (result < 0) return failed(transfer_failure(true, result));
  stopwatch waited;
  waited.start();
  uint8_t status = 0;
  for (;;) {
    if (!read(serial_status, status)) return failed(QStringLiteral("its status could not be read"));
    if (status & serial_read_done) break;
    if (skipping() || waited.elapsed() * 1000.0 >= serial_read_limit_us)
      return failed(QString("the bridge's serial bus shows status %1 after %2 ms")
                        .arg(hex(status, 2))
                        .arg(waited.elapsed(), 0, 'f', 1));
    QThread::usleep(serial_read_poll_us);
  }
  uint8_t byte = 0;
  if (!read(serial_read_data, byte)) return failed(QStringLiteral("the byte could not be fetched"));
  return byte;
}

void stick_link::write_codec_register(uint8_t reg, uint16_t value) {
  write_register(codec_register, reg);
  write_register(codec_data_low, value & 0xFF);
  write_register(codec_data_high, value >> 8);
  write_register(codec_command, codec_write_command);
}

uint16_t stick_link::read_codec_register(uint8_t reg) {
  write_register(codec_register, reg);
  write_register(codec_command, codec_read_command);
  const uint8_t low = read_register(codec_data_low);
  const uint8_t high = read_register(codec_data_high);
  return uint16_t(high << 8 | low);
}

int stick_link::select_streaming_alternate() {
  const int result = device_ ? device_->set_altinterface(streaming_alternate) : -1;
  if (result < 0)
    qCDebug(capture_log).noquote()
        << QString("capture: selecting alternate setting %1 of the video interface for streaming failed (%2)")
               .arg(streaming_alternate)
               .arg(transfer_failure(is_open(), result));
  return result;
}
