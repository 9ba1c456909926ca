#include "driver/driver.h"

#include "bank/bank.h"
#include "driver/layout.h"
#include "notes/notes.h"
#include "pipeline/pipeline.h"
#include "bank/syllables.h"
#include "folder/folder.h"
#include "resample/resample.h"
#include "wav/wav.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int file_bits_per_sample = 16;
constexpr int file_channels = 1;

// Room for a file name: six Shift-JIS bytes become at most nine UTF-8 bytes.
constexpr size_t name_room = 64;

// Bytes of an unknown voice's name shown in its message.
constexpr size_t shown_name_bytes = 32;

// `text` for a message: printable ASCII as it is, every other byte (control
// characters that would drive the terminal, other encodings) and the
// backslash as \xNN, cut after shown_name_bytes bytes with "...".
void shown_text(const char* text, char* out, size_t size)
{
    size_t used = 0;
    out[0] = 0;
    for (size_t i = 0; text[i] != 0 && used + 8 < size; ++i) {
        if (i == shown_name_bytes) {
            memcpy(out + used, "...", 4);
            return;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        const int n = c >= 0x20 && c < 0x7f && c != '\\' ? snprintf(out + used, size - used, "%c", c)
                                                            : snprintf(out + used, size - used, "\\x%02x", c);
        used += static_cast<size_t>(n);
    }
}

// The word the output rate was read from, for a message that shows it as
// given rather than saturated.
const char* rate_word = nullptr;

// Reads `text` as "%d" would (leading white space, one sign, digits),
// saturating at the 32-bit limits. Leaves *value alone when no digit starts
// it; else `*read_from`, when given, becomes the text.
void read_decimal(const char* text, int* value, const char** read_from = nullptr)
{
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (end == text)
        return;
    *value = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    if (read_from != nullptr)
        *read_from = text;
}

// The number of the rate as written (sign and digits, as read), or the rate.
void shown_rate(int rate, char* out, size_t size)
{
    if (rate_word == nullptr) {
        snprintf(out, size, "%d", rate);
        return;
    }
    const char* from = rate_word;
    while (*from == ' ' || (*from >= '\t' && *from <= '\r'))
        ++from;
    char* end = nullptr;
    strtol(from, &end, 10);
    snprintf(out, size, "%.*s", static_cast<int>(end - from), from);
}

// A closed standard stream would let the next open() take its descriptor,
// and a progress line would then land in a syllable file. Point it at
// /dev/null instead and remember that it was closed.
bool reopen_if_closed(int fd)
{
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
        return false;
    int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) {
        dup2(null_fd, fd);
        close(null_fd);
    }
    return true;
}

// Why standard output failed first: a later write may only see the error flag.
int stdout_errno = 0;

// Prints to standard output and notes the reason of its first failure.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    errno = 0;
    vprintf(format, args);
    va_end(args);
    if (stdout_errno == 0 && ferror(stdout))
        stdout_errno = errno != 0 ? errno : EIO;
}

// The design's one line for a synthesizer failure, then what it means and,
// when the voice said more (`detail`, possibly empty), why.
void report_synth_error(int code, const char* detail)
{
    fprintf(stderr, "ERR:%d\n", code);
    if (const char* message = synth_error_message(code))
        fprintf(stderr, "%s%s%s\n", message, detail[0] ? ": " : "", detail);
}

// The first file of the run that did not reach the disk, and how many did not.
char first_missing[name_room + 16];
int missing_count = 0;

void note_missing(const char* name)
{
    if (missing_count++ == 0)
        snprintf(first_missing, sizeof first_missing, "%s", name);
}

void report_not_written(const char* name, int error)
{
    fprintf(stderr, "cannot write '%s': %s\n", name, strerror(error));
    note_missing(name);
}

// The sets of recordings the run makes: the table at one pitch in the
// folder, or at each of several in a subfolder named after the note.
struct pitch_set {
    int note;                         // MIDI number
    double f0;                        // Hz
    char folder[note_name_room + 1];  // "" or "A3/"
    char suffix[note_name_room + 1];  // the aliases': "" or "_A3"
};
pitch_set sets[note_list_max];
int set_count = 0;
static_assert(note_list_max <= pipeline_max_pitches, "every set in one pipeline");

// Which files of the run are on the disk under their names so far.
bool written[note_list_max][syllable_count];

// Reports the files that failed on their way to the disk since the last
// look, and forgets them as written. Returns whether there were any.
bool report_late_failures()
{
    static folder_failure failed[8];
    bool any = false;
    for (int n; (n = folder_take_failures(failed, 8)) > 0;) {
        for (int i = 0; i < n; ++i) {
            report_not_written(failed[i].name, failed[i].error);
            for (int s = 0; s < set_count; ++s) {
                const size_t folder = strlen(sets[s].folder);
                if (strncmp(failed[i].name, sets[s].folder, folder) != 0)
                    continue;
                const char* rest = failed[i].name + folder;
                for (int k = 0; k < syllable_count; ++k) {
                    const size_t stem = strlen(syllable_table[k].name);
                    if (strncmp(rest, syllable_table[k].name, stem) == 0 && strcmp(rest + stem, ".wav") == 0)
                        written[s][k] = false;
                }
            }
        }
        any = true;
    }
    return any;
}

