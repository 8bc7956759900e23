// Collects Qt debug messages so tests can check what the device layer logs.
#pragma once

#include <QString>
#include <QStringList>
#include <mutex>

class message_log {
 public:
  message_log();   // installs the handler
  ~message_log();  // restores the previous one
  QStringList messages() const;
  bool contains(const QString& text) const;
  void clear();

 private:
  static void handler(QtMsgType, const QMessageLogContext&, const QString&);
  static std::mutex mutex_;
  static QStringList* messages_;
  QtMessageHandler previous_;
  QStringList storage_;
};
