// The output folder: the current folder, where a run publishes its files.
//
// One run at a time. A run holds the folder through a lock file in it,
// ".morivox.lock", which names the run (see folder_run_tag) and carries a
// kernel lock (an open-file-description lock): the kernel lock answers for
// runs on any machine whose file system shares locks (local disks, NFS), the
// name answers where locks are not shared (a FUSE mount such as bindfs, a
// file system without locks). The file goes when the run ends. A run that
// writes into subfolders holds each of them the same way, through a lock
// file in it taken after the folder's, so that a run started in one of
// them is refused, and refuses a run above that would write into it. The
// locks are only tried, never waited for: two runs cannot deadlock, the
// later one is refused.
//
// Publishing: every file is written to a temporary name beside its name,
// "<name>.tmp-<tag>-<n>" (<tag> the writing run's, n a counter), flushed to
// the disk and only then renamed over the name, so an existing file is
// replaced whole or not at all. A replaced file's permission bits are kept,
// and its owner and group where the process may set them; a symbolic link
// at the name is replaced, never written through.
//
// The declarations follow a run: who it is, the lock, the subfolders, the
// leftovers, the stop signals, publishing (now or queued), and what makes
// way for a new file. Each part names the file that holds it.
//
// The functions return 0, or -1 with errno set, unless they say otherwise.
#pragma once

#include <cstddef>
#include <sys/types.h>

// ---- Who a run is (identity.cpp)

// Who a process is, for the lock file and the temporary names:
// "<pid>-<start>-<machine>". <start> is when the process started, in clock
// ticks since boot (0 when /proc cannot tell), so that a process id used
// again is not taken for the old process; <machine> is 16 hexadecimal
// digits naming this boot of this machine and this process namespace (from
// the boot id and the namespace's inode), 16 zeros when /proc cannot tell.
// A process id means something only next to the same <machine>.
inline constexpr size_t folder_tag_room = 64;

// The tag of process `pid` into out[0..size-1]. Fails (ESRCH) when there
// is no such process, or (ERANGE) when it does not fit.
int folder_run_tag(pid_t pid, char* out, size_t size);

// ---- The lock (lock.cpp)

// The lock file, in the folder (and in each subfolder of the run).
inline constexpr char folder_lock_name[] = ".morivox.lock";

struct folder_lock_info {
    // Why the kernel lock could not be had (ENOLCK, EOPNOTSUPP, …), or 0.
    // The lock file then holds the folder alone.
    int kernel_lock_error;
    // Whom the lock file in place names ("pid 1234 on host": of the host,
    // 64 bytes at most, then "...", any byte but printable ASCII, and the
    // backslash, shown as \xNN), or "" when it names nobody readable.
    char owner[320];
    // When another run holds the folder: whether that run could be seen to
    // go on: its kernel lock is held, or it is a process of this machine
    // and namespace that runs. False when nothing can tell (another
    // machine, another namespace, a restart since): it may be gone, leaving
    // the lock file behind.
    bool owner_seen;
    // Something other than a lock file at its name ("a symbolic link",
    // "a named pipe", …), or null: the lock fails with EEXIST.
    const char* foreign;
    // The lock file is another user's, its run gone, and this user may not
    // replace it (a folder with the sticky bit): the lock fails with the
    // reason of the exchange that would have replaced it.
    bool stale;
    // The lock file is another user's, and this user may not read it: the
    // lock fails with EACCES; nothing can tell whether its run goes on.
    bool unreadable;
};

// Takes the folder for this process, until it exits. Fails with
// EWOULDBLOCK when another run holds it (*info says which), with the
// reason the lock file cannot be created or read (EACCES, EROFS, …; see
// *info), or (EINVAL) when this process holds a lock already. A lock file
// whose run is gone is taken over: a run of this machine and namespace
// that no longer runs, or any run when the kernel lock is free on a file
// system that shares it; another user's is replaced where the folder lets
// this user replace it.
int folder_lock(folder_lock_info* info);

// ---- Subfolders (lock.cpp takes them, subfolders.cpp keeps them)

// A run may write into folders one level down ("A3", then files named
// "A3/<name>"). Each is held as the folder is, through a lock file of its
// own that names the run and carries a kernel lock, taken after the
// folder's: a run in a subfolder ("cd A3; morivox") and a run above that
// writes into it hold the same lock file, so that the later one is
// refused, whichever it is, on any machine or path that sees the folder.
inline constexpr int folder_max_subfolders = 64;
inline constexpr size_t folder_subfolder_name_room = 32;  // bytes of a name, with its NUL

// Takes the subfolder `name` (an existing folder, no '/') for this process,
// as folder_lock takes the folder; call it after folder_lock. Taking one
// already held does nothing. Fails as folder_lock does, or (ENOTDIR) when
// something other than a folder has the name, a symbolic link included,
// (EINVAL) for a name with a '/' or too long, or (EMLINK) beyond
// folder_max_subfolders. A run holds a descriptor per lock.
int folder_lock_subfolder(const char* name, folder_lock_info* info);

