// Preloaded into the program to stop it at the worst moment: as the first
// file whose name holds MORIVOX_STOP_AT is about to be created, SIGTERM goes
// to another thread, and the file is created once that thread's handler has
// begun its message (or after half a second, when the handler waits for the
// creation to end); the creating thread then lingers for half a second, so
// that a handler that did not wait ends the process meanwhile.

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

using open_fn = int (*)(const char*, int, ...);
using write_fn = ssize_t (*)(int, const void*, size_t);
// Found as the program loads: dlsym is no call for a signal handler.
const open_fn real_open = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
const write_fn real_write = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));

std::atomic<int> fired{0};
std::atomic<int> ready{0};
std::atomic<int> handler_writing{0};

void sleep_ms(long ms)
{
    const timespec t = {ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&t, nullptr);
}

// The thread that takes the signal: the creating thread blocks it, if the
// program blocks it there, and the new thread inherits that.
void* taker(void*)
{
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
    ready.store(1);
    for (;;)
        pause();
}

void stop_from_another_thread()
{
    pthread_t t;
    if (pthread_create(&t, nullptr, taker, nullptr) != 0)
        return;
    while (ready.load() == 0)
        sleep_ms(1);
    pthread_kill(t, SIGTERM);
    for (int waited = 0; handler_writing.load() == 0 && waited < 500; ++waited)
        sleep_ms(1);
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    const char* at = getenv("MORIVOX_STOP_AT");
    if ((flags & O_CREAT) == 0 || at == nullptr || strstr(path, at) == nullptr || fired.exchange(1) != 0)
        return real_open(path, flags, mode);
    stop_from_another_thread();
    const int fd = real_open(path, flags, mode);
    sleep_ms(500);
    return fd;
}

// The handler's message, held up for a moment.
ssize_t write(int fd, const void* data, size_t size)
{
    // On any descriptor: into a pipe the handler writes through one of its own.
    if (size > 10 && memcmp(data, "stopped by", 10) == 0) {
        handler_writing.store(1);
        sleep_ms(300);
    }
    return real_write(fd, data, size);
}
}
