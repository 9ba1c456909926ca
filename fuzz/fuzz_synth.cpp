// The eSpeak voice on arbitrary byte strings and speeds: either a valid
// image, its marks inside it, or a documented code.
//
// Input: 2 bytes, little-endian: the speed in the low 15 bits (folded into
// -50..449, around the accepted range), and a string at a beat of 375 ms
// when the top bit is set; then the text (cut at the first NUL).

#include "synth/espeak_voice.h"
#include "wav/wav.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int speed = (data[0] | ((data[1] & 0x7F) << 8)) % 500 - 50;
    const double beat = (data[1] & 0x80) != 0 ? 0.375 : 0.0;
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

    synth_engine* engine = nullptr;
    synth_error code = espeak_voice.open(&engine);
    synth_image image{};
    if (code == synth_ok)
        code = espeak_voice.synthesize(engine, text.c_str(), speed, synth_steady_f0, beat, &image);
    if (code != synth_ok) {
        if (synth_error_message(code) == nullptr || image.bytes != nullptr)
            abort();
        if (engine != nullptr)
            espeak_voice.close(engine);  // an engine left open makes the next one a worker process
        return 0;
    }
    const wav_format f = wav_read_format(image.bytes);
    if (image.size < wav_header_size || memcmp(image.bytes, "RIFF", 4) != 0 ||
        memcmp(image.bytes + 8, "WAVEfmt ", 8) != 0 || memcmp(image.bytes + 36, "data", 4) != 0 ||
        f.data_size != image.size - wav_header_size || f.sampling_rate != espeak_sampling_rate ||
        f.bits_per_sample != 16 || f.channels != 1 || speed < synth_min_speed || speed > synth_max_speed ||
        image.mora_count < 1 || image.mora_count > synth_max_morae || (beat == 0.0 && image.mora_count != 1))
        abort();
    const size_t samples = f.data_size / 2;
    for (int m = 0; m < image.mora_count; ++m) {
        const synth_marks& k = image.marks[m];
        if (k.consonant_start > k.vowel_start || k.vowel_start > k.glide_end || k.glide_end > k.steady_end ||
            k.voiced_start > k.voiced_end || k.steady_end > samples || k.voiced_end > samples)
            abort();
    }
    espeak_voice.free_image(&image);
    espeak_voice.close(engine);
    return 0;
}
