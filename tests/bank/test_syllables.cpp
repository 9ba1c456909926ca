#include "bank/syllables.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iconv.h>
#include <sstream>
#include <string>

namespace {

std::string hex(const char* s)
{
    std::string h;
    char buf[4];
    for (const char* p = s; *p; ++p) {
        snprintf(buf, sizeof buf, "%s%02X", h.empty() ? "" : " ", static_cast<unsigned char>(*p));
        h += buf;
    }
    return h;
}

// The C library's own reading of Shift-JIS, independent of the table's names.
std::string cp932_to_utf8(const char* sjis)
{
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return "<no converter>";
    char out[64];
    char* in = const_cast<char*>(sjis);
    size_t in_left = strlen(sjis), out_left = sizeof out - 1;
    char* o = out;
    const size_t rc = iconv(cd, &in, &in_left, &o, &out_left);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || in_left != 0)
        return "<not CP932>";
    *o = 0;
    return out;
}

TEST(SyllableTable, HasTheEntriesInOrderThenTheStopMark)
{
    int n = 0;
    while (syllable_table[n].sjis != nullptr)
        ++n;
    EXPECT_EQ(n, syllable_count);
    EXPECT_EQ(syllable_table[syllable_count].name, nullptr);
    EXPECT_STREQ(syllable_table[0].name, "あ");
    EXPECT_STREQ(syllable_table[syllable_count - 1].name, "ん");
}

TEST(SyllableTable, BytesAreShiftJis)
{
    struct row {
        const char* name;
        const char* bytes;
    } rows[] = {{"あ", "82 A0"}, {"カ゜", "83 4A 81 4B"}, {"キ゜ェ", "83 4C 81 4B 83 46"}, {"ん", "82 F1"},
                {"いぇ", "82 A2 82 A5"}, {"よ", "82 E6"}, {"を", "82 F0"}};
    for (const row& r : rows) {
        ASSERT_NE(find_syllable(r.name), nullptr) << r.name;
        EXPECT_EQ(hex(find_syllable(r.name)->sjis), r.bytes) << r.name;
    }

    size_t longest = 0;
    int katakana = 0;
    for (int i = 0; i < syllable_count; ++i) {
        const size_t len = strlen(syllable_table[i].sjis);
        EXPECT_EQ(len % 2, 0u) << "two-byte codes only, entry " << i + 1;
        longest = std::max(longest, len);
        katakana += static_cast<unsigned char>(syllable_table[i].sjis[0]) == 0x83;
    }
    EXPECT_EQ(longest, 6u);
    EXPECT_EQ(katakana, 9);
}

TEST(SyllableTable, NamesAreTheBytesInUtf8AndUnique)
{
    for (int i = 0; i < syllable_count; ++i) {
        EXPECT_EQ(cp932_to_utf8(syllable_table[i].sjis), syllable_table[i].name) << "entry " << i + 1;
        EXPECT_EQ(find_syllable(syllable_table[i].name), &syllable_table[i]) << "entry " << i + 1;
    }
    EXPECT_EQ(find_syllable("ka"), nullptr);
    EXPECT_EQ(find_syllable(""), nullptr);
}

TEST(SyllableTable, OnlyTheMoraicNasalHasItsOwnSpeed)
{
    for (int i = 0; i < syllable_count; ++i) {
        const bool nasal = strcmp(syllable_table[i].name, "ん") == 0;
        EXPECT_EQ(syllable_speed(syllable_table[i], 123), nasal ? moraic_nasal_speed : 123) << "entry " << i + 1;
    }
}

// The README shows the table ten entries a row; it must say what the code says.
TEST(SyllableTable, ReadmeShowsTheSameTable)
{
    std::ifstream readme(MORIVOX_SOURCE_DIR "/README.md");
    ASSERT_TRUE(readme.good());
    std::vector<std::string> shown;
    std::string line;
    while (std::getline(readme, line)) {
        // "| 11–20 | が | カ゜ | ... |": a label of two numbers and a dash, then the names.
        const size_t dash = line.find("–");
        if (line.rfind("| ", 0) != 0 || dash == std::string::npos ||
            line.find_first_not_of("0123456789", 2) != dash || dash == 2)
            continue;
        std::istringstream cells(line.substr(1));
        std::string cell;
        std::getline(cells, cell, '|');  // the label
        while (std::getline(cells, cell, '|')) {
            const size_t a = cell.find_first_not_of(' '), b = cell.find_last_not_of(' ');
            if (a != std::string::npos)
                shown.push_back(cell.substr(a, b - a + 1));
        }
    }
    std::vector<std::string> names;
    for (int i = 0; i < syllable_count; ++i)
        names.push_back(syllable_table[i].name);
    EXPECT_EQ(shown, names);
}

} // namespace
