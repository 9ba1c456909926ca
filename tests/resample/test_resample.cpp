#include "resample/resample.h"

#include "reference.h"
#include "every_path.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct result {
    bool ok;
    std::vector<int16_t> samples;
    int size_bytes;
};

result run(const std::vector<uint8_t>& image, int out_rate, int sinc_filter = 0)
{
    int size = -1;
    int16_t* p = resample_wave(image.data(), out_rate, &size, sinc_filter);
    result r{p != nullptr, {}, size};
    if (p) {
        r.samples.assign(p, p + size / 2);
        free(p);
    }
    return r;
}

TEST(Resample, EqualRatesScaleEachSample)
{
    struct row {
        int16_t in, out;
    } rows[] = {{1, 0}, {-1, 0}, {2, 1}, {100, 89}, {-100, -89}, {32767, 29203}, {-32768, -29204}};
    std::vector<int16_t> in;
    for (const row& r : rows)
        in.push_back(r.in);
    // Equal rates put every position on a knot: t = 0, so v is the sample.
    const result r = run(make_image(in, 22050), 22050);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.samples.size(), in.size());
    EXPECT_EQ(r.size_bytes, static_cast<int>(2 * in.size()));
    for (size_t i = 0; i < in.size(); ++i)
        EXPECT_EQ(r.samples[i], rows[i].out) << "input " << rows[i].in;
}

TEST(Resample, OutputCountsFollowTheRates)
{
    struct row {
        const char* why;
        size_t n;
        uint32_t src;
        int out;
        size_t expected;
    } rows[] = {
        {"upsampling 100 -> 441", 10, 100, 441, 44},
        {"downsampling 441 -> 100", 10, 441, 100, 2},
        {"one sample, rate above", 1, 100, 441, 4},
        {"one sample, rate below", 1, 441, 100, 0},
        {"no samples", 0, 22050, 44100, 0},
        {"22050 -> 44100", 1000, 22050, 44100, 2000},
        {"half rate", 1001, 22050, 11025, 500},
        {"lowest output rate", 22050, 22050, 1, 1},
    };
    for (const row& c : rows) {
        const result r = run(make_image(noise(c.n, 3), c.src), c.out);
        ASSERT_TRUE(r.ok) << c.why;
        EXPECT_EQ(r.samples.size(), c.expected) << c.why;
        EXPECT_EQ(r.size_bytes, static_cast<int>(2 * c.expected)) << c.why;
    }
}

TEST(Resample, DownsamplingTakesPositionsZeroAndFourPointFour)
{
    // 441 -> 100: positions 0 and 4.41 of a line 0, 100, 200, ... (the
    // spline of a line is the line itself, bar the repeated last knot).
    std::vector<int16_t> line;
    for (int i = 0; i < 10; ++i)
        line.push_back(static_cast<int16_t>(100 * i));
    const result r = run(make_image(line, 441), 100);
    ASSERT_EQ(r.samples.size(), 2u);
    EXPECT_EQ(r.samples[0], 0);
    EXPECT_NEAR(r.samples[1], 441 * 0.891250938, 1.5);
}

TEST(Resample, ConstantStaysConstant)
{
    for (int16_t level : {int16_t{1000}, int16_t{-1000}, int16_t{32767}, int16_t{-32768}, int16_t{0}}) {
        const result r = run(make_image(constant(300, level), 22050), 44100);
        ASSERT_EQ(r.samples.size(), 600u);
        const int16_t expected = static_cast<int16_t>(level * 0.891250938);
        for (size_t i = 0; i < r.samples.size(); ++i)
            ASSERT_EQ(r.samples[i], expected) << "level " << level << " at " << i;
    }
}

TEST(Resample, OvershootIsClamped)
{
    // Full-scale squares make the spline ring beyond full scale; after the
    // gain some values still pass 32767 or -32768 and must be clamped.
    const std::vector<int16_t> sq = square(400, 4);
    const result r = run(make_image(sq, 1000), 7919);
    ASSERT_TRUE(r.ok);
    int top = 0, bottom = 0;
    for (int16_t v : r.samples) {
        top += v == 32767;
        bottom += v == -32768;
    }
    EXPECT_GT(top, 0) << "some values reach the clamp at the top";
    EXPECT_GT(bottom, 0) << "some values reach the clamp at the bottom";
}

TEST(Resample, BrokenHeadersGiveEmptyResults)
{
    std::vector<uint8_t> img = make_image(noise(100, 1), 22050);
    struct row {
        const char* why;
        uint32_t rate;
        uint16_t bits;
        int out;
    } rows[] = {
        {"source rate 0", 0, 16, 44100},
        {"bits 0", 22050, 0, 44100},
        {"output rate 0", 22050, 16, 0},
        {"output rate negative", 22050, 16, -44100},
        {"output rate too high", 22050, 16, 768001},
    };
    for (const row& c : rows) {
        std::vector<uint8_t> b = img;
        memcpy(&b[24], &c.rate, 4);
        memcpy(&b[34], &c.bits, 2);
        const result r = run(b, c.out);
        EXPECT_TRUE(r.ok) << c.why;
        EXPECT_EQ(r.size_bytes, 0) << c.why;
    }
}

TEST(Resample, NeverReadsPastTheDataForSmallBitFields)
{
    // 8 bits per sample would mean 2 * data size bytes of 16-bit samples;
    // only the samples the data holds may be read (ASan checks the rest).
    const std::vector<int16_t> in = noise(64, 9);
    std::vector<uint8_t> img = make_image(in, 22050, 8);
    uint8_t* exact = static_cast<uint8_t*>(malloc(img.size()));
    memcpy(exact, img.data(), img.size());
    int size = 0;
    int16_t* out = resample_wave(exact, 22050, &size, 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(size, 128) << "64 samples, as with 16 bits";
    free(out);
    free(exact);
}

// Every instruction-set path against the plain twin, byte for byte.
INSTANTIATE_TEST_SUITE_P(Levels, EveryPath, ::testing::Values(isa_baseline, isa_avx2, isa_avx512));

TEST_P(EveryPath, SplineMatchesThePlainReference)
{
    struct pair {
        uint32_t src;
        int out;
    } pairs[] = {{22050, 44100}, {22050, 22050}, {22050, 11025}, {22050, 48000}, {22050, 8000},
                 {100, 441}, {441, 100}, {22050, 768000}, {7, 3}, {44100, 44100},
                 {48000, 44100}, {22050, 16000}, {22050, 10000}};
    const std::vector<std::vector<int16_t>> signals = {
        noise(0, 0), noise(1, 1), noise(2, 2), noise(127, 3), noise(128, 6), noise(255, 7),
        noise(256, 8), noise(257, 9), noise(1000, 4), noise(5001, 5), noise(16, 10),
        square(999, 10), square(1000, 3), constant(500, -32768), constant(3, 32767)};
    for (const pair& p : pairs) {
        for (const auto& s : signals) {
            const result r = run(make_image(s, p.src), p.out);
            ASSERT_TRUE(r.ok);
            EXPECT_EQ(r.samples, reference_spline_resample(s, p.src, p.out))
                << p.src << " -> " << p.out << ", " << s.size() << " samples";
        }
    }
}

TEST_P(EveryPath, LongBuffersMatchThePlainReference)
{
    // Long enough that the spline's pivots sit at their fixed point for
    // nearly every knot.
    for (uint32_t seed : {11u, 12u}) {
        const std::vector<int16_t> s = noise(100000, seed);
        const result r = run(make_image(s, 22050), 44100);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.samples, reference_spline_resample(s, 22050, 44100));
    }
}

} // namespace
