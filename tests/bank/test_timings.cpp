// The timings' analysis against the plain formulas.
#include "bank/timings.h"
#include "isa/isa.h"
#include "resample/every_path.h"

#include "wav/wav.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

// Goertzel's recurrence written plainly, one harmonic at a time.
std::vector<double> plain_levels(const std::vector<double>& x, const std::vector<double>& c)
{
    std::vector<double> db(c.size());
    for (size_t k = 0; k < c.size(); ++k) {
        double s1 = 0, s2 = 0;
        for (const double v : x) {
            const double next = v + c[k] * s1 - s2;
            s2 = s1;
            s1 = next;
        }
        db[k] = 10 * std::log10(s1 * s1 + s2 * s2 - c[k] * s1 * s2 + 1e-6);
    }
    return db;
}

class GoertzelLevels : public EveryPath {};

INSTANTIATE_TEST_SUITE_P(Levels, GoertzelLevels, ::testing::Values(isa_baseline, isa_avx2, isa_avx512));

// Every harmonic's level is the plain recurrence's, to the last bit, for
// any number of harmonics (not only whole vectors or blocks of them), of
// samples and of frames at once, on every instruction set.
TEST_P(GoertzelLevels, AreThePlainOnes)
{
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> sample(-30000, 30000), angle(0.01, 3.1);
    for (const size_t count : {1u, 3u, 4u, 5u, 9u, 13u, 27u, 33u, 63u, 64u}) {
        for (const size_t n : {0u, 1u, 290u, 582u}) {
            for (const size_t frames : {1u, 2u, 3u}) {
                std::vector<double> x(n * frames), c(count);
                for (double& v : x)
                    v = sample(random);
                for (double& v : c)
                    v = 2 * std::cos(angle(random));
                // A stride wider than the levels: nothing written between frames.
                const size_t stride = count + 3;
                std::vector<double> got(stride * frames, -1);
                if (frames == 1)
                    oto_goertzel_levels(x.data(), n, c.data(), count, got.data());
                else
                    oto_goertzel_frames(x.data(), n, frames, c.data(), count, got.data(), stride);
                for (size_t f = 0; f < frames; ++f) {
                    const std::vector<double> frame(x.begin() + static_cast<long>(f * n),
                                                    x.begin() + static_cast<long>((f + 1) * n));
                    const std::vector<double> want = plain_levels(frame, c);
                    EXPECT_EQ(memcmp(got.data() + f * stride, want.data(), count * sizeof(double)), 0)
                        << count << " harmonics, " << n << " samples, frame " << f << " of " << frames;
                    for (size_t k = count; k < stride; ++k)
                        EXPECT_EQ(got[f * stride + k], -1) << "written past frame " << f << "'s levels";
                }
            }
        }
    }
}

// Where the vowel of span [from, to) settles, written plainly: every 5 ms
// frame's levels (two periods, Hann window, harmonics up to 3 kHz), each
// harmonic's median over the later half, then from the last frame back,
// the earliest from which the levels stay within 1.5 dB on average (the
// harmonics within 30 dB of the strongest) for 12 frames or to the end.
size_t plain_settled_at(const std::vector<int16_t>& samples, double rate, size_t from, size_t to, double f0)
{
    const double pi = 3.14159265358979323846;
    const size_t width = static_cast<size_t>(std::lround(2 * rate / f0));
    const size_t step = static_cast<size_t>(std::lround(5 * rate / 1000));
    const size_t count = std::min<size_t>(64, static_cast<size_t>(3000 / f0));
    if (to <= from || step == 0 || count < 1)
        return from;
    const size_t frames = (to - from) / step + 1;
    std::vector<double> c(count);
    for (size_t k = 0; k < count; ++k)
        c[k] = 2 * std::cos(2 * pi * f0 * static_cast<double>(k + 1) / rate);
    std::vector<std::vector<double>> db(frames);
    for (size_t j = 0; j < frames; ++j) {
        const size_t centre = from + j * step;
        const size_t start = centre > width / 2 ? centre - width / 2 : 0;
        const size_t n = start >= samples.size() ? 0 : std::min(width, samples.size() - start);
        std::vector<double> x(n);
        for (size_t i = 0; i < n; ++i)
            x[i] = (0.5 - 0.5 * std::cos(2 * pi * static_cast<double>(i) / static_cast<double>(width))) *
                   samples[start + i];
        db[j] = plain_levels(x, c);
    }
    const size_t half = frames / 2;
    std::vector<double> reference(count);
    double strongest = -1e9;
    for (size_t k = 0; k < count; ++k) {
        std::vector<double> column;
        for (size_t j = half; j < frames && column.size() < 1024; ++j)
            column.push_back(db[j][k]);
        std::nth_element(column.begin(), column.begin() + static_cast<long>(column.size() / 2), column.end());
        reference[k] = column[column.size() / 2];
        strongest = std::max(strongest, reference[k]);
    }
    size_t settled = frames, close_run = 0;
    for (size_t j = frames; j-- > 0;) {
        double distance = 0;
        int counted = 0;
        for (size_t k = 0; k < count; ++k) {
            if (reference[k] > strongest - 30) {
                distance += std::fabs(db[j][k] - reference[k]);
                ++counted;
            }
        }
        close_run = counted > 0 && distance / counted > 1.5 ? 0 : close_run + 1;
        if (close_run >= 12 || (close_run > 0 && close_run == frames - j))
            settled = j;
    }
    return settled < frames ? from + settled * step : to;
}

