// The lock files: the folder's and each subfolder's, taken, held and
// removed. A lock file names its run (see identity.cpp) and carries a kernel
// lock; one found in place is taken over only when its run is gone.

#include "folder/folder.h"

#include "folder/internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr int lock_tries = 10;

// The lock files this process holds: the folder's first, then one per
// subfolder of the run. Written only inside a change (folder_begin_change),
// so that a signal handler reads them whole.
struct held_lock {
    int fd;
    char path[folder_subfolder_name_room + sizeof folder_lock_name];
};
held_lock held[1 + folder_max_subfolders];
int held_count = 0;
bool folder_held = false;  // held[0] is the folder's

// The lock file of `dir` ("" for the folder) into out[0..size-1].
bool lock_path(const char* dir, char* out, size_t size)
{
    const int n = dir[0] == 0 ? snprintf(out, size, "%s", folder_lock_name)
                              : snprintf(out, size, "%s/%s", dir, folder_lock_name);
    return n > 0 && static_cast<size_t>(n) < size;
}

// The kernel lock on the whole lock file, held by its open file
// description; a kernel without those takes a process lock instead.
int take_kernel_lock(int fd)
{
    struct flock whole{};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &whole) == 0)
        return 0;
    if (errno == EINVAL && fcntl(fd, F_SETLK, &whole) == 0)
        return 0;
    if (errno == EACCES || errno == EAGAIN)
        errno = EWOULDBLOCK;
    return -1;
}

// Whether a kernel lock taken on `fd` would be seen by every run that sees
// the file. A FUSE file system may keep locks to its own mount: bindfs
// does, so a run through the mount and one beside it both get the lock.
bool locks_shared(int fd)
{
    struct statfs fs;
    return fstatfs(fd, &fs) == 0 && fs.f_type != FUSE_SUPER_MAGIC;
}

// Whether `fd` is still the file at `path`.
bool is_lock_file(int fd, const char* path)
{
    struct stat open_file, named;
    return fstat(fd, &open_file) == 0 && lstat(path, &named) == 0 && open_file.st_dev == named.st_dev &&
           open_file.st_ino == named.st_ino;
}

// Bytes of a lock file's host name shown: a host name has at most 64.
constexpr size_t shown_host_bytes = 64;

// "pid <pid> on <host>" from a lock file's line "<tag> <host>". Anyone who
// may write the folder may write the file: the host is shown with every
// byte other than printable ASCII, and the backslash, as \xNN.
void describe_owner(const char* line, const folder_tag& tag, char* out, size_t size)
{
    const char* host = strchr(line, ' ');
    char shown[shown_host_bytes * 4 + 4] = "";
    size_t used = 0;
    for (size_t i = 0; host != nullptr && host[1 + i] != 0 && host[1 + i] != '\n'; ++i) {
        if (i == shown_host_bytes) {
            memcpy(shown + used, "...", 4);
            used += 3;
            break;
        }
        const auto c = static_cast<unsigned char>(host[1 + i]);
        used += static_cast<size_t>(c >= 0x20 && c < 0x7f && c != '\\'
                                        ? snprintf(shown + used, sizeof shown - used, "%c", c)
                                        : snprintf(shown + used, sizeof shown - used, "\\x%02x", c));
    }
    snprintf(out, size, "pid %ld%s%s", tag.pid, shown[0] ? " on " : "", shown);
}

// Decides what to do with a lock file found in place, which `fd` reads,
// its kernel lock free (held by nobody else) or not. Returns whether it may
// be taken: its run is gone, or nothing can tell but the kernel lock, which
// every run that sees the file would hold, is free. *info says whom it
// names either way.
bool may_take_over(int fd, bool kernel_free, folder_lock_info* info)
{
    char line[256] = "";
    const ssize_t n = pread(fd, line, sizeof line - 1, 0);
    line[n > 0 ? n : 0] = 0;
    folder_tag owner{};
    const char* rest = nullptr;
    const bool named = folder_parse_tag(line, &owner, &rest);
    const folder_run_state state = named ? folder_state_of(owner) : folder_run_unknown;
    if (named)
        describe_owner(line, owner, info->owner, sizeof info->owner);
    info->owner_seen = state == folder_run_alive;
    return state == folder_run_gone || (state == folder_run_unknown && kernel_free && locks_shared(fd));
}

