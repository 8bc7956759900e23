// The second settings file (ostrevin.ini): what it holds survives, and a
// file in any bad state gives the defaults and one message, never a hang.
#include "app/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>

#include "tests/support/message_log.h"

namespace {

struct settings_file_test : ::testing::Test {
  QTemporaryDir home;
  QString preferences() const { return home.path() + "/ostrevin_preferences"; }
  QString ini() const { return home.path() + "/ostrevin.ini"; }
  void write(const QByteArray& bytes) const {
    QFile file(ini());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
  }
};

TEST_F(settings_file_test, each_inputs_controls_come_back_in_range) {
  settings_file file(preferences());
  file.load();
  EXPECT_EQ(file.picture(false), picture_controls{});
  file.set_picture(false, {140, 70, 50, -20});
  file.set_picture(true, {300, -5, 200, -300});  // out of range: brought into it
  EXPECT_EQ(file.save(), QString());

  settings_file again(preferences());
  again.load();
  EXPECT_EQ(again.problem(), QString());
  EXPECT_EQ(again.picture(false), (picture_controls{140, 70, 50, -20}));
  EXPECT_EQ(again.picture(true), (picture_controls{255, 0, 127, -128}));

  // Edited by hand: a value out of range is brought into it, one that is
  // not a number is the default.
  write("[composite]\nbrightness=999\ncontrast=lots\nsaturation= 12 \nhue=-1000\n");
  again.load();
  EXPECT_EQ(again.problem(), QString());
  EXPECT_EQ(again.picture(false), (picture_controls{255, picture_controls{}.contrast, 12, -128}));
  EXPECT_EQ(again.picture(true), picture_controls{});
}

TEST_F(settings_file_test, a_file_in_a_bad_state_gives_the_defaults_and_one_message) {
  struct bad_state {
    const char* name;
    std::function<void(const settings_file_test&)> make;
  };
  const bad_state states[] = {
      {"empty", [](const settings_file_test& t) { t.write(""); }},
      {"damaged", [](const settings_file_test& t) { t.write("\x01\x02\xff garbage\n[[[\n"); }},
      {"a folder", [](const settings_file_test& t) { ASSERT_TRUE(QDir().mkpath(t.ini())); }},
      {"a FIFO", [](const settings_file_test& t) { ASSERT_EQ(mkfifo(QFile::encodeName(t.ini()), 0600), 0); }},
  };
  for (const bad_state& state : states) {
    SCOPED_TRACE(state.name);
    QFile::remove(ini());
    QDir(ini()).removeRecursively();
    state.make(*this);
    message_log log;
    settings_file file(preferences());
    file.load();
    EXPECT_FALSE(file.problem().isEmpty());
    EXPECT_EQ(file.picture(false), picture_controls{});
    EXPECT_EQ(log.count(app_category, "settings: the picture controls keep their defaults"), 1);
  }
}

}  // namespace
