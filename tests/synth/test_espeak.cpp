#include "synth/synth.h"

#include "driver/driver.h"
#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct image {
    bool ok;
    int code;  // the error code, or the size
    std::vector<uint8_t> bytes;
};

image synth(const char* text, int speed)
{
    int size = 0;
    unsigned char* p = AquesTalk_Synthe(text, speed, &size);
    image r{p != nullptr, size, {}};
    if (p) {
        r.bytes.assign(p, p + size);
        AquesTalk_FreeWave(p);
    }
    return r;
}

// What eSpeak reported, without the pauses.
std::string spoken_phonemes()
{
    std::istringstream in(synth_reported_phonemes());
    std::string word, out;
    while (in >> word) {
        if (word[0] == '_' && (word.size() == 1 || word[1] == ':' || word[1] == '!'))
            continue;
        out += (out.empty() ? "" : " ") + word;
    }
    return out;
}

// The phonemes each table entry must be spoken with, written by hand.
const char* const expected_phonemes[syllable_count] = {
    "a", "i", "j e", "u", "w i", "w e", "w o", "e", "o", "k a",
    "g a", "N a", "k i", "g i", "N i", "k _j e", "g _j e", "N _j e", "k _j a", "g _j a",
    "N _j a", "k _j u", "g _j u", "N _j u", "k _j o", "g _j o", "N _j o", "k u", "g u", "N u",
    "k e", "g e", "N e", "k o", "g o", "N o", "s a", "z a", "s\\ i", "d_z\\ i",
    "d_z\\ e", "d_z\\ a", "d_z\\ u", "d_z\\ o", "s\\ e", "s\\ a", "s\\ u", "s\\ o", "s u", "z u",
    "s i", "z i", "s e", "z e", "s o", "z o", "t a", "d a", "t_s\\ i", "t_s\\ e",
    "t_s\\ a", "t_s\\ u", "t_s\\ o", "t_s u", "t_s a", "t_s i", "t_s e", "t_s o", "t e", "d e",
    "t i", "d i", "t _j u", "d _j u", "t o", "d o", "t u", "d u", "n a", "n i",
    "n _j e", "n _j a", "n _j u", "n _j o", "n u", "n e", "n o", "h a", "b a", "p a",
    "C i", "b i", "p i", "C e", "b _j e", "p _j e", "C a", "b _j a", "p _j a", "C u",
    "b _j u", "p _j u", "C o", "b _j o", "p _j o", "p\\ u", "b u", "p u", "p\\ a", "p\\ i",
    "p\\ e", "p\\ o", "h e", "b e", "p e", "h o", "b o", "p o", "m a", "m i",
    "m _j e", "m _j a", "m _j u", "m _j o", "m u", "m e", "m o", "j a", "j u", "j o",
    "r` a", "r` i", "r` _j e", "r` _j a", "r` _j u", "r` _j o", "r` u", "r` e", "r` o", "w a",
    "o", "m-",
};

std::vector<int16_t> samples_of(const image& im)
{
    return parse_wav(im.bytes).samples;
}

TEST(Espeak, EveryEntryIsSpokenWithItsPhonemes)
{
    for (int i = 0; i < syllable_count; ++i) {
        const image im = synth(syllable_table[i], 100);
        ASSERT_TRUE(im.ok) << "entry " << i + 1 << " code " << im.code;
        EXPECT_EQ(spoken_phonemes(), expected_phonemes[i]) << "entry " << i + 1;
    }
}

TEST(Espeak, ImagesAreCanonical16BitMono)
{
    for (int i = 0; i < syllable_count; ++i) {
        const image im = synth(syllable_table[i], 70);
        ASSERT_TRUE(im.ok);
        const wav_file w = parse_wav(im.bytes);
        ASSERT_TRUE(w.valid) << "entry " << i + 1;
        EXPECT_EQ(im.code, static_cast<int>(im.bytes.size()));
        EXPECT_EQ(w.rate, 22050u);
        EXPECT_EQ(w.channels, 1);
        EXPECT_EQ(w.bits, 16);
        EXPECT_EQ(w.block_align, 2);
        EXPECT_GT(w.samples.size(), 1000u) << "entry " << i + 1 << " was cut short";
    }
}

TEST(Espeak, SameTextSameBytesWhateverCameBefore)
{
    std::vector<std::vector<uint8_t>> first;
    for (int i = 0; i < syllable_count; ++i)
        first.push_back(synth(syllable_table[i], 70).bytes);
    for (int i = syllable_count - 1; i >= 0; --i) {
        synth(syllable_table[(i * 37) % syllable_count], 50 + i);  // something else in between
        EXPECT_EQ(synth(syllable_table[i], 70).bytes, first[i]) << "entry " << i + 1;
    }
}

