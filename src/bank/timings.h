// The timings of a recording: where the voice put its sounds (its marks)
// and what the sound itself says where the voice cannot know, in
// milliseconds. The oto.ini rules (bank/oto.h) make a line from them.
#pragma once

#include "synth/synth.h"

#include <cstddef>

// One recording's timings, in milliseconds from its start.
struct oto_times {
    // The voice's marks (see synth_marks).
    double consonant;     // the consonant starts (the vowel, when it has none)
    double vowel;         // voicing starts after the consonant (the vowel, or its glide)
    double glide_end;     // the vowel proper starts
    double steady_end;    // the vowel's steady part ends, before any fade-out
    double voiced_start;  // the voice voices from here
    double voiced_end;    // to here
    // What the sound says (oto_listen): the first three only of a mora
    // after silence, each a level over two pitch periods against its held
    // vowel's.
    double audible;       // first at -40 dB
    double onset;         // first at -20 dB: a vowel alone is heard to start
    double blended;       // first at -12 dB: far enough into an onset to crossfade to
    double settled;       // the vowel's spectrum has settled, glides included
    double length;        // the file's length
    // And of a mora after another (a string's), from its consonant's start
    // to its vowel: where the level dips lowest (a glide's target), and
    // where it has risen half way from there to the vowel's held level (a
    // stop's or a nasal's release), or, when it dips less than 3 dB, where
    // it climbs fastest.
    double dip;
    double released;
};

// The voice's marks of mora `mora` of `image` into *times, in
// milliseconds; the rest is 0 but for length (the image's).
void oto_marks(const synth_image& image, int mora, oto_times* times);

// Fills from the samples of `image`, whose voice holds the pitch `f0`
// (Hz), what the sound says of its `count` morae, whose marks are in
// times[0..count-1] (oto_marks): for each, where its vowel has settled;
// for the first, which rises from the silence before it, where it is
// audible, heard to start and blended; for each after it, its dip and its
// release. Costs a few milliseconds a mora: only for -oto.
void oto_listen(const synth_image& image, double f0, oto_times* times, int count);

// The levels in dB, 10 log10(power + 1e-6), of `count` (at most 64)
// harmonics in the windowed frame x[0..n-1], harmonic k by Goertzel's
// recurrence with the coefficient c[k] = 2 cos(its angular frequency per
// sample), into db[0..count-1].
void oto_goertzel_levels(const double* x, size_t n, const double* c, size_t count, double* db);

// The same for `frames` frames of n samples at once, frame f at
// x[f n .. f n + n - 1], its levels into db[f db_stride ..]: each frame's
// levels are oto_goertzel_levels', on every instruction set (isa_current()).
void oto_goertzel_frames(const double* x, size_t n, size_t frames, const double* c, size_t count, double* db,
                         size_t db_stride);
