#include "synth/forked_engine.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

struct forked_engine {
    pid_t pid;         // the child, or 0 once reaped
    int fd;            // this process's end of the socket
    char ended[128];   // how the child ended, once it did
};

namespace {

// A request: the pitch, the beat, the speed and the text, cut one byte past
// the longest text taken (so that a longer one is still refused as too long).
struct request {
    double f0;
    double beat;
    int32_t speed;
    char text[synth_max_text_bytes + 2];
};

// A reply, followed by failure_size bytes of the voice's words and
// image_size bytes of the image.
struct reply {
    int32_t code;
    uint32_t failure_size;
    uint64_t image_size;
    int32_t mora_count;
    synth_marks marks[synth_max_morae];  // the same program on both ends
};

// Room for the voice's words on a failure (the driver keeps 511 bytes).
constexpr size_t failure_room = 512;

// Far beyond any image: 64 kana at the slowest speed make about a megabyte.
constexpr uint64_t largest_image = uint64_t{1} << 31;

// What the child's allocator keeps instead of handing back to the system:
// more than the largest image and its samples as doubles take.
constexpr int keep_freed_bytes = 32 << 20;

// The child's descriptor for its socket: the first after the standard streams.
constexpr int child_socket = 3;

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

int send_all(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// Returns -1 also when the other end closed before `size` bytes came.
int receive_all(int fd, void* data, size_t size)
{
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// The child's loop: a request in, a reply out, until the socket closes.
[[noreturn]] void serve(const synth_voice& voice, synth_engine* engine)
{
    request rq;
    while (receive_all(child_socket, &rq, sizeof rq) == 0) {
        rq.text[sizeof rq.text - 1] = 0;
        synth_image image{};
        reply rp{};
        rp.code = voice.synthesize(engine, rq.text, rq.speed, rq.f0, rq.beat, &image);
        const char* why = rp.code != synth_ok ? voice.failure() : nullptr;
        rp.failure_size = why != nullptr ? static_cast<uint32_t>(strnlen(why, failure_room - 1)) : 0;
        rp.image_size = image.bytes != nullptr ? image.size : 0;
        rp.mora_count = image.mora_count;
        memcpy(rp.marks, image.marks, sizeof rp.marks);
        const bool sent = send_all(child_socket, &rp, sizeof rp) == 0 &&
                          send_all(child_socket, why, rp.failure_size) == 0 &&
                          send_all(child_socket, image.bytes, rp.image_size) == 0;
        voice.free_image(&image);
        if (!sent)
            break;
    }
    _exit(0);
}

// The child is gone, or of no more use: reaps it (once) and says how it ended.
synth_error child_ended(forked_engine* f, const char* how, char* failure, size_t failure_size)
{
    if (f->pid != 0) {
        // It closes its socket as it ends; one that broke off a reply
        // ends now. A signal does not change how an ending process ended.
        kill(f->pid, SIGKILL);
        int status = 0;
        pid_t reaped;
        while ((reaped = waitpid(f->pid, &status, 0)) < 0 && errno == EINTR) {
        }
        f->pid = 0;
        if (how != nullptr) {
            snprintf(f->ended, sizeof f->ended, "its worker process %s", how);
        } else if (reaped > 0 && WIFSIGNALED(status)) {
            const char* name = sigabbrev_np(WTERMSIG(status));
            snprintf(f->ended, sizeof f->ended, "its worker process ended: killed by signal %d (SIG%s)",
                     WTERMSIG(status), name != nullptr ? name : "?");
        } else if (reaped > 0 && WIFEXITED(status)) {
            snprintf(f->ended, sizeof f->ended, "its worker process ended with status %d", WEXITSTATUS(status));
        } else {
            snprintf(f->ended, sizeof f->ended, "its worker process ended");
        }
    }
    snprintf(failure, failure_size, "%s", f->ended);
    return synth_error_engine;
}

} // namespace

int forked_engine_start(const synth_voice& voice, synth_engine* engine, forked_engine** out)
{
    *out = nullptr;
    auto* f = static_cast<forked_engine*>(calloc(1, sizeof(forked_engine)));
    if (f == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        free(f);
        return -1;
    }
    // The stop signals wait until the child ignores them: their handler
    // cleans up this process's files, which is no business of the child.
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int sig : stop_signals)
        sigaddset(&stops, sig);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until the allocator's settings (glibc's
        // allocator is ready for use in a forked child).
        struct sigaction ignore{};
        ignore.sa_handler = SIG_IGN;
        for (int sig : stop_signals)
            sigaction(sig, &ignore, nullptr);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        if (dup2(ends[1], child_socket) != child_socket)
            _exit(1);
        if (close_range(child_socket + 1, ~0u, 0) != 0) {
            for (int fd = child_socket + 1; fd < 65536; ++fd)
                close(fd);
        }
        // The child keeps what it frees: handing the pages of a synthesis
        // back to the system and faulting them in again at the next one
        // cost more than the synthesis (up to 1400 faults and 60 ms of
        // system time in a run, against 150 and 5 ms).
        mallopt(M_TRIM_THRESHOLD, keep_freed_bytes);
        mallopt(M_MMAP_THRESHOLD, keep_freed_bytes);
        serve(voice, engine);
    }
    const int fork_error = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        free(f);
        errno = fork_error;
        return -1;
    }
    f->pid = pid;
    f->fd = ends[0];
    *out = f;
    return 0;
}

