// For damaging recordings on purpose in the repair's tests: a file's bytes,
// and the chunks of its last 'movi' list, walked by their headers as the
// writer left them (the torn one at the end too).
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstdint>
#include <cstring>
#include <vector>

// A file's bytes as they are (empty when it cannot be read), and a file
// written with exactly these bytes.
inline QByteArray file_bytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool write_bytes(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

struct chunk_at {
  qsizetype at;  // where its header starts
  QByteArray id;
  uint32_t size;
};

inline std::vector<chunk_at> chunks_of(const QByteArray& bytes) {
  std::vector<chunk_at> chunks;
  for (qsizetype at = bytes.lastIndexOf("movi") + 4; at + 8 <= bytes.size();) {
    const QByteArray id = bytes.mid(at, 4);
    if (id != "00dc" && id != "01wb") break;
    uint32_t size = 0;
    std::memcpy(&size, bytes.constData() + at + 4, 4);
    chunks.push_back({at, id, size});
    at += 8 + size + (size & 1);
  }
  return chunks;
}

// The `n`th chunk with `id`, from chunk `from` on; null when there is none.
inline const chunk_at* nth_chunk(const std::vector<chunk_at>& chunks, const char* id, int n, size_t from = 0) {
  for (size_t i = from; i < chunks.size(); ++i)
    if (chunks[i].id == id && n-- == 0) return &chunks[i];
  return nullptr;
}

inline void put_size(QByteArray* bytes, const chunk_at& c, uint32_t size) {
  bytes->replace(c.at + 4, 4, QByteArray(reinterpret_cast<const char*>(&size), 4));
}
