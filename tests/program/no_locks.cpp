// Preloaded into the program to stand for a file system without locks (an
// NFS mount whose lock daemon is gone): every file lock fails with ENOLCK.

#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>

extern "C" {

int fcntl(int fd, int cmd, ...)
{
    va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (cmd == F_SETLK || cmd == F_SETLKW || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW) {
        errno = ENOLCK;
        return -1;
    }
    using fcntl_fn = int (*)(int, int, void*);
    static const auto real = reinterpret_cast<fcntl_fn>(dlsym(RTLD_NEXT, "fcntl"));
    return real(fd, cmd, arg);
}

int flock(int, int)
{
    errno = ENOLCK;
    return -1;
}
}
