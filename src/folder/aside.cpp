// Making way for a new file: the old one set aside as a backup, or removed.

#include "folder/folder.h"

#include "folder/internal.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

int folder_set_aside(const char* name, char* moved_to, size_t size)
{
    struct stat st;
    if (lstat(name, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    // Under the folder's lock nobody else makes these names, so looking
    // first is enough to never replace an earlier one.
    for (int n = 1; n <= folder_max_backups; ++n) {
        const int used = n == 1 ? snprintf(moved_to, size, "%s.bak", name)
                                : snprintf(moved_to, size, "%s.bak.%d", name, n);
        if (used < 0 || static_cast<size_t>(used) >= size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        if (lstat(moved_to, &st) == 0)
            continue;
        if (errno != ENOENT)
            return -1;
        if (rename(name, moved_to) != 0 || folder_flush_folder_of(name) != 0)
            return -1;
        return 1;
    }
    errno = EEXIST;
    return -1;
}

int folder_remove(const char* name)
{
    struct stat st;
    if (lstat(name, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    return unlink(name) == 0 ? 1 : -1;
}
