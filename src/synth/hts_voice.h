// The HTS voice: the HTS engine with the Japanese male voice
// nitech_jp_atr503_m001 (Nagoya Institute of Technology, CC-BY-3.0), one
// syllable, or one string of them sung a mora a beat, at a time, at 32000
// Hz (its 48000 Hz spectra refitted), at a steady pitch with its vowels
// held. From F#3 up the pitch period is made a
// whole number of samples and the image declared at the rate that plays it
// at the pitch asked (31820 to 32165 Hz). Engines share nothing, so each worker
// may have its own. The labels come from synth/hts_labels.h.
#pragma once

#include "synth/synth.h"

extern const synth_voice hts_voice;

// Where the voice file is read from (set at build time), and the Debian
// package that installs it there.
extern const char* const hts_voice_path;
inline constexpr char hts_voice_package[] = "hts-voice-nitech-jp-atr503-m001";
