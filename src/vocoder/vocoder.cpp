// The frame loop, and the plain sample loops: the engine's excitation and
// MLSA filter written as the engine writes them (HTS_vocoder.c), so that
// they can be read against it line by line.

#include "vocoder/internal.h"

#include <cstdint>
#include <cstring>

namespace {

// The engine's F0 limits, in Hz and as their logs (its own literals).
constexpr double min_f0 = 20.0;
constexpr double max_f0 = 20000.0;
constexpr double min_lf0 = 2.9957322735539909934352235761425;
constexpr double max_lf0 = 9.9034875525361280454891979401956;

// The engine's noise starts from this seed at every utterance.
constexpr uint64_t noise_seed = 1;

// Samples per pitch period for a frame's log F0; 0 when unvoiced.
double period_of(double lf0, double rate)
{
    if (lf0 == vocoder_unvoiced)
        return 0.0;
    if (lf0 <= min_lf0)
        return rate / min_f0;
    if (lf0 >= max_lf0)
        return rate / max_f0;
    return rate / std::exp(lf0);
}

// Mel-cepstrum to the MLSA filter's coefficients: b[m] = c[m],
// b[i] = c[i] - a b[i+1].
void mcep_to_coefficients(const double* mc, double* b, int m, double a)
{
    if (a == 0.0) {
        memcpy(b, mc, sizeof(double) * static_cast<size_t>(m + 1));
        return;
    }
    b[m] = mc[m];
    for (int i = m - 1; i >= 0; --i)
        b[i] = mc[i] - a * b[i + 1];
}

// One all-pass line of the second section: the input goes in at d[0],
// each later tap is a first-order all-pass of the one before; the output
// is the taps 2..m weighted by b.
double mlsa_fir(double x, const double* b, int m, double a, double aa, double* d)
{
    double y = 0.0;
    d[0] = x;
    d[1] = aa * d[0] + a * d[1];
    for (int i = 2; i <= m; i++)
        d[i] += a * (d[i + 1] - d[i - 1]);
    for (int i = 2; i <= m; i++)
        y += d[i] * b[i];
    for (int i = m + 1; i > 1; i--)
        d[i] = d[i - 1];
    return y;
}

// The second section, exp of the taps 2..m, the same way with a whole
// all-pass line per stage.
double mlsa_section2(double x, const double* b, int m, double a, double aa, double* d)
{
    double* pt = &d[pade_order * (m + 2)];
    double out = 0.0;
    for (int i = pade_order; i >= 1; i--) {
        pt[i] = mlsa_fir(pt[i - 1], b, m, a, aa, &d[(i - 1) * (m + 2)]);
        const double v = pt[i] * pade[i];
        x += (1 & i) ? v : -v;
        out += v;
    }
    pt[0] = x;
    out += x;
    return out;
}

} // namespace

void excite_plain(excitation_state& e, const double* lpf, int n, double* x)
{
    const int size = e.taps;
    const int center = (size - 1) / 2;
    for (int j = 0; j < n; ++j) {
        const double noise = gaussian_noise(e);
        if (e.pitch == 0.0) {
            e.ring[(e.index + center) % size] += noise;
        } else {
            const double pulse = next_pulse(e);
            // Noise through the high-pass (1 - lpf), pulses through the low-pass.
            if (noise != 0.0) {
                for (int i = 0; i < size; i++) {
                    if (i == center)
                        e.ring[(e.index + i) % size] += noise * (1.0 - lpf[i]);
                    else
                        e.ring[(e.index + i) % size] += noise * (0.0 - lpf[i]);
                }
            }
            if (pulse != 0.0) {
                for (int i = 0; i < size; i++)
                    e.ring[(e.index + i) % size] += pulse * lpf[i];
            }
            e.pitch += e.pitch_step;
        }
        x[j] = e.ring[e.index];
        e.ring[e.index] = 0.0;
        e.index = (e.index + 1) % size;
    }
}

void mlsa_plain(mlsa_state& f, const double* x, int n, double* out)
{
    const int m = f.order;
    for (int j = 0; j < n; ++j) {
        double v = x[j];
        if (v != 0.0)
            v *= std::exp(f.c[0]);
        v = mlsa_section1(v, f.c[1], f.alpha, f.aa, f.d);
        v = mlsa_section2(v, f.c, m, f.alpha, f.aa, &f.d[2 * (pade_order + 1)]);
        out[j] = v * f.volume;
        for (int i = 0; i <= m; i++)
            f.c[i] += f.cinc[i];
    }
}

static_assert(vocoder_max_order == 63 && vocoder_max_lpf_taps == 255, "the refusals name these limits");

const char* vocoder_refusal(const vocoder_settings& settings, int order, int lpf_taps)
{
    if (settings.rate <= 0 || settings.frame_period <= 0)
        return "no rate or frame period";
    if (settings.stage != 0)
        return "generalized cepstra (gamma other than 0)";
    if (settings.beta != 0.0)
        return "the postfilter (beta other than 0)";
    if (!(settings.alpha > -1.0 && settings.alpha < 1.0))
        return "an all-pass constant outside (-1, 1)";
    if (order < 1 || order > vocoder_max_order)
        return "a mel-cepstral order outside 1 to 63";
    if (lpf_taps < 1 || lpf_taps > vocoder_max_lpf_taps || lpf_taps % 2 == 0)
        return "no excitation filter of an odd number of taps up to 255";
    return nullptr;
}

int vocoder_synthesize(const vocoder_settings& settings, const vocoder_frames& frames, double* out)
{
    if (vocoder_refusal(settings, frames.order, frames.lpf_taps) != nullptr ||
        frames.count > SIZE_MAX / static_cast<size_t>(settings.frame_period))
        return -1;
    const vocoder_kernels& run = vocoder_kernels_by_level[isa_current()];
    const int m = frames.order;
    const int period = settings.frame_period;
    const double rate = settings.rate;

    // Both states start from zero at every call, as the engine's do.
    excitation_state e{};
    mlsa_state f{};
    e.seed = noise_seed;
    e.taps = frames.lpf_taps;
    f.order = m;
    f.alpha = settings.alpha;
    f.aa = 1 - settings.alpha * settings.alpha;
    f.volume = settings.volume;

    double next_c[vocoder_max_order + 1];
    double x[excitation_block];
    for (size_t t = 0; t < frames.count; ++t) {
        const double p = period_of(frames.lf0[t], rate);
        if (t == 0) {
            e.pitch = p;
            e.counter = p;
            mcep_to_coefficients(frames.mcep[0], f.c, m, settings.alpha);
        }
        // The pitch glides within a frame between two voiced frames, and
        // jumps at a change of voicing.
        if (e.pitch != 0.0 && p != 0.0) {
            e.pitch_step = (p - e.pitch) / period;
        } else {
            e.pitch_step = 0.0;
            e.pitch = p;
            e.counter = p;
        }
        // The coefficients move linearly to this frame's.
        mcep_to_coefficients(frames.mcep[t], next_c, m, settings.alpha);
        for (int i = 0; i <= m; i++)
            f.cinc[i] = (next_c[i] - f.c[i]) / period;

        double* frame_out = out + t * static_cast<size_t>(period);
        for (int done = 0; done < period;) {
            const int n = period - done < excitation_block ? period - done : excitation_block;
            run.excite(e, frames.lpf[t], n, x);
            run.filter(f, x, n, frame_out + done);
            done += n;
        }
        e.pitch = p;
        memcpy(f.c, next_c, sizeof(double) * static_cast<size_t>(m + 1));
    }
    return 0;
}
