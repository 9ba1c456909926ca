// Which vector instructions the resampling loops use.
//
// Each hot loop is built three times (plain x86-64, AVX2, AVX-512F) from one
// body, so every path does the same operations in the same order and gives
// the same bytes; the widest the processor supports is used.
#pragma once

enum isa_level : int {
    isa_baseline = 0,
    isa_avx2 = 1,
    isa_avx512 = 2,
};

// The level the loops use now.
isa_level isa_current();

// Caps the level at `limit` (never above what the processor supports), so
// that tests can run every path on one machine. Returns the level in force.
isa_level isa_limit(isa_level limit);
