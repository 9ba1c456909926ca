#include "support.h"

#include "bank/syllables.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <iconv.h>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

uint32_t u32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t u16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

} // namespace

run_result run_program(const std::string& dir, const std::string& program,
                       const std::vector<std::string>& args, const std::vector<std::string>& env,
                       const std::function<void()>& in_child, int stop_signal, int stop_after_ms,
                       bool stop_group)
{
    // Pipes, not files: a file size limit set in the child must not cut
    // what it prints.
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        abort();
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, STDIN_FILENO);
        if (chdir(dir.c_str()) != 0 || (stop_group && setpgid(0, 0) != 0))
            _exit(126);
        for (const std::string& e : env)
            putenv(strdup(e.c_str()));
        if (in_child)
            in_child();
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    run_result r;
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_count = 2;
    struct timespec started{};
    bool stop_due = stop_signal != 0;
    while (open_count > 0) {
        int wait_ms = -1;
        if (stop_due && !r.out.empty()) {
            if (started.tv_sec == 0 && started.tv_nsec == 0)
                clock_gettime(CLOCK_MONOTONIC, &started);
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long elapsed = (now.tv_sec - started.tv_sec) * 1000 + (now.tv_nsec - started.tv_nsec) / 1000000;
            if (elapsed >= stop_after_ms) {
                kill(stop_group ? -pid : pid, stop_signal);
                stop_due = false;
            } else {
                wait_ms = static_cast<int>(stop_after_ms - elapsed);
            }
        }
        if (poll(fds, 2, wait_ms) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[65536];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return r;
}

std::string make_temp_dir()
{
    char name[] = "/tmp/morivox-test-XXXXXX";
    if (mkdtemp(name) == nullptr)
        abort();
    return name;
}

void remove_tree(const std::string& path)
{
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::vector<uint8_t> read_file(const std::string& path)
{
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return bytes;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

wav_file parse_wav(const std::vector<uint8_t>& b)
{
    wav_file w{};
    if (b.size() < 44)
        return w;
    const uint8_t* p = b.data();
    w.riff_size = u32(p + 4);
    w.fmt_size = u32(p + 16);
    w.format = u16(p + 20);
    w.channels = u16(p + 22);
    w.rate = u32(p + 24);
    w.bytes_per_second = u32(p + 28);
    w.block_align = u16(p + 32);
    w.bits = u16(p + 34);
    w.data_size = u32(p + 40);
    w.valid = memcmp(p, "RIFF", 4) == 0 && memcmp(p + 8, "WAVE", 4) == 0 &&
              memcmp(p + 12, "fmt ", 4) == 0 && memcmp(p + 36, "data", 4) == 0 &&
              w.riff_size == w.data_size + 36 && b.size() == 44 + static_cast<size_t>(w.data_size);
    if (w.valid) {
        for (size_t i = 44; i + 1 < b.size(); i += 2)
            w.samples.push_back(static_cast<int16_t>(u16(p + i)));
    }
    return w;
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> expected_file_names()
{
    std::vector<std::string> v;
    for (const syllable* s = syllable_table; s->sjis != nullptr; ++s)
        v.push_back(std::string(s->name) + ".wav");
    return v;
}

std::string file_name_of(const char* name)
{
    if (find_syllable(name) == nullptr)
        abort();
    return std::string(name) + ".wav";
}


double pitch_at(const std::vector<int16_t>& s, size_t centre, int rate, double lowest, double highest)
{
    const int window = 1024;
    const size_t start = centre - window / 2;
    auto correlation = [&](int lag) {
        double num = 0, e1 = 0, e2 = 0;
        for (int k = 0; k < window; ++k) {
            const double a = s[start + k], b = s[start + k + lag];
            num += a * b;
            e1 += a * a;
            e2 += b * b;
        }
        return num / std::sqrt(e1 * e2 + 1e-9);
    };
    int best_lag = 0;
    double best = -1;
    for (int lag = static_cast<int>(rate / highest); lag <= static_cast<int>(rate / lowest); ++lag) {
        const double r = correlation(lag);
        if (r > best) {
            best = r;
            best_lag = lag;
        }
    }
    // A parabola through the peak and its neighbours places it between samples.
    const double before = correlation(best_lag - 1), after = correlation(best_lag + 1);
    const double curve = before - 2 * best + after;
    const double shift = curve < 0 ? 0.5 * (before - after) / curve : 0.0;
    return static_cast<double>(rate) / (best_lag + shift);
}

// Text in Shift-JIS (CP932) as UTF-8; false when it is not CP932.
bool convert_text(const char* from, const char* to, const std::string& in, std::string* out)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string buffer(in.size() * 4 + 4, '\0');  // UTF-32 takes 4 bytes a character
    char* ip = const_cast<char*>(in.data());
    size_t il = in.size();
    char* op = buffer.data();
    size_t ol = buffer.size();
    const size_t rc = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    *out = buffer.substr(0, buffer.size() - ol);
    return rc != static_cast<size_t>(-1) && il == 0;
}

bool from_cp932(const std::vector<uint8_t>& in, std::string* out)
{
    return convert_text("CP932", "UTF-8", std::string(in.begin(), in.end()), out);
}

bool parse_oto_line(const std::string& text, oto_line* out)
{
    const std::string line = text.substr(0, text.find_last_not_of('\r') + 1);
    const size_t eq = line.find('=');
    const size_t comma = line.find(',', eq);
    if (eq == std::string::npos || comma == std::string::npos || line.find('=', eq + 1) != std::string::npos)
        return false;
    out->file = line.substr(0, eq);
    out->alias = line.substr(eq + 1, comma - eq - 1);
    return sscanf(line.c_str() + comma + 1, "%lf,%lf,%lf,%lf,%lf", &out->offset, &out->consonant, &out->cutoff,
                  &out->preutterance, &out->overlap) == 5;
}

std::vector<std::string> openutau_oto_errors(const oto_line& l, double dur)
{
    const double offset = l.offset, pre = l.preutterance, consonant = l.consonant, overlap = l.overlap;
    const double cut = l.cutoff < 0 ? offset - l.cutoff : dur - l.cutoff;
    const struct {
        bool wrong;
        const char* rule;
    } rules[] = {
        {offset < 0, "offset < 0"},         {offset > dur, "offset > dur"},
        {pre < 0, "preutter < 0"},          {offset + pre > dur, "offset + preutter > dur"},
        {consonant < 0, "consonant < 0"},   {offset + consonant > dur, "offset + consonant > dur"},
        {offset + overlap > dur, "offset + overlap > dur"}, {cut < offset + pre, "cut < offset + preutter"},
        {cut < offset + overlap, "cut < offset + overlap"}, {cut <= offset + consonant, "cut <= offset + consonant"},
        {cut > dur, "cut > dur"},           {overlap < 0 || overlap > pre, "overlap outside [0, preutter]"},
    };
    std::vector<std::string> broken;
    for (const auto& rule : rules) {
        if (rule.wrong)
            broken.push_back(rule.rule);
    }
    return broken;
}
