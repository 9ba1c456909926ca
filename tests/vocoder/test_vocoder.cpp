// The vocoder against the HTS engine's own, on the parameters the engine
// generates for real syllables: the same doubles, bit for bit, on every
// instruction-set path. Then every fast path against the plain loops on
// made-up frames that reach the corners (long frames, a wrapping line,
// voicing flipping, F0 past the engine's limits, orders and tap counts at
// the limits): the filter feeds back, so a single differing bit anywhere
// stays in the output.
#include "vocoder/vocoder.h"

#include "bank/syllables.h"
#include "resample/every_path.h"
#include "synth/hts_frames.h"
#include "synth/hts_labels.h"
#include "synth/hts_voice.h"

#include <HTS_engine.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The frames the engine generated, as the vocoder takes them.
struct engine_frames {
    std::vector<const double*> mcep, lpf;
    std::vector<double> lf0;
    vocoder_frames frames;
    size_t voiced;
};

engine_frames frames_of(HTS_Engine* e)
{
    engine_frames f{};
    const size_t count = e->pss.total_frame;
    f.mcep.resize(count);
    f.lpf.resize(count);
    f.lf0.resize(count);
    f.frames = hts_vocoder_frames(e->pss, f.mcep.data(), f.lpf.data(), f.lf0.data());
    f.voiced = static_cast<size_t>(std::count_if(f.lf0.begin(), f.lf0.end(), [](double v) { return v != vocoder_unvoiced; }));
    return f;
}

// The index of the first sample that differs in any bit, or -1.
long first_difference(const double* a, const double* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (memcmp(a + i, b + i, sizeof(double)) != 0)
            return static_cast<long>(i);
    }
    return -1;
}

class AgainstEngine : public EveryPath {};
INSTANTIATE_TEST_SUITE_P(Levels, AgainstEngine, ::testing::Values(isa_baseline, isa_avx2, isa_avx512));

TEST_P(AgainstEngine, SameDoublesAsTheEnginesVocoder)
{
    const struct {
        const char* name;
        int rate;        // the engine's rate; the frame period follows
        double alpha;
        double volume_db;
        const char* why;
    } rows[] = {
        {"か", 32000, 0.50, 0, "unvoiced onset, as the voice runs"},
        {"さ", 32000, 0.50, 0, "a long fricative: noise through the filter"},
        {"が", 32000, 0.50, 0, "voiced onset"},
        {"ん", 32000, 0.50, 0, "the nasal alone"},
        {"や", 32000, 0.50, 0, "a glide"},
        {"ぴょ", 48000, 0.55, 0, "the voice's own rate and constant"},
        {"わ", 32000, 0.50, -6, "a volume other than 1"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.name) + ": " + r.why);
        HTS_Engine e;
        HTS_Engine_initialize(&e);
        char* voices[1] = {const_cast<char*>(hts_voice_path)};
        ASSERT_EQ(HTS_Engine_load(&e, voices, 1), TRUE) << hts_voice_path;
        const size_t period = HTS_Engine_get_fperiod(&e) * static_cast<size_t>(r.rate) /
                              HTS_Engine_get_sampling_frequency(&e);
        HTS_Engine_set_sampling_frequency(&e, static_cast<size_t>(r.rate));
        HTS_Engine_set_fperiod(&e, period);
        HTS_Engine_set_alpha(&e, r.alpha);
        HTS_Engine_set_volume(&e, r.volume_db);

        mora m[max_morae];
        int count = 0;
        ASSERT_EQ(kana_to_morae(find_syllable(r.name)->sjis, m, max_morae, &count), synth_ok);
        hts_mora_labels labels;
        ASSERT_EQ(hts_label_mora(m[0], &labels), synth_ok);
        ASSERT_EQ(HTS_Engine_generate_state_sequence_from_strings(&e, labels.line_pointers,
                                                                  static_cast<size_t>(labels.line_count)),
                  TRUE);
        ASSERT_EQ(HTS_Engine_generate_parameter_sequence(&e), TRUE);

        const engine_frames f = frames_of(&e);
        const vocoder_settings s = {r.rate, static_cast<int>(period), r.alpha, HTS_Engine_get_beta(&e),
                                    static_cast<int>(e.condition.stage), e.condition.volume};
        // Both kinds of frame, or the test proves less than it says.
        EXPECT_GT(f.voiced, 10u);
        EXPECT_LT(f.voiced + 10, f.frames.count);
        std::vector<double> ours(vocoder_samples(s, f.frames) + 1, 12345.0);
        ASSERT_EQ(vocoder_synthesize(s, f.frames, ours.data()), 0);
        EXPECT_EQ(ours.back(), 12345.0) << "wrote past the end";

        ASSERT_EQ(HTS_Engine_generate_sample_sequence(&e), TRUE);
        const size_t samples = HTS_Engine_get_nsamples(&e);
        ASSERT_EQ(samples, ours.size() - 1);
        const long at = first_difference(ours.data(), e.gss.gspeech, samples);
        EXPECT_EQ(at, -1) << "sample " << at << ": " << (at < 0 ? 0 : ours[static_cast<size_t>(at)]) << " against "
                          << (at < 0 ? 0 : e.gss.gspeech[at]);
        double peak = 0;
        for (size_t i = 0; i < samples; ++i)
            peak = std::fmax(peak, std::fabs(e.gss.gspeech[i]));
        EXPECT_GT(peak, 1000.0) << "next to silence";
        HTS_Engine_refresh(&e);
        HTS_Engine_clear(&e);
    }
}

