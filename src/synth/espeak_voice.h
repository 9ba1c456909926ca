// The eSpeak NG voice: the default, a formant synthesizer with Japanese
// phonemes held at a steady pitch. It starts the engine on the first open,
// keeps it for the life of the process and never prints. eSpeak keeps its
// state process-wide, so an engine is eSpeak in this process when no engine
// here is open, and otherwise a worker process forked from this one (see
// synth/forked_engine.h): engines on several threads synthesize at once and
// give the same bytes. A string of morae (a beat given) it speaks at its
// slowest as one word, every vowel long; it times the morae itself, and
// the marks say where they went.
#pragma once

#include "synth/synth.h"

extern const synth_voice espeak_voice;

// The rate eSpeak synthesizes at, in samples per second: the rate of the
// images at a pitch of whole hertz, such as A2 (110 Hz).
inline constexpr int espeak_sampling_rate = 22050;

// The rate of the images made at the pitch `f0` (Hz). eSpeak holds only
// whole hertz, exactly: a pitch between is made at the nearest, and its
// image is declared at the rate that plays it at f0, espeak_sampling_rate x
// f0 / round(f0) to the nearest whole rate (C2, 65.41 Hz, is made at 65 Hz
// and played at 22188 Hz, 0.04 cents from the note). Formants and timing
// move with the rate, by at most 0.8 % (0.63 % on the notes C2 to C5).
int espeak_image_rate(double f0);

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
