#include "record/avi_repair.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <QStringList>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t open_size = 0xFFFFFFFFu;  // what FFmpeg writes before a size is known
// No chunk of a recording comes near this: a size beyond it is not a chunk.
constexpr uint32_t largest_chunk = 64u << 20;
constexpr uint32_t keyframe_flag = 0x10;  // idx1: AVIIF_KEYFRAME

constexpr uint32_t fourcc(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }
void put32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(uint8_t(v >> (8 * i)));
}
void put16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(uint8_t(v));
  out->push_back(uint8_t(v >> 8));
}
void put64(std::vector<uint8_t>* out, uint64_t v) {
  put32(out, uint32_t(v));
  put32(out, uint32_t(v >> 32));
}

struct chunk {
  int64_t offset;  // of its header
  uint32_t size;
  int stream;
  uint32_t id;
};

// A chunk header where the walk or the search finds one.
struct chunk_header {
  uint32_t id = 0, size = 0;
  int named = -1;      // the stream its id names, whatever its size
  bool fits = false;   // a chunk of that stream of a size it can have, or 'JUNK'
  bool index = false;  // 'ix00', 'idx1' ...: where a closing writer began its indexes
};

// A header written over a damaged one: its size mended, or a 'JUNK' chunk
// over a stretch that cannot be placed.
struct header_fix {
  int64_t at;
  uint32_t id, size;
};

struct stream_header {
  uint32_t type = 0;             // 'vids' or 'auds'
  int64_t length_at = -1;        // strh dwLength
  int64_t buffer_size_at = -1;   // strh dwSuggestedBufferSize
  uint32_t scale = 0, rate = 0;  // strh: units per second = rate / scale
  uint32_t block_align = 0;      // audio: bytes per sample frame
  int64_t index_at = -1;         // the master index chunk's header ('JUNK' until used, then 'indx')
  uint32_t index_capacity = 0;
  uint32_t chunk_id = 0;      // '00dc', '01wb'
  uint32_t alt_chunk_id = 0;  // video: '00db', the id of a frame stored uncompressed
  // The sizes its chunks can have: a sound chunk holds whole sample frames.
  uint32_t smallest = 1, largest = largest_chunk, granule = 1;

  bool fits(uint32_t size) const { return size >= smallest && size <= largest && size % granule == 0; }
};

struct section {
  int64_t riff_at;  // 'RIFF' header
  uint32_t riff_size;
  int64_t movi_at;  // 'LIST' header of its 'movi'
  uint32_t movi_size;
};

class repair {
 public:
  explicit repair(int fd) : fd(fd) {}

  avi_repair_result run();

 private:
  bool read_at(int64_t offset, void* data, size_t size);
  bool write_at(int64_t offset, const void* data, size_t size);
  bool write32_at(int64_t offset, uint32_t value);
  // The file ends at `at` from now on.
  bool cut(int64_t at);
  // What the repair tells of a stream that holds `units` frames or samples.
  void note_length(const stream_header& st, int64_t units);
  bool fail(const QString& why) {
    result.error = why;
    return false;
  }
  bool fail_io(const QString& why) {
    result.worth_retrying = true;
    return fail(why);
  }
  bool parse_header();
  bool parse_stream_list(int64_t at, int64_t end);
  bool find_sections();
  bool scan_movi(const section& s, std::vector<chunk>* chunks, int64_t* good_end);
  bool read_header(int64_t at, chunk_header* h);
  chunk_header classify(uint32_t id, uint32_t size) const;
  // The first place from `from` on where a chunk that fits begins and the
  // chain of chunks goes on (or that begins the torn chunk at `end`); -1
  // when there is none.
  bool find_next_chunk(int64_t from, int64_t end, int64_t* found);
  // The stretch from `at` (its header `h`) to the good chunk at `next`.
  void mend_or_drop(int64_t at, const chunk_header& h, int64_t next, std::vector<chunk>* chunks);
  bool nothing_to_keep(const QString& why) {
    result.nothing_to_keep = true;
    return fail(why);
  }
  // Whether a finished section's 'movi' list holds a frame (or something
  // unknown): its chunk headers up to the first frame.
  bool first_frame_in(const section& s, bool* holds);
  bool close_first_section(const section& s, const std::vector<chunk>& chunks, int64_t end);
  bool close_later_section(int number, const section& s, const std::vector<chunk>& chunks, int64_t end);
  bool write_totals(int complete_sections, const std::vector<chunk>* last);
  bool read_lengths();
  bool master_entry(const stream_header& st, uint32_t n, uint64_t* offset, uint32_t* duration);
  int stream_of(uint32_t id) const;

