// The kinds of set a bank of this program may hold, and how each is found.

#include "driver/layout.h"

#include "driver/recordings.h"

#include "notes/notes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// How many of the list's recordings `dir` ("" or "A3/") holds, and the
// first of them in the list's order into *first.
int count_recordings(const bank_list& list, const char* dir, const bank_text** first)
{
    int count = 0;
    *first = nullptr;
    for (int k = 0; k < list.count; ++k) {
        char name[160];
        snprintf(name, sizeof name, "%s%s.wav", dir, list.texts[k].name);
        if (recording_at(name)) {
            *first = *first ? *first : &list.texts[k];
            ++count;
        }
    }
    return count;
}

bool find_one_pitch(const bank_list& list, char* out, size_t size)
{
    const bank_text* first = nullptr;
    const int count = count_recordings(list, "", &first);
    if (count > 0)
        snprintf(out, size, "%d recording%s, %s.wav%s", count, count == 1 ? "" : "s", first->name,
                 count > 1 ? " ..." : "");
    return count > 0;
}

// Subfolders named as a note that hold one of the list's recordings.
bool find_pitch_folders(const bank_list& list, char* out, size_t size)
{
    struct found_note {
        int note;
        char name[note_name_room];
    } found[note_list_max];
    int count = 0;
    DIR* d = opendir(".");
    while (const dirent* e = d != nullptr && count < note_list_max ? readdir(d) : nullptr) {
        int note = 0;
        struct stat st;
        char dir[note_name_room + 1];
        const bank_text* first = nullptr;
        if (strlen(e->d_name) >= note_name_room || note_parse(e->d_name, &note) != 0 || note < note_lowest ||
            note > note_highest || lstat(e->d_name, &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        snprintf(dir, sizeof dir, "%s/", e->d_name);
        if (count_recordings(list, dir, &first) == 0)
            continue;
        found[count].note = note;
        snprintf(found[count].name, sizeof found[count].name, "%s", e->d_name);
        ++count;
    }
    if (d != nullptr)
        closedir(d);
    std::sort(found, found + count, [](const found_note& a, const found_note& b) {
        return a.note != b.note ? a.note < b.note : strcmp(a.name, b.name) < 0;
    });
    size_t used = 0;
    out[0] = '\0';
    for (int i = 0; i < count && used < size; ++i) {
        const int n = snprintf(out + used, size - used, "%s%s", i == 0 ? "subfolders " : ", ", found[i].name);
        used += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return count > 0;
}

const layout_kind layout_kinds[] = {
    {bank_list_cv, false, "a set of recordings at one pitch", "those recordings"},
    {bank_list_cv, true, "a bank of several pitches", "those subfolders"},
    {bank_list_vcv, false, "a VCV set at one pitch", "those recordings"},
    {bank_list_vcv, true, "a VCV bank of several pitches", "those subfolders"},
};

} // namespace

const layout_kind& layout_of(bank_list_kind list, bool pitch_folders)
{
    for (const layout_kind& k : layout_kinds) {
        if (k.list == list && k.pitch_folders == pitch_folders)
            return k;
    }
    return layout_kinds[0];
}

const layout_kind* layout_conflict(const layout_kind& made, char* found, size_t size)
{
    for (const layout_kind& k : layout_kinds) {
        const bank_list& list = bank_list_of(k.list);
        if (&k != &made && (k.pitch_folders ? find_pitch_folders(list, found, size) : find_one_pitch(list, found, size)))
            return &k;
    }
    return nullptr;
}
