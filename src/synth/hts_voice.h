// The HTS voice: the HTS engine with the Japanese male voice
// nitech_jp_atr503_m001 (Nagoya Institute of Technology, CC-BY-3.0), one
// syllable at a time, at 32000 Hz (its 48000 Hz spectra refitted), at a
// steady 110 Hz with its vowel held. Engines share nothing, so each worker
// may have its own. The labels come from synth/hts_labels.h.
#pragma once

#include "synth/synth.h"

extern const synth_voice hts_voice;

// Where the voice file is read from (set at build time), and the Debian
// package that installs it there.
extern const char* const hts_voice_path;
inline constexpr char hts_voice_package[] = "hts-voice-nitech-jp-atr503-m001";
