#include "resample/resample.h"

#include "wav/wav.h"

#include <climits>
#include <cstdlib>

namespace {

// The multiplier that stands for a division by three in the spline fit.
constexpr double one_third = 0.3333333333333333;

// Lowest value the spline stage keeps; the filter stops one unit higher.
constexpr double spline_lowest = -32768.0;

double* alloc_doubles(int64_t n)
{
    return static_cast<double*>(malloc(static_cast<size_t>(n) * sizeof(double)));
}

int16_t* alloc_samples(int64_t n)
{
    // One spare sample so that an empty result is still a valid pointer.
    return static_cast<int16_t*>(malloc(static_cast<size_t>(n + 1) * sizeof(int16_t)));
}

int16_t read_sample(const uint8_t* p)
{
    return static_cast<int16_t>(wav_read_u16(p));
}

} // namespace

int compute_natural_spline(const double* y, int n, double* b, double* c, double* d)
{
    double* alpha = alloc_doubles(n);
    double* l = alloc_doubles(n);
    double* mu = alloc_doubles(n);
    double* z = alloc_doubles(n);
    if (!alpha || !l || !mu || !z) {
        free(alpha);
        free(l);
        free(mu);
        free(z);
        return -1;
    }

    for (int k = 1; k <= n - 2; ++k)
        alpha[k] = (y[k + 1] - y[k]) * 3 - (y[k] - y[k - 1]) * 3;

    l[0] = 1;
    mu[0] = 0;
    z[0] = 0;
    for (int j = 1; j <= n - 2; ++j) {
        l[j] = 4 - mu[j - 1];
        mu[j] = 1 / l[j];
        z[j] = (alpha[j] - z[j - 1]) / l[j];
    }

    l[n - 1] = 1;
    z[n - 1] = 0;
    c[n - 1] = 0;
    for (int j = n - 2; j >= 0; --j) {
        c[j] = z[j] - mu[j] * c[j + 1];
        b[j] = (y[j + 1] - y[j]) - (2 * c[j] + c[j + 1]) * one_third;
        d[j] = (c[j + 1] - c[j]) * one_third;
    }

    free(alpha);
    free(l);
    free(mu);
    free(z);
    return 0;
}

int16_t* resample_wave(const uint8_t* image, int output_rate, int* size_bytes, int smoothing)
{
    *size_bytes = 0;
    const uint32_t source_rate = wav_read_u32(image + wav_offset_sampling_rate);
    const uint32_t bits = wav_read_u16(image + wav_offset_bits_per_sample);
    const uint32_t data_size = wav_read_u32(image + wav_offset_data_size);

    // N = data size * 8 / bits, never more 16-bit samples than the data holds.
    int64_t n = 0;
    if (bits != 0)
        n = (int64_t{data_size} * 8) / bits;
    if (n > data_size / 2)
        n = data_size / 2;

    int64_t r = 0;
    if (source_rate != 0 && output_rate >= resample_min_rate && output_rate <= resample_max_rate)
        r = (n * output_rate) / source_rate;
    // Twice the result must fit the byte count; the knots must fit the spline's count.
    if (r > resample_max_samples || n >= INT32_MAX)
        return nullptr;

    int16_t* out = alloc_samples(r);
    if (!out)
        return nullptr;

    if (r > 0) {
        // Knots Y[0..N], the last repeating the last sample.
        const int64_t knots = n + 1;
        double* y = alloc_doubles(knots);
        double* b = alloc_doubles(knots);
        double* c = alloc_doubles(knots);
        double* d = alloc_doubles(knots);
        int fitted = 0;
        if (y && b && c && d) {
            for (int64_t k = 0; k < n; ++k)
                y[k] = read_sample(image + wav_header_size + 2 * k);
            y[n] = y[n - 1];
            fitted = compute_natural_spline(y, static_cast<int>(knots), b, c, d) == 0;
        }
        if (!fitted) {
            free(y);
            free(b);
            free(c);
            free(d);
            free(out);
            return nullptr;
        }

        const double src = static_cast<double>(source_rate);
        const double dst = static_cast<double>(output_rate);
        for (int64_t i = 0; i < r; ++i) {
            const double x = static_cast<double>(i) * src / dst;
            const int64_t idx = static_cast<int64_t>(x);
            const double t = x - static_cast<double>(idx);
            double v = 0;
            if (idx < n)
                v = ((d[idx] * t + c[idx]) * t + b[idx]) * t + y[idx];
            out[i] = clamp_to_int16(v * resample_output_gain, spline_lowest);
        }
        free(y);
        free(b);
        free(c);
        free(d);
    }

    if (smoothing) {
        out = apply_sinc_filter(out, static_cast<int>(r), source_rate, output_rate);
        if (!out)
            return nullptr;
    }
    *size_bytes = static_cast<int>(2 * r);
    return out;
}
