// ostrevin-virtual-stick: runs a program with the virtual stick plugged in,
// as an emulated usbfs device that libusb-1.0 finds and drives like the
// real one. The program gets UMOCKDEV_DIR and the umockdev preload library;
// this process answers its USB requests from the model.
#include <libusb.h>
#include <linux/capability.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/stick_sound.h"
#include "sim/usbfs_stick.h"
#include "sim/virtual_stick.h"

extern char** environ;

namespace {

constexpr char program_name[] = "ostrevin-virtual-stick";
constexpr char preload_library[] = "libumockdev-preload.so.0";
// Exit codes of our own, as env(1) and timeout(1) use them.
constexpr int exit_usage = 2;
constexpr int exit_setup_failed = 125;
constexpr int exit_cannot_run = 126;
constexpr int exit_not_found = 127;

constexpr char usage_text[] =
    "Usage: ostrevin-virtual-stick [options] [--] command [args...]\n"
    "Runs command with the virtual capture stick (05e1:0408) plugged in on USB bus 1,\n"
    "emulated as a usbfs device that libusb-1.0 opens and drives like the real one.\n"
    "The stick is as a Linux desktop hands it over: configured, the kernel's video\n"
    "driver (stk1160) on interface 0, its sound driver (snd-usb-audio) on 1 and 2.\n"
    "\n"
    "What a user's machine may differ in:\n"
    "  --no-video-driver           stk1160 is not loaded (blacklisted)\n"
    "  --no-sound-driver           snd-usb-audio is not loaded\n"
    "  --unconfigured              the stick is not configured yet\n"
    "  --full-speed                plugged into a USB 1.1 (full-speed) port\n"
    "  --interface-busy            another program holds the video interface\n"
    "  --no-permission             the device node is closed to the command's user\n"
    "                              (run as root, the command runs without the\n"
    "                              capabilities that would let it in anyway)\n"
    "\n"
    "Faults:\n"
    "  --no-device                 no stick on the bus\n"
    "  --two-devices               two sticks (addresses 2 and 3)\n"
    "  --refuse-configuration      the stick refuses to be configured\n"
    "  --refuse-interface          interface 0 cannot be claimed\n"
    "  --refuse-alternate          the stick refuses alternate settings\n"
    "  --codec-silent              no AC'97 codec answers\n"
    "  --serial-status=N           what register 0x201 shows after a decoder write\n"
    "                              (hex with 0x, or decimal; default 0x04)\n"
    "  --cancel-delay=MS           a cancelled transfer comes back only after MS ms\n"
    "  --fail-register=REG:RESULT  control transfers on bridge register REG return RESULT,\n"
    "                              a number or a libusb error name such as PIPE (repeatable)\n"
    "  --unplug-after=SECONDS      pull the stick(s) out after SECONDS\n"
    "  --replug-after=SECONDS      with --unplug-after: plug them in again SECONDS later\n"
    "  --stall=START:LENGTH        the stick sends nothing from START for LENGTH seconds\n"
    "  --hang=START:LENGTH         the bridge hangs from START for LENGTH seconds: register\n"
    "                              transfers time out, capture stops until programmed again\n"
    "  --no-signal=START:LENGTH    no video signal from START for LENGTH seconds: the\n"
    "                              decoder reports no lock and sends flat black fields\n"
    "  --tape-rate=HZ              the signal is 50 Hz (PAL) or 60 Hz (NTSC, PAL-60) whatever\n"
    "                              the decoder is set for (default: the rate it is set for);\n"
    "                              set for the other rate, the decoder cannot lock the\n"
    "                              picture, which rolls\n"
    "  --film                      the tape holds film (2:2): both fields of each picture\n"
    "                              show one moment; the bars scroll and the box moves once a\n"
    "                              picture\n"
    "  --weak-signal=START:LENGTH  a weak signal from START for LENGTH seconds: locked for\n"
    "                              1.2 s, then no signal for 0.8 s, over and over\n"
    "  --lose-packets=N            one data packet in N is lost on the bus\n"
    "  --truncate-packets=N        one data packet in N loses half its payload\n"
    "  --corrupt-packets=N         one data packet in N claims to start a field\n"
    "  --reap-errors=N             one transfer in N fails with a bus error\n"
    "  --lose-field-starts=N       one field-start packet in N is lost on the bus\n"
    "  --lose-transfers=N          one transfer in N loses all its packets on the bus\n"
    "  --reaper-stalls=MS:SECONDS  the command's thread that reaps the video transfers is\n"
    "                              held up MS ms at random moments, SECONDS apart on\n"
    "                              average (a busy computer); the bus goes on meanwhile\n"
    "  --log=FILE                  at exit, write the first stick's operations to FILE,\n"
    "                              one per line\n"
    "\n"
    "Clocks and sound:\n"
    "  --clock-ppm=N               the stick's field clock runs N parts per million fast\n"
    "                              (negative: slow) against real time, -1000 to 1000\n"
    "  --sound[=SINK]              play the stick's sound into the PulseAudio sink SINK\n"
    "                              (default stick_feed): a 1000 Hz tone with a 1 ms click\n"
    "                              when each field with the picture's sync mark (one a\n"
    "                              second of the field clock) starts on the bus\n"
    "  --help                      show this text\n"
    "\n"
    "Exit status: the command's; 128+N if it was killed by signal N; 2 for bad options;\n"
    "125 if the stick cannot be emulated; 126/127 if the command cannot be run.\n";

// A fault that begins START seconds after the command starts and lasts
// LENGTH seconds.
struct fault_window {
  double start = 0.0;
  double length = 0.0;
};

struct settings {
  int sticks = 1;
  plug_state plug;
  stick_faults faults;
  std::optional<double> unplug_after;
  std::optional<double> replug_after;
  std::optional<fault_window> stall;
  std::optional<fault_window> hang;
  std::optional<fault_window> no_signal;
  std::optional<fault_window> weak_signal;
  std::string log_file;
  double clock_ppm = 0.0;
  std::optional<std::string> sound_sink;
  std::vector<char*> command;
};

// Decimal, or hex with a 0x prefix; an optional sign.
std::optional<long> parse_number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  size_t start = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  int base = 10;
  if (text.size() > start + 2 && text[start] == '0' && (text[start + 1] == 'x' || text[start + 1] == 'X')) base = 16;
  if (start == text.size()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || end == text.c_str() + start) return std::nullopt;
  return value;
}

