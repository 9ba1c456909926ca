// The run's recordings on their way to the folder: written one by one as
// the pipeline hands them over, in table order, and the files that did not
// reach the disk, reported and remembered.
#pragma once

#include "driver/run.h"
#include "pipeline/pipeline.h"

// Writes text `entry` of set `set` as `made` gives it, and keeps its
// morae's timings. Returns 0 when the run goes on (*not_written set when the file
// could not be written, which is reported), -1 when it must end (the
// synthesis failed, memory ran out, or what describes the recordings could
// not go aside).
int write_recording(morivox_run* run, int set, int entry, const made_recording& made, bool* not_written);

// Whether a recording lies at `name`: a file, or a link (which a new one
// replaces, never follows).
bool recording_at(const char* name);

// `name` could not be written: says why on standard error and remembers it.
void report_not_written(morivox_run* run, const char* name, int error);

// `name` was not made: remembers it (the caller said why).
void note_missing(morivox_run* run, const char* name);

// Waits for every file handed to the writer to reach the disk, and reports
// those that did not. Returns whether all of them did.
bool finish_files(morivox_run* run);
