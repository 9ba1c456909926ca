// The generation driver: the whole program, from the command line to the
// last file. It reads as the data flows: command line (command_line.h) →
// the sets and the folder held for them (sets.h) → the pipeline, which
// synthesizes, shapes, converts and times each entry (pipeline/pipeline.h)
// → the recordings written in table order (recordings.h), what describes
// them set aside as they are replaced (set_aside.h) → with -oto the
// voicebank's files (voicebank.h) → "done.".
#pragma once

#include "synth/synth.h"

// The whole program: parse, print the banner, make every file of the table
// with the voice chosen from `voices` (a list ended by null, the default
// first): in the current directory, or with several notes in a subfolder
// per note. Returns 0 when every file was written and everything printed
// reached standard output, otherwise -1 (after a message on standard error).
// Asked for the usage or the version, it prints that on standard output
// and returns 0, touching no file.
int run_morivox(int argc, const char* const* argv, const synth_voice* const* voices);
