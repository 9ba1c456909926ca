#include "bank/oto.h"

#include "bank/bank.h"
#include "synth/kana.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// The sample starts this long before the consonant is heard: its first
// sound (a stop's burst, a fricative's first noise) is inside it.
constexpr double lead_ms = 10;
// The fixed part ends at least the transition into the vowel later.
constexpr double transition_ms = shaping_transition_seconds * 1000;
// A sampler's crossfade needs a little room at the end of the sample.
constexpr double min_tail_ms = 2;

bool blends(const syllable& entry)
{
    mora m[max_morae];
    int count = 0;
    return kana_to_morae(entry.sjis, m, max_morae, &count) == synth_ok && count >= 1 && onset_sonorant(m[0]);
}

bool vowel_alone(const syllable& entry)
{
    mora m[max_morae];
    int count = 0;
    return kana_to_morae(entry.sjis, m, max_morae, &count) == synth_ok && count >= 1 && m[0].onset[0] == 0;
}


// OpenUtau trims the file name, so a space at either end would be lost.
bool breaks_a_line(const char* name)
{
    const size_t n = strlen(name);
    if (n == 0 || name[0] == ' ' || name[n - 1] == ' ')
        return true;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        if (*p == ',' || *p == '=' || *p < 0x20 || *p == 0x7F)
            return true;
    }
    return false;
}

} // namespace

oto_entry oto_values(const syllable& entry, const oto_times& t)
{
    // Whole milliseconds; the sample starts where the sound is about to be heard.
    const double heard = std::fmin(t.consonant, t.audible > 0 ? t.audible : t.consonant);
    const double offset = std::fmax(0.0, std::floor(heard - lead_ms));
    const double usable = std::fmax(0.0, std::floor(std::fmin(t.steady_end, t.length)) - offset);
    // The beat: where voicing starts after a consonant, or where a vowel alone
    // is heard to start.
    const double beat = vowel_alone(entry) ? std::fmax(t.vowel, t.onset) : t.vowel;
    double preutterance = std::round(beat - offset);
    // The fixed part: until the vowel has settled, at least a transition in.
    double consonant = std::round(std::fmax(beat + transition_ms, t.settled) - offset);
    // A blending onset crossfades until it is well under way; any other
    // only within the silence before it.
    double overlap = blends(entry) ? std::round(std::fmax(t.blended, heard) - offset) : std::round((heard - offset) / 2);
    // In their order and inside the file at every speed: overlap <=
    // preutterance < consonant < the usable length.
    consonant = std::fmin(consonant, usable - min_tail_ms / 2);
    preutterance = std::fmax(0.0, std::fmin(preutterance, consonant - 1));
    consonant = std::fmax(consonant, preutterance + 1);
    overlap = std::fmax(0.0, std::fmin(overlap, preutterance));
    oto_entry e;
    e.offset = static_cast<int>(offset);
    e.consonant = static_cast<int>(consonant);
    e.cutoff = -static_cast<int>(std::fmax(usable, consonant + 1));
    e.preutterance = static_cast<int>(preutterance);
    e.overlap = static_cast<int>(overlap);
    return e;
}

int bank_oto_line(const char* file, const char* alias, const oto_entry& v, char* out, size_t size)
{
    if (breaks_a_line(file) || breaks_a_line(alias))
        return bank_bad_name;
    char file_sjis[256], alias_sjis[256], values[96];
    const int f = bank_to_cp932(file, file_sjis, sizeof file_sjis);
    const int a = bank_to_cp932(alias, alias_sjis, sizeof alias_sjis);
    if (f < 0 || a < 0)
        return f < 0 ? f : a;
    snprintf(values, sizeof values, ",%d,%d,%d,%d,%d\r\n", v.offset, v.consonant, v.cutoff, v.preutterance,
             v.overlap);
    const size_t length = static_cast<size_t>(f) + 1 + static_cast<size_t>(a) + strlen(values);
    if (length > size)
        return bank_no_room;
    char* o = out;
    memcpy(o, file_sjis, static_cast<size_t>(f));
    o += f;
    *o++ = '=';
    memcpy(o, alias_sjis, static_cast<size_t>(a));
    o += a;
    memcpy(o, values, strlen(values));
    return static_cast<int>(length);
}
