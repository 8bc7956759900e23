// The emulator program end to end: it runs this test binary in a child mode
// that drives the stick with the libusb backend, as the real program would.
// Also the test main, which re-runs itself under the umockdev preload
// library when started without it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/usbfs/usbfs_fixture.h"

extern char** environ;

namespace {

constexpr char child_flag[] = "--usbfs-child";

std::string self_path() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  path[n] = 0;
  return path;
}

// Runs the emulator with the given arguments; returns its pid.
pid_t start_emulator(const std::vector<std::string>& args) {
  std::vector<std::string> all = {OSTREVIN_VIRTUAL_STICK_PROGRAM};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

int exit_code_of(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

int run_emulator(const std::vector<std::string>& args) {
  const pid_t pid = start_emulator(args);
  return pid < 0 ? -1 : exit_code_of(pid);
}

std::vector<std::string> lines_of(const std::string& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class emulator_test : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/ostrevin-emulator-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    work = dir;
  }
  void TearDown() override {
    for (const char* name : {"/ops.txt", "/ready"}) unlink((work + name).c_str());
    rmdir(work.c_str());
  }
  std::vector<std::string> command(const std::string& mode) { return {"--", self_path(), child_flag, mode}; }
  std::string work;
};

TEST_F(emulator_test, a_program_under_the_emulator_programs_the_stick) {
  std::vector<std::string> args = {"--log=" + work + "/ops.txt"};
  for (const std::string& a : command("write-register")) args.push_back(a);
  ASSERT_EQ(run_emulator(args), 0);

  const std::vector<std::string> lines = lines_of(work + "/ops.txt");
  // The stick as a desktop hands it over: the claim sets the video driver
  // aside, the release gives it back; nothing configures it.
  const std::vector<std::string> expected = {
      "open -> 0",
      "detach_kernel_driver 0 -> 0",
      "claim_interface 0 -> 0",
      "control 0x40 0x01 0x0094 0x0500 0 -> 0",
      "control 0xc0 0x00 0x0000 0x0500 1 -> 1",
      "control 0x40 0x01 0x004a 0x0203 0 -> 0",
      "control 0x40 0x01 0x0001 0x0204 0 -> 0",
      "control 0x40 0x01 0x0008 0x0205 0 -> 0",
      // The transaction is logged as the decoder sees it, then the write
      // that started it.
      "decoder_write 0x01 <- 0x08 status 0x04",
      "control 0x40 0x01 0x0001 0x0200 0 -> 0",
      "control 0xc0 0x00 0x0000 0x0201 1 -> 1",
      "release_interface 0 -> 0",
      "attach_kernel_driver 0 -> 1",
  };
  EXPECT_EQ(lines, expected);
}

TEST_F(emulator_test, options_shape_the_bus_the_program_sees) {
  EXPECT_EQ(run_emulator({"--two-devices", "--", self_path(), child_flag, "count-sticks"}), 2);
  EXPECT_EQ(run_emulator({"--no-device", "--", self_path(), child_flag, "count-sticks"}), 0);
  EXPECT_EQ(run_emulator({"--", self_path(), child_flag, "speed"}), LIBUSB_SPEED_HIGH);
  EXPECT_EQ(run_emulator({"--full-speed", "--", self_path(), child_flag, "speed"}), LIBUSB_SPEED_FULL);

  // Without the video driver nothing is set aside; an unconfigured stick is
  // configured first.
  std::vector<std::string> args = {"--no-video-driver", "--log=" + work + "/ops.txt"};
  for (const std::string& a : command("write-register")) args.push_back(a);
  ASSERT_EQ(run_emulator(args), 0);
  std::vector<std::string> lines = lines_of(work + "/ops.txt");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "claim_interface 0 -> 0");
  args[0] = "--unconfigured";
  ASSERT_EQ(run_emulator(args), 0);
  lines = lines_of(work + "/ops.txt");
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], "set_configuration 1 -> 0");
  EXPECT_EQ(lines[2], "detach_kernel_driver 0 -> 0");

  // The program cannot open a node closed to it (as root too), nor claim an
  // interface another program holds (step 3 of write-register).
  EXPECT_EQ(run_emulator({"--no-permission", "--", self_path(), child_flag, "open"}), 100 - LIBUSB_ERROR_ACCESS);
  EXPECT_EQ(run_emulator({"--", self_path(), child_flag, "open"}), 0);
  EXPECT_EQ(run_emulator({"--interface-busy", "--", self_path(), child_flag, "write-register"}), 13);

  // Faults reach the program: the register write fails (step 4 of
  // write-register), the decoder write reports no acknowledge (step 10).
  EXPECT_EQ(run_emulator({"--fail-register=0x500:PIPE", "--serial-status=0x0c", "--", self_path(), child_flag,
                          "write-register"}),
            14);
  EXPECT_EQ(run_emulator({"--serial-status=12", "--", self_path(), child_flag, "write-register"}), 20);
}

TEST_F(emulator_test, exit_status_follows_the_program) {
  EXPECT_EQ(run_emulator({"--", self_path(), child_flag, "exit", "7"}), 7);
  EXPECT_EQ(run_emulator({"/nonexistent/program"}), 127);
  EXPECT_EQ(run_emulator({"--no-such-option", "true"}), 2);
  EXPECT_EQ(run_emulator({"--fail-register=0x500", "true"}), 2);
  EXPECT_EQ(run_emulator({"--no-signal=5", "true"}), 2);
  EXPECT_EQ(run_emulator({"--no-signal=0:36000", "true"}), 0);  // hours long, ended with the program
  EXPECT_EQ(run_emulator({}), 2);
}

