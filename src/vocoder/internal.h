// What the vocoder's loops share: their state, one frame's worth of work
// as a kernel, and the noise that every version draws the same way.
#pragma once

#include "isa/isa.h"
#include "vocoder/vocoder.h"

#include <cmath>
#include <cstdint>

// The MLSA filter's Padé approximation of exp: order 5 and its
// coefficients, as the engine has them (not built for embedded devices).
inline constexpr int pade_order = 5;
inline constexpr double pade[pade_order + 1] = {1.00000000000, 0.49993910000, 0.11070980000,
                                                0.01369984000, 0.00095648530, 0.00003041721};

// The fast loops run the Padé stages' all-pass lines side by side, one
// stage a lane; up to 8 lanes.
inline constexpr int mlsa_lanes = 8;
static_assert(pade_order <= mlsa_lanes);

// Excitation made ahead of the filter, in samples: a kernel call takes at
// most this many.
inline constexpr int excitation_block = 1024;

// The fast excitation adds into a line that slides instead of a ring, and
// moves its live taps back to the start when it reaches the end.
inline constexpr int excitation_line = vocoder_max_lpf_taps + excitation_block;

struct excitation_state {
    // Pitch in samples per period (0 when unvoiced), moving by pitch_step
    // each sample toward the next frame's; a pulse when the counter reaches it.
    double pitch;
    double counter;
    double pitch_step;
    // The noise: the engine's linear congruential generator and Box-Muller pairs.
    uint64_t seed;
    bool second_due;
    double r1, r2, s;
    int taps;                           // of the excitation filter
    int index;                          // the plain loop: where the ring's output is
    double ring[vocoder_max_lpf_taps];  // the plain loop's ring
    int position;                       // the fast loops: where the line's output is
    double line[excitation_line];       // the fast loops' line
};

struct mlsa_state {
    int order;               // m
    double alpha, aa;        // the all-pass constant a and 1 - a^2
    double volume;
    double c[vocoder_max_order + 1];     // the filter's coefficients now
    double cinc[vocoder_max_order + 1];  // their change per sample within the frame
    // The plain loop: the engine's delay lines in the engine's layout: the
    // first-order section's (2 (P+1)), then P all-pass lines of m + 2 and
    // the stage outputs (P + 1).
    double d[pade_order * (vocoder_max_order + 2) + 3 * (pade_order + 1)];
    // The fast loops: the first section in d as above, the all-pass lines
    // with their stages in lanes (line[i][stage]), and the stage outputs of
    // the second section.
    alignas(64) double lanes[vocoder_max_order + 2][mlsa_lanes];
    double pt2[pade_order + 1];
};

// One frame: `n` (at most excitation_block) samples of excitation shaped by the taps `lpf` into x[],
// and `n` samples of x[] through the filter into out[].
typedef void (*excitation_kernel)(excitation_state& e, const double* lpf, int n, double* x);
typedef void (*mlsa_kernel)(mlsa_state& f, const double* x, int n, double* out);

struct vocoder_kernels {
    excitation_kernel excite;
    mlsa_kernel filter;
};

// Per instruction-set level: the plain loops, AVX2, AVX-512F.
extern const vocoder_kernels vocoder_kernels_by_level[isa_levels];

// The first section, exp(b1 z~), by its Padé approximation: stage i
// holds b1 times the first-order all-pass of stage i-1's output.
inline double mlsa_section1(double x, double b1, double a, double aa, double* d)
{
    double* pt = &d[pade_order + 1];
    double out = 0.0;
    for (int i = pade_order; i >= 1; i--) {
        d[i] = aa * pt[i - 1] + a * d[i];
        pt[i] = d[i] * b1;
        const double v = pt[i] * pade[i];
        x += (1 & i) ? v : -v;
        out += v;
    }
    pt[0] = x;
    out += x;
    return out;
}

// The plain loops, written as the engine's.
void excite_plain(excitation_state& e, const double* lpf, int n, double* x);
void mlsa_plain(mlsa_state& f, const double* x, int n, double* out);

// The engine's uniform noise in [0, 1]: x' = 1103515245 x + 12345 on its
// unsigned long, bits 16 to 30 scaled by 1/32767.
inline double uniform_noise(uint64_t& seed)
{
    seed = seed * 1103515245u + 12345u;
    const double r = static_cast<double>((seed / 65536u) % 32768u);
    return r / 32767;
}

// The engine's Gaussian noise: Box-Muller pairs (polar form) from the above.
inline double gaussian_noise(excitation_state& e)
{
    if (!e.second_due) {
        e.second_due = true;
        do {
            e.r1 = 2 * uniform_noise(e.seed) - 1;
            e.r2 = 2 * uniform_noise(e.seed) - 1;
            e.s = e.r1 * e.r1 + e.r2 * e.r2;
        } while (e.s > 1 || e.s == 0);
        e.s = std::sqrt(-2 * std::log(e.s) / e.s);
        return e.r1 * e.s;
    }
    e.second_due = false;
    return e.r2 * e.s;
}

// A pulse of the train: due when the counter reaches the pitch; its height
// keeps the power per period.
inline double next_pulse(excitation_state& e)
{
    e.counter += 1.0;
    if (e.counter >= e.pitch) {
        e.counter -= e.pitch;
        return std::sqrt(e.pitch);
    }
    return 0.0;
}
