// Which vector instructions the resampling loops use.
//
// Each hot loop exists once per level (plain x86-64, AVX2, AVX-512F); every
// version does the same operations in the same order and gives the same
// bytes. The versions in force are picked once, into resample_kernels.
#pragma once

#include <cstdint>

enum isa_level : int {
    isa_baseline = 0,
    isa_avx2 = 1,
    isa_avx512 = 2,
};
inline constexpr int isa_levels = 3;

// The level the loops use now.
isa_level isa_current();

// Caps the level at `limit` (never above what the processor supports), so
// that tests can run every path on one machine. Returns the level in force.
// Not while other threads resample: it rewrites the table they read.
isa_level isa_limit(isa_level limit);

// The curve at each output position (see evaluate_spline_range in resample.cpp).
typedef void (*spline_kernel)(const double* y, const double* b, const double* c, const double* d, int n,
                              uint32_t source_rate, int output_rate, int16_t* out, int r);

// The 256 taps over the shifted copies (see filter_blocks_body in sinc_filter.cpp).
typedef void (*filter_kernel)(const double* copies, const double* h, int16_t* out, int count);

// One version of each loop per level, defined beside the loops.
extern const spline_kernel spline_kernel_by_level[isa_levels];
extern const filter_kernel filter_kernel_by_level[isa_levels];

struct resample_kernels {
    spline_kernel evaluate_spline;
    filter_kernel filter_blocks;
};

// The versions for isa_current(): chosen on first use, again by isa_limit.
const resample_kernels& resample_kernels_in_force();
