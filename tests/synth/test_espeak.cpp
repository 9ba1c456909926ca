#include "synth/espeak_voice.h"

#include "bank/syllables.h"
#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct image {
    bool ok;
    int code;  // synth_ok or the error code
    std::vector<uint8_t> bytes;
    size_t timed;  // samples from the consonant's start to the vowel's steady end
};

image synth(const char* text, int speed, double f0 = synth_steady_f0)
{
    synth_engine* engine = nullptr;
    synth_error code = espeak_voice.open(&engine);
    synth_image im{};
    if (code == synth_ok)
        code = espeak_voice.synthesize(engine, text, speed, f0, 0.0, &im);
    image r{code == synth_ok, code, {}, 0};
    if (code == synth_ok) {
        r.bytes.assign(im.bytes, im.bytes + im.size);
        r.timed = im.marks[0].steady_end - im.marks[0].consonant_start;
        espeak_voice.free_image(&im);
    }
    EXPECT_EQ(im.bytes, nullptr) << "an image handed back is left empty";
    espeak_voice.close(engine);
    return r;
}

// What eSpeak reported, without the pauses and switches of phoneme table.
std::string spoken_phonemes()
{
    std::istringstream in(espeak_reported_phonemes());
    std::string word, out;
    while (in >> word) {
        if ((word[0] == '_' && (word.size() == 1 || word[1] == ':' || word[1] == '!')) || word[0] == '(')
            continue;
        out += (out.empty() ? "" : " ") + word;
    }
    return out;
}

// The phonemes each syllable must be spoken with, written by hand.
const struct {
    const char* name;
    const char* phonemes;
} expected_phonemes[] = {
    {"あ", "a"}, {"い", "i"}, {"いぇ", "i e"}, {"う", "u"}, {"うぃ", "w i"}, {"うぇ", "w e"}, {"うぉ", "w o"},
    {"え", "e"}, {"お", "o"}, {"か", "k a"}, {"が", "g a"}, {"カ゜", "N a"}, {"き", "k i"}, {"ぎ", "g i"},
    {"キ゜", "N i"}, {"きぇ", "k i e"}, {"ぎぇ", "g i e"}, {"キ゜ェ", "N i e"}, {"きゃ", "k i a"},
    {"ぎゃ", "g i a"}, {"キ゜ャ", "N i a"}, {"きゅ", "k i u"}, {"ぎゅ", "g i u"}, {"キ゜ュ", "N i u"},
    {"きょ", "k i o"}, {"ぎょ", "g i o"}, {"キ゜ョ", "N i o"}, {"く", "k u"}, {"ぐ", "g u"}, {"ク゜", "N u"},
    {"け", "k e"}, {"げ", "g e"}, {"ケ゜", "N e"}, {"こ", "k o"}, {"ご", "g o"}, {"コ゜", "N o"}, {"さ", "s a"},
    {"ざ", "z a"}, {"し", "s\\ i"}, {"じ", "d_z\\ i"}, {"じぇ", "d_z\\ e"}, {"じゃ", "d_z\\ a"}, {"じゅ", "d_z\\ u"},
    {"じょ", "d_z\\ o"}, {"しぇ", "s\\ e"}, {"しゃ", "s\\ a"}, {"しゅ", "s\\ u"}, {"しょ", "s\\ o"}, {"す", "s u"},
    {"ず", "z u"}, {"すぃ", "s i"}, {"ずぃ", "z i"}, {"せ", "s e"}, {"ぜ", "z e"}, {"そ", "s o"}, {"ぞ", "z o"},
    {"た", "t a"}, {"だ", "d a"}, {"ち", "t_s\\ i"}, {"ちぇ", "t_s\\ e"}, {"ちゃ", "t_s\\ a"}, {"ちゅ", "t_s\\ u"},
    {"ちょ", "t_s\\ o"}, {"つ", "t_s u"}, {"つぁ", "t_s a"}, {"つぃ", "t_s i"}, {"つぇ", "t_s e"}, {"つぉ", "t_s o"},
    {"て", "t e"}, {"で", "d e"}, {"てぃ", "t i"}, {"でぃ", "d i"}, {"てゅ", "t i u"}, {"でゅ", "d i u"},
    {"と", "t o"}, {"ど", "d o"}, {"とぅ", "t u"}, {"どぅ", "d u"}, {"な", "n a"}, {"に", "n i"}, {"にぇ", "n i e"},
    {"にゃ", "n i a"}, {"にゅ", "n i u"}, {"にょ", "n i o"}, {"ぬ", "n u"}, {"ね", "n e"}, {"の", "n o"},
    {"は", "h a"}, {"ば", "b a"}, {"ぱ", "p a"}, {"ひ", "C i"}, {"び", "b i"}, {"ぴ", "p i"}, {"ひぇ", "C e"},
    {"びぇ", "b i e"}, {"ぴぇ", "p i e"}, {"ひゃ", "C a"}, {"びゃ", "b i a"}, {"ぴゃ", "p i a"}, {"ひゅ", "C u"},
    {"びゅ", "b i u"}, {"ぴゅ", "p i u"}, {"ひょ", "C o"}, {"びょ", "b i o"}, {"ぴょ", "p i o"}, {"ふ", "p\\ u"},
    {"ぶ", "b u"}, {"ぷ", "p u"}, {"ふぁ", "p\\ a"}, {"ふぃ", "p\\ i"}, {"ふぇ", "p\\ e"}, {"ふぉ", "p\\ o"},
    {"へ", "h e"}, {"べ", "b e"}, {"ぺ", "p e"}, {"ほ", "h o"}, {"ぼ", "b o"}, {"ぽ", "p o"}, {"ま", "m a"},
    {"み", "m i"}, {"みぇ", "m i e"}, {"みゃ", "m i a"}, {"みゅ", "m i u"}, {"みょ", "m i o"}, {"む", "m u"},
    {"め", "m e"}, {"も", "m o"}, {"や", "i a"}, {"ゆ", "i u"}, {"よ", "i o"}, {"ら", "r` a"}, {"り", "r` i"},
    {"りぇ", "r` i e"}, {"りゃ", "r` i a"}, {"りゅ", "r` i u"}, {"りょ", "r` i o"}, {"る", "r` u"},
    {"れ", "r` e"}, {"ろ", "r` o"}, {"わ", "w a"}, {"を", "o"}, {"ん", "N-"},
};