// What is at a lock file's name instead of a file.
const char* kind_of(mode_t mode)
{
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "something other than a file";
}

// This run's line, "<tag> <host>", into the lock file `fd`, on the disk.
int write_owner_line(int fd)
{
    char line[folder_tag_room + 160];
    char host[128] = "";
    gethostname(host, sizeof host - 1);
    const int n = snprintf(line, sizeof line, "%s %s\n", folder_own_tag(), host[0] ? host : "?");
    return ftruncate(fd, 0) == 0 && pwrite(fd, line, static_cast<size_t>(n), 0) == n && fdatasync(fd) == 0 ? 0 : -1;
}

void hold(int fd, const char* path)
{
    held[held_count].fd = fd;
    memcpy(held[held_count].path, path, strlen(path) + 1);
    ++held_count;
}

// Whether the kernel lock on the file `fd` reads is free; *known is false
// when the file system cannot say.
bool kernel_lock_free(int fd, bool* known)
{
    struct flock probe{};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    *known = fcntl(fd, F_OFD_GETLK, &probe) == 0 || (errno == EINVAL && fcntl(fd, F_GETLK, &probe) == 0);
    return *known && probe.l_type == F_UNLCK;
}

// A lock file this user may not write (another user's) in a folder it may
// write. Left by a run that is gone, it is replaced by a new lock file in
// one atomic exchange of names, so that the name holds at every moment
// either it or a lock file that a run holds: two runs that take it over at
// once cannot both win. Returns as try_lock does; info->stale when it could
// be taken over but not replaced (a folder with the sticky bit, a file
// system without the exchange).
int take_over_unwritable(const char* path, folder_lock_info* info)
{
    const int old = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (old < 0) {
        if (errno == ENOENT)
            return 1;
        info->unreadable = errno == EACCES;
        return -1;
    }
    struct stat was;
    bool known = false;
    const bool unlocked = kernel_lock_free(old, &known);
    if (fstat(old, &was) != 0 || !may_take_over(old, unlocked, info)) {
        info->owner_seen = info->owner_seen || (known && !unlocked);
        close(old);
        errno = EWOULDBLOCK;
        return -1;
    }
    char temp[sizeof held[0].path + folder_tag_room + 16];
    folder_temp_name(path, 0, temp, sizeof temp);
    unlink(temp);  // a name only this process makes
    const int fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 || write_owner_line(fd) != 0) {
        const int saved = errno;
        if (fd >= 0) {
            unlink(temp);
            close(fd);
        }
        close(old);
        errno = saved;
        return -1;
    }
    if (take_kernel_lock(fd) != 0)
        info->kernel_lock_error = errno;  // a new file: nobody else holds it
    if (renameat2(AT_FDCWD, temp, AT_FDCWD, path, RENAME_EXCHANGE) != 0) {
        const int saved = errno;
        unlink(temp);
        close(fd);
        close(old);
        info->stale = true;
        errno = saved;
        return -1;
    }
    // The name holds the new file, `temp` what was there: the old file,
    // unless a run took the name first, or took the old file over in place
    // (its owner may write it) and holds it now. That run's file goes back.
    struct stat got;
    folder_lock_info scratch{};
    const bool now_free = kernel_lock_free(old, &known);
    const bool still_stale = lstat(temp, &got) == 0 && got.st_dev == was.st_dev && got.st_ino == was.st_ino &&
                             may_take_over(old, now_free, &scratch);
    close(old);
    if (!still_stale) {
        const bool back = renameat2(AT_FDCWD, temp, AT_FDCWD, path, RENAME_EXCHANGE) == 0;
        if (back)
            unlink(temp);  // ours
        close(fd);
        return 1;
    }
    unlink(temp);
    hold(fd, path);
    return 0;
}

