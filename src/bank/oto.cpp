#include "bank/oto.h"

#include "synth/kana.h"

#include <cmath>

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
    return kana_to_morae(entry.sjis, m, max_morae, &count) == synth_ok && count >= 1 && onset_blends(m[0]);
}

bool vowel_alone(const syllable& entry)
{
    mora m[max_morae];
    int count = 0;
    return kana_to_morae(entry.sjis, m, max_morae, &count) == synth_ok && count >= 1 && m[0].onset[0] == 0;
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
