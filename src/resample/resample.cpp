#include "resample/internal.h"
#include "wav/wav.h"

#include <bit>
#include <climits>
#include <cstring>
#include <cstdlib>

// GCC 12's AVX-512 headers read an uninitialised variable on purpose (for
// "undefined" lanes); its warning is not about this file.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

namespace {

// The multiplier that stands for a division by three in the spline fit.
constexpr double one_third = 0.3333333333333333;

int16_t* alloc_samples(int64_t n)
{
    // One spare sample so that an empty result is still a valid pointer.
    return static_cast<int16_t*>(malloc(static_cast<size_t>(n + 1) * sizeof(int16_t)));
}

static_assert(std::endian::native == std::endian::little, "samples are read in host order");

// out[i] for i = begin..end-1: the curve at x = i * src / dst, times the
// gain, clamped and truncated. Positions at or past N (none, since r is
// rounded down) give 0. Every version below does these operations, in this
// order, for each output.
inline __attribute__((always_inline)) void evaluate_spline_range(const double* y, const double* b,
                                                                 const double* c, const double* d, int n,
                                                                 uint32_t source_rate, int output_rate,
                                                                 int16_t* out, int begin, int end)
{
    const double src = static_cast<double>(source_rate);
    const double dst = static_cast<double>(output_rate);
    for (int i = begin; i < end; ++i) {
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

void evaluate_spline_baseline(const double* y, const double* b, const double* c, const double* d, int n,
                              uint32_t source_rate, int output_rate, int16_t* out, int r)
{
    evaluate_spline_range(y, b, c, d, n, source_rate, output_rate, out, 0, r);
}

typedef int32_t v4i __attribute__((vector_size(16)));
typedef int32_t v8i __attribute__((vector_size(32)));
typedef int64_t v4l __attribute__((vector_size(32)));
typedef int64_t v8l __attribute__((vector_size(64)));
typedef int16_t v4s __attribute__((vector_size(8)));
typedef int16_t v8s __attribute__((vector_size(16)));

// Four outputs at a time. The knot index never decreases with i, so the
// four knots usually lie among four consecutive ones: one load per
// coefficient and a lane permute replace four scalar loads. Otherwise
// (more than a knot per output, the last knots) a gather. The arithmetic is
// the scalar loop's, lane by lane.
__attribute__((target("avx2"))) void evaluate_spline_avx2(const double* y, const double* b,
                                                         const double* c, const double* d, int n,
                                                         uint32_t source_rate, int output_rate,
                                                         int16_t* out, int r)
{
    const __m256d src = _mm256_set1_pd(static_cast<double>(source_rate));
    const __m256d dst = _mm256_set1_pd(static_cast<double>(output_rate));
    __m256d position = _mm256_setr_pd(0, 1, 2, 3);  // i, exact in double
    int i = 0;
    for (; i + 4 <= r; i += 4) {
        const __m256d x = position * src / dst;
        position = position + 4.0;
        const v4i idx = __builtin_convertvector(x, v4i);
        const __m256d t = x - __builtin_convertvector(idx, __m256d);
        const int first = idx[0];
        __m256d yk, bk, ck, dk;
        if (idx[3] - first < 4 && first <= n - 4) {
            // A double is two floats: lane l takes floats 2j, 2j + 1, j = idx[l] - first.
            const v4i j = idx - first;
            const v8i jj = __builtin_shufflevector(j, j, 0, 0, 1, 1, 2, 2, 3, 3);
            const __m256i sel = (__m256i)(jj + jj + v8i{0, 1, 0, 1, 0, 1, 0, 1});
            yk = _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_loadu_pd(y + first)), sel));
            bk = _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_loadu_pd(b + first)), sel));
            ck = _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_loadu_pd(c + first)), sel));
            dk = _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_loadu_pd(d + first)), sel));
        } else {
            // Lanes at or past N load nothing and give 0.
            const __m256d inside = (__m256d)__builtin_convertvector(idx < n, v4l);
            const __m128i k = (__m128i)idx;
            yk = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), y, k, inside, 8);
            bk = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), b, k, inside, 8);
            ck = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), c, k, inside, 8);
            dk = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), d, k, inside, 8);
        }
        __m256d v = ((dk * t + ck) * t + bk) * t + yk;
        v = v * resample_output_gain;
        // clamp_sample, a select per instruction: min(a, b) is a < b ? a : b.
        v = _mm256_min_pd(_mm256_set1_pd(sample_highest), v);
        v = _mm256_max_pd(_mm256_set1_pd(spline_lowest), v);
        const __m128i w = _mm256_cvttpd_epi32(v);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(w, w));
    }
    evaluate_spline_range(y, b, c, d, n, source_rate, output_rate, out, i, r);
}

// Eight outputs at a time, as the AVX2 version, over a window of sixteen
// knots (two registers per coefficient): source rates up to about twice the
// output rate take the permute.
__attribute__((target("avx512f"))) void evaluate_spline_avx512(const double* y, const double* b,
                                                              const double* c, const double* d, int n,
                                                              uint32_t source_rate, int output_rate,
                                                              int16_t* out, int r)
{
    const __m512d src = _mm512_set1_pd(static_cast<double>(source_rate));
    const __m512d dst = _mm512_set1_pd(static_cast<double>(output_rate));
    __m512d position = _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7);  // i, exact in double
    int i = 0;
    for (; i + 8 <= r; i += 8) {
        const __m512d x = position * src / dst;
        position = position + 8.0;
        const v8i idx = __builtin_convertvector(x, v8i);
        const __m512d t = x - __builtin_convertvector(idx, __m512d);
        const int first = idx[0];
        __m512d yk, bk, ck, dk;
        if (idx[7] - first < 16 && first <= n - 16) {
            const __m512i sel = _mm512_cvtepi32_epi64((__m256i)(idx - first));
            yk = _mm512_permutex2var_pd(_mm512_loadu_pd(y + first), sel, _mm512_loadu_pd(y + first + 8));
            bk = _mm512_permutex2var_pd(_mm512_loadu_pd(b + first), sel, _mm512_loadu_pd(b + first + 8));
            ck = _mm512_permutex2var_pd(_mm512_loadu_pd(c + first), sel, _mm512_loadu_pd(c + first + 8));
            dk = _mm512_permutex2var_pd(_mm512_loadu_pd(d + first), sel, _mm512_loadu_pd(d + first + 8));
        } else {
            // Lanes at or past N load nothing and give 0.
            const __mmask8 inside = static_cast<__mmask8>(_mm256_movemask_ps((__m256)(idx < n)));
            const __m256i k = (__m256i)idx;
            yk = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), inside, k, y, 8);
            bk = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), inside, k, b, 8);
            ck = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), inside, k, c, 8);
            dk = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), inside, k, d, 8);
        }
        __m512d v = ((dk * t + ck) * t + bk) * t + yk;
        v = v * resample_output_gain;
        v = _mm512_min_pd(_mm512_set1_pd(sample_highest), v);
        v = _mm512_max_pd(_mm512_set1_pd(spline_lowest), v);
        const __m256i w = _mm512_cvttpd_epi32(v);
        const __m128i s = _mm_packs_epi32(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), s);
    }
    evaluate_spline_range(y, b, c, d, n, source_rate, output_rate, out, i, r);
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

const spline_kernel spline_kernel_by_level[isa_levels] = {evaluate_spline_baseline, evaluate_spline_avx2,
                                                          evaluate_spline_avx512};

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
        spline_kernel_by_level[isa_current()](y, b, c, d, static_cast<int>(count), source_rate,
                                                    output_rate, out, static_cast<int>(r));
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
