// What the lock and the writer of the output folder share.
#pragma once

#include <csignal>

// What a temporary file's name holds after the name it will take.
inline constexpr char folder_temp_infix[] = ".tmp-";

// This process's tag (see folder_run_tag), worked out once.
const char* folder_own_tag();

// The signals that stop a run and have the folder cleaned up.
inline constexpr int folder_stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// A stop signal's handler removes the temporary files and the lock file
// and counts the published files, so those are created or renamed, and
// what the handler reads is written, only inside a change: the stop
// signals are blocked on the thread meanwhile, and a handler on another
// thread waits for the change to end. Once a handler runs, a thread that
// begins a change waits for the end of the process.
void folder_begin_change(sigset_t* was);
void folder_end_change(const sigset_t* was);

// For a signal handler, before it cleans up: no thread creates or renames
// a file from now on, and the changes under way on other threads end
// first (one stuck for two seconds is not waited for). False when another thread's handler got there first: that one
// ends the process. Only async-signal-safe calls.
bool folder_stop_changes_now();

// For a signal handler: removes the temporary files in progress. Only
// async-signal-safe calls.
void folder_remove_temporaries_now();

// The lock file's descriptor, or -1 when the folder is not locked.
int folder_lock_descriptor();
