// What the lock and the writer of the output folder share.
#pragma once

// What a temporary file's name holds after the name it will take.
inline constexpr char folder_temp_infix[] = ".tmp-";

// This process's tag (see folder_run_tag), worked out once.
const char* folder_own_tag();

// For a signal handler: removes the temporary files in progress. Only
// async-signal-safe calls.
void folder_remove_temporaries_now();

// The lock file's descriptor, or -1 when the folder is not locked.
int folder_lock_descriptor();
