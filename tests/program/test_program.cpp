// The real program, with eSpeak, run in empty folders.

#include "support.h"

#include <functional>

#include <gtest/gtest.h>

#include <linux/close_range.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string program = MORIVOX_BIN;
const std::string speed_refused = "ERR:103\nthe speed is outside 50 to 300\n";

// In the child: the process may use one core only, so it has one worker.
void on_one_core()
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof one, &one);
}

TEST(Program, DefaultRunMakes142FilesAlikeOnAnyNumberOfCores)
{
    const std::string a = make_temp_dir(), b = make_temp_dir();
    // The second run on one core: one worker instead of one per core.
    const run_result ra = run_program(a, program, {});
    const run_result rb = run_program(b, program, {}, {}, on_one_core);
    ASSERT_EQ(ra.status, 0) << ra.err;
    ASSERT_EQ(rb.status, 0) << rb.err;
    EXPECT_EQ(ra.err, "");
    EXPECT_EQ(ra.out, rb.out);
    const std::vector<std::string> lines = split_lines(ra.out);
    ASSERT_EQ(lines.size(), 4u + 142u + 1u);
    EXPECT_EQ(lines[0], "Morivox Ver1.00");
    EXPECT_EQ(lines[4], "generating...'あ.wav'");
    EXPECT_EQ(lines.back(), "done.");

    std::vector<std::string> names = expected_file_names();
    std::sort(names.begin(), names.end());
    ASSERT_EQ(list_dir(a), names);
    for (const std::string& name : names) {
        const std::vector<uint8_t> bytes = read_file(a + "/" + name);
        const wav_file w = parse_wav(bytes);
        ASSERT_TRUE(w.valid) << name;
        EXPECT_EQ(w.rate, 44100u) << name;
        EXPECT_EQ(w.bytes_per_second, 88200u) << name;
        EXPECT_EQ(w.channels, 1) << name;
        EXPECT_EQ(w.bits, 16) << name;
        EXPECT_GT(w.samples.size(), 44100u / 10) << name;
        EXPECT_EQ(bytes, read_file(b + "/" + name)) << name << " differs between runs";
    }
    remove_tree(a);
    remove_tree(b);
}

// The HTS voice: every file, the same bytes on one core as on all.
TEST(Program, HtsVoiceMakesAllFilesAlikeOnAnyNumberOfCores)
{
    const std::string a = make_temp_dir(), b = make_temp_dir();
    const run_result ra = run_program(a, program, {"-voice", "hts"});
    const run_result rb = run_program(b, program, {"-voice", "hts"}, {}, on_one_core);
    ASSERT_EQ(ra.status, 0) << ra.err;
    ASSERT_EQ(rb.status, 0) << rb.err;
    EXPECT_EQ(ra.out, rb.out);
    EXPECT_EQ(split_lines(ra.out)[4], "Voice: hts");
    const std::vector<std::string> names = expected_file_names();
    ASSERT_EQ(list_dir(a).size(), names.size());
    for (const std::string& name : names) {
        const std::vector<uint8_t> bytes = read_file(a + "/" + name);
        EXPECT_TRUE(parse_wav(bytes).valid) << name;
        EXPECT_EQ(bytes, read_file(b + "/" + name)) << name;
    }
    remove_tree(a);
    remove_tree(b);
}

// A worker process of the eSpeak voice that dies ends the run with the
// synthesizer's error and how the process ended: no hang (the alarm ends a
// hung run), the files before it whole, no process left behind.
TEST(Program, WorkerProcessThatDiesEndsTheRunWithAnError)
{
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
    if (CPU_COUNT(&cpus) < 2)
        GTEST_SKIP() << "on one core the program starts no worker process";
    // What the program leaves running or unreaped comes to this process.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const std::string d = make_temp_dir();
    const run_result r = run_program(d, program, {},
                                     {"LD_PRELOAD=" MORIVOX_KILL_WORKER, "MORIVOX_KILL_WORKER_AT=3",
                                      "ASAN_OPTIONS=verify_asan_link_order=0"},
                                     [] { alarm(60); });
    const pid_t left = waitpid(-1, nullptr, WNOHANG);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "ERR:106\nthe synthesizer failed: its worker process ended: killed by signal 9 (SIGKILL)\n");
    EXPECT_EQ(left, -1) << "a worker process was left behind";
    const std::vector<std::string> files = list_dir(d);
    EXPECT_LT(files.size(), 142u);
    const std::vector<std::string> names = expected_file_names();
    for (size_t i = 0; i < files.size(); ++i)
        EXPECT_TRUE(parse_wav(read_file(d + "/" + names[i])).valid) << names[i] << ": the table's first files, whole";
    remove_tree(d);
}

