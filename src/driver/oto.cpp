#include "driver/oto.h"

#include "synth/kana.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// The sample starts this long before the consonant: the onset's first
// sound (a stop's burst, a fricative's first noise) is inside it.
constexpr double lead_ms = 10;
// The consonant's fixed part ends this far into the vowel: the formants
// move from the consonant to the vowel over about this time.
constexpr double transition_ms = 30;

bool blends(const syllable& entry)
{
    mora m[max_morae];
    int count = 0;
    return kana_to_morae(entry.sjis, m, max_morae, &count) == synth_ok && count >= 1 && onset_blends(m[0]);
}

} // namespace

oto_entry oto_values(const syllable& entry, const oto_times& t)
{
    // Whole milliseconds, rounded toward the inside of the file.
    const double end = std::floor(std::fmin(t.steady_end, t.length));
    const double offset = std::fmax(0.0, std::floor(t.consonant - lead_ms));
    const double usable = std::fmax(0.0, end - offset);
    const double preutterance = std::fmin(std::round(t.vowel - offset), usable);
    const double consonant = std::fmin(preutterance + transition_ms, usable);
    // A blending onset crossfades through its first third; any other only
    // within the silence before it.
    const double before = std::fmax(0.0, t.consonant - offset);
    const double overlap = blends(entry) ? std::round(before + (t.vowel - t.consonant) / 3) : std::round(before / 2);
    oto_entry e;
    e.offset = static_cast<int>(offset);
    e.consonant = static_cast<int>(consonant);
    e.cutoff = -static_cast<int>(usable);
    e.preutterance = static_cast<int>(preutterance);
    e.overlap = static_cast<int>(std::fmin(overlap, preutterance));
    return e;
}

int oto_line(const syllable& entry, const oto_entry& v, char* out, size_t size)
{
    const int n = snprintf(out, size, "%s.wav=%s,%d,%d,%d,%d,%d\n", entry.name, entry.name, v.offset, v.consonant,
                           v.cutoff, v.preutterance, v.overlap);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
}
