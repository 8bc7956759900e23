#include "record/file_sink.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {
constexpr int buffer_size = 1 << 18;

// The largest file the process may write on this file system.
int64_t largest_file(int fd) {
  int64_t largest = INT64_MAX;
  rlimit limit{};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) largest = int64_t(limit.rlim_cur);
  const long bits = ::fpathconf(fd, _PC_FILESIZEBITS);
  if (bits > 0 && bits < 63) largest = std::min(largest, (int64_t(1) << bits) - 1);
  struct statfs fs {};
  if (::fstatfs(fd, &fs) == 0 && fs.f_type == MSDOS_SUPER_MAGIC) largest = std::min(largest, (int64_t(1) << 32) - 1);
  return largest;
}
// Without fallocate, the free space is looked at after every so many bytes.
constexpr int64_t check_every = 4ll << 20;
}  // namespace

file_sink::~file_sink() { close(); }

int file_sink::open(const QByteArray& path) {
  fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return AVERROR(errno);
  ::flock(fd, LOCK_EX | LOCK_NB);
  auto* buffer = static_cast<uint8_t*>(av_malloc(buffer_size));
  if (buffer) context = avio_alloc_context(buffer, buffer_size, 1, this, nullptr, write_packet, seek);
  if (!context) {
    av_freep(&buffer);
    ::close(fd);
    fd = -1;
    return AVERROR(ENOMEM);
  }
  context->seekable = AVIO_SEEKABLE_NORMAL;
  max_file_bytes = largest_file(fd);
  position = end = allocated_end = checked_at = step_retry_at = 0;
  low = false;
  error = 0;
  can_allocate = true;
  keep_reserve();
  return 0;
}

int file_sink::write_packet(void* opaque, uint8_t* data, int size) {
  return static_cast<file_sink*>(opaque)->write(data, size);
}

int file_sink::write(const uint8_t* data, int size) {
  int left = size;
  while (left > 0) {
    const ssize_t n = ::pwrite(fd, data, size_t(left), position);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = AVERROR(n < 0 ? errno : EIO);
      if (n < 0 && errno == ENOSPC) low = true;
      return error;
    }
    data += n;
    left -= int(n);
    position += n;
  }
  end = std::max(end, position);
  keep_reserve();
  return size;
}

int64_t file_sink::seek(void* opaque, int64_t offset, int whence) {
  auto* sink = static_cast<file_sink*>(opaque);
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      return sink->end;
    case SEEK_SET:
      sink->position = offset;
      return offset;
    case SEEK_CUR:
      sink->position += offset;
      return sink->position;
    case SEEK_END:
      sink->position = sink->end + offset;
      return sink->position;
    default:
      return AVERROR(EINVAL);
  }
}

int64_t file_sink::free_bytes() const {
  if (forced_free_bytes >= 0) return forced_free_bytes;
  struct statvfs fs {};
  if (::fstatvfs(fd, &fs) != 0) return INT64_MAX;
  return int64_t(fs.f_bavail) * int64_t(fs.f_frsize);
}

void file_sink::keep_reserve() {
  if (low) return;
  const int64_t room = reserve_bytes + keep_free_bytes;
  if (can_allocate && forced_free_bytes < 0) {
    if (end + room <= allocated_end) return;
    // Well ahead when the disk has room; just the room asked for when it is
    // nearly full; and when not even that, it is time to end the file.
    // A step that did not fit is not tried again until the file has grown
    // by another step: on some file systems (tmpfs) a refused allocation
    // costs as much as the pages it tried.
    const bool try_step = end >= step_retry_at;
    for (int64_t want : {end + room + allocation_step, end + room}) {
      want = std::min(want, max_file_bytes);  // never past what the file may hold
      if (want <= allocated_end) return;
      if (want > end + room && !try_step) continue;
      if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, allocated_end, want - allocated_end) == 0) {
        allocated_end = want;
        return;
      }
      if (want > end + room && (errno == ENOSPC || errno == EDQUOT)) step_retry_at = end + allocation_step;
      if (errno == EINTR) return;  // tried again at the next write
      if (errno != ENOSPC && errno != EDQUOT) {
        can_allocate = false;  // the file system cannot: check the free space
        break;
      }
    }
    if (can_allocate) {
      low = true;
      return;
    }
  }
  if (end - checked_at < check_every && checked_at > 0) return;
  checked_at = std::max<int64_t>(end, 1);
  if (free_bytes() < room) low = true;
}

int file_sink::close() {
  if (fd < 0) return 0;
  int result = 0;
  if (context) {
    avio_flush(context);
    if (context->error < 0) result = context->error;
    av_freep(&context->buffer);
    avio_context_free(&context);
  }
  if (error < 0 && result == 0) result = error;
  // The blocks allocated beyond the end go back to the file system.
  if (allocated_end > end) {
    ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, end, allocated_end - end);
    if (::ftruncate(fd, end) != 0 && result == 0) result = AVERROR(errno);
  }
  if (::fsync(fd) != 0 && result == 0 && errno != EINVAL) result = AVERROR(errno);
  if (::close(fd) != 0 && result == 0) result = AVERROR(errno);
  fd = -1;
  return result;
}
