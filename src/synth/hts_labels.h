// The HTS voice's labels: the phonemes of one mora in the voice's own
// phoneme set, and the full-context labels of a one-mora word, as Open
// JTalk writes them, for the engine to choose its models by. Made here from
// the kana, with no Open JTalk at run time. Nothing allocates; the caller
// owns every buffer.
#pragma once

#include "synth/kana.h"
#include "synth/synth.h"

// Most phonemes a mora is read as (N y u u: the nasal g's murmur, a glide
// and a long u), and the room one label line takes.
inline constexpr int hts_max_phonemes = 4;
inline constexpr int hts_label_room = 512;

// The voice's phonemes for one mora, written into out[0..*count-1]. A u is
// read long (u u): the voice holds a long u voiced and unrounded, a short
// one at the end of a phrase it fronts toward [i]. *first_half is set when
// the first phoneme is the nasal murmur that stands for the nasal g (the
// voice has none): it is then held for half its length. Returns synth_ok,
// or synth_error_bad_text.
synth_error hts_phonemes(const mora& m, const char* out[hts_max_phonemes], int* count, bool* first_half);

// The full-context labels of a one-word utterance of `phonemes` (at most
// hts_max_phonemes; accent type 1), one a line, as Open JTalk writes them,
// into lines[0..count+1]. Each vowel and each N ends a mora. Returns the
// number of lines (count + 2).
int hts_labels(const char* const* phonemes, int count, char lines[][hts_label_room]);

// One mora, as the engine is given it: its phonemes and their labels.
struct hts_mora_labels {
    const char* phonemes[hts_max_phonemes];
    int phoneme_count;
    bool first_half;  // as hts_phonemes sets it
    int line_count;   // phoneme_count + 2: the silences before and after
    char lines[hts_max_phonemes + 2][hts_label_room];
    char* line_pointers[hts_max_phonemes + 2];  // lines[i], the way the engine takes them
};

// Fills *out with the phonemes and labels of `m` (hts_phonemes, then
// hts_labels). line_pointers point into *out itself: a copy must set them
// again. Returns synth_ok, or synth_error_bad_text.
synth_error hts_label_mora(const mora& m, hts_mora_labels* out);