// With -oto, every value of every line lies within its file, for both voices.
TEST(Program, SamplerConfigurationFitsEveryFile)
{
    for (const char* voice : {"espeak", "hts"}) {
        const std::string d = make_temp_dir();
        const run_result r = run_program(d, program, {"-voice", voice, "-oto", "-rate", "22050"});
        ASSERT_EQ(r.status, 0) << voice << ": " << r.err;
        const std::vector<uint8_t> bytes = read_file(d + "/oto.ini");
        const std::vector<std::string> lines = split_lines(std::string(bytes.begin(), bytes.end()));
        const std::vector<std::string> names = expected_file_names();
        ASSERT_EQ(lines.size(), names.size()) << voice;
        for (size_t i = 0; i < lines.size(); ++i) {
            const size_t eq = lines[i].find('=');
            ASSERT_EQ(lines[i].substr(0, eq), names[i]) << voice << ": table order";
            int offset, consonant, cutoff, pre, overlap;
            const std::string values = lines[i].substr(lines[i].find(',', eq) + 1);
            ASSERT_EQ(sscanf(values.c_str(), "%d,%d,%d,%d,%d", &offset, &consonant, &cutoff, &pre, &overlap), 5)
                << lines[i];
            const wav_file w = parse_wav(read_file(d + "/" + names[i]));
            const double length_ms = w.samples.size() * 1000.0 / w.rate;
            EXPECT_LE(offset - cutoff, length_ms) << voice << ": " << lines[i];
            EXPECT_LT(cutoff, 0) << lines[i];
            EXPECT_GE(pre, 0) << lines[i];
            EXPECT_GE(consonant, pre) << lines[i];
            EXPECT_LE(consonant, -cutoff) << lines[i];
            EXPECT_GE(overlap, 0) << lines[i];
        }
        remove_tree(d);
    }
}

