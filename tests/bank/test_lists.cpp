// The lists of recordings and their aliases: every name a sampler looks
// for first is there, once, and names the recording and mora it is cut
// from.
#include "bank/lists.h"
#include "synth/kana.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace {

std::string name_of(int entry)
{
    return syllable_table[entry].name;
}

// As OpenUtau's Japanese presamp phonemizer reads a lyric: を is looked up
// as お, and the k-row kana with ゜ are unknown to it.
bool presamp_knows(int entry)
{
    return name_of(entry).find("゜") == std::string::npos;
}

std::string presamp_lyric(int entry)
{
    return name_of(entry) == "を" ? "お" : name_of(entry);
}

TEST(Lists, AliasesAreWhatTheSamplersLookFor)
{
    const struct {
        bank_list_kind kind;
        int texts, morae, aliases;
    } rows[] = {
        {bank_list_cv, 142, 142, 142},
        // 142 phrase starts and plain twins, 6 x 142 pairs, 6 x 29 VCs, 6 endings.
        {bank_list_vcv, 142, 1133, 2 * 142 + 6 * 142 + 6 * 29 + 6},
    };
    for (const auto& r : rows) {
        const bank_list& list = bank_list_of(r.kind);
        SCOPED_TRACE(list.kind == bank_list_vcv ? "VCV" : "CV");
        ASSERT_EQ(list.count, r.texts);
        int morae = 0;
        std::set<std::string> names;
        for (int i = 0; i < list.count; ++i) {
            const bank_text& t = list.texts[i];
            ASSERT_GE(t.mora_count, 1);
            ASSERT_LE(t.mora_count, bank_max_morae);
            morae += t.mora_count;
            std::string name = r.kind == bank_list_vcv ? "_" : "", sjis;
            for (int m = 0; m < t.mora_count; ++m) {
                name += name_of(t.morae[m]);
                sjis += syllable_table[t.morae[m]].sjis;
            }
            EXPECT_EQ(t.name, name);
            EXPECT_EQ(t.sjis, sjis);
            EXPECT_TRUE(names.insert(t.name).second) << "two recordings named " << t.name;
        }
        EXPECT_EQ(morae, r.morae);
        EXPECT_EQ(list.alias_count, r.aliases);

        // Each alias once, and what it says of its recording is true there.
        std::map<std::string, const bank_alias*> by_name;
        for (int i = 0; i < list.alias_count; ++i) {
            const bank_alias& a = list.aliases[i];
            ASSERT_TRUE(by_name.emplace(a.name, &a).second) << "twice: " << a.name;
            ASSERT_GE(a.text, 0);
            ASSERT_LT(a.text, list.count);
            const bank_text& t = list.texts[a.text];
            ASSERT_GE(a.mora, 0);
            ASSERT_LT(a.mora, t.mora_count);
            const int k = t.morae[a.mora];
            const std::string v = a.mora > 0 ? std::string(1, bank_vowel_of(t.morae[a.mora - 1])) : "";
            switch (a.kind) {
            case bank_alias_cv:
            case bank_alias_plain:
                EXPECT_EQ(a.name, name_of(k));
                EXPECT_EQ(a.mora, 0);
                break;
            case bank_alias_start:
                EXPECT_EQ(a.name, "- " + name_of(k));
                EXPECT_EQ(a.mora, 0);
                break;
            case bank_alias_vcv:
                EXPECT_EQ(a.name, v + " " + name_of(k));
                break;
            case bank_alias_vc:
                ASSERT_NE(bank_consonant_of(k), nullptr) << a.name;
                EXPECT_EQ(a.name, v + " " + bank_consonant_of(k));
                break;
            case bank_alias_ending:
                EXPECT_EQ(a.mora, t.mora_count - 1);
                EXPECT_EQ(a.name, std::string(1, bank_vowel_of(k)) + " R");
                break;
            }
        }
        if (r.kind == bank_list_cv) {
            for (int k = 0; k < syllable_count; ++k)
                EXPECT_EQ(by_name.count(name_of(k)), 1u) << name_of(k);
            continue;
        }
        // The phonemizer's first look for every current syllable K: after
        // a rest or an unknown kana "- K", after a syllable ending in v
        // "v K"; for a rest after v, "v R". And UTAU's plain "K".
        for (int k = 0; k < syllable_count; ++k) {
            const std::string lyric = presamp_lyric(k);
            EXPECT_EQ(by_name.count("- " + lyric), 1u) << lyric;
            EXPECT_EQ(by_name.count(name_of(k)), 1u) << name_of(k);
            for (int p = 0; p < syllable_count; ++p) {
                const std::string first =
                    presamp_knows(p) ? std::string(1, bank_vowel_of(p)) + " " + lyric : "- " + lyric;
                EXPECT_EQ(by_name.count(first), 1u) << name_of(p) << " then " << name_of(k);
            }
        }
        for (const char v : std::string("aiueon"))
            EXPECT_EQ(by_name.count(std::string(1, v) + " R"), 1u) << v;
    }
}

// The consonants OpenUtau's presamp phonemizer names by default, as it
// reads the table's syllables.
TEST(Lists, ConsonantsAndVowelsAsThePhonemizerNamesThem)
{
    const struct {
        const char* syllable;
        const char* consonant;  // null: none
        char vowel;
    } rows[] = {
        {"あ", nullptr, 'a'}, {"ん", nullptr, 'n'},   {"か", "k", 'a'},     {"き", "ky", 'i'},
        {"きゃ", "ky", 'a'},  {"し", "sh", 'i'},      {"す", "s", 'u'},     {"すぃ", "s", 'i'},
        {"ち", "ch", 'i'},    {"つ", "ts", 'u'},      {"てぃ", "ty", 'i'},  {"とぅ", "t", 'u'},
        {"ひ", "hy", 'i'},    {"ふ", "f", 'u'},       {"に", "ny", 'i'},    {"り", "ry", 'i'},
        {"いぇ", "y", 'e'},   {"うぃ", "w", 'i'},     {"を", nullptr, 'o'},     {"カ゜", nullptr, 'a'},
        {"キ゜ャ", nullptr, 'a'}, {"じ", "j", 'i'},   {"ぢ", nullptr, 0},
    };
    for (const auto& r : rows) {
        const syllable* s = find_syllable(r.syllable);
        if (r.vowel == 0) {
            EXPECT_EQ(s, nullptr) << r.syllable << " is not in the table";
            continue;
        }
        ASSERT_NE(s, nullptr) << r.syllable;
        const int k = static_cast<int>(s - syllable_table);
        EXPECT_STREQ(bank_consonant_of(k), r.consonant) << r.syllable;
        EXPECT_EQ(bank_vowel_of(k), r.vowel) << r.syllable;
    }
    // Every syllable, from its reading: the phonemizer names a consonant
    // as it is romanised, and k g h b p m n r t d before i as palatal; it
    // does not know the nasal g.
    for (int k = 0; k < syllable_count; ++k) {
        mora m[max_morae];
        int count = 0;
        ASSERT_EQ(kana_to_morae(syllable_table[k].sjis, m, max_morae, &count), synth_ok);
        std::string want = m[0].onset;
        if (m[0].vowel == 'i' && want.size() == 1 && std::string("kghbpmnrtd").find(want) != std::string::npos)
            want += "y";
        if (want.rfind("ng", 0) == 0)
            want = "";
        const char* got = bank_consonant_of(k);
        EXPECT_EQ(got != nullptr ? got : "", want) << name_of(k);
    }
}

} // namespace
