// Finding, opening, configuring and claiming the stick through libusb.
#include "sim/in_process_backend.h"
#include "tests/usbfs/usbfs_fixture.h"

namespace {

TEST_F(usbfs_test, discovery_lists_sticks_in_bus_order_with_their_ids) {
  models.push_back(std::make_shared<virtual_stick>());
  auto other = std::make_shared<virtual_stick>();
  other->product = 0x0409;
  models.push_back(other);
  plug_models();

  const std::vector<usb_device_entry> entries = backend->list_devices();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].bus, 1);
  EXPECT_EQ(entries[0].address, bus->address(0));
  EXPECT_EQ(entries[0].vendor, stick_hw::vendor_id);
  EXPECT_EQ(entries[0].product, stick_hw::product_id);
  EXPECT_EQ(entries[1].bus, 1);
  EXPECT_EQ(entries[1].address, bus->address(1));
  EXPECT_EQ(entries[1].product, 0x0409);

  // Each entry opens its own stick.
  std::unique_ptr<usb_device> second = backend->open(entries[1]);
  ASSERT_TRUE(second);
  EXPECT_EQ(write_register(*second, 0x110, 0x5A), 0);
  EXPECT_EQ(models[1]->bridge(0x110), 0x5A);
  EXPECT_EQ(models[0]->bridge(0x110), 0x00);
}

TEST_F(usbfs_test, empty_bus_lists_nothing_and_unknown_entries_do_not_open) {
  plug(0);
  EXPECT_TRUE(backend->list_devices().empty());
  EXPECT_FALSE(backend->open({1, 2, stick_hw::vendor_id, stick_hw::product_id}));
}