TEST(Program, SincFilteredRunAtAnotherRate)
{
    const std::string d = make_temp_dir();
    const run_result r = run_program(d, program, {"-speed", "100", "-rate", "48000", "-sinc"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = split_lines(r.out);
    EXPECT_EQ(lines[1], "Speed: 100");
    EXPECT_EQ(lines[2], "SamplingRate: 48000");
    EXPECT_EQ(lines[3], "Sinc Filter: On");
    for (const std::string& name : expected_file_names()) {
        const wav_file w = parse_wav(read_file(d + "/" + name));
        ASSERT_TRUE(w.valid) << name;
        EXPECT_EQ(w.rate, 48000u);
        for (int16_t v : w.samples)
            ASSERT_GE(v, -32767) << name;
    }
    remove_tree(d);
}

// A voice the build does not have: one line naming the ones it has, before
// anything else. "-voice" with nothing after it is ignored.
TEST(Program, VoiceChoice)
{
    struct row {
        std::vector<std::string> args;
        int status;
        std::string out_start, err;
    } rows[] = {
        {{"-voice", "festival"}, 255, "", "unknown voice 'festival' (known: espeak, hts)\n"},
        {{"-voice", ""}, 255, "", "unknown voice '' (known: espeak, hts)\n"},
        {{"-voice"}, 0, "Morivox Ver1.00\nSpeed: 70\nSamplingRate: 44100\nSinc Filter: Off\ngenerating", ""},
        {{"-voice", "espeak"}, 0, "Morivox Ver1.00\nSpeed: 70\nSamplingRate: 44100\nSinc Filter: Off\nVoice: espeak\n", ""},
    };
    for (const row& c : rows) {
        const std::string d = make_temp_dir();
        const run_result r = run_program(d, program, c.args);
        EXPECT_EQ(r.status, c.status) << c.args.size();
        EXPECT_EQ(r.out.substr(0, c.out_start.size()), c.out_start);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(list_dir(d).size(), c.status == 0 ? 142u : 0u);
        remove_tree(d);
    }
}

TEST(Program, RefusesRateZero)
{
    const std::string d = make_temp_dir();
    const run_result r = run_program(d, program, {"-rate", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "SamplingRate: 0 is out of range (1 to 768000)\n");
    EXPECT_TRUE(list_dir(d).empty());
    remove_tree(d);
}

TEST(Program, SpeedOutsideTheSynthesizersRangeEndsTheRun)
{
    const std::string d = make_temp_dir();
    for (const char* speed : {"49", "301", "99999999999", "-1"}) {
        const run_result r = run_program(d, program, {"-speed", speed});
        EXPECT_EQ(r.status, 255) << speed;
        EXPECT_EQ(r.err, speed_refused) << speed;
        EXPECT_TRUE(list_dir(d).empty()) << speed;
    }
    remove_tree(d);
}

TEST(Program, MissingVoiceDataIsReported)
{
    const std::string d = make_temp_dir();
    const std::string empty = make_temp_dir();
    const run_result r = run_program(d, program, {}, {"ESPEAK_DATA_PATH=" + empty});
    EXPECT_EQ(r.status, 255);
    const std::string said = "ERR:105\neSpeak NG cannot start: its data (package espeak-ng-data) is missing, "
                             "unreadable or of another version: Error processing file '" + empty + "/phontab'";
    EXPECT_EQ(r.err.substr(0, said.size()), said) << "names the file it missed";
    EXPECT_EQ(split_lines(r.err).size(), 2u) << r.err;
    EXPECT_TRUE(list_dir(d).empty());
    remove_tree(d);
    remove_tree(empty);
}

bool have_valgrind()
{
    return access("/usr/bin/valgrind", X_OK) == 0;
}

TEST(Program, CleanUnderValgrind)
{
#ifdef MORIVOX_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a sanitizer build; the sanitizer runs cover it";
#endif
    if (!have_valgrind())
        GTEST_SKIP() << "valgrind is not installed";
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, std::vector<std::string>{"-sinc"}}) {
        const std::string d = make_temp_dir();
        std::vector<std::string> vg = {"-q", "--error-exitcode=1", "--leak-check=full",
                                       "--errors-for-leak-kinds=definite", program};
        vg.insert(vg.end(), args.begin(), args.end());
        const run_result r = run_program(d, "/usr/bin/valgrind", vg);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(list_dir(d).size(), 142u);
        remove_tree(d);
    }
}

TEST(Program, FileSizeLimitKeepsEarlierFilesAndLeavesNoTemporaryFile)
{
    const std::string d = make_temp_dir();
    const std::vector<std::string> names = expected_file_names();
    const std::vector<uint8_t> old(100, 0x42);
    for (const std::string& n : names)
        write_file(d + "/" + n, old);
    // Every file at 44100 Hz is well over 8 KiB.
    const run_result r = run_program(d, program, {}, {}, [] {
        struct rlimit lim = {8192, 8192};
        setrlimit(RLIMIT_FSIZE, &lim);
    });
    EXPECT_EQ(r.status, 255) << "must not be killed by SIGXFSZ";
    EXPECT_EQ(split_lines(r.err).size(), 142u) << r.err;
    EXPECT_NE(r.err.find("File too large"), std::string::npos);
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(list_dir(d), sorted) << "no temporary file left";
    for (const std::string& n : names)
        ASSERT_EQ(read_file(d + "/" + n), old) << n;
    remove_tree(d);
}

TEST(Program, UnwritableFolderIsReported)
{
    const std::string d = make_temp_dir();
    std::function<void()> drop;
    if (geteuid() == 0) {
        // The folder is root's, mode 0700: nobody may write there.
        drop = [] {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(125);
        };
    } else {
        ASSERT_EQ(chmod(d.c_str(), 0555), 0);
    }
    const run_result r = run_program(d, program, {}, {}, drop);
    ASSERT_NE(r.status, 125) << "could not become an unprivileged user";
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(split_lines(r.err).size(), 142u);
    EXPECT_EQ(split_lines(r.err)[0], "cannot write '" + expected_file_names()[0] + "': Permission denied");
    EXPECT_EQ(split_lines(r.out).back(), "done.");
    chmod(d.c_str(), 0700);
    EXPECT_TRUE(list_dir(d).empty());
    remove_tree(d);
}

TEST(Program, BadSpeedsAreRefusedOrIgnored)
{
    struct row {
        const char* value;
        int status;
        std::string err;
    } rows[] = {
        {"0", 255, speed_refused},           {"-1", 255, speed_refused},
        {"768001", 255, speed_refused},      {"2147483647", 255, speed_refused},
        {"99999999999", 255, speed_refused}, {"", 0, ""},
        {"abc", 0, ""},                     {"+", 0, ""},
        {"-", 0, ""},
    };
    for (const row& c : rows) {
        const std::string d = make_temp_dir();
        const run_result r = run_program(d, program, {"-speed", c.value});
        EXPECT_EQ(r.status, c.status) << "speed '" << c.value << "'";
        EXPECT_EQ(r.err, c.err) << "speed '" << c.value << "'";
        EXPECT_EQ(list_dir(d).size(), c.status == 0 ? 142u : 0u) << "speed '" << c.value << "'";
        if (c.status == 0) {
            EXPECT_EQ(split_lines(r.out)[1], "Speed: 70");
        }
        remove_tree(d);
    }
}

} // namespace

