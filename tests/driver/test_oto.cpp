#include "driver/oto.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The rules on a few timings: 10 ms of lead, the fixed part 30 ms into the
// vowel, the crossfade through a third of a blending onset or within half
// the lead before any other, and everything inside the file.
TEST(Oto, ValuesFollowTheRules)
{
    const struct {
        const char* name;
        oto_times t;
        oto_entry want;
        const char* why;
    } rows[] = {
        {"か", {64.9, 120.8, 411.9, 424.9}, {54, 97, -357, 67, 5}, "a stop: crossfade within the lead"},
        {"な", {50, 140, 400, 460}, {40, 130, -360, 100, 40}, "a nasal: crossfade a third into it"},
        {"あ", {0, 0, 309.7, 322}, {0, 30, -309, 0, 0}, "a vowel at the very start: no lead to take"},
        {"さ", {5, 111, 600, 434}, {0, 141, -434, 111, 3}, "the steady part past the file's end is cut"},
        {"ん", {50, 50, 60, 70}, {40, 20, -20, 10, 10}, "the fixed part never passes the cutoff"},
    };
    for (const auto& r : rows) {
        const oto_entry got = oto_values(*find_syllable(r.name), r.t);
        EXPECT_EQ(got.offset, r.want.offset) << r.why;
        EXPECT_EQ(got.consonant, r.want.consonant) << r.why;
        EXPECT_EQ(got.cutoff, r.want.cutoff) << r.why;
        EXPECT_EQ(got.preutterance, r.want.preutterance) << r.why;
        EXPECT_EQ(got.overlap, r.want.overlap) << r.why;
    }
    char line[64];
    ASSERT_GT(oto_line(*find_syllable("か"), {54, 97, -357, 67, 5}, line, sizeof line), 0);
    EXPECT_EQ(std::string(line), "か.wav=か,54,97,-357,67,5\n");
    EXPECT_EQ(oto_line(*find_syllable("か"), {54, 97, -357, 67, 5}, line, 10), -1);
}

} // namespace