std::vector<int16_t> samples_of(const image& im)
{
    return parse_wav(im.bytes).samples;
}

TEST(Espeak, EveryEntryIsSpokenWithItsPhonemes)
{
    ASSERT_EQ(std::size(expected_phonemes), size_t{syllable_count}) << "one row per entry";
    for (const auto& row : expected_phonemes) {
        const syllable* entry = find_syllable(row.name);
        ASSERT_NE(entry, nullptr) << row.name;
        const image im = synth(entry->sjis, 100);
        ASSERT_TRUE(im.ok) << row.name << " code " << im.code;
        EXPECT_EQ(spoken_phonemes(), row.phonemes) << row.name;
    }
}

// The timings come from the phoneme events: a vowel alone starts where its
// consonant would, a consonant before its vowel, the steady part after both.
TEST(Espeak, TimingsFollowThePhonemes)
{
    synth_engine* engine = nullptr;
    ASSERT_EQ(espeak_voice.open(&engine), synth_ok);
    for (const syllable* s = syllable_table; s->sjis != nullptr; ++s) {
        synth_image im{};
        ASSERT_EQ(espeak_voice.synthesize(engine, s->sjis, 70, synth_steady_f0, 0.0, &im), synth_ok);
        const bool vowel_alone = std::string("あいうえおをん").find(s->name) != std::string::npos;
        if (vowel_alone)
            EXPECT_EQ(im.marks[0].consonant_start, im.marks[0].vowel_start) << s->name;
        else
            EXPECT_LT(im.marks[0].consonant_start, im.marks[0].vowel_start) << s->name;
        EXPECT_LT(im.marks[0].vowel_start, im.marks[0].steady_end) << s->name;
        EXPECT_LE(im.marks[0].steady_end, (im.size - 44) / 2) << s->name;
        espeak_voice.free_image(&im);
    }
    espeak_voice.close(engine);
}

TEST(Espeak, ImagesAreCanonical16BitMono)
{
    for (int i = 0; i < syllable_count; ++i) {
        const image im = synth(syllable_table[i].sjis, 70);
        ASSERT_TRUE(im.ok);
        const wav_file w = parse_wav(im.bytes);
        ASSERT_TRUE(w.valid) << "entry " << i + 1;
        EXPECT_EQ(w.rate, static_cast<uint32_t>(espeak_sampling_rate));
        EXPECT_EQ(w.channels, 1);
        EXPECT_EQ(w.bits, 16);
        EXPECT_EQ(w.block_align, 2);
        EXPECT_GT(w.samples.size(), 1000u) << "entry " << i + 1 << " was cut short";
    }
}

// Also at the top of the voice's range, where eSpeak stops being so (from
// B4 up): the workers of a run share the table as it comes.
TEST(Espeak, SameTextSameBytesWhateverCameBefore)
{
    for (const double f0 : {synth_steady_f0, espeak_voice.highest_f0}) {
        std::vector<std::vector<uint8_t>> first;
        for (int i = 0; i < syllable_count; ++i)
            first.push_back(synth(syllable_table[i].sjis, 70, f0).bytes);
        for (int i = syllable_count - 1; i >= 0; --i) {
            synth(syllable_table[(i * 37) % syllable_count].sjis, 50 + i, f0);  // something else in between
            EXPECT_EQ(synth(syllable_table[i].sjis, 70, f0).bytes, first[i]) << "entry " << i + 1 << " at " << f0;
        }
    }
}