TEST_F(emulator_test, termination_is_forwarded_to_the_program) {
  const std::string ready = work + "/ready";
  const pid_t pid = start_emulator({"--", self_path(), child_flag, "wait", ready});
  ASSERT_GT(pid, 0);
  bool started = false;
  for (int i = 0; i < 500 && !started; ++i) {
    started = access(ready.c_str(), F_OK) == 0;
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(started);
  kill(pid, SIGTERM);
  EXPECT_EQ(exit_code_of(pid), 128 + SIGTERM);
}

TEST_F(emulator_test, unplug_after_pulls_the_stick_from_the_running_program) {
  EXPECT_EQ(run_emulator({"--unplug-after=0.5", "--", self_path(), child_flag, "until-unplugged"}), 0);
}

// --- child modes: run by the emulator, with the preload and UMOCKDEV_DIR.

int count_sticks() {
  libusb_backend backend;
  int n = 0;
  for (const usb_device_entry& e : backend.list_devices())
    if (e.vendor == stick_hw::vendor_id && e.product == stick_hw::product_id) ++n;
  return n;
}

int speed_child() {
  libusb_backend backend;
  const std::vector<usb_device_entry> entries = backend.list_devices();
  return entries.empty() ? 99 : entries[0].speed;
}

// 0 when the first stick opens, else 100 + the libusb error's magnitude.
int open_child() {
  libusb_backend backend;
  const std::vector<usb_device_entry> entries = backend.list_devices();
  if (entries.empty()) return 99;
  std::unique_ptr<usb_device> device;
  const int r = backend.open(entries[0], device);
  return r == 0 ? 0 : 100 - r;
}

// The capture code's first steps; exits with 10 + the step that failed.
int write_register_child() {
  libusb_backend backend;
  const std::vector<usb_device_entry> entries = backend.list_devices();
  if (entries.empty()) return 10;
  std::unique_ptr<usb_device> device;
  if (backend.open(entries[0], device) != 0) return 11;
  if (device->get_configuration() != stick_hw::configuration && device->set_configuration(stick_hw::configuration) != 0)
    return 12;
  if (device->claim_interface(stick_hw::interface_number) != 0) return 13;
  if (write_register(*device, 0x500, 0x0094) != 0) return 14;
  unsigned char value = 0;
  if (read_register(*device, 0x500, value) != 1 || value != 0x94) return 15;
  if (write_register(*device, stick_hw::reg_serial_address, stick_hw::decoder_address) != 0) return 16;
  if (write_register(*device, stick_hw::reg_serial_subaddress, 0x01) != 0) return 17;
  if (write_register(*device, stick_hw::reg_serial_data, 0x08) != 0) return 18;
  if (write_register(*device, stick_hw::reg_serial_control, stick_hw::serial_start_write) != 0) return 19;
  if (read_register(*device, stick_hw::reg_serial_status, value) != 1 || value != stick_hw::serial_done) return 20;
  return 0;
}

int wait_child(const char* ready) {
  const int fd = ::open(ready, O_CREAT | O_WRONLY, 0644);
  if (fd < 0) return 1;
  close(fd);
  for (;;) pause();
}

// Streams until the stick goes. 0 when it ended with NO_DEVICE, wherever
// the unplug caught the program (a slow start may meet it while setting up).
int until_unplugged_child() {
  libusb_backend backend;
  const std::vector<usb_device_entry> entries = backend.list_devices();
  if (entries.empty()) return 10;
  std::unique_ptr<usb_device> device;
  if (backend.open(entries[0], device) != 0) return 11;
  const auto ended = [](int r) { return r == LIBUSB_ERROR_NO_DEVICE ? 0 : 12; };
  int r = 0;
  if ((r = device->claim_interface(0)) != 0) return ended(r);
  if ((r = device->set_altinterface(stick_hw::streaming_alternate)) != 0) return ended(r);
  constexpr int packets = libusb_backend::iso_packets;
  const int size = iso_region_size(packets, stick_hw::iso_packet_size);
  std::vector<unsigned char> region(static_cast<size_t>(size));
  std::unique_ptr<usb_iso_context> context;
  if (device->iso_setup(context, stick_hw::video_endpoint, stick_hw::iso_packet_size) != 0) return 13;
  for (int i = 0; i < 100000; ++i) {
    r = device->iso_submit(context.get(), region.data(), size);
    if (r == 0) r = device->iso_reap(context.get(), 5000);
    if (r == LIBUSB_ERROR_NO_DEVICE) return device->iso_release(context) == 0 ? 0 : 14;
    if (r != 0) return 15;
  }
  return 16;
}

int run_child(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[2] : "";
  if (mode == "count-sticks") return count_sticks();
  if (mode == "write-register") return write_register_child();
  if (mode == "speed") return speed_child();
  if (mode == "open") return open_child();
  if (mode == "exit" && argc > 3) return std::atoi(argv[3]);
  if (mode == "wait" && argc > 3) return wait_child(argv[3]);
  if (mode == "until-unplugged") return until_unplugged_child();
  std::fprintf(stderr, "unknown child mode '%s'\n", mode.c_str());
  return 99;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], child_flag) == 0) return run_child(argc, argv);

  // The emulated bus needs the umockdev preload library in this process.
  const char* preload = std::getenv("LD_PRELOAD");
  if (!preload || !std::strstr(preload, "libumockdev-preload")) {
    const std::string value = std::string("libumockdev-preload.so.0") + (preload ? std::string(":") + preload : "");
    setenv("LD_PRELOAD", value.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("cannot re-run under libumockdev-preload.so.0");
    return 1;
  }
  // The capture thread's tests need Qt's event loop for queued signals.
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