// Seconds, 0 or more, with a fraction if wanted.
std::optional<double> parse_seconds(const std::string& text) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(seconds >= 0)) return std::nullopt;
  return seconds;
}

// A number, or a libusb error name with or without its LIBUSB_ERROR_ prefix.
std::optional<long> parse_result(const std::string& text) {
  if (auto n = parse_number(text)) return n;
  for (int code = LIBUSB_ERROR_IO; code >= LIBUSB_ERROR_OTHER; --code) {
    const std::string name = libusb_error_name(code);
    if (name == "**UNKNOWN**") continue;
    if (text == name || "LIBUSB_ERROR_" + text == name) return code;
  }
  return std::nullopt;
}

bool fail_usage(const std::string& message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program_name, message.c_str(), program_name);
  return false;
}

// Fills s from argv; false after printing what was wrong.
bool parse(int argc, char** argv, settings& s, bool& help) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.rfind("--", 0) != 0) break;
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const std::optional<std::string> value =
        eq == std::string::npos ? std::nullopt : std::optional<std::string>(arg.substr(eq + 1));
    const bool takes_value = name == "--serial-status" || name == "--fail-register" || name == "--unplug-after" ||
                             name == "--log" || name == "--cancel-delay" || name == "--replug-after" ||
                             name == "--stall" || name == "--hang" || name == "--lose-packets" ||
                             name == "--truncate-packets" || name == "--corrupt-packets" || name == "--reap-errors" ||
                             name == "--clock-ppm" || name == "--lose-field-starts" || name == "--lose-transfers" ||
                             name == "--reaper-stalls" || name == "--no-signal" || name == "--tape-rate" ||
                             name == "--weak-signal";
    const bool value_optional = name == "--sound";
    if (takes_value && !value) return fail_usage("option " + name + " needs a value (" + name + "=...)");
    if (!takes_value && !value_optional && value) return fail_usage("option " + name + " takes no value");

    if (name == "--help") {
      help = true;
      return true;
    } else if (name == "--no-device") {
      s.sticks = 0;
    } else if (name == "--two-devices") {
      s.sticks = 2;
    } else if (name == "--refuse-configuration") {
      s.faults.refuse_configuration = true;
    } else if (name == "--refuse-interface") {
      s.faults.refuse_interface = true;
    } else if (name == "--refuse-alternate") {
      s.faults.refuse_alternate = true;
    } else if (name == "--codec-silent") {
      s.faults.codec_silent = true;
    } else if (name == "--no-video-driver") {
      s.plug.video_driver = false;
    } else if (name == "--no-sound-driver") {
      s.plug.sound_driver = false;
    } else if (name == "--unconfigured") {
      s.plug.configuration = 0;
    } else if (name == "--full-speed") {
      s.plug.high_speed = false;
    } else if (name == "--interface-busy") {
      s.plug.video_claimed_elsewhere = true;
    } else if (name == "--no-permission") {
      s.plug.no_permission = true;
    } else if (name == "--cancel-delay") {
      const auto n = parse_number(*value);
      if (!n || *n < 0 || *n > 600000) return fail_usage("--cancel-delay wants milliseconds, not '" + *value + "'");
      s.faults.cancel_delay_ms = int(*n);
    } else if (name == "--serial-status") {
      const auto n = parse_number(*value);
      if (!n || *n < 0 || *n > 0xFF) return fail_usage("--serial-status wants a byte, not '" + *value + "'");
      s.faults.serial_status = int(*n);
    } else if (name == "--fail-register") {
      const size_t colon = value->find(':');
      const auto reg = colon == std::string::npos ? std::nullopt : parse_number(value->substr(0, colon));
      const auto result = colon == std::string::npos ? std::nullopt : parse_result(value->substr(colon + 1));
      if (!reg || !result || *reg < 0 || *reg > 0xFFF)
        return fail_usage("--fail-register wants REG:RESULT, such as 0x500:-9 or 0x500:PIPE, not '" + *value + "'");
      s.faults.control_results[int(*reg)] = int(*result);
    } else if (name == "--unplug-after" || name == "--replug-after") {
      const auto seconds = parse_seconds(*value);
      if (!seconds) return fail_usage(name + " wants seconds, not '" + *value + "'");
      (name == "--unplug-after" ? s.unplug_after : s.replug_after) = *seconds;
    } else if (name == "--film") {
      s.faults.film_tape = true;
    } else if (name == "--tape-rate") {
      if (*value != "50" && *value != "60") return fail_usage("--tape-rate wants 50 or 60, not '" + *value + "'");
      s.faults.signal = *value == "50" ? signal_fault::fifty_hz_tape : signal_fault::sixty_hz_tape;
    } else if (name == "--stall" || name == "--hang" || name == "--no-signal" || name == "--weak-signal") {
      const size_t colon = value->find(':');
      const auto start = colon == std::string::npos ? std::nullopt : parse_seconds(value->substr(0, colon));
      const auto length = colon == std::string::npos ? std::nullopt : parse_seconds(value->substr(colon + 1));
      if (!start || !length) return fail_usage(name + " wants START:LENGTH in seconds, not '" + *value + "'");
      std::optional<fault_window>& window = name == "--stall"       ? s.stall
                                            : name == "--hang"      ? s.hang
                                            : name == "--no-signal" ? s.no_signal
                                                                    : s.weak_signal;
      window = fault_window{*start, *length};
    } else if (name == "--lose-packets" || name == "--truncate-packets" || name == "--corrupt-packets" ||
               name == "--reap-errors" || name == "--lose-field-starts" || name == "--lose-transfers") {
      const auto n = parse_number(*value);
      if (!n || *n < 1 || *n > 1000000) return fail_usage(name + " wants a count of 1 or more, not '" + *value + "'");
      int& every = name == "--lose-packets"        ? s.faults.lose_packet_every
                   : name == "--truncate-packets"  ? s.faults.truncate_packet_every
                   : name == "--corrupt-packets"   ? s.faults.corrupt_packet_every
                   : name == "--lose-field-starts" ? s.faults.lose_field_start_every
                   : name == "--lose-transfers"    ? s.faults.lose_transfer_every
                                                   : s.faults.reap_error_every;
      every = int(*n);
    } else if (name == "--reaper-stalls") {
      const size_t colon = value->find(':');
      const auto ms = colon == std::string::npos ? std::nullopt : parse_number(value->substr(0, colon));
      const auto apart = colon == std::string::npos ? std::nullopt : parse_seconds(value->substr(colon + 1));
      if (!ms || *ms < 1 || *ms > 60000 || !apart || *apart < 0.01 || *apart > 3600)
        return fail_usage("--reaper-stalls wants MS:SECONDS, such as 150:3, not '" + *value + "'");
      s.faults.reaper_stall_ms = int(*ms);
      // The command reaps one transfer of 16 packets about every 2 ms.
      s.faults.reaper_stall_every = std::max(1, int(*apart * 500.0));
      s.faults.reaper_stall_random = true;
    } else if (name == "--clock-ppm") {
      char* end = nullptr;
      const double ppm = std::strtod(value->c_str(), &end);
      if (value->empty() || *end != '\0' || !(ppm >= -1000.0 && ppm <= 1000.0))
        return fail_usage("--clock-ppm wants parts per million from -1000 to 1000, not '" + *value + "'");
      s.clock_ppm = ppm;
    } else if (name == "--sound") {
      if (value && value->empty()) return fail_usage("--sound= wants a sink name");
      s.sound_sink = value.value_or("stick_feed");
    } else if (name == "--log") {
      if (value->empty()) return fail_usage("--log wants a file name");
      s.log_file = *value;
    } else {
      return fail_usage("unknown option " + name);
    }
  }
  for (; i < argc; ++i) s.command.push_back(argv[i]);
  if (s.replug_after && !s.unplug_after) return fail_usage("--replug-after needs --unplug-after");
  if (s.command.empty()) return fail_usage("no command to run");
  s.command.push_back(nullptr);
  return true;
}

