// Resampling: a natural cubic spline to the output rate with the output
// gain and clamping, then, when asked, the 256-tap sinc filter.
//
// Sample buffers are arrays of signed 16-bit mono samples allocated with
// malloc; whoever receives one releases it with free(). Counts are in
// samples unless a name says bytes. Every function that allocates returns
// the new buffer, or null when memory runs out or the result would be
// larger than resample_max_samples; nothing else in this module can fail.
#pragma once

#include <cstdint>

// Output gain applied after interpolation, about -1 dB.
inline constexpr double resample_output_gain = 0.891250938;

// Accepted output rates, in samples per second.
inline constexpr int resample_min_rate = 1;
inline constexpr int resample_max_rate = 768000;

// Largest result, in samples: twice it must fit a signed 32-bit byte count.
inline constexpr int64_t resample_max_samples = (int64_t{1} << 30) - 1;

// Taps of the sinc filter; tap m belongs to offset m - sinc_centre.
inline constexpr int sinc_taps = 256;
inline constexpr int sinc_centre = 128;

// The whole conversion of one synthesizer image: reads the image's header,
// runs spline_resample on its samples and, with `sinc_filter` non-zero,
// apply_sinc_filter on the result.
//
// Reads only the sampling rate, bits per sample and data size fields and
// min(data size * 8 / bits, data size / 2) samples, so `image` must hold
// 44 + data size bytes. A header with a sampling rate or bits per sample of
// 0, or no samples, gives an empty result.
//
// Returns the new buffer (non-null even when empty) and stores its size in
// bytes through `size_bytes`; on failure returns null with *size_bytes = 0.
// The image is neither modified nor released.
int16_t* resample_wave(const uint8_t* image, int output_rate, int* size_bytes, int sinc_filter);

// The spline stage: `count` little-endian 16-bit samples at `source_rate`
// (bytes, so that an image's data can be read where it lies) become
// count * output_rate / source_rate samples (truncated) at `output_rate`:
// the curve through them, times resample_output_gain, clamped to
// [-32768, 32767] and truncated toward zero. A source rate of 0 or an
// output rate outside [resample_min_rate, resample_max_rate] gives an empty
// result. Stores the result's length through `out_count`.
int16_t* spline_resample(const uint8_t* samples, int64_t count, uint32_t source_rate, int output_rate,
                         int* out_count);

// Natural cubic spline through y[0..n-1] at unit spacing (second derivative
// zero at both ends). Between knots j and j+1 the curve is
// y[j] + b[j] t + c[j] t^2 + d[j] t^3. Writes b[0..n-2], c[0..n-1] (c[n-1]
// is 0) and d[0..n-2]. Needs n >= 2; writes nothing for fewer.
void compute_natural_spline(const double* y, int n, double* b, double* c, double* d);

// The sinc filter stage: a sinc with its cutoff at half of `source_rate`,
// measured at `output_rate`, under a Hann window and scaled to a sum of one,
// over `count` samples (those outside the buffer count as absent), then
// clamped to [-32767, 32767] and truncated toward zero. Returns a new buffer
// of `count` samples (non-null even for 0); `input` stays the caller's.
int16_t* apply_sinc_filter(const int16_t* input, int count, uint32_t source_rate, int output_rate);
