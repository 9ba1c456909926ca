#include "synth/espeak_voice.h"
#include "synth/kana.h"

#include "bank/syllables.h"

#include "support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string convert(const std::string& in, const char* to, const char* from)
{
    std::string out;
    return convert_text(from, to, in, &out) ? out : "";
}

std::string sjis(const std::string& utf8)
{
    return convert(utf8, "CP932", "UTF-8");
}

// Hiragana to katakana (and back) by shifting the code points by 0x60.
std::string shift_kana(const std::string& sjis_text, bool to_katakana)
{
    std::u32string u;
    const std::string u32 = convert(sjis_text, "UTF-32LE", "CP932");
    for (size_t i = 0; i + 3 < u32.size(); i += 4) {
        char32_t c = static_cast<unsigned char>(u32[i]) | (static_cast<unsigned char>(u32[i + 1]) << 8) |
                     (static_cast<unsigned char>(u32[i + 2]) << 16);
        if (to_katakana && c >= 0x3041 && c <= 0x3093)
            c += 0x60;
        if (!to_katakana && c >= 0x30A1 && c <= 0x30F3)
            c -= 0x60;
        u.push_back(c);
    }
    std::string bytes;
    for (char32_t c : u)
        for (int k = 0; k < 4; ++k)
            bytes.push_back(static_cast<char>((c >> (8 * k)) & 0xFF));
    return convert(bytes, "CP932", "UTF-32LE");
}

std::string phonemes(const std::string& text)
{
    char out[256];
    return espeak_phonemes(text.c_str(), out, sizeof out) == synth_ok ? std::string(out) : "<refused>";
}

TEST(Kana, SpellingsAndSequences)
{
    struct row {
        const char* text;
        const char* expected;
    } rows[] = {
        {"か", "k'a:"},             {"カ", "k'a:"},             {"カ゜", "N'a:"},           {"か゜", "N'a:"},
        {"キ゜ェ", "Ni'e:"},        {"きぇ", "ki'e:"},          {"つぃ", "t_s'i:"},         {"ふぁ", "p\\'a:"},
        {"ら", "r`'a:"},            {"りゃ", "r`%%i'a:"},       {"しゃ", "s\\'a:"},         {"ちぇ", "t_s\\'e:"},
        {"ひょ", "C'o:"},           {"いぇ", "i'e:"},           {"うぃ", "w'i:"},           {"てゅ", "ti'u:"},
        {"とぅ", "t'u:"},           {"を", "'o:"},              {"ん", "_^_cmn N-"},        {"かな", "k'an'a:"},
        {"キャンプ", "ki'aN-p'u:"}, {"", ""},
    };
    for (const row& r : rows)
        EXPECT_EQ(phonemes(sjis(r.text)), r.expected) << r.text;
}

TEST(Kana, RefusesWhatIsNotAKnownSyllable)
{
    const std::string refused[] = {
        "abc",           // ASCII
        "亜",            // a kanji
        "ゃ",            // a small kana alone
        "っ",            // small tsu
        "かゃ",          // small ya after an a-row kana
        "きゃゃ",        // two small kana
        "さ゜",          // the mark after a kana outside the k row
        "が゜",          // the mark after a voiced kana
        "か゜゜",        // the mark twice
        "゜",            // the mark alone
        "ゐ",            // archaic kana
        "ヴ",            // vu
        "ー",            // long-vowel mark
        "か ",           // trailing ASCII space
    };
    for (const std::string& t : refused)
        EXPECT_EQ(phonemes(sjis(t)), "<refused>") << t;
    EXPECT_EQ(phonemes("\x82"), "<refused>") << "lone lead byte";
    EXPECT_EQ(phonemes("\x82\xA0\x82"), "<refused>") << "truncated second kana";
}

TEST(Kana, KatakanaAndHiraganaReadAlike)
{
    for (int i = 0; i < syllable_count; ++i) {
        const std::string entry = syllable_table[i].sjis;
        const std::string hira = shift_kana(entry, false);
        const std::string kata = shift_kana(entry, true);
        ASSERT_FALSE(hira.empty());
        ASSERT_NE(phonemes(entry), "<refused>") << "entry " << i + 1;
        EXPECT_EQ(phonemes(hira), phonemes(entry)) << "entry " << i + 1;
        EXPECT_EQ(phonemes(kata), phonemes(entry)) << "entry " << i + 1;
    }
}

TEST(Kana, RefusesWhenTheOutputDoesNotFit)
{
    char out[5];
    EXPECT_EQ(espeak_phonemes(sjis("きゃ").c_str(), out, sizeof out), synth_error_bad_text);
    char fits[6];
    EXPECT_EQ(espeak_phonemes(sjis("きゃ").c_str(), fits, sizeof fits), synth_ok);
    EXPECT_STREQ(fits, "ki'a:");
    EXPECT_EQ(espeak_phonemes(nullptr, fits, sizeof fits), synth_error_bad_text);
}

} // namespace
