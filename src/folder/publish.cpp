// Publishing a file: it goes to a temporary file beside its name, reaches
// the disk, and only then is renamed over the name; now, or through the
// flusher thread's queue. The temporary files in progress and the count of
// files published are kept here, where a stop's handler finds them.

#include "folder/folder.h"

#include "folder/internal.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Temporary names (folder_temp_name) are in the target's folder, so that
// the rename stays on one file system and is atomic.
constexpr int temp_name_tries = 1000;

constexpr int max_queued = folder_max_queued;

// Files flushed together. Each flush commits the file system's journal,
// and a commit holds up the creation of the next files, so the flushes go
// in small batches: the first flush of a batch commits them all, the
// others find nothing left to do; and small ones keep the disk busy from
// the start, so that little is left to wait for at the end. (Measured on
// a default run: batches of 4 cost 1.03 to 1.11 times a run without
// flushes, of 16 up to 1.14, of 48 1.19.)
constexpr int flush_batch = 4;

// Every temporary file that exists right now has a slot, so that a signal
// handler can remove them: the queued ones and the one being written.
constexpr int slot_count = max_queued + 1;
struct temp_slot {
    std::atomic<int> used;
    char name[folder_name_room];
};
temp_slot slots[slot_count];
static_assert(std::atomic<int>::is_always_lock_free, "read by a signal handler");

// Files that reached their names, for the handler's line.
std::atomic<int> published{0};