std::string op_text(const stick_op& op) {
  char line[160];
  switch (op.kind) {
    case stick_op_kind::open:
      std::snprintf(line, sizeof line, "open -> %d", op.result);
      break;
    case stick_op_kind::set_configuration:
      std::snprintf(line, sizeof line, "set_configuration %d -> %d", op.value, op.result);
      break;
    case stick_op_kind::claim_interface:
      std::snprintf(line, sizeof line, "claim_interface %d -> %d", op.index, op.result);
      break;
    case stick_op_kind::release_interface:
      std::snprintf(line, sizeof line, "release_interface %d -> %d", op.index, op.result);
      break;
    case stick_op_kind::set_alternate:
      std::snprintf(line, sizeof line, "set_alternate %d %d -> %d", op.index, op.value, op.result);
      break;
    case stick_op_kind::detach_kernel_driver:
      std::snprintf(line, sizeof line, "detach_kernel_driver %d -> %d", op.index, op.result);
      break;
    case stick_op_kind::plugged_in:
      std::snprintf(line, sizeof line, "plugged_in");
      break;
    case stick_op_kind::attach_kernel_driver:
      std::snprintf(line, sizeof line, "attach_kernel_driver %d -> %d", op.index, op.result);
      break;
    case stick_op_kind::control:
      std::snprintf(line, sizeof line, "control 0x%02x 0x%02x 0x%04x 0x%04x %d -> %d", op.request_type, op.request,
                    op.value, op.index, op.length, op.result);
      break;
    case stick_op_kind::decoder_write:
      std::snprintf(line, sizeof line, "decoder_write 0x%02x <- 0x%02x status 0x%02x", op.index, op.value, op.result);
      break;
    case stick_op_kind::decoder_read:
      std::snprintf(line, sizeof line, "decoder_read 0x%02x -> 0x%02x status 0x%02x", op.index, op.value, op.result);
      break;
    case stick_op_kind::codec_write:
      std::snprintf(line, sizeof line, "codec_write 0x%02x <- 0x%04x", op.index, op.value);
      break;
    case stick_op_kind::codec_read:
      std::snprintf(line, sizeof line, "codec_read 0x%02x -> 0x%04x", op.index, op.value);
      break;
    case stick_op_kind::iso_setup:
    case stick_op_kind::iso_submit:
    case stick_op_kind::iso_reap:
    case stick_op_kind::iso_release: {
      const char* name = op.kind == stick_op_kind::iso_setup    ? "iso_setup"
                         : op.kind == stick_op_kind::iso_submit ? "iso_submit"
                         : op.kind == stick_op_kind::iso_reap   ? "iso_reap"
                                                                : "iso_release";
      std::snprintf(line, sizeof line, "%s 0x%02x %d -> %d", name, op.index, op.length, op.result);
      break;
    }
  }
  return line;
}

