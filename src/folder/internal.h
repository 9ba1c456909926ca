// What the files of the output folder share. Each piece of state has one
// owner, the only file that writes it; the others reach it through the
// functions below:
//   identity.cpp    this process's tag and machine key, worked out once
//   lock.cpp        the lock files held (the folder's, then each subfolder's)
//   subfolders.cpp  the run's subfolders
//   publish.cpp     the temporary files in progress, the count of files
//                   published, the after-publish hook, the flusher's queue
//                   and the failures found there
//   stop.cpp        whether a stop has begun, and the changes under way
// leftovers.cpp and aside.cpp keep none.
#pragma once

#include <csignal>
#include <cstddef>

// --- Who a run is (identity.cpp)

// A tag's parts: "<pid>-<start>-<machine>" (see folder_run_tag).
struct folder_tag {
    long pid;
    unsigned long long start;
    char machine[17];
};

// Reads a tag from the start of `text`; *end is left after it. Returns
// whether it was there.
bool folder_parse_tag(const char* text, folder_tag* tag, const char** end);

// Whether the process a tag names still runs. Only a tag of this machine
// and namespace can tell; a process id in use again by a process that
// started at another time is not the tag's process.
enum folder_run_state { folder_run_alive, folder_run_gone, folder_run_unknown };
folder_run_state folder_state_of(const folder_tag& tag);

// This process's tag.
const char* folder_own_tag();

// A temporary name: "<name>.tmp-<tag>-<n>", with this process's tag, into
// out[0..size-1]. False when it does not fit.
inline constexpr char folder_temp_infix[] = ".tmp-";
bool folder_temp_name(const char* name, unsigned n, char* out, size_t size);

// Whether `file` is a temporary name of any run, or "<name>.tmp-<pid>-<n>"
// as earlier versions made them; if so, <name> into stem[0..size-1].
bool folder_temp_stem(const char* file, char* stem, size_t size);

// --- Changes (stop.cpp)

// A stop's handler removes the temporary files and the lock files and
// counts the published files, so those are created or renamed, and what
// the handler reads is written, only inside a change: the stop signals are
// blocked on the thread meanwhile, and a handler on another thread waits
// for the change to end. Once a handler runs, a thread that begins a change
// waits for the end of the process. folder_end_change leaves errno as it
// found it.
void folder_begin_change(sigset_t* was);
void folder_end_change(const sigset_t* was);

// --- For a stop's handler, after the changes ended: async-signal-safe

// Removes the temporary files in progress (publish.cpp).
void folder_remove_temporaries_now();
// Removes the lock files this process holds (lock.cpp; also at exit).
void folder_remove_lock_files_now();
// And folder_published (folder.h, publish.cpp).

// --- Subfolders (subfolders.cpp)

// Whether `name` may name a subfolder: no '/', and it fits
// folder_subfolder_name_room.
bool folder_subfolder_name_ok(const char* name);

// 1 when `name` is a folder, 0 when nothing has the name, or -1 (ENOTDIR
// for anything else, a symbolic link included).
int folder_subfolder_there(const char* name);

// --- For flushing (lock.cpp, subfolders.cpp)

// The folder's lock file's descriptor, or -1 when the folder is not locked.
int folder_lock_descriptor();

// Flushes the folder that holds `name`: a subfolder's, or the folder's.
int folder_flush_folder_of(const char* name);
