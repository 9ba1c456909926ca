#include "resample/resample.h"

#include <cmath>
#include <cstdlib>

namespace {

// pi as the filter has always written it: 15 digits, not full precision.
constexpr double pi_15 = 3.14159265358979;

// pi_15 / 128: a Hann window spanning the 256 taps.
constexpr double hann_step = 0.024543692606170234;

constexpr double filter_lowest = -32767.0;

} // namespace

void sinc_kernel(uint32_t source_rate, int output_rate, double h[sinc_taps])
{
    const double omega = static_cast<double>(source_rate) * pi_15 / static_cast<double>(output_rate);
    double sum = 0;
    for (int m = 0; m < sinc_taps; ++m) {
        const int k = m - sinc_centre;
        double raw = 1;
        if (k != 0) {
            const double window = (cos(k * hann_step) + 1) * 0.5;
            const double kw = static_cast<double>(k) * omega;
            raw = window * (sin(kw) / kw);
        }
        h[m] = raw;
        sum += raw;
    }
    for (int m = 0; m < sinc_taps; ++m)
        h[m] = h[m] / sum;
}

int16_t* apply_sinc_filter(int16_t* input, int count, uint32_t source_rate, int output_rate)
{
    int16_t* out = static_cast<int16_t*>(malloc((static_cast<size_t>(count) + 1) * sizeof(int16_t)));
    if (!out) {
        free(input);
        return nullptr;
    }

    double h[sinc_taps];
    sinc_kernel(source_rate, output_rate, h);

    for (int j = 0; j < count; ++j) {
        double acc = 0;
        for (int m = 0; m < sinc_taps; ++m) {
            const int p = j - sinc_centre + m;
            if (p >= 0 && p < count)
                acc = acc + input[p] * h[m];
        }
        out[j] = clamp_to_int16(acc, filter_lowest);
    }

    free(input);
    return out;
}
