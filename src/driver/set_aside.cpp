#include "driver/set_aside.h"

#include "bank/bank.h"
#include "folder/folder.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>

namespace {

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

// Where a file went aside in this run, to drop a backup that the new file
// repeats.
struct aside_file {
    char name[run_name_room], moved[run_name_room + 16];
};

// Everything the set-aside of one run remembers; the only copy.
struct aside_state {
    const morivox_run* run;
    // Room for the bank's files and two per subfolder (its oto.ini and one
    // more); a backup beyond that is only kept.
    aside_file files[16 + 2 * note_list_max];
    int count;
    // What went aside already: each set's folder's files; the bank's files
    // above the subfolders; prefix.map. And whether the last try failed.
    bool set_done[note_list_max];
    bool bank_done, map_done, failed;
    // Per set: its folder holds caches named after a resampler's flags,
    // which only a look at the folder finds (bank_is_flagged_cache).
    bool flagged_caches[note_list_max];
    // What went with the recordings replaced so far, on the thread that
    // renamed each.
    std::atomic<int> maps_removed, caches_removed;
};
aside_state state;

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

// The files of `group` in `folder` ("" or "A3/"), but for the ones per
// recording, go aside (a user may have tuned them). Returns 0, or -1
// (reported) when one cannot be moved. `before` says what follows, for the
// message.
int set_aside_group(const char* folder, file_group group, const char* before)
{
    for (int i = 0; i < bank_file_count; ++i) {
        const bank_file& f = bank_files[i];
        char name[run_name_room], moved[run_name_room + 16];
        if (!in_group(f, group) || f.scope == bank_per_recording || !bank_file_of(f, state.run->list->kind) ||
            bank_file_name(f, folder, nullptr, name, sizeof name) != 0)
            continue;
        const int done = folder_set_aside(name, moved, sizeof moved);
        if (done < 0) {
            report_not_aside(name, errno);
            return -1;
        }
        if (done == 0)
            continue;
        fprintf(stderr, "moved '%s' aside to '%s' before %s\n", name, moved, before);
        if (state.count < static_cast<int>(sizeof state.files / sizeof state.files[0])) {
            snprintf(state.files[state.count].name, sizeof state.files[state.count].name, "%s", name);
            snprintf(state.files[state.count].moved, sizeof state.files[state.count].moved, "%s", moved);
            ++state.count;
        }
    }
    return 0;
}

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
    int s = 0, k = 0;
    if (!recording_of(*state.run, name, &s, &k))
        return;
    const char* folder = state.run->sets[s].folder;
    const char* stem = state.run->list->texts[k].name;
    char made[run_name_room + 32];
    for (int i = 0; i < bank_file_count; ++i) {
        if (bank_files[i].scope == bank_per_recording &&
            bank_file_name(bank_files[i], folder, stem, made, sizeof made) == 0)
            remove_counted(made, &state.maps_removed);
    }
    for (int i = 0; i < bank_cache_count; ++i) {
        if (bank_cache_name(i, folder, stem, made, sizeof made) == 0)
            remove_counted(made, &state.caches_removed);
    }
    DIR* d = state.flagged_caches[s] ? opendir(folder[0] ? folder : ".") : nullptr;
    while (const dirent* e = d != nullptr ? readdir(d) : nullptr) {
        if (bank_is_flagged_cache(e->d_name, stem) &&
            snprintf(made, sizeof made, "%s%s", folder, e->d_name) < static_cast<int>(sizeof made))
            remove_counted(made, &state.caches_removed);
    }
    if (d != nullptr)
        closedir(d);
}

// Whether each set's folder holds caches named after a resampler's flags.
void look_for_flagged_caches(const morivox_run& run)
{
    for (int s = 0; s < run.set_count; ++s) {
        DIR* d = opendir(run.sets[s].folder[0] ? run.sets[s].folder : ".");
        while (const dirent* e = d != nullptr && !state.flagged_caches[s] ? readdir(d) : nullptr) {
            for (int k = 0; k < run.list->count && !state.flagged_caches[s]; ++k)
                state.flagged_caches[s] = bank_is_flagged_cache(e->d_name, run.list->texts[k].name);
        }
        if (d != nullptr)
            closedir(d);
    }
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

} // namespace

void set_aside_start(const morivox_run& run)
{
    state.run = &run;
    look_for_flagged_caches(run);
    folder_after_publish(remove_made_from_old);
}

bool set_aside_due(const publishing& p)
{
    return (p.run->set_count > 1 && !state.map_done) || (p.replaces && !state.set_done[p.set]);
}

int set_aside_before_publishing(void* context)
{
    const publishing& p = *static_cast<const publishing*>(context);
    const morivox_run& run = *p.run;
    const int s = p.set;
    state.failed = true;
    // prefix.map would point at a set half made.
    if (run.set_count > 1 && !state.map_done) {
        if (set_aside_group("", the_map, "writing the recordings it points at") != 0)
            return -1;
        state.map_done = true;
    }
    if (p.replaces && !state.set_done[s]) {
        if (run.set_count > 1 && !state.bank_done) {
            if (set_aside_group("", files_of_the_bank, "replacing the recordings it describes") != 0)
                return -1;
            state.bank_done = true;
        }
        if (set_aside_group(run.sets[s].folder, files_of_a_folder, "replacing the recordings it describes") != 0)
            return -1;
        // moresampler's one description of the folder's recordings.
        char name[run_name_room];
        snprintf(name, sizeof name, "%s%s", run.sets[s].folder, bank_folder_cache);
        remove_counted(name, &state.caches_removed);
        state.set_done[s] = true;
    }
    state.failed = false;
    return 0;
}

bool set_aside_failed()
{
    return state.failed;
}

int set_aside_for_new_files(const morivox_run& run, const bool* made)
{
    // Anything still at their names (the recordings were all new) is kept too.
    if (run.set_count == 1)
        return set_aside_group("", files_of_a_folder, "writing a new one");
    for (int s = 0; s < run.set_count; ++s) {
        if (made[s] && set_aside_group(run.sets[s].folder, files_of_a_set, "writing a new one") != 0)
            return -1;
    }
    return set_aside_group("", files_of_the_bank, "writing a new one");
}

const char* set_aside_old_oto(const char* folder)
{
    char name[run_name_room];
    snprintf(name, sizeof name, "%soto.ini", folder);
    for (int i = state.count - 1; i >= 0; --i) {
        if (strcmp(state.files[i].name, name) == 0)
            return state.files[i].moved;
    }
    return nullptr;
}

void report_removed_with_recordings()
{
    const int maps = state.maps_removed.load(), caches = state.caches_removed.load();
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

void drop_repeated_backups()
{
    for (int i = 0; i < state.count; ++i) {
        if (same_bytes(state.files[i].name, state.files[i].moved) && folder_remove(state.files[i].moved) > 0)
            fprintf(stderr, "removed '%s': the new '%s' is the same\n", state.files[i].moved, state.files[i].name);
    }
}