  int fd;
  int64_t file_size = 0;
  avi_repair_result result;
  int64_t total_frames_at = -1;  // avih dwTotalFrames
  int64_t odml_at = -1;          // 'JUNK'/'LIST' header of the OpenDML extension
  std::vector<stream_header> streams;
  std::vector<section> sections;
  int64_t cut_at = -1;  // the file ends here once the torn part is gone
  bool ended = false;   // a read found the end of the file
  std::vector<header_fix> fixes;
};

bool repair::read_at(int64_t offset, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail_io(QString("cannot read the file: %1").arg(std::strerror(errno)));
    if (n == 0) {
      ended = true;
      return fail("the file ends in its header");
    }
    result.bytes_read += n;
    p += n;
    offset += n;
    size -= size_t(n);
  }
  return true;
}

bool repair::write_at(int64_t offset, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail_io(QString("cannot write the file: %1").arg(std::strerror(n < 0 ? errno : EIO)));
    p += n;
    offset += n;
    size -= size_t(n);
  }
  return true;
}

bool repair::write32_at(int64_t offset, uint32_t value) {
  uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
  return write_at(offset, b, 4);
}

bool repair::cut(int64_t at) {
  if (::ftruncate(fd, at) != 0) return fail_io(QString("cannot cut the torn end: %1").arg(std::strerror(errno)));
  file_size = at;
  return true;
}

void repair::note_length(const stream_header& st, int64_t units) {
  const double seconds = double(units) * st.scale / st.rate;
  if (st.type == fourcc("vids")) {
    result.video_frames = units;
    result.video_seconds = seconds;
  } else {
    result.audio_samples = units;
    result.audio_seconds = seconds;
  }
}

int repair::stream_of(uint32_t id) const {
  for (size_t i = 0; i < streams.size(); ++i)
    if (streams[i].chunk_id == id || (streams[i].alt_chunk_id != 0 && streams[i].alt_chunk_id == id)) return int(i);
  return -1;
}

