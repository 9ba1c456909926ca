// What a voicebank maker hears, measured on every syllable of both voices:
// clean edges, no DC, one level, and a Japanese u where the voice has one;
// and the notes each voice holds.

#include "synth/espeak_voice.h"
#include "synth/hts_voice.h"
#include "synth/kana.h"
#include "synth/shaping.h"

#include "notes/notes.h"
#include "bank/syllables.h"
#include "resample/resample.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

constexpr double pi = 3.14159265358979323846;

struct measured {
    double held_db;    // held vowel's RMS against shaping_held_rms
    double dc;         // its Hann-weighted mean, LSB
    double start_db;   // first 1 ms of sound against the held RMS
    double end_db;     // last 5 ms of sound against the held RMS
    double f2;         // the strongest harmonic between 900 and 2600 Hz
};

double rms(const std::vector<int16_t>& s, size_t from, size_t to)
{
    double e = 0;
    for (size_t i = from; i < to; ++i)
        e += double(s[i]) * s[i];
    return to > from ? std::sqrt(e / (to - from)) : 0;
}

double db(double a, double b)
{
    return 20 * std::log10(std::fmax(a, 1e-9) / b);
}

// Amplitude of the harmonic at `hz` over s[from, to), Hann-windowed.
double harmonic(const std::vector<int16_t>& s, size_t from, size_t to, double hz, int rate)
{
    double re = 0, im = 0;
    const double n = double(to - from);
    for (size_t i = from; i < to; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * pi * (i - from) / n);
        re += w * s[i] * std::cos(2 * pi * hz * i / rate);
        im += w * s[i] * std::sin(2 * pi * hz * i / rate);
    }
    return std::hypot(re, im);
}

measured measure(const synth_image& im)
{
    const wav_file w = parse_wav(std::vector<uint8_t>(im.bytes, im.bytes + im.size));
    const std::vector<int16_t>& s = w.samples;
    const int rate = static_cast<int>(w.rate);
    const size_t h0 = im.marks[0].vowel_start + rate * 3 / 100, h1 = im.marks[0].steady_end;
    measured m{};
    const double held = rms(s, h0, h1);
    m.held_db = db(held, shaping_held_rms);
    double sum = 0, weights = 0;
    for (size_t i = h0; i < h1; ++i) {
        const double wt = 0.5 - 0.5 * std::cos(2 * pi * (i - h0) / double(h1 - h0));
        sum += wt * s[i];
        weights += wt;
    }
    m.dc = sum / weights;
    size_t a = 0, b = s.size();
    while (a < b && s[a] == 0)
        ++a;
    while (b > a && s[b - 1] == 0)
        --b;
    m.start_db = db(rms(s, a, a + rate / 1000), held);
    m.end_db = db(rms(s, b - rate / 200, b), held);
    double best = 0;
    for (double hz = 110; hz <= 2600; hz += 110) {
        const double amp = hz >= 900 ? harmonic(s, h0, h1, hz, rate) : 0;
        if (amp > best) {
            best = amp;
            m.f2 = hz;
        }
    }
    return m;
}

bool ends_in_u(const syllable& entry)
{
    mora m[max_morae];
    int count = 0;
    return kana_to_morae(entry.sjis, m, max_morae, &count) == synth_ok && count == 1 && m[0].vowel == 'u';
}

bool starts_soft(const syllable& entry)
{
    mora m[max_morae];
    int count = 0;
    return kana_to_morae(entry.sjis, m, max_morae, &count) == synth_ok && count >= 1 && onset_sonorant(m[0]);
}

TEST(Sound, EveryFileIsCleanAndEvenInBothVoices)
{
    const struct {
        const synth_voice* voice;
        bool japanese_u;  // its held u is unrounded, F2 1100 to 1700 Hz
    } voices[] = {{&espeak_voice, false}, {&hts_voice, true}};
    for (const auto& v : voices) {
        synth_engine* engine = nullptr;
        ASSERT_EQ(v.voice->open(&engine), synth_ok) << v.voice->name;
        double lowest = 1e9, highest = -1e9;
        for (const syllable* e = syllable_table; e->sjis != nullptr; ++e) {
            synth_image im{};
            ASSERT_EQ(v.voice->synthesize(engine, e->sjis, syllable_speed(*e, 70), synth_steady_f0, 0.0, &im), synth_ok) << e->name;
            const measured m = measure(im);
            v.voice->free_image(&im);
            const std::string where = std::string(v.voice->name) + " " + e->name;
            lowest = std::fmin(lowest, m.held_db);
            highest = std::fmax(highest, m.held_db);
            EXPECT_LT(std::fabs(m.dc), 10.0) << where << ": DC in the held vowel";
            EXPECT_LT(m.end_db, -20.0) << where << ": the sound stops at full level";
            if (starts_soft(*e)) {
                EXPECT_LT(m.start_db, -15.0) << where << ": the vowel or nasal starts with a click";
            }
            if (v.japanese_u && ends_in_u(*e)) {
                EXPECT_TRUE(m.f2 >= 1000 && m.f2 <= 1800) << where << ": u's F2 region peaks at " << m.f2 << " Hz";
            }
        }
        EXPECT_LT(highest, 1.5) << v.voice->name << ": held vowels above the target";
        EXPECT_GT(lowest, -1.5) << v.voice->name << ": held vowels below the target";
        v.voice->close(engine);
    }
}

