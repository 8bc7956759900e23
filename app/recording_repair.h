// Recordings a crash, a kill or a power cut left unfinished: found at start
// through the notes the recorder keeps (recording_journal), repaired in place
// on a thread of their own ("repair"), and told once it is done.
#pragma once

#include <QString>
#include <QStringList>

#include "base/worker_thread.h"

class recording_repair : public worker_thread {
  Q_OBJECT

 public:
  explicit recording_repair(QObject* parent = nullptr) : worker_thread("repair", parent) {}
  // Waits for a repair under way: a file cut in the middle of it would be
  // worse than a slower exit.
  ~recording_repair() override { wait(); }

  // Starts on the notes in `journal_directory`; nothing when there are none
  // or a repair ran already. False when nothing was started.
  bool start_if_any(const QString& journal_directory);

 signals:
  // What the user is told, one sentence a recording; only when there is
  // something to tell.
  void told(const QString& text);

 protected:
  void work() override;

 private:
  QString directory_;
  bool started_ = false;
};
