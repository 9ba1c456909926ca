// resample_wave, with and without the sinc filter, on arbitrary images.
//
// Input: 4 bytes sampling rate, 2 bytes bits per sample, 4 bytes output
// rate (folded into the accepted range), 1 byte sinc filter flag, 4 bytes
// data size (never more than the bytes that follow), then the data.

#include "resample/resample.h"
#include "wav/wav.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

uint32_t take32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t params = 15;
    if (size < params)
        return 0;
    const uint32_t rate = take32(data);
    const uint16_t bits = static_cast<uint16_t>(data[4] | (data[5] << 8));
    const int output_rate = static_cast<int>(take32(data + 6) % resample_max_rate) + 1;
    const int sinc_filter = data[10] & 1;
    const size_t available = size - params;
    uint32_t data_size = take32(data + 11);
    if (data_size > available)
        data_size = static_cast<uint32_t>(available);

    // Keep each run small: the output count is known from the header.
    const uint64_t n = bits ? std::min<uint64_t>(uint64_t{data_size} * 8 / bits, data_size / 2) : 0;
    const uint64_t r = rate ? n * static_cast<uint64_t>(output_rate) / rate : 0;
    if (r > (1u << 16))
        return 0;

    // Exactly 44 + data size bytes, so that any read past them is caught.
    uint8_t* image = static_cast<uint8_t*>(malloc(wav_header_size + data_size));
    wav_build_header(image, data_size, bits, 1, static_cast<int>(rate));  // any 32 bits, kept as they are
    memcpy(image + wav_header_size, data + params, data_size);

    int out_size = -1;
    int16_t* out = resample_wave(image, output_rate, &out_size, sinc_filter);
    if (out == nullptr || out_size != static_cast<int>(2 * r))
        abort();
    for (uint64_t i = 0; i < r; ++i) {
        if (sinc_filter && out[i] < -32767)
            abort();
    }
    free(out);
    free(image);
    return 0;
}
