#include "reference.h"

#include <cmath>
#include <cstring>

namespace {

// Clamp to [lowest, 32767], then truncate toward zero.
int16_t to_sample(double v, double lowest)
{
    if (v > 32767)
        v = 32767;
    else if (v < lowest)
        v = lowest;
    return static_cast<int16_t>(std::trunc(v));
}

} // namespace

std::vector<int16_t> reference_spline_resample(const std::vector<int16_t>& in, uint32_t src, int out)
{
    const int64_t n = static_cast<int64_t>(in.size());
    const int64_t r = n * out / src;
    std::vector<int16_t> result;
    if (r == 0)
        return result;

    // Knots 0..n, the last one repeated.
    std::vector<double> y(in.begin(), in.end());
    y.push_back(y.back());
    const size_t k = y.size();

    std::vector<double> alpha(k, 0), l(k, 0), mu(k, 0), z(k, 0), b(k, 0), c(k, 0), d(k, 0);
    for (size_t i = 1; i + 1 < k; ++i)
        alpha[i] = (y[i + 1] - y[i]) * 3 - (y[i] - y[i - 1]) * 3;
    l[0] = 1;
    for (size_t j = 1; j + 1 < k; ++j) {
        l[j] = 4 - mu[j - 1];
        mu[j] = 1 / l[j];
        z[j] = (alpha[j] - z[j - 1]) / l[j];
    }
    for (size_t j = k - 1; j-- > 0;) {
        c[j] = z[j] - mu[j] * c[j + 1];
        b[j] = (y[j + 1] - y[j]) - (2 * c[j] + c[j + 1]) * 0.3333333333333333;
        d[j] = (c[j + 1] - c[j]) * 0.3333333333333333;
    }

    for (int64_t i = 0; i < r; ++i) {
        const double x = static_cast<double>(i) * static_cast<double>(src) / static_cast<double>(out);
        const int64_t idx = static_cast<int64_t>(std::floor(x));
        const double t = x - static_cast<double>(idx);
        double v = 0;
        if (idx < n)
            v = ((d[idx] * t + c[idx]) * t + b[idx]) * t + y[idx];
        result.push_back(to_sample(v * 0.891250938, -32768));
    }
    return result;
}

std::vector<int16_t> reference_sinc(const std::vector<int16_t>& x, uint32_t src, int out)
{
    const double omega = static_cast<double>(src) * 3.14159265358979 / static_cast<double>(out);
    std::vector<double> h;
    double sum = 0;
    for (int k = -128; k <= 127; ++k) {
        double raw = 1;
        if (k != 0) {
            const double kw = k * omega;
            raw = (std::cos(k * 0.024543692606170234) + 1) * 0.5 * (std::sin(kw) / kw);
        }
        h.push_back(raw);
        sum += raw;
    }
    for (double& v : h)
        v /= sum;

    const int64_t r = static_cast<int64_t>(x.size());
    std::vector<int16_t> y;
    for (int64_t j = 0; j < r; ++j) {
        double acc = 0;
        for (int m = 0; m < 256; ++m) {
            const int64_t p = j - 128 + m;
            if (p >= 0 && p < r)
                acc = acc + x[p] * h[m];
        }
        y.push_back(to_sample(acc, -32767));
    }
    return y;
}

std::vector<uint8_t> make_image(const std::vector<int16_t>& samples, uint32_t rate, uint16_t bits)
{
    const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    std::vector<uint8_t> img(44 + data);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            img[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    auto put16 = [&](size_t at, uint16_t v) {
        img[at] = static_cast<uint8_t>(v);
        img[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    memcpy(&img[0], "RIFF", 4);
    put32(4, data + 36);
    memcpy(&img[8], "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);
    put16(22, 1);
    put32(24, rate);
    put32(28, rate * 2);
    put16(32, 2);
    put16(34, bits);
    memcpy(&img[36], "data", 4);
    put32(40, data);
    for (size_t i = 0; i < samples.size(); ++i)
        put16(44 + 2 * i, static_cast<uint16_t>(samples[i]));
    return img;
}

std::vector<int16_t> noise(size_t n, uint32_t seed)
{
    std::vector<int16_t> v(n);
    uint32_t s = seed * 2654435761u + 1;
    for (auto& x : v) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        x = static_cast<int16_t>(s >> 16);
    }
    return v;
}

std::vector<int16_t> square(size_t n, int period)
{
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (static_cast<int>(i) / (period / 2)) % 2 ? -32768 : 32767;
    return v;
}

std::vector<int16_t> constant(size_t n, int16_t value)
{
    return std::vector<int16_t>(n, value);
}
