#include "resample/resample.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cmath>
#include <vector>

namespace {

struct knot_case {
    const char* why;
    std::vector<double> y, b, c, d;
};

void PrintTo(const knot_case& c, std::ostream* os)
{
    *os << c.why;
}


class NaturalSpline : public ::testing::TestWithParam<knot_case> {};

TEST_P(NaturalSpline, CoefficientsMatch)
{
    const knot_case& k = GetParam();
    const int n = static_cast<int>(k.y.size());
    std::vector<double> b(n, 99), c(n, 99), d(n, 99);
    compute_natural_spline(k.y.data(), n, b.data(), c.data(), d.data());
    for (int j = 0; j + 1 < n; ++j) {
        EXPECT_DOUBLE_EQ(b[j], k.b[j]) << k.why << " b[" << j << "]";
        EXPECT_DOUBLE_EQ(d[j], k.d[j]) << k.why << " d[" << j << "]";
    }
    for (int j = 0; j < n; ++j)
        EXPECT_DOUBLE_EQ(c[j], k.c[j]) << k.why << " c[" << j << "]";
    EXPECT_EQ(c[n - 1], 0.0) << k.why;
}

INSTANTIATE_TEST_SUITE_P(
    Knots, NaturalSpline,
    ::testing::Values(
        knot_case{"0 1 0", {0, 1, 0}, {1.5, 0}, {0, -1.5, 0}, {-0.5, 0.5}},
        knot_case{"0 3 0 3", {0, 3, 0, 3}, {5, -1, -1}, {0, -6, 6, 0}, {-2, 4, -2}},
        knot_case{"two knots: a straight line", {2, 5}, {3}, {0, 0}, {0}},
        knot_case{"constant", {7, 7, 7, 7, 7}, {0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0}}));

// The curve must pass through every knot and be continuous in value, slope
// and curvature at the inner knots, with zero curvature at both ends.
TEST(NaturalSplineProperties, InterpolatesSmoothly)
{
    std::vector<double> y;
    for (int i = 0; i < 200; ++i)
        y.push_back(1000 * std::sin(i * 0.37) + (i % 7) * 50);
    const int n = static_cast<int>(y.size());
    std::vector<double> b(n), c(n), d(n);
    compute_natural_spline(y.data(), n, b.data(), c.data(), d.data());
    EXPECT_NEAR(c[0], 0, 1e-12);
    for (int j = 0; j + 1 < n; ++j) {
        const double end = y[j] + b[j] + c[j] + d[j];
        EXPECT_NEAR(end, y[j + 1], 1e-8) << "value at knot " << j + 1;
        if (j + 2 < n) {
            EXPECT_NEAR(b[j] + 2 * c[j] + 3 * d[j], b[j + 1], 1e-8) << "slope at knot " << j + 1;
            EXPECT_NEAR(2 * c[j] + 6 * d[j], 2 * c[j + 1], 1e-8) << "curvature at knot " << j + 1;
        }
    }
    EXPECT_NEAR(2 * c[n - 2] + 6 * d[n - 2], 0, 1e-8) << "natural end";
}

} // namespace
