#include "app/command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

command_line_result bad(const QString& message) {
  command_line_result result;
  result.what = command_line_result::outcome::bad_usage;
  result.text = QString("ostrevin: %1\nTry 'ostrevin --help' for more information.\n").arg(message);
  return result;
}

// Qt's own options, which QApplication takes from the same arguments: left
// for it, with their values.
QStringList without_qt_options(const QStringList& arguments) {
  static const QStringList with_value = {
      "platform",   "platformpluginpath", "platformtheme", "plugin",      "display", "geometry", "style",
      "stylesheet", "qwindowgeometry",    "qwindowtitle",  "qwindowicon", "session", "name",     "title"};
  static const QStringList flags = {"reverse", "widgetcount", "nograb", "dograb", "sync", "visual"};
  QStringList kept;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& a = arguments[i];
    if (i > 0 && a.startsWith('-') && !a.startsWith("--")) {
      const QString name = a.mid(1);
      if (with_value.contains(name)) {
        ++i;
        continue;
      }
      if (flags.contains(name)) continue;
    }
    kept << a;
  }
  return kept;
}

}  // namespace

int64_t parse_duration(const QString& given) {
  const QString text = given.trimmed().toLower();
  int64_t ms = -1;
  static const QRegularExpression clock(R"(^(\d{1,4}):([0-5]?\d)(?::([0-5]?\d))?$)");
  static const QRegularExpression units(R"(^(?:(\d{1,4})h)?(?:(\d{1,6})m(?:in)?)?(?:(\d{1,8})s)?$)");
  static const QRegularExpression minutes(R"(^\d{1,6}$)");
  if (const auto m = clock.match(text); m.hasMatch()) {
    // H:MM:SS, or H:MM
    const int64_t h = m.captured(1).toLongLong(), mi = m.captured(2).toLongLong();
    const int64_t s = m.captured(3).isEmpty() ? 0 : m.captured(3).toLongLong();
    ms = ((h * 60 + mi) * 60 + s) * 1000;
  } else if (const auto u = units.match(text); u.hasMatch() && !text.isEmpty()) {
    ms = ((u.captured(1).toLongLong() * 60 + u.captured(2).toLongLong()) * 60 + u.captured(3).toLongLong()) * 1000;
  } else if (minutes.match(text).hasMatch()) {
    ms = text.toLongLong() * 60 * 1000;
  }
  return ms > 0 ? ms : -1;
}