TEST_F(usbfs_test, open_configure_and_claim_reach_the_stick) {
  plug();
  std::unique_ptr<usb_device> device = open();
  ASSERT_TRUE(device);
  EXPECT_EQ(device->set_configuration(stick_hw::configuration), 0);
  EXPECT_EQ(device->claim_interface(stick_hw::interface_number), 0);
  EXPECT_EQ(device->set_altinterface(stick_hw::streaming_alternate), 0);

  const virtual_stick& stick = *models[0];
  EXPECT_EQ(stick.configuration(), stick_hw::configuration);
  EXPECT_TRUE(stick.claimed());
  EXPECT_EQ(stick.alternate(), stick_hw::streaming_alternate);
  const std::vector<stick_op> log = stick.log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0], (stick_op{stick_op_kind::open, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(log[1], (stick_op{stick_op_kind::set_configuration, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(log[2], (stick_op{stick_op_kind::claim_interface, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(log[3], (stick_op{stick_op_kind::set_alternate, 0, 0, 5, 0, 0, 0}));

  // Closing hands the interface back.
  device.reset();
  EXPECT_FALSE(stick.claimed());
}

// The node itself opens (root is never refused), but the stick answers
// nothing: every request fails.
TEST_F(usbfs_test, a_stick_that_refuses_the_open_fails_every_request) {
  stick_faults faults;
  faults.fail_open = true;
  plug(1, faults);
  ASSERT_EQ(backend->list_devices().size(), 1u);
  std::unique_ptr<usb_device> device = open();
  ASSERT_TRUE(device);
  EXPECT_LT(device->set_configuration(stick_hw::configuration), 0);
  unsigned char value = 0;
  EXPECT_LT(read_register(*device, 0x000, value), 0);
  const std::vector<stick_op> opens = ops_of(*models[0], stick_op_kind::open);
  ASSERT_FALSE(opens.empty());
  EXPECT_EQ(opens[0].result, LIBUSB_ERROR_ACCESS);
  EXPECT_EQ(models[0]->configuration(), 0);
  EXPECT_TRUE(ops_of(*models[0], stick_op_kind::control).empty());
}

TEST_F(usbfs_test, bound_kernel_driver_is_detached_before_configuring) {
  stick_faults faults;
  faults.kernel_driver_bound = true;
  plug(1, faults);
  const virtual_stick& stick = *models[0];

  std::unique_ptr<usb_device> device = open();
  ASSERT_TRUE(device);
  ASSERT_TRUE(stick.kernel_driver_active(0));
  EXPECT_EQ(device->set_configuration(stick_hw::configuration), 0);
  EXPECT_FALSE(stick.kernel_driver_active(0));
  EXPECT_EQ(device->claim_interface(stick_hw::interface_number), 0);
  EXPECT_FALSE(stick.kernel_driver_active(0));
  EXPECT_TRUE(stick.claimed());

  const std::vector<stick_op> log = stick.log();
  const auto detach = std::find_if(log.begin(), log.end(),
                                   [](const stick_op& op) { return op.kind == stick_op_kind::detach_kernel_driver; });
  const auto configure = std::find_if(log.begin(), log.end(),
                                      [](const stick_op& op) { return op.kind == stick_op_kind::set_configuration; });
  ASSERT_NE(detach, log.end());
  ASSERT_NE(configure, log.end());
  EXPECT_LT(detach - log.begin(), configure - log.begin());
  EXPECT_EQ(detach->result, 0);
  EXPECT_EQ(configure->result, 0);
}

// Why the backend detaches by itself: libusb's auto-detach covers claiming
// only, and the bound driver keeps the configuration busy.
TEST_F(usbfs_test, auto_detach_alone_leaves_set_configuration_busy) {
  stick_faults faults;
  faults.kernel_driver_bound = true;
  plug(1, faults);
  libusb_context* ctx = nullptr;
  ASSERT_EQ(libusb_init(&ctx), 0);
  libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, stick_hw::vendor_id, stick_hw::product_id);
  ASSERT_NE(h, nullptr);
  libusb_set_auto_detach_kernel_driver(h, 1);
  EXPECT_EQ(libusb_kernel_driver_active(h, 0), 1);
  EXPECT_EQ(libusb_set_configuration(h, 1), LIBUSB_ERROR_BUSY);
  EXPECT_TRUE(models[0]->kernel_driver_active(0));
  libusb_close(h);
  libusb_exit(ctx);
}

TEST_F(usbfs_test, refusals_come_back_as_negative_results) {
  {
    stick_faults faults;
    faults.refuse_configuration = true;
    plug(1, faults);
    std::unique_ptr<usb_device> device = open();
    ASSERT_TRUE(device);
    EXPECT_LT(device->set_configuration(stick_hw::configuration), 0);
    EXPECT_EQ(models[0]->configuration(), 0);
    // Not configured: there is no interface to claim.
    EXPECT_LT(device->claim_interface(stick_hw::interface_number), 0);
  }
  TearDown();
  models.clear();
  {
    stick_faults faults;
    faults.refuse_interface = true;
    plug(1, faults);
    std::unique_ptr<usb_device> device = open();
    ASSERT_TRUE(device);
    EXPECT_EQ(device->set_configuration(stick_hw::configuration), 0);
    EXPECT_EQ(device->claim_interface(stick_hw::interface_number), LIBUSB_ERROR_BUSY);
    EXPECT_FALSE(models[0]->claimed());
  }
  TearDown();
  models.clear();
  {
    stick_faults faults;
    faults.refuse_alternate = true;
    plug(1, faults);
    std::unique_ptr<usb_device> device = open_claimed();
    ASSERT_TRUE(device);
    EXPECT_LT(device->set_altinterface(stick_hw::streaming_alternate), 0);
    EXPECT_EQ(models[0]->alternate(), 0);
  }
}

TEST_F(usbfs_test, an_alternate_setting_the_stick_does_not_have_is_refused) {
  plug();
  std::unique_ptr<usb_device> device = open_claimed();
  ASSERT_TRUE(device);
  EXPECT_LT(device->set_altinterface(stick_hw::alternate_settings), 0);
  EXPECT_EQ(models[0]->alternate(), 0);
}

}  // namespace

namespace {

TEST(default_usb_backend_test, starts_as_libusb_and_tests_can_plug_in_another) {
  usb_backend* original = default_usb_backend();
  ASSERT_NE(original, nullptr);
  EXPECT_NE(dynamic_cast<libusb_backend*>(original), nullptr);
  EXPECT_EQ(default_usb_backend(), original);

  in_process_backend in_process;
  set_default_usb_backend(&in_process);
  EXPECT_EQ(default_usb_backend(), &in_process);
  // Clearing it brings back the process's libusb backend.
  set_default_usb_backend(nullptr);
  EXPECT_EQ(default_usb_backend(), original);
}

}  // namespace
