#include "synth/hts_voice.h"

#include "synth/hts_labels.h"

#include "bank/syllables.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

// The voice's phonemes for a syllable, "+" marking the half-length murmur.
std::string phonemes_of(const char* name)
{
    mora m[max_morae];
    int count = 0;
    if (kana_to_morae(find_syllable(name)->sjis, m, max_morae, &count) != synth_ok || count != 1)
        return "<not one mora>";
    const char* p[hts_max_phonemes];
    int n = 0;
    bool half = false;
    if (hts_phonemes(m[0], p, &n, &half) != synth_ok)
        return "<refused>";
    std::string s = half ? "+" : "";
    for (int i = 0; i < n; ++i)
        s += (i ? " " : "") + std::string(p[i]);
    return s;
}

// One or two syllables of every group of the mapping.
TEST(Hts, EachGroupHasItsPhonemes)
{
    const struct {
        const char* name;
        const char* phonemes;
    } rows[] = {
        {"あ", "a"},        {"を", "o"},        {"いぇ", "y e"},      {"う", "u u"},      {"うぃ", "w i"},
        {"うぉ", "w o"},    {"か", "k a"},      {"きゃ", "ky a"},     {"きぇ", "ky e"},   {"が", "g a"},
        {"ぎょ", "gy o"},   {"カ゜", "+N a"},   {"キ゜ャ", "+N y a"}, {"キ゜ュ", "+N y u u"}, {"キ゜ェ", "+N y e"},
        {"さ", "s a"},      {"すぃ", "s i"},    {"ず", "z u u"},      {"ずぃ", "z i"},    {"し", "sh i"},
        {"しぇ", "sh e"},   {"じゃ", "j a"},    {"じぇ", "j e"},      {"て", "t e"},      {"てぃ", "t i"},
        {"とぅ", "t u u"},  {"でぃ", "d i"},    {"どぅ", "d u u"},    {"ち", "ch i"},     {"ちぇ", "ch e"},
        {"つ", "ts u u"},   {"つぉ", "ts o"},   {"てゅ", "ty u u"},   {"でゅ", "dy u u"}, {"に", "n i"},
        {"にぇ", "ny e"},   {"ひ", "h i"},      {"ほ", "h o"},        {"ひゃ", "hy a"},   {"ひぇ", "hy e"},
        {"ふ", "f u u"},    {"ふぁ", "f a"},    {"ぱ", "p a"},        {"ぴょ", "py o"},   {"みぇ", "my e"},
        {"りゅ", "ry u u"}, {"や", "y a"},      {"わ", "w a"},        {"ん", "N"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(phonemes_of(r.name), r.phonemes) << r.name;
    for (const syllable* s = syllable_table; s->sjis != nullptr; ++s)
        EXPECT_NE(phonemes_of(s->name)[0], '<') << s->name;
}

// The labels of か, as Open JTalk traces a word of one mora.
TEST(Hts, LabelsOfKa)
{
    const char* const ka[] = {"k", "a"};
    char lines[hts_max_phonemes + 2][hts_label_room];
    ASSERT_EQ(hts_labels(ka, 2, 1, lines), 4);
    const std::string inner =
        "/A:0+1+1/B:xx-xx_xx/C:09_xx+xx/D:xx+xx_xx/E:xx_xx!xx_xx-xx/F:1_1#0_xx@1_1|1_1/G:xx_xx%xx_xx_xx/H:xx_xx"
        "/I:1-1@1+1&1-1|1+1/J:xx_xx/K:1+1-1";
    EXPECT_EQ(std::string(lines[0]), "xx^xx-sil+k=a/A:xx+xx+xx/B:xx-xx_xx/C:xx_xx+xx/D:xx+xx_xx/E:xx_xx!xx_xx-xx"
                                     "/F:xx_xx#xx_xx@xx_xx|xx_xx/G:1_1%0_xx_xx/H:xx_xx/I:xx-xx@xx+xx&xx-xx|xx+xx"
                                     "/J:1_1/K:1+1-1");
    EXPECT_EQ(std::string(lines[1]), "xx^sil-k+a=sil" + inner);
    EXPECT_EQ(std::string(lines[2]), "sil^k-a+sil=xx" + inner);
    EXPECT_EQ(std::string(lines[3]), "k^a-sil+xx=xx/A:xx+xx+xx/B:xx-xx_xx/C:xx_xx+xx/D:xx+xx_xx/E:1_1!0_xx-xx"
                                     "/F:xx_xx#xx_xx@xx_xx|xx_xx/G:xx_xx%xx_xx_xx/H:1_1/I:xx-xx@xx+xx&xx-xx|xx+xx"
                                     "/J:xx_xx/K:1+1-1");
}

// Each vowel and N closes a mora: the held u of a long u is the second mora,
// with u on its left (the voice holds that u voiced and unrounded), and the
// nasal g's murmur is a mora of its own.
TEST(Hts, LabelsCountTheMorae)
{
    const struct {
        const char* phonemes[hts_max_phonemes];
        int count, line;
        const char* starts;
    } rows[] = {
        {{"s", "u", "u"}, 3, 3, "s^u-u+sil=xx/A:1+2+1/"},
        {{"u", "u"}, 2, 1, "xx^sil-u+u=sil/A:0+1+2/"},
        {{"N", "a"}, 2, 1, "xx^sil-N+a=sil/A:0+1+2/"},
        {{"N", "y", "u", "u"}, 4, 2, "sil^N-y+u=u/A:1+2+2/"},
        {{"N"}, 1, 1, "xx^sil-N+sil=xx/A:0+1+1/"},
    };
    for (const auto& r : rows) {
        char lines[hts_max_phonemes + 2][hts_label_room];
        ASSERT_EQ(hts_labels(r.phonemes, r.count, 1, lines), r.count + 2) << r.starts;
        EXPECT_EQ(std::string(lines[r.line]).rfind(r.starts, 0), 0u) << lines[r.line];
    }
}

// A string's labels: one flat accent phrase (type 0), whose nucleus Open
// JTalk counts at its last mora, here the third of a k a N.
TEST(Hts, LabelsOfAFlatPhrase)
{
    const char* const akan[] = {"a", "k", "a", "N"};
    char lines[6][hts_label_room];
    ASSERT_EQ(hts_labels(akan, 4, 0, lines), 6);
    const char* const starts[] = {
        "xx^xx-sil+a=k/A:xx+xx+xx/", "xx^sil-a+k=a/A:-2+1+3/", "sil^a-k+a=N/A:-1+2+2/",
        "a^k-a+N=sil/A:-1+2+2/",     "k^a-N+sil=xx/A:0+3+1/",  "a^N-sil+xx=xx/A:xx+xx+xx/",
    };
    for (int i = 0; i < 6; ++i) {
        const std::string line = lines[i];
        EXPECT_EQ(line.rfind(starts[i], 0), 0u) << line;
        if (i > 0 && i < 5) {
            EXPECT_NE(line.find("/F:3_3#0_xx@1_1|1_3/"), std::string::npos) << line;
        }
    }
    EXPECT_NE(std::string(lines[0]).find("/G:3_3%0_xx_xx/"), std::string::npos) << lines[0];
    EXPECT_NE(std::string(lines[5]).find("/E:3_3!0_xx-xx/"), std::string::npos) << lines[5];
}

// Every syllable's labels as the CV set gives them, pinned by a digest
// (FNV-1a over every line, each ended by a line feed, in table order): the
// labels pick the voice's models, so a change here is a change of sound.
TEST(Hts, LabelsOfEverySyllableArePinned)
{
    uint64_t digest = 14695981039346656037u;
    int lines_seen = 0;
    for (const syllable* s = syllable_table; s->sjis != nullptr; ++s) {
        mora m[max_morae];
        int count = 0;
        ASSERT_EQ(kana_to_morae(s->sjis, m, max_morae, &count), synth_ok);
        hts_mora_labels labels;
        ASSERT_EQ(hts_label_mora(m[0], &labels), synth_ok) << s->name;
        for (int i = 0; i < labels.line_count; ++i, ++lines_seen) {
            for (const char* c = labels.lines[i]; *c != 0; ++c)
                digest = (digest ^ static_cast<unsigned char>(*c)) * 1099511628211u;
            digest = (digest ^ '\n') * 1099511628211u;
        }
    }
    EXPECT_EQ(lines_seen, 595);
    EXPECT_EQ(digest, 5388540069175507879u) << "the labels of some syllable changed: LabelsOfKa and LabelsCountTheMorae may show which";
}

struct rendered {
    std::vector<int16_t> samples;
    size_t vowel_start, steady_end;  // as the image says
};

rendered render(synth_engine* engine, const char* name, int speed)
{
    synth_image im{};
    EXPECT_EQ(hts_voice.synthesize(engine, find_syllable(name)->sjis, speed, synth_steady_f0, 0.0, &im), synth_ok) << name;
    const wav_file w = parse_wav(std::vector<uint8_t>(im.bytes, im.bytes + im.size));
    const rendered r = {w.samples, im.marks[0].vowel_start, im.marks[0].steady_end};
    hts_voice.free_image(&im);
    EXPECT_TRUE(w.valid && w.rate == 32000 && w.channels == 1 && w.bits == 16) << name;
    return r;
}

// The engine itself: lengths follow the speed, the held vowel is long and
// steady at 110 Hz, the edges are quiet, and the same syllable gives the
// same bytes whatever came before.
TEST(Hts, SyllablesAreSteadyQuietAtTheEdgesAndRepeatable)
{
    synth_engine* engine = nullptr;
    ASSERT_EQ(hts_voice.open(&engine), synth_ok) << (hts_voice.failure() ? hts_voice.failure() : "");
    const int rate = 32000, edge = rate / 200;  // 5 ms
    for (const char* name : {"か", "さ", "う", "キ゜ャ", "ん", "ふぁ"}) {
        size_t previous = SIZE_MAX;
        for (int speed = synth_min_speed; speed <= synth_max_speed; speed += 25) {
            const rendered r = render(engine, name, speed);
            EXPECT_LT(r.steady_end, previous) << name << " at speed " << speed;
            previous = r.steady_end;
        }
        const rendered r = render(engine, name, 70);
        const std::vector<int16_t>& s = r.samples;
        for (size_t i = 0; i < static_cast<size_t>(edge); ++i) {
            ASSERT_LT(std::abs(s[i]), 328) << name << ": below -40 dBFS at the start";
            ASSERT_LT(std::abs(s[s.size() - 1 - i]), 328) << name << ": below -40 dBFS at the end";
        }
        // The held vowel, from 50 ms after its start to its steady end.
        ASSERT_GT(r.steady_end, r.vowel_start + rate * 30 / 100) << name << ": held 300 ms";
        for (size_t c = r.vowel_start + rate / 20; c + rate / 50 < r.steady_end; c += rate / 20)
            EXPECT_NEAR(1200 * std::log2(pitch_at(s, c, rate) / 110.0), 0.0, 10.0) << name << " at " << c;
        render(engine, "ぎゅ", 133);  // something else in between
        EXPECT_EQ(render(engine, name, 70).samples, s) << name;
    }
    // A vowel alone starts where its consonant would.
    for (const char* name : {"あ", "い", "う", "え", "お", "ん"}) {
        synth_image im{};
        ASSERT_EQ(hts_voice.synthesize(engine, find_syllable(name)->sjis, 70, synth_steady_f0, 0.0, &im), synth_ok);
        EXPECT_EQ(im.marks[0].consonant_start, im.marks[0].vowel_start) << name;
        EXPECT_LT(im.marks[0].vowel_start, im.marks[0].steady_end) << name;
        hts_voice.free_image(&im);
    }
    hts_voice.close(engine);
}

} // namespace
