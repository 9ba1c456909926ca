// What describes the recordings goes when they are replaced, and not
// before: the sampler files of a folder (oto.ini, character.txt, …) go
// aside as "<name>.bak" just before the first recording that replaces one
// there takes its name, so that a run which replaces none leaves them as
// they are, and a stopped run never leaves a file that describes
// recordings it replaced. What samplers made from one recording (its
// frequency map, resamplers' caches) goes with that recording, in the step
// that renames it. prefix.map, which points into the subfolders, goes
// before the run's first recording. Before -oto writes a set's files anew,
// whatever is still at their names goes aside too. A backup that a new
// file repeats is removed at the end.
#pragma once

#include "driver/run.h"

// From the folder's hold on, for `run` (which must outlive the run):
// what a replaced recording takes with it is removed as it is renamed,
// on whatever thread renames it.
void set_aside_start(const morivox_run& run);

// A recording of set `set` about to take its name, for
// set_aside_before_publishing.
struct publishing {
    const morivox_run* run;
    int set;
    bool replaces;  // an earlier file is at its name
};

// Whether something must go aside before `p`'s recording takes its name:
// it is then written with set_aside_before_publishing as the writer's hook.
bool set_aside_due(const publishing& p);

// The writer's hook (`context` is a publishing), run once the recording is
// on the disk, just before its rename. Returns 0, or -1 (reported) when a
// file cannot be moved aside: the recording is then not renamed, and the
// run must end (set_aside_failed).
int set_aside_before_publishing(void* context);

// Whether the last hook failed.
bool set_aside_failed();

// Before -oto writes them: the files of each set in `made` (whose
// recordings were made now) and of the bank, that are still at their
// names. Returns 0, or -1 (reported).
int set_aside_for_new_files(const morivox_run& run, const bool* made);

// Where the oto.ini of `folder` that described the earlier recordings was
// moved in this run, or null.
const char* set_aside_old_oto(const char* folder);

// One line on standard error for the maps and caches that went with the
// recordings replaced, if any.
void report_removed_with_recordings();

// Removes the backups that the new files repeat byte for byte.
void drop_repeated_backups();
