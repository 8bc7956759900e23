// Collects Qt debug messages so tests can check what the device layer logs.
#pragma once

#include <QString>
#include <QStringList>
#include <mutex>
#include <string>
#include <vector>

class message_log {
 public:
  message_log();   // installs the handler
  ~message_log();  // restores the previous one
  QStringList messages() const;
  bool contains(const QString& text) const;
  // Some message matches the regular expression.
  bool contains_match(const QString& pattern) const;
  void clear();

 private:
  static void handler(QtMsgType, const QMessageLogContext&, const QString&);
  // Plain strings: Qt's shared containers handed between threads look like
  // races to ThreadSanitizer, whose view of Qt's reference counts is partial.
  static std::mutex mutex_;
  static std::vector<std::string>* messages_;
  QtMessageHandler previous_;
  std::vector<std::string> storage_;
};
