#include "driver/console.h"

#include "synth/synth.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Standard output was closed when the program started.
bool stdout_closed = false;
// Why standard output failed first: a later write may only see the error flag.
int stdout_errno = 0;

// A closed standard stream is pointed at /dev/null. Returns whether it was closed.
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

} // namespace

void console_start()
{
    reopen_if_closed(STDIN_FILENO);
    stdout_closed = reopen_if_closed(STDOUT_FILENO);
    reopen_if_closed(STDERR_FILENO);
    // A file size limit must fail the write (EFBIG), and a reader that went
    // away the console output (EPIPE), instead of killing the run half-way:
    // both are reported and the remaining files still get written.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

void say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    errno = 0;
    vprintf(format, args);
    va_end(args);
    if (stdout_errno == 0 && ferror(stdout))
        stdout_errno = errno != 0 ? errno : EIO;
}

int console_finish()
{
    // A full disk or a closed descriptor behind standard output is a failed
    // run, not a success.
    if (fflush(stdout) != 0 && stdout_errno == 0)
        stdout_errno = errno;
    if (stdout_closed || stdout_errno != 0 || ferror(stdout)) {
        const int reason = stdout_closed ? EBADF : stdout_errno != 0 ? stdout_errno : EIO;
        fprintf(stderr, "cannot write to standard output: %s\n", strerror(reason));
        return -1;
    }
    return 0;
}

void shown_text(const char* text, char* out, size_t size)
{
    size_t used = 0;
    out[0] = 0;
    for (size_t i = 0; text[i] != 0 && used + 8 < size; ++i) {
        if (i == shown_bytes) {
            memcpy(out + used, "...", 4);
            return;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        const int n = c >= 0x20 && c < 0x7f && c != '\\' ? snprintf(out + used, size - used, "%c", c)
                                                            : snprintf(out + used, size - used, "\\x%02x", c);
        used += static_cast<size_t>(n);
    }
}

void report_synth_error(int code, const char* detail)
{
    fprintf(stderr, "ERR:%d\n", code);
    if (const char* message = synth_error_message(code))
        fprintf(stderr, "%s%s%s\n", message, detail[0] ? ": " : "", detail);
}
