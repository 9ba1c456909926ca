// Publishing files in the output folder: each goes to a temporary file
// beside its name, reaches the disk, and only then is renamed over the name.

#include "wav/wav.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// Temporary names: "<name>.tmp-<pid>-<counter>", in the target's folder so
// that the rename stays on one file system and is atomic.
constexpr char temp_infix[] = ".tmp-";
constexpr int temp_name_tries = 1000;

// Files written but not yet flushed and renamed; the writer waits when
// this many are in flight.
constexpr int max_queued = 32;

// Files flushed together. Each flush commits the file system's journal,
// and a commit holds up the creation of the next files, so the flushes go
// in batches: the first flush of a batch commits them all, the others find
// nothing left to do.
constexpr int flush_batch = 16;

// Every temporary file that exists right now has a slot, so that a signal
// handler can remove them: the queued ones and the one being written.
constexpr int slot_count = max_queued + 1;
struct temp_slot {
    std::atomic<int> used;
    char name[PATH_MAX];
};
temp_slot slots[slot_count];
static_assert(std::atomic<int>::is_always_lock_free, "read by a signal handler");

int take_slot(const char* temp_name)
{
    for (int i = 0; i < slot_count; ++i) {
        if (slots[i].used.load() == 0) {
            memcpy(slots[i].name, temp_name, strlen(temp_name) + 1);
            slots[i].used.store(1);
            return i;
        }
    }
    return -1;  // cannot happen: the queue holds fewer than slot_count
}

void free_slot(int i)
{
    slots[i].used.store(0);
}

// A rename would replace anything, so refuse what opening the file for
// writing would refuse, and also a file whose owner took away every write
// bit (root could write it, but the user meant to keep it). *existing
// receives the status of a regular file that will be replaced.
int check_replaceable(const char* file_name, struct stat* existing, bool* replaces)
{
    *replaces = false;
    if (lstat(file_name, existing) != 0)
        return errno == ENOENT ? 0 : -1;
    if (S_ISDIR(existing->st_mode)) {
        errno = EISDIR;
        return -1;
    }
    if (!S_ISREG(existing->st_mode) && !S_ISLNK(existing->st_mode)) {
        errno = EEXIST;
        return -1;
    }
    if (S_ISREG(existing->st_mode)) {
        if (access(file_name, W_OK) != 0)
            return -1;  // EACCES, or EROFS on a read-only file system
        if ((existing->st_mode & 0222) == 0) {
            errno = EACCES;
            return -1;
        }
        *replaces = true;
    }
    return 0;
}

// Writes all of [data, data + size), retrying short writes.
int write_all(int fd, const void* data, size_t size)
{
    auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// A file written to its temporary name, waiting to be flushed and renamed.
struct written_file {
    int fd;
    int slot;
    char name[PATH_MAX];
};

void discard(const written_file& f)
{
    close(f.fd);
    unlink(slots[f.slot].name);
    free_slot(f.slot);
}

// Writes `head` then `body` to a new temporary file for `file_name`, with
// the permission bits and owner of the file it will replace. Returns 0, or
// -1 with errno and nothing left behind.
int write_temporary(const char* file_name, const void* head, size_t head_size, const void* body,
                    size_t body_size, written_file* out)
{
    struct stat old;
    bool replaces = false;
    if (check_replaceable(file_name, &old, &replaces) != 0)
        return -1;
    if (strlen(file_name) >= sizeof out->name) {
        errno = ENAMETOOLONG;
        return -1;
    }

    // A name left by an earlier process of the same id is never reused.
    static unsigned counter = 0;
    char temp[PATH_MAX];
    int fd = -1;
    int slot = -1;
    for (int tries = 0; fd < 0 && tries < temp_name_tries; ++tries) {
        const int n = snprintf(temp, sizeof temp, "%s%s%ld-%u", file_name, temp_infix,
                               static_cast<long>(getpid()), counter++);
        if (n < 0 || static_cast<size_t>(n) >= sizeof temp) {
            errno = ENAMETOOLONG;
            return -1;
        }
        // The slot first: a signal may come the moment the file exists.
        slot = take_slot(temp);
        // 0666 before the umask, as fopen would create it.
        fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int saved = errno;
            free_slot(slot);
            errno = saved;
            if (errno != EEXIST)
                return -1;
        }
    }
    if (fd < 0)
        return -1;

    int failed = write_all(fd, head, head_size) != 0 || write_all(fd, body, body_size) != 0;
    // Keep what the replaced file had, as rewriting it in place would; the
    // owner only where the process may give it away.
    if (!failed && replaces) {
        if (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM)
            failed = 1;
        if (!failed && fchmod(fd, old.st_mode & 07777) != 0)
            failed = 1;
    }
    if (failed) {
        const int saved = errno;
        discard({fd, slot, {}});
        errno = saved;
        return -1;
    }
    // Start the write-back now; the flush that waits for it comes later.
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    out->fd = fd;
    out->slot = slot;
    memcpy(out->name, file_name, strlen(file_name) + 1);
    return 0;
}

