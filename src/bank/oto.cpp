#include "bank/oto.h"

#include "bank/bank.h"
#include "synth/kana.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// The sample starts this long before the consonant is heard: its first
// sound (a stop's burst, a fricative's first noise) is inside it.
constexpr double lead_ms = 10;
// The fixed part ends at least the transition into the vowel later.
constexpr double transition_ms = shaping_transition_seconds * 1000;
// A sampler's crossfade needs a little room at the end of the sample.
constexpr double min_tail_ms = 2;
// From one vowel into the next (VCV, VC, an ending): the sample starts this
// long before the held part of the vowel before ends, and crossfades with
// the note before over this much of it.
constexpr double vowel_lead_ms = 50;
constexpr double crossfade_ms = 30;

// The first mora of a syllable; false when its kana do not read.
bool first_mora(const syllable& entry, mora* first)
{
    mora m[max_morae];
    int count = 0;
    if (kana_to_morae(entry.sjis, m, max_morae, &count) != synth_ok || count < 1)
        return false;
    *first = m[0];
    return true;
}

bool blends(const syllable& entry)
{
    mora m;
    return first_mora(entry, &m) && onset_sonorant(m);
}

bool vowel_alone(const syllable& entry)
{
    mora m;
    return first_mora(entry, &m) && m.onset[0] == 0;
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

// Puts an entry's values in their order and inside its sample: overlap <=
// preutterance < consonant < usable, all from the offset.
oto_entry ordered(double offset, double overlap, double preutterance, double consonant, double usable)
{
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
    const double preutterance = std::round(beat - offset);
    // The fixed part: until the vowel has settled, at least a transition in.
    const double consonant = std::round(std::fmax(beat + transition_ms, t.settled) - offset);
    // A blending onset crossfades until it is well under way; any other
    // only within the silence before it.
    const double overlap = blends(entry) ? std::round(std::fmax(t.blended, heard) - offset) : std::round((heard - offset) / 2);
    // In their order and inside the file at every speed.
    return ordered(offset, overlap, preutterance, consonant, usable);
}

namespace {

// Where a pair's beat falls in its mora `t`: where the vowel's voicing
// starts after a voiceless consonant (the voice's mark); at a glide's
// target for y and w; at the release of any other voiced consonant; where
// the new vowel starts for a vowel or ん.
double pair_beat(int entry, const oto_times& t)
{
    mora m;
    if (!first_mora(syllable_table[entry], &m) || onset_voiceless(m) || m.onset[0] == 0)
        return t.vowel;
    const std::string_view onset = m.onset;
    return onset == "y" || onset == "w" ? t.dip : t.released;
}

// The held part of a mora's vowel: from where its transition in has ended
// and its spectrum settled to where its steady part ends.
double held_from(const oto_times& t)
{
    const double from = std::fmax(t.vowel + transition_ms, t.settled);
    return from < t.steady_end ? from : t.vowel;
}

// From the held vowel before a transition: the sample's start, and the
// crossfade inside that vowel, ended before `limit` (the next consonant).
void from_vowel(const oto_times& vowel, double limit, double* offset, double* overlap)
{
    const double from = held_from(vowel);
    *offset = std::floor(std::fmax(from, vowel.steady_end - vowel_lead_ms));
    *overlap = std::round(std::fmin(crossfade_ms, std::fmin(vowel.steady_end, limit) - *offset));
}

} // namespace

oto_entry oto_alias_values(const bank_list& list, const bank_alias& a, const oto_times* times)
{
    const bank_text& text = list.texts[a.text];
    const oto_times& t = times[a.mora];
    double offset = 0, overlap = 0;
    switch (a.kind) {
    case bank_alias_cv:
    case bank_alias_start:
    case bank_alias_plain:
        return oto_values(syllable_table[text.morae[a.mora]], t);
    case bank_alias_vcv: {
        // From the vowel before, through K's consonant, to K's vowel: the
        // beat where K's vowel starts (pair_beat), the fixed part until it
        // has settled, K's steady vowel to stretch: at least a third of
        // what follows the beat, where a vowel glides on to the next sound
        // and never settles.
        from_vowel(times[a.mora - 1], t.consonant, &offset, &overlap);
        const double beat = pair_beat(text.morae[a.mora], t);
        const double cut = std::floor(std::fmin(t.steady_end, t.length));
        const double fixed = std::fmin(std::fmax(beat + transition_ms, t.settled), beat + (cut - beat) * 2 / 3);
        return ordered(offset, overlap, std::round(beat - offset), std::round(fixed - offset), cut - offset);
    }
    case bank_alias_vc: {
        // From the vowel before into K's consonant, whose start is the beat
        // (as the presamp phonemizer places a VC), to K's voicing: the
        // consonant's first half fixed, its second half to stretch.
        from_vowel(times[a.mora - 1], t.consonant, &offset, &overlap);
        return ordered(offset, overlap, std::round(t.consonant - offset),
                       std::round((t.consonant + t.vowel) / 2 - offset), std::floor(t.vowel) - offset);
    }
    case bank_alias_ending: {
        // From the held vowel into the rest: the beat where the vowel
        // begins to fade, the fade fixed, some of the silence after it.
        from_vowel(t, t.steady_end, &offset, &overlap);
        const double sound_end = t.length - shaping_tail_seconds * 1000;
        const double usable = std::floor(t.length - shaping_tail_seconds * 1000 / 2) - offset;
        return ordered(offset, overlap, std::round(t.steady_end - offset), std::round(sound_end - offset), usable);
    }
    }
    return oto_entry{};
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
