// The sampler configuration of a set: the files -oto writes beside the
// recordings (oto.ini, one line per recording, character.txt and
// character.yaml), from the synthesizer's own timings.
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