bool repair::parse_stream_list(int64_t at, int64_t end) {
  stream_header st;
  while (at + 8 <= end) {
    uint8_t h[8];
    if (!read_at(at, h, 8)) return false;
    const uint32_t id = le32(h), size = le32(h + 4);
    const int64_t data = at + 8;
    if (data + size > end) return fail("a stream header runs past its list");
    if (id == fourcc("strh") && size >= 48) {
      uint8_t d[48];
      if (!read_at(data, d, 48)) return false;
      st.type = le32(d);
      st.scale = le32(d + 20);
      st.rate = le32(d + 24);
      st.length_at = data + 32;
      st.buffer_size_at = data + 36;
    } else if (id == fourcc("strf") && st.type == fourcc("auds") && size >= 14) {
      uint8_t d[14];
      if (!read_at(data, d, 14)) return false;
      st.block_align = le16(d + 12);
      // At most a second of sound in a chunk, and whole sample frames.
      if (st.block_align > 0) {
        st.granule = st.block_align;
        st.smallest = st.block_align;
        const uint32_t second = std::max<uint32_t>(le32(d + 8), 64u * st.block_align);
        st.largest = std::min(largest_chunk, second - second % st.block_align);
      }
    } else if (id == fourcc("strf") && st.type == fourcc("vids") && size >= 20) {
      // BITMAPINFOHEADER. A HuffYUV frame codes every sample of the picture
      // (bit count / 8 of them a pixel) in 1 to 32 bits: no frame is
      // smaller or larger than that allows.
      uint8_t d[20];
      if (!read_at(data, d, 20)) return false;
      const int64_t width = std::abs(int64_t(int32_t(le32(d + 4))));
      const int64_t height = std::abs(int64_t(int32_t(le32(d + 8))));
      const int64_t bits = le16(d + 14);
      const int64_t bits_a_frame = width * height * bits;
      if (le32(d + 16) == fourcc("HFYU") && bits_a_frame > 0 && bits_a_frame <= int64_t(largest_chunk) * 8) {
        st.smallest = uint32_t(std::max<int64_t>(1, bits_a_frame / 64));
        st.largest = uint32_t(std::min<int64_t>(largest_chunk, bits_a_frame / 2 + 4096));
      }
    } else if ((id == fourcc("JUNK") || id == fourcc("indx")) && size >= 24) {
      // The OpenDML master index: four longs an entry, an index of indexes.
      uint8_t d[24];
      if (!read_at(data, d, 24)) return false;
      if (le16(d) == 4 && d[2] == 0 && d[3] == 0) {
        st.index_at = at;
        st.index_capacity = (size - 24) / 16;
      }
    }
    at = data + size + (size & 1);
  }
  // Its chunks: the stream's number in two digits, then 'dc' or 'wb'.
  const uint32_t number = uint32_t('0' + streams.size() / 10) | uint32_t('0' + streams.size() % 10) << 8;
  if (st.type == fourcc("vids")) {
    st.chunk_id = number | (fourcc("00dc") & 0xFFFF0000u);
    st.alt_chunk_id = number | (fourcc("00db") & 0xFFFF0000u);
  } else if (st.type == fourcc("auds"))
    st.chunk_id = number | (fourcc("00wb") & 0xFFFF0000u);
  else
    return fail("a stream that is neither video nor sound");
  if (st.length_at < 0 || st.scale == 0 || st.rate == 0) return fail("a stream without its header");
  if (st.type == fourcc("auds") && st.block_align == 0) return fail("a sound stream without its format");
  streams.push_back(st);
  return true;
}

bool repair::parse_header() {
  // A file cut before its twelfth byte still shows what it began as.
  uint8_t h[12] = {};
  const size_t there = size_t(std::min<int64_t>(12, file_size));
  if (there > 0 && !read_at(0, h, there)) return false;
  if (std::memcmp(h, "RIFF", std::min<size_t>(there, 4)) != 0 ||
      (there > 8 && std::memcmp(h + 8, "AVI ", there - 8) != 0))
    return fail("not an AVI file");
  if (there < 12) return nothing_to_keep("it ends in its header");
  // The header list comes first; FFmpeg closes it before the first frame.
  int64_t at = 12;
  uint8_t l[12];
  if (!read_at(at, l, 12)) return false;
  if (le32(l) != fourcc("LIST") || le32(l + 8) != fourcc("hdrl") || le32(l + 4) == open_size)
    return fail("the AVI header is missing or unfinished");
  const int64_t hdrl_end = at + 8 + le32(l + 4);
  at += 12;
  while (at + 8 <= hdrl_end) {
    uint8_t c[12];
    if (!read_at(at, c, 12)) return false;
    const uint32_t id = le32(c), size = le32(c + 4);
    if (at + 8 + int64_t(size) > hdrl_end) return fail("the AVI header is damaged");
    if (id == fourcc("avih") && size >= 20) total_frames_at = at + 8 + 16;
    if (id == fourcc("LIST") && le32(c + 8) == fourcc("strl") && !parse_stream_list(at + 12, at + 8 + size))
      return false;
    if ((id == fourcc("JUNK") || id == fourcc("LIST")) && le32(c + 8) == fourcc("odml")) odml_at = at;
    at += 8 + size + (size & 1);
  }
  if (total_frames_at < 0 || streams.empty()) return fail("the AVI header is damaged");
  return true;
}

