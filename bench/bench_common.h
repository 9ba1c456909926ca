// The eSpeak voice's images of the whole syllable table, made once per process.
#pragma once

#include "driver/command_line.h"
#include "bank/syllables.h"
#include "synth/espeak_voice.h"
#include "wav/wav.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

struct syllable_image {
    std::vector<uint8_t> bytes;
    int samples;
};

// The eSpeak engine, opened once; abort when it cannot start.
inline synth_engine* bench_engine()
{
    static synth_engine* engine = [] {
        synth_engine* e = nullptr;
        if (espeak_voice.open(&e) != synth_ok)
            abort();
        return e;
    }();
    return engine;
}

// One syllable's image, made as a default run makes it.
inline syllable_image make_image(const syllable& entry)
{
    synth_image im{};
    if (espeak_voice.synthesize(bench_engine(), entry.sjis, syllable_speed(entry, default_settings.speed), synth_steady_f0,
                                0.0, &im) != synth_ok)
        abort();
    syllable_image r{std::vector<uint8_t>(im.bytes, im.bytes + im.size),
                     static_cast<int>((im.size - wav_header_size) / 2)};
    espeak_voice.free_image(&im);
    return r;
}

inline const std::vector<syllable_image>& table_images()
{
    static const std::vector<syllable_image> images = [] {
        std::vector<syllable_image> v;
        for (const syllable* s = syllable_table; s->sjis != nullptr; ++s)
            v.push_back(make_image(*s));
        return v;
    }();
    return images;
}

// The image of か, a typical syllable.
inline const syllable_image& typical_image()
{
    static const syllable_image image = make_image(*find_syllable("か"));
    return image;
}
