// Reading the command line: durations, the overrides, and what is refused.
// The real binary is run with them in tests/e2e/command_line.sh.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

namespace {

command_line_result parse(QStringList arguments) {
  arguments.prepend("ostrevin");
  return parse_command_line(arguments);
}

TEST(command_line, durations_in_the_forms_people_type) {
  EXPECT_EQ(parse_duration("5s"), 5000);
  EXPECT_EQ(parse_duration("90m"), 90 * 60000);
  EXPECT_EQ(parse_duration("90min"), 90 * 60000);
  EXPECT_EQ(parse_duration("1h30m"), 90 * 60000);
  EXPECT_EQ(parse_duration("3h"), 3 * 3600000);
  EXPECT_EQ(parse_duration("2h0m30s"), (2 * 3600 + 30) * 1000);
  EXPECT_EQ(parse_duration("1:30:00"), 90 * 60000);
  EXPECT_EQ(parse_duration("1:30"), 90 * 60000);  // hours and minutes
  EXPECT_EQ(parse_duration("0:00:05"), 5000);
  EXPECT_EQ(parse_duration(" 180 "), 180 * 60000);  // a bare number is minutes
  EXPECT_EQ(parse_duration("1H30M"), 90 * 60000);
  for (const char* bad : {"", "0", "0s", "0:00:00", "h", "1.5h", "-5m", "5x", "1:75", "1:30:99", "m5", "5 m"})
    EXPECT_EQ(parse_duration(bad), -1) << bad;

  EXPECT_EQ(format_duration(5000), "0:00:05");
  EXPECT_EQ(format_duration((3 * 3600 + 7 * 60 + 9) * 1000), "3:07:09");
}

TEST(command_line, options_become_overrides_for_this_run) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString file = dir.filePath("tape.avi");
  const command_line_result r = parse({"--standard", "pal60", "--input", "svideo", "--channel", "3", "--record", file,
                                       "--stop-after", "1h30m", "--stop-without-signal", "5m", "--debug"});
  ASSERT_EQ(r.what, command_line_result::outcome::run) << r.text.toStdString();
  EXPECT_EQ(r.options.standard, video_standard::pal_60);
  EXPECT_EQ(r.options.s_video, true);
  EXPECT_EQ(r.options.channel, 3);
  EXPECT_EQ(r.options.record_file, file);
  EXPECT_EQ(r.options.stop_after_ms, 90 * 60000);
  EXPECT_EQ(r.options.stop_without_signal_ms, 5 * 60000);
  EXPECT_TRUE(r.options.debug);

  const command_line_result none = parse({});
  ASSERT_EQ(none.what, command_line_result::outcome::run);
  EXPECT_FALSE(none.options.standard || none.options.s_video || none.options.channel);
  EXPECT_TRUE(none.options.record_file.isEmpty());
  EXPECT_EQ(none.options.stop_after_ms, 0);
  EXPECT_EQ(none.options.stop_without_signal_ms, 0);
  EXPECT_FALSE(none.options.debug);

  EXPECT_EQ(parse({"--standard", "NTSC"}).options.standard, video_standard::ntsc);
  EXPECT_EQ(parse({"--standard=pal"}).options.standard, video_standard::pal);
  EXPECT_EQ(parse({"--input", "composite"}).options.s_video, false);

  // A relative name is taken from the current folder.
  const QString here = QDir::currentPath();
  QDir::setCurrent(dir.path());
  const command_line_result relative = parse({"--record", "tape2.avi"});
  QDir::setCurrent(here);
  EXPECT_EQ(relative.options.record_file, dir.filePath("tape2.avi"));

  // Qt's own options are QApplication's, not refused.
  EXPECT_EQ(parse({"-platform", "xcb", "--channel", "1"}).options.channel, 1);

  EXPECT_EQ(parse({"--repair", file}).options.repair_file, file);

  // The picture controls, at the ends of their ranges.
  const command_line_result picture =
      parse({"--brightness", "255", "--contrast", "0", "--saturation", "127", "--hue", "-128"});
  ASSERT_EQ(picture.what, command_line_result::outcome::run) << picture.text.toStdString();
  EXPECT_EQ(picture.options.brightness, 255);
  EXPECT_EQ(picture.options.contrast, 0);
  EXPECT_EQ(picture.options.saturation, 127);
  EXPECT_EQ(picture.options.hue, -128);
  EXPECT_FALSE(none.options.brightness || none.options.contrast || none.options.saturation || none.options.hue);
}

TEST(command_line, help_and_version_end_the_run_and_bad_usage_says_why) {
  const command_line_result help = parse({"--help"});
  EXPECT_EQ(help.what, command_line_result::outcome::exit_success);
  for (const char* option : {"--record <FILE>", "--stop-after <DURATION>", "--standard", "--input", "--channel",
                             "--debug", "--version", "--repair"})
    EXPECT_TRUE(help.text.contains(option)) << option;
  EXPECT_TRUE(help.text.startsWith("Usage: ostrevin")) << help.text.toStdString();
  EXPECT_EQ(parse({"-h"}).what, command_line_result::outcome::exit_success);
  EXPECT_EQ(parse({"--version"}).what, command_line_result::outcome::exit_success);

  struct bad_case {
    QStringList arguments;
    const char* says;
  };
  const bad_case cases[] = {
      {{"--standard", "secam"}, "--standard must be ntsc, pal or pal60, not 'secam'"},
      {{"--input", "rgb"}, "--input must be composite or svideo"},
      {{"--channel", "4"}, "--channel must be 0, 1, 2 or 3, not '4'"},
      {{"--channel", "-1"}, "--channel must be"},
      {{"--channel", "two"}, "--channel must be"},
      {{"--brightness", "256"}, "--brightness must be a whole number from 0 to 255, not '256'"},
      {{"--contrast", "-1"}, "--contrast must be a whole number from 0 to 127"},
      {{"--saturation", "high"}, "--saturation must be"},
      {{"--hue", "128"}, "--hue must be a whole number from -128 to 127"},
      {{"--hue", "1", "--hue", "2"}, "--hue given more than once"},
      {{"--stop-after", "soon"}, "--stop-after takes a duration"},
      {{"--stop-after", "0"}, "--stop-after takes a duration"},
      {{"--stop-without-signal", "0"}, "--stop-without-signal takes a duration"},
      {{"--record", "/nonexistent-folder/tape.avi"}, "the folder '/nonexistent-folder' does not exist"},
      {{"--record", "/tmp"}, "is a folder"},
      {{"--record"}, "Missing value after '--record'"},
      {{"--bogus"}, "Unknown option 'bogus'"},
      {{"tape.avi"}, "unexpected argument 'tape.avi'"},
      {{"--channel", "1", "--channel", "2"}, "--channel given more than once"},
      {{"--repair", "a.avi", "--debug"}, "--repair FILE takes no other option"},
  };
  for (const bad_case& c : cases) {
    const command_line_result r = parse(c.arguments);
    EXPECT_EQ(r.what, command_line_result::outcome::bad_usage) << c.arguments.join(' ').toStdString();
    EXPECT_TRUE(r.text.startsWith("ostrevin: ")) << r.text.toStdString();
    EXPECT_TRUE(r.text.contains(c.says)) << r.text.toStdString();
    EXPECT_TRUE(r.text.contains("ostrevin --help")) << r.text.toStdString();
  }
}

}  // namespace
