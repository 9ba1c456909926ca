// Shift-JIS kana to eSpeak NG phoneme mnemonics.
//
// eSpeak's own reading of kana gets many of the syllables wrong, so the
// synthesizer layer decodes the text itself and hands eSpeak phonemes.
#pragma once

#include "synth/synth.h"

#include <cstddef>

// Translates NUL-terminated Shift-JIS `text` into eSpeak phoneme mnemonics
// (ASCII, one stressed syllable after another, e.g. "k_j'e" for the bytes
// 82 AB 82 A5), written NUL-terminated into out[0..out_size-1].
// A syllable is a base kana (hiragana or katakana), the mark 0x814B after a
// k-row kana for its nasal form, and at most one small kana where Japanese
// writes one (e.g. after an i-row kana: ya, yu, yo, e).
// Returns synth_ok, or synth_error_bad_text (with nothing promised in out)
// when `text` holds anything else or `out` is too small. An empty text
// gives an empty string.
synth_error kana_to_phonemes(const char* text, char* out, size_t out_size);
