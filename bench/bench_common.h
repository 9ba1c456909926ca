// The synthesizer's images of all 142 syllables, made once per process.
#pragma once

#include "driver/driver.h"
#include "synth/synth.h"
#include "wav/wav.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

struct syllable_image {
    std::vector<uint8_t> bytes;
    int samples;
};

inline const std::vector<syllable_image>& table_images()
{
    static const std::vector<syllable_image> images = [] {
        std::vector<syllable_image> v;
        for (int i = 0; i < syllable_count; ++i) {
            const int speed = i == syllable_count - 1 ? moraic_nasal_speed : default_settings.speed;
            int size = 0;
            unsigned char* p = AquesTalk_Synthe(syllable_table[i], speed, &size);
            if (!p)
                abort();
            v.push_back({std::vector<uint8_t>(p, p + size), (size - wav_header_size) / 2});
            AquesTalk_FreeWave(p);
        }
        return v;
    }();
    return images;
}

// The image of か, a typical syllable.
inline const syllable_image& typical_image()
{
    return table_images()[9];
}
