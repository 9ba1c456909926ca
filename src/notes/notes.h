// Notes by name, in scientific pitch notation: a letter A to G, at most
// one sharp '#' or flat 'b', then the octave (C4 is middle C, A4 = 440 Hz,
// equal temperament). Notes are handled as MIDI numbers (A4 = 69), so
// enharmonic names are the same note (C#3 = Db3, B#3 = C4).
#pragma once

#include <cstddef>

// The notes a set may be made at: C2 (65.4 Hz) to C5 (523.3 Hz).
inline constexpr int note_lowest = 36;
inline constexpr int note_highest = 72;
// Without -pitch the voices speak at A2, 110 Hz.
inline constexpr int note_default = 45;

// The MIDI number of the note named by all of `text`, into *note. Returns
// 0, or -1 when `text` is not a note name (its range is not checked here).
int note_parse(const char* text, int* note);

// The note's frequency in Hz: 440 * 2^((note - 69) / 12).
double note_frequency(int note);

// The note's name with a sharp where it has one ("C#3"), NUL-terminated
// into out[0..size-1] (8 bytes are enough).
void note_name(int note, char* out, size_t size);

// ---- Lists of notes, as -pitch takes them: "A2,A3,E4" ----------------

// The most notes a list may hold: every note of the range once.
inline constexpr int note_list_max = note_highest - note_lowest + 1;
// Room for a note's name as given, with its NUL ("C#3", "Eb4", "A02").
inline constexpr size_t note_name_room = 8;

enum note_list_status {
    note_list_ok = 0,
    note_list_empty_item,     // nothing before, between or after the commas
    note_list_not_a_note,     // an item that is not a note name
    note_list_out_of_range,   // a note below note_lowest or above note_highest
    note_list_repeated,       // a note given before, under this name or another (C#3, Db3)
    note_list_outside_voice,  // a note whose frequency the voice does not hold
};

struct note_list {
    int count;                                      // notes read
    int notes[note_list_max];                       // MIDI numbers, in the order given
    char names[note_list_max][note_name_room];      // each as given
    // When the list is refused: the item at fault, bytes [bad, bad +
    // bad_length) of the text, and for a repeat the index of the note it
    // repeats.
    size_t bad, bad_length;
    int repeats;
};

// Reads `text`, notes separated by single commas, into *list: each item a
// note name (note_parse), within note_lowest..note_highest, none the same
// note as another, and each note's frequency within [lowest_f0,
// highest_f0] (Hz, the voice's range, compared as the voice compares it).
// Returns note_list_ok, or the first fault from the left (for one item,
// in the order of the list above) with list->bad saying where.
note_list_status note_list_parse(const char* text, double lowest_f0, double highest_f0, note_list* list);
