// Finding, opening and claiming the stick through libusb, against the stick
// as a Linux desktop hands it over: configured, the kernel's video driver on
// interface 0 and its sound driver on interfaces 1 and 2.
#include <fstream>

#include "sim/in_process_backend.h"
#include "tests/usbfs/usbfs_fixture.h"

namespace {

std::string read_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// libusb on its own, as another program would use it.
struct raw_libusb {
  libusb_context* context = nullptr;
  libusb_device_handle* handle = nullptr;
  raw_libusb() {
    if (libusb_init(&context) == 0)
      handle = libusb_open_device_with_vid_pid(context, stick_hw::vendor_id, stick_hw::product_id);
  }
  ~raw_libusb() {
    if (handle) libusb_close(handle);
    if (context) libusb_exit(context);
  }
};

TEST_F(usbfs_test, discovery_lists_sticks_in_bus_order_with_their_ids_and_speed) {
  models.push_back(std::make_shared<virtual_stick>());
  auto other = std::make_shared<virtual_stick>();
  other->product = 0x0409;
  plug_state full_speed;
  full_speed.high_speed = false;
  other->plug(full_speed);
  models.push_back(other);
  plug_models();

  const std::vector<usb_device_entry> entries = backend->list_devices();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].bus, 1);
  EXPECT_EQ(entries[0].address, bus->address(0));
  EXPECT_EQ(entries[0].vendor, stick_hw::vendor_id);
  EXPECT_EQ(entries[0].product, stick_hw::product_id);
  EXPECT_EQ(entries[0].speed, LIBUSB_SPEED_HIGH);
  EXPECT_EQ(entries[1].bus, 1);
  EXPECT_EQ(entries[1].address, bus->address(1));
  EXPECT_EQ(entries[1].product, 0x0409);
  EXPECT_EQ(entries[1].speed, LIBUSB_SPEED_FULL);

  // Each entry opens its own stick.
  std::unique_ptr<usb_device> second;
  ASSERT_EQ(backend->open(entries[1], second), 0);
  ASSERT_TRUE(second);
  EXPECT_EQ(write_register(*second, 0x110, 0x5A), 0);
  EXPECT_EQ(models[1]->bridge(0x110), 0x5A);
  EXPECT_EQ(models[0]->bridge(0x110), 0x00);
}

