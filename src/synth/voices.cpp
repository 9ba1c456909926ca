// The voices of this build, the default first.

#include "synth/espeak_voice.h"
#include "synth/hts_voice.h"

const synth_voice* const synth_voices[] = {&espeak_voice, &hts_voice, nullptr};
