// The built-in syllable table: every entry both as the synthesizer's
// Shift-JIS text and as the UTF-8 name of its file.
#pragma once

inline constexpr int syllable_count = 142;

// The speed that ん is always synthesized at, whatever the run's speed.
inline constexpr int moraic_nasal_speed = 50;

struct syllable {
    const char* sjis;  // NUL-terminated Shift-JIS (code page 932) kana
    const char* name;  // the same text in UTF-8: the stem of the file name
    int fixed_speed;   // 0: the run's speed; otherwise the speed always used
};

// The entries in the order they are made, then a stop mark whose pointers
// are null.
extern const syllable syllable_table[syllable_count + 1];

// The entry whose UTF-8 name is `name`, or null when there is none.
const syllable* find_syllable(const char* name);

// The speed `entry` is synthesized at in a run at `run_speed`.
int syllable_speed(const syllable& entry, int run_speed);
