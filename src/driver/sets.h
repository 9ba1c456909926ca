// The run's sets and where they lie: one in the folder, or one per note in
// a subfolder; the folder held for the run, each subfolder too; a folder
// that holds a bank of another layout refused; what stopped runs left
// removed.
#pragma once

#include "driver/run.h"

// The sets of run->settings.pitch (already read into `notes`) into
// run->sets and run->set_count.
void choose_sets(const note_list& notes, morivox_run* run);

// Holds the folder and the sets' subfolders for this run (making those
// that are missing), refuses a folder that holds a set of this program's
// in another layout than the run's, and removes the temporary files that
// stopped runs left. Nothing is made before every refusal is out of the
// way. Says why on standard error. Returns 0, or -1.
int hold_folder(const morivox_run& run);

// Whether `name` is a file this program writes: a recording or a sampler
// file (what a stopped run may have left under a temporary name).
bool is_output_name(const char* name);
