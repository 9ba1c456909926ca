// What a stop does. SIGINT, SIGTERM and SIGHUP end a run through the
// handler here: it waits for the changes under way (a file created or
// renamed, a lock file taken) to end and lets no new one begin, removes the
// temporary files and the lock files, says how many files reached the
// folder, and ends the process as the signal would.
//
// A change is where the handler's view of the folder is made true: the
// files it would remove and the lists it finds them in change together
// inside one, with the stop signals blocked on that thread.

#include "folder/folder.h"

#include "folder/internal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Set once a handler runs; it never goes back.
std::atomic<int> stopping{0};
// Changes under way, on every thread.
std::atomic<int> changes{0};
static_assert(std::atomic<int>::is_always_lock_free, "read by a signal handler");

// Long enough for a rename on a slow network file system; a thread stuck
// longer must not keep the process from stopping.
constexpr long change_wait_ms = 2000;

void stop_signal_set(sigset_t* set)
{
    sigemptyset(set);
    for (int sig : stop_signals)
        sigaddset(set, sig);
}

// No thread begins a change from now on, and the changes under way on other
// threads end first (one stuck for change_wait_ms is not waited for). False
// when another thread's handler got there first: that one ends the process.
bool stop_changes_now()
{
    if (stopping.exchange(1) != 0)
        return false;
    const timespec step = {0, 1000000};
    for (long waited = 0; changes.load() != 0 && waited < change_wait_ms; ++waited)
        nanosleep(&step, nullptr);
    return true;
}

// Writes the stop line to standard error without ever waiting: a pipe or
// a terminal that nobody reads must not keep the process from ending. Their
// open file description may be shared with other processes (a shell), so
// its flags stay as they are: the line goes through a description of our
// own that does not wait.
void write_without_waiting(const char* text, size_t size)
{
    struct stat st;
    if (fstat(STDERR_FILENO, &st) != 0)
        return;
    if (S_ISSOCK(st.st_mode)) {
        const ssize_t sent = send(STDERR_FILENO, text, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)sent;
        return;
    }
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        const int fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            const ssize_t written = write(fd, text, size);
            (void)written;
            close(fd);
            return;
        }
        // No /proc: only when there is room now.
        pollfd out = {STDERR_FILENO, POLLOUT, 0};
        if (poll(&out, 1, 0) != 1 || (out.revents & POLLOUT) == 0)
            return;
    }
    const ssize_t written = write(STDERR_FILENO, text, size);
    (void)written;
}

// Only async-signal-safe calls from here on.
void on_stop_signal(int sig)
{
    if (!stop_changes_now()) {
        for (;;)
            pause();
    }
    folder_remove_temporaries_now();
    folder_remove_lock_files_now();
    // The line is put together by hand.
    char line[96] = "stopped by ";
    size_t len = strlen(line);
    const char* name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
    for (const char* p = name; *p != 0; ++p)
        line[len++] = *p;
    line[len++] = ':';
    line[len++] = ' ';
    const int count = folder_published();
    char digits[16];
    int d = 0;
    for (int v = count; d == 0 || v > 0; v /= 10)
        digits[d++] = static_cast<char>('0' + v % 10);
    while (d > 0)
        line[len++] = digits[--d];
    const char* tail = count == 1 ? " file reached the folder\n" : " files reached the folder\n";
    for (const char* p = tail; *p != 0; ++p)
        line[len++] = *p;
    write_without_waiting(line, len);
    // End as the signal says: it is blocked in its handler, so raised, then
    // let through. The first process of a process namespace (in a container
    // without an init) is not ended by a signal it does not catch: it exits
    // with the status a shell gives for the signal.
    signal(sig, SIG_DFL);
    raise(sig);
    sigset_t this_one;
    sigemptyset(&this_one);
    sigaddset(&this_one, sig);
    sigprocmask(SIG_UNBLOCK, &this_one, nullptr);
    _exit(128 + sig);
}

} // namespace

void folder_begin_change(sigset_t* was)
{
    sigset_t stops;
    stop_signal_set(&stops);
    pthread_sigmask(SIG_BLOCK, &stops, was);
    changes.fetch_add(1);
    if (stopping.load() != 0) {
        // The handler is ending the process.
        changes.fetch_sub(1);
        pthread_sigmask(SIG_SETMASK, was, nullptr);
        for (;;)
            pause();
    }
}

void folder_end_change(const sigset_t* was)
{
    const int saved = errno;
    changes.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, was, nullptr);
    errno = saved;
}

void folder_clean_up_on_signals()
{
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    stop_signal_set(&sa.sa_mask);
    for (int sig : stop_signals) {
        // An ignored signal was meant not to stop the program (nohup, a
        // shell's background job): it stays ignored.
        struct sigaction was;
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &sa, nullptr);
    }
}
