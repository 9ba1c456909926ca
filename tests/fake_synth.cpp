// A scripted stand-in for the synthesizer, linked into morivox_fake.
//
// MORIVOX_FAKE_FAIL_AT=k  makes the k-th call (1-based) fail with
// MORIVOX_FAKE_ERR (default 777). MORIVOX_FAKE_LOG=path appends one line per
// call: the speed and the text's bytes in hex. Images hold 1000 samples
// (MORIVOX_FAKE_SAMPLES to change) at 22050 Hz of a tone that depends on the
// text, so files differ per syllable.

#include "synth/synth.h"
#include "wav/wav.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
int calls = 0;
constexpr int default_samples = 1000;
}

const char* synth_reported_phonemes()
{
    return "";
}

unsigned char* AquesTalk_Synthe(const char* text, int speed, int* size)
{
    ++calls;
    if (const char* log = getenv("MORIVOX_FAKE_LOG")) {
        if (FILE* f = fopen(log, "a")) {
            fprintf(f, "%d", speed);
            for (const char* p = text; *p; ++p)
                fprintf(f, " %02X", static_cast<unsigned char>(*p));
            fprintf(f, "\n");
            fclose(f);
        }
    }
    const char* fail_at = getenv("MORIVOX_FAKE_FAIL_AT");
    if (fail_at && atoi(fail_at) == calls) {
        const char* err = getenv("MORIVOX_FAKE_ERR");
        *size = err ? atoi(err) : 777;
        return nullptr;
    }

    unsigned hash = 2166136261u;
    for (const char* p = text; *p; ++p)
        hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    const double step = 0.01 + (hash % 100) * 0.002;

    const char* count = getenv("MORIVOX_FAKE_SAMPLES");
    const int fake_samples = count ? atoi(count) : default_samples;
    const size_t data_bytes = static_cast<size_t>(fake_samples) * 2;
    auto* image = static_cast<unsigned char*>(malloc(wav_header_size + data_bytes));
    if (image == nullptr) {
        *size = 999;
        return nullptr;
    }
    wav_build_header(image, static_cast<uint32_t>(data_bytes), 16, 1, synth_sampling_rate);
    for (int i = 0; i < fake_samples; ++i) {
        const int v = static_cast<int>(lround(20000.0 * sin(step * i)));
        image[wav_header_size + 2 * i] = static_cast<unsigned char>(v & 0xFF);
        image[wav_header_size + 2 * i + 1] = static_cast<unsigned char>((v >> 8) & 0xFF);
    }
    *size = static_cast<int>(wav_header_size + data_bytes);
    return image;
}

void AquesTalk_FreeWave(unsigned char* image)
{
    free(image);
}
