// The WAV layout: the 44-byte header, built and read.

#include "wav/wav.h"

#include <cstring>

namespace {

// Byte offsets of the header fields.
enum wav_offset : int {
    offset_riff_tag = 0,
    offset_riff_size = 4,
    offset_wave_tag = 8,
    offset_fmt_tag = 12,
    offset_fmt_size = 16,
    offset_format_tag = 20,
    offset_channels = 22,
    offset_sampling_rate = 24,
    offset_bytes_per_second = 28,
    offset_block_align = 32,
    offset_bits_per_sample = 34,
    offset_data_tag = 36,
    offset_data_size = 40,
};
static_assert(offset_data_size + 4 == wav_header_size);

// RIFF size = data size + 36: "WAVE" (4) + fmt chunk (8 + 16) + data chunk header (8).
constexpr uint32_t riff_size_overhead = 36;
constexpr uint32_t fmt_chunk_size = 16;
constexpr uint16_t format_tag_pcm = 1;

void put_u16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

void put_u32(uint8_t* p, uint32_t v)
{
    put_u16(p, v & 0xFFFF);
    put_u16(p + 2, v >> 16);
}

uint16_t get_u16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get_u32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

wav_format wav_read_format(const uint8_t* header)
{
    wav_format f;
    f.sampling_rate = get_u32(header + offset_sampling_rate);
    f.channels = get_u16(header + offset_channels);
    f.bits_per_sample = get_u16(header + offset_bits_per_sample);
    f.data_size = get_u32(header + offset_data_size);
    return f;
}

void wav_build_header(uint8_t header[wav_header_size], uint32_t data_size,
                      int bits_per_sample, int channels, int sampling_rate)
{
    const int block_align = (bits_per_sample * channels) / 8;
    // Unsigned product: the field is 32 bits, and a larger value wraps.
    const uint32_t bytes_per_second =
        static_cast<uint32_t>(block_align) * static_cast<uint32_t>(sampling_rate);

    memcpy(header + offset_riff_tag, "RIFF", 4);
    put_u32(header + offset_riff_size, data_size + riff_size_overhead);
    memcpy(header + offset_wave_tag, "WAVE", 4);
    memcpy(header + offset_fmt_tag, "fmt ", 4);
    put_u32(header + offset_fmt_size, fmt_chunk_size);
    put_u16(header + offset_format_tag, format_tag_pcm);
    put_u16(header + offset_channels, static_cast<uint32_t>(channels) & 0xFFFF);
    put_u32(header + offset_sampling_rate, static_cast<uint32_t>(sampling_rate));
    put_u32(header + offset_bytes_per_second, bytes_per_second);
    put_u16(header + offset_block_align, static_cast<uint32_t>(block_align) & 0xFFFF);
    put_u16(header + offset_bits_per_sample, static_cast<uint32_t>(bits_per_sample) & 0xFFFF);
    memcpy(header + offset_data_tag, "data", 4);
    put_u32(header + offset_data_size, data_size);
}
