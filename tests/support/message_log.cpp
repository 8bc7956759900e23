#include "tests/support/message_log.h"

#include <QRegularExpression>

std::mutex message_log::mutex_;
std::vector<message_log::entry>* message_log::messages_ = nullptr;

message_log::message_log() {
  std::lock_guard lock(mutex_);
  messages_ = &storage_;
  previous_ = qInstallMessageHandler(&message_log::handler);
}

message_log::~message_log() {
  qInstallMessageHandler(previous_);
  std::lock_guard lock(mutex_);
  messages_ = nullptr;
}

void message_log::handler(QtMsgType, const QMessageLogContext& context, const QString& text) {
  std::lock_guard lock(mutex_);
  if (messages_) messages_->push_back({context.category ? context.category : "", text.toStdString()});
}

QStringList message_log::messages() const {
  std::lock_guard lock(mutex_);
  QStringList copy;
  for (const entry& m : storage_) copy.append(QString::fromStdString(m.text));
  return copy;
}

int message_log::count(const char* category, const QString& phrase) const {
  const std::string wanted = phrase.toStdString();
  std::lock_guard lock(mutex_);
  int n = 0;
  for (const entry& m : storage_)
    if (m.category == category && m.text.compare(0, wanted.size(), wanted) == 0) ++n;
  return n;
}

bool message_log::contains(const QString& text) const { return messages().contains(text); }

bool message_log::contains_match(const QString& pattern) const {
  const QRegularExpression expression(pattern);
  for (const QString& message : messages())
    if (expression.match(message).hasMatch()) return true;
  return false;
}

void message_log::clear() {
  std::lock_guard lock(mutex_);
  storage_.clear();
}
