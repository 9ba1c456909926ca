// Shaping a syllable, or a string of morae, for sampling. Both voices pass
// their rendering through here, and the image they hand out is what comes
// back.
//
// On the voice's samples (doubles at the rate the image is to have), in order:
//  1. the DC offset goes, so loops and crossfades do not thump: the mean
//     over one period of the voice's steady pitch `f0` is taken away around
//     every sample, which leaves the harmonics of f0 untouched;
//  2. the held vowel is set to shaping_held_rms and kept there: its level
//     is evened out over the held part (changes slower than about 20 Hz,
//     or than f0 / 2.5 below 100 Hz); in a string, each mora's held vowel,
//     the gain moving in a straight line from one held part to the next;
//  3. nothing before the held vowel (in a string: before the last held
//     vowel and outside every held one) is more than shaping_overshoot_db
//     above it, measured over windows of about two pitch periods (whole
//     5 ms steps, at least two), and no sample is above shaping_peak;
//  4. the sound fades in where it starts (over `fade_in` seconds) and out
//     where it ends (the release), so no edge clicks; a string fades
//     nowhere else;
//  5. exactly shaping_lead_seconds of silence come before the sound and
//     shaping_tail_seconds after it;
//  6. the samples are rounded to 16 bits.
// The same samples and marks always give the same bytes.
#pragma once

#include "synth/kana.h"
#include "synth/synth.h"

#include <cstddef>

// The held vowel's RMS in the image, 15 dB below a full-scale square wave:
// the resampler's output gain (-1 dB) puts it at -16 dBFS in the files,
// where the peaks of the most peaky vowels come to about -3 dBFS.
inline constexpr double shaping_held_rms = 5827.0;
// The formants move from the consonant to the vowel over about this time
// after voicing starts: the held vowel starts no earlier.
inline constexpr double shaping_transition_seconds = 0.030;
// What the part before the held vowel may reach above it (see step 3).
inline constexpr double shaping_overshoot_db = 0.0;
// The highest sample, 0.5 dB below full scale (1.5 dB in the files).
inline constexpr double shaping_peak = 30935.0;
inline constexpr double shaping_lead_seconds = 0.050;
inline constexpr double shaping_tail_seconds = 0.050;
// The release: 30 ms, or a quarter of a short vowel but never under 5 ms.
inline constexpr double shaping_release_seconds = 0.030;
inline constexpr double shaping_min_release_seconds = 0.005;
// Fade-ins: short enough that a stop or a fricative keeps its attack, long
// enough that a vowel or a nasal does not start with a click.
inline constexpr double shaping_fade_in_obstruent = 0.001;
inline constexpr double shaping_fade_in_sonorant = 0.005;

// The fade-in of a sound that starts with mora `first`.
inline double shaping_fade_in(const mora& first)
{
    return onset_sonorant(first) ? shaping_fade_in_sonorant : shaping_fade_in_obstruent;
}

// Shapes samples[0..count-1] (at `rate`, the image's, where their pitch is
// `f0` in Hz), whose parts lie at `marks`, into *image (mora_count 1),
// whose marks[0] are moved to where the parts lie in it: inside the sound
// and in their order, steady_end before the release where it can be. Works
// in place: `samples` is left changed. Returns synth_ok,
// synth_error_engine for no samples, synth_error_no_memory, or
// synth_error_no_voice_file when a sample is not a number (NaN, infinite)
// or the held vowel is silent: the voice's data must be damaged, and the
// voice names it; nothing of such samples may become a recording (*image
// empty on failure).
synth_error shape_syllable(double* samples, size_t count, int rate, double f0, const synth_marks& marks,
                           double fade_in, synth_image* image);

// One mora of a string, as the voice placed it in its samples: its marks,
// and where its vowel is held from (the transition into it over, as far as
// the voice knows; the held part starts no earlier than 30 ms after
// vowel_start either way, but a short vowel is held from vowel_start).
struct shaping_mora {
    synth_marks marks;
    size_t held_start;
};

// Shapes a string of morae[0..mora_count-1] (1 to synth_max_morae, in
// order) as shape_syllable shapes a syllable, each mora's held part
// [held_start or later, steady_end) evened to shaping_held_rms, into
// *image with mora_count marks, each moved as shape_syllable moves them
// (the last steady_end before the release). The sound starts at the first
// glide_end at the latest, even where the vowel rises from silence there,
// so that the first beat is not moved. Fails as shape_syllable does,
// and with synth_error_no_voice_file when any held part is silent.
synth_error shape_string(double* samples, size_t count, int rate, double f0, const shaping_mora* morae,
                         int mora_count, double fade_in, synth_image* image);