// The top-level sections: finished ones carry their size, the open one
// 0xFFFFFFFF. Anything after the last finished section that is not a whole
// section start is cut.
bool repair::find_sections() {
  int64_t at = 0;
  while (at + 24 <= file_size) {
    uint8_t h[12];
    if (!read_at(at, h, 12)) return false;
    const uint32_t type = le32(h + 8);
    if (le32(h) != fourcc("RIFF") || (type != fourcc("AVI ") && type != fourcc("AVIX"))) break;
    if ((at == 0) != (type == fourcc("AVI "))) break;
    section s{at, le32(h + 4), -1, open_size};
    // The 'movi' list: first thing in an 'AVIX', after the header in the first.
    int64_t in = at + 12;
    const int64_t end = s.riff_size == open_size ? file_size : at + 8 + int64_t(s.riff_size);
    while (in + 12 <= std::min(end, file_size)) {
      uint8_t c[12];
      if (!read_at(in, c, 12)) return false;
      const uint32_t size = le32(c + 4);
      if (le32(c) == fourcc("LIST") && le32(c + 8) == fourcc("movi")) {
        s.movi_at = in;
        s.movi_size = size;
        break;
      }
      if (size == open_size) break;
      in += 8 + int64_t(size) + (size & 1);
    }
    if (s.movi_at < 0) break;  // a section that never got its first frame
    sections.push_back(s);
    if (s.riff_size == open_size) return true;
    at += 8 + int64_t(s.riff_size) + (s.riff_size & 1);
    if (at > file_size) return fail("a finished section runs past the end of the file");
  }
  if (sections.empty()) return nothing_to_keep("it ends before its first frame");
  cut_at = at;  // what follows the last finished section
  return true;
}

chunk_header repair::classify(uint32_t id, uint32_t size) const {
  chunk_header h;
  h.id = id;
  h.size = size;
  h.named = stream_of(id);
  if (h.named >= 0)
    h.fits = streams[size_t(h.named)].fits(size);
  else if (id == fourcc("JUNK"))
    h.fits = true;
  else
    h.index = id == fourcc("idx1") || (id & 0xFFFFu) == (fourcc("ix00") & 0xFFFFu);
  return h;
}

bool repair::read_header(int64_t at, chunk_header* h) {
  uint8_t b[8];
  if (!read_at(at, b, 8)) return false;
  *h = classify(le32(b), le32(b + 4));
  return true;
}

bool repair::find_next_chunk(int64_t from, int64_t end, int64_t* found) {
  *found = -1;
  // Chunks begin on even offsets; the search reads the stretch in blocks.
  constexpr int64_t block = 1 << 20;
  std::vector<uint8_t> bytes;
  for (int64_t base = from + (from & 1); end - base >= 8; base += block) {
    const int64_t length = std::min(block + 8, end - base);
    bytes.resize(size_t(length));
    if (!read_at(base, bytes.data(), size_t(length))) return false;
    for (int64_t i = 0; i < block && i + 8 <= length; i += 2) {
      const chunk_header h = classify(le32(&bytes[size_t(i)]), le32(&bytes[size_t(i) + 4]));
      if (!h.fits) continue;
      const int64_t at = base + i;
      const int64_t data_end = at + 8 + int64_t(h.size);
      if (data_end > end) {
        // The torn chunk the writer was at.
        if (h.named < 0) continue;
        *found = at;
        return true;
      }
      const int64_t next = data_end + (h.size & 1);
      chunk_header n;
      if (end - next >= 8 && !read_header(next, &n)) return false;
      if (end - next < 8 || n.fits || n.index) {
        *found = at;
        return true;
      }
    }
  }
  return true;
}

void repair::mend_or_drop(int64_t at, const chunk_header& h, int64_t next, std::vector<chunk>* chunks) {
  const uint32_t gap = uint32_t(next - at - 8);
  if (h.named >= 0 && streams[size_t(h.named)].fits(gap)) {
    // Its own id, and the next chunk where a size it can have puts it: only
    // the size was damaged.
    fixes.push_back({at, h.id, gap});
    chunks->push_back({at, gap, h.named, h.id});
    ++result.headers_mended;
    return;
  }
  fixes.push_back({at, fourcc("JUNK"), gap});
  result.bytes_dropped += next - at;
  ++result.stretches_dropped;
  if (h.named >= 0 && h.size > 0 && streams[size_t(h.named)].type == fourcc("vids")) ++result.frames_dropped;
}

