// Which field of each picture the signal sends first, and which rows of a
// frame each field fills.
//
// The stick marks every field with the decoder's field bit, bit 6 of its
// first packet. The flag handed over with a field is that bit of the next
// field's start (field_sink.h), so a field that started 0xC0 comes with the
// flag clear. The flag-clear field is the top field: it fills a frame's
// even rows (0, 2, 4 ...), as the kernel's stk1160 driver places it; the
// flag-set field fills the odd rows.
//
// A 625-line signal (PAL) sends the top field first: its pictures are
// [flag clear, flag set], top field first, as V4L2 has every standard but
// M/NTSC. On 525 lines (NTSC, PAL-60) the decoder's field bit is inverted
// and field 1 is the bottom one: pictures are [flag set, flag clear],
// bottom field first. Weaving a picture's own two fields gives back a
// film-sourced picture whole; weaving the later field of one picture with
// the earlier of the next combs everything that moved.
#pragma once

// 480 lines (525-line signals) or 576 (625): the frames this program makes.
constexpr bool top_field_first(int frame_lines) { return frame_lines > 480; }

// The flag of a picture's later field, the one that completes it.
constexpr bool completing_flag(int frame_lines) { return top_field_first(frame_lines); }
