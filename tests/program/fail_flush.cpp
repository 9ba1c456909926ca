// Preloaded into the program to stand for a disk that fails a write-back:
// flushing a temporary file of the name MORIVOX_FAIL_FLUSH ("か.wav")
// fails with EIO.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

extern "C" int fdatasync(int fd)
{
    const char* name = getenv("MORIVOX_FAIL_FLUSH");
    char path[64], target[4096];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (name != nullptr && n > 0) {
        target[n] = 0;
        const char* base = strrchr(target, '/');
        base = base != nullptr ? base + 1 : target;
        const size_t length = strlen(name);
        if (strncmp(base, name, length) == 0 && strncmp(base + length, ".tmp-", 5) == 0) {
            errno = EIO;
            return -1;
        }
    }
    using fdatasync_fn = int (*)(int);
    static const auto real = reinterpret_cast<fdatasync_fn>(dlsym(RTLD_NEXT, "fdatasync"));
    return real(fd);
}
