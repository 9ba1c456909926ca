// The oto.ini rules: the values of a recording's line, from its timings.
#pragma once

#include "bank/lists.h"
#include "bank/timings.h"
#include "synth/shaping.h"

// The lowest output rate at which every oto.ini line lies inside its
// recording. A line ends where the vowel's steady part does, inside the
// sound, and the shaping stage leaves shaping_tail_seconds of silence after
// the sound; a recording at R Hz is its image cut to whole samples, up to
// one sample (1/R s) shorter. The tail, less half a sample of the image's
// own rounding (images run at 16000 Hz or more), outlasts one sample from
// 21 Hz up. Below it -oto is refused.
inline constexpr int oto_lowest_rate = 21;
inline constexpr double oto_tail_margin = shaping_tail_seconds - 0.5 / 16000;
static_assert(1.0 / oto_lowest_rate < oto_tail_margin && 1.0 / (oto_lowest_rate - 1) >= oto_tail_margin);

// The values of one oto.ini line, in whole milliseconds measured from the
// offset, as samplers read them.
struct oto_entry {
    int offset;        // from the file's start to where the sample starts
    int consonant;     // the fixed part, never stretched
    int cutoff;        // negative: the usable length
    int preutterance;  // where the beat falls: the vowel's start
    int overlap;       // where the crossfade with the previous note ends
};

// The values for `entry` recorded alone with `times`.
oto_entry oto_values(const syllable& entry, const oto_times& times);

// The values of alias `alias` of `list`, whose recording's morae have
// `times` (one per mora of its text). A syllable alone or from a rest (the
// CV set, "- K", "K") as oto_values; "v K" from the held vowel before into
// K's steady vowel, its beat where K's vowel starts; "v c" from the held
// vowel before into the consonant, its beat where the consonant starts;
// "v R" from the held vowel into the silence after it, its beat where the
// vowel begins to fade. Every crossfade lies inside the vowel before.
oto_entry oto_alias_values(const bank_list& list, const bank_alias& alias, const oto_times* times);

// One oto.ini line in Shift-JIS, ended by CR LF:
//   <file>=<alias>,<offset>,<consonant>,<cutoff>,<preutterance>,<overlap>
// `file` and `alias` are UTF-8 ("か.wav", "か" or "か_A3"); the values are
// written as they are. Not NUL-terminated. Returns the length written into
// out[0..size-1], or bank_bad_name (a name that would break the line:
// empty, a space at either end, or holding ',', '=' or a control
// character), bank_not_cp932 or bank_no_room.
int bank_oto_line(const char* file, const char* alias, const oto_entry& values, char* out, size_t size);
