// Device discovery and the bridge's register protocol, against the virtual
// stick behind the in-process seam: the link to the stick directly, and
// what the capture thread tells when it finds none it can use.
#include <gtest/gtest.h>
#include <libusb.h>

#include <QSignalSpy>

#include "capture/capture_thread.h"
#include "capture/stick_link.h"
#include "sim/in_process_backend.h"
#include "tests/support/message_log.h"
#include "tests/support/stick_fixture.h"

namespace {

std::vector<stick_op> of_kind(const std::vector<stick_op>& log, stick_op_kind kind) {
  std::vector<stick_op> out;
  for (const auto& op : log)
    if (op.kind == kind) out.push_back(op);
  return out;
}

stick_op control(int type, int request, int value, int index, int length, int result) {
  return {stick_op_kind::control, type, request, value, index, length, result};
}

struct opened_stick : opened_stick_fixture {
  stick_op last_control() { return of_kind(stick->log(), stick_op_kind::control).back(); }
};

TEST_F(opened_stick, control_requests_carry_the_bridge_fields) {
  EXPECT_TRUE(link.write_register(0x500, 0x94));
  EXPECT_EQ(last_control(), control(0x40, 0x01, 0x94, 0x500, 0, 0));
  EXPECT_EQ(stick->bridge(0x500), 0x94);

  EXPECT_EQ(link.read_register(0x500), 0x94);
  EXPECT_EQ(last_control(), control(0xC0, 0x00, 0, 0x500, 1, 1));

  EXPECT_TRUE(link.set_feature(0x0001));
  EXPECT_EQ(last_control(), control(0x00, 0x03, 0x0001, 0, 0, 0));
  EXPECT_TRUE(messages.messages().isEmpty());
}

TEST_F(opened_stick, sixteen_bit_values_go_out_unchanged) {
  link.write_register(0x114, 0x05A0);
  EXPECT_EQ(last_control().value, 0x05A0);
  EXPECT_EQ(stick->bridge(0x114), 0xA0);  // the register keeps its low byte
  link.write_register(0x116, 0x121);
  EXPECT_EQ(last_control().value, 0x121);
  EXPECT_EQ(stick->bridge(0x116), 0x21);
}

TEST_F(opened_stick, decoder_write_goes_over_the_serial_bus) {
  link.write_register(0x203, 0x4A);
  stick->clear_log();
  link.write_decoder_register(0x0A, 0x7F);
  const std::vector<stick_op> expected{
      control(0x40, 0x01, 0x0A, 0x204, 0, 0),
      control(0x40, 0x01, 0x7F, 0x205, 0, 0),
      control(0x40, 0x01, 0x01, 0x200, 0, 0),
      control(0xC0, 0x00, 0, 0x201, 1, 1),
  };
  EXPECT_EQ(of_kind(stick->log(), stick_op_kind::control), expected);
  EXPECT_EQ(stick->decoder(0x0A), 0x7F);
  EXPECT_TRUE(messages.messages().isEmpty()) << messages.messages().join("\n").toStdString();
}

TEST_F(opened_stick, serial_status_other_than_done_is_a_failed_decoder_write) {
  link.write_register(0x203, 0x4A);
  for (int status : {0x05, 0x0C, 0x00}) {
    stick_faults f;
    f.serial_status = status;
    stick->set_faults(f);
    messages.clear();
    link.write_decoder_register(0x01, 0x08);
    EXPECT_EQ(messages.messages().size(), 1) << messages.messages().join("\n").toStdString();
    EXPECT_TRUE(messages.contains(capture_category,
                                  QString("capture: writing decoder register 0x01 failed: the bridge's serial bus "
                                          "shows status 0x%1,")
                                      .arg(status, 2, 16, QLatin1Char('0'))))
        << messages.messages().join("\n").toStdString();
  }
  // Nobody at the address: the bridge shows no acknowledge.
  stick->set_faults({});
  link.write_register(0x203, 0xA0);
  messages.clear();
  link.write_decoder_register(0x01, 0x08);
  EXPECT_TRUE(messages.contains(capture_category, "capture: writing decoder register 0x01 failed"));
}

TEST_F(opened_stick, failed_transfers_are_logged_and_not_retried) {
  stick_faults f;
  f.control_results[0x201] = 0;                  // no byte came back
  f.control_results[0x300] = LIBUSB_ERROR_PIPE;  // stall
  f.control_results[0x301] = LIBUSB_ERROR_TIMEOUT;
  stick->set_faults(f);

  link.read_register(0x201);
  EXPECT_EQ(messages.messages().size(), 1);
  EXPECT_TRUE(messages.contains(capture_category, "capture: reading bridge register 0x0201 failed (0 bytes came back)"))
      << messages.messages().join("\n").toStdString();
  messages.clear();
  EXPECT_FALSE(link.write_register(0x300, 0x12));
  EXPECT_FALSE(link.write_register(0x301, 0x12));
  EXPECT_EQ(messages.messages().size(), 2);
  EXPECT_TRUE(messages.contains(capture_category,
                                "capture: writing bridge register 0x0300 failed (libusb: LIBUSB_ERROR_PIPE)"));
  EXPECT_TRUE(messages.contains(capture_category,
                                "capture: writing bridge register 0x0301 failed (libusb: LIBUSB_ERROR_TIMEOUT)"))
      << messages.messages().join("\n").toStdString();
  EXPECT_EQ(of_kind(stick->log(), stick_op_kind::control).size(), 3u);  // one attempt each

  stick->unplug();
  messages.clear();
  EXPECT_FALSE(link.set_feature(1));
  EXPECT_EQ(messages.messages().size(), 1);
  EXPECT_TRUE(messages.contains(
      capture_category, "capture: setting USB feature 0x0001 on the bridge failed (libusb: LIBUSB_ERROR_NO_DEVICE)"))
      << messages.messages().join("\n").toStdString();
}

TEST_F(opened_stick, codec_registers_go_through_the_ac97_path) {
  link.write_codec_register(0x1C, 0x0505);
  const std::vector<stick_op> expected{
      control(0x40, 0x01, 0x1C, 0x504, 0, 0),
      control(0x40, 0x01, 0x05, 0x502, 0, 0),
      control(0x40, 0x01, 0x05, 0x503, 0, 0),
      control(0x40, 0x01, 0x8C, 0x500, 0, 0),
  };
  EXPECT_EQ(of_kind(stick->log(), stick_op_kind::control), expected);
  EXPECT_EQ(stick->codec(0x1C), 0x0505);

  stick->clear_log();
  link.write_codec_register(0x7C, 0x5A12);
  EXPECT_EQ(link.read_codec_register(0x7C), 0x5A12);
  const auto reads = of_kind(stick->log(), stick_op_kind::control);
  ASSERT_EQ(reads.size(), 8u);
  EXPECT_EQ(reads[4], control(0x40, 0x01, 0x7C, 0x504, 0, 0));
  EXPECT_EQ(reads[5], control(0x40, 0x01, 0x8B, 0x500, 0, 0));
  EXPECT_EQ(reads[6], control(0xC0, 0x00, 0, 0x502, 1, 1));
  EXPECT_EQ(reads[7], control(0xC0, 0x00, 0, 0x503, 1, 1));
}

// ---- discovery ----------------------------------------------------------------

struct discovery : ::testing::Test {
  in_process_backend backend;
  stick_link link{&backend};
};

// A capture thread started with no stick it can use tells why and ends.
struct told_at_start {
  int not_found = 0;
  int slow_port = 0;
  QList<QList<QVariant>> unusable;
};
told_at_start start_without_a_usable_stick(usb_backend& backend) {
  capture_thread thread;
  thread.set_usb_backend(&backend);
  QSignalSpy not_found(&thread, &capture_thread::capture_device_not_found);
  QSignalSpy slow_port(&thread, &capture_thread::capture_device_not_usb_2_0);
  QSignalSpy unusable(&thread, &capture_thread::capture_device_unusable);
  thread.start_capture();
  EXPECT_TRUE(thread.wait(10000));
  return {int(not_found.count()), int(slow_port.count()), unusable};
}

TEST_F(discovery, nothing_usable_on_the_bus_is_not_found) {
  backend.set_no_bus(true);
  EXPECT_FALSE(link.claim().claimed);
  EXPECT_EQ(start_without_a_usable_stick(backend).not_found, 1);

  backend.set_no_bus(false);
  EXPECT_FALSE(link.claim().claimed);  // empty bus
  EXPECT_EQ(start_without_a_usable_stick(backend).not_found, 1);

  auto other = std::make_shared<virtual_stick>();
  other->product = 0x0409;
  backend.add(other);
  EXPECT_FALSE(link.claim().claimed);
  EXPECT_EQ(start_without_a_usable_stick(backend).not_found, 1);
  EXPECT_TRUE(other->log().empty()) << "a device of another kind must not be touched";
  EXPECT_FALSE(link.is_open());
}

// A stick that is there but cannot be used is told apart from no stick.
TEST_F(discovery, a_present_stick_that_cannot_be_used_says_why) {
  using problem = capture_thread::device_problem;
  struct case_t {
    const char* name;
    plug_state state;
    stick_faults faults;
    int expected;  // -1 not found, -2 not USB 2.0, else the problem
  };
  plug_state no_access, busy, full_speed, unconfigured;
  no_access.no_permission = true;
  busy.video_claimed_elsewhere = true;
  full_speed.high_speed = false;
  unconfigured.configuration = 0;
  stick_faults refuse_configuration, refuse_interface;
  refuse_configuration.refuse_configuration = true;
  refuse_interface.refuse_interface = true;
  const case_t cases[] = {
      {"no permission", no_access, {}, int(problem::no_permission)},
      {"in use", busy, {}, int(problem::in_use)},
      {"full speed", full_speed, {}, -2},
      {"configuration", unconfigured, refuse_configuration, int(problem::configuration_refused)},
      {"interface", {}, refuse_interface, int(problem::interface_refused)},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.name);
    backend.clear();
    auto stick = std::make_shared<virtual_stick>();
    stick->plug(c.state);
    stick->set_faults(c.faults);
    backend.add(stick);
    const told_at_start told = start_without_a_usable_stick(backend);
    EXPECT_EQ(told.not_found, c.expected == -1 ? 1 : 0);
    EXPECT_EQ(told.slow_port, c.expected == -2 ? 1 : 0);
    ASSERT_EQ(told.unusable.count(), c.expected >= 0 ? 1 : 0);
    if (c.expected >= 0) {
      EXPECT_EQ(int(told.unusable[0][0].value<problem>()), c.expected);
    }
  }
}

