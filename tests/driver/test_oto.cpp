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

// The sampler files' names: a file of the set as it is named, a file per
// recording after the recording's stem.
TEST(Oto, FileNames)
{
    char name[64];
    const oto_file per_recording = {"_wav.frq", true, nullptr};
    const int ka = static_cast<int>(find_syllable("か") - syllable_table);
    ASSERT_EQ(oto_file_name(per_recording, ka, name, sizeof name), 0);
    EXPECT_EQ(std::string(name), "か_wav.frq");
    EXPECT_EQ(oto_file_name(per_recording, ka, name, 8), -1) << "does not fit";
    const char* const ours[] = {"oto.ini", "character.txt", "character.yaml"};
    ASSERT_EQ(oto_file_count, 3);
    for (int i = 0; i < oto_file_count; ++i) {
        ASSERT_EQ(oto_file_name(oto_files[i], -1, name, sizeof name), 0);
        EXPECT_EQ(std::string(name), ours[i]);
        EXPECT_TRUE(is_oto_file_name(ours[i]));
    }
    for (const char* other : {"oto.ini.bak", "notes.txt", "か.wav", ""})
        EXPECT_FALSE(is_oto_file_name(other)) << other;
}

} // namespace
