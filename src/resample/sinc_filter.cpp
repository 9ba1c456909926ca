#include "resample/internal.h"


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

// Outputs filtered per pass over the shifted copies.
constexpr int chunk = 512;

// Shifted copies of the input, so that every load in the tap loop is a
// whole aligned vector (an unaligned one splits a cache line 7 times in 8).
constexpr int shifts = 8;
constexpr size_t alignment = 64;

// Each kernel's block of outputs divides this; the copies are filled that far.
constexpr int widest_block = 64;

typedef double vec2 __attribute__((vector_size(16)));
typedef double vec4 __attribute__((vector_size(32)));
typedef double vec8 __attribute__((vector_size(64)));

// Doubles per shifted copy: a chunk and the taps that reach past it.
constexpr size_t copy_size = chunk + sinc_taps;

// out[j], j = 0..count-1: the sum over m = 0..255, in increasing m, of
// xp[j + m] * h[m], clamped to [-32767, 32767] and truncated, where xp is
// the input with sinc_centre zeros before it and zeros after it, and copy s
// (at copies + s * copy_size) holds xp[i + s] (whole blocks of it). A zero
// adds nothing (x + 0 * h == x for every finite x, whatever the sign of the
// zero), so each sum is the one the plain loop forms, with the same
// roundings in the same order, on every instruction set.
//
// `vectors` sums of `vec` stay in registers across all 256 taps. The
// compiler emits each sum's additions over a step of `taps_at_once` taps
// together, so that many broadcast taps are live as well: sums + taps + a
// product must fit the register file, or the loop spills. AVX-512: 8 + 8 of
// 32 registers. AVX2: 4 + 8 of 16 (8 + 4 also fits, measured 5% slower).
// SSE2: 8 + 4 of 16 (4 + 8 measured 5% slower).
template <typename vec, size_t vectors, int taps_at_once>
inline __attribute__((always_inline)) void filter_blocks_body(const double* copies, const double* h,
                                                              int16_t* out, int count)
{
    constexpr size_t lanes = sizeof(vec) / sizeof(double);
    constexpr int block = static_cast<int>(lanes * vectors);
    static_assert(widest_block % block == 0 && block % shifts == 0, "blocks stay aligned");
    static_assert(shifts % taps_at_once == 0, "a group of taps reads one aligned offset");
    typedef int16_t vecs __attribute__((vector_size(lanes * sizeof(int16_t))));
    for (int j0 = 0; j0 < count; j0 += block) {
        vec acc[vectors] = {};
        for (int m0 = 0; m0 < sinc_taps; m0 += taps_at_once) {
            // Tap m reads copy m % shifts, from the aligned offset m - m % shifts.
            const int s0 = m0 % shifts;
            const double* at = copies + static_cast<size_t>(s0) * copy_size + j0 + (m0 - s0);
#pragma GCC unroll 8
            for (int u = 0; u < taps_at_once; ++u) {
                const double hm = h[m0 + u];
                const vec* x = static_cast<const vec*>(
                    __builtin_assume_aligned(at + static_cast<size_t>(u) * copy_size, alignment));
#pragma GCC unroll 16
                for (size_t v = 0; v < vectors; ++v)
                    acc[v] = acc[v] + x[v] * hm;
            }
        }
        int16_t clamped[lanes * vectors];
        for (size_t v = 0; v < vectors; ++v) {
            clamp_sample(acc[v], filter_lowest);
            const vecs t = __builtin_convertvector(acc[v], vecs);
            memcpy(clamped + v * lanes, &t, sizeof t);
        }
        const int n = count - j0 < block ? count - j0 : block;
        memcpy(out + j0, clamped, static_cast<size_t>(n) * sizeof(int16_t));
    }
}

__attribute__((target("avx512f"))) void filter_blocks_avx512(const double* copies, const double* h,
                                                            int16_t* out, int count)
{
    filter_blocks_body<vec8, 8, 8>(copies, h, out, count);
}

__attribute__((target("avx2"))) void filter_blocks_avx2(const double* copies, const double* h,
                                                       int16_t* out, int count)
{
    filter_blocks_body<vec4, 4, 8>(copies, h, out, count);
}

void filter_blocks_baseline(const double* copies, const double* h, int16_t* out, int count)
{
    filter_blocks_body<vec2, 8, 4>(copies, h, out, count);
}

double* alloc_aligned(size_t n)
{
    const size_t bytes = (n * sizeof(double) + alignment - 1) / alignment * alignment;
    return static_cast<double*>(aligned_alloc(alignment, bytes));
}

} // namespace

const filter_kernel filter_kernel_by_level[isa_levels] = {filter_blocks_baseline, filter_blocks_avx2,
                                                          filter_blocks_avx512};

int16_t* apply_sinc_filter(const int16_t* input, int count, uint32_t source_rate, int output_rate)
{
    int16_t* out = static_cast<int16_t*>(malloc((static_cast<size_t>(count) + 1) * sizeof(int16_t)));
    // The outputs go chunk by chunk, so that the shifted copies stay small
    // and warm in the cache instead of eight fresh copies of the whole input.
    double* storage = alloc_aligned(copy_size * shifts);
    if (!out || !storage) {
        free(out);
        free(storage);
        return nullptr;
    }

    double h[sinc_taps];
    sinc_kernel(source_rate, output_rate, h);

    const filter_kernel filter_blocks = filter_kernel_by_level[isa_current()];

    for (int c0 = 0; c0 < count; c0 += chunk) {
        const int outputs = count - c0 < chunk ? count - c0 : chunk;
        const int padded_outputs = (outputs + widest_block - 1) / widest_block * widest_block;
        const int needed = padded_outputs + sinc_taps;

        // Copy s starts at storage + s * copy_size: copy 0 holds
        // input[c0 + i - sinc_centre] at i, 0 outside the buffer, and copy s
        // holds copy 0's element i + s at i.
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

        filter_blocks(storage, h, out + c0, outputs);
    }

    free(storage);
    return out;
}
