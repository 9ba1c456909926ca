#include "driver/sets.h"

#include "bank/bank.h"
#include "driver/layout.h"
#include "folder/folder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>

namespace {

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

// Removes what stopped runs left in `folder`; adds the files that could not
// be removed to *kept, and the reason for the first to *kept_error.
void remove_leftovers(const char* folder, int* kept, int* kept_error)
{
    int here = 0;
    folder_remove_leftovers(folder, is_output_name, &here);
    *kept_error = *kept == 0 && here > 0 ? errno : *kept_error;
    *kept += here;
}

// Several sets: the subfolders, checked all before any is made, each held
// under a lock of its own. Those there already are held first (`made`
// false): a run that finds one taken makes nothing. Then (`made` true) the
// missing ones are made and held, and what stopped runs left in each goes.
// Returns 0, or -1 (reported).
int prepare_subfolders(const morivox_run& run, bool made, int* kept, int* kept_error)
{
    char dirs[note_list_max][note_name_room + 1];
    for (int s = 0; s < run.set_count && run.set_count > 1; ++s) {
        snprintf(dirs[s], sizeof dirs[s], "%.*s", static_cast<int>(strlen(run.sets[s].folder)) - 1,
                 run.sets[s].folder);
        struct stat st;
        if (lstat(dirs[s], &st) == 0 && !S_ISDIR(st.st_mode)) {
            fprintf(stderr, "cannot make the folder '%s': something that is not a folder has that name\n", dirs[s]);
            return -1;
        }
    }
    for (int s = 0; s < run.set_count && run.set_count > 1; ++s) {
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
    for (int s = 0; s < run.set_count && run.set_count > 1 && made; ++s)
        remove_leftovers(dirs[s], kept, kept_error);
    return 0;
}

// A folder holds one bank: a run refuses one that holds this program's
// sets of another kind than it makes (a set at one pitch in the folder,
// subfolders of several), which the samplers would take beside the new
// ones. Returns 0, or -1 (reported) before anything is written.
int check_layout(const morivox_run& run)
{
    const layout_kind& made = layout_of(run.list->kind, run.set_count > 1);
    char found[512];
    const layout_kind* there = layout_conflict(made, found, sizeof found);
    if (there == nullptr)
        return 0;
    fprintf(stderr,
            "this folder holds %s (%s): %s made here would lie beside it, and the samplers would take both; make it "
            "in another folder, or remove %s first\n",
            there->what, found, made.what, there->remove);
    return -1;
}

} // namespace

void choose_sets(const note_list& notes, morivox_run* run)
{
    run->set_count = 0;
    if (run->settings.pitch == nullptr) {
        run->sets[run->set_count++] = {note_default, synth_steady_f0, "", ""};
        return;
    }
    for (int i = 0; i < notes.count; ++i) {
        pitch_set& s = run->sets[run->set_count++];
        s = {notes.notes[i], note_frequency(notes.notes[i]), "", ""};
        if (notes.count > 1) {
            snprintf(s.folder, sizeof s.folder, "%s/", notes.names[i]);
            snprintf(s.suffix, sizeof s.suffix, "_%s", notes.names[i]);
        }
    }
}

int hold_folder(const morivox_run& run)
{
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
    if (prepare_subfolders(run, false, &kept, &kept_error) != 0 || check_layout(run) != 0 ||
        prepare_subfolders(run, true, &kept, &kept_error) != 0)
        return -1;
    remove_leftovers(".", &kept, &kept_error);
    if (kept > 0)
        fprintf(stderr, "cannot remove %d temporary file%s of stopped runs: %s\n", kept, kept == 1 ? "" : "s",
                strerror(kept_error));
    return 0;
}

bool is_output_name(const char* name)
{
    for (const bank_list_kind kind : {bank_list_cv, bank_list_vcv}) {
        const bank_list& list = bank_list_of(kind);
        for (int k = 0; k < list.count; ++k) {
            const size_t stem = strlen(list.texts[k].name);
            if (strncmp(name, list.texts[k].name, stem) == 0 && strcmp(name + stem, ".wav") == 0)
                return true;
        }
    }
    return bank_is_file_name(name);
}
