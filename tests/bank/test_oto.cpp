#include "bank/oto.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The rules on a few timings: the sample starts 10 ms before the sound is
// heard, the beat where voicing starts (a vowel alone: where it is heard),
// the fixed part until the vowel has settled, the crossfade well into a
// blending onset or within the lead before any other, everything in order
// and inside the file.
TEST(Oto, ValuesFollowTheRules)
{
    // consonant, vowel, glide_end, steady_end, voiced start and end,
    // audible, onset, blended, settled, length
    const struct {
        const char* name;
        oto_times t;
        oto_entry want;
        const char* why;
    } rows[] = {
        {"か", {60, 120, 120, 410, 120, 450, 60, 70, 75, 140, 460}, {50, 100, -360, 70, 5},
         "a stop: crossfade within the lead, the fixed part 30 ms into the vowel"},
        {"きゃ", {60, 110, 150, 450, 110, 480, 60, 70, 80, 240, 500}, {50, 190, -400, 60, 5},
         "a glide: the fixed part until the vowel has settled"},
        {"な", {50, 120, 120, 400, 50, 440, 48, 100, 90, 150, 460}, {38, 112, -362, 82, 52},
         "a nasal: heard before its label, crossfaded until it reaches -12 dB"},
        {"あ", {50, 50, 50, 380, 50, 420, 50, 72, 78, 90, 430}, {40, 62, -340, 32, 32},
         "a vowel alone: the beat where it is heard, no crossfade past it"},
        {"ん", {50, 50, 50, 60, 50, 60, 50, 58, 59, 60, 120}, {40, 19, -20, 18, 18},
         "a very short vowel: everything in order inside it"},
        {"が", {50, 95, 95, 96, 95, 100, 50, 60, 62, 96, 150}, {40, 55, -56, 54, 5},
         "the fastest speed: the cut stays after the fixed part"},
    };
    for (const auto& r : rows) {
        const oto_entry got = oto_values(*find_syllable(r.name), r.t);
        EXPECT_EQ(got.offset, r.want.offset) << r.why;
        EXPECT_EQ(got.consonant, r.want.consonant) << r.why;
        EXPECT_EQ(got.cutoff, r.want.cutoff) << r.why;
        EXPECT_EQ(got.preutterance, r.want.preutterance) << r.why;
        EXPECT_EQ(got.overlap, r.want.overlap) << r.why;
    }
}

} // namespace