bool repair::scan_movi(const section& s, std::vector<chunk>* chunks, int64_t* good_end) {
  int64_t at = s.movi_at + 12;
  const int64_t end = s.movi_size == open_size ? file_size : std::min(file_size, s.movi_at + 8 + int64_t(s.movi_size));
  *good_end = at;
  // Chunk headers only, each checked against the one after it: the data in
  // between is read only where a header is damaged.
  chunk_header h;
  bool known = false;  // h is the header at `at`
  while (end - at >= 8) {
    if (!known && !read_header(at, &h)) return false;
    known = false;
    if (h.index) break;  // the writer was closing the section
    const int64_t data_end = at + 8 + int64_t(h.size);
    const int64_t next = data_end + (h.size & 1);
    if (h.fits && data_end <= end) {
      // The pad byte of an odd chunk may be what was torn off: written anew.
      if (end - next < 8) {
        if (h.named >= 0) chunks->push_back({at, h.size, h.named, h.id});
        *good_end = std::min(next, end);
        break;
      }
      chunk_header after;
      if (!read_header(next, &after)) return false;
      if (after.fits || after.index) {
        if (h.named >= 0) chunks->push_back({at, h.size, h.named, h.id});
        *good_end = at = next;
        h = after;
        known = true;
        continue;
      }
      // The chain breaks after this chunk: its size is damaged, or the
      // header after it is.
      int64_t found = -1;
      if (!find_next_chunk(at + 8, end, &found)) return false;
      if (found < 0) {
        // No chunk follows: the file ends in something else (the zeros
        // of a disk that never got the rest).
        if (h.named >= 0) chunks->push_back({at, h.size, h.named, h.id});
        *good_end = next;
        break;
      }
      // Its own size is damaged when a good chunk begins inside it, or when
      // what follows it is no header at all and the good chunk lies where a
      // size a bit or two away from its own puts it (a flipped bit, a torn
      // byte). Otherwise the damage begins with the header after it.
      const uint32_t gap = uint32_t(found - at - 8);
      const bool own_size_damaged =
          found < next || (h.named >= 0 && after.named < 0 && after.id != fourcc("JUNK") &&
                           streams[size_t(h.named)].fits(gap) && std::popcount(gap ^ h.size) <= 2);
      if (own_size_damaged) {
        mend_or_drop(at, h, found, chunks);
      } else {
        if (h.named >= 0) chunks->push_back({at, h.size, h.named, h.id});
        // A stretch too short to turn into a chunk of its own: the next
        // good chunk is further on.
        if (found < next + 8 && !find_next_chunk(next + 8, end, &found)) return false;
        if (found < 0) {
          *good_end = next;
          break;
        }
        mend_or_drop(next, after, found, chunks);
      }
      *good_end = at = found;
      continue;
    }
    // A header no stream's chunk can have, or a chunk that runs past the
    // end: the torn end, or damage with good chunks after it.
    int64_t found = -1;
    if (!find_next_chunk(at + 8, end, &found)) return false;
    if (found < 0) break;
    mend_or_drop(at, h, found, chunks);
    *good_end = at = found;
  }
  return true;
}

bool repair::first_frame_in(const section& s, bool* holds) {
  *holds = true;
  bool has_video = false;
  for (const stream_header& st : streams) has_video |= st.type == fourcc("vids");
  if (!has_video) return true;
  int64_t at = s.movi_at + 12;
  const int64_t end = std::min(file_size, s.movi_at + 8 + int64_t(s.movi_size));
  while (end - at >= 8) {
    chunk_header h;
    if (!read_header(at, &h)) return false;
    // A frame, or something not known: not for saying there is none.
    if (h.named < 0 || streams[size_t(h.named)].type == fourcc("vids")) return true;
    at += 8 + int64_t(h.size) + (h.size & 1);
  }
  *holds = false;
  return true;
}

