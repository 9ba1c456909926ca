// The sampler configuration of a set: oto.ini (one line per recording),
// character.txt and character.yaml, from the synthesizer's own timings.
#pragma once

#include "driver/syllables.h"

#include <cstddef>

// One recording's timings, in milliseconds from its start.
struct oto_times {
    double consonant;   // the consonant starts (the vowel, when it has none)
    double vowel;       // the vowel starts: the note's beat
    double steady_end;  // the vowel's steady part ends, before any fade-out
    double length;      // the file's length
};

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

// "<name>.wav=<name>,<offset>,<consonant>,<cutoff>,<preutterance>,<overlap>\n"
// into out[0..size-1]. Returns the length, or -1 when it does not fit.
int oto_line(const syllable& entry, const oto_entry& values, char* out, size_t size);
