#include "driver/driver.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
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

TEST(SyllableTable, HasTheEntriesInOrderThenTheStopMark)
{
    int n = 0;
    while (syllable_table[n] != nullptr)
        ++n;
    EXPECT_EQ(n, 142);
    EXPECT_EQ(syllable_table[142], nullptr);
}

TEST(SyllableTable, BytesAreShiftJis)
{
    struct row {
        int index;
        const char* bytes;
    } rows[] = {{0, "82 A0"}, {11, "83 4A 81 4B"}, {17, "83 4C 81 4B 83 46"}, {141, "82 F1"},
                {2, "82 A2 82 A5"}, {130, "82 E7"}, {140, "82 F0"}};
    for (const row& r : rows)
        EXPECT_EQ(hex(syllable_table[r.index]), r.bytes) << "entry " << r.index + 1;

    size_t longest = 0;
    int katakana = 0;
    for (int i = 0; i < syllable_count; ++i) {
        const size_t len = strlen(syllable_table[i]);
        EXPECT_EQ(len % 2, 0u) << "two-byte codes only, entry " << i + 1;
        longest = std::max(longest, len);
        katakana += static_cast<unsigned char>(syllable_table[i][0]) == 0x83;
    }
    EXPECT_EQ(longest, 6u);
    EXPECT_EQ(katakana, 9);
}

TEST(SyllableTable, ConvertsToTheUtf8Names)
{
    const std::vector<std::string> names = expected_file_names();
    ASSERT_EQ(names.size(), 142u);
    for (int i = 0; i < syllable_count; ++i) {
        char out[64];
        ASSERT_EQ(sjis_to_utf8(syllable_table[i], out, sizeof out), 0);
        EXPECT_EQ(std::string(out) + ".wav", names[i]) << "entry " << i + 1;
    }
}

TEST(SyllableTable, ConversionRefusesWhatDoesNotFit)
{
    char small[4];
    EXPECT_EQ(sjis_to_utf8("\x82\xA0\x82\xA0", small, sizeof small), -1);
    char out[16];
    EXPECT_EQ(sjis_to_utf8("\x82", out, sizeof out), -1) << "a lone lead byte";
}

} // namespace