// A vowel at f0: its harmonics glide from one spectrum to another over
// `glide` seconds, then hold, with `wobble` dB of slow random change in
// each harmonic's level and a faint hiss; `seconds` long in all. With
// `switches`, the spectrum jumps that many times between the two instead,
// after 40 to 90 ms each time, ending on the second: runs of close frames
// of every length, broken.
std::vector<int16_t> gliding_vowel(double rate, double f0, double seconds, double glide, double wobble, int switches,
                                   unsigned seed)
{
    const double pi = 3.14159265358979323846;
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> level(-30, 0), noise(-30, 30), dwell(0.04, 0.09);
    const size_t harmonics = static_cast<size_t>(4000 / f0);
    std::vector<double> start(harmonics), end(harmonics), drift(harmonics);
    for (size_t k = 0; k < harmonics; ++k) {
        start[k] = level(random);
        end[k] = level(random);
        drift[k] = level(random) / 30 * pi;
    }
    std::vector<double> jumps;
    for (double t = 0; static_cast<int>(jumps.size()) < switches;)
        jumps.push_back(t += dwell(random));
    std::vector<int16_t> out(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        double g = std::min(1.0, t / glide);
        if (switches > 0) {
            const long passed = std::upper_bound(jumps.begin(), jumps.end(), t) - jumps.begin();
            g = (switches - passed) % 2 == 0 ? 1 : 0;
        }
        double v = 0;
        for (size_t k = 0; k < harmonics; ++k) {
            const double db = start[k] + (end[k] - start[k]) * g + wobble * std::sin(7 * t + drift[k] * 5);
            v += std::pow(10, db / 20) * std::sin(2 * pi * f0 * static_cast<double>(k + 1) * t);
        }
        out[i] = static_cast<int16_t>(std::lround(3000 * v + noise(random)));
    }
    return out;
}

// oto_listen finds where every mora settles as the plain analysis above
// does, to the last bit, however the spectrum settles: early, late, in a
// run that lasts only to the end, or never; at a low and a high pitch.
TEST(Timings, SettledIsThePlainAnalysis)
{
    struct row {
        double rate, f0, seconds, glide, wobble;
        int switches;
        size_t morae;  // equal spans, one after another
    } rows[] = {
        {22050, 110, 0.8, 0.05, 0, 0, 1},   // settles early: the later frames are all alike
        {22050, 110, 0.8, 0.5, 0, 0, 1},    // settles in the later half
        {22050, 110, 0.6, 0.3, 6, 0, 1},    // a wobble that breaks the runs
        {48000, 329.6, 1.2, 0.2, 3, 0, 4},  // several morae, E4, the HTS voice's rate
        {44100, 523.3, 0.3, 0.6, 0, 0, 1},  // C5, gliding to the end
        {22050, 110, 2.0, 0.2, 12, 0, 3},   // wobbling far: settles late or only at the end
        {22050, 220, 0.09, 0.2, 0, 0, 1},   // fewer frames than a settled run: only a run to the end
        {22050, 110, 1.0, 0, 0, 6, 1},      // jumps: runs of close frames of every length
        {44100, 146.8, 1.0, 0, 0, 7, 2},
    };
    unsigned seed = 1;
    for (const row& r : rows) {
        for (int variant = 0; variant < 3; ++variant, ++seed) {
            const std::vector<int16_t> samples =
                gliding_vowel(r.rate, r.f0, r.seconds, r.glide, r.wobble, r.switches, seed);
            std::vector<uint8_t> bytes(wav_header_size + 2 * samples.size());
            wav_build_header(bytes.data(), static_cast<uint32_t>(2 * samples.size()), 16, 1,
                             static_cast<int>(r.rate));
            memcpy(bytes.data() + wav_header_size, samples.data(), 2 * samples.size());
            synth_image image{bytes.data(), bytes.size(), static_cast<int>(r.morae), {}};
            const size_t span = samples.size() / r.morae;
            for (size_t m = 0; m < r.morae; ++m) {
                // Spans of every length around the whole: a frame more or less at the end.
                const size_t shorten = std::min(span / 4, static_cast<size_t>(variant) * 37);
                image.marks[m] = {m * span, m * span, m * span + 20, (m + 1) * span - shorten, m * span,
                                  (m + 1) * span};
            }
            oto_times times[synth_max_morae];
            for (size_t m = 0; m < r.morae; ++m)
                oto_marks(image, static_cast<int>(m), &times[m]);
            oto_listen(image, r.f0, times, static_cast<int>(r.morae));
            for (size_t m = 0; m < r.morae; ++m) {
                const size_t want = plain_settled_at(samples, r.rate, image.marks[m].glide_end,
                                                     image.marks[m].steady_end, r.f0);
                EXPECT_EQ(times[m].settled, static_cast<double>(want) * 1000 / r.rate)
                    << r.f0 << " Hz, glide " << r.glide << " s, wobble " << r.wobble << ", mora " << m
                    << ", variant " << variant;
            }
        }
    }
}

} // namespace
