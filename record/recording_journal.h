// A note that a recording is being written, so that one that never ended
// (a crash, a kill, a power cut) is found and repaired at the next start.
//
// One small file per open recording file, in a directory of the program's
// own data: the recording's absolute path, nothing else. It is written and
// synced when the file is opened and removed when the file is closed whole;
// a file whose end could not be written keeps its note.
#pragma once

#include <QList>
#include <QString>

namespace recording_journal {

// The program's own: beside its preferences.
QString default_directory();

// Notes the recording; the note's path, or empty when it could not be
// written (the recording goes on: it just cannot be found after a crash).
QString begin(const QString& directory, const QString& recording);
void end(const QString& note);

struct entry {
  QString note;
  QString recording;
};
// The recordings noted in the directory, oldest first.
QList<entry> unfinished(const QString& directory);
// Forgets every note of this recording.
void forget(const QString& directory, const QString& recording);

}  // namespace recording_journal
