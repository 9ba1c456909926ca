// What the makers of each voice ask to be said of it wherever its sound
// goes: its credit and its licence, for the voicebank's text.
#pragma once

struct synth_credits {
    const char* voice;   // the voice's name on the command line
    const char* credit;  // one line: the voice, who made it, its licence
    const char* about;   // what synthesizes with it, copyright, licence (lines, each ended by "\n")
    const char* terms;   // what the licence asks of whoever uses its sound (lines)
};

// The credits of the voice called `voice`, or null when there are none (a
// test's voice).
const synth_credits* synth_find_credits(const char* voice);