bool repair::close_first_section(const section& s, const std::vector<chunk>& chunks, int64_t end) {
  // As FFmpeg finishes a file of one section: the 'movi' list, then the
  // legacy index, then the lengths. No OpenDML index.
  std::vector<uint8_t> out;
  if (end & 1) out.push_back(0);
  const int64_t index_at = end + int64_t(out.size());
  put32(&out, fourcc("idx1"));
  put32(&out, uint32_t(chunks.size() * 16));
  const int64_t base = s.movi_at + 8;  // offsets from the 'movi' fourcc
  for (const chunk& c : chunks) {
    put32(&out, c.id);
    put32(&out, keyframe_flag);
    put32(&out, uint32_t(c.offset - base));
    put32(&out, c.size);
  }
  if (!cut(end) || !write_at(end, out.data(), out.size())) return false;
  const int64_t file_end = end + int64_t(out.size());
  if (!write32_at(s.movi_at + 4, uint32_t(index_at - (s.movi_at + 8)))) return false;
  if (!write32_at(s.riff_at + 4, uint32_t(file_end - (s.riff_at + 8)))) return false;
  file_size = file_end;
  return true;
}

bool repair::close_later_section(int number, const section& s, const std::vector<chunk>& chunks, int64_t end) {
  // As FFmpeg closes an 'AVIX' section: a standard index per stream inside
  // its 'movi' list, each entered in the stream's master index. The indexes
  // go to the disk before anything points at them.
  std::vector<uint8_t> out;
  if (end & 1) out.push_back(0);
  const int64_t base = s.movi_at + 8;
  struct master_entry {
    int64_t at;
    std::vector<uint8_t> bytes;
  };
  std::vector<master_entry> entries;
  for (size_t n = 0; n < streams.size(); ++n) {
    stream_header& st = streams[n];
    if (st.index_at < 0 || uint32_t(number) >= st.index_capacity)
      return fail("the file has no room in its header for the index of this section");
    std::vector<const chunk*> own;
    uint64_t bytes = 0;
    for (const chunk& c : chunks)
      if (c.stream == int(n)) {
        own.push_back(&c);
        bytes += c.size;
      }
    const int64_t ix_at = end + int64_t(out.size());
    const uint32_t ix_tag = fourcc("ix00") + (uint32_t(n) << 24);
    put32(&out, ix_tag);
    put32(&out, uint32_t(own.size() * 8 + 24));
    put16(&out, 2);  // longs an entry
    out.push_back(0);
    out.push_back(1);  // an index of chunks
    put32(&out, uint32_t(own.size()));
    put32(&out, st.chunk_id);
    put64(&out, uint64_t(base));
    put32(&out, 0);
    for (const chunk* c : own) {
      put32(&out, uint32_t(c->offset + 8 - base));
      put32(&out, c->size);  // top bit clear: a key frame
    }
    const uint32_t ix_size = uint32_t(end + int64_t(out.size()) - ix_at);
    const uint32_t duration = st.type == fourcc("auds") ? uint32_t(bytes / st.block_align) : uint32_t(own.size());
    master_entry e{st.index_at + 8 + 24 + int64_t(number) * 16, {}};
    put64(&e.bytes, uint64_t(ix_at));
    put32(&e.bytes, ix_size);
    put32(&e.bytes, duration);
    entries.push_back(std::move(e));
  }
  if (!cut(end) || !write_at(end, out.data(), out.size())) return false;
  const int64_t file_end = end + int64_t(out.size());
  for (size_t n = 0; n < streams.size(); ++n) {
    // The entry, how many are in use, and the chunk named as an index.
    if (!write_at(entries[n].at, entries[n].bytes.data(), entries[n].bytes.size())) return false;
    if (!write32_at(streams[n].index_at + 8 + 4, uint32_t(number + 1))) return false;
    if (!write32_at(streams[n].index_at, fourcc("indx"))) return false;
  }
  if (!write32_at(s.movi_at + 4, uint32_t(file_end - (s.movi_at + 8)))) return false;
  if (!write32_at(s.riff_at + 4, uint32_t(file_end - (s.riff_at + 8)))) return false;
  file_size = file_end;
  return true;
}

bool repair::master_entry(const stream_header& st, uint32_t n, uint64_t* offset, uint32_t* duration) {
  if (st.index_at < 0 || n >= st.index_capacity) return fail("the file's master index is missing");
  uint8_t e[16];
  if (!read_at(st.index_at + 8 + 24 + int64_t(n) * 16, e, 16)) return false;
  *offset = le64(e);
  *duration = le32(e + 12);
  return true;
}

