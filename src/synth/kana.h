// Shift-JIS kana as the voices hear them: a sequence of morae, each an onset
// and a vowel. Both voices start from these and map them to their own
// phonemes, so the reading of the kana is written once.
#pragma once

#include "synth/synth.h"

// One mora. Onsets are written as Japanese is romanised: "" (none), k, g,
// ng (a k-row kana with the mark 0x814B: the nasal g), s, sh, z, j, t, ch,
// ts, d, n, h, f, b, p, m, y, r, w, and the palatal ky, gy, ngy, ty, dy, ny,
// hy, by, py, my, ry. The vowel is one of "aiueo", or 0 for the moraic
// nasal ん (whose onset is "").
struct mora {
    const char* onset;
    char vowel;
};

// Whether a mora starts with a sonorant, a sound that blends into what
// comes before: a nasal (the nasal g too), the flap r, a glide (y, w), or
// no consonant at all (a vowel, or ん). The others, obstruents (stops,
// fricatives, affricates), start with an attack of their own. Shaping
// fades a sonorant in over shaping_fade_in_sonorant (shaping.h).
bool onset_sonorant(const mora& m);

// Whether a mora starts with a consonant that has no voice: k, s, sh, t,
// ch, ts, h, f, p and their palatal forms. Voicing then starts after it.
bool onset_voiceless(const mora& m);

// Longest reading of a text of synth_max_text_bytes: every kana a mora.
inline constexpr int max_morae = synth_max_text_bytes / 2;

// Reads the NUL-terminated Shift-JIS `text` into out[0..*count-1]. A
// syllable is a base kana (hiragana or katakana), the mark 0x814B after an
// unvoiced k-row kana for its nasal form, and at most one small kana where
// Japanese writes one (e.g. after an i-row kana: ya, yu, yo, e). Returns
// synth_ok, or synth_error_bad_text when `text` holds anything else or more
// than `capacity` morae. An empty text gives no mora.
synth_error kana_to_morae(const char* text, mora* out, int capacity, int* count);

// What every voice checks first, in this order: a text that is empty
// (synth_error_empty_text), longer than synth_max_text_bytes
// (synth_error_text_too_long) or not kana (synth_error_bad_text), then a
// speed outside [synth_min_speed, synth_max_speed] (synth_error_bad_speed),
// then a pitch outside the voice's range (synth_error_bad_pitch), then a
// beat that is neither 0 nor in (0, synth_max_beat] (synth_error_bad_speed)
// and a string of more than synth_max_morae morae (synth_error_bad_text).
// On synth_ok the text's morae are in out[0..*count-1] (out holds
// max_morae).
synth_error read_request(const synth_voice& voice, const char* text, int speed, double f0, double beat, mora* out,
                         int* count);
