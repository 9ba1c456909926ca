// The eSpeak NG voice: the default, a formant synthesizer with Japanese
// phonemes at a steady 110 Hz. It starts the engine on the first open,
// keeps it for the life of the process and never prints. eSpeak keeps its
// state process-wide, so an engine is eSpeak in this process when no engine
// here is open, and otherwise a worker process forked from this one (see
// synth/forked_engine.h): engines on several threads synthesize at once and
// give the same bytes.
#pragma once

#include "synth/synth.h"

extern const synth_voice espeak_voice;

// Sampling rate of every image of this voice, in samples per second.
inline constexpr int espeak_sampling_rate = 22050;

// The eSpeak phoneme mnemonics of the Shift-JIS `text` (ASCII, one
// stressed syllable after another, the last one long, e.g. "ki'e:" for the
// bytes 82 AB 82 A5; the moraic nasal alone is "_^_cmn N-", a switch to
// eSpeak's Mandarin phoneme table), NUL-terminated into out[0..out_size-1].
// Returns synth_ok, or synth_error_bad_text when the text is not known kana
// or out is too small.
synth_error espeak_phonemes(const char* text, char* out, size_t out_size);

// For tests: the phoneme names eSpeak reported while making the last image
// in this process, separated by spaces (pauses included, as "_:" or "_",
// and switches of phoneme table, as "(cmn)").
const char* espeak_reported_phonemes();
