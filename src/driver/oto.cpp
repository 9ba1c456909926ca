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

// Onsets that can blend into a preceding note: nasals, liquids, glides, and
// none (a vowel, or ん).
bool blends(const syllable& entry)
{
    static const char* const blending[] = {"", "n", "ny", "m", "my", "r", "ry", "y", "w", "ng", "ngy"};
    mora m[max_morae];
    int count = 0;
    if (kana_to_morae(entry.sjis, m, max_morae, &count) != synth_ok || count < 1)
        return false;
    for (const char* onset : blending) {
        if (strcmp(m[0].onset, onset) == 0)
            return true;
    }
    return false;
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

namespace {

// A line for every recording on the disk, in table order.
size_t make_oto_ini(const oto_set& set, int, char* out, size_t size)
{
    size_t used = 0;
    for (int k = 0; k < syllable_count; ++k) {
        if (!set.on_disk[k])
            continue;
        char line[160];  // a name of at most 9 bytes twice and five numbers
        const int n = oto_line(syllable_table[k], oto_values(syllable_table[k], set.times[k]), line, sizeof line);
        if (n <= 0)
            continue;
        if (used + static_cast<size_t>(n) <= size)
            memcpy(out + used, line, static_cast<size_t>(n));
        used += static_cast<size_t>(n);
    }
    return used;
}

// The voicebank's name.
size_t make_character_txt(const oto_set& set, int, char* out, size_t size)
{
    const int n = snprintf(out, size, "name=Morivox %s\n", set.voice_name);
    return n < 0 ? 0 : static_cast<size_t>(n);
}

// The encoding of the other files and of the file names.
size_t make_character_yaml(const oto_set&, int, char* out, size_t size)
{
    const int n = snprintf(out, size, "text_file_encoding: utf-8\n");
    return n < 0 ? 0 : static_cast<size_t>(n);
}

} // namespace

const oto_file oto_files[] = {
    {"oto.ini", false, make_oto_ini},
    {"character.txt", false, make_character_txt},
    {"character.yaml", false, make_character_yaml},
};
const int oto_file_count = sizeof oto_files / sizeof oto_files[0];

int oto_file_name(const oto_file& f, int entry, char* out, size_t size)
{
    const int n = f.per_recording && entry >= 0 && entry < syllable_count
                      ? snprintf(out, size, "%s%s", syllable_table[entry].name, f.name)
                      : snprintf(out, size, "%s", f.name);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : 0;
}

bool is_oto_file_name(const char* name)
{
    for (const oto_file& f : oto_files) {
        if (!f.per_recording) {
            if (strcmp(name, f.name) == 0)
                return true;
            continue;
        }
        for (int k = 0; k < syllable_count; ++k) {
            char made[128];
            if (oto_file_name(f, k, made, sizeof made) == 0 && strcmp(name, made) == 0)
                return true;
        }
    }
    return false;
}
