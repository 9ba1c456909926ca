// Plain, obviously correct twins of the resampling stages, written straight
// from the formulas with std::vector, for comparison with the real code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The spline stage: fit, evaluate at i * src / out, gain, clamp, truncate.
std::vector<int16_t> reference_spline_resample(const std::vector<int16_t>& in, uint32_t src, int out);

// The 256-tap filter over stored 16-bit samples.
std::vector<int16_t> reference_sinc(const std::vector<int16_t>& x, uint32_t src, int out);

// A WAV image of `samples` at `rate`, with the given bits-per-sample field.
std::vector<uint8_t> make_image(const std::vector<int16_t>& samples, uint32_t rate, uint16_t bits = 16);

// Test signals: full-scale noise, a clipping square wave, a constant.
std::vector<int16_t> noise(size_t n, uint32_t seed);
std::vector<int16_t> square(size_t n, int period);
std::vector<int16_t> constant(size_t n, int16_t value);
