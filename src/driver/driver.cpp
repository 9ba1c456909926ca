#include "driver/driver.h"

#include "resample/resample.h"
#include "synth/synth.h"
#include "wav/wav.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

namespace {

constexpr const char banner_title[] = "Morivox Ver1.00\n";
constexpr int file_bits_per_sample = 16;
constexpr int file_channels = 1;

// ん in Shift-JIS: the one entry made at moraic_nasal_speed.
constexpr const char moraic_nasal[] = "\x82\xF1";

// Room for a file name: six Shift-JIS bytes become at most nine UTF-8 bytes.
constexpr size_t name_room = 64;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
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

// Makes one file. Returns 0 when written, 1 when the file could not be
// written (reported, the run goes on), -1 when the run must end.
int make_syllable(const char* syllable, const run_settings& settings)
{
    const int speed = strcmp(syllable, moraic_nasal) == 0 ? moraic_nasal_speed : settings.speed;
    int code = 0;
    unsigned char* image = AquesTalk_Synthe(syllable, speed, &code);
    if (image == nullptr) {
        fprintf(stderr, "ERR:%d\n", code);
        return -1;
    }

    char stem[name_room];
    char name[name_room + 4];
    if (sjis_to_utf8(syllable, stem, sizeof stem) != 0) {
        AquesTalk_FreeWave(image);
        fprintf(stderr, "cannot convert a syllable's name to UTF-8\n");
        return -1;
    }
    snprintf(name, sizeof name, "%s.wav", stem);

    int size_bytes = 0;
    int16_t* samples = resample_wave(image, settings.output_rate, &size_bytes, settings.smoothing);
    if (samples == nullptr) {
        AquesTalk_FreeWave(image);
        fprintf(stderr, "out of memory converting '%s'\n", name);
        return -1;
    }

    printf("generating...'%s'\n", name);
    int result = 0;
    if (write_wav_file(name, samples, size_bytes, file_bits_per_sample, file_channels,
                       settings.output_rate) != 0) {
        fprintf(stderr, "cannot write '%s': %s\n", name, strerror(errno));
        result = 1;
    }
    AquesTalk_FreeWave(image);
    free(samples);
    return result;
}

} // namespace

int parse_decimal(const char* text, int* value)
{
    const char* p = text;
    while (is_space(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return 0;

    // Accumulate toward the sign's side so that INT32_MIN itself is reachable.
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        if (v < -static_cast<long long>(INT_MIN))
            v = v * 10 + digit;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    *value = static_cast<int>(v);
    return 1;
}

void parse_command_line(int argc, const char* const* argv, run_settings* settings)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "-sinc") == 0) {
            settings->smoothing = 1;
        } else if (strcmp(arg, "-speed") == 0 || strcmp(arg, "-rate") == 0) {
            if (i + 1 >= argc)
                break;
            int* target = arg[1] == 's' ? &settings->speed : &settings->output_rate;
            parse_decimal(argv[++i], target);
        }
    }
}

int sjis_to_utf8(const char* sjis, char* out, size_t out_size)
{
    if (out_size == 0)
        return -1;
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return -1;
    char* in = const_cast<char*>(sjis);
    size_t in_left = strlen(sjis);
    char* o = out;
    size_t out_left = out_size - 1;
    const size_t rc = iconv(cd, &in, &in_left, &o, &out_left);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || in_left != 0)
        return -1;
    *o = 0;
    return 0;
}

int run_morivox(int argc, const char* const* argv)
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
    printf("%s", settings.smoothing ? "On\n" : "Off\n");

    int status = 0;
    for (const char* const* entry = syllable_table; *entry != nullptr; ++entry) {
        const int r = make_syllable(*entry, settings);
        if (r < 0) {
            fflush(stdout);
            return -1;
        }
        if (r > 0)
            status = -1;
    }
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
    return status;
}
