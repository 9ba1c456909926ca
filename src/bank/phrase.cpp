// The sample phrase: recordings joined as notes, the way a sampler joins
// them from their oto.ini values (OpenUtau's envelope: fade in over the
// overlap, at least 5 ms; the note before fades out over the same overlap,
// or over its last 35 ms when there is none).

#include "bank/bank.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const bank_phrase_syllables[bank_phrase_length] = {"は", "じ", "め", "ま", "し", "て"};

namespace {

constexpr int min_fade_in_ms = 5;
constexpr int fade_out_ms = 35;
// The notes' length: at most this, however long the vowels are, so the
// phrase keeps a singing pace; at least this, so the beats stay apart
// whatever the timings.
constexpr int longest_note_ms = 300;
constexpr int shortest_note_ms = 120;

int64_t at(int64_t ms, int rate)
{
    return (ms > 0 ? ms : 0) * rate / 1000;
}

int64_t clamp(int64_t v, int64_t lo, int64_t hi)
{
    return v < lo ? lo : v > hi ? hi : v;
}

// One piece on the phrase's time line, in samples.
struct placed {
    int64_t from;    // the first sample used in the recording
    int64_t usable;  // samples from there to the cut
    int64_t pre, overlap;
    int64_t start;   // where it starts in the phrase
    int64_t play, fade_in, fade_out;
};

} // namespace

int bank_phrase(const bank_piece* pieces, size_t count, int rate, int16_t** out, size_t* out_count)
{
    *out = nullptr;
    *out_count = 0;
    if (count == 0 || count > bank_phrase_max_pieces || rate <= 0)
        return bank_bad_input;
    placed p[bank_phrase_max_pieces];
    for (size_t k = 0; k < count; ++k) {
        const bank_piece& q = pieces[k];
        const int64_t length = static_cast<int64_t>(q.count);
        const int64_t from = clamp(at(q.oto.offset, rate), 0, length);
        // A negative cutoff is the usable length from the offset; any
        // other is the blank before the end.
        const int64_t cut =
            q.oto.cutoff < 0 ? from + at(-int64_t{q.oto.cutoff}, rate) : length - at(q.oto.cutoff, rate);
        p[k].from = from;
        p[k].usable = (k + 1 == count ? length : clamp(cut, from, length)) - from;
        p[k].pre = at(q.oto.preutterance, rate);
        p[k].overlap = at(q.oto.overlap, rate);
    }

    // Equal notes, as long as the shortest vowel allows: piece k must last
    // until the next one's overlap ends.
    int64_t note = at(longest_note_ms, rate);
    for (size_t k = 0; k + 1 < count; ++k)
        note = std::min(note, p[k].usable - p[k].pre + p[k + 1].pre - p[k + 1].overlap);
    note = std::max(note, at(shortest_note_ms, rate));

    // Each piece starts its preutterance before its beat; the first
    // piece's start is the phrase's, unless a later one reaches further back.
    int64_t earliest = 0;
    for (size_t k = 0; k < count; ++k) {
        p[k].start = static_cast<int64_t>(k) * note + p[0].pre - p[k].pre;
        earliest = std::min(earliest, p[k].start);
    }
    for (size_t k = 0; k < count; ++k)
        p[k].start -= earliest;

    const int64_t fade = at(fade_out_ms, rate);
    int64_t total = 0;
    for (size_t k = 0; k < count; ++k) {
        if (k + 1 < count) {
            // Until the next piece's overlap ends, or as far as it holds.
            const int64_t wanted = p[k + 1].start + p[k + 1].overlap - p[k].start;
            p[k].play = clamp(wanted, 0, p[k].usable);
            p[k].fade_out = p[k].play == wanted && p[k + 1].overlap > 0 ? p[k + 1].overlap : fade;
        } else {
            p[k].play = p[k].usable;
            p[k].fade_out = fade;
        }
        p[k].fade_out = std::min(p[k].fade_out, p[k].play);
        p[k].fade_in = std::min(std::max(p[k].overlap, at(min_fade_in_ms, rate)), p[k].play);
        total = std::max(total, p[k].start + p[k].play);
    }

    double* mix = static_cast<double*>(calloc(static_cast<size_t>(total) + 1, sizeof(double)));
    int16_t* result = static_cast<int16_t*>(malloc((static_cast<size_t>(total) + 1) * sizeof(int16_t)));
    if (mix == nullptr || result == nullptr) {
        free(mix);
        free(result);
        return bank_no_memory;
    }
    for (size_t k = 0; k < count; ++k) {
        const placed& q = p[k];
        const int16_t* source = pieces[k].samples + q.from;
        for (int64_t t = 0; t < q.play; ++t) {
            double gain = 1;
            if (t < q.fade_in)
                gain *= static_cast<double>(t) / static_cast<double>(q.fade_in);
            if (q.play - t <= q.fade_out)
                gain *= static_cast<double>(q.play - t) / static_cast<double>(q.fade_out);
            mix[q.start + t] += gain * source[t];
        }
    }
    // Clamped, then truncated toward zero, as the resampler makes samples.
    for (int64_t i = 0; i < total; ++i) {
        const double v = mix[i] > 32767.0 ? 32767.0 : mix[i] < -32768.0 ? -32768.0 : mix[i];
        result[i] = static_cast<int16_t>(v);
    }
    free(mix);
    *out = result;
    *out_count = static_cast<size_t>(total);
    return bank_ok;
}

void bank_phrase_aliases(const bank_list& list, int out[bank_phrase_length])
{
    for (int i = 0; i < bank_phrase_length; ++i) {
        char name[sizeof bank_alias{}.name];
        const syllable* before = i > 0 ? find_syllable(bank_phrase_syllables[i - 1]) : nullptr;
        if (list.kind == bank_list_cv)
            snprintf(name, sizeof name, "%s", bank_phrase_syllables[i]);
        else if (before == nullptr)
            snprintf(name, sizeof name, "- %s", bank_phrase_syllables[i]);
        else
            snprintf(name, sizeof name, "%c %s", bank_vowel_of(static_cast<int>(before - syllable_table)),
                     bank_phrase_syllables[i]);
        out[i] = -1;
        for (int a = 0; a < list.alias_count && out[i] < 0; ++a) {
            if (strcmp(list.aliases[a].name, name) == 0)
                out[i] = a;
        }
    }
}