// A made-up utterance: mel-cepstra that keep the filter stable but move
// every frame, taps of no symmetry, voicing that flips, F0 beyond the
// engine's limits.
struct made_frames {
    std::vector<std::vector<double>> mcep_rows, lpf_rows;
    std::vector<const double*> mcep, lpf;
    std::vector<double> lf0;
    vocoder_frames frames;
};

made_frames make_frames(size_t count, int order, int taps, uint32_t seed)
{
    made_frames f;
    auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return static_cast<double>(seed % 2000001) / 1000000.0 - 1.0;  // [-1, 1]
    };
    for (size_t t = 0; t < count; ++t) {
        std::vector<double> c(static_cast<size_t>(order) + 1), h(static_cast<size_t>(taps));
        c[0] = 2.0 + next();
        for (int i = 1; i <= order; ++i)
            c[static_cast<size_t>(i)] = next() * 0.6 / i;
        for (double& v : h)
            v = next() * 0.2;
        f.mcep_rows.push_back(c);
        f.lpf_rows.push_back(h);
        const double u = next();
        f.lf0.push_back(t % 7 == 3 ? vocoder_unvoiced
                        : u > 0.9  ? 1.5                           // below the engine's 20 Hz
                        : u < -0.9 ? 10.5                          // above its 20000 Hz
                                   : std::log(150.0) + u * 0.8);  // a gliding pitch
    }
    for (size_t t = 0; t < count; ++t) {
        f.mcep.push_back(f.mcep_rows[t].data());
        f.lpf.push_back(f.lpf_rows[t].data());
    }
    f.frames = {count, order, f.mcep.data(), f.lf0.data(), taps, f.lpf.data()};
    return f;
}

class FastPaths : public EveryPath {};
INSTANTIATE_TEST_SUITE_P(Levels, FastPaths, ::testing::Values(isa_avx2, isa_avx512));

