// The sampler timings of a recording: the values of its oto.ini line, from
// the synthesizer's own marks and what the sound says where the
// synthesizer cannot know. (The files of the set are the bank module's.)
#pragma once

#include "driver/syllables.h"
#include "synth/shaping.h"
#include "synth/synth.h"

#include <cstddef>

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

// One recording's timings, in milliseconds from its start.
struct oto_times {
    // The voice's marks (see synth_marks).
    double consonant;     // the consonant starts (the vowel, when it has none)
    double vowel;         // voicing starts after the consonant (the vowel, or its glide)
    double glide_end;     // the vowel proper starts
    double steady_end;    // the vowel's steady part ends, before any fade-out
    double voiced_start;  // the voice voices from here
    double voiced_end;    // to here
    // What the sound says (oto_listen), each a level over two pitch periods
    // against the held vowel's.
    double audible;       // first at -40 dB
    double onset;         // first at -20 dB: a vowel alone is heard to start
    double blended;       // first at -12 dB: far enough into an onset to crossfade to
    double settled;       // the vowel's spectrum has settled, glides included
    double length;        // the file's length
};

// The voice's marks of `image` into *times, in milliseconds; the rest is 0
// but for length (the image's).
void oto_marks(const synth_image& image, oto_times* times);

// Fills audible, onset, blended and settled from the samples of `image`,
// whose voice holds the pitch `f0` (Hz). Needs the marks (oto_marks). Costs
// a few milliseconds a syllable: only for -oto.
void oto_listen(const synth_image& image, double f0, oto_times* times);

// The values of one oto.ini line, in whole milliseconds measured from the
// offset, as samplers read them.
struct oto_entry {
    int offset;        // from the file's start to where the sample starts
    int consonant;     // the fixed part, never stretched
    int cutoff;        // negative: the usable length
    int preutterance;  // where the beat falls: the vowel's start
    int overlap;       // where the crossfade with the previous note ends
};

// The values for `entry` recorded with `times`.
oto_entry oto_values(const syllable& entry, const oto_times& times);
