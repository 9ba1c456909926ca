// The synthesizer layer on arbitrary byte strings and speeds: either a
// valid image or a null result with a documented code.
//
// Input: 2 bytes speed (folded into -50..449, around the accepted range),
// then the text (cut at the first NUL).

#include "synth/synth.h"
#include "wav/wav.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int speed = (data[0] | (data[1] << 8)) % 500 - 50;
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

    int code = 0;
    unsigned char* image = AquesTalk_Synthe(text.c_str(), speed, &code);
    if (image == nullptr) {
        switch (code) {
        case synth_error_empty_text:
        case synth_error_bad_text:
        case synth_error_bad_speed:
        case synth_error_text_too_long:
        case synth_error_no_engine:
        case synth_error_engine:
        case synth_error_no_memory:
            return 0;
        default:
            abort();
        }
    }
    if (code < wav_header_size || memcmp(image, "RIFF", 4) != 0 || memcmp(image + 8, "WAVEfmt ", 8) != 0 ||
        memcmp(image + 36, "data", 4) != 0 ||
        wav_read_u32(image + wav_offset_data_size) != static_cast<uint32_t>(code - wav_header_size) ||
        wav_read_u32(image + wav_offset_sampling_rate) != synth_sampling_rate ||
        wav_read_u16(image + wav_offset_bits_per_sample) != 16 || wav_read_u16(image + 22) != 1 ||
        speed < synth_min_speed || speed > synth_max_speed)
        abort();
    AquesTalk_FreeWave(image);
    return 0;
}
