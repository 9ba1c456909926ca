// WAV layout and file writer.
//
// The layout is the canonical 44-byte PCM header: a RIFF chunk holding
// exactly a "fmt " chunk and a "data" chunk, all integers little-endian.
// The same layout is used for the files written and for the images the
// synthesizer returns.
#pragma once

#include <cstdint>

inline constexpr int wav_header_size = 44;

// Largest data size the 32-bit RIFF size can describe (RIFF size = data + 36).
inline constexpr uint32_t wav_max_data_size = 0xFFFFFFFFu - 36u;

// Fills the 44 header bytes for `data_size` bytes of PCM data.
// Block align = bits * channels / 8 (truncating), bytes per second =
// block align * rate; the 2-byte fields take the low 16 bits of their values.
void wav_build_header(uint8_t header[wav_header_size], uint32_t data_size,
                      int bits_per_sample, int channels, int sampling_rate);

// The header fields that describe the samples.
struct wav_format {
    uint32_t sampling_rate;    // samples per second
    uint16_t channels;
    uint16_t bits_per_sample;
    uint32_t data_size;        // bytes of sample data after the header
};

// Reads the fields of `header` (wav_header_size bytes) as they stand: the
// tags and the other fields are not checked, so any 44 bytes give a result.
wav_format wav_read_format(const uint8_t* header);

// Writes a complete WAV file: header, then `data_size` bytes of `data`.
// The file is first written to a temporary file in the same directory and
// renamed over `file_name` only once every byte is written and the file is
// closed, so an existing file is replaced whole or not at all.
// Returns 0 on success. Returns -1, with errno set, when the file cannot be
// created, written or closed, when `file_name` is a directory or other
// non-regular file, when an existing file is read-only (no write bit set),
// or when data_size is negative or larger than wav_max_data_size. The old
// file is then untouched and no temporary file is left behind.
// `data` may be null when data_size is 0. The caller keeps ownership of it.
int write_wav_file(const char* file_name, const void* data, int data_size,
                   int bits_per_sample, int channels, int sampling_rate);
