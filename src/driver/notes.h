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
