// What one run knows, from its command line to its last file. The driver
// holds the one run there is; its other files take it by reference.
#pragma once

#include "bank/lists.h"
#include "bank/timings.h"
#include "driver/command_line.h"
#include "notes/notes.h"

#include <cstddef>

// Room for a file's name: a subfolder ("C#3/"), the stem (a VCV string's
// eight syllables, each at most nine UTF-8 bytes, after its '_'), then
// what follows it ("_wav.frq", ".wav.platinum").
inline constexpr size_t run_name_room = 96;

// One set of recordings: the run's list at one pitch, in the folder, or in
// a subfolder named after its note when the run makes several.
struct pitch_set {
    int note;                         // MIDI number
    double f0;                        // Hz
    char folder[note_name_room + 1];  // "" or "A3/"
    char suffix[note_name_room + 1];  // the aliases': "" or "_A3"
};

struct morivox_run {
    run_settings settings;
    const synth_voice* voice;
    const bank_list* list;  // what each set holds: the CV list, or with -vcv the VCV strings
    pitch_set sets[note_list_max];
    int set_count;
    // Per set and text of the list: its morae's timings (see
    // made_recording); whether the recording was handed to the writer and
    // has not been seen to fail (so on the disk under its name once
    // finish_files has said so); whether it was not made again and the
    // earlier one stays.
    oto_times (*times)[bank_max_texts][bank_max_morae];
    bool sent[note_list_max][bank_max_texts];
    bool kept[note_list_max][bank_max_texts];
    // The first file of the run that did not reach the disk, and how many.
    char first_missing[run_name_room + 16];
    int missing_count;
};

// The name of text `entry` of set `set` into out[0..run_name_room-1]:
// "<folder><name>.wav".
void recording_name(const morivox_run& run, int set, int entry, char* out);

// The set and entry whose recording `name` (as recording_name gives it)
// is, into *set and *entry. Returns whether there is one.
bool recording_of(const morivox_run& run, const char* name, int* set, int* entry);
