// WAV layout and file writer.
//
// The layout is the canonical 44-byte PCM header: a RIFF chunk holding
// exactly a "fmt " chunk and a "data" chunk, all integers little-endian.
// The same layout is used for the files written and for the images the
// synthesizer returns.
#pragma once

#include <cstddef>
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

// Writing files. Every file is written to a temporary file beside its name
// ("<name>.tmp-<pid>-<counter>", never a name that exists), flushed to the
// disk, and only then renamed over the name, so an existing file is
// replaced whole or not at all. A replaced file's permission bits are kept,
// and its owner and group where the process may set them; a symbolic link
// at the name is replaced, never written through.
//
// Errors: the functions below return 0, or -1 with errno set when the file
// cannot be created, written, flushed or renamed, when the name is a
// directory or other non-regular file, when an existing file is read-only
// (no write bit set, or a read-only file system), or when data_size is
// negative or larger than wav_max_data_size. The old file is then untouched
// and no temporary file is left behind. `data` may be null when data_size
// is 0; the caller keeps ownership of it.

// Writes a complete WAV file, header then `data_size` bytes of `data`, and
// returns once it is on the disk under its name.
int write_wav_file(const char* file_name, const void* data, int data_size,
                   int bits_per_sample, int channels, int sampling_rate);

// Writes the same file to its temporary name now and returns; one thread
// flushes and renames the queued files in the background, in batches, so
// that the next file is made while the disk works. A failure found there is
// kept for wav_take_failures. Waits while 32 files are in flight.
int wav_queue_file(const char* file_name, const void* data, int data_size,
                   int bits_per_sample, int channels, int sampling_rate);

// The same for a file of any content: `head`, then `body`.
int wav_queue_bytes(const char* file_name, const void* head, size_t head_size, const void* body,
                    size_t body_size);

struct wav_failure {
    char name[4096];
    int error;  // errno
};

// Moves up to `capacity` failures of queued files, oldest first, into
// `out`, and returns how many.
int wav_take_failures(wav_failure* out, int capacity);

// Waits until every queued file is flushed and renamed, then flushes the
// folder itself when it was locked. Returns 0, or -1 with errno when the
// folder could not be flushed.
int wav_finish_queue();

// The output folder (the current one).

// Takes an exclusive advisory lock on the folder itself for the life of the
// process: no file, and gone when the process dies. Returns 0; -1 with
// errno EWOULDBLOCK when another process holds it, or another errno when
// the folder cannot be opened for reading (no lock can be had then).
int wav_lock_folder();

// Removes the temporary files of ".wav", ".ini", ".txt" and ".yaml" names
// that a stopped run left in the folder. Call it under the lock. Returns how many it removed.
int wav_remove_stale_temporaries();

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary files in progress,
// then end the process with the usual status for the signal.
void wav_clean_up_on_signals();
