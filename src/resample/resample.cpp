#include "resample/internal.h"
#include "resample/isa.h"
#include "wav/wav.h"


#include <bit>
#include <climits>
#include <cstring>
#include <cstdlib>

namespace {

// The multiplier that stands for a division by three in the spline fit.
constexpr double one_third = 0.3333333333333333;

int16_t* alloc_samples(int64_t n)
{
    // One spare sample so that an empty result is still a valid pointer.
    return static_cast<int16_t*>(malloc(static_cast<size_t>(n + 1) * sizeof(int16_t)));
}

static_assert(std::endian::native == std::endian::little, "samples are read in host order");

// out[i] for i = 0..r-1: the curve at x = i * src / dst, times the gain,
// clamped and truncated. Positions at or past N (none, since r is rounded
// down) give 0. The same operations in the same order on every
// instruction set.
inline __attribute__((always_inline)) void evaluate_spline_body(const double* y, const double* b,
                                                                const double* c, const double* d, int n,
                                                                uint32_t source_rate, int output_rate,
                                                                int16_t* out, int r)
{
    const double src = static_cast<double>(source_rate);
    const double dst = static_cast<double>(output_rate);
    for (int i = 0; i < r; ++i) {
        const double x = static_cast<double>(i) * src / dst;
        const int idx = static_cast<int>(x);
        const double t = x - static_cast<double>(idx);
        const int k = idx < n ? idx : 0;
        double v = ((d[k] * t + c[k]) * t + b[k]) * t + y[k];
        v = idx < n ? v : 0.0;
        v = v * resample_output_gain;
        clamp_sample(v, spline_lowest);
        out[i] = static_cast<int16_t>(v);
    }
}

__attribute__((target("avx512f"))) void evaluate_spline_avx512(const double* y, const double* b,
                                                              const double* c, const double* d, int n,
                                                              uint32_t source_rate, int output_rate,
                                                              int16_t* out, int r)
{
    evaluate_spline_body(y, b, c, d, n, source_rate, output_rate, out, r);
}

__attribute__((target("avx2"))) void evaluate_spline_avx2(const double* y, const double* b,
                                                         const double* c, const double* d, int n,
                                                         uint32_t source_rate, int output_rate,
                                                         int16_t* out, int r)
{
    evaluate_spline_body(y, b, c, d, n, source_rate, output_rate, out, r);
}

void evaluate_spline(const double* y, const double* b, const double* c, const double* d, int n,
                     uint32_t source_rate, int output_rate, int16_t* out, int r)
{
    switch (isa_current()) {
    case isa_avx512:
        evaluate_spline_avx512(y, b, c, d, n, source_rate, output_rate, out, r);
        break;
    case isa_avx2:
        evaluate_spline_avx2(y, b, c, d, n, source_rate, output_rate, out, r);
        break;
    case isa_baseline:
        evaluate_spline_body(y, b, c, d, n, source_rate, output_rate, out, r);
        break;
    }
}


// The pivots of the tridiagonal system depend on the knot count only:
// l[j] = 4 - mu[j-1], mu[j] = 1 / l[j], from mu[0] = 0. In double precision
// the sequence reaches a fixed point after a few steps, so it is computed
// once, up to the first repeat, and the last value stands for all later j.
// These are the very values each call would compute.
struct spline_pivots {
    static constexpr int capacity = 64;
    double l[capacity];
    double mu[capacity];
    int count;  // entries until the fixed point, inclusive
};

spline_pivots make_pivots()
{
    spline_pivots p{};
    p.l[0] = 1;
    p.mu[0] = 0;
    int j = 1;
    for (; j < spline_pivots::capacity; ++j) {
        p.l[j] = 4 - p.mu[j - 1];
        p.mu[j] = 1 / p.l[j];
        if (j > 1 && p.mu[j] == p.mu[j - 1] && p.l[j] == p.l[j - 1])
            break;
    }
    p.count = j + 1 < spline_pivots::capacity ? j + 1 : spline_pivots::capacity;
    return p;
}

const spline_pivots& pivots()
{
    static const spline_pivots p = make_pivots();
    return p;
}

} // namespace

void compute_natural_spline(const double* y, int n, double* b, double* c, double* d)
{
    if (n < 2)
        return;
    const spline_pivots& p = pivots();
    const int last_pivot = p.count - 1;

    // Forward sweep: z[j] = (alpha[j] - z[j-1]) / l[j], kept in c.
    c[0] = 0;
    for (int j = 1; j <= n - 2; ++j) {
        const double alpha = (y[j + 1] - y[j]) * 3 - (y[j] - y[j - 1]) * 3;
        const double l = p.l[j < last_pivot ? j : last_pivot];
        c[j] = (alpha - c[j - 1]) / l;
    }

    // Back substitution: c[j] = z[j] - mu[j] c[j+1], then b and d.
    c[n - 1] = 0;
    for (int j = n - 2; j >= 0; --j) {
        const double mu = p.mu[j < last_pivot ? j : last_pivot];
        c[j] = c[j] - mu * c[j + 1];
        b[j] = (y[j + 1] - y[j]) - (2 * c[j] + c[j + 1]) * one_third;
        d[j] = (c[j + 1] - c[j]) * one_third;
    }
}

int16_t* spline_resample(const uint8_t* samples, int64_t count, uint32_t source_rate, int output_rate,
                         int* out_count)
{
    *out_count = 0;
    int64_t r = 0;
    if (source_rate != 0 && output_rate >= resample_min_rate && output_rate <= resample_max_rate)
        r = (count * output_rate) / source_rate;
    // Twice the result must fit the byte count; the knots must fit the spline's count.
    if (r > resample_max_samples || count >= INT32_MAX)
        return nullptr;

    int16_t* out = alloc_samples(r);
    if (!out)
        return nullptr;
    if (r > 0) {
        // Knots Y[0..N], the last repeating the last sample, and the
        // coefficients, in one allocation.
        const size_t knots = static_cast<size_t>(count) + 1;
        double* y = static_cast<double*>(malloc(4 * knots * sizeof(double)));
        if (!y) {
            free(out);
            return nullptr;
        }
        double* b = y + knots;
        double* c = b + knots;
        double* d = c + knots;
        for (int64_t k = 0; k < count; ++k) {
            int16_t sample;
            memcpy(&sample, samples + 2 * k, sizeof sample);  // little-endian host
            y[k] = sample;
        }
        y[count] = y[count - 1];
        compute_natural_spline(y, static_cast<int>(knots), b, c, d);
        evaluate_spline(y, b, c, d, static_cast<int>(count), source_rate, output_rate, out,
                        static_cast<int>(r));
        free(y);
    }
    *out_count = static_cast<int>(r);
    return out;
}

int16_t* resample_wave(const uint8_t* image, int output_rate, int* size_bytes, int sinc_filter)
{
    *size_bytes = 0;
    const wav_format format = wav_read_format(image);

    // N = data size * 8 / bits, never more 16-bit samples than the data holds.
    int64_t n = 0;
    if (format.bits_per_sample != 0)
        n = (int64_t{format.data_size} * 8) / format.bits_per_sample;
    if (n > format.data_size / 2)
        n = format.data_size / 2;

    int count = 0;
    int16_t* out = spline_resample(image + wav_header_size, n, format.sampling_rate, output_rate, &count);
    if (out != nullptr && sinc_filter) {
        int16_t* filtered = apply_sinc_filter(out, count, format.sampling_rate, output_rate);
        free(out);
        out = filtered;
    }
    if (out != nullptr)
        *size_bytes = 2 * count;
    return out;
}
