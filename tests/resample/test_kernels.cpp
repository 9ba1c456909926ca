// The spline evaluation loops of every instruction set called directly, on
// coefficients no fit would give, against the formula written plainly.
#include "isa/isa.h"
#include "resample/internal.h"

#include "reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct rate_pair {
    uint32_t src;
    int out;
};

// The plain evaluation: positions past the last knot give 0.
std::vector<int16_t> plain_evaluation(const std::vector<double>& y, const std::vector<double>& b,
                                      const std::vector<double>& c, const std::vector<double>& d, int n,
                                      const rate_pair& p, int r)
{
    std::vector<int16_t> out(static_cast<size_t>(r));
    for (int i = 0; i < r; ++i) {
        const double x = static_cast<double>(i) * static_cast<double>(p.src) / static_cast<double>(p.out);
        const int idx = static_cast<int>(x);
        double v = 0;
        if (idx < n) {
            const double t = x - idx;
            v = ((d[idx] * t + c[idx]) * t + b[idx]) * t + y[idx];
        }
        v = v * 0.891250938;
        v = v > 32767 ? 32767 : v < -32768 ? -32768 : v;
        out[static_cast<size_t>(i)] = static_cast<int16_t>(std::trunc(v));
    }
    return out;
}

std::vector<int16_t> kernel_evaluation(isa_level level, const std::vector<double>& y, const std::vector<double>& b,
                                       const std::vector<double>& c, const std::vector<double>& d, int n,
                                       const rate_pair& p, int r)
{
    std::vector<int16_t> got(static_cast<size_t>(r) + 1, 12345);
    spline_kernel_by_level[level](y.data(), b.data(), c.data(), d.data(), n, p.src, p.out, got.data(), r);
    EXPECT_EQ(got.back(), 12345) << "wrote past the end";
    got.pop_back();
    return got;
}

class Kernels : public ::testing::TestWithParam<isa_level> {
protected:
    void SetUp() override
    {
        if (isa_limit(GetParam()) != GetParam())
            GTEST_SKIP() << "this processor lacks the instructions of level " << GetParam();
        isa_limit(isa_avx512);
    }
};

INSTANTIATE_TEST_SUITE_P(Levels, Kernels, ::testing::Values(isa_baseline, isa_avx2, isa_avx512));

// Large coefficients of both signs (every clamp), knot counts around the
// vector widths, and positions past the last knot.
TEST_P(Kernels, AgreeOnArbitraryCoefficients)
{
    const rate_pair pairs[] = {{22050, 44100}, {44100, 22050}, {48000, 44100}, {8000, 768000},
                               {441, 100},     {22050, 10000}, {22050, 22050}};
    for (const rate_pair& p : pairs) {
        for (int n : {1, 2, 3, 5, 8, 15, 16, 17, 31, 33, 100, 1001, 20000}) {
            const size_t knots = static_cast<size_t>(n) + 1;
            std::vector<double> y(knots), b(knots), c(knots), d(knots);
            const std::vector<int16_t> r1 = noise(knots, static_cast<uint32_t>(n)), r2 = noise(knots, 3u * n + 1);
            for (size_t k = 0; k < knots; ++k) {
                y[k] = r1[k];
                b[k] = r2[k] * 0.75;
                c[k] = (r1[k] - r2[k]) * 0.3333333333333333;
                d[k] = r2[k] * -1.0000001;
            }
            const int r = static_cast<int>(static_cast<int64_t>(n) * p.out / p.src) + 37;
            EXPECT_EQ(kernel_evaluation(GetParam(), y, b, c, d, n, p, r), plain_evaluation(y, b, c, d, n, p, r))
                << p.src << " -> " << p.out << ", " << n << " knots";
        }
    }
}

// Coefficients for which (nearly) every output lands exactly on an edge of
// the final truncation: the gained value is an integer K, or the double next
// to K toward zero. A result one unit in the last place off, in any
// operation, then moves the sample by one.
TEST_P(Kernels, AgreeOnTheTruncationEdge)
{
    const rate_pair pairs[] = {{48000, 44100}, {39690, 44100}, {441, 100}, {44100, 24000},
                               {22050, 16000}, {22050, 10000}, {9, 10}};
    for (const rate_pair& p : pairs) {
        const int n = 6000;
        const size_t knots = static_cast<size_t>(n) + 1;
        std::vector<double> y(knots, 0), b(knots), c(knots), d(knots);
        std::vector<bool> tuned(knots, false);
        uint32_t s = 12345 + p.src;
        auto next = [&s] {
            s ^= s << 13;
            s ^= s >> 17;
            s ^= s << 5;
            return static_cast<double>(s % 20001) - 10000;
        };
        for (size_t k = 0; k < knots; ++k) {
            b[k] = next() * 3.3;
            c[k] = next() * 0.37;
            d[k] = next() * 0.021;
        }
        const int r = static_cast<int>(static_cast<int64_t>(n) * p.out / p.src);
        int edges = 0;
        for (int i = 0; i < r; ++i) {
            const double x = static_cast<double>(i) * static_cast<double>(p.src) / static_cast<double>(p.out);
            const int idx = static_cast<int>(x);
            const double t = x - idx;
            if (tuned[static_cast<size_t>(idx)] || t == 0)
                continue;
            const double part = ((d[idx] * t + c[idx]) * t + b[idx]) * t;  // all but "+ y"
            const double k = std::trunc(part * 0.891250938);
            if (std::fabs(k) < 2 || std::fabs(k) > 32000)
                continue;
            const double edge = i % 2 ? k : std::nextafter(k, 0.0);
            double v = edge / 0.891250938;
            for (int step = 0; step < 64 && v * 0.891250938 != edge; ++step)
                v = std::nextafter(v, (v * 0.891250938 < edge) == (v > 0) ? v * 2 : 0.0);
            const double knot = v - part;
            if (v * 0.891250938 != edge || part + knot != v)
                continue;
            y[static_cast<size_t>(idx)] = knot;
            tuned[static_cast<size_t>(idx)] = true;
            ++edges;
        }
        EXPECT_GT(edges, r / 3) << p.src << " -> " << p.out;
        EXPECT_EQ(kernel_evaluation(GetParam(), y, b, c, d, n, p, r), plain_evaluation(y, b, c, d, n, p, r))
            << p.src << " -> " << p.out;
    }
}

} // namespace
