// The vocoder of the HTS voice: the parameter streams an HMM speech engine
// generates, turned into samples.
//
// It is the HTS engine's own vocoder (hts_engine API 1.10, as Debian builds
// it) redone for the configuration the voice uses, sample for sample: the
// same doubles, from the same operations in the same order.
//
// Per frame it takes a mel-cepstrum, a log F0 (or "unvoiced") and the
// taps of the excitation's low-pass filter. The excitation is a pulse
// train at F0 plus Gaussian noise, the pulses low-passed and the noise
// high-passed by those taps (unvoiced frames: noise only); it then goes
// through the MLSA filter (5th-order Padé approximation) of the
// mel-cepstrum, whose coefficients move linearly from frame to frame.
// The noise restarts from the engine's seed at every call, so the same
// frames give the same samples whatever came before.
//
// Taken as the engine takes it:
//   - gamma 0 (stage 0): mel-cepstra and the MLSA filter;
//   - no postfilter (beta 0);
//   - an excitation filter stream (an odd number of taps).
// Anything else (line spectral pairs, generalized cepstra, the postfilter,
// plain pulse or noise excitation without the filter) is refused, not
// approximated.
//
// Nothing here allocates: the caller owns the frames and the output, and
// a call keeps its state (about 40 KB) on its stack, so calls on several
// threads at once are independent. The fastest loops the processor has
// are used (see resample/isa.h); every one gives the same doubles.
#pragma once

#include <cstddef>

// The largest mel-cepstral order, and the most taps of the excitation filter.
inline constexpr int vocoder_max_order = 63;
inline constexpr int vocoder_max_lpf_taps = 255;

// The log F0 of an unvoiced frame: the engine's log of zero.
inline constexpr double vocoder_unvoiced = -1.0e+10;

struct vocoder_settings {
    int rate;           // samples per second
    int frame_period;   // samples per frame
    double alpha;       // the all-pass constant of the mel-cepstra
    double beta;        // the postfilter's strength: only 0 is taken
    int stage;          // gamma = -1 / stage; only 0 (gamma 0, mel-cepstra) is taken
    double volume;      // each sample is multiplied by this (the engine's 1.0 unless set)
};

struct vocoder_frames {
    size_t count;              // frames
    int order;                 // mel-cepstral order m: m + 1 coefficients a frame
    const double* const* mcep; // mcep[t][0..order]: the mel-cepstrum of frame t
    const double* lf0;         // lf0[t]: log F0 (natural log of Hz), or vocoder_unvoiced
    int lpf_taps;              // taps of the excitation filter a frame (odd)
    const double* const* lpf;  // lpf[t][0..lpf_taps-1]: frame t's taps, symmetric about the middle one
};

// Null when the vocoder takes these settings and sizes; else a few words
// on what it does not take (for a message).
const char* vocoder_refusal(const vocoder_settings& settings, int order, int lpf_taps);

// Samples the frames make: count * frame_period.
inline size_t vocoder_samples(const vocoder_settings& settings, const vocoder_frames& frames)
{
    return frames.count * static_cast<size_t>(settings.frame_period);
}

// Writes vocoder_samples(settings, frames) samples into out[], which the
// caller allocates: doubles on the engine's scale, where 16-bit full scale
// is 32768. Returns 0, or -1 (nothing written) when
// vocoder_refusal names a reason.
int vocoder_synthesize(const vocoder_settings& settings, const vocoder_frames& frames, double* out);