// Flushes a written file to disk and renames it over its name. Returns 0,
// or -1 with errno (the temporary file is then gone, the old file kept).
int publish(const written_file& f)
{
    if (fdatasync(f.fd) != 0 || close(f.fd) != 0) {
        const int saved = errno;
        unlink(slots[f.slot].name);
        free_slot(f.slot);
        errno = saved;
        return -1;
    }
    const int renamed = rename(slots[f.slot].name, f.name);
    const int saved = errno;
    if (renamed != 0)
        unlink(slots[f.slot].name);
    free_slot(f.slot);
    errno = saved;
    return renamed;
}

// The files on their way to the disk, flushed by one thread in batches:
// while it waits for the disk, the next files are being made.
struct publish_queue {
    std::mutex lock;
    std::condition_variable changed;
    written_file files[max_queued];
    int count;      // files waiting
    int in_flight;  // files taken by the flusher, not yet done
    bool stopping;
    // Between two looks by the writer at most the files in flight and one
    // more can fail.
    wav_failure failures[2 * max_queued];
    int failure_count;
    pthread_t flusher;
    bool flusher_running;
};
publish_queue queue;

void flush_loop()
{
    std::unique_lock<std::mutex> hold(queue.lock);
    for (;;) {
        queue.changed.wait(hold, [] { return queue.count >= flush_batch || queue.stopping; });
        if (queue.count == 0)
            return;
        written_file batch[max_queued];
        const int n = queue.count;
        for (int i = 0; i < n; ++i)
            batch[i] = queue.files[i];
        queue.count = 0;
        queue.in_flight = n;
        hold.unlock();
        queue.changed.notify_all();

        wav_failure failed[max_queued];
        int failed_count = 0;
        for (int i = 0; i < n; ++i) {
            if (publish(batch[i]) != 0) {
                memcpy(failed[failed_count].name, batch[i].name, sizeof batch[i].name);
                failed[failed_count++].error = errno;
            }
        }

        hold.lock();
        for (int i = 0; i < failed_count; ++i) {
            if (queue.failure_count < 2 * max_queued)
                queue.failures[queue.failure_count++] = failed[i];
        }
        queue.in_flight = 0;
        queue.changed.notify_all();
    }
}

void* flush_thread(void*)
{
    flush_loop();
    return nullptr;
}

// Whether `name` is the temporary name of a file this program writes (a
// recording or the sampler configuration): "<stem>.tmp-<digits>-<digits>".
bool is_stale_temporary(const char* name)
{
    static const char* const kinds[] = {".wav", ".ini", ".txt", ".yaml"};
    const char* infix = strstr(name, temp_infix);
    if (infix == nullptr)
        return false;
    bool ours = false;
    for (const char* kind : kinds) {
        const size_t n = strlen(kind);
        ours = ours || (infix - name > static_cast<ptrdiff_t>(n) && strncmp(infix - n, kind, n) == 0);
    }
    const char* p = infix + strlen(temp_infix);
    for (int part = 0; part < 2; ++part) {
        const char* digits = p;
        while (*p >= '0' && *p <= '9')
            ++p;
        if (p == digits || (part == 0 && *p++ != '-'))
            return false;
    }
    return ours && *p == 0;
}

int folder_fd = -1;

static_assert(sizeof(wav_failure{}.name) == PATH_MAX);

