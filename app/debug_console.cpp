#include "app/debug_console.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLoggingCategory>
#include <QScreen>
#include <QStandardPaths>
#include <QTextStream>
#include <mutex>

#include "base/logging.h"

namespace {
// Set while this thread writes a console line (set_text()).
thread_local bool inside_set_text = false;

// Marks the thread as writing a line for as long as it lives.
struct writing_line {
  const bool was = inside_set_text;
  writing_line() { inside_set_text = true; }
  ~writing_line() { inside_set_text = was; }
};
}  // namespace

bool debug_console::writing_a_line() { return inside_set_text; }

namespace {

// The console the program's own debug lines also go to (--debug), and the
// handler that was there before. Lines come from every thread; the lock
// keeps the console alive while a line is posted to it.
std::mutex console_mutex;
debug_console* console_for_messages = nullptr;
QtMessageHandler previous_handler = nullptr;

void copy_to_console(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  // The timings of every transfer and field are too many for the terminal:
  // they go to the console (and its file) alone.
  if (previous_handler && !is_timing_category(context.category)) previous_handler(type, context, message);
  if (!context.category || !QByteArray(context.category).startsWith("ostrevin.")) return;
  // What the console logs itself (its lines without their file) is not fed
  // back to it.
  if (inside_set_text) return;
  // The console takes it on the GUI thread.
  std::lock_guard lock(console_mutex);
  if (console_for_messages)
    QMetaObject::invokeMethod(console_for_messages, "set_text", Qt::QueuedConnection, Q_ARG(QString, message));
}

}  // namespace

void debug_console::feed_from_log() {
  if (fed_) return;
  fed_ = true;
  // The program's debug lines on, whatever the logging rules say.
  QLoggingCategory::setFilterRules("ostrevin.*.debug=true");
  {
    std::lock_guard lock(console_mutex);
    console_for_messages = this;
  }
  previous_handler = qInstallMessageHandler(copy_to_console);
}

debug_console::debug_console(QWidget* parent) : QMainWindow(parent), label(new QLabel()) {
  setCentralWidget(label);
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  screen_width = screen.width();
  screen_height = screen.height();
  console_width = screen_width;
  resize(console_width, console_height);
  label->resize(size());
  setMaximumSize(console_width, console_height);
  label->setMaximumSize(console_width, console_height);
  move(0, screen_height - console_height);
}

debug_console::~debug_console() {
  if (fed_) {
    qInstallMessageHandler(previous_handler);
    std::lock_guard lock(console_mutex);
    console_for_messages = nullptr;
  }
  if (log_file) {
    if (log_stream) log_stream->flush();
    log_file->close();
    delete log_stream;
    delete log_file;
  }
}

void debug_console::open_log() {
  log_path_ = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + "/debug_console_out.txt";
  log_file = new QFile(log_path_);
  if (log_file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
    log_stream = new QTextStream(log_file);
  else
    give_up_log(log_file->errorString());
  clock.start();
}

void debug_console::give_up_log(const QString& reason) {
  delete log_stream;
  log_stream = nullptr;
  if (log_file) log_file->close();
  if (log_given_up_) return;
  log_given_up_ = true;
  const QString line = QString(
                           "the debug console's log cannot be written to %1 (%2); its lines are in the debug output, "
                           "the timings on screen only")
                           .arg(log_path_, reason);
  // Said as the console's own line: a handler that feeds the console leaves
  // it out, and the console shows it here once.
  const writing_line guard;
  qCWarning(app_log).noquote() << "Ostrevin:" << line;
  if (show_text) {
    text = line + "\n" + text;
    if (text.size() > max_text_length) text.truncate(max_text_length);
    label->setText(text);
  }
}

void debug_console::set_text(QString line) {
  // A line logged while a line is written (a handler that calls straight
  // back) is the console's own output: written once already.
  if (line.isEmpty() || inside_set_text) return;
  const writing_line guard;
  // Ten characters, three decimals: "    12.500".
  const QString stamp = QString("%1").arg(clock.elapsed(), 10, 'f', 3);
  if (log_stream) {
    *log_stream << stamp << ' ' << line << '\n';
    if (flush_each_line) log_stream->flush();
    if (log_stream->status() != QTextStream::Ok) give_up_log(log_file->errorString());
  }
  if (show_text) {
    text = line + "\n" + text;
    if (text.size() > max_text_length) text.truncate(max_text_length);
    label->setText(text);
  }
}
