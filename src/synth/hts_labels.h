// The HTS voice's labels: the phonemes of one syllable in the voice's own
// phoneme set, and the full-context labels of an utterance of one word
// (one accent phrase), as Open JTalk writes them, for the engine to choose
// its models by: a syllable for the CV set, a string of syllables for a
// VCV set. Made here from the kana, with no Open JTalk at run time. The
// labels count a mora for each vowel and each N, so one syllable may be
// two of theirs (う, read u u; カ゜, read N a). Nothing allocates; the
// caller owns every buffer.
#pragma once

#include "synth/kana.h"
#include "synth/synth.h"

// Most phonemes a syllable is read as (N y u u: the nasal g's murmur, a
// glide and a long u), most phonemes an utterance takes (a string of
// synth_max_morae syllables), and the room one label line takes.
inline constexpr int hts_max_phonemes = 4;
inline constexpr int hts_max_phrase_phonemes = synth_max_morae * hts_max_phonemes;
inline constexpr int hts_label_room = 512;

// The voice's phonemes for one syllable, written into out[0..*count-1]. A u is
// read long (u u): the voice holds a long u voiced and unrounded, a short
// one at the end of a phrase it fronts toward [i]. *first_half is set when
// the first phoneme is the nasal murmur that stands for the nasal g (the
// voice has none): it is then held for half its length. Returns synth_ok,
// or synth_error_bad_text.
synth_error hts_phonemes(const mora& m, const char* out[hts_max_phonemes], int* count, bool* first_half);

// The full-context labels of a one-word utterance of `phonemes` (at most
// hts_max_phrase_phonemes) with accent type `accent` (0: flat, the nucleus
// counted at the last mora as Open JTalk does; 1: on the first mora), one
// a line, as Open JTalk writes them, into lines[0..count+1]. Each vowel
// and each N ends a mora. Returns the number of lines (count + 2).
int hts_labels(const char* const* phonemes, int count, int accent, char lines[][hts_label_room]);

// One syllable, as the engine is given it for the CV set: its phonemes and
// their labels (accent type 1).
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