// Waits for every file to reach the disk. Returns whether all of them did.
bool finish_files()
{
    const bool flushed = folder_finish_queue() == 0;
    if (!flushed)
        fprintf(stderr, "cannot flush the output folder: %s\n", strerror(errno));
    return !report_late_failures() && flushed;
}

// Whether `name` is a file this program writes: a recording or a sampler file.
bool is_output_name(const char* name)
{
    for (const syllable* s = syllable_table; s->sjis != nullptr; ++s) {
        const size_t stem = strlen(s->name);
        if (strncmp(name, s->name, stem) == 0 && strcmp(name + stem, ".wav") == 0)
            return true;
    }
    return bank_is_file_name(name);
}

// Where the bank's files went aside in this run, to drop a backup that the
// new file repeats.
struct aside_file {
    char name[name_room], moved[name_room + 16];
};
// Room for the bank's files and two per subfolder (its oto.ini and one more);
// a backup beyond that is only kept.
aside_file aside[16 + 2 * note_list_max];
int aside_count = 0;

// The bank's files that go aside together.
enum file_group {
    files_of_a_folder,  // all that describe a folder's recordings: every file but prefix.map
    files_of_a_set,     // what -oto writes beside a set's recordings in a subfolder
    files_of_the_bank,  // what -oto writes above the subfolders
    the_map,            // prefix.map, which points into the subfolders
};

bool in_group(const bank_file& f, file_group group)
{
    switch (group) {
    case files_of_a_folder:
        return !f.last;
    case files_of_a_set:
        return f.scope != bank_per_bank;
    case files_of_the_bank:
        return f.scope == bank_per_bank;
    case the_map:
        return f.last;
    }
    return false;
}

// `name` could not go aside: says why.
void report_not_aside(const char* name, int error)
{
    if (error == EEXIST)
        fprintf(stderr, "cannot move '%s' aside: its %d backups are all there ('%s.bak' to '%s.bak.%d'): remove those "
                        "no longer needed\n",
                name, folder_max_backups, name, name, folder_max_backups);
    else
        fprintf(stderr, "cannot move '%s' aside: %s\n", name, strerror(error));
}

// The bank's files describe the recordings: before the first of those is
// replaced, those in `folder` ("" or "A3/") of `group` go aside (a user
// may have tuned them); the frequency maps, which only repeat what their
// recordings hold, go with each recording (see remove_made_from_old).
// -oto writes them all anew once every recording is made. Returns 0, or -1
// (reported) when one cannot be moved: then no recording may be replaced.
// `before` says what follows, for the message.
int set_aside_sampler_files(const char* folder, file_group group, const char* before)
{
    for (int i = 0; i < bank_file_count; ++i) {
        const bank_file& f = bank_files[i];
        char name[name_room], moved[name_room + 16];
        if (!in_group(f, group) || f.scope == bank_per_recording || bank_file_name(f, folder, -1, name, sizeof name) != 0)
            continue;
        const int done = folder_set_aside(name, moved, sizeof moved);
        if (done < 0) {
            report_not_aside(name, errno);
            return -1;
        }
        if (done == 0)
            continue;
        fprintf(stderr, "moved '%s' aside to '%s' before %s\n", name, moved, before);
        if (aside_count < static_cast<int>(sizeof aside / sizeof aside[0])) {
            snprintf(aside[aside_count].name, sizeof aside[aside_count].name, "%s", name);
            snprintf(aside[aside_count].moved, sizeof aside[aside_count].moved, "%s", moved);
            ++aside_count;
        }
    }
    return 0;
}

// What samplers and resamplers made from the recordings replaced so far,
// removed with them: frequency maps, and caches.
std::atomic<int> maps_removed{0}, caches_removed{0};
// Per set: its folder holds caches named after a resampler's flags, which
// only a look at the folder finds (bank_is_flagged_cache).
bool flagged_caches[note_list_max];

// Removes `name` when it is a file or a link; counts it in *count.
void remove_counted(const char* name, std::atomic<int>* count)
{
    if (folder_remove(name) > 0)
        ++*count;
}

// Once a recording has reached its name (on the thread that renamed it,
// in one step with the rename: see folder_after_publish), what samplers
// and resamplers made from the recording it replaced goes: its frequency
// map and their caches. Files of other names stay.
void remove_made_from_old(const char* name)
{
    for (int s = 0; s < set_count; ++s) {
        const size_t folder = strlen(sets[s].folder);
        if (strncmp(name, sets[s].folder, folder) != 0)
            continue;
        const char* rest = name + folder;
        for (int k = 0; k < syllable_count; ++k) {
            const size_t stem = strlen(syllable_table[k].name);
            if (strncmp(rest, syllable_table[k].name, stem) != 0 || strcmp(rest + stem, ".wav") != 0)
                continue;
            char made[name_room + 32];
            for (int i = 0; i < bank_file_count; ++i) {
                if (bank_files[i].scope == bank_per_recording &&
                    bank_file_name(bank_files[i], sets[s].folder, k, made, sizeof made) == 0)
                    remove_counted(made, &maps_removed);
            }
            for (int i = 0; i < bank_cache_count; ++i) {
                if (bank_cache_name(i, sets[s].folder, k, made, sizeof made) == 0)
                    remove_counted(made, &caches_removed);
            }
            DIR* d = flagged_caches[s] ? opendir(folder > 0 ? sets[s].folder : ".") : nullptr;
            while (const dirent* e = d != nullptr ? readdir(d) : nullptr) {
                if (bank_is_flagged_cache(e->d_name, k) && snprintf(made, sizeof made, "%s%s", sets[s].folder,
                                                                     e->d_name) < static_cast<int>(sizeof made))
                    remove_counted(made, &caches_removed);
            }
            if (d != nullptr)
                closedir(d);
            return;
        }
    }
}

