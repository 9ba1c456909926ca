// What the resampling stages share among themselves and with their tests.
#pragma once

#include "isa/isa.h"
#include "resample/resample.h"

#include <cstdint>

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

// The curve at each output position (see evaluate_spline_range in resample.cpp).
typedef void (*spline_kernel)(const double* y, const double* b, const double* c, const double* d, int n,
                              uint32_t source_rate, int output_rate, int16_t* out, int r);

// The 256 taps over the shifted copies (see filter_blocks_body in sinc_filter.cpp).
typedef void (*filter_kernel)(const double* copies, const double* h, int16_t* out, int count);

// One version of each loop per instruction set level, defined beside the
// loops; the callers index them by isa_current().
extern const spline_kernel spline_kernel_by_level[isa_levels];
extern const filter_kernel filter_kernel_by_level[isa_levels];

// Fills the sinc_taps normalised taps of the sinc filter for these rates.
void sinc_kernel(uint32_t source_rate, int output_rate, double h[sinc_taps]);
