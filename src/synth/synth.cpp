// What every voice shares: the messages of the error codes and the lookup
// by name. No engine here, so the driver's library links without one.

#include "synth/synth.h"

#include "wav/wav.h"

#include <cstdlib>

#include <cstring>

static_assert(synth_min_speed == 50 && synth_max_speed == 300 && synth_max_text_bytes == 128,
              "the messages below name these limits");

const char* synth_error_message(int code)
{
    switch (code) {
    case synth_error_empty_text:
        return "the text is empty";
    case synth_error_bad_text:
        return "the text is not kana that the voice knows";
    case synth_error_bad_speed:
        return "the speed is outside 50 to 300";
    case synth_error_text_too_long:
        return "the text is longer than 128 bytes";
    case synth_error_no_engine:
        return "the synthesizer cannot start: its data is missing, unreadable, damaged or of another version";
    case synth_error_engine:
        return "the synthesizer failed";
    case synth_error_no_memory:
        return "out of memory in the synthesizer";
    case synth_error_no_voice_file:
        return "the voice file is missing, unreadable or damaged";
    case synth_error_no_files:
        return "the synthesizer cannot open its files: too many open files";
    case synth_error_bad_pitch:
        return "the pitch is outside what the voice holds well";
    case synth_error_no_proc:
        return "the synthesizer cannot load its voice: /proc is not mounted";
    default:
        return nullptr;
    }
}

const synth_voice* synth_find_voice(const synth_voice* const* voices, const char* name)
{
    for (; *voices != nullptr; ++voices) {
        if (strcmp((*voices)->name, name) == 0)
            return *voices;
    }
    return nullptr;
}

synth_error synth_new_image(size_t samples, int rate, synth_image* image)
{
    *image = synth_image{};
    const size_t data_bytes = samples * sizeof(int16_t);
    auto* bytes = static_cast<uint8_t*>(malloc(wav_header_size + data_bytes));
    if (bytes == nullptr)
        return synth_error_no_memory;
    wav_build_header(bytes, static_cast<uint32_t>(data_bytes), 16, 1, rate);
    image->bytes = bytes;
    image->size = wav_header_size + data_bytes;
    return synth_ok;
}

void synth_release_image(synth_image* image)
{
    free(image->bytes);
    *image = synth_image{};
}
