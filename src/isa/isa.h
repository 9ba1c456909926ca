// Which vector instructions the hot loops use (the resampler's, the
// vocoder's and the oto timings' Goertzel recurrences).
//
// Each hot loop exists once per level (plain x86-64, AVX2, AVX-512F); every
// version does the same operations in the same order and gives the same
// bytes. A loop's caller picks its version by isa_current() at each call.
#pragma once

enum isa_level : int {
    isa_baseline = 0,
    isa_avx2 = 1,
    isa_avx512 = 2,
};
inline constexpr int isa_levels = 3;

// The level the loops use now: the highest the processor supports, or
// lower where isa_limit says.
isa_level isa_current();

// Caps the level at `limit` (never above what the processor supports), so
// that tests and benchmarks can run every path on one machine. Returns the
// level in force. Not while other threads run the loops.
isa_level isa_limit(isa_level limit);
