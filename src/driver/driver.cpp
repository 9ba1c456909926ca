#include "driver/driver.h"

#include "driver/syllables.h"
#include "resample/resample.h"
#include "wav/wav.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char banner_title[] = "Morivox Ver1.00\n";
constexpr int file_bits_per_sample = 16;
constexpr int file_channels = 1;

// Room for a file name: six Shift-JIS bytes become at most nine UTF-8 bytes.
constexpr size_t name_room = 64;

// Reads `text` as "%d" would (leading white space, one sign, digits),
// saturating at the 32-bit limits. Leaves *value alone when no digit starts it.
void read_decimal(const char* text, int* value)
{
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (end == text)
        return;
    *value = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}
// A closed standard stream would let the next open() take its descriptor,
// and a progress line would then land in a syllable file. Point it at
// /dev/null instead and remember that it was closed.
bool reopen_if_closed(int fd)
{
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
        return false;
    int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) {
        dup2(null_fd, fd);
        close(null_fd);
    }
    return true;
}

// Makes one file. Returns 0 when the run goes on (*not_written set when
// the file could not be written, which is reported), -1 when it must end.
int make_syllable(const syllable& entry, const run_settings& settings, const synth_voice& voice,
                  synth_engine* engine, bool* not_written)
{
    synth_image image{};
    const synth_error code =
        voice.synthesize(engine, entry.sjis, syllable_speed(entry, settings.speed), &image);
    if (code != synth_ok) {
        fprintf(stderr, "ERR:%d\n", code);
        return -1;
    }

    char name[name_room];
    snprintf(name, sizeof name, "%s.wav", entry.name);

    int size_bytes = 0;
    int16_t* samples = resample_wave(image.bytes, settings.output_rate, &size_bytes, settings.sinc_filter);
    if (samples == nullptr) {
        voice.free_image(&image);
        fprintf(stderr, "out of memory converting '%s'\n", name);
        return -1;
    }

    printf("generating...'%s'\n", name);
    if (write_wav_file(name, samples, size_bytes, file_bits_per_sample, file_channels,
                       settings.output_rate) != 0) {
        fprintf(stderr, "cannot write '%s': %s\n", name, strerror(errno));
        *not_written = true;
    }
    voice.free_image(&image);
    free(samples);
    return 0;
}

} // namespace

void parse_command_line(int argc, const char* const* argv, run_settings* settings)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "-sinc") == 0) {
            settings->sinc_filter = 1;
        } else if (strcmp(arg, "-speed") == 0 || strcmp(arg, "-rate") == 0) {
            if (i + 1 >= argc)
                break;
            int* target = arg[1] == 's' ? &settings->speed : &settings->output_rate;
            read_decimal(argv[++i], target);
        }
    }
}

int run_morivox(int argc, const char* const* argv, const synth_voice* const* voices)
{
    reopen_if_closed(STDIN_FILENO);
    const bool stdout_closed = reopen_if_closed(STDOUT_FILENO);
    reopen_if_closed(STDERR_FILENO);
    // A file size limit must fail the write (EFBIG), and a reader that went
    // away the console output (EPIPE), instead of killing the run half-way:
    // both are reported and the remaining files still get written.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);

    run_settings settings = default_settings;
    parse_command_line(argc, argv, &settings);
    if (settings.output_rate < resample_min_rate || settings.output_rate > resample_max_rate) {
        fprintf(stderr, "SamplingRate: %d is out of range (%d to %d)\n", settings.output_rate,
                resample_min_rate, resample_max_rate);
        return -1;
    }

    printf("%s", banner_title);
    printf("Speed: %d\n", settings.speed);
    printf("SamplingRate: %d\n", settings.output_rate);
    printf("Sinc Filter: ");
    printf("%s", settings.sinc_filter ? "On\n" : "Off\n");

    const synth_voice& voice = *voices[0];
    synth_engine* engine = nullptr;
    const synth_error opened = voice.open(&engine);
    if (opened != synth_ok) {
        fprintf(stderr, "ERR:%d\n", opened);
        fflush(stdout);
        return -1;
    }
    bool not_written = false;
    for (const syllable* entry = syllable_table; entry->sjis != nullptr; ++entry) {
        if (make_syllable(*entry, settings, voice, engine, &not_written) != 0) {
            voice.close(engine);
            fflush(stdout);
            return -1;
        }
    }
    voice.close(engine);
    printf("done.\n");

    // Everything printed must have arrived: a full disk or a closed
    // descriptor behind standard output is a failed run, not a success.
    const bool flush_failed = fflush(stdout) != 0;
    const int flush_errno = errno;
    if (stdout_closed || flush_failed || ferror(stdout)) {
        const char* reason = stdout_closed  ? strerror(EBADF)
                             : flush_failed ? strerror(flush_errno)
                                            : "write error";
        fprintf(stderr, "cannot write to standard output: %s\n", reason);
        return -1;
    }
    return not_written ? -1 : 0;
}
