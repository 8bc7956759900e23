#include "app/recording_repair.h"

#include <QFileInfo>

#include "base/logging.h"
#include "record/avi_repair.h"
#include "record/recording_journal.h"

bool recording_repair::start_if_any(const QString& journal_directory) {
  if (started_ || recording_journal::unfinished(journal_directory).isEmpty()) return false;
  started_ = true;
  directory_ = journal_directory;
  start();
  return true;
}

void recording_repair::work() {
  const QList<recording_journal::entry> notes = recording_journal::unfinished(directory_);
  QStringList told;
  for (const recording_journal::entry& note : notes) {
    const QString name = QFileInfo(note.recording).fileName();
    if (!QFileInfo::exists(note.recording)) {
      // On a disk that is not there now, perhaps: kept for a later start.
      qCDebug(app_log).noquote() << "recording:" << note.recording << "did not end normally and is not there now";
      continue;
    }
    const avi_repair_result result = repair_avi(note.recording);
    // Another instance of the program is recording it: its own note.
    if (result.in_use) continue;
    if (result.nothing_to_keep) {
      // A later start would find the same: the note goes, the file stays.
      recording_journal::end(note.note);
      qCWarning(app_log).noquote() << "recording:" << note.recording
                                   << "did not end normally and holds no whole frame:" << result.error;
      told << tr("The recording '%1' did not end normally and holds no whole frame; nothing could be kept, "
                 "and the file is left as it was.")
                  .arg(name);
      continue;
    }
    if (result.ok) {
      recording_journal::end(note.note);
      if (result.was_whole) continue;
      const QString damage = describe_damage(result);
      qCDebug(app_log).noquote() << QString("recording: repaired %1: %2 kept, %3 bytes of a torn end cut%4")
                                        .arg(note.recording, describe_repaired_length(result))
                                        .arg(result.bytes_cut)
                                        .arg(damage.isEmpty() ? QString() : "; " + damage);
      QString text = tr("The recording '%1' did not end normally; it has been repaired and holds %2.")
                         .arg(name, describe_repaired_length(result));
      if (result.stretches_dropped > 0)
        text += " " + tr("%1 bytes of it were damaged and could not be kept.").arg(result.bytes_dropped);
      told << text;
      continue;
    }
    qCWarning(app_log).noquote() << "recording:" << note.recording
                                 << "did not end normally and cannot be repaired:" << result.error;
    if (!result.worth_retrying) recording_journal::end(note.note);
    told << tr("The recording '%1' did not end normally and could not be repaired: %2.").arg(name, result.error);
  }
  if (!told.isEmpty()) emit this->told(told.join('\n'));
}
