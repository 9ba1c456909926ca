// WAV layout (wav.cpp), and WAV files written through the output folder
// (wav_file.cpp).
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

// Writing WAV files, through the output folder (folder/folder.h):
// the file goes to a temporary name beside its name, reaches the disk, and
// only then is renamed over the name, so an existing file is replaced whole
// or not at all.
//
// Errors: they return 0, or -1 with errno set: EINVAL when file_name is
// null, data_size is negative or larger than wav_max_data_size, or data is
// null with a positive data_size; otherwise as folder_write_with says. The old
// file is then untouched and no temporary file is left behind. `data` may
// be null when data_size is 0; the caller keeps ownership of it.

// Writes a complete WAV file, header then `data_size` bytes of `data`, and
// returns once it is on the disk under its name.
int write_wav_file(const char* file_name, const void* data, int data_size,
                   int bits_per_sample, int channels, int sampling_rate);

// The same, with `before_rename(context)` run once the data is on the disk,
// just before the rename, as folder_write_with runs it.
int write_wav_file_with(const char* file_name, const void* data, int data_size, int bits_per_sample,
                        int channels, int sampling_rate, int (*before_rename)(void* context), void* context);

// The same through the folder's queue (folder_queue): returns once the
// temporary file is written; the flush and the rename follow in the
// background, and a failure there is kept for folder_take_failures.
int wav_queue_file(const char* file_name, const void* data, int data_size,
                   int bits_per_sample, int channels, int sampling_rate);