// Makes the subfolder `name` (no '/') unless it is there, and counts it as
// the run's: folder_flush and folder_finish_queue flush it too. Fails
// (ENOTDIR) when something other than a folder has the name, a symbolic
// link included (it would lead out of the locked folder), with mkdir's
// reason when it cannot be made, (EINVAL) for a name with a '/' or too
// long, or (EMLINK) beyond folder_max_subfolders.
// A new folder's entry is flushed at once.
int folder_use_subfolder(const char* name);

// Flushes the folder and the run's subfolders, so that their renames and
// removals are on the disk before anything that follows (a folder that
// may not be read: its whole file system, through the lock file). Fails
// with the first failure's errno, having tried every folder.
int folder_flush();

// ---- Leftovers (leftovers.cpp)

// Removes what stopped runs left in `dir` (".", or a subfolder of the
// run): the regular files with a temporary name of this program's making
// for a name that `ours` accepts (or for the lock file's). Call it under
// the lock of `dir`: no other run of this program writes there then, so
// they are all of runs that stopped, on this machine or any other. Files
// of any other name are left. *kept receives how many could not be
// removed, and errno the first reason. Returns how many files it removed
// (0 when `dir` cannot be read).
int folder_remove_leftovers(const char* dir, bool (*ours)(const char* name), int* kept);

// ---- Stops (stop.cpp)

// Makes SIGINT, SIGTERM and SIGHUP, unless they were ignored when the
// program started (nohup, a shell's background job), remove the temporary
// files in progress and the lock files, say on standard error how many
// files reached the folder (without waiting for a pipe or a terminal that
// nobody reads: the line is then lost), and end the process as the signal
// would; as the first process of a process namespace, which such a signal
// does not end, with the status 128 + the signal.
void folder_clean_up_on_signals();

// ---- Publishing (publish.cpp)

// Longest name the writer takes, in bytes with its temporary suffix: the
// names this program writes are short, and every file in flight keeps its
// name where a signal handler can find it. A longer one fails
// (ENAMETOOLONG).
inline constexpr int folder_name_room = 256;

// Writes `head` then `body` to `file_name` (in any folder) and returns once
// the file is on the disk under its name. Fails when the file cannot be
// created, written, flushed or renamed, when the name is a directory
// (EISDIR) or another non-regular file (EEXIST), or when an existing file
// is read-only (EACCES; EROFS on a read-only file system). The old file is
// then untouched and no temporary file is left. The caller keeps the data.
// `before_rename(context)` (null: none) runs once the data is on the disk,
// just before the rename: for what must happen only if the file is about
// to take its name (moving aside what describes the old file). When it
// returns non-zero, the temporary file goes, the old file stays, and the
// call fails with the errno it left.
int folder_write_with(const char* file_name, const void* head, size_t head_size, const void* body,
                      size_t body_size, int (*before_rename)(void* context), void* context);

// Has `hook(name)` called on the thread that renames, right after each
// file reached its name, with the stop signals held off there and a stop
// handled elsewhere waiting for it: what it removes goes in one step with
// the rename, and a stop never falls between them. Set it before the first
// file is written; null for none.
void folder_after_publish(void (*hook)(const char* name));

// Files that reached the folder under their names so far.
int folder_published();

// The same as folder_write_with (no before_rename), but returns once the
// temporary file is written: one thread flushes and renames the queued
// files in the background, in batches, so that the next file is made
// while the disk works (when no thread can be had, the file is flushed and renamed before
// the call returns). A failure found there is kept for
// folder_take_failures. Waits only while folder_max_queued files are in
// flight: more than a run of up to three pitches makes, so a slow disk
// holds back only the end of such a run; a longer one waits. No descriptor
// stays open for a queued file.
int folder_queue(const char* file_name, const void* head, size_t head_size, const void* body,
                 size_t body_size);

inline constexpr int folder_max_queued = 1024;

struct folder_failure {
    char name[folder_name_room];
    int error;  // errno
};

// Moves up to `capacity` failures of queued files, oldest first, into
// `out`, and returns how many. Beyond 2 × folder_max_queued failures not
// taken, later ones are not kept.
int folder_take_failures(folder_failure* out, int capacity);

// Waits until every queued file is flushed and renamed, then flushes the
// folders as folder_flush does.
int folder_finish_queue();

// ---- Making way for a new file (aside.cpp)

// Moves `name` aside to "<name>.bak" (or "<name>.bak.2", .3, … up to
// folder_max_backups: an earlier one is never replaced) and flushes its
// folder, so that the move is on the disk before anything that follows.
// Returns 1 and the new name in moved_to[0..size-1], 0 when there is no
// such file, or -1 (EEXIST when every backup name is taken).
inline constexpr int folder_max_backups = 100;
int folder_set_aside(const char* name, char* moved_to, size_t size);

// Removes `name`, a regular file (or a link) that no longer stands for
// anything; nothing else is touched. Returns 1, 0 when there is no such
// file, or -1 (EISDIR for anything else at the name). The removal reaches
// the disk with the next folder_flush.
int folder_remove(const char* name);