TEST(Espeak, RefusalsCarryTheirCodes)
{
    const std::string too_long(static_cast<size_t>(synth_max_text_bytes) + 2, '\x82');
    const std::string longest = [] {
        std::string s;
        while (s.size() + 2 <= static_cast<size_t>(synth_max_text_bytes))
            s += "\x82\xA0";
        return s;
    }();
    struct row {
        const char* why;
        const char* text;
        int speed, code;
    } rows[] = {
        {"empty text", "", 100, synth_error_empty_text},
        {"null text", nullptr, 100, synth_error_empty_text},
        {"ASCII", "ka", 100, synth_error_bad_text},
        {"kanji", "\x88\x9F", 100, synth_error_bad_text},
        {"lone lead byte", "\x82", 100, synth_error_bad_text},
        {"speed below", "\x82\xA0", synth_min_speed - 1, synth_error_bad_speed},
        {"speed above", "\x82\xA0", synth_max_speed + 1, synth_error_bad_speed},
        {"speed INT_MIN", "\x82\xA0", INT_MIN, synth_error_bad_speed},
        {"speed INT_MAX", "\x82\xA0", INT_MAX, synth_error_bad_speed},
        {"text too long", too_long.c_str(), 100, synth_error_text_too_long},
    };
    for (const row& r : rows) {
        const image im = synth(r.text, r.speed);
        EXPECT_FALSE(im.ok) << r.why;
        EXPECT_EQ(im.code, r.code) << r.why;
    }
    EXPECT_TRUE(synth(longest.c_str(), synth_max_speed).ok) << "the longest text is accepted";
    EXPECT_TRUE(synth("\x82\xA0", synth_min_speed).ok);
    EXPECT_TRUE(synth("\x82\xA0", synth_max_speed).ok);
}

TEST(Espeak, MissingVoiceDataIsAnErrorCodeNotAnExit)
{
    const std::string empty = make_temp_dir();
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("ESPEAK_DATA_PATH", empty.c_str(), 1);
        int code1 = 0, code2 = 0;
        unsigned char* a = AquesTalk_Synthe("\x82\xA0", 100, &code1);
        unsigned char* b = AquesTalk_Synthe("\x82\xA9", 100, &code2);
        _exit(a == nullptr && b == nullptr && code1 == synth_error_no_engine &&
                      code2 == synth_error_no_engine
                  ? 42
                  : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    remove_tree(empty);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 42) << "both calls must fail with synth_error_no_engine";
}

TEST(Espeak, LengthFallsAsTheSpeedRises)
{
    for (int i = 0; i < syllable_count; ++i) {
        size_t previous = SIZE_MAX;
        for (int speed = synth_min_speed; speed <= synth_max_speed; speed += 25) {
            const image im = synth(syllable_table[i], speed);
            ASSERT_TRUE(im.ok);
            EXPECT_LT(im.bytes.size(), previous) << "entry " << i + 1 << " at speed " << speed;
            previous = im.bytes.size();
        }
    }
}

// Period of the waveform around `centre` by autocorrelation over 60-400 Hz.
double pitch_at(const std::vector<int16_t>& s, size_t centre, int rate)
{
    const int window = 1024;
    const size_t start = centre - window / 2;
    int best_lag = 0;
    double best = -1;
    for (int lag = rate / 400; lag <= rate / 60; ++lag) {
        double num = 0, e1 = 0, e2 = 0;
        for (int k = 0; k < window; ++k) {
            const double a = s[start + k], b = s[start + k + lag];
            num += a * b;
            e1 += a * a;
            e2 += b * b;
        }
        const double r = num / std::sqrt(e1 * e2 + 1e-9);
        if (r > best) {
            best = r;
            best_lag = lag;
        }
    }
    return static_cast<double>(rate) / best_lag;
}

TEST(Espeak, PitchIsSteadyOverTheVowel)
{
    for (int i = 0; i < syllable_count; ++i) {
        const std::vector<int16_t> s = samples_of(synth(syllable_table[i], 70));
        // The last 60 % before the trailing silence is vowel (or the nasal).
        size_t last = s.size();
        while (last > 0 && std::abs(s[last - 1]) < 200)
            --last;
        ASSERT_GT(last, 6000u) << "entry " << i + 1;
        const size_t from = last * 2 / 5, to = last - 1500;
        for (size_t c = from; c < to; c += 700) {
            const double f0 = pitch_at(s, c, 22050);
            EXPECT_NEAR(f0, 110.0, 1.5) << "entry " << i + 1 << " at sample " << c;
        }
    }
}

// The moraic nasal must last longer when slower and keep its level: no
// stretch of it may fall well below the level before and after it.
TEST(Espeak, MoraicNasalIsSustained)
{
    const char* n = "\x82\xF1";
    size_t previous = SIZE_MAX;
    for (int speed : {50, 70, 100, 150, 200, 300}) {
        const std::vector<int16_t> s = samples_of(synth(n, speed));
        EXPECT_LT(s.size(), previous) << "speed " << speed;
        previous = s.size();

        const size_t win = 401;  // about two periods at 110 Hz
        std::vector<double> level;
        for (size_t k = 0; k + win <= s.size(); k += win) {
            double e = 0;
            for (size_t q = 0; q < win; ++q)
                e += double(s[k + q]) * s[k + q];
            level.push_back(std::sqrt(e / win));
        }
        // Only the sounding part: above a quarter of the peak.
        const double peak = *std::max_element(level.begin(), level.end());
        size_t a = 0, b = level.size();
        while (a < b && level[a] < peak / 4)
            ++a;
        while (b > a && level[b - 1] < peak / 4)
            --b;
        for (size_t k = a + 1; k + 1 < b; ++k) {
            const double before = *std::max_element(level.begin() + a, level.begin() + k);
            const double after = *std::max_element(level.begin() + k + 1, level.begin() + b);
            EXPECT_GT(level[k], 0.9 * std::min(before, after)) << "dip at window " << k << ", speed " << speed;
        }
    }
    EXPECT_GT(samples_of(synth(n, 50)).size(), 22050u * 4 / 10) << "at least 0.4 s at speed 50";
}

} // namespace