// The lengths in the header: strh of each stream, avih for the first
// section, and for a file of more than one section the OpenDML total.
bool repair::write_totals(int complete_sections, const std::vector<chunk>* last) {
  // A file of one finished section got its lengths with its index.
  if (complete_sections == 1 && !last) return read_lengths();
  std::vector<int64_t> units(streams.size(), 0);  // frames, or sample frames
  std::vector<uint32_t> largest(streams.size(), 0);
  int64_t first_section_frames = -1;
  if (complete_sections > 0) {
    for (size_t n = 0; n < streams.size(); ++n) {
      uint8_t in_use[4];
      if (streams[n].index_at < 0) return fail("the file's master index is missing");
      if (!read_at(streams[n].index_at + 8 + 4, in_use, 4)) return false;
      if (le32(in_use) < uint32_t(complete_sections)) return fail("the file's master index misses a finished section");
      for (int k = 0; k < complete_sections; ++k) {
        uint64_t offset = 0;
        uint32_t duration = 0;
        if (!master_entry(streams[n], uint32_t(k), &offset, &duration)) return false;
        if (offset == 0 || int64_t(offset) >= file_size) return fail("the file's master index is damaged");
        units[n] += duration;
        if (k == 0 && streams[n].type == fourcc("vids")) first_section_frames = duration;
      }
    }
  }
  if (last) {
    for (const chunk& c : *last) {
      const stream_header& st = streams[size_t(c.stream)];
      units[size_t(c.stream)] += st.type == fourcc("auds") ? int64_t(c.size / st.block_align) : 1;
      largest[size_t(c.stream)] = std::max(largest[size_t(c.stream)], c.size);
    }
    if (complete_sections == 0) {
      // One section: the audio units are bytes until here.
      for (size_t n = 0; n < streams.size(); ++n)
        if (streams[n].type == fourcc("vids")) first_section_frames = units[n];
    }
  }
  int64_t video_frames = 0;
  for (size_t n = 0; n < streams.size(); ++n) {
    const stream_header& st = streams[n];
    if (!write32_at(st.length_at, uint32_t(units[n]))) return false;
    uint8_t b[4];
    if (!read_at(st.buffer_size_at, b, 4)) return false;
    if (largest[n] > le32(b) && !write32_at(st.buffer_size_at, largest[n])) return false;
    if (st.type == fourcc("vids")) video_frames = std::max(video_frames, units[n]);
    note_length(st, units[n]);
  }
  if (first_section_frames >= 0 && !write32_at(total_frames_at, uint32_t(first_section_frames))) return false;
  const int all_sections = complete_sections + (last ? 1 : 0);
  if (all_sections > 1) {
    if (odml_at < 0) return fail("the file has no room for its OpenDML header");
    if (!write32_at(odml_at, fourcc("LIST"))) return false;
    // 'LIST' size 'odml' 'dmlh' size, then the total frames.
    if (!write32_at(odml_at + 20, uint32_t(video_frames))) return false;
  }
  result.sections = all_sections;
  return true;
}

bool repair::read_lengths() {
  for (const stream_header& st : streams) {
    uint8_t b[4];
    if (!read_at(st.length_at, b, 4)) return false;
    note_length(st, le32(b));
  }
  result.sections = 1;
  return true;
}

