#include "resample/internal.h"

#include "reference.h"
#include "every_path.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<int16_t> filter(const std::vector<int16_t>& x, uint32_t src, int out)
{
    const std::vector<int16_t> kept = x;
    int16_t* y = apply_sinc_filter(x.data(), static_cast<int>(x.size()), src, out);
    EXPECT_NE(y, nullptr);
    EXPECT_EQ(x, kept) << "the input stays as it was";
    std::vector<int16_t> v(y, y + x.size());
    free(y);
    return v;
}

TEST(SincKernel, SymmetricZeroFirstTapUnitSum)
{
    struct pair {
        uint32_t src;
        int out;
    } pairs[] = {{22050, 44100}, {22050, 22050}, {22050, 11025}, {80, 441}, {22050, 8000}};
    for (const pair& p : pairs) {
        double h[sinc_taps];
        sinc_kernel(p.src, p.out, h);
        EXPECT_EQ(std::fabs(h[0]), 0.0) << p.src << "->" << p.out;
        double sum = 0;
        for (int m = 0; m < sinc_taps; ++m)
            sum += h[m];
        EXPECT_NEAR(sum, 1.0, 1e-12) << p.src << "->" << p.out;
        for (int k = 1; k <= 127; ++k)
            EXPECT_EQ(h[sinc_centre + k], h[sinc_centre - k]) << "offset " << k;
    }
}

TEST(SincFilter, EqualRatesPassAlmostUnchanged)
{
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        const std::vector<int16_t> x = noise(2000, seed);
        const std::vector<int16_t> y = filter(x, 22050, 22050);
        for (size_t i = 0; i < x.size(); ++i) {
            const int toward_zero = x[i] > 0 ? x[i] - 1 : x[i] < 0 ? x[i] + 1 : 0;
            const int expected_lowest = x[i] == -32768 ? -32767 : x[i];
            EXPECT_TRUE(y[i] == expected_lowest || y[i] == toward_zero)
                << "sample " << i << ": " << x[i] << " -> " << y[i];
        }
    }
}

TEST(SincFilter, ConstantRingsAtTheEdges)
{
    const std::vector<int16_t> x = constant(2000, 100);
    const std::vector<int16_t> y = filter(x, 80, 441);
    const int16_t start[10] = {59, 76, 90, 101, 107, 109, 107, 104, 100, 97};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(y[i], start[i]) << "start " << i;
        EXPECT_EQ(y[y.size() - 1 - i], start[i]) << "end " << i;
    }
    for (size_t i = 128; i + 128 < y.size(); ++i)
        ASSERT_EQ(y[i], 99) << "middle " << i;
}

TEST(SincFilter, NothingBelowMinus32767)
{
    const std::vector<int16_t> y = filter(constant(600, -32768), 22050, 44100);
    for (int16_t v : y)
        ASSERT_GE(v, -32767);
    EXPECT_EQ(y[300], -32767);
}

TEST(SincFilter, EmptyInputGivesEmptyOutput)
{
    EXPECT_TRUE(filter({}, 22050, 44100).empty());
}

TEST_P(EveryPath, FilterMatchesThePlainReference)
{
    struct pair {
        uint32_t src;
        int out;
    } pairs[] = {{22050, 44100}, {22050, 22050}, {22050, 11025}, {22050, 48000}, {80, 441}};
    const size_t lengths[] = {0, 1, 2, 63, 64, 65, 127, 128, 129, 255, 256, 257, 1000, 4099, 60001};
    for (const pair& p : pairs) {
        for (size_t n : lengths) {
            for (const std::vector<int16_t>& x : {noise(n, static_cast<uint32_t>(n)), square(n, 6),
                                                  constant(n, 32767), constant(n, -32768)}) {
                ASSERT_EQ(filter(x, p.src, p.out), reference_sinc(x, p.src, p.out))
                    << p.src << " -> " << p.out << ", " << n << " samples";
            }
        }
    }
}

TEST(SincFilter, RunsAfterTheSpline)
{
    const std::vector<int16_t> x = noise(3000, 42);
    const std::vector<uint8_t> img = make_image(x, 22050);
    int size = 0;
    int16_t* p = resample_wave(img.data(), 44100, &size, 1);
    ASSERT_NE(p, nullptr);
    std::vector<int16_t> got(p, p + size / 2);
    free(p);
    EXPECT_EQ(got, reference_sinc(reference_spline_resample(x, 22050, 44100), 22050, 44100));
}

// Above the source's Nyquist frequency the filter attenuates: a tone near
// the output's Nyquist frequency loses most of its level.
TEST(SincFilter, AttenuatesAboveTheCutoff)
{
    std::vector<int16_t> hi(4000), lo(4000);
    for (size_t i = 0; i < hi.size(); ++i) {
        hi[i] = static_cast<int16_t>(10000 * std::sin(i * 2 * M_PI * 18000 / 44100));
        lo[i] = static_cast<int16_t>(10000 * std::sin(i * 2 * M_PI * 1000 / 44100));
    }
    auto rms = [](const std::vector<int16_t>& v) {
        double e = 0;
        for (size_t i = 500; i + 500 < v.size(); ++i)
            e += double(v[i]) * v[i];
        return std::sqrt(e / double(v.size() - 1000));
    };
    EXPECT_LT(rms(filter(hi, 22050, 44100)), rms(hi) * 0.01);
    EXPECT_GT(rms(filter(lo, 22050, 44100)), rms(lo) * 0.99);
}

} // namespace