synth_error forked_engine_synthesize(forked_engine* f, const char* text, int speed, double f0, double beat,
                                     synth_image* image, char* failure, size_t failure_size)
{
    *image = synth_image{};
    if (failure_size > 0)
        failure[0] = 0;
    if (f->pid == 0)
        return child_ended(f, nullptr, failure, failure_size);
    request rq{};
    rq.f0 = f0;
    rq.beat = beat;
    rq.speed = speed;
    if (text != nullptr)
        memcpy(rq.text, text, strnlen(text, sizeof rq.text - 1));
    reply rp;
    if (send_all(f->fd, &rq, sizeof rq) != 0 || receive_all(f->fd, &rp, sizeof rp) != 0)
        return child_ended(f, nullptr, failure, failure_size);
    if (rp.failure_size >= failure_room || rp.image_size > largest_image || rp.mora_count < 0 ||
        rp.mora_count > synth_max_morae)
        return child_ended(f, "sent a reply out of bounds", failure, failure_size);
    char words[failure_room];
    if (receive_all(f->fd, words, rp.failure_size) != 0)
        return child_ended(f, nullptr, failure, failure_size);
    words[rp.failure_size] = 0;
    if (rp.image_size > 0) {
        auto* bytes = static_cast<uint8_t*>(malloc(rp.image_size));
        if (bytes == nullptr) {
            // The image is read and dropped, so that the next reply starts where it should.
            char skip[4096];
            for (uint64_t left = rp.image_size; left > 0;) {
                const size_t n = left < sizeof skip ? static_cast<size_t>(left) : sizeof skip;
                if (receive_all(f->fd, skip, n) != 0)
                    return child_ended(f, nullptr, failure, failure_size);
                left -= n;
            }
            return synth_error_no_memory;
        }
        if (receive_all(f->fd, bytes, rp.image_size) != 0) {
            free(bytes);
            return child_ended(f, nullptr, failure, failure_size);
        }
        image->bytes = bytes;
        image->size = rp.image_size;
        image->mora_count = rp.mora_count;
        memcpy(image->marks, rp.marks, sizeof image->marks);
    }
    snprintf(failure, failure_size, "%s", words);
    return static_cast<synth_error>(rp.code);
}

void forked_engine_stop(forked_engine* f)
{
    if (f == nullptr)
        return;
    if (f->pid != 0) {
        kill(f->pid, SIGKILL);
        while (waitpid(f->pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    close(f->fd);
    free(f);
}
