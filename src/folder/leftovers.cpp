// What stopped runs left behind: their temporary files, removed under the
// lock of the folder they are in.

#include "folder/folder.h"

#include "folder/internal.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int folder_remove_leftovers(const char* dir, bool (*ours)(const char* name), int* kept)
{
    *kept = 0;
    DIR* d = opendir(dir);
    if (d == nullptr)
        return 0;  // a folder that may not be read: its leftovers stay
    int removed = 0, first_error = 0;
    while (const dirent* e = readdir(d)) {
        char stem[256];
        if (!folder_temp_stem(e->d_name, stem, sizeof stem) || (!ours(stem) && strcmp(stem, folder_lock_name) != 0))
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        // Under the lock no other run of this program writes here: the
        // file is a stopped run's, whichever machine or namespace it ran in.
        if (unlinkat(dirfd(d), e->d_name, 0) == 0) {
            ++removed;
        } else {
            first_error = *kept == 0 ? errno : first_error;
            ++*kept;
        }
    }
    closedir(d);
    errno = first_error;
    return removed;
}
