// Collects Qt debug messages so tests can check what the device layer logs.
#pragma once

#include <QString>
#include <QStringList>
#include <mutex>
#include <string>
#include <vector>

// The layers' logging categories, as base/logging.cpp names them.
inline constexpr const char* capture_category = "ostrevin.capture";
inline constexpr const char* record_category = "ostrevin.record";
inline constexpr const char* render_category = "ostrevin.render";
inline constexpr const char* app_category = "ostrevin.app";

class message_log {
 public:
  message_log();   // installs the handler
  ~message_log();  // restores the previous one
  QStringList messages() const;
  bool contains(const QString& text) const;
  // Some message matches the regular expression.
  bool contains_match(const QString& pattern) const;
  // Messages logged in the category that begin with the phrase: a line's
  // stable part, whatever numbers or names follow it.
  int count(const char* category, const QString& phrase) const;
  bool contains(const char* category, const QString& phrase) const { return count(category, phrase) > 0; }
  void clear();

 private:
  struct entry {
    std::string category;
    std::string text;
  };
  static void handler(QtMsgType, const QMessageLogContext&, const QString&);
  // Plain strings: Qt's shared containers handed between threads look like
  // races to ThreadSanitizer, whose view of Qt's reference counts is partial.
  static std::mutex mutex_;
  static std::vector<entry>* messages_;
  QtMessageHandler previous_;
  std::vector<entry> storage_;
};