TEST_F(usbfs_test, empty_bus_lists_nothing_and_unknown_entries_do_not_open) {
  plug(0);
  EXPECT_TRUE(backend->list_devices().empty());
  std::unique_ptr<usb_device> device;
  EXPECT_EQ(backend->open({1, 2, stick_hw::vendor_id, stick_hw::product_id, 0}, device), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_FALSE(device);
}

// The descriptors, strings and sysfs attributes are the real stick's.
TEST_F(usbfs_test, the_stick_shows_the_real_sticks_usb_face) {
  plug();
  raw_libusb usb;
  ASSERT_NE(usb.handle, nullptr);
  libusb_device* dev = libusb_get_device(usb.handle);
  libusb_device_descriptor d{};
  ASSERT_EQ(libusb_get_device_descriptor(dev, &d), 0);
  EXPECT_EQ(d.bcdUSB, 0x0200);
  EXPECT_EQ(d.bcdDevice, 0x0005);
  EXPECT_EQ(d.bMaxPacketSize0, 64);
  EXPECT_EQ(d.bNumConfigurations, 1);
  EXPECT_EQ(d.iSerialNumber, 0);
  EXPECT_EQ(libusb_get_device_speed(dev), LIBUSB_SPEED_HIGH);

  unsigned char text[128];
  ASSERT_GT(libusb_get_string_descriptor_ascii(usb.handle, d.iManufacturer, text, sizeof text), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "Syntek Semiconductor");
  ASSERT_GT(libusb_get_string_descriptor_ascii(usb.handle, d.iProduct, text, sizeof text), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "USB 2.0 Video Capture Controller");

  libusb_config_descriptor* config = nullptr;
  ASSERT_EQ(libusb_get_active_config_descriptor(dev, &config), 0);
  EXPECT_EQ(config->wTotalLength, 251);
  EXPECT_EQ(config->MaxPower, 250);  // 500 mA
  ASSERT_EQ(config->bNumInterfaces, 3);
  const libusb_interface& video = config->interface[0];
  ASSERT_EQ(video.num_altsetting, 6);
  const uint16_t iso_sizes[] = {0, 0x0300, 0x03FC, 0x0400, 0x0C00, 0x1400};
  for (int alt = 0; alt < 6; ++alt) {
    const libusb_interface_descriptor& a = video.altsetting[alt];
    EXPECT_EQ(a.bInterfaceClass, LIBUSB_CLASS_VENDOR_SPEC);
    ASSERT_EQ(a.bNumEndpoints, 2);
    EXPECT_EQ(a.endpoint[0].bEndpointAddress, 0x81);
    EXPECT_EQ(a.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_INTERRUPT);
    EXPECT_EQ(a.endpoint[0].wMaxPacketSize, alt == 0 ? 0 : 2);
    EXPECT_EQ(a.endpoint[1].bEndpointAddress, 0x82);
    EXPECT_EQ(a.endpoint[1].bmAttributes, 0x01);
    EXPECT_EQ(a.endpoint[1].wMaxPacketSize, iso_sizes[alt]) << "alternate setting " << alt;
  }
  const libusb_interface_descriptor& control = config->interface[1].altsetting[0];
  EXPECT_EQ(control.bInterfaceClass, LIBUSB_CLASS_AUDIO);
  EXPECT_EQ(control.bInterfaceSubClass, 1);
  ASSERT_GT(libusb_get_string_descriptor_ascii(usb.handle, control.iInterface, text, sizeof text), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "USB Audio Interface");
  ASSERT_EQ(config->interface[2].num_altsetting, 2);
  const libusb_interface_descriptor& pcm = config->interface[2].altsetting[1];
  EXPECT_EQ(pcm.bInterfaceSubClass, 2);
  ASSERT_EQ(pcm.bNumEndpoints, 1);
  EXPECT_EQ(pcm.endpoint[0].bEndpointAddress, 0x84);
  EXPECT_EQ(pcm.endpoint[0].wMaxPacketSize, 256);
  EXPECT_EQ(pcm.endpoint[0].bInterval, 4);
  libusb_free_config_descriptor(config);

  // What sysfs says, and every interface in its own directory.
  EXPECT_EQ(read_line(sysfs() + "/manufacturer"), "Syntek Semiconductor");
  EXPECT_EQ(read_line(sysfs() + "/product"), "USB 2.0 Video Capture Controller");
  EXPECT_EQ(read_line(sysfs() + "/idVendor"), "05e1");
  EXPECT_EQ(read_line(sysfs() + "/idProduct"), "0408");
  EXPECT_EQ(read_line(sysfs() + "/bcdDevice"), "0005");
  EXPECT_EQ(read_line(sysfs() + "/speed"), "480");
  EXPECT_EQ(read_line(sysfs() + "/bConfigurationValue"), "1");
  EXPECT_EQ(read_line(sysfs() + "/1-1:1.0/bInterfaceClass"), "ff");
  EXPECT_EQ(read_line(sysfs() + "/1-1:1.1/interface"), "USB Audio Interface");
  EXPECT_EQ(read_line(sysfs() + "/1-1:1.2/bInterfaceSubClass"), "02");

  // Held as on a desktop: the video driver and the sound driver.
  EXPECT_EQ(libusb_kernel_driver_active(usb.handle, 0), 1);
  EXPECT_EQ(libusb_kernel_driver_active(usb.handle, 1), 1);
  EXPECT_EQ(libusb_kernel_driver_active(usb.handle, 2), 1);
  EXPECT_EQ(models[0]->driver(0), "stk1160");
  EXPECT_EQ(models[0]->driver(1), "snd-usb-audio");
}

TEST_F(usbfs_test, identity_comes_from_what_the_system_says_about_the_stick) {
  auto clone = std::make_shared<virtual_stick>();
  clone->manufacturer = "  Some   Maker ";
  clone->product_name = "Video Grabber";
  models.push_back(clone);
  plug_models();
  std::unique_ptr<usb_device> device = open();
  ASSERT_TRUE(device);
  const usb_device_identity id = device->identity();
  EXPECT_EQ(id.manufacturer, "  Some   Maker ");
  EXPECT_EQ(id.product, "Video Grabber");
  EXPECT_EQ(id.sound_interface, 1);
}

// Today's program on a desktop: open, claim (the video driver steps aside),
// stream, close (it comes back). The sound driver is never disturbed.
TEST_F(usbfs_test, the_plugged_in_stick_is_claimed_without_configuring_and_given_back) {
  plug();
  std::unique_ptr<usb_device> device = open();
  ASSERT_TRUE(device);
  EXPECT_EQ(device->get_configuration(), stick_hw::configuration);
  EXPECT_EQ(device->claim_interface(stick_hw::interface_number), 0);
  EXPECT_EQ(device->set_altinterface(stick_hw::streaming_alternate), 0);

  const virtual_stick& stick = *models[0];
  EXPECT_TRUE(stick.claimed());
  EXPECT_EQ(stick.driver(0), "usbfs");
  EXPECT_EQ(stick.alternate(), stick_hw::streaming_alternate);
  const std::vector<stick_op> log = stick.log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0], (stick_op{stick_op_kind::open, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(log[1], (stick_op{stick_op_kind::detach_kernel_driver, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(log[2], (stick_op{stick_op_kind::claim_interface, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(log[3], (stick_op{stick_op_kind::set_alternate, 0, 0, 5, 0, 0, 0}));

  // Closing hands the interface back to the video driver, on setting 0.
  device.reset();
  EXPECT_FALSE(stick.claimed());
  EXPECT_EQ(stick.driver(0), "stk1160");
  EXPECT_EQ(stick.alternate(), 0);
  EXPECT_TRUE(ops_of(stick, stick_op_kind::set_configuration).empty());
  for (const stick_op& op : stick.log()) EXPECT_FALSE(touches_sound_interfaces(op)) << int(op.kind);
  EXPECT_EQ(stick.driver(1), "snd-usb-audio");
  EXPECT_EQ(stick.driver(2), "snd-usb-audio");
}

// The kernel refuses set-configuration while any driver holds any
// interface: the old sequence (set the video driver aside, then configure)
// fails on every desktop, where the sound driver holds interfaces 1 and 2.
TEST_F(usbfs_test, set_configuration_is_refused_while_any_interface_is_held) {
  plug();
  {
    raw_libusb usb;
    ASSERT_NE(usb.handle, nullptr);
    ASSERT_EQ(libusb_detach_kernel_driver(usb.handle, 0), 0);
    EXPECT_EQ(libusb_set_configuration(usb.handle, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(models[0]->driver(1), "snd-usb-audio");
    // Our own claim counts too.
    ASSERT_EQ(libusb_claim_interface(usb.handle, 0), 0);
    EXPECT_EQ(libusb_set_configuration(usb.handle, 1), LIBUSB_ERROR_BUSY);
    ASSERT_EQ(libusb_release_interface(usb.handle, 0), 0);
  }
  TearDown();
  models.clear();

  // Without the sound driver and with the video driver set aside, it goes
  // through: the same configuration again resets every interface to
  // setting 0.
  plug_state no_sound;
  no_sound.sound_driver = false;
  plug(1, {}, {}, no_sound);
  raw_libusb usb;
  ASSERT_NE(usb.handle, nullptr);
  ASSERT_EQ(libusb_detach_kernel_driver(usb.handle, 0), 0);
  ASSERT_EQ(libusb_claim_interface(usb.handle, 0), 0);
  ASSERT_EQ(libusb_set_interface_alt_setting(usb.handle, 0, 3), 0);
  ASSERT_EQ(libusb_release_interface(usb.handle, 0), 0);
  EXPECT_EQ(libusb_set_configuration(usb.handle, 1), 0);
  EXPECT_EQ(models[0]->alternate(), 0);
}

TEST_F(usbfs_test, an_unconfigured_stick_is_configured_and_its_drivers_bind) {
  plug_state unconfigured;
  unconfigured.configuration = 0;
  plug(1, {}, {}, unconfigured);
  std::unique_ptr<usb_device> device = open();
  ASSERT_TRUE(device);
  EXPECT_EQ(device->get_configuration(), 0);
  EXPECT_TRUE(models[0]->driver(0).empty());
  ASSERT_EQ(device->set_configuration(stick_hw::configuration), 0);
  EXPECT_EQ(device->get_configuration(), stick_hw::configuration);
  EXPECT_EQ(models[0]->driver(1), "snd-usb-audio");
  EXPECT_EQ(device->claim_interface(stick_hw::interface_number), 0);
  EXPECT_EQ(models[0]->driver(0), "usbfs");
}

TEST_F(usbfs_test, another_programs_claim_keeps_the_interface_busy) {
  plug_state busy;
  busy.video_claimed_elsewhere = true;
  plug(1, {}, {}, busy);
  std::unique_ptr<usb_device> device = open();
  ASSERT_TRUE(device);
  EXPECT_EQ(device->claim_interface(stick_hw::interface_number), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(models[0]->driver(0), "usbfs");
  EXPECT_TRUE(ops_of(*models[0], stick_op_kind::detach_kernel_driver).empty())
      << "another program's claim must not be broken";
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
  EXPECT_LT(device->claim_interface(stick_hw::interface_number), 0);
  unsigned char value = 0;
  EXPECT_LT(read_register(*device, 0x000, value), 0);
  const std::vector<stick_op> opens = ops_of(*models[0], stick_op_kind::open);
  ASSERT_FALSE(opens.empty());
  EXPECT_EQ(opens[0].result, LIBUSB_ERROR_ACCESS);
  EXPECT_FALSE(models[0]->claimed());
  EXPECT_TRUE(ops_of(*models[0], stick_op_kind::control).empty());
}

TEST_F(usbfs_test, refusals_come_back_as_negative_results) {
  {
    stick_faults faults;
    faults.refuse_configuration = true;
    plug_state unconfigured;
    unconfigured.configuration = 0;
    plug(1, faults, {}, unconfigured);
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
    const int r = device->claim_interface(stick_hw::interface_number);
    EXPECT_LT(r, 0);
    EXPECT_NE(r, LIBUSB_ERROR_BUSY);
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
  TearDown();
  models.clear();
  {
    // On a full-speed port there is no bandwidth for the streaming setting.
    plug_state full_speed;
    full_speed.high_speed = false;
    plug(1, {}, {}, full_speed);
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