// From speed 172 eSpeak speeds its speech up, through a stream it keeps
// between calls; its first such call in a process (いぇ, や and other glides)
// once differed from the same call made later, so which worker made what
// changed a run's bytes. Each row runs in a process of its own (the
// "threadsafe" death test style starts the test binary anew), so that its
// first call is the process's first.
TEST(Espeak, FirstSpedUpCallGivesWhatLaterOnesGive)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* name;
        int speed;
    } rows[] = {{"いぇ", 300}, {"や", 172}};
    for (const auto& r : rows) {
        EXPECT_EXIT(
            {
                const char* text = find_syllable(r.name)->sjis;
                const std::vector<uint8_t> first = synth(text, r.speed).bytes;
                synth(find_syllable("あ")->sjis, r.speed);
                _exit(!first.empty() && synth(text, r.speed).bytes == first ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << r.name << " at speed " << r.speed;
    }
}

// The engines after the first are worker processes: each gives what the
// engine in this process gives, images, marks and refusals alike.
TEST(Espeak, WorkerProcessesGiveWhatTheEngineHereGives)
{
    synth_engine* engines[3] = {};
    for (synth_engine*& e : engines)
        ASSERT_EQ(espeak_voice.open(&e), synth_ok);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), 0) << "no worker process";
    struct request {
        std::string text;
        bool null;
        int speed;
        double beat;
    };
    std::vector<request> requests;
    for (const syllable* s = syllable_table; s->sjis != nullptr; ++s)
        requests.push_back({s->sjis, false, syllable_speed(*s, 70), 0.0});
    // Strings, whose marks are one a mora.
    std::string string;
    for (const char* name : {"あ", "か", "あ", "きゃ", "あ", "ん", "な"}) {
        string += find_syllable(name)->sjis;
        requests.push_back({string, false, 70, 0.375});
    }
    std::string longest;
    while (longest.size() + 2 <= static_cast<size_t>(synth_max_text_bytes))
        longest += "\x82\xA9";
    requests.push_back({longest, false, synth_min_speed, 0.0});
    requests.push_back({longest + "\x82\xA9", false, 100, 0.0});  // too long, cut in the request
    requests.push_back({"", true, 100, 0.0});
    requests.push_back({"\x82\xA0", false, synth_max_speed + 1, 0.0});
    requests.push_back({"\x82\xA0", false, 100, -1.0});
    for (const request& r : requests) {
        synth_image im[3] = {};
        synth_error code[3];
        for (int e = 0; e < 3; ++e)
            code[e] = espeak_voice.synthesize(engines[e], r.null ? nullptr : r.text.c_str(), r.speed, synth_steady_f0, r.beat,
                                              &im[e]);
        for (int e = 1; e < 3; ++e) {
            SCOPED_TRACE("engine " + std::to_string(e) + ", " + std::to_string(r.text.size()) + " bytes at speed " +
                         std::to_string(r.speed) + ", beat " + std::to_string(r.beat));
            EXPECT_EQ(code[e], code[0]);
            EXPECT_EQ(im[e].size, im[0].size);
            EXPECT_TRUE(im[e].size == im[0].size && (im[0].size == 0 || memcmp(im[e].bytes, im[0].bytes, im[0].size) == 0));
            EXPECT_EQ(im[e].mora_count, im[0].mora_count);
            EXPECT_EQ(memcmp(&im[e].marks, &im[0].marks, sizeof im[0].marks), 0);
        }
        for (synth_image& i : im)
            espeak_voice.free_image(&i);
    }
    for (synth_engine* e : engines)
        espeak_voice.close(e);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a worker process was left behind";
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
        const image a = synth("\x82\xA0", 100);
        const image b = synth("\x82\xA9", 100);
        _exit(!a.ok && !b.ok && a.code == synth_error_no_engine && b.code == synth_error_no_engine ? 42 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    remove_tree(empty);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 42) << "both calls must fail with synth_error_no_engine";
}

// From 250 on eSpeak hardly shortens a syllable any more, so the steps are 50.
TEST(Espeak, LengthFallsAsTheSpeedRises)
{
    for (int i = 0; i < syllable_count; ++i) {
        size_t previous = SIZE_MAX;
        for (int speed = synth_min_speed; speed <= synth_max_speed; speed += 50) {
            const image im = synth(syllable_table[i].sjis, speed);
            ASSERT_TRUE(im.ok);
            EXPECT_LT(im.timed, previous) << "entry " << i + 1 << " at speed " << speed;
            previous = im.timed;
        }
    }
}

TEST(Espeak, PitchIsSteadyOverTheVowel)
{
    for (int i = 0; i < syllable_count; ++i) {
        const std::vector<int16_t> s = samples_of(synth(syllable_table[i].sjis, 70));
        // The last 60 % before the trailing silence is vowel (or the nasal).
        size_t last = s.size();
        while (last > 0 && std::abs(s[last - 1]) < 200)
            --last;
        ASSERT_GT(last, 6000u) << "entry " << i + 1;
        const size_t from = last * 2 / 5, to = last - 1500;
        for (size_t c = from; c < to; c += 700) {
            const double f0 = pitch_at(s, c, espeak_sampling_rate);
            EXPECT_NEAR(f0, 110.0, 1.5) << "entry " << i + 1 << " at sample " << c;
        }
    }
}

// The moraic nasal must last longer when slower and keep its level: no
// stretch of it may fall well below the level before and after it.
TEST(Espeak, MoraicNasalIsSustained)
{
    const char* n = find_syllable("ん")->sjis;
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