bool write_log(const std::string& file, const std::vector<stick_op>& ops) {
  FILE* f = std::fopen(file.c_str(), "w");
  if (!f) return false;
  for (const stick_op& op : ops) std::fprintf(f, "%s\n", op_text(op).c_str());
  return std::fclose(f) == 0;
}

// The child's environment: ours, with the testbed and the preload library.
std::vector<std::string> child_environment(const std::string& root) {
  std::vector<std::string> env;
  std::string preload = preload_library;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.rfind("UMOCKDEV_DIR=", 0) == 0) continue;
    if (entry.rfind("LD_PRELOAD=", 0) == 0) {
      const std::string rest = entry.substr(std::strlen("LD_PRELOAD="));
      if (!rest.empty()) preload += ":" + rest;
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("UMOCKDEV_DIR=" + root);
  env.push_back("LD_PRELOAD=" + preload);
  return env;
}

// Waits for the child, passing SIGINT, SIGTERM and SIGHUP on to it. The
// signals are blocked in every thread and taken here synchronously.
int wait_forwarding(pid_t pid, const sigset_t& signals) {
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    if (done < 0 && errno != EINTR) return exit_setup_failed;
    siginfo_t info{};
    const int signal_number = sigwaitinfo(&signals, &info);
    if (signal_number == SIGINT || signal_number == SIGTERM || signal_number == SIGHUP) kill(pid, signal_number);
  }
}