// One try at the lock file `path`. Returns 0 with the lock taken, 1 to try
// again, or -1.
int try_lock(const char* path, folder_lock_info* info)
{
    bool created = true;
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        // Looked at first: a named pipe or a device is not to be opened.
        struct stat st;
        if (lstat(path, &st) != 0)
            return errno == ENOENT ? 1 : -1;  // its run just ended
        if (!S_ISREG(st.st_mode)) {
            info->foreign = kind_of(st.st_mode);
            errno = EEXIST;
            return -1;
        }
        fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT)
            return 1;
        if (fd < 0 && errno == EACCES)
            return take_over_unwritable(path, info);
    }
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        info->foreign = kind_of(fstat(fd, &st) == 0 ? st.st_mode : 0);
        close(fd);
        errno = EEXIST;
        return -1;
    }
    const bool kernel_held = take_kernel_lock(fd) == 0;
    const bool kernel_busy = !kernel_held && errno == EWOULDBLOCK;
    if (!kernel_held && !kernel_busy)
        info->kernel_lock_error = errno;
    if (kernel_busy || (!created && !may_take_over(fd, kernel_held, info))) {
        if (kernel_busy) {
            may_take_over(fd, false, info);  // only to say who holds it
            info->owner_seen = true;         // its kernel lock says it runs
        }
        close(fd);
        errno = EWOULDBLOCK;
        return -1;
    }
    // A run that ended may have removed the file meanwhile: then the
    // lock is on a file nobody else will find.
    if (!is_lock_file(fd, path)) {
        close(fd);
        return 1;
    }
    if (write_owner_line(fd) != 0) {
        const int saved = errno;
        if (created)
            unlink(path);  // a file that names nobody would stay
        close(fd);
        errno = saved;
        return -1;
    }
    hold(fd, path);
    return 0;
}

// Takes the lock of `dir` ("" for the folder).
int lock_dir(const char* dir, folder_lock_info* info)
{
    *info = folder_lock_info{};
    char path[sizeof held[0].path];
    if (!lock_path(dir, path, sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (int tries = 0; tries < lock_tries; ++tries) {
        // A stop must not come between the file's creation and `held`,
        // through which the handler finds it.
        sigset_t was;
        folder_begin_change(&was);
        const int result = try_lock(path, info);
        folder_end_change(&was);
        if (result <= 0) {
            static bool removed_at_exit = false;
            if (result == 0 && !removed_at_exit)
                removed_at_exit = atexit(folder_remove_lock_files_now) == 0;
            return result;
        }
    }
    errno = EWOULDBLOCK;
    return -1;
}

} // namespace

int folder_lock_descriptor()
{
    return folder_held ? held[0].fd : -1;
}

void folder_remove_lock_files_now()
{
    for (int i = 0; i < held_count; ++i) {
        if (is_lock_file(held[i].fd, held[i].path))
            unlink(held[i].path);
    }
}

int folder_lock(folder_lock_info* info)
{
    if (held_count != 0) {
        errno = EINVAL;  // the folder's lock comes first
        return -1;
    }
    if (lock_dir("", info) != 0)
        return -1;
    folder_held = true;
    return 0;
}

int folder_lock_subfolder(const char* name, folder_lock_info* info)
{
    *info = folder_lock_info{};
    char path[sizeof held[0].path];
    if (!folder_subfolder_name_ok(name) || !lock_path(name, path, sizeof path)) {
        errno = EINVAL;
        return -1;
    }
    for (int i = 0; i < held_count; ++i) {
        if (strcmp(held[i].path, path) == 0)
            return 0;
    }
    if (held_count == 1 + folder_max_subfolders) {
        errno = EMLINK;
        return -1;
    }
    if (folder_subfolder_there(name) != 1)
        return -1;  // ENOENT when there is none
    return lock_dir(name, info);
}
