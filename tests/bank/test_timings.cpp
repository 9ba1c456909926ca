// The timings' analysis against the plain formulas.
#include "bank/timings.h"

#include <gtest/gtest.h>

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

// Every harmonic's level is the plain recurrence's, to the last bit, for
// any number of harmonics (not only whole groups of them) and of samples.
TEST(Timings, GoertzelLevelsAreThePlainOnes)
{
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> sample(-30000, 30000), angle(0.01, 3.1);
    for (const size_t count : {1u, 3u, 4u, 5u, 27u, 63u, 64u}) {
        for (const size_t n : {0u, 1u, 290u, 582u}) {
            std::vector<double> x(n), c(count);
            for (double& v : x)
                v = sample(random);
            for (double& v : c)
                v = 2 * std::cos(angle(random));
            const std::vector<double> want = plain_levels(x, c);
            std::vector<double> got(count, -1);
            oto_goertzel_levels(x.data(), n, c.data(), count, got.data());
            EXPECT_EQ(memcmp(got.data(), want.data(), count * sizeof(double)), 0) << count << " harmonics, " << n
                                                                                   << " samples";
        }
    }
}

} // namespace
