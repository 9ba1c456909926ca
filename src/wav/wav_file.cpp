// WAV files: the header built here, then the file handed to the output
// folder (folder_write_with, folder_queue), which publishes it as any other.

#include "wav/wav.h"

#include "folder/folder.h"

#include <cerrno>

namespace {

// Checks a WAV file's arguments and fills its header. Returns 0, or -1 with
// errno EINVAL.
int wav_file_header(const char* file_name, const void* data, int data_size, int bits_per_sample, int channels,
                    int sampling_rate, uint8_t header[wav_header_size])
{
    if (file_name == nullptr || data_size < 0 || static_cast<uint32_t>(data_size) > wav_max_data_size ||
        (data == nullptr && data_size > 0)) {
        errno = EINVAL;
        return -1;
    }
    wav_build_header(header, static_cast<uint32_t>(data_size), bits_per_sample, channels, sampling_rate);
    return 0;
}

} // namespace

int write_wav_file(const char* file_name, const void* data, int data_size, int bits_per_sample,
                   int channels, int sampling_rate)
{
    return write_wav_file_with(file_name, data, data_size, bits_per_sample, channels, sampling_rate, nullptr,
                               nullptr);
}

int write_wav_file_with(const char* file_name, const void* data, int data_size, int bits_per_sample,
                        int channels, int sampling_rate, int (*before_rename)(void* context), void* context)
{
    uint8_t header[wav_header_size];
    if (wav_file_header(file_name, data, data_size, bits_per_sample, channels, sampling_rate, header) != 0)
        return -1;
    return folder_write_with(file_name, header, sizeof header, data, static_cast<size_t>(data_size), before_rename,
                             context);
}

int wav_queue_file(const char* file_name, const void* data, int data_size, int bits_per_sample,
                   int channels, int sampling_rate)
{
    uint8_t header[wav_header_size];
    if (wav_file_header(file_name, data, data_size, bits_per_sample, channels, sampling_rate, header) != 0)
        return -1;
    return folder_queue(file_name, header, sizeof header, data, static_cast<size_t>(data_size));
}
