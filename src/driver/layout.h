// How the sets of a bank lie in the output folder. A run makes one kind of
// set; a folder holds one bank, so a run refuses a folder that holds this
// program's sets of another kind, which the samplers would take beside
// the new ones. A kind is the list its sets hold (CV syllables or VCV
// strings) and where they lie (in the folder, or a subfolder per note).
#pragma once

#include "bank/lists.h"

#include <cstddef>

struct layout_kind {
    bank_list_kind list;
    bool pitch_folders;  // a subfolder per note ("A3/"), the recordings in each
    const char* what;    // for messages: "a set of recordings at one pitch"
    const char* remove;  // what to remove instead: "those recordings"
};

// The kind of a run that makes sets of `list`, in subfolders or not.
const layout_kind& layout_of(bank_list_kind list, bool pitch_folders);

// The first kind other than `made` whose sets the current folder holds,
// with what was found ("142 recordings, あ.wav ...", "subfolders A2, A3")
// described into found[0..size-1], or null when there is none.
const layout_kind* layout_conflict(const layout_kind& made, char* found, size_t size);