// Plays the timed faults on the sticks, unless the program ended first.
class fault_schedule {
 public:
  fault_schedule(usbfs_stick& stick, const std::vector<std::shared_ptr<virtual_stick>>& models, const settings& s) {
    auto on_every = [&models](auto change) {
      return [&models, change] {
        for (const auto& model : models) {
          stick_faults f = model->faults();
          change(f);
          model->set_faults(f);
        }
      };
    };
    if (s.unplug_after) {
      events_.push_back({*s.unplug_after, [&stick] {
                           for (size_t i = 0; i < stick.size(); ++i) stick.unplug(i);
                         }});
      if (s.replug_after)
        events_.push_back({*s.unplug_after + *s.replug_after, [&stick] {
                             for (size_t i = 0; i < stick.size(); ++i) stick.replug(i);
                           }});
    }
    if (s.stall) {
      events_.push_back({s.stall->start, on_every([](stick_faults& f) { f.stalled = true; })});
      events_.push_back({s.stall->start + s.stall->length, on_every([](stick_faults& f) { f.stalled = false; })});
    }
    if (s.hang) {
      events_.push_back({s.hang->start, on_every([](stick_faults& f) { f.registers_silent = true; })});
      events_.push_back(
          {s.hang->start + s.hang->length, on_every([](stick_faults& f) { f.registers_silent = false; })});
    }
    // The signal faults: each window ends only its own kind, should windows
    // overlap, and gives the tape back at its rate.
    const std::pair<const std::optional<fault_window>*, signal_fault> signals[] = {
        {&s.no_signal, signal_fault::no_signal}, {&s.weak_signal, signal_fault::weak}};
    const signal_fault tape = s.faults.signal;
    for (const auto& [window, kind] : signals) {
      if (!*window) continue;
      events_.push_back({(*window)->start, on_every([kind](stick_faults& f) { f.signal = kind; })});
      events_.push_back({(*window)->start + (*window)->length, on_every([kind, tape](stick_faults& f) {
                           if (f.signal == kind) f.signal = tape;
                         })});
    }
    std::sort(events_.begin(), events_.end(), [](const event& a, const event& b) { return a.at < b.at; });
    thread_ = std::thread([this] {
      const auto begin = std::chrono::steady_clock::now();
      std::unique_lock lock(mutex_);
      for (const event& e : events_) {
        const auto when = begin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(e.at));
        if (cv_.wait_until(lock, when, [this] { return stop_; })) return;
        e.action();
      }
    });
  }
  ~fault_schedule() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  struct event {
    double at;
    std::function<void()> action;
  };
  std::vector<event> events_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  settings s;
  bool help = false;
  if (!parse(argc, argv, s, help)) return exit_usage;
  if (help) {
    std::fputs(usage_text, stdout);
    return 0;
  }

  // Before any thread exists, so that all of them inherit the mask; the
  // child gets the original one back.
  sigset_t signals, original;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &signals, &original);

  std::vector<std::shared_ptr<virtual_stick>> models;
  for (int i = 0; i < s.sticks; ++i) {
    auto model = std::make_shared<virtual_stick>();
    model->plug(s.plug);
    model->set_faults(s.faults);
    models.push_back(std::move(model));
  }
  std::string error;
  std::unique_ptr<stick_sound> sound;
  if (s.sound_sink) {
    stick_sound::options sound_options;
    sound_options.sink = *s.sound_sink;
    sound = stick_sound::start(sound_options, &error);
    if (!sound) {
      std::fprintf(stderr, "%s: %s\n", program_name, error.c_str());
      return exit_setup_failed;
    }
  }
  usbfs_stick::options stick_options;
  stick_options.clock_ppm = s.clock_ppm;
  if (sound) stick_options.sync_mark = [&sound](int64_t ns) { sound->mark_ns(ns); };
  std::unique_ptr<usbfs_stick> stick = usbfs_stick::create(models, stick_options, &error);
  if (!stick) {
    std::fprintf(stderr, "%s: %s\n", program_name, error.c_str());
    return exit_setup_failed;
  }

  const std::vector<std::string> env = child_environment(stick->root_dir());
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  // Root opens any device node; without these two capabilities the command
  // meets the node's permissions as a desktop user would. The bounding set
  // limits only what the command gets when it starts: this process keeps
  // its own capabilities.
  if (s.plug.no_permission) {
    prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
    prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
  }

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setsigmask(&attributes, &original);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int spawn_error = posix_spawnp(&pid, s.command[0], nullptr, &attributes, s.command.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  int exit_code = 0;
  if (spawn_error != 0) {
    std::fprintf(stderr, "%s: cannot run %s: %s\n", program_name, s.command[0], std::strerror(spawn_error));
    exit_code = spawn_error == ENOENT ? exit_not_found : exit_cannot_run;
  } else {
    const fault_schedule schedule(*stick, models, s);
    exit_code = wait_forwarding(pid, signals);
  }

  stick.reset();
  if (sound) {
    sound->stop();
    const stick_sound::counts counts = sound->stats();
    if (counts.late > 0 || counts.failed)
      std::fprintf(stderr, "%s: the stick's sound %s; %llu of %llu clicks came too late to be heard\n", program_name,
                   counts.failed ? "lost its sound server" : "played to the end", (unsigned long long)counts.late,
                   (unsigned long long)(counts.clicks + counts.late));
  }
  if (!s.log_file.empty()) {
    const std::vector<stick_op> ops = models.empty() ? std::vector<stick_op>{} : models[0]->log();
    if (!write_log(s.log_file, ops)) {
      std::fprintf(stderr, "%s: cannot write %s: %s\n", program_name, s.log_file.c_str(), std::strerror(errno));
      if (exit_code == 0) exit_code = exit_setup_failed;
    }
  }
  return exit_code;
}
