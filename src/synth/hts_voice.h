// The HTS voice: the HTS engine with the Japanese male voice
// nitech_jp_atr503_m001 (Nagoya Institute of Technology, CC-BY-3.0), one
// syllable at a time, at 32000 Hz (its 48000 Hz spectra refitted), at a
// steady 110 Hz with its vowel held. Engines share nothing, so each worker may have its own.
// The labels are made here from the kana: no Open JTalk at run time.
#pragma once

#include "synth/kana.h"
#include "synth/synth.h"

extern const synth_voice hts_voice;

// Where the voice file is read from (set at build time), and the Debian
// package that installs it there.
extern const char* const hts_voice_path;
inline constexpr char hts_voice_package[] = "hts-voice-nitech-jp-atr503-m001";

// Most phonemes a mora is read as (N y u u: the nasal g's murmur, a glide
// and a long u), and the room one label line takes.
inline constexpr int hts_max_phonemes = 4;
inline constexpr int hts_label_room = 512;

// The voice's phonemes for one mora, written into out[0..*count-1]. A u is
// read long (u u): the voice holds a long u voiced and unrounded, a short
// one at the end of a phrase it fronts toward [i]. *first_half is set when
// the first phoneme is the nasal murmur that stands for the nasal g (the
// voice has none): it is then held for half its length. Returns synth_ok,
// or synth_error_bad_text.
synth_error hts_phonemes(const mora& m, const char* out[hts_max_phonemes], int* count, bool* first_half);

// The full-context labels of a one-word utterance of `phonemes` (at most
// hts_max_phonemes; accent type 1), one a line, as Open JTalk writes them,
// into lines[0..count+1]. Each vowel and each N ends a mora. Returns the
// number of lines (count + 2).
int hts_labels(const char* const* phonemes, int count, char lines[][hts_label_room]);