avi_repair_result repair::run() {
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size < 0) {
    fail_io(QString("cannot read the file: %1").arg(std::strerror(errno)));
    return result;
  }
  file_size = size;
  if (!parse_header() || !find_sections()) {
    // Cut inside its header: a recording that ended before its first frame.
    if (ended) result.nothing_to_keep = true;
    return result;
  }
  const section last = sections.back();
  if (last.riff_size != open_size) {
    // Every section was finished: at most a half-written start of the next
    // one is left over, and the lengths may not have been written.
    const int complete = int(sections.size());
    bool holds_frame = true;
    if (complete == 1 && !first_frame_in(sections[0], &holds_frame)) return result;
    if (!holds_frame) {
      // Finished before its first frame: no reader opens it either.
      result.was_whole = cut_at == file_size;
      nothing_to_keep("it was finished before its first frame");
      return result;
    }
    result.bytes_cut = file_size - cut_at;
    if ((cut_at < file_size && !cut(cut_at)) || !write_totals(complete, nullptr)) return result;
    result.was_whole = result.bytes_cut == 0;
    result.ok = true;
    return result;
  }

  std::vector<chunk> chunks;
  int64_t good_end = 0;
  if (!scan_movi(last, &chunks, &good_end)) return result;
  const int number = int(sections.size()) - 1;
  if (number == 0) {
    // Without a whole frame no reader opens the file: it is left as it is.
    bool has_video = false, has_frame = false;
    for (const stream_header& st : streams) has_video |= st.type == fourcc("vids");
    for (const chunk& c : chunks) has_frame |= !has_video || streams[size_t(c.stream)].type == fourcc("vids");
    if (!has_frame) {
      nothing_to_keep("it ends before its first frame is whole");
      return result;
    }
  }
  // What was damaged is mended or made 'JUNK' first: a repair cut short
  // here finds the same chunks the next time.
  for (const header_fix& f : fixes) {
    if (!write32_at(f.at, f.id) || !write32_at(f.at + 4, f.size)) return result;
  }
  result.bytes_cut = std::max<int64_t>(0, file_size - good_end);
  if (chunks.empty() && number > 0) {
    // A section begun and nothing in it: the file ends with the one before.
    result.bytes_cut = file_size - last.riff_at;
    if (!cut(last.riff_at) || !write_totals(number, nullptr)) return result;
    result.ok = true;
    return result;
  }
  const bool closed =
      number == 0 ? close_first_section(last, chunks, good_end) : close_later_section(number, last, chunks, good_end);
  if (!closed || !write_totals(number, &chunks)) return result;
  result.ok = true;
  return result;
}

}  // namespace

avi_repair_result repair_avi(const QString& path) {
  avi_repair_result result;
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    result.error = QString("cannot open it: %1").arg(std::strerror(error));
    result.worth_retrying = true;
    return result;
  }
  // A recording in progress holds this lock on its file.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    result.in_use = error == EWOULDBLOCK;
    result.error = result.in_use ? QString("it is being recorded right now")
                                 : QString("cannot lock it: %1").arg(std::strerror(error));
    result.worth_retrying = true;
    ::close(fd);
    return result;
  }
  result = repair(fd).run();
  if (result.ok && !result.was_whole && ::fsync(fd) != 0) {
    const int error = errno;
    result.ok = false;
    result.worth_retrying = true;
    result.error = QString("cannot write the file: %1").arg(std::strerror(error));
  }
  ::close(fd);  // releases the lock
  return result;
}

QString describe_repaired_length(const avi_repair_result& result) {
  const double seconds = result.video_seconds;
  const int64_t whole = int64_t(seconds);
  QString length;
  if (whole >= 3600)
    length = QString("%1 h %2 min %3 s")
                 .arg(whole / 3600)
                 .arg(whole / 60 % 60)
                 .arg(seconds - double(whole / 60 * 60), 0, 'f', 1);
  else if (whole >= 60)
    length = QString("%1 min %2 s").arg(whole / 60).arg(seconds - double(whole / 60 * 60), 0, 'f', 1);
  else
    length = QString("%1 s").arg(seconds, 0, 'f', 1);
  return QString("%1, %2 frames").arg(length).arg(result.video_frames);
}

QString describe_damage(const avi_repair_result& result) {
  QStringList parts;
  if (result.stretches_dropped > 0) {
    QString dropped = QString("%1 bytes of damaged data dropped in %2 %3")
                          .arg(result.bytes_dropped)
                          .arg(result.stretches_dropped)
                          .arg(result.stretches_dropped == 1 ? "place" : "places");
    if (result.frames_dropped > 0)
      dropped +=
          QString(" (at least %1 %2)").arg(result.frames_dropped).arg(result.frames_dropped == 1 ? "frame" : "frames");
    parts << dropped;
  }
  if (result.headers_mended > 0)
    parts << QString("%1 damaged chunk %2 mended")
                 .arg(result.headers_mended)
                 .arg(result.headers_mended == 1 ? "header" : "headers");
  return parts.join("; ");
}
