// The eSpeak NG voice: the default, a formant synthesizer with Japanese
// phonemes at a steady 110 Hz. It starts the engine on the first open,
// keeps it for the life of the process and never prints.
#pragma once

#include "synth/synth.h"

extern const synth_voice espeak_voice;

// Sampling rate of every image of this voice, in samples per second.
inline constexpr int espeak_sampling_rate = 22050;

// For tests: the phoneme names eSpeak reported while making the last image,
// separated by spaces (pauses included, as "_:" or "_").
const char* espeak_reported_phonemes();
