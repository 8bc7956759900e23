// The recording file as FFmpeg writes it: our own file descriptor behind an
// AVIOContext, so that the file keeps room for its own ending.
//
// The index and the lengths an AVI file needs at its end are written last;
// on a disk that fills up they would not fit, and the file would be left
// without them. So the sink keeps a reserve allocated ahead of the end of
// the file (fallocate with FALLOC_FL_KEEP_SIZE: the blocks are the file's,
// its size does not change) and reports space_low() as soon as it cannot
// keep the reserve whole. The writer then stops the recording and ends the
// file inside the reserve. Where the file system cannot allocate ahead, the
// free space is checked instead. At the close, whatever was allocated
// beyond the end is given back.
//
// A file system may also cap the size of a file (FAT: 4 GiB less a byte),
// and so may the process (RLIMIT_FSIZE). size_limit_near() tells when the
// file has grown as large as it may less the room its end needs: the writer
// then goes on in a new file.
//
// The file is locked (flock) while it is open: a repair started meanwhile,
// by a second instance of the program, leaves it alone.
#pragma once

#include <QByteArray>
#include <algorithm>
#include <cstdint>

struct AVIOContext;

class file_sink {
 public:
  file_sink() = default;
  file_sink(const file_sink&) = delete;
  file_sink& operator=(const file_sink&) = delete;
  ~file_sink();

  // Creates the file (it must not exist). An FFmpeg error code on failure.
  int open(const QByteArray& path);
  AVIOContext* io() const { return context; }
  // Fewer bytes left ahead of the end than the reserve: end the file now.
  bool space_low() const { return low; }
  // As large as the file may grow, less the room for its end.
  bool size_limit_near() const { return end + limit_reserve() >= max_file_bytes; }
  // Bytes the file holds on disk (what is still buffered is not).
  int64_t size() const { return end; }
  // The largest file allowed here (set by open()).
  int64_t max_file_bytes = INT64_MAX;
  // Flushes and closes; an FFmpeg error code if anything written was lost.
  int close();

  // Room kept for the end of the file: its last index (16 bytes a chunk in
  // the first section, 8 in later ones) and the frames and sound written
  // between the warning and the end.
  int64_t reserve_bytes = 24ll << 20;
  // Room beyond the reserve the disk must keep for this file: the sink is
  // low as soon as it cannot. It does not count against the size limit.
  int64_t keep_free_bytes = 0;
  // How far ahead the allocation runs, to allocate rarely.
  int64_t allocation_step = 64ll << 20;
  // Bytes the file system reports free, as the check without fallocate
  // sees them; a test hook (negative: the real figure).
  int64_t forced_free_bytes = -1;

 private:
  static int write_packet(void* opaque, uint8_t* data, int size);
  static int64_t seek(void* opaque, int64_t offset, int whence);
  int write(const uint8_t* data, int size);
  void keep_reserve();
  int64_t free_bytes() const;
  int64_t limit_reserve() const { return std::min(reserve_bytes, max_file_bytes / 4); }

  int fd = -1;
  AVIOContext* context = nullptr;
  int64_t position = 0;
  int64_t end = 0;            // the file's size
  int64_t allocated_end = 0;  // blocks are allocated up to here
  int64_t step_retry_at = 0;  // a whole allocation step is tried from here on
  bool can_allocate = true;   // the file system allocates ahead
  int64_t checked_at = 0;     // end when the free space was last checked
  bool low = false;
  int error = 0;
};
