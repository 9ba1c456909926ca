#include "driver/notes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Names as a user types them: -1 for what is not a note.
TEST(Notes, NamesAreReadAsMidiNumbers)
{
    const struct {
        const char* text;
        int note;  // -1: refused
        const char* why;
    } rows[] = {
        {"A2", 45, "the default"},       {"A4", 69, "the reference"},     {"C2", 36, "the lowest allowed"},
        {"C5", 72, "the highest allowed"}, {"C#3", 49, "a sharp"},        {"Db3", 49, "its enharmonic flat"},
        {"Eb4", 63, "a flat"},           {"B#3", 60, "a sharp across the octave: C4"},
        {"Cb4", 59, "a flat across the octave: B3"}, {"B1", 35, "below the range, still a note"},
        {"C-1", 0, "a negative octave"}, {"", -1, "empty"},               {"a2", -1, "lower-case letter"},
        {"H2", -1, "not a letter of the scale"}, {"A", -1, "no octave"},  {"A#", -1, "no octave after the sharp"},
        {"A##2", -1, "two sharps"},      {"Abb2", -1, "two flats"},        {"A2 ", -1, "trailing space"},
        {" A2", -1, "leading space"},    {"A2,A3", -1, "a list is not one note"}, {"A100", -1, "three-digit octave"},
        {"A-", -1, "a sign without digits"}, {"A+2", -1, "a plus sign"},
    };
    for (const auto& r : rows) {
        int note = -1;
        const int status = note_parse(r.text, &note);
        EXPECT_EQ(status == 0 ? note : -1, r.note) << "'" << r.text << "': " << r.why;
    }
}

TEST(Notes, FrequenciesAndNames)
{
    EXPECT_EQ(note_frequency(45), 110.0) << "A2 exactly, as the voices had it";
    EXPECT_EQ(note_frequency(69), 440.0);
    EXPECT_NEAR(note_frequency(36), 65.406, 0.001);
    EXPECT_NEAR(note_frequency(72), 523.251, 0.001);
    char name[8];
    for (int note = note_lowest; note <= note_highest; ++note) {
        note_name(note, name, sizeof name);
        int back = -1;
        ASSERT_EQ(note_parse(name, &back), 0) << name;
        EXPECT_EQ(back, note) << name;
    }
    note_name(61, name, sizeof name);
    EXPECT_EQ(std::string(name), "C#4");
}

} // namespace
