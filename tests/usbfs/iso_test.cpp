// The isochronous service of the libusb backend against the emulated
// video endpoint.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>

#include "tests/usbfs/usbfs_fixture.h"

namespace {

constexpr int packets = libusb_backend::iso_packets;
constexpr int packet_size = stick_hw::iso_packet_size;
constexpr int header_size = iso_region_header_size(packets);
constexpr int region_size = iso_region_size(packets, packet_size);
constexpr int reap_timeout_ms = 2000;

uint32_t u32_at(const std::vector<unsigned char>& region, int offset) {
  uint32_t v = 0;
  std::memcpy(&v, region.data() + offset, sizeof v);
  return v;
}

class usbfs_iso_test : public usbfs_test {
 protected:
  // The stick opened, claimed and on the streaming alternate setting.
  std::unique_ptr<usb_device> streaming_device() {
    std::unique_ptr<usb_device> device = open_claimed();
    if (device && device->set_altinterface(stick_hw::streaming_alternate) != 0) return nullptr;
    return device;
  }

  struct transfer {
    std::unique_ptr<usb_iso_context> context;
    std::vector<unsigned char> region = std::vector<unsigned char>(region_size, 0xAB);
  };

  std::vector<transfer> make_transfers(usb_device& device, int n) {
    std::vector<transfer> transfers(static_cast<size_t>(n));
    for (transfer& t : transfers) EXPECT_EQ(device.iso_setup(t.context, stick_hw::video_endpoint, packet_size), 0);
    return transfers;
  }
};

TEST_F(usbfs_iso_test, thirty_two_transfers_in_flight_complete_with_empty_packets) {
  plug();
  std::unique_ptr<usb_device> device = streaming_device();
  ASSERT_TRUE(device);
  std::vector<transfer> transfers = make_transfers(*device, 32);

  for (int round = 0; round < 2; ++round) {
    for (transfer& t : transfers) ASSERT_EQ(device->iso_submit(t.context.get(), t.region.data(), region_size), 0);
    for (transfer& t : transfers) {
      ASSERT_EQ(device->iso_reap(t.context.get(), reap_timeout_ms), 0);
      EXPECT_EQ(u32_at(t.region, 0), uint32_t(packets));
      for (int k = 0; k < packets; ++k) {
        EXPECT_EQ(u32_at(t.region, 4 + 12 * k), uint32_t(header_size + k * packet_size)) << "packet " << k;
        EXPECT_EQ(u32_at(t.region, 8 + 12 * k), 0u) << "packet " << k;
        EXPECT_EQ(u32_at(t.region, 12 + 12 * k), uint32_t(LIBUSB_TRANSFER_COMPLETED)) << "packet " << k;
      }
      // Nothing arrived, so the data area is as it was.
      EXPECT_EQ(t.region[size_t(header_size)], 0xAB);
    }
  }
  for (transfer& t : transfers) EXPECT_EQ(device->iso_release(t.context), 0);
}

TEST_F(usbfs_iso_test, reaping_needs_a_submitted_transfer) {
  plug();
  std::unique_ptr<usb_device> device = streaming_device();
  ASSERT_TRUE(device);
  std::vector<transfer> transfers = make_transfers(*device, 1);
  EXPECT_EQ(device->iso_reap(transfers[0].context.get(), 10), LIBUSB_ERROR_NOT_FOUND);
  // A region too small for 16 packets is refused before it reaches libusb.
  EXPECT_EQ(device->iso_submit(transfers[0].context.get(), transfers[0].region.data(), region_size - 1),
            LIBUSB_ERROR_INVALID_PARAM);
  // One transfer at a time per context.
  ASSERT_EQ(device->iso_submit(transfers[0].context.get(), transfers[0].region.data(), region_size), 0);
  EXPECT_EQ(device->iso_submit(transfers[0].context.get(), transfers[0].region.data(), region_size), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(device->iso_reap(transfers[0].context.get(), reap_timeout_ms), 0);
}

TEST_F(usbfs_iso_test, release_cancels_transfers_in_flight) {
  plug();
  std::unique_ptr<usb_device> device = streaming_device();
  ASSERT_TRUE(device);
  std::vector<transfer> transfers = make_transfers(*device, 32);
  for (transfer& t : transfers) ASSERT_EQ(device->iso_submit(t.context.get(), t.region.data(), region_size), 0);
  for (transfer& t : transfers) {
    EXPECT_EQ(device->iso_release(t.context), 0);
    EXPECT_FALSE(t.context);
  }

  // The endpoint is free again: a new set of transfers streams.
  transfers = make_transfers(*device, 4);
  for (transfer& t : transfers) ASSERT_EQ(device->iso_submit(t.context.get(), t.region.data(), region_size), 0);
  for (transfer& t : transfers) EXPECT_EQ(device->iso_reap(t.context.get(), reap_timeout_ms), 0);

  // Dropping contexts without release cancels as well.
  for (transfer& t : transfers) ASSERT_EQ(device->iso_submit(t.context.get(), t.region.data(), region_size), 0);
  transfers.clear();
}

// The video endpoint is in every alternate setting, with the packet size of
// that setting: as the kernel, usbfs refuses packets larger than it allows.
TEST_F(usbfs_iso_test, isochronous_packets_must_fit_the_alternate_setting) {
  plug();
  std::unique_ptr<usb_device> device = open_claimed();
  ASSERT_TRUE(device);
  std::vector<transfer> transfers = make_transfers(*device, 1);
  EXPECT_EQ(device->iso_submit(transfers[0].context.get(), transfers[0].region.data(), region_size),
            LIBUSB_ERROR_INVALID_PARAM);      // setting 0: no bandwidth at all
  ASSERT_EQ(device->set_altinterface(3), 0);  // 1024 bytes per microframe
  EXPECT_EQ(device->iso_submit(transfers[0].context.get(), transfers[0].region.data(), region_size),
            LIBUSB_ERROR_INVALID_PARAM);
  std::unique_ptr<usb_iso_context> small;
  ASSERT_EQ(device->iso_setup(small, stick_hw::video_endpoint, 1024), 0);
  std::vector<unsigned char> small_region(static_cast<size_t>(iso_region_size(packets, 1024)));
  EXPECT_EQ(device->iso_submit(small.get(), small_region.data(), int(small_region.size())), 0);
  EXPECT_EQ(device->iso_reap(small.get(), reap_timeout_ms), 0);
  EXPECT_EQ(device->iso_release(small), 0);

  // Packets larger than the streaming setting's 3072 bytes are refused too.
  ASSERT_EQ(device->set_altinterface(stick_hw::streaming_alternate), 0);
  constexpr int oversized = packet_size + 1024;
  std::unique_ptr<usb_iso_context> big;
  ASSERT_EQ(device->iso_setup(big, stick_hw::video_endpoint, oversized), 0);
  std::vector<unsigned char> region(static_cast<size_t>(iso_region_size(packets, oversized)));
  EXPECT_EQ(device->iso_submit(big.get(), region.data(), int(region.size())), LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(device->iso_release(big), 0);

  const std::vector<stick_op> refused = ops_of(*models[0], stick_op_kind::iso_submit);
  ASSERT_EQ(refused.size(), 3u);
  for (const stick_op& op : refused) {
    EXPECT_EQ(op.index, stick_hw::video_endpoint);
    EXPECT_EQ(op.result, LIBUSB_ERROR_INVALID_PARAM);
  }
}

// A cancel that does not come back within the release's wait: release says
// so, and the transfer completes later, when the handle's events are next
// handled.
TEST_F(usbfs_iso_test, a_cancel_that_comes_back_late_is_reported) {
  stick_faults faults;
  faults.cancel_delay_ms = 2500;
  faults.stalled = true;  // nothing completes by itself: only the cancel ends it
  plug(1, faults);
  std::unique_ptr<usb_device> device = streaming_device();
  ASSERT_TRUE(device);
  std::vector<transfer> transfers = make_transfers(*device, 2);
  ASSERT_EQ(device->iso_submit(transfers[1].context.get(), transfers[1].region.data(), region_size), 0);
  EXPECT_LT(device->iso_release(transfers[1].context), 0);
  // Another transfer's wait handles the late completion; nothing breaks.
  faults.stalled = false;
  models[0]->set_faults(faults);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(device->iso_submit(transfers[0].context.get(), transfers[0].region.data(), region_size), 0);
    EXPECT_EQ(device->iso_reap(transfers[0].context.get(), reap_timeout_ms), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_EQ(device->iso_release(transfers[0].context), 0);
}

// A stream source: packet n of the stream carries n + 1 bytes of value n;
// every fifth packet is lost on the bus.
class counting_source : public iso_source {
 public:
  int fill(int count, int packet_size, unsigned char* data, int* lengths, int* statuses) override {
    int total = 0;
    for (int k = 0; k < count; ++k, ++packet_) {
      const bool lost = packet_ % 5 == 4;
      lengths[k] = lost ? 0 : std::min(packet_ + 1, packet_size);
      statuses[k] = lost ? -EPROTO : 0;
      std::memset(data + k * packet_size, packet_ & 0xFF, size_t(lengths[k]));
      total += lengths[k];
    }
    return total;
  }

 private:
  int packet_ = 0;
};

TEST_F(usbfs_iso_test, packets_from_a_stream_source_land_at_their_offsets) {
  plug();
  bus->set_iso_source(0, std::make_shared<counting_source>());
  std::unique_ptr<usb_device> device = streaming_device();
  ASSERT_TRUE(device);
  std::vector<transfer> transfers = make_transfers(*device, 2);
  for (transfer& t : transfers) ASSERT_EQ(device->iso_submit(t.context.get(), t.region.data(), region_size), 0);

  int stream_packet = 0;
  for (transfer& t : transfers) {
    int expected_total = 0;
    for (int k = 0; k < packets; ++k)
      if ((stream_packet + k) % 5 != 4) expected_total += stream_packet + k + 1;
    ASSERT_EQ(device->iso_reap(t.context.get(), reap_timeout_ms), expected_total);
    for (int k = 0; k < packets; ++k, ++stream_packet) {
      const uint32_t offset = u32_at(t.region, 4 + 12 * k);
      const uint32_t length = u32_at(t.region, 8 + 12 * k);
      const int32_t status = int32_t(u32_at(t.region, 12 + 12 * k));
      if (stream_packet % 5 == 4) {
        EXPECT_EQ(length, 0u) << "packet " << k;
        EXPECT_EQ(status, LIBUSB_TRANSFER_ERROR) << "packet " << k;
        continue;
      }
      ASSERT_EQ(length, uint32_t(stream_packet + 1));
      EXPECT_EQ(status, LIBUSB_TRANSFER_COMPLETED);
      EXPECT_EQ(t.region[offset], stream_packet & 0xFF);
      EXPECT_EQ(t.region[offset + length - 1], stream_packet & 0xFF);
      EXPECT_EQ(t.region[offset + length], 0xAB) << "packet " << k << " ran past its length";
    }
  }
}

TEST_F(usbfs_iso_test, the_model_stream_flows_once_capture_is_enabled) {
  // Unpaced: the bus never idles, so no microframe of the stream is lost
  // however slowly this test reaps.
  usbfs_stick::options unpaced;
  unpaced.paced = false;
  plug(1, {}, unpaced);
  std::unique_ptr<usb_device> device = streaming_device();
  ASSERT_TRUE(device);
  // A PAL window, 1440 bytes by 288 lines, then capture on.
  ASSERT_EQ(write_register(*device, stick_hw::reg_window_end_x_lo, 1440 & 0xFF), 0);
  ASSERT_EQ(write_register(*device, stick_hw::reg_window_end_x_hi, 1440 >> 8), 0);
  ASSERT_EQ(write_register(*device, stick_hw::reg_window_end_y_lo, 288 & 0xFF), 0);
  ASSERT_EQ(write_register(*device, stick_hw::reg_window_end_y_hi, 288 >> 8), 0);
  ASSERT_EQ(write_register(*device, stick_hw::reg_capture_control, 0x80), 0);
  std::vector<transfer> transfers = make_transfers(*device, 8);
  for (transfer& t : transfers) ASSERT_EQ(device->iso_submit(t.context.get(), t.region.data(), region_size), 0);

  // Two fields' worth of microframes: field starts are an 8-byte header
  // alone, data packets a 4-byte header whose flag follows the field's.
  int starts = 0, data_packets = 0;
  int field_flag = -1;
  for (int n = 0; n < 24; ++n) {
    transfer& t = transfers[size_t(n) % transfers.size()];
    const int received = device->iso_reap(t.context.get(), reap_timeout_ms);
    ASSERT_GE(received, 0);
    int sum = 0;
    for (int k = 0; k < packets; ++k) {
      const uint32_t offset = u32_at(t.region, 4 + 12 * k);
      const uint32_t length = u32_at(t.region, 8 + 12 * k);
      ASSERT_LE(length, uint32_t(packet_size));
      sum += int(length);
      if (length == 0) continue;
      const unsigned char first = t.region[offset];
      if (first & 0x80) {
        EXPECT_EQ(length, 8u);
        field_flag = first & 0x40;
        ++starts;
      } else if (field_flag >= 0) {
        EXPECT_GT(length, 4u);
        EXPECT_EQ(first & 0x40, field_flag);
        ++data_packets;
      }
    }
    EXPECT_EQ(received, sum);
    ASSERT_EQ(device->iso_submit(t.context.get(), t.region.data(), region_size), 0);
  }
  EXPECT_GE(starts, 2);
  EXPECT_GT(data_packets, 100);
}

TEST_F(usbfs_iso_test, stream_faults_of_the_model_reach_the_reaper) {
  stick_faults faults;
  faults.reap_error_every = 2;
  plug(1, faults);
  std::unique_ptr<usb_device> device = streaming_device();
  ASSERT_TRUE(device);
  std::vector<transfer> transfers = make_transfers(*device, 4);
  for (transfer& t : transfers) ASSERT_EQ(device->iso_submit(t.context.get(), t.region.data(), region_size), 0);
  EXPECT_EQ(device->iso_reap(transfers[0].context.get(), reap_timeout_ms), 0);
  EXPECT_EQ(device->iso_reap(transfers[1].context.get(), reap_timeout_ms), LIBUSB_ERROR_IO);
  EXPECT_EQ(device->iso_reap(transfers[2].context.get(), reap_timeout_ms), 0);
  EXPECT_EQ(device->iso_reap(transfers[3].context.get(), reap_timeout_ms), LIBUSB_ERROR_IO);

  // A stick gone silent: nothing completes, and release still returns.
  faults.reap_error_every = 0;
  faults.stalled = true;
  models[0]->set_faults(faults);
  for (transfer& t : transfers) ASSERT_EQ(device->iso_submit(t.context.get(), t.region.data(), region_size), 0);
  EXPECT_EQ(device->iso_reap(transfers[0].context.get(), 50), LIBUSB_ERROR_TIMEOUT);
  for (transfer& t : transfers) EXPECT_EQ(device->iso_release(t.context), 0);
}

// Two capture threads, one stick each, one libusb context: either thread's
// event handling may complete the other's transfers.
TEST_F(usbfs_iso_test, two_sticks_stream_from_two_threads) {
  plug(2);
  std::unique_ptr<usb_device> devices[2] = {open(0), open(1)};
  for (auto& device : devices) {
    ASSERT_TRUE(device);
    ASSERT_EQ(device->claim_interface(stick_hw::interface_number), 0);
    ASSERT_EQ(device->set_altinterface(stick_hw::streaming_alternate), 0);
  }
  std::atomic<int> failures{0};
  auto stream = [&](usb_device& device) {
    std::vector<transfer> transfers = make_transfers(device, 8);
    for (transfer& t : transfers)
      if (device.iso_submit(t.context.get(), t.region.data(), region_size) != 0) ++failures;
    for (int n = 0; n < 40; ++n) {
      transfer& t = transfers[size_t(n) % transfers.size()];
      if (device.iso_reap(t.context.get(), reap_timeout_ms) != 0 || u32_at(t.region, 0) != uint32_t(packets))
        ++failures;
      if (device.iso_submit(t.context.get(), t.region.data(), region_size) != 0) ++failures;
    }
    for (transfer& t : transfers)
      if (device.iso_release(t.context) != 0) ++failures;
  };
  std::thread first(stream, std::ref(*devices[0]));
  std::thread second(stream, std::ref(*devices[1]));
  first.join();
  second.join();
  EXPECT_EQ(failures.load(), 0);
}

class failing_source : public iso_source {
 public:
  int fill(int, int, unsigned char*, int*, int*) override { return LIBUSB_ERROR_IO; }
};

TEST_F(usbfs_iso_test, a_failing_stream_fails_the_transfer_not_the_stream) {
  plug();
  std::unique_ptr<usb_device> device = streaming_device();
  ASSERT_TRUE(device);
  std::vector<transfer> transfers = make_transfers(*device, 1);
  bus->set_iso_source(0, std::make_shared<failing_source>());
  ASSERT_EQ(device->iso_submit(transfers[0].context.get(), transfers[0].region.data(), region_size), 0);
  EXPECT_EQ(device->iso_reap(transfers[0].context.get(), reap_timeout_ms), LIBUSB_ERROR_IO);
  bus->set_iso_source(0, nullptr);
  ASSERT_EQ(device->iso_submit(transfers[0].context.get(), transfers[0].region.data(), region_size), 0);
  EXPECT_EQ(device->iso_reap(transfers[0].context.get(), reap_timeout_ms), 0);
}

TEST_F(usbfs_iso_test, unplugging_mid_stream_ends_transfers_without_hanging) {
  plug();
  std::unique_ptr<usb_device> device = streaming_device();
  ASSERT_TRUE(device);
  // 128 ms of bus time: most of it is still ahead when the stick goes.
  std::vector<transfer> transfers = make_transfers(*device, 64);
  for (transfer& t : transfers) ASSERT_EQ(device->iso_submit(t.context.get(), t.region.data(), region_size), 0);
  bus->unplug(0);
  // Transfers done before the unplug complete; from the first that was cut
  // off, every one ends with the device gone, well before the reap timeout.
  bool gone = false;
  for (size_t i = 0; i < transfers.size(); ++i) {
    const int r = device->iso_reap(transfers[i].context.get(), 10000);
    if (r == LIBUSB_ERROR_NO_DEVICE) gone = true;
    EXPECT_EQ(r, gone ? LIBUSB_ERROR_NO_DEVICE : 0) << "transfer " << i;
  }
  EXPECT_TRUE(gone);
  EXPECT_LT(device->iso_submit(transfers[0].context.get(), transfers[0].region.data(), region_size), 0);
  for (transfer& t : transfers) EXPECT_EQ(device->iso_release(t.context), 0);
}

TEST_F(usbfs_iso_test, release_after_unplug_returns) {
  plug();
  std::unique_ptr<usb_device> device = streaming_device();
  ASSERT_TRUE(device);
  std::vector<transfer> transfers = make_transfers(*device, 8);
  for (transfer& t : transfers) ASSERT_EQ(device->iso_submit(t.context.get(), t.region.data(), region_size), 0);
  models[0]->unplug();
  for (transfer& t : transfers) EXPECT_EQ(device->iso_release(t.context), 0);
}

}  // namespace
