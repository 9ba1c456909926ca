// The sampler configuration of a set: the files -oto writes beside the
// recordings (oto.ini, one line per recording, character.txt and
// character.yaml), from the synthesizer's own timings and what its sound
// says where the synthesizer cannot know.
#pragma once

#include "driver/syllables.h"
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
// about a millisecond a syllable: only for -oto.
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

// "<name>.wav=<name>,<offset>,<consonant>,<cutoff>,<preutterance>,<overlap>\n"
// into out[0..size-1]. Returns the length, or -1 when it does not fit.
int oto_line(const syllable& entry, const oto_entry& values, char* out, size_t size);

// What the sampler files are made from.
struct oto_set {
    const char* voice_name;  // the voice's name, as -voice takes it
    const oto_times* times;  // one per entry of syllable_table
    const bool* on_disk;     // one per entry: its recording reached the disk
};

// One sampler file. A file `per_recording` exists once for every recording
// on the disk and is named "<the recording's stem><name>"; any other is
// named `name`. `make` writes the content for the set (and, per recording,
// for syllable_table[entry]; entry is -1 otherwise) into out[0..size-1]
// and returns its length in bytes; a length above `size` means it did not
// fit (nothing is promised of out then): call again with that much room.
struct oto_file {
    const char* name;
    bool per_recording;
    size_t (*make)(const oto_set& set, int entry, char* out, size_t size);
};

// Every sampler file, in the order they are written. A run that replaces a
// recording first moves every one of them aside (they describe the old
// recordings); -oto writes them anew once all recordings are made.
extern const oto_file oto_files[];
extern const int oto_file_count;

// The name of file `f` for syllable_table[entry] (ignored unless per
// recording) into out[0..size-1]. Returns 0, or -1 when it does not fit.
int oto_file_name(const oto_file& f, int entry, char* out, size_t size);

// Whether `name` is a sampler file's name (for any recording).
bool is_oto_file_name(const char* name);