void on_stop_signal(int sig)
{
    for (temp_slot& s : slots) {
        if (s.used.load() != 0)
            unlink(s.name);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

int wav_lock_folder()
{
    if (folder_fd < 0)
        folder_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd < 0)
        return -1;
    return flock(folder_fd, LOCK_EX | LOCK_NB);
}

int wav_remove_stale_temporaries()
{
    DIR* d = opendir(".");
    if (d == nullptr)
        return 0;
    int removed = 0;
    while (const dirent* e = readdir(d)) {
        struct stat st;
        if (is_stale_temporary(e->d_name) && fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && unlinkat(dirfd(d), e->d_name, 0) == 0)
            ++removed;
    }
    closedir(d);
    return removed;
}

void wav_clean_up_on_signals()
{
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

namespace {

// Checks a WAV file's arguments and fills its header. Returns 0, or -1 with
// errno EINVAL.
int wav_file_header(const char* file_name, const void* data, int data_size, int bits_per_sample, int channels,
                    int sampling_rate, uint8_t header[wav_header_size])
{
    if (file_name == nullptr || data_size < 0 || static_cast<uint32_t>(data_size) > wav_max_data_size ||
        (data == nullptr && data_size > 0)) {
        errno = EINVAL;
        return -1;
    }
    wav_build_header(header, static_cast<uint32_t>(data_size), bits_per_sample, channels, sampling_rate);
    return 0;
}

} // namespace

int write_wav_file(const char* file_name, const void* data, int data_size, int bits_per_sample,
                   int channels, int sampling_rate)
{
    uint8_t header[wav_header_size];
    if (wav_file_header(file_name, data, data_size, bits_per_sample, channels, sampling_rate, header) != 0)
        return -1;
    written_file f;
    if (write_temporary(file_name, header, sizeof header, data, static_cast<size_t>(data_size), &f) != 0)
        return -1;
    return publish(f);
}

int wav_queue_file(const char* file_name, const void* data, int data_size, int bits_per_sample,
                   int channels, int sampling_rate)
{
    uint8_t header[wav_header_size];
    if (wav_file_header(file_name, data, data_size, bits_per_sample, channels, sampling_rate, header) != 0)
        return -1;
    return wav_queue_bytes(file_name, header, sizeof header, data, static_cast<size_t>(data_size));
}

int wav_queue_bytes(const char* file_name, const void* head, size_t head_size, const void* body,
                    size_t body_size)
{
    // Wait for room first, so that the slots of the files in flight and of
    // this one never run out.
    std::unique_lock<std::mutex> hold(queue.lock);
    queue.changed.wait(hold, [] { return queue.count + queue.in_flight < max_queued; });
    hold.unlock();

    written_file f;
    if (write_temporary(file_name, head, head_size, body, body_size, &f) != 0)
        return -1;

    hold.lock();
    if (!queue.flusher_running) {
        queue.stopping = false;
        queue.flusher_running = pthread_create(&queue.flusher, nullptr, flush_thread, nullptr) == 0;
    }
    if (!queue.flusher_running) {
        hold.unlock();
        return publish(f);  // no thread to be had: flush here and now
    }
    queue.files[queue.count++] = f;
    hold.unlock();
    queue.changed.notify_all();
    return 0;
}

int wav_take_failures(wav_failure* out, int capacity)
{
    std::lock_guard<std::mutex> hold(queue.lock);
    const int n = queue.failure_count < capacity ? queue.failure_count : capacity;
    for (int i = 0; i < queue.failure_count; ++i) {
        if (i < n)
            out[i] = queue.failures[i];
        else
            queue.failures[i - n] = queue.failures[i];
    }
    queue.failure_count -= n;
    return n;
}

int wav_finish_queue()
{
    {
        std::lock_guard<std::mutex> hold(queue.lock);
        queue.stopping = true;
    }
    queue.changed.notify_all();
    if (queue.flusher_running) {
        pthread_join(queue.flusher, nullptr);
        queue.flusher_running = false;
    }
    // The renames themselves reach the disk with the folder.
    if (folder_fd >= 0 && fsync(folder_fd) != 0)
        return -1;
    return 0;
}
