// "Save picture": the picture on screen, as it is shown (its display mode),
// written as a PNG file at its display aspect in square pixels: 768 x 576
// (PAL 4:3), 1024 x 576 (PAL 16:9), 640 x 480 (NTSC/PAL-60 4:3), 854 x 480
// (16:9). The file goes into the capture file's folder, or the Pictures
// folder before one is set, under the next free name
// "ostrevin-2026-12-09-20-31-05.png" (then "-2", "-3"... within a second):
// an existing file is never overwritten.
//
// Converting (a display picture), scaling, encoding and writing happen on a
// pool thread, so neither the window nor anything of the stream waits for
// them or for the disk; the result comes back as a signal on the thread
// this object lives on.
#pragma once

#include <QDateTime>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QThreadPool>
#include <functional>
#include <vector>

#include "render/display_picture.h"

class picture_saver : public QObject {
  Q_OBJECT

 public:
  explicit picture_saver(QObject* parent = nullptr);
  ~picture_saver() override;

  static QSize size_for(bool sixty_hz, bool widescreen);
  // The folder of the capture file named `capture_base` (the name without
  // its extension); the Pictures folder when none is set.
  static QString folder_for(const QString& capture_base);
  // The file name taken at `when` by the `number`th snapshot that second (1: none before).
  static QString file_name(const QDateTime& when, int number);
  // Writes `picture` (copied) scaled to `size` into `folder`, named for
  // `when`. A null picture is refused at once (failed()).
  void save(const QImage& picture, QSize size, const QString& folder,
            const QDateTime& when = QDateTime::currentDateTime());
  // The same for a display picture (render/display_picture.h), converted on
  // the writer's thread straight to `size`, as the display shows it in a
  // viewport of that size. An empty or invalid one is refused at once.
  void save(std::vector<unsigned char> uyvy, const picture_info& info, QSize size, const QString& folder,
            const QDateTime& when = QDateTime::currentDateTime());
  // Waits for the files being written (the window closes).
  void wait() { pool_.waitForDone(); }

 signals:
  void saved(const QString& path);
  void failed(const QString& why);

 private:
  // Makes the picture, scales, encodes and writes it on the writer's thread.
  void write(std::function<QImage()> picture, QSize size, const QString& folder, const QDateTime& when);

  // One writer: pictures are written in the order they were asked for.
  QThreadPool pool_;
};
