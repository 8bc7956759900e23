// Making a recording whole again after its writer died: a crash, a kill, a
// power cut. The file is mended in place, in the layout FFmpeg's AVI muxer
// gives a file it finishes, without a second copy of it.
//
// What such a file holds: the header FFmpeg wrote first, with lengths of 0
// and the OpenDML master index still empty or holding the sections finished
// so far; every finished 1 GiB section (RIFF 'AVI ', then 'AVIX') closed
// with its size and its standard indexes ('ix00', 'ix01', and 'idx1' in the
// first); and the last section open, its sizes 0xFFFFFFFF, ending in
// whatever part of the last chunk reached the disk.
//
// The repair walks the chunk headers of the open section only (the finished
// ones are known from the master index), cuts the file after its last whole
// chunk, writes that section's indexes and sizes, and the lengths of the
// header: every complete frame and all the sound up to the last whole chunk
// are kept.
//
// A chunk header that does not fit its streams (an id no stream has, a size
// no frame or sound chunk can have, a chunk that does not end where the next
// begins) is damage, not the end: the bytes after it are searched for the
// next chunk that fits and is followed by another, and the walk goes on from
// there. A damaged size whose chunk ends exactly where the next good one
// begins is mended; any other damaged stretch is turned into a 'JUNK' chunk
// in place, which every reader skips and no index points at. Only the
// damaged stretch is read whole.
#pragma once

#include <QString>
#include <cstdint>

struct avi_repair_result {
  bool ok = false;
  // Why it failed (not an AVI file, a layout this does not know, I/O).
  QString error;
  // The file could not be reached or read (missing, in use, an I/O error):
  // worth trying again later, unlike a file that is no recording.
  bool worth_retrying = false;
  // A recording in progress holds the file: not for a repair.
  bool in_use = false;
  // Already whole (it was finished, or repaired before): nothing written.
  bool was_whole = false;
  // The file holds no whole frame (it ends in its header, or before its
  // first frame is whole): nothing to keep, and it was left as it was.
  // A file finished before its first frame is whole too (was_whole), and no
  // more readable.
  bool nothing_to_keep = false;
  // The file as it now stands.
  int64_t video_frames = 0;
  int64_t audio_samples = 0;  // sample frames
  double video_seconds = 0.0;
  double audio_seconds = 0.0;
  int sections = 0;
  // Bytes cut off the end (the torn chunk, a half-written section start or
  // index) and bytes of the file read to find that out.
  int64_t bytes_cut = 0;
  int64_t bytes_read = 0;
  // Damaged stretches inside what was kept, now 'JUNK': their bytes, how
  // many, and how many of them began with a frame's header (frames lost, at
  // least; what else a stretch held cannot be told).
  int64_t bytes_dropped = 0;
  int stretches_dropped = 0;
  int64_t frames_dropped = 0;
  // Chunk headers whose damaged size was mended: their chunks are kept.
  int headers_mended = 0;
};

// The file must not be open for writing elsewhere: a recording in progress
// holds a lock on its file, and then the repair refuses.
avi_repair_result repair_avi(const QString& path);

// "12 min 5.4 s, 18135 frames" and the like, for telling the user.
QString describe_repaired_length(const avi_repair_result& result);

// What the repair could not keep or had to mend inside the file, for telling
// the user: "3391488 bytes of damaged data dropped in 1 place (at least 1
// frame); 1 damaged chunk header mended"; empty when there was none.
QString describe_damage(const avi_repair_result& result);