QString format_duration(int64_t ms) {
  const int64_t s = (ms + 500) / 1000;
  return QString("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QChar('0')).arg(s % 60, 2, 10, QChar('0'));
}

command_line_result parse_command_line(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QCoreApplication::translate("command_line",
                                  "Live preview and lossless recording from an EasyCap USB 2.0 capture stick.\n"
                                  "Without options the window opens with the stored preferences."));
  const QCommandLineOption help({"h", "help"}, QCoreApplication::translate("command_line", "Show this help."));
  const QCommandLineOption version({"v", "version"},
                                   QCoreApplication::translate("command_line", "Show the program's version."));
  const QCommandLineOption record(
      "record", QCoreApplication::translate("command_line", "Start recording into FILE as soon as the stick streams."),
      "FILE");
  const QCommandLineOption stop_after(
      "stop-after",
      QCoreApplication::translate("command_line",
                                  "Stop each recording by itself after DURATION: 1h30m, 90m, 45s, 1:30:00, "
                                  "or a number of minutes."),
      "DURATION");
  const QCommandLineOption stop_without_signal(
      "stop-without-signal",
      QCoreApplication::translate("command_line",
                                  "Stop each recording by itself when there has been no signal for DURATION (a "
                                  "tape played to its end): 10m, 90s, 0:05:00, or a number of minutes."),
      "DURATION");
  const QCommandLineOption standard(
      "standard",
      QCoreApplication::translate("command_line", "The television standard for this run: ntsc, pal or pal60."),
      "STANDARD");
  const QCommandLineOption input(
      "input", QCoreApplication::translate("command_line", "The input for this run: composite or svideo."), "INPUT");
  const QCommandLineOption channel(
      "channel", QCoreApplication::translate("command_line", "The stick's input channel for this run: 0 to 3."), "N");
  const QCommandLineOption debug(
      "debug", QCoreApplication::translate("command_line",
                                           "Open the debug console and write the debug lines, also to "
                                           "debug_console_out.txt on the desktop."));
  const QCommandLineOption repair(
      "repair",
      QCoreApplication::translate("command_line",
                                  "Make whole a recording that did not end normally, in place, and end. Exit "
                                  "code 0: the file is whole; 3: it holds no whole frame and is left as it was; "
                                  "1: it cannot be repaired."),
      "FILE");
  // The picture controls, each with its range.
  struct picture_option {
    QCommandLineOption option;
    picture_controls::range range;
    std::optional<int> launch_options::*value;
  };
  const picture_option picture_options[] = {
      {{"brightness", QCoreApplication::translate("command_line", "The picture's brightness for this run: 0 to 255."),
        "N"},
       picture_controls::brightness_range,
       &launch_options::brightness},
      {{"contrast", QCoreApplication::translate("command_line", "The picture's contrast for this run: 0 to 127."), "N"},
       picture_controls::contrast_range,
       &launch_options::contrast},
      {{"saturation", QCoreApplication::translate("command_line", "The picture's saturation for this run: 0 to 127."),
        "N"},
       picture_controls::saturation_range,
       &launch_options::saturation},
      {{"hue", QCoreApplication::translate("command_line", "The picture's hue for this run: -128 to 127."), "N"},
       picture_controls::hue_range,
       &launch_options::hue},
  };
  parser.addOptions({help, version, record, stop_after, stop_without_signal, standard, input, channel, debug, repair});
  for (const picture_option& p : picture_options) parser.addOption(p.option);
  if (!parser.parse(without_qt_options(arguments))) return bad(parser.errorText());

  command_line_result result;
  if (parser.isSet(help)) {
    result.what = command_line_result::outcome::exit_success;
    // The program's name, not the executable's (without an application
    // object Qt has none to give).
    result.text = parser.helpText();
    static const QRegularExpression usage("^Usage: \\S+");
    result.text.replace(usage, "Usage: ostrevin");
    return result;
  }
  if (parser.isSet(version)) {
    result.what = command_line_result::outcome::exit_success;
    result.text = QString("%1 %2\n").arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion());
    return result;
  }
  if (!parser.positionalArguments().isEmpty())
    return bad(QString("unexpected argument '%1'").arg(parser.positionalArguments().first()));
  for (const QCommandLineOption* once :
       {&record, &stop_after, &stop_without_signal, &standard, &input, &channel, &repair})
    if (parser.values(*once).size() > 1) return bad(QString("--%1 given more than once").arg(once->names().last()));
  for (const picture_option& p : picture_options)
    if (parser.values(p.option).size() > 1)
      return bad(QString("--%1 given more than once").arg(p.option.names().last()));

  launch_options& o = result.options;
  if (parser.isSet(repair)) {
    if (parser.optionNames().size() != 1) return bad("--repair FILE takes no other option");
    o.repair_file = parser.value(repair);
    return result;
  }
  if (parser.isSet(standard)) {
    const QString s = parser.value(standard).toLower();
    if (s == "ntsc")
      o.standard = video_standard::ntsc;
    else if (s == "pal")
      o.standard = video_standard::pal;
    else if (s == "pal60" || s == "pal-60")
      o.standard = video_standard::pal_60;
    else
      return bad(QString("--standard must be ntsc, pal or pal60, not '%1'").arg(parser.value(standard)));
  }
  if (parser.isSet(input)) {
    const QString s = parser.value(input).toLower();
    if (s == "composite")
      o.s_video = false;
    else if (s == "svideo" || s == "s-video")
      o.s_video = true;
    else
      return bad(QString("--input must be composite or svideo, not '%1'").arg(parser.value(input)));
  }
  if (parser.isSet(channel)) {
    bool ok = false;
    const int n = parser.value(channel).toInt(&ok);
    if (!ok || n < 0 || n > 3)
      return bad(QString("--channel must be 0, 1, 2 or 3, not '%1'").arg(parser.value(channel)));
    o.channel = n;
  }
  for (const picture_option& p : picture_options) {
    if (!parser.isSet(p.option)) continue;
    bool ok = false;
    const int n = parser.value(p.option).toInt(&ok);
    if (!ok || n != p.range.clamp(n))
      return bad(QString("--%1 must be a whole number from %2 to %3, not '%4'")
                     .arg(p.option.names().last())
                     .arg(p.range.low)
                     .arg(p.range.high)
                     .arg(parser.value(p.option)));
    o.*p.value = n;
  }
  // The durations: a positive one, or why not.
  const struct {
    const QCommandLineOption& option;
    const char* examples;
    int64_t launch_options::*ms;
  } durations[] = {{stop_after, "1h30m, 90m, 45s or 1:30:00", &launch_options::stop_after_ms},
                   {stop_without_signal, "10m, 90s or 0:05:00", &launch_options::stop_without_signal_ms}};
  for (const auto& d : durations) {
    if (!parser.isSet(d.option)) continue;
    o.*d.ms = parse_duration(parser.value(d.option));
    if (o.*d.ms <= 0)
      return bad(QString("--%1 takes a duration such as %2, not '%3'")
                     .arg(d.option.names().first(), d.examples, parser.value(d.option)));
  }
  if (parser.isSet(record)) {
    const QString file = parser.value(record);
    if (file.isEmpty()) return bad("--record needs a file name");
    const QFileInfo info(QDir::current().absoluteFilePath(file));
    if (info.isDir()) return bad(QString("--record: '%1' is a folder; give a file name").arg(file));
    const QFileInfo folder(info.absolutePath());
    if (!folder.isDir()) return bad(QString("--record: the folder '%1' does not exist").arg(info.absolutePath()));
    if (!folder.isWritable())
      return bad(QString("--record: the folder '%1' cannot be written to").arg(info.absolutePath()));
    o.record_file = info.absoluteFilePath();
  }
  o.debug = parser.isSet(debug);
  return result;
}
