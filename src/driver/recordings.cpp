#include "driver/recordings.h"

#include "driver/console.h"
#include "driver/set_aside.h"
#include "folder/folder.h"
#include "wav/wav.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr int file_bits_per_sample = 16;
constexpr int file_channels = 1;

// Reports the files that failed on their way to the disk since the last
// look, and forgets them as sent. Returns whether there were any.
bool report_late_failures(morivox_run* run)
{
    static folder_failure failed[8];
    bool any = false;
    for (int n; (n = folder_take_failures(failed, 8)) > 0;) {
        for (int i = 0; i < n; ++i) {
            report_not_written(run, failed[i].name, failed[i].error);
            int s = 0, k = 0;
            if (recording_of(*run, failed[i].name, &s, &k))
                run->sent[s][k] = false;
        }
        any = true;
    }
    return any;
}

} // namespace

void recording_name(const morivox_run& run, int set, int entry, char* out)
{
    snprintf(out, run_name_room, "%s%s.wav", run.sets[set].folder, run.list->texts[entry].name);
}

bool recording_of(const morivox_run& run, const char* name, int* set, int* entry)
{
    for (int s = 0; s < run.set_count; ++s) {
        const size_t folder = strlen(run.sets[s].folder);
        if (strncmp(name, run.sets[s].folder, folder) != 0)
            continue;
        const char* rest = name + folder;
        for (int k = 0; k < run.list->count; ++k) {
            const char* name_k = run.list->texts[k].name;
            const size_t stem = strlen(name_k);
            if (strncmp(rest, name_k, stem) == 0 && strcmp(rest + stem, ".wav") == 0) {
                *set = s;
                *entry = k;
                return true;
            }
        }
    }
    return false;
}

void note_missing(morivox_run* run, const char* name)
{
    if (run->missing_count++ == 0)
        snprintf(run->first_missing, sizeof run->first_missing, "%.*s", static_cast<int>(sizeof run->first_missing - 1),
                 name);
}

void report_not_written(morivox_run* run, const char* name, int error)
{
    fprintf(stderr, "cannot write '%s': %s\n", name, strerror(error));
    note_missing(run, name);
}

bool finish_files(morivox_run* run)
{
    const bool flushed = folder_finish_queue() == 0;
    if (!flushed)
        fprintf(stderr, "cannot flush the output folder: %s\n", strerror(errno));
    return !report_late_failures(run) && flushed;
}

bool recording_at(const char* name)
{
    struct stat st;
    return lstat(name, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
}

int write_recording(morivox_run* run, int s, int k, const made_recording& made, bool* not_written)
{
    if (made.code != synth_ok) {
        report_synth_error(made.code, made.failure);
        return -1;
    }
    char name[run_name_room];
    recording_name(*run, s, k, name);
    if (made.samples == nullptr) {
        fprintf(stderr, "out of memory converting '%s'\n", name);
        return -1;
    }
    for (int m = 0; m < made.mora_count; ++m) {
        oto_times& t = run->times[s][k][m];
        t = made.times[m];
        t.length = made.size_bytes / 2 * 1000.0 / run->settings.output_rate;
    }
    publishing p = {run, s, recording_at(name)};
    say("generating...'%s'\n", name);
    bool& sent = run->sent[s][k];
    sent = true;
    const int rate = run->settings.output_rate;
    int result;
    if (set_aside_due(p)) {
        // What goes aside first: this file now, the rest through the queue.
        result = write_wav_file_with(name, made.samples, made.size_bytes, file_bits_per_sample, file_channels, rate,
                                     set_aside_before_publishing, &p);
        if (result != 0 && set_aside_failed()) {
            sent = false;
            return -1;
        }
    } else {
        result = wav_queue_file(name, made.samples, made.size_bytes, file_bits_per_sample, file_channels, rate);
    }
    if (result != 0) {
        report_not_written(run, name, errno);
        sent = false;
        *not_written = true;
    }
    if (report_late_failures(run))
        *not_written = true;
    return 0;
}
