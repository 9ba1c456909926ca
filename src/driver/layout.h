// How the sets of a bank lie in the output folder. A run makes one kind of
// set; a folder holds one bank, so a run refuses a folder that holds this
// program's sets of another kind, which the samplers would take beside
// the new ones. Each kind says how to find its sets, so that a new kind is
// one more row of layout_kinds.
#pragma once

#include <cstddef>

enum set_layout {
    layout_one_pitch,      // the table's recordings in the folder itself
    layout_pitch_folders,  // a subfolder per note ("A3/"), the recordings in each
};

struct layout_kind {
    set_layout layout;
    const char* what;    // for messages: "a set of recordings at one pitch"
    const char* remove;  // what to remove instead: "those recordings"
    // Looks for sets of this kind in the current folder and describes what
    // it found into out[0..size-1] ("142 recordings: あ.wav, ..."). Returns
    // whether there is one.
    bool (*find)(char* out, size_t size);
};

extern const layout_kind layout_kinds[];
extern const int layout_kind_count;

// The kind `layout`.
const layout_kind& layout_of(set_layout layout);

// The first kind other than `made` whose sets the current folder holds,
// described into found[0..size-1], or null when there is none.
const layout_kind* layout_conflict(set_layout made, char* found, size_t size);
