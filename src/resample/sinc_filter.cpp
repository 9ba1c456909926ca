#include "resample/internal.h"

#include "resample/isa.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// pi as the filter has always written it: 15 digits, not full precision.
constexpr double pi_15 = 3.14159265358979;

// A Hann window spanning the 256 taps.
constexpr double hann_step = pi_15 / sinc_centre;
static_assert(hann_step == 0.024543692606170234);

} // namespace

void sinc_kernel(uint32_t source_rate, int output_rate, double h[sinc_taps])
{
    const double omega = static_cast<double>(source_rate) * pi_15 / static_cast<double>(output_rate);
    double sum = 0;
    for (int m = 0; m < sinc_taps; ++m) {
        const int k = m - sinc_centre;
        double raw = 1;
        if (k != 0) {
            const double window = (cos(k * hann_step) + 1) * 0.5;
            const double kw = static_cast<double>(k) * omega;
            raw = window * (sin(kw) / kw);
        }
        h[m] = raw;
        sum += raw;
    }
    for (int m = 0; m < sinc_taps; ++m)
        h[m] = h[m] / sum;
}

namespace {

// Outputs computed together: their sums stay in registers across all taps.
constexpr int block = 64;

// Outputs filtered per pass over the shifted copies (a multiple of block).
constexpr int chunk = 512;

// Shifted copies of the input, so that every load in the tap loop is a
// whole aligned vector (an unaligned one splits a cache line 7 times in 8).
constexpr int shifts = 8;
constexpr size_t alignment = 64;

// Eight doubles; lowered to whatever vector width the clone has.
typedef double vec8 __attribute__((vector_size(64)));
typedef int16_t vec8s __attribute__((vector_size(16)));
constexpr int lanes = 8;
constexpr int vectors = block / lanes;

// out[j], j = 0..count-1: the sum over m = 0..255, in increasing m, of
// xp[j + m] * h[m], clamped to [-32767, 32767] and truncated, where xp is
// the input with sinc_centre zeros before it and zeros after it, and
// copy[s][i] = xp[i + s] (whole blocks of it). A zero adds nothing
// (x + 0 * h == x for every finite x, whatever the sign of the zero), so
// each sum is the one the plain loop forms, with the same roundings in the
// same order, on every instruction set.
inline __attribute__((always_inline)) void filter_blocks_body(const double* const* copy,
                                                              const double* h, int16_t* out, int count)
{
    for (int j0 = 0; j0 < count; j0 += block) {
        vec8 acc[vectors] = {};
        for (int m0 = 0; m0 < sinc_taps; m0 += shifts) {
#pragma GCC unroll 8
            for (int s = 0; s < shifts; ++s) {
                const double hm = h[m0 + s];
                const vec8* x = static_cast<const vec8*>(
                    __builtin_assume_aligned(copy[s] + j0 + m0, alignment));
#pragma GCC unroll 8
                for (int v = 0; v < vectors; ++v)
                    acc[v] = acc[v] + x[v] * hm;
            }
        }
        int16_t clamped[block];
        for (int v = 0; v < vectors; ++v) {
            clamp_sample(acc[v], filter_lowest);
            const vec8s t = __builtin_convertvector(acc[v], vec8s);
            memcpy(clamped + v * lanes, &t, sizeof t);
        }
        const int n = count - j0 < block ? count - j0 : block;
        memcpy(out + j0, clamped, static_cast<size_t>(n) * sizeof(int16_t));
    }
}

__attribute__((target("avx512f"))) void filter_blocks_avx512(const double* const* copy, const double* h,
                                                            int16_t* out, int count)
{
    filter_blocks_body(copy, h, out, count);
}

__attribute__((target("avx2"))) void filter_blocks_avx2(const double* const* copy, const double* h,
                                                       int16_t* out, int count)
{
    filter_blocks_body(copy, h, out, count);
}

void filter_blocks(const double* const* copy, const double* h, int16_t* out, int count)
{
    switch (isa_current()) {
    case isa_avx512:
        filter_blocks_avx512(copy, h, out, count);
        break;
    case isa_avx2:
        filter_blocks_avx2(copy, h, out, count);
        break;
    case isa_baseline:
        filter_blocks_body(copy, h, out, count);
        break;
    }
}

double* alloc_aligned(size_t n)
{
    const size_t bytes = (n * sizeof(double) + alignment - 1) / alignment * alignment;
    return static_cast<double*>(aligned_alloc(alignment, bytes));
}

} // namespace

int16_t* apply_sinc_filter(const int16_t* input, int count, uint32_t source_rate, int output_rate)
{
    int16_t* out = static_cast<int16_t*>(malloc((static_cast<size_t>(count) + 1) * sizeof(int16_t)));
    // The outputs go chunk by chunk, so that the shifted copies stay small
    // and warm in the cache instead of eight fresh copies of the whole input.
    const size_t copy_size = chunk + sinc_taps;
    double* storage = alloc_aligned(copy_size * shifts);
    if (!out || !storage) {
        free(out);
        free(storage);
        return nullptr;
    }

    double h[sinc_taps];
    sinc_kernel(source_rate, output_rate, h);

    const double* copy[shifts];
    for (int s = 0; s < shifts; ++s)
        copy[s] = storage + static_cast<size_t>(s) * copy_size;

    for (int c0 = 0; c0 < count; c0 += chunk) {
        const int outputs = count - c0 < chunk ? count - c0 : chunk;
        const int padded_outputs = (outputs + block - 1) / block * block;
        const int needed = padded_outputs + sinc_taps;

        // copy[0][i] = input[c0 + i - sinc_centre], 0 outside the buffer;
        // copy[s][i] = copy[0][i + s].
        double* first = storage;
        const int begin = c0 - sinc_centre;  // input index of first[0]
        const int lo = begin < 0 ? -begin : 0;
        const int hi = count - begin < needed ? count - begin : needed;
        for (int i = 0; i < lo; ++i)
            first[i] = 0.0;
        for (int i = lo; i < hi; ++i)
            first[i] = input[begin + i];
        for (int i = hi > lo ? hi : lo; i < needed; ++i)
            first[i] = 0.0;
        for (int s = 1; s < shifts; ++s) {
            double* c = storage + static_cast<size_t>(s) * copy_size;
            memcpy(c, first + s, static_cast<size_t>(needed - s) * sizeof(double));
            memset(c + needed - s, 0, static_cast<size_t>(s) * sizeof(double));
        }

        filter_blocks(copy, h, out + c0, outputs);
    }

    free(storage);
    return out;
}