namespace {

// Each way the surroundings can fail the program gets its own message.
TEST(Program, EachCauseIsNamed)
{
    const bool root = geteuid() == 0;
    struct row {
        const char* why;
        std::function<void()> in_child;
        std::string err;  // the start of standard error
        std::vector<std::string> args = {};
        bool mounts = true;  // only root may mount; CI runs as root
    } rows[] = {
        {"too few file descriptors", [] {
             close_range(3, ~0u, 0);  // whatever the test runner left open
             struct rlimit lim = {5, 5};
             setrlimit(RLIMIT_NOFILE, &lim);
         },
         "ERR:109\nthe synthesizer cannot open its files: too many open files", {}, false},
        {"no /proc", [] {
             if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
                 _exit(125);
         },
         "ERR:110\nthe synthesizer cannot load its voice: /proc is not mounted"},
        {"no HTS voice file", [] {
             if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 mount("none", "/usr/share/hts-voice", "tmpfs", 0, nullptr) != 0)
                 _exit(125);
         },
         "ERR:108\nthe voice file is missing or unreadable: "
         "/usr/share/hts-voice/nitech-jp-atr503-m001/nitech_jp_atr503_m001.htsvoice: No such file or directory; "
         "install the package hts-voice-nitech-jp-atr503-m001\n",
         {"-voice", "hts"}},
    };
    for (const row& c : rows) {
        if (c.mounts && !root)
            continue;
#ifdef MORIVOX_SANITIZED
        if (std::string(c.why) == "no /proc")
            continue;  // the sanitizers' own start-up needs /proc
#endif
        const std::string d = make_temp_dir();
        const run_result r = run_program(d, program, c.args, {}, c.in_child);
        ASSERT_NE(r.status, 125) << c.why << ": the test could not set the case up";
        EXPECT_EQ(r.status, 255) << c.why;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.why;
        EXPECT_EQ(split_lines(r.err).size(), 2u) << c.why << ": " << r.err;
        EXPECT_TRUE(list_dir(d).empty()) << c.why;
        remove_tree(d);
    }

    // A read-only file system is named as such, not as a permission.
    if (root) {
        const std::string d = make_temp_dir();
        ASSERT_EQ(mount("none", d.c_str(), "tmpfs", 0, nullptr), 0);
        write_file(d + "/" + file_name_of("あ"), std::vector<uint8_t>(10, 1));
        ASSERT_EQ(mount(nullptr, d.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        const run_result r = run_program(d, program, {});
        umount(d.c_str());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(split_lines(r.err)[0], "cannot write '" + file_name_of("あ") + "': Read-only file system");
        remove_tree(d);
    }
}

// Little address space: a named failure or a whole run, never a silent abort.
TEST(Program, LittleMemoryIsReportedNotAnAbort)
{
#ifdef MORIVOX_SANITIZED
    GTEST_SKIP() << "the sanitizers need more address space than the limits leave";
#endif
    for (rlim_t kib : {21000, 23000, 25000, 27000, 30000, 40000}) {
        const std::string d = make_temp_dir();
        const run_result r = run_program(d, program, {}, {}, [kib] {
            struct rlimit lim = {kib << 10, kib << 10};
            setrlimit(RLIMIT_AS, &lim);
        });
        if (r.status != 0) {
            EXPECT_EQ(r.status, 255) << kib << " KiB: " << r.err;
            // Out of memory in the synthesizer, or in the conversion after it.
            EXPECT_TRUE(r.err.substr(0, 8) == "ERR:107\n" || r.err.substr(0, 26) == "out of memory converting '")
                << kib << " KiB: " << r.err;
        }
        remove_tree(d);
    }
}

// The program synthesizes into memory only: it never talks to a sound
// server, however slow, and writes nothing into the home folder.
TEST(Program, NoSoundServerAndNothingInTheHomeFolder)
{
    const std::string home = make_temp_dir(), d = make_temp_dir(), sockets = make_temp_dir();
    // A server that takes connections and never answers.
    const std::string path = sockets + "/pulse";
    const int server = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(server, 16), 0);

    // Only the calls: not the worker processes' signals nor how they ended.
    const run_result r = run_program(d, "/usr/bin/strace", {"-f", "-qqq", "-e", "signal=none", "-o",
                                                           sockets + "/trace", "-e", "trace=connect", program},
                                     {"HOME=" + home, "PULSE_SERVER=unix:" + path, "XDG_RUNTIME_DIR=" + home,
                                      "ASAN_OPTIONS=detect_leaks=0"});  // no leak check under ptrace
    close(server);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> trace = read_file(sockets + "/trace");
    EXPECT_EQ(std::string(trace.begin(), trace.end()), "") << "no connection of any kind";
    EXPECT_TRUE(list_dir(home).empty()) << "nothing created under $HOME";
    EXPECT_EQ(list_dir(d).size(), 142u);
    remove_tree(home);
    remove_tree(d);
    remove_tree(sockets);
}

} // namespace
