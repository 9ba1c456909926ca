#include "wav/wav.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Writes all of [data, data + size), retrying short writes.
int write_all(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// Temporary name in the target's directory: "<name>.tmp-<pid>-<counter>".
// The rename then stays on one file system and is atomic.
int make_temp_name(char* out, size_t out_size, const char* file_name)
{
    static unsigned counter = 0;
    int n = snprintf(out, out_size, "%s.tmp-%ld-%u", file_name,
                     static_cast<long>(getpid()), counter++);
    if (n < 0 || static_cast<size_t>(n) >= out_size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

// A rename would replace anything, so refuse what opening the file for
// writing would refuse, and also a file whose owner took away every write
// bit (root could write it, but the user meant to keep it).
int check_replaceable(const char* file_name)
{
    struct stat st;
    if (lstat(file_name, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        errno = EEXIST;
        return -1;
    }
    if (S_ISREG(st.st_mode) && (access(file_name, W_OK) != 0 || (st.st_mode & 0222) == 0)) {
        errno = EACCES;
        return -1;
    }
    return 0;
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
    // Unsigned product: the field is 32 bits and wraps like the C original would.
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

int write_wav_file(const char* file_name, const void* data, int data_size,
                   int bits_per_sample, int channels, int sampling_rate)
{
    if (file_name == nullptr || data_size < 0 ||
        static_cast<uint32_t>(data_size) > wav_max_data_size ||
        (data == nullptr && data_size > 0)) {
        errno = EINVAL;
        return -1;
    }

    uint8_t header[wav_header_size];
    wav_build_header(header, static_cast<uint32_t>(data_size), bits_per_sample,
                     channels, sampling_rate);

    if (check_replaceable(file_name) != 0)
        return -1;

    char temp_name[4096];
    if (make_temp_name(temp_name, sizeof temp_name, file_name) != 0)
        return -1;

    // 0666 before the umask, as fopen would create it.
    int fd = open(temp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;

    int failed = write_all(fd, header, sizeof header) != 0 ||
                 write_all(fd, static_cast<const uint8_t*>(data),
                           static_cast<size_t>(data_size)) != 0;
    int saved_errno = errno;
    if (close(fd) != 0 && !failed) {
        failed = 1;
        saved_errno = errno;
    }
    if (!failed && rename(temp_name, file_name) != 0) {
        failed = 1;
        saved_errno = errno;
    }
    if (failed) {
        unlink(temp_name);
        errno = saved_errno;
        return -1;
    }
    return 0;
}