// Whether each set's folder holds caches named after a resampler's flags.
void look_for_flagged_caches()
{
    for (int s = 0; s < set_count; ++s) {
        DIR* d = opendir(sets[s].folder[0] ? sets[s].folder : ".");
        while (const dirent* e = d != nullptr && !flagged_caches[s] ? readdir(d) : nullptr) {
            for (int k = 0; k < syllable_count && !flagged_caches[s]; ++k)
                flagged_caches[s] = bank_is_flagged_cache(e->d_name, k);
        }
        if (d != nullptr)
            closedir(d);
    }
}

// One line for what went with the replaced recordings.
void report_removed_caches()
{
    const int maps = maps_removed.load(), caches = caches_removed.load();
    if (maps == 0 && caches == 0)
        return;
    char what[128] = "";
    if (maps > 0)
        snprintf(what, sizeof what, "%d frequency map%s", maps, maps == 1 ? "" : "s");
    if (caches > 0)
        snprintf(what + strlen(what), sizeof what - strlen(what), "%s%d resampler cache%s", maps > 0 ? " and " : "",
                 caches, caches == 1 ? "" : "s");
    fprintf(stderr, "removed %s made from the recordings replaced\n", what);
}

// Whether two files hold the same bytes.
bool same_bytes(const char* a, const char* b)
{
    FILE* fa = fopen(a, "rb");
    FILE* fb = fopen(b, "rb");
    bool same = fa != nullptr && fb != nullptr;
    while (same) {
        char x[4096], y[4096];
        const size_t n = fread(x, 1, sizeof x, fa), m = fread(y, 1, sizeof y, fb);
        same = n == m && memcmp(x, y, n) == 0;
        if (n == 0 || n < sizeof x)
            break;
    }
    if (fa)
        fclose(fa);
    if (fb)
        fclose(fb);
    return same;
}

// Makes and queues the bank's files that are `last` or not, each where its
// scope puts it. Returns whether every one was queued.
bool queue_bank_files(const bank_run& run, bool last)
{
    bool all = true;
    const auto one = [&](const bank_file& f, int set, int entry, const char* folder) {
        char name[name_room];
        if (!bank_file_wanted(f, run, set, entry) || bank_file_name(f, folder, entry, name, sizeof name) != 0)
            return;
        say("generating...'%s'\n", name);
        bank_bytes made{};
        const int result = f.make(run, set, entry, &made);
        if (result != bank_ok) {
            fprintf(stderr, "cannot make '%s': %s\n", name, bank_error_message(result));
            note_missing(name);
            all = false;
        } else if (folder_queue(name, made.bytes, made.size, nullptr, 0) != 0) {
            report_not_written(name, errno);
            all = false;
        }
        free(made.bytes);
    };
    for (int i = 0; i < bank_file_count; ++i) {
        const bank_file& f = bank_files[i];
        if (f.last != last)
            continue;
        if (f.scope == bank_per_bank) {
            one(f, 0, -1, "");
            continue;
        }
        for (int s = 0; s < run.set_count; ++s) {
            if (f.scope == bank_per_set)
                one(f, s, -1, run.sets[s].folder);
            for (int k = 0; f.scope == bank_per_recording && k < syllable_count; ++k)
                one(f, s, k, run.sets[s].folder);
        }
    }
    return all;
}

// The recordings not made again whose earlier file stays at its name.
bool kept_recording[note_list_max][syllable_count];

// The whole of file `name` (malloc, the caller frees it) when it is a
// readable file of at most 16 MiB, else null.
uint8_t* read_small_file(const char* name, size_t* size)
{
    *size = 0;
    errno = 0;
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0)
        return nullptr;
    const bool small = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= (off_t{16} << 20);
    const size_t length = small ? static_cast<size_t>(st.st_size) : 0;
    auto* bytes = small ? static_cast<uint8_t*>(malloc(length + 1)) : nullptr;
    size_t got = 0;
    for (ssize_t n = 1; bytes != nullptr && got < length && n > 0; got += n > 0 ? static_cast<size_t>(n) : 0)
        n = read(fd, bytes + got, length - got);
    close(fd);
    if (bytes != nullptr && got != length && errno == 0)
        errno = EIO;
    if (bytes == nullptr || got != length) {
        free(bytes);
        return nullptr;
    }
    *size = length;
    return bytes;
}

// Where the oto.ini of `folder` that described its earlier recordings is
// now: set aside in this run.
const char* old_oto_name(const char* folder)
{
    char name[name_room];
    snprintf(name, sizeof name, "%soto.ini", folder);
    for (int i = aside_count - 1; i >= 0; --i) {
        if (strcmp(aside[i].name, name) == 0)
            return aside[i].moved;
    }
    return nullptr;
}