// Set-configuration is only sent to a stick that is not configured yet: a
// desktop's stick is, and its sound driver would make the kernel refuse it.
TEST_F(discovery, only_an_unconfigured_stick_is_configured) {
  auto configured = std::make_shared<virtual_stick>();
  backend.add(configured);
  ASSERT_TRUE(link.claim().claimed);
  EXPECT_TRUE(of_kind(configured->log(), stick_op_kind::set_configuration).empty());
  EXPECT_TRUE(configured->claimed());

  backend.clear();
  auto fresh_stick = std::make_shared<virtual_stick>();
  plug_state unconfigured;
  unconfigured.configuration = 0;
  fresh_stick->plug(unconfigured);
  backend.add(fresh_stick);
  stick_link other(&backend);
  ASSERT_TRUE(other.claim().claimed);
  const auto configure = of_kind(fresh_stick->log(), stick_op_kind::set_configuration);
  ASSERT_EQ(configure.size(), 1u);
  EXPECT_EQ(configure[0].value, 1);
  EXPECT_EQ(configure[0].result, 0);
  EXPECT_TRUE(fresh_stick->claimed());
}

TEST_F(discovery, two_sticks_are_both_opened_and_the_last_is_kept) {
  auto first = std::make_shared<virtual_stick>();
  auto second = std::make_shared<virtual_stick>();
  backend.add(first);
  backend.add(second);
  // Claimed: nothing is told.
  ASSERT_TRUE(link.claim().claimed);
  for (auto& s : {first, second}) EXPECT_EQ(of_kind(s->log(), stick_op_kind::claim_interface).size(), 1u);
  // The one not kept is handed back to its video driver.
  EXPECT_FALSE(first->claimed());
  EXPECT_EQ(first->driver(0), stick_hw::video_driver_name);
  EXPECT_TRUE(second->claimed());
  link.write_register(0x500, 0x94);
  EXPECT_EQ(second->bridge(0x500), 0x94);
  EXPECT_EQ(first->bridge(0x500), 0x00);
}

TEST_F(discovery, a_stick_that_refuses_does_not_replace_one_that_was_claimed) {
  auto good = std::make_shared<virtual_stick>();
  auto refusing = std::make_shared<virtual_stick>();
  stick_faults f;
  f.refuse_interface = true;
  refusing->set_faults(f);
  backend.add(good);
  backend.add(refusing);
  // Claimed: nothing is told.
  ASSERT_TRUE(link.claim().claimed);
  link.write_register(0x500, 0x94);
  EXPECT_EQ(good->bridge(0x500), 0x94);

  // And the other way round: the refusing one first, the good one kept.
  backend.clear();
  auto good2 = std::make_shared<virtual_stick>();
  auto refusing2 = std::make_shared<virtual_stick>();
  refusing2->set_faults(f);
  backend.add(refusing2);
  backend.add(good2);
  stick_link other(&backend);
  ASSERT_TRUE(other.claim().claimed);
  other.write_register(0x500, 0x94);
  EXPECT_EQ(good2->bridge(0x500), 0x94);
}

}  // namespace
