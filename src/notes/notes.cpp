#include "notes/notes.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr int a4 = 69;
constexpr double a4_hz = 440.0;
constexpr int octave_digits = 2;  // octaves -9 to 99 are enough to say "out of range"

// Semitones of each letter above C, from 'A'.
constexpr int letter_semitones[] = {9, 11, 0, 2, 4, 5, 7};

} // namespace

int note_parse(const char* text, int* note)
{
    const char* p = text;
    if (*p < 'A' || *p > 'G')
        return -1;
    int semitone = letter_semitones[*p++ - 'A'];
    if (*p == '#')
        ++semitone, ++p;
    else if (*p == 'b')
        --semitone, ++p;
    const bool negative = *p == '-';
    if (negative)
        ++p;
    int octave = 0, digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
        if (digits == octave_digits)
            return -1;
        octave = octave * 10 + (*p - '0');
    }
    if (digits == 0 || *p != 0)
        return -1;
    *note = 12 * ((negative ? -octave : octave) + 1) + semitone;
    return 0;
}

double note_frequency(int note)
{
    return a4_hz * std::pow(2.0, (note - a4) / 12.0);
}

void note_name(int note, char* out, size_t size)
{
    static const char* const names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    const int octave = note >= 0 ? note / 12 - 1 : (note - 11) / 12 - 1;
    snprintf(out, size, "%s%d", names[note - 12 * (octave + 1)], octave);
}

note_list_status note_list_parse(const char* text, double lowest_f0, double highest_f0, note_list* list)
{
    *list = note_list{};
    for (size_t at = 0;;) {
        const size_t length = strcspn(text + at, ",");
        list->bad = at;
        list->bad_length = length;
        char name[note_name_room];
        int note = 0;
        if (length == 0)
            return note_list_empty_item;
        if (length >= sizeof name)
            return note_list_not_a_note;
        memcpy(name, text + at, length);
        name[length] = 0;
        if (note_parse(name, &note) != 0)
            return note_list_not_a_note;
        if (note < note_lowest || note > note_highest)
            return note_list_out_of_range;
        for (int i = 0; i < list->count; ++i) {
            if (list->notes[i] == note) {
                list->repeats = i;
                return note_list_repeated;
            }
        }
        // Every note of the range is in the list at most once, so it has room.
        const double f0 = note_frequency(note);
        if (!(f0 >= lowest_f0 && f0 <= highest_f0))
            return note_list_outside_voice;
        list->notes[list->count] = note;
        memcpy(list->names[list->count], name, length + 1);
        ++list->count;
        if (text[at + length] == 0)
            return note_list_ok;
        at += length + 1;
    }
}