// -oto: the files of the bank, made from the recordings on the disk, for
// the sets of which a recording was made now: a set of which none reached
// the disk keeps its files as they are, and a recording kept from the
// earlier set its oto.ini lines. Returns whether every file was written.
bool write_oto_files(const synth_voice& voice, const run_settings& settings, oto_times (*times)[syllable_count])
{
    bool any[note_list_max] = {}, any_set = false;
    for (int s = 0; s < set_count; ++s) {
        for (int k = 0; k < syllable_count; ++k) {
            char name[name_room];
            snprintf(name, sizeof name, "%s%s.wav", sets[s].folder, syllable_table[k].name);
            struct stat st;
            any[s] = any[s] || written[s][k];
            kept_recording[s][k] =
                !written[s][k] && lstat(name, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
        }
        any_set = any_set || any[s];
    }
    if (!any_set) {
        fprintf(stderr, "no sampler file written: no recording reached the folder\n");
        return false;
    }
    // Anything still at their names (the recordings were all new) is kept too.
    if (set_count == 1 && set_aside_sampler_files("", files_of_a_folder, "writing a new one") != 0)
        return false;
    for (int s = 0; s < set_count && set_count > 1; ++s) {
        if (any[s] && set_aside_sampler_files(sets[s].folder, files_of_a_set, "writing a new one") != 0)
            return false;
    }
    if (set_count > 1 && set_aside_sampler_files("", files_of_the_bank, "writing a new one") != 0)
        return false;
    bank_set made_sets[note_list_max];
    uint8_t* old_oto[note_list_max] = {};
    for (int s = 0; s < set_count; ++s) {
        made_sets[s] = {sets[s].folder, sets[s].suffix, sets[s].note, sets[s].f0, times[s], written[s],
                       kept_recording[s]};
        bool keeps = false;
        for (int k = 0; k < syllable_count; ++k)
            keeps = keeps || kept_recording[s][k];
        if (const char* old = keeps ? old_oto_name(sets[s].folder) : nullptr) {
            old_oto[s] = read_small_file(old, &made_sets[s].old_oto_size);
            made_sets[s].old_oto = old_oto[s];
            if (old_oto[s] == nullptr)
                fprintf(stderr, "cannot read '%s' (%s): the recordings kept from it get no line in the new oto.ini\n",
                        old, errno != 0 ? strerror(errno) : "larger than 16 MiB");
        }
    }
    const bank_run run = {morivox_version, voice.name,     settings.name, settings.speed, settings.output_rate,
                          settings.sinc_filter != 0, settings.pitch, made_sets, set_count};
    bool all = queue_bank_files(run, false);
    bool finished = finish_files();
    for (int s = 0; s < set_count; ++s)
        free(old_oto[s]);
    // What points into the subfolders only once everything else is there.
    if (set_count > 1) {
        bool complete = all && finished;
        for (int s = 0; s < set_count; ++s) {
            for (int k = 0; k < syllable_count; ++k)
                complete = complete && written[s][k];
        }
        if (complete) {
            all = queue_bank_files(run, true);
            finished = finish_files();
        } else if (missing_count == 0) {
            fprintf(stderr, "no prefix.map: the folder could not be flushed\n");
        } else if (missing_count == 1) {
            fprintf(stderr, "no prefix.map: '%s' did not reach the disk\n", first_missing);
        } else {
            fprintf(stderr, "no prefix.map: '%s' and %d other file%s did not reach the disk\n", first_missing,
                    missing_count - 1, missing_count == 2 ? "" : "s");
        }
    }
    // A backup that the new file repeats holds nothing to keep.
    for (int i = 0; i < aside_count; ++i) {
        if (same_bytes(aside[i].name, aside[i].moved) && folder_remove(aside[i].moved) > 0)
            fprintf(stderr, "removed '%s': the new '%s' is the same\n", aside[i].moved, aside[i].name);
    }
    return finished && all;
}

// Set once the files of each set's folder went aside; of the bank's files
// above the subfolders; of prefix.map.
bool set_files_aside[note_list_max];
bool bank_files_aside = false;
bool map_aside = false;
// Set when a file could not be moved aside: the run ends.
bool aside_failed = false;

// A recording about to take its name, as set_aside_before_publishing sees it.
struct publishing {
    int set;
    bool replaces;  // an earlier file is at its name
};

// Run once the recording is on the disk, just before its rename: what
// describes the recordings it replaces goes aside now, not before, so
// that a recording kept (one that could not be written) keeps them. With
// several sets, prefix.map goes aside before the run's first recording: it
// would point at a set half made. Returns 0, or -1 (reported) when a file
// cannot be moved aside.
int set_aside_before_publishing(void* context)
{
    const publishing& p = *static_cast<const publishing*>(context);
    const int s = p.set;
    if (set_count > 1 && !map_aside) {
        if (set_aside_sampler_files("", the_map, "writing the recordings it points at") != 0) {
            aside_failed = true;
            return -1;
        }
        map_aside = true;
    }
    if (!p.replaces || set_files_aside[s])
        return 0;
    if (set_count > 1 && !bank_files_aside) {
        if (set_aside_sampler_files("", files_of_the_bank, "replacing the recordings it describes") != 0) {
            aside_failed = true;
            return -1;
        }
        bank_files_aside = true;
    }
    if (set_aside_sampler_files(sets[s].folder, files_of_a_folder, "replacing the recordings it describes") != 0) {
        aside_failed = true;
        return -1;
    }
    // moresampler's one description of the folder's recordings.
    char name[name_room];
    snprintf(name, sizeof name, "%s%s", sets[s].folder, bank_folder_cache);
    remove_counted(name, &caches_removed);
    set_files_aside[s] = true;
    return 0;
}

// Writes one made entry of set `s`. Returns 0 when the run goes on
// (*not_written set when the file could not be written, which is
// reported), -1 when it must end.
int write_syllable(int s, const syllable& entry, const made_syllable& made, const run_settings& settings,
                   bool* not_written)
{
    if (made.code != synth_ok) {
        report_synth_error(made.code, made.failure);
        return -1;
    }
    char name[name_room];
    snprintf(name, sizeof name, "%s%s.wav", sets[s].folder, entry.name);
    if (made.samples == nullptr) {
        fprintf(stderr, "out of memory converting '%s'\n", name);
        return -1;
    }
    struct stat existing;
    publishing p = {s, lstat(name, &existing) == 0 && (S_ISREG(existing.st_mode) || S_ISLNK(existing.st_mode))};
    say("generating...'%s'\n", name);
    bool& done = written[s][&entry - syllable_table];
    done = true;
    int result;
    if ((set_count > 1 && !map_aside) || (p.replaces && !set_files_aside[s])) {
        // What goes aside first: this file now, the rest through the queue.
        aside_failed = false;
        result = write_wav_file_with(name, made.samples, made.size_bytes, file_bits_per_sample, file_channels,
                                     settings.output_rate, set_aside_before_publishing, &p);
        if (result != 0 && aside_failed) {
            done = false;
            return -1;
        }
    } else {
        result = wav_queue_file(name, made.samples, made.size_bytes, file_bits_per_sample, file_channels,
                                settings.output_rate);
    }
    if (result != 0) {
        report_not_written(name, errno);
        done = false;
        *not_written = true;
    }
    if (report_late_failures())
        *not_written = true;
    return 0;
}

// The notes of -pitch are refused: says why on standard error.
void report_bad_pitch(note_list_status status, const note_list& list, const char* text, const synth_voice& voice)
{
    // The item at fault, cut where shown_text cuts it.
    char item[shown_name_bytes + 2];
    const size_t length = list.bad_length < sizeof item - 1 ? list.bad_length : sizeof item - 1;
    memcpy(item, text + list.bad, length);
    item[length] = 0;
    char shown[shown_name_bytes * 4 + 8];
    shown_text(item, shown, sizeof shown);
    char lowest[note_name_room], highest[note_name_room];
    note_name(note_lowest, lowest, sizeof lowest);
    note_name(note_highest, highest, sizeof highest);
    switch (status) {
    case note_list_ok:
        break;
    case note_list_empty_item:
        shown_text(text, shown, sizeof shown);
        fprintf(stderr, "Pitch: '%s' has an empty item (give notes separated by commas, as A2,A3,E4)\n", shown);
        break;
    case note_list_not_a_note:
        fprintf(stderr, "Pitch: '%s' is not a note (a letter A to G, a sharp '#' or a flat 'b', the octave: A2, C#3, "
                        "Eb4)\n",
                shown);
        break;
    case note_list_out_of_range:
        fprintf(stderr, "Pitch: %s is out of range (%s to %s)\n", shown, lowest, highest);
        break;
    case note_list_repeated:
        if (strcmp(list.names[list.repeats], item) == 0)
            fprintf(stderr, "Pitch: %s is given twice\n", shown);
        else
            fprintf(stderr, "Pitch: %s is the same note as %s\n", shown, list.names[list.repeats]);
        break;
    case note_list_outside_voice: {
        // The voice's range as the notes it holds.
        int low = note_highest + 1, high = note_lowest - 1;
        for (int n = note_lowest; n <= note_highest; ++n) {
            const double f0 = note_frequency(n);
            if (f0 >= voice.lowest_f0 && f0 <= voice.highest_f0) {
                low = low <= note_highest ? low : n;
                high = n;
            }
        }
        if (low > high) {
            fprintf(stderr, "Pitch: %s is out of the range of the voice %s, which holds no note of %s to %s\n", shown,
                    voice.name, lowest, highest);
            break;
        }
        note_name(low, lowest, sizeof lowest);
        note_name(high, highest, sizeof highest);
        fprintf(stderr, "Pitch: %s is out of the range of the voice %s (%s to %s)\n", shown, voice.name, lowest,
                highest);
        break;
    }
    }
}

// -name: a name the voicebank's text can hold. Says why on standard error
// when it cannot. Returns 0 or -1.
int check_singer_name(const char* name)
{
    const int checked = bank_check_name(name);
    if (checked == bank_ok)
        return 0;
    char shown[shown_name_bytes * 4 + 8];
    shown_text(name, shown, sizeof shown);
    if (checked == bank_not_cp932)
        fprintf(stderr, "Name: '%s' holds a character other than ASCII and kana, which the voicebank's Shift-JIS text "
                        "does not take (give ASCII letters, digits, signs and kana)\n",
                shown);
    else
        fprintf(stderr, "Name: '%s' is empty, longer than %zu bytes, starts or ends with a space, or holds a control "
                        "character\n",
                shown, bank_name_max);
    return -1;
}

// The sets of the run from -pitch (already read into `notes`).
void choose_sets(const run_settings& settings, const note_list& notes)
{
    set_count = 0;
    if (settings.pitch == nullptr) {
        sets[set_count++] = {note_default, synth_steady_f0, "", ""};
        return;
    }
    for (int i = 0; i < notes.count; ++i) {
        pitch_set& s = sets[set_count++];
        s = {notes.notes[i], note_frequency(notes.notes[i]), "", ""};
        if (notes.count > 1) {
            snprintf(s.folder, sizeof s.folder, "%s/", notes.names[i]);
            snprintf(s.suffix, sizeof s.suffix, "_%s", notes.names[i]);
        }
    }
}

// A folder holds one bank: a run refuses one that holds this program's
// sets of another kind than it makes (a set at one pitch in the folder,
// subfolders of several), which the samplers would take beside the new
// ones. Returns 0, or -1 (reported) before anything is written.
int check_layout()
{
    const layout_kind& made = layout_of(set_count > 1 ? layout_pitch_folders : layout_one_pitch);
    char found[512];
    const layout_kind* there = layout_conflict(made.layout, found, sizeof found);
    if (there == nullptr)
        return 0;
    fprintf(stderr,
            "this folder holds %s (%s): %s made here would lie beside it, and the samplers would take both; make it "
            "in another folder, or remove %s first\n",
            there->what, found, made.what, there->remove);
    return -1;
}

// -h, --help: the options, their defaults and an example; --version: the
// program and its version. On standard output, nothing else done. Returns
// 0, or -1 when standard output could not take it.
int print_usage(const run_settings& settings, const synth_voice* const* voices, bool stdout_closed)
{
    if (!settings.help) {
        say("%s\n", morivox_version);
    } else {
        char known[256] = "";
        for (const synth_voice* const* v = voices; *v != nullptr; ++v)
            snprintf(known + strlen(known), sizeof known - strlen(known), "%s%s",
                     v == voices ? "" : v[1] == nullptr ? " or " : ", ", (*v)->name);
        say("Usage: morivox [-speed N] [-rate N] [-sinc] [-voice NAME] [-pitch NOTE[,NOTE...]] [-name NAME] [-oto]\n"
            "Makes %d Japanese syllable recordings (16-bit mono WAV) in the current folder;\n"
            "with -oto, a voicebank for UTAU and OpenUtau.\n"
            "  -speed N      speaking speed, %d to %d; 100 is natural timing (default %d)\n"
            "  -rate N       sampling rate in Hz, %d to %d (default %d)\n"
            "  -sinc         pass every file through the sinc filter (default off)\n"
            "  -voice NAME   %s (default %s)\n"
            "  -pitch NOTES  the steady pitch as a note, C2 to C5 (default A2, 110 Hz);\n"
            "                several, as A2,A3,E4, make a subfolder each\n"
            "  -name NAME    the singer's name in the voicebank, ASCII and kana\n"
            "                (default Morivox <voice>, with the notes of several pitches)\n"
            "  -oto          also write oto.ini, the frequency maps and the voicebank's files\n"
            "  -h, --help    this text; --version: the program's version\n"
            "Example: mkdir bank && cd bank && morivox -voice hts -pitch A2,A3,E4 -oto\n"
            "The manual: man morivox\n",
            syllable_count, synth_min_speed, synth_max_speed, default_settings.speed, resample_min_rate,
            resample_max_rate, default_settings.output_rate, known, voices[0]->name);
    }
    if (fflush(stdout) != 0 && stdout_errno == 0)
        stdout_errno = errno;
    if (stdout_closed || stdout_errno != 0 || ferror(stdout)) {
        const int reason = stdout_closed ? EBADF : stdout_errno != 0 ? stdout_errno : EIO;
        fprintf(stderr, "cannot write to standard output: %s\n", strerror(reason));
        return -1;
    }
    return 0;
}

// The lock of `dir` ("" for the folder, or a subfolder) could not be
// taken: says why on standard error.
void report_not_locked(const char* dir, const folder_lock_info& lock)
{
    const int error = errno;
    char path[note_name_room + sizeof folder_lock_name + 2], folder[note_name_room + 16] = "";
    snprintf(path, sizeof path, "%s%s%s", dir, dir[0] ? "/" : "", folder_lock_name);
    if (dir[0] != 0)
        snprintf(folder, sizeof folder, " '%s'", dir);
    char owner[sizeof lock.owner + 4] = "";
    if (lock.owner[0] != 0)
        snprintf(owner, sizeof owner, " (%s)", lock.owner);
    if (error == EWOULDBLOCK) {
        fprintf(stderr, "another run is writing into %s%s%s\n", dir[0] ? "the folder" : "this folder", folder, owner);
        if (!lock.owner_seen)
            fprintf(stderr, "if no run is writing there (one may have stopped on another machine, or before a "
                            "restart), remove %s\n",
                    path);
    } else if (lock.foreign != nullptr) {
        fprintf(stderr, "cannot lock the folder%s: %s is %s, not a lock file: move it away or remove it\n", folder,
                path, lock.foreign);
    } else if (lock.stale) {
        fprintf(stderr, "cannot lock the folder%s: %s was left by a run that is gone%s, and this user may not "
                        "replace it (%s): its owner or root may remove it\n",
                folder, path, owner, strerror(error));
    } else {
        fprintf(stderr, "cannot lock the folder%s: %s: %s\n", folder, path, strerror(error));
        if (lock.unreadable)
            fprintf(stderr, "%s is another user's: if no run is writing there, remove it\n", path);
    }
}

// Several sets: the subfolders, checked all before any is made, each held
// under a lock of its own. Those there already are held first (`made`
// false): a run that finds one taken makes nothing. Then (`made` true) the
// missing ones are made and held, and what stopped runs left in each goes.
// Returns 0, or -1 (reported).
int prepare_subfolders(bool made, int* kept, int* kept_error)
{
    char dirs[note_list_max][note_name_room + 1];
    for (int s = 0; s < set_count && set_count > 1; ++s) {
        snprintf(dirs[s], sizeof dirs[s], "%.*s", static_cast<int>(strlen(sets[s].folder)) - 1, sets[s].folder);
        struct stat st;
        if (lstat(dirs[s], &st) == 0 && !S_ISDIR(st.st_mode)) {
            fprintf(stderr, "cannot make the folder '%s': something that is not a folder has that name\n", dirs[s]);
            return -1;
        }
    }
    for (int s = 0; s < set_count && set_count > 1; ++s) {
        struct stat st;
        if (!made && lstat(dirs[s], &st) != 0)
            continue;
        if (made && folder_use_subfolder(dirs[s]) != 0) {
            fprintf(stderr, "cannot make the folder '%s': %s\n", dirs[s],
                    errno == ENOTDIR ? "something that is not a folder has that name" : strerror(errno));
            return -1;
        }
        folder_lock_info lock;
        if (folder_lock_subfolder(dirs[s], &lock) != 0) {
            report_not_locked(dirs[s], lock);
            return -1;
        }
    }
    for (int s = 0; s < set_count && set_count > 1 && made; ++s) {
        int here = 0;
        folder_remove_leftovers(dirs[s], is_output_name, &here);
        *kept_error = *kept == 0 && here > 0 ? errno : *kept_error;
        *kept += here;
    }
    return 0;
}

} // namespace

