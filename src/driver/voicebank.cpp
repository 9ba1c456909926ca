#include "driver/voicebank.h"

#include "bank/bank.h"
#include "driver/console.h"
#include "driver/recordings.h"
#include "driver/set_aside.h"
#include "folder/folder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Makes and queues the bank's files that are `last` or not, each where its
// scope puts it. Returns whether every one was queued.
bool queue_bank_files(morivox_run* run, const bank_run& bank, bool last)
{
    bool all = true;
    const auto one = [&](const bank_file& f, int set, int entry, const char* folder) {
        char name[run_name_room];
        const char* stem = entry >= 0 ? run->list->texts[entry].name : nullptr;
        if (!bank_file_wanted(f, bank, set, entry) || bank_file_name(f, folder, stem, name, sizeof name) != 0)
            return;
        say("generating...'%s'\n", name);
        bank_bytes made{};
        const int result = f.make(bank, set, entry, &made);
        if (result != bank_ok) {
            fprintf(stderr, "cannot make '%s': %s\n", name, bank_error_message(result));
            note_missing(run, name);
            all = false;
        } else if (folder_queue(name, made.bytes, made.size, nullptr, 0) != 0) {
            report_not_written(run, name, errno);
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
        for (int s = 0; s < bank.set_count; ++s) {
            if (f.scope == bank_per_set)
                one(f, s, -1, bank.sets[s].folder);
            for (int k = 0; f.scope == bank_per_recording && k < run->list->count; ++k)
                one(f, s, k, bank.sets[s].folder);
        }
    }
    return all;
}

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

// No prefix.map: says which file is missing for it.
void report_no_map(const morivox_run& run)
{
    if (run.missing_count == 0)
        fprintf(stderr, "no prefix.map: the folder could not be flushed\n");
    else if (run.missing_count == 1)
        fprintf(stderr, "no prefix.map: '%s' did not reach the disk\n", run.first_missing);
    else
        fprintf(stderr, "no prefix.map: '%s' and %d other file%s did not reach the disk\n", run.first_missing,
                run.missing_count - 1, run.missing_count == 2 ? "" : "s");
}

} // namespace

bool write_voicebank(morivox_run* run)
{
    const int set_count = run->set_count;
    bool any[note_list_max] = {}, any_set = false;
    for (int s = 0; s < set_count; ++s) {
        for (int k = 0; k < run->list->count; ++k) {
            char name[run_name_room];
            recording_name(*run, s, k, name);
            any[s] = any[s] || run->sent[s][k];
            run->kept[s][k] = !run->sent[s][k] && recording_at(name);
        }
        any_set = any_set || any[s];
    }
    if (!any_set) {
        fprintf(stderr, "no sampler file written: no recording reached the folder\n");
        return false;
    }
    if (set_aside_for_new_files(*run, any) != 0)
        return false;
    bank_set made_sets[note_list_max];
    uint8_t* old_oto[note_list_max] = {};
    for (int s = 0; s < set_count; ++s) {
        const pitch_set& set = run->sets[s];
        made_sets[s] = {run->list, set.folder, set.suffix, set.note, set.f0, run->times[s], run->sent[s], run->kept[s]};
        bool keeps = false;
        for (int k = 0; k < run->list->count; ++k)
            keeps = keeps || run->kept[s][k];
        if (const char* old = keeps ? set_aside_old_oto(set.folder) : nullptr) {
            old_oto[s] = read_small_file(old, &made_sets[s].old_oto_size);
            made_sets[s].old_oto = old_oto[s];
            if (old_oto[s] == nullptr)
                fprintf(stderr, "cannot read '%s' (%s): the recordings kept from it get no line in the new oto.ini\n",
                        old, errno != 0 ? strerror(errno) : "larger than 16 MiB");
        }
    }
    const run_settings& settings = run->settings;
    const bank_run bank = {morivox_version, run->voice->name, settings.name,  settings.speed,
                           settings.output_rate, settings.sinc_filter != 0, settings.pitch, made_sets,
                           set_count};
    bool all = queue_bank_files(run, bank, false);
    bool finished = finish_files(run);
    for (int s = 0; s < set_count; ++s)
        free(old_oto[s]);
    // What points into the subfolders only once everything else is there.
    if (set_count > 1) {
        bool complete = all && finished;
        for (int s = 0; s < set_count; ++s) {
            for (int k = 0; k < run->list->count; ++k)
                complete = complete && run->sent[s][k];
        }
        if (complete) {
            all = queue_bank_files(run, bank, true);
            finished = finish_files(run);
        } else {
            report_no_map(*run);
        }
    }
    // A backup that the new file repeats holds nothing to keep.
    drop_repeated_backups();
    return finished && all;
}
