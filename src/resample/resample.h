// Resampling: natural cubic spline to the output rate, output gain, clamping,
// and the optional 256-tap smoothing filter.
//
// Sample buffers are arrays of signed 16-bit mono samples allocated with
// malloc; whoever receives one releases it with free(). Counts are in
// samples unless a name says bytes.
#pragma once

#include <cstdint>

// Output gain applied after interpolation, about -1 dB.
inline constexpr double resample_output_gain = 0.891250938;

// Accepted output rates, in samples per second.
inline constexpr int resample_min_rate = 1;
inline constexpr int resample_max_rate = 768000;

// Largest result, in samples: twice it must fit a signed 32-bit byte count.
inline constexpr int64_t resample_max_samples = (int64_t{1} << 30) - 1;

// Taps of the smoothing filter; tap m belongs to offset m - 128.
inline constexpr int sinc_taps = 256;
inline constexpr int sinc_centre = 128;

// Converts a WAV image (44-byte header, then little-endian 16-bit samples)
// to `output_rate`, scales by resample_output_gain, clamps to
// [-32768, 32767] and truncates toward zero; with `smoothing` non-zero the
// result then goes through apply_sinc_filter.
//
// Reads only the sampling rate, bits per sample and data size fields and
// min(data size * 8 / bits, data size / 2) samples, so `image` must hold
// 44 + data size bytes. N source samples give N * output_rate / source rate
// output samples (truncated). A header with a sampling rate or bits per
// sample of 0, no samples, or an output rate outside
// [resample_min_rate, resample_max_rate] gives an empty result.
//
// Returns a newly allocated buffer (non-null even when empty) and stores its
// size in bytes through `size_bytes`. Returns null, with *size_bytes = 0,
// when memory runs out or the result would exceed resample_max_samples.
// The image is neither modified nor released.
int16_t* resample_wave(const uint8_t* image, int output_rate, int* size_bytes, int smoothing);

// Natural cubic spline through y[0..n-1] at unit spacing (second derivative
// zero at both ends). Between knots j and j+1 the curve is
// y[j] + b[j] t + c[j] t^2 + d[j] t^3. Writes b[0..n-2], c[0..n-1] (c[n-1]
// is 0) and d[0..n-2]. Returns 0, or -1 (writing nothing) when n < 2.
int compute_natural_spline(const double* y, int n, double* b, double* c, double* d);

// Fills the 256 normalised taps of the smoothing filter: a sinc with cutoff
// at half of `source_rate`, measured at `output_rate`, under a Hann window,
// scaled to sum to one.
void sinc_kernel(uint32_t source_rate, int output_rate, double h[sinc_taps]);

// Filters `count` samples with sinc_kernel(source_rate, output_rate), the
// samples outside the buffer counting as absent, then clamps to
// [-32767, 32767] and truncates toward zero. Releases `input` and returns a
// newly allocated buffer of `count` samples (non-null even for 0), or null
// when memory runs out.
int16_t* apply_sinc_filter(int16_t* input, int count, uint32_t source_rate, int output_rate);

// Both stages turn a double into a sample by clamping, then truncating
// toward zero. The spline keeps -32768; the filter stops at -32767.
inline constexpr double sample_highest = 32767.0;
inline constexpr double spline_lowest = -32768.0;
inline constexpr double filter_lowest = -32767.0;

// The clamp to [lowest, sample_highest], for a double or a GCC vector of
// doubles, in place (written as selects, so that loops over it vectorize).
// The caller then truncates: static_cast<int16_t> or __builtin_convertvector.
template <typename T>
inline void clamp_sample(T& v, double lowest)
{
    v = v > sample_highest ? T{} + sample_highest : v;
    v = v < lowest ? T{} + lowest : v;
}