void parse_command_line(int argc, const char* const* argv, run_settings* settings)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "-sinc") == 0) {
            settings->sinc_filter = 1;
        } else if (strcmp(arg, "-oto") == 0) {
            settings->oto = 1;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            settings->help = 1;
        } else if (strcmp(arg, "--version") == 0) {
            settings->version = 1;
        } else if (strcmp(arg, "-voice") == 0 || strcmp(arg, "-pitch") == 0 || strcmp(arg, "-name") == 0) {
            if (i + 1 >= argc)
                break;
            (arg[1] == 'v' ? settings->voice : arg[1] == 'p' ? settings->pitch : settings->name) = argv[++i];
        } else if (strcmp(arg, "-speed") == 0 || strcmp(arg, "-rate") == 0) {
            if (i + 1 >= argc)
                break;
            int* target = arg[1] == 's' ? &settings->speed : &settings->output_rate;
            read_decimal(argv[++i], target, arg[1] == 'r' ? &rate_word : nullptr);
        }
    }
}

int run_morivox(int argc, const char* const* argv, const synth_voice* const* voices)
{
    reopen_if_closed(STDIN_FILENO);
    const bool stdout_closed = reopen_if_closed(STDOUT_FILENO);
    reopen_if_closed(STDERR_FILENO);
    // A file size limit must fail the write (EFBIG), and a reader that went
    // away the console output (EPIPE), instead of killing the run half-way:
    // both are reported and the remaining files still get written.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    // Each line out before the next step, also into a file or a pipe, so
    // that a log shows the messages in their order and how far a run got.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    run_settings settings = default_settings;
    rate_word = nullptr;
    parse_command_line(argc, argv, &settings);
    if (settings.help || settings.version)
        return print_usage(settings, voices, stdout_closed);
    if (settings.output_rate < resample_min_rate || settings.output_rate > resample_max_rate) {
        char shown[64];
        shown_rate(settings.output_rate, shown, sizeof shown);
        fprintf(stderr, "SamplingRate: %s is out of range (%d to %d)\n", shown, resample_min_rate, resample_max_rate);
        return -1;
    }
    if (settings.oto && settings.output_rate < oto_lowest_rate) {
        fprintf(stderr, "SamplingRate: %d is too low for -oto (%d to %d): the recordings would not hold their oto.ini "
                        "lines\n",
                settings.output_rate, oto_lowest_rate, resample_max_rate);
        return -1;
    }

    const synth_voice* chosen = settings.voice ? synth_find_voice(voices, settings.voice) : voices[0];
    if (chosen == nullptr) {
        char known[256] = "";
        for (const synth_voice* const* v = voices; *v != nullptr; ++v)
            snprintf(known + strlen(known), sizeof known - strlen(known), "%s%s", v == voices ? "" : ", ",
                     (*v)->name);
        char shown[shown_name_bytes * 4 + 8];
        shown_text(settings.voice, shown, sizeof shown);
        fprintf(stderr, "unknown voice '%s' (known: %s)\n", shown, known);
        return -1;
    }
    static note_list notes;
    if (settings.pitch != nullptr) {
        const note_list_status read = note_list_parse(settings.pitch, chosen->lowest_f0, chosen->highest_f0, &notes);
        if (read != note_list_ok) {
            report_bad_pitch(read, notes, settings.pitch, *chosen);
            return -1;
        }
    }
    if (settings.name != nullptr && check_singer_name(settings.name) != 0)
        return -1;
    choose_sets(settings, notes);
    // The timings of one set lie here; of several, on the heap (the program
    // must still start in little memory).
    static oto_times one_set[1][syllable_count];
    static oto_times(*times)[syllable_count] = one_set;
    if (set_count > 1 && (times = static_cast<oto_times(*)[syllable_count]>(
                              calloc(static_cast<size_t>(set_count), sizeof *times))) == nullptr) {
        fprintf(stderr, "out of memory\n");
        return -1;
    }

    // From here a stop removes what the run leaves unfinished.
    folder_clean_up_on_signals();
    // One run at a time in a folder; the lock goes with the process.
    folder_lock_info lock;
    if (folder_lock(&lock) != 0) {
        report_not_locked("", lock);
        return -1;
    }
    if (lock.kernel_lock_error != 0)
        fprintf(stderr, "no file lock on %s (%s): only runs on this machine can see the folder is taken\n",
                folder_lock_name, strerror(lock.kernel_lock_error));
    // Another run's set is not looked at while it may be half made.
    int kept = 0, kept_error = 0;
    if (prepare_subfolders(false, &kept, &kept_error) != 0 || check_layout() != 0 ||
        prepare_subfolders(true, &kept, &kept_error) != 0)
        return -1;
    int here = 0;
    folder_remove_leftovers(".", is_output_name, &here);
    kept_error = kept == 0 && here > 0 ? errno : kept_error;
    kept += here;
    look_for_flagged_caches();
    folder_after_publish(remove_made_from_old);
    if (kept > 0)
        fprintf(stderr, "cannot remove %d temporary file%s of stopped runs: %s\n", kept, kept == 1 ? "" : "s",
                strerror(kept_error));

    say("%s\n", morivox_version);
    say("Speed: %d\n", settings.speed);
    say("SamplingRate: %d\n", settings.output_rate);
    say("Sinc Filter: ");
    say("%s", settings.sinc_filter ? "On\n" : "Off\n");
    if (settings.voice != nullptr)
        say("Voice: %s\n", chosen->name);
    if (settings.pitch != nullptr)
        say("Pitch: %s\n", settings.pitch);
    if (settings.name != nullptr)
        say("Name: %s\n", settings.name);
    if (settings.oto)
        say("Oto: On\n");
    char warning[256];
    if (settings.oto && bank_rate_warning(settings.output_rate, warning, sizeof warning) > 0)
        fputs(warning, stderr);

    const synth_voice& voice = *chosen;
    pipeline* making = nullptr;
    char failure[512];
    static double f0s[note_list_max];
    for (int s = 0; s < set_count; ++s)
        f0s[s] = sets[s].f0;
    const pipeline_settings made_as = {settings.speed, settings.output_rate, settings.sinc_filter != 0, settings.oto != 0};
    const synth_error opened = pipeline_start(voice, made_as, f0s, set_count, &making, failure, sizeof failure);
    if (opened != synth_ok) {
        report_synth_error(opened, failure);
        fflush(stdout);
        return -1;
    }
    bool not_written = false;
    for (int s = 0; s < set_count; ++s) {
        for (const syllable* entry = syllable_table; entry->sjis != nullptr; ++entry) {
            made_syllable made;
            pipeline_next(making, &made);
            const int went_on = write_syllable(s, *entry, made, settings, &not_written);
            oto_times& t = times[s][entry - syllable_table];
            t = made.times;
            t.length = made.size_bytes / 2 * 1000.0 / settings.output_rate;
            free(made.samples);
            if (went_on != 0) {
                pipeline_stop(making);
                finish_files();
                report_removed_caches();
                fflush(stdout);
                return -1;
            }
        }
    }
    pipeline_stop(making);
    if (!finish_files())
        not_written = true;
    report_removed_caches();
    if (settings.oto && !write_oto_files(voice, settings, times))
        not_written = true;
    say("done.\n");

    // Everything printed must have arrived: a full disk or a closed
    // descriptor behind standard output is a failed run, not a success.
    if (fflush(stdout) != 0 && stdout_errno == 0)
        stdout_errno = errno;
    if (stdout_closed || stdout_errno != 0 || ferror(stdout)) {
        const int reason = stdout_closed ? EBADF : stdout_errno != 0 ? stdout_errno : EIO;
        fprintf(stderr, "cannot write to standard output: %s\n", strerror(reason));
        return -1;
    }
    return not_written ? -1 : 0;
}
