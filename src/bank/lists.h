// What a set of recordings is: a list of texts, each one recording. The
// CV list is the syllable table, a syllable a recording; the VCV list is
// strings of morae sung one a beat after a rest, in which every syllable
// follows every vowel (and ん) once. Each list names its aliases: what a
// sampler looks up, and which recording and mora each is cut from.
#pragma once

#include "bank/syllables.h"

#include <cstddef>

// The most morae of one text, and the most texts of a list.
inline constexpr int bank_max_morae = 8;
inline constexpr int bank_max_texts = syllable_count;

// One recording of a list.
struct bank_text {
    char sjis[6 * bank_max_morae + 1];     // what the voice is given: Shift-JIS kana
    char name[9 * bank_max_morae + 2];     // the file's stem, UTF-8: "か", "_あかあきあくあ"
    int fixed_speed;                       // 0: the run's speed; otherwise always this one
    int mora_count;
    int morae[bank_max_morae];             // each mora's entry of syllable_table
};

enum bank_list_kind {
    bank_list_cv,   // one syllable a recording, held
    bank_list_vcv,  // strings from a rest, one mora a beat
};

// What a sampler looks up, and where it lies. `mora` is K's for the
// phrase start, the plain alias and `v K`; the mora whose consonant a VC
// ends in; the last mora for an ending.
enum bank_alias_kind {
    bank_alias_cv,      // K: a syllable of the CV list
    bank_alias_start,   // "- K": K from a rest
    bank_alias_plain,   // "K": the same sound as "- K", for UTAU and OpenUtau's default phonemizer
    bank_alias_vcv,     // "v K": K straight after the vowel v (a i u e o), or after ん (n)
    bank_alias_vc,      // "v c": from the vowel v into the consonant c
    bank_alias_ending,  // "v R": the vowel v into a rest
};

struct bank_alias {
    char name[32];  // UTF-8, without the set's suffix
    bank_alias_kind kind;
    int text;       // the recording's index in the list
    int mora;
};

struct bank_list {
    bank_list_kind kind;
    const bank_text* texts;
    int count;
    double beat;             // seconds from one vowel onset to the next; 0: single syllables
    const bank_alias* aliases;  // in oto.ini's order: text by text, mora by mora
    int alias_count;
};

// The speed text `t` is sung at in a run at `run_speed`: its own where it
// has one (see syllable_speed).
int bank_text_speed(const bank_text& t, int run_speed);

// The list of that kind, made once (the same on every call and thread).
const bank_list& bank_list_of(bank_list_kind kind);

// The beat of the VCV strings: 375 ms (160 a minute). The longest
// consonant the voices place (110 ms) and the transitions around a vowel
// (100 ms) leave at least 150 ms of steady vowel in every mora.
inline constexpr double bank_vcv_beat = 0.375;

// The vowel a syllable ends in, as its alias after it says: 'a' 'i' 'u'
// 'e' 'o', or 'n' for ん.
char bank_vowel_of(int entry);

// The consonant of a syllable as OpenUtau's Japanese presamp phonemizer
// names it by default ("k", "sh", "ky", …), or null when it has none (a
// vowel, ん) or the phonemizer does not know the syllable (カ゜ …).
const char* bank_consonant_of(int entry);