TEST_P(FastPaths, SameDoublesAsThePlainLoops)
{
    const struct {
        int order, taps, rate, period;
        size_t frames;
        double alpha, volume;
    } rows[] = {
        {34, 31, 32000, 160, 200, 0.50, 1.0},   // the voice's sizes
        {1, 1, 16000, 1, 3000, 0.42, 1.0},      // the smallest filter, one sample a frame
        {2, 3, 8000, 7, 500, -0.3, 0.25},
        {63, 255, 48000, 1500, 12, 0.77, 3.0},  // the largest, frames longer than a block
        {20, 15, 22050, 110, 60, 0.0, 1.0},     // alpha 0: the coefficients are the cepstrum
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("order " + std::to_string(r.order) + ", " + std::to_string(r.taps) + " taps, period " +
                     std::to_string(r.period));
        const made_frames f = make_frames(r.frames, r.order, r.taps, static_cast<uint32_t>(r.order * 977 + r.taps));
        const vocoder_settings s = {r.rate, r.period, r.alpha, 0.0, 0, r.volume};
        const size_t n = vocoder_samples(s, f.frames);
        std::vector<double> fast(n), plain(n);
        ASSERT_EQ(vocoder_synthesize(s, f.frames, fast.data()), 0);
        isa_limit(isa_baseline);
        ASSERT_EQ(vocoder_synthesize(s, f.frames, plain.data()), 0);
        isa_limit(GetParam());
        const long at = first_difference(fast.data(), plain.data(), n);
        EXPECT_EQ(at, -1) << "sample " << at << ": " << (at < 0 ? 0 : fast[static_cast<size_t>(at)]) << " against "
                          << (at < 0 ? 0 : plain[static_cast<size_t>(at)]);
        double peak = 0;
        size_t finite = 0;
        for (double v : plain) {
            peak = std::fmax(peak, std::fabs(v));
            finite += std::isfinite(v);
        }
        EXPECT_EQ(finite, n);
        EXPECT_GT(peak, 1.0);
    }
}

// What the vocoder does not take, it refuses, and writes nothing.
TEST(Vocoder, RefusesWhatItDoesNotImplement)
{
    const vocoder_settings ours = {32000, 160, 0.50, 0.0, 0, 1.0};
    EXPECT_EQ(vocoder_refusal(ours, 34, 31), nullptr);
    const struct {
        vocoder_settings s;
        int order, taps;
        const char* why;
    } rows[] = {
        {{32000, 160, 0.50, 0.0, 1, 1.0}, 34, 31, "gamma -1: line spectral pairs"},
        {{32000, 160, 0.50, 0.4, 0, 1.0}, 34, 31, "the postfilter"},
        {{32000, 160, 1.00, 0.0, 0, 1.0}, 34, 31, "alpha 1"},
        {{32000, 0, 0.50, 0.0, 0, 1.0}, 34, 31, "no frame period"},
        {{0, 160, 0.50, 0.0, 0, 1.0}, 34, 31, "no rate"},
        {{32000, 160, 0.50, 0.0, 0, 1.0}, 64, 31, "order past the limit"},
        {{32000, 160, 0.50, 0.0, 0, 1.0}, 0, 31, "order 0"},
        {{32000, 160, 0.50, 0.0, 0, 1.0}, 34, 30, "an even number of taps"},
        {{32000, 160, 0.50, 0.0, 0, 1.0}, 34, 0, "no excitation filter"},
        {{32000, 160, 0.50, 0.0, 0, 1.0}, 34, 257, "taps past the limit"},
    };
    for (const auto& r : rows) {
        EXPECT_NE(vocoder_refusal(r.s, r.order, r.taps), nullptr) << r.why;
        const made_frames f = make_frames(2, r.order < 1 ? 1 : r.order > 63 ? 63 : r.order,
                                          r.taps < 1 ? 1 : r.taps > 255 ? 255 : r.taps, 7);
        vocoder_frames frames = f.frames;
        frames.order = r.order;
        frames.lpf_taps = r.taps;
        std::vector<double> out(400, 5.0);
        EXPECT_EQ(vocoder_synthesize(r.s, frames, out.data()), -1) << r.why;
        EXPECT_EQ(out, std::vector<double>(400, 5.0)) << r.why;
    }
}

} // namespace