int take_slot(const char* temp_name)
{
    for (int i = 0; i < slot_count; ++i) {
        if (slots[i].used.load() == 0) {
            memcpy(slots[i].name, temp_name, strlen(temp_name) + 1);
            slots[i].used.store(1);
            return i;
        }
    }
    return -1;  // cannot happen: one thread writes, and waits while max_queued are in flight
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

// A file written to its temporary name (slots[slot].name), waiting to be
// flushed and renamed. No descriptor stays open for it: with many files in
// flight a low descriptor limit would run out.
struct written_file {
    int slot;
    char name[folder_name_room];
};

// Removes a temporary file and frees its slot; errno stays as it was.
void discard(int slot)
{
    const int saved = errno;
    unlink(slots[slot].name);
    free_slot(slot);
    errno = saved;
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

    // A name left by an earlier process is never reused.
    static unsigned counter = 0;
    char temp[folder_name_room];
    int fd = -1;
    int slot = -1;
    for (int tries = 0; fd < 0 && tries < temp_name_tries; ++tries) {
        if (!folder_temp_name(file_name, counter++, temp, sizeof temp)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        sigset_t was;
        folder_begin_change(&was);
        // The slot first: the handler finds the file through it.
        slot = take_slot(temp);
        // 0666 before the umask, as fopen would create it.
        fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0)
            free_slot(slot);
        folder_end_change(&was);
        if (fd < 0 && errno != EEXIST)
            return -1;
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
    // Start the write-back now; the flush that waits for it comes later,
    // through a descriptor opened again then. A write-back error nobody
    // has seen is reported to every descriptor opened after it.
    if (!failed)
        sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    int error = failed ? errno : 0;
    if (close(fd) != 0 && !failed) {
        failed = 1;  // a network file system reports its writes here
        error = errno;
    }
    if (failed) {
        discard(slot);
        errno = error;
        return -1;
    }
    out->slot = slot;
    memcpy(out->name, file_name, strlen(file_name) + 1);
    return 0;
}

// See folder_after_publish.
std::atomic<void (*)(const char*)> after_publish{nullptr};

// Flushes a written file to the disk. Returns 0, or -1 with errno (the
// temporary file is then gone).
int flush_temporary(const written_file& f)
{
    const int fd = open(slots[f.slot].name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || fdatasync(fd) != 0 || close(fd) != 0) {
        discard(f.slot);
        return -1;
    }
    return 0;
}

// Renames a flushed file over its name, after `before_rename` (if any).
// Returns 0, or -1 with errno (the temporary file is then gone, the old
// file kept).
int rename_flushed(const written_file& f, int (*before_rename)(void*) = nullptr, void* context = nullptr)
{
    if (before_rename != nullptr && before_rename(context) != 0) {
        discard(f.slot);
        return -1;
    }
    const char* temp = slots[f.slot].name;
    sigset_t was;
    folder_begin_change(&was);
    const int renamed = rename(temp, f.name);
    const int saved = errno;
    if (renamed != 0) {
        unlink(temp);
    } else {
        published.fetch_add(1);
        if (void (*hook)(const char*) = after_publish.load())
            hook(f.name);
    }
    free_slot(f.slot);
    folder_end_change(&was);
    errno = saved;
    return renamed;
}

// Flushes a written file to disk, runs `before_rename` (if any) and renames
// the file over its name. Returns 0, or -1 with errno (the temporary file
// is then gone, the old file kept).
int publish(const written_file& f, int (*before_rename)(void*) = nullptr, void* context = nullptr)
{
    if (flush_temporary(f) != 0)
        return -1;
    return rename_flushed(f, before_rename, context);
}

// The flushes of a batch run side by side on this many threads, the
// flusher's among them: a disk serves several at once in little more
// than the time of one, where one after another each waits for the last.
constexpr int flush_threads = 4;

// The threads that flush a batch with the flusher, each taking the next
// file not yet taken.
struct flush_crew {
    std::mutex lock;
    std::condition_variable start;     // a new batch, or the end
    std::condition_variable finished;  // a helper is done with the batch
    // The batch, set under the lock while no helper is at work.
    const written_file* files;
    int count;
    std::atomic<int> next;  // the next file to take
    int errors[max_queued];  // each file's: 0 when flushed, else errno
    int working;             // helpers at work on the batch (under the lock)
    unsigned batch;          // counts the batches (under the lock)
    bool ending;
    pthread_t helpers[flush_threads - 1];
    int helper_count;
};
flush_crew crew;

// Takes and flushes the batch's files until none is left.
void flush_taken(const written_file* files, int count)
{
    for (int i; (i = crew.next.fetch_add(1)) < count;)
        crew.errors[i] = flush_temporary(files[i]) == 0 ? 0 : errno;
}

void* crew_helper(void*)
{
    std::unique_lock<std::mutex> hold(crew.lock);
    unsigned seen = crew.batch;
    for (;;) {
        crew.start.wait(hold, [&] { return crew.ending || crew.batch != seen; });
        if (crew.ending)
            return nullptr;
        seen = crew.batch;
        const written_file* files = crew.files;
        const int count = crew.count;
        ++crew.working;
        hold.unlock();
        flush_taken(files, count);
        hold.lock();
        --crew.working;
        crew.finished.notify_all();
    }
}

// Starts the helpers; those that cannot be had are done without.
void start_crew()
{
    crew.ending = false;
    crew.helper_count = 0;
    for (int i = 0; i < flush_threads - 1; ++i) {
        if (pthread_create(&crew.helpers[i], nullptr, crew_helper, nullptr) != 0)
            break;
        crew.helper_count = i + 1;
    }
}

void end_crew()
{
    {
        std::lock_guard<std::mutex> hold(crew.lock);
        crew.ending = true;
    }
    crew.start.notify_all();
    for (int i = 0; i < crew.helper_count; ++i)
        pthread_join(crew.helpers[i], nullptr);
    crew.helper_count = 0;
}

// Flushes files[0..count-1] side by side; crew.errors[i] then says how
// file i went (a file that failed is gone).
void flush_batch_together(const written_file* files, int count)
{
    std::unique_lock<std::mutex> hold(crew.lock);
    // A helper still at work on the last batch has nothing left to take.
    crew.finished.wait(hold, [] { return crew.working == 0; });
    crew.files = files;
    crew.count = count;
    crew.next.store(0);
    ++crew.batch;
    hold.unlock();
    crew.start.notify_all();
    flush_taken(files, count);
    // Every file is taken; a helper holds `working` up while it flushes one.
    hold.lock();
    crew.finished.wait(hold, [] { return crew.working == 0; });
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
    folder_failure failures[2 * max_queued];
    int failure_count;
    pthread_t flusher;
    bool flusher_running;
};
publish_queue queue;

static_assert(sizeof(folder_failure{}.name) == sizeof(written_file{}.name));

void flush_loop()
{
    start_crew();
    std::unique_lock<std::mutex> hold(queue.lock);
    for (;;) {
        queue.changed.wait(hold, [] { return queue.count >= flush_batch || queue.stopping; });
        if (queue.count == 0)
            break;
        static written_file batch[max_queued];
        const int n = queue.count;
        for (int i = 0; i < n; ++i)
            batch[i] = queue.files[i];
        queue.count = 0;
        queue.in_flight = n;
        hold.unlock();
        queue.changed.notify_all();

        // Every file on the disk, then each takes its name, in order.
        flush_batch_together(batch, n);
        static folder_failure failed[max_queued];
        int failed_count = 0;
        for (int i = 0; i < n; ++i) {
            errno = crew.errors[i];
            if (errno != 0 || rename_flushed(batch[i]) != 0) {
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
    hold.unlock();
    end_crew();
}

void* flush_thread(void*)
{
    flush_loop();
    return nullptr;
}

} // namespace

void folder_remove_temporaries_now()
{
    for (temp_slot& s : slots) {
        if (s.used.load() != 0)
            unlink(s.name);
    }
}

int folder_published()
{
    return published.load();
}

int folder_write_with(const char* file_name, const void* head, size_t head_size, const void* body,
                      size_t body_size, int (*before_rename)(void* context), void* context)
{
    written_file f;
    if (write_temporary(file_name, head, head_size, body, body_size, &f) != 0)
        return -1;
    return publish(f, before_rename, context);
}

void folder_after_publish(void (*hook)(const char* name))
{
    after_publish.store(hook);
}

int folder_queue(const char* file_name, const void* head, size_t head_size, const void* body,
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

int folder_take_failures(folder_failure* out, int capacity)
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

int folder_finish_queue()
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
    return folder_flush();
}
