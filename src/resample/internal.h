// What the resampling stages share among themselves and with their tests.
#pragma once

#include "resample/resample.h"

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

// Fills the sinc_taps normalised taps of the sinc filter for these rates.
void sinc_kernel(uint32_t source_rate, int output_rate, double h[sinc_taps]);
