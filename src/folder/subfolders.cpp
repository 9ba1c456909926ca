// The run's folders: the subfolders it writes into, and flushing their
// entries (the renames and removals) with the folder's to the disk.

#include "folder/folder.h"

#include "folder/internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The run's subfolders, flushed with the folder.
char subfolders[folder_max_subfolders][folder_subfolder_name_room];
int subfolder_count = 0;

// A folder's own entries (the renames) to the disk. A folder that may not
// be read cannot be opened to be flushed: its whole file system is flushed
// instead, through the lock file.
int flush_dir(const char* dir)
{
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        const int flushed = fsync(fd);
        const int saved = errno;
        close(fd);
        errno = saved;
        return flushed;
    }
    if (errno == EACCES && folder_lock_descriptor() >= 0)
        return syncfs(folder_lock_descriptor());
    return -1;
}

} // namespace

bool folder_subfolder_name_ok(const char* name)
{
    return strchr(name, '/') == nullptr && strlen(name) < folder_subfolder_name_room;
}

int folder_subfolder_there(const char* name)
{
    struct stat st;
    if (lstat(name, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;  // a symbolic link would lead out of the folder
        return -1;
    }
    return 1;
}

int folder_use_subfolder(const char* name)
{
    if (!folder_subfolder_name_ok(name)) {
        errno = EINVAL;
        return -1;
    }
    if (subfolder_count == folder_max_subfolders) {
        errno = EMLINK;
        return -1;
    }
    const int there = folder_subfolder_there(name);
    // 0777 before the umask, as mkdir(1) makes it.
    if (there < 0 || (there == 0 && (mkdir(name, 0777) != 0 || flush_dir(".") != 0)))
        return -1;
    memcpy(subfolders[subfolder_count++], name, strlen(name) + 1);
    return 0;
}

// Tries every folder, and fails with the first failure's errno.
int folder_flush()
{
    int result = flush_dir(".");
    int error = errno;
    for (int i = 0; i < subfolder_count; ++i) {
        if (flush_dir(subfolders[i]) != 0 && result == 0) {
            result = -1;
            error = errno;
        }
    }
    errno = error;
    return result;
}

int folder_flush_folder_of(const char* name)
{
    const char* slash = strrchr(name, '/');
    if (slash == nullptr)
        return flush_dir(".");
    char dir[folder_name_room];
    const size_t length = static_cast<size_t>(slash - name);
    if (length >= sizeof dir) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(dir, name, length);
    dir[length] = 0;
    return flush_dir(dir);
}