// Every note of a voice's range is held at its pitch in the files: eSpeak
// holds only whole hertz and the HTS voice whole periods, and each image's
// rate makes up the difference (C2 made at 65 Hz is 10.8 cents flat unless
// it plays at 22188 Hz). The notes just outside are refused.
TEST(Sound, BothVoicesHoldEveryNoteOfTheirRange)
{
    const struct {
        const synth_voice* voice;
        int note;
        uint32_t rate;  // of its image
        int top;        // the voice's highest note
    } cases[] = {
        {&espeak_voice, 36, 22188, 70}, {&espeak_voice, 57, 22050, 70}, {&espeak_voice, 70, 22058, 70},
        {&hts_voice, 36, 32000, 72},    {&hts_voice, 57, 31900, 72},    {&hts_voice, 72, 31918, 72},
    };
    for (const auto& c : cases) {
        synth_engine* engine = nullptr;
        ASSERT_EQ(c.voice->open(&engine), synth_ok) << c.voice->name;
        const double f0 = note_frequency(c.note);
        for (const char* name : {"あ", "い", "か"}) {
            const std::string where = std::string(c.voice->name) + " " + name + " at " + std::to_string(f0) + " Hz";
            synth_image im{};
            ASSERT_EQ(c.voice->synthesize(engine, find_syllable(name)->sjis, 70, f0, 0.0, &im), synth_ok) << where;
            const wav_file w = parse_wav(std::vector<uint8_t>(im.bytes, im.bytes + im.size));
            EXPECT_EQ(w.rate, c.rate) << where;
            // In the file, at 44100 Hz: every 20 ms of the held vowel.
            int bytes = 0;
            int16_t* out = resample_wave(im.bytes, 44100, &bytes, 0);
            ASSERT_NE(out, nullptr);
            const std::vector<int16_t> s(out, out + bytes / 2);
            free(out);
            const double scale = 44100.0 / w.rate;
            const size_t from = (im.marks[0].vowel_start + w.rate / 20) * scale;
            const size_t to = (im.marks[0].steady_end - w.rate / 50) * scale;
            ASSERT_LT(from + 4410, to) << where;
            for (size_t at = from; at < to; at += 882) {
                const double cents = 1200 * std::log2(pitch_at(s, at, 44100, f0 / 1.4, f0 * 1.4) / f0);
                EXPECT_NEAR(cents, 0.0, 10.0) << where << " at " << at;
            }
            c.voice->free_image(&im);
        }
        for (int outside : {35, c.top + 1}) {
            synth_image im{};
            EXPECT_EQ(c.voice->synthesize(engine, find_syllable("あ")->sjis, 70, note_frequency(outside), 0.0, &im),
                      synth_error_bad_pitch)
                << c.voice->name << " note " << outside;
            EXPECT_EQ(im.bytes, nullptr);
        }
        c.voice->close(engine);
    }
}

} // namespace

namespace {

// Samples that are not numbers, or silence, come from damaged voice data:
// the shaping stage refuses them for both voices, and a sound passes.
TEST(Sound, ShapingRefusesWhatIsNotSound)
{
    constexpr int rate = 32000;
    constexpr size_t count = rate / 2;
    struct row {
        const char* why;
        double odd;  // put near the end, after the held part, unless 0
        bool silent;
        synth_error expected;
    } rows[] = {
        {"a vowel", 0.0, false, synth_ok},
        {"one sample not a number", std::nan(""), false, synth_error_no_voice_file},
        {"one sample infinite", INFINITY, false, synth_error_no_voice_file},
        {"silence", 0.0, true, synth_error_no_voice_file},
    };
    for (const row& c : rows) {
        std::vector<double> x(count);
        for (size_t i = 0; i < count; ++i)
            x[i] = c.silent ? 0.0 : 3000.0 * std::sin(2 * pi * 110.0 * static_cast<double>(i) / rate);
        if (c.odd != 0.0)
            x[count - 10] = c.odd;
        synth_marks marks{};
        marks.vowel_start = marks.glide_end = marks.voiced_start = rate / 10;
        marks.steady_end = marks.voiced_end = count - rate / 10;
        synth_image image{};
        EXPECT_EQ(shape_syllable(x.data(), count, rate, 110.0, marks, shaping_fade_in_sonorant, &image), c.expected)
            << c.why;
        EXPECT_EQ(image.bytes != nullptr, c.expected == synth_ok) << c.why << ": an image only of a sound";
        synth_release_image(&image);
    }
}

} // namespace
