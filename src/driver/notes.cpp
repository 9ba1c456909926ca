#include "driver/notes.h"

#include <cmath>
#include <cstdio>

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
