#include "notes/notes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// Lists as -pitch takes them: what is read, or the first fault and where.
TEST(Notes, ListsAreReadOrRefusedAtTheirFirstFault)
{
    const double any_low = 65.40639132514966, any_high = 523.2511306011972;  // C2 to C5
    const struct {
        const char* text;
        double low, high;  // the voice's range, Hz
        note_list_status status;
        std::vector<int> notes;  // read, when ok
        const char* bad;         // the item at fault
        int repeats;
        const char* why;
    } rows[] = {
        {"A2,A3,E4", any_low, any_high, note_list_ok, {45, 57, 64}, "", 0, "three notes"},
        {"E4,Db3", any_low, any_high, note_list_ok, {64, 49}, "", 0, "in the order given, a flat"},
        {"C2,C5", any_low, any_high, note_list_ok, {36, 72}, "", 0, "the range's edges"},
        {"", any_low, any_high, note_list_empty_item, {}, "", 0, "nothing"},
        {"A2,,A3", any_low, any_high, note_list_empty_item, {}, "", 0, "between two commas"},
        {"A2,", any_low, any_high, note_list_empty_item, {}, "", 0, "after the last comma"},
        {",A2", any_low, any_high, note_list_empty_item, {}, "", 0, "before the first comma"},
        {"A2, A3", any_low, any_high, note_list_not_a_note, {}, " A3", 0, "a space after the comma"},
        {"A2;A3", any_low, any_high, note_list_not_a_note, {}, "A2;A3", 0, "another separator"},
        {"A2,C#44444444", any_low, any_high, note_list_not_a_note, {}, "C#44444444", 0, "longer than any note"},
        {"A2,B1", any_low, any_high, note_list_out_of_range, {}, "B1", 0, "below C2"},
        {"C#5", any_low, any_high, note_list_out_of_range, {}, "C#5", 0, "above C5"},
        {"B1,H2", any_low, any_high, note_list_out_of_range, {}, "B1", 0, "the first fault from the left"},
        {"A2,A3,A2", any_low, any_high, note_list_repeated, {}, "A2", 0, "a note twice"},
        {"A2,C#3,Db3", any_low, any_high, note_list_repeated, {}, "Db3", 1, "an enharmonic"},
        {"B#2,C3", any_low, any_high, note_list_repeated, {}, "C3", 0, "across the octave"},
        {"A2,E4", 100, 300, note_list_outside_voice, {}, "E4", 0, "above the voice's range"},
        {"G2", 100, 300, note_list_outside_voice, {}, "G2", 0, "below the voice's range (98 Hz)"},
        {"A2,D4", note_frequency(45), note_frequency(62), note_list_ok, {45, 62}, "", 0, "the voice's range, edges included"},
    };
    for (const auto& r : rows) {
        note_list list;
        const note_list_status status = note_list_parse(r.text, r.low, r.high, &list);
        EXPECT_EQ(status, r.status) << "'" << r.text << "': " << r.why;
        if (status != r.status)
            continue;
        if (status == note_list_ok) {
            EXPECT_EQ(std::vector<int>(list.notes, list.notes + list.count), r.notes) << r.why;
            EXPECT_EQ(std::string(list.names[list.count - 1]), std::string(r.text).substr(std::string(r.text).rfind(',') + 1))
                << r.why << ": the name as given";
        } else {
            EXPECT_EQ(std::string(r.text + list.bad, list.bad_length), r.bad) << r.why;
        }
        if (status == note_list_repeated) {
            EXPECT_EQ(list.repeats, r.repeats) << r.why;
        }
    }
}

} // namespace
