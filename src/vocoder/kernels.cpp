// The vocoder's fast loops, once per instruction set. Each does the plain
// loops' operations (vocoder.cpp) in the same order on every value, so the
// samples are the same to the last bit:
//  - the excitation adds its taps into a sliding line, so no tap needs a
//    division to find its place, and the noise and pulse taps of a sample
//    are added in one pass (each element: noise term first, then pulse);
//  - the MLSA filter runs the 5 Padé stages' all-pass lines side by side in
//    vector lanes, with each line's weighted sum in the same pass as its
//    update and its shift. The scaling by exp(c0) and the first section
//    do not depend on the lines, so they run ahead over the block.

#include "vocoder/internal.h"

#include <cstring>

namespace {

typedef double vec4 __attribute__((vector_size(32)));
typedef double vec8 __attribute__((vector_size(64)));

// at[i] += k w[i], or at[i] = at[i] + k1 w1[i] + k2 w2[i], over n taps.
inline __attribute__((always_inline)) void add_taps(double* __restrict at, const double* __restrict w, double k,
                                                    int n)
{
    for (int i = 0; i < n; i++)
        at[i] += k * w[i];
}

inline __attribute__((always_inline)) void add_taps2(double* __restrict at, const double* __restrict w1, double k1,
                                                     const double* __restrict w2, double k2, int n)
{
    for (int i = 0; i < n; i++)
        at[i] = at[i] + k1 * w1[i] + k2 * w2[i];
}

inline __attribute__((always_inline)) void excite_line_body(excitation_state& e, const double* lpf, int n, double* x)
{
    const int size = e.taps;
    const int center = (size - 1) / 2;
    // The noise's taps, the high-pass: 1 - lpf at the centre, 0 - lpf elsewhere.
    double high[vocoder_max_lpf_taps];
    for (int i = 0; i < size; i++)
        high[i] = (i == center ? 1.0 : 0.0) - lpf[i];
    for (int j = 0; j < n; ++j) {
        const double noise = gaussian_noise(e);
        double* at = e.line + e.position;
        if (e.pitch == 0.0) {
            at[center] += noise;
        } else {
            const double pulse = next_pulse(e);
            if (noise != 0.0 && pulse != 0.0)
                add_taps2(at, high, noise, lpf, pulse, size);
            else if (noise != 0.0)
                add_taps(at, high, noise, size);
            else if (pulse != 0.0)
                add_taps(at, lpf, pulse, size);
            e.pitch += e.pitch_step;
        }
        x[j] = at[0];
        // Slide; at the end, the size - 1 live taps go back to the start.
        if (++e.position + size > excitation_line) {
            memmove(e.line, e.line + e.position, sizeof(double) * static_cast<size_t>(size - 1));
            memset(e.line + size - 1, 0, sizeof(double) * static_cast<size_t>(excitation_line - (size - 1)));
            e.position = 0;
        }
    }
}

// Samples scaled by exp(c0) and through the first section, exp(b1 z~), for
// the whole block; u[j] is what the second section takes at sample j.
inline __attribute__((always_inline)) void mlsa_first_section(mlsa_state& f, const double* x, int n, double* u)
{
    const double a = f.alpha, aa = f.aa, c0_step = f.cinc[0], c1_step = f.cinc[1];
    double c0 = f.c[0], c1 = f.c[1];
    for (int j = 0; j < n; ++j) {
        double v = x[j];
        if (v != 0.0)
            v *= std::exp(c0);
        u[j] = mlsa_section1(v, c1, a, aa, f.d);
        c0 += c0_step;
        c1 += c1_step;
    }
}

// The second section: stage k + 1's all-pass line in lane k, fed by the
// stage outputs of the sample before, as the plain loop's stages are.
template <typename vec, int vectors>
inline __attribute__((always_inline)) void mlsa_lanes_body(mlsa_state& f, const double* x, int n, double* out)
{
    constexpr int width = sizeof(vec) / sizeof(double);
    static_assert(width * vectors == mlsa_lanes);
    const int m = f.order;
    const vec a = vec{} + f.alpha, aa = vec{} + f.aa;
    vec* line = reinterpret_cast<vec*>(f.lanes);  // line[i * vectors + k]: tap i, lanes of vector k

    double u[excitation_block];
    mlsa_first_section(f, x, n, u);
    for (int j = 0; j < n; ++j) {
        double stage_in[mlsa_lanes] = {};
        for (int k = 0; k < pade_order; ++k)
            stage_in[k] = f.pt2[k];
        constexpr size_t count = vectors;
        vec prev[count], cur[count], y[count];
        for (int k = 0; k < vectors; ++k) {
            vec in;
            memcpy(&in, stage_in + k * width, sizeof in);
            prev[k] = aa * in + a * line[vectors + k];
            line[vectors + k] = prev[k];
            cur[k] = line[2 * vectors + k];
            y[k] = vec{};
        }
        for (int i = 2; i <= m; i++) {
            const vec b = vec{} + f.c[i];
            for (int k = 0; k < vectors; ++k) {
                const vec next = line[(i + 1) * vectors + k];
                const vec now = cur[k] + a * (next - prev[k]);
                y[k] = y[k] + now * b;
                line[i * vectors + k] = prev[k];
                prev[k] = now;
                cur[k] = next;
            }
        }
        double stage_out[mlsa_lanes];
        for (int k = 0; k < vectors; ++k) {
            line[(m + 1) * vectors + k] = prev[k];
            memcpy(stage_out + k * width, &y[k], sizeof y[k]);
        }
        double v = u[j], sum = 0.0;
        for (int i = pade_order; i >= 1; i--) {
            f.pt2[i] = stage_out[i - 1];
            const double w = f.pt2[i] * pade[i];
            v += (1 & i) ? w : -w;
            sum += w;
        }
        f.pt2[0] = v;
        out[j] = (sum + v) * f.volume;
        for (int i = 0; i <= m; i++)
            f.c[i] += f.cinc[i];
    }
}

__attribute__((target("avx2"))) void excite_avx2(excitation_state& e, const double* lpf, int n, double* x)
{
    excite_line_body(e, lpf, n, x);
}

__attribute__((target("avx2"))) void mlsa_avx2(mlsa_state& f, const double* x, int n, double* out)
{
    mlsa_lanes_body<vec4, 2>(f, x, n, out);
}

__attribute__((target("avx512f"))) void excite_avx512(excitation_state& e, const double* lpf, int n, double* x)
{
    excite_line_body(e, lpf, n, x);
}

__attribute__((target("avx512f"))) void mlsa_avx512(mlsa_state& f, const double* x, int n, double* out)
{
    mlsa_lanes_body<vec8, 1>(f, x, n, out);
}

} // namespace

const vocoder_kernels vocoder_kernels_by_level[isa_levels] = {
    {excite_plain, mlsa_plain},
    {excite_avx2, mlsa_avx2},
    {excite_avx512, mlsa_avx512},
};
