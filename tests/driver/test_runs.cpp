// Whole runs of the driver with the scripted synthesizer (morivox_fake).

#include "bank/lists.h"
#include "bank/syllables.h"
#include "synth/synth.h"
#include "support.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string fake = MORIVOX_FAKE_BIN;

class FakeRun : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override { remove_tree(dir); }
    std::string dir;
};

std::vector<std::string> banner(int speed, int rate, bool on)
{
    return {"Morivox Ver1.00", "Speed: " + std::to_string(speed),
            "SamplingRate: " + std::to_string(rate), std::string("Sinc Filter: ") + (on ? "On" : "Off")};
}

std::vector<std::string> progress(size_t count)
{
    std::vector<std::string> lines;
    const std::vector<std::string> names = expected_file_names();
    for (size_t i = 0; i < count; ++i)
        lines.push_back("generating...'" + names[i] + "'");
    return lines;
}

std::vector<std::string> first_names(size_t count)
{
    std::vector<std::string> names = expected_file_names();
    names.resize(count);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(FakeRun, DefaultRunMakesAllFiles)
{
    const run_result r = run_program(dir, fake, {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> expected = banner(70, 44100, false);
    for (const std::string& l : progress(syllable_count))
        expected.push_back(l);
    expected.push_back("done.");
    EXPECT_EQ(split_lines(r.out), expected);
    EXPECT_EQ(r.out.back(), '\n');
    ASSERT_EQ(list_dir(dir), first_names(syllable_count));
    for (const std::string& name : expected_file_names()) {
        const wav_file w = parse_wav(read_file(dir + "/" + name));
        ASSERT_TRUE(w.valid) << name;
        EXPECT_EQ(w.rate, 44100u) << name;
        EXPECT_EQ(w.channels, 1) << name;
        EXPECT_EQ(w.bits, 16) << name;
        EXPECT_EQ(w.samples.size(), 2000u) << name << ": 1000 samples at 22050 Hz";
    }
}

// -vcv makes the VCV strings instead, in the list's order, and the banner
// says so.
TEST_F(FakeRun, VcvRunMakesTheStrings)
{
    const run_result r = run_program(dir, fake, {"-vcv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> expected = banner(70, 44100, false), files;
    expected.push_back("VCV: On");
    const bank_list& list = bank_list_of(bank_list_vcv);
    for (int k = 0; k < list.count; ++k) {
        files.push_back(std::string(list.texts[k].name) + ".wav");
        expected.push_back("generating...'" + files.back() + "'");
    }
    expected.push_back("done.");
    EXPECT_EQ(split_lines(r.out), expected);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(list_dir(dir), files);
}

TEST_F(FakeRun, SettingsReachEveryFileAndTheNasalKeepsSpeed50)
{
    const std::string log = dir + "/calls.log";
    const run_result r =
        run_program(dir, fake, {"-speed", "100", "-rate", "441", "-sinc"}, {"MORIVOX_FAKE_LOG=" + log});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> out = split_lines(r.out);
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(out.begin(), out.begin() + 4), banner(100, 441, true));
    EXPECT_EQ(out.back(), "done.");

    // One call per entry, in whatever order the workers made them.
    const std::vector<uint8_t> log_bytes = read_file(log);
    std::vector<std::string> calls = split_lines(std::string(log_bytes.begin(), log_bytes.end()));
    ASSERT_EQ(calls.size(), size_t{syllable_count});
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(std::adjacent_find(calls.begin(), calls.end()), calls.end()) << "no entry made twice";
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("100 ", 0) == 0; }),
              syllable_count - 1);
    EXPECT_TRUE(std::binary_search(calls.begin(), calls.end(), "50 82 F1")) << "ん at speed 50";
    EXPECT_TRUE(std::binary_search(calls.begin(), calls.end(), "100 83 4A 81 4B"))
        << "the synthesizer gets the Shift-JIS bytes of カ゜";

    for (const std::string& name : expected_file_names()) {
        const wav_file w = parse_wav(read_file(dir + "/" + name));
        ASSERT_TRUE(w.valid) << name;
        EXPECT_EQ(w.rate, 441u) << name;
        EXPECT_EQ(w.bytes_per_second, 882u) << name;
        EXPECT_EQ(w.samples.size(), 20u) << name;
    }
}

TEST_F(FakeRun, SynthesizerFailureStopsAtOnce)
{
    for (int k : {1, 2, 71, syllable_count}) {
        const std::string sub = make_temp_dir();
        const run_result r = run_program(sub, fake, {}, {"MORIVOX_FAKE_FAIL_AT=" + std::to_string(k),
                                                         "MORIVOX_FAKE_ERR=" + std::to_string(100 + k)});
        EXPECT_EQ(r.status, 255) << "entry " << k;
        // The code, then what it means when it is one of the voices' codes.
        const char* meaning = synth_error_message(100 + k);
        EXPECT_EQ(r.err, "ERR:" + std::to_string(100 + k) + "\n" + (meaning ? meaning + std::string("\n") : ""))
            << "entry " << k;
        std::vector<std::string> expected = banner(70, 44100, false);
        for (const std::string& l : progress(static_cast<size_t>(k - 1)))
            expected.push_back(l);
        EXPECT_EQ(split_lines(r.out), expected) << "entry " << k << ": no done.";
        EXPECT_EQ(list_dir(sub), first_names(static_cast<size_t>(k - 1))) << "entry " << k;
        for (const std::string& name : first_names(static_cast<size_t>(k - 1)))
            EXPECT_TRUE(parse_wav(read_file(sub + "/" + name)).valid) << name << " intact";
        remove_tree(sub);
    }
}

// Engines that the workers open side by side, or that the run opens before
// its threads (a voice that forks as it opens, which must fork while it has
// only one thread): one that cannot open (the first or a later one) gives
// the voice's code and words once, writes nothing, and leaves no worker
// behind.
TEST_F(FakeRun, AnEngineThatCannotOpenIsReportedOnce)
{
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
    const int workers = std::min(CPU_COUNT(&cpus), 16);
    for (const std::string voice : {"engines", "forking"}) {
        for (int k = 1; k <= 2 && k <= workers; ++k) {
            const std::string sub = make_temp_dir();
            const run_result r = run_program(sub, fake, {"-voice", voice},
                                             {"MORIVOX_FAKE_OPEN_FAIL=" + std::to_string(k), "MORIVOX_FAKE_ERR=105"});
            EXPECT_EQ(r.status, 255) << voice << " open " << k;
            EXPECT_EQ(r.err, "ERR:105\n" + std::string(synth_error_message(105)) + ": engine " + std::to_string(k) +
                                 " would not open\n")
                << voice << " open " << k;
            EXPECT_TRUE(list_dir(sub).empty()) << voice << " open " << k;
            remove_tree(sub);
        }
        const std::string sub = make_temp_dir();
        const std::string log = dir + "/" + voice + ".log";
        const run_result r = run_program(sub, fake, {"-voice", voice}, {"MORIVOX_FAKE_OPEN_LOG=" + log});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(list_dir(sub), first_names(syllable_count)) << voice;
        const std::vector<uint8_t> logged = read_file(log);
        const std::vector<std::string> threads = split_lines(std::string(logged.begin(), logged.end()));
        EXPECT_EQ(threads.size(), static_cast<size_t>(workers)) << voice << ": an engine per worker";
        if (voice == "forking") {
            EXPECT_EQ(threads, std::vector<std::string>(threads.size(), "1")) << "opened before any thread";
        }
        remove_tree(sub);
    }
}

TEST_F(FakeRun, OutputRateOutOfRangeIsRefusedBeforeAnything)
{
    const std::string too_low = " is too low for -oto (21 to 768000): the recordings would not hold their oto.ini lines";
    struct row {
        const char* arg;
        const char* shown;
        bool oto = false;
    } rows[] = {{"0", "0"},
                {"-1", "-1"},
                {"768001", "768001"},
                {"2147483647", "2147483647"},
                // As written, not as saturated.
                {"2147483648", "2147483648"},
                {"99999999999", "99999999999"},
                {"-99999999999", "-99999999999"},
                {" +99999999999999999999Hz", "+99999999999999999999"},
                // Too short to hold an oto.ini line.
                {"1", "1", true},
                {"20", "20", true}};
    for (const row& c : rows) {
        const std::string log = dir + "/calls.log";
        std::vector<std::string> args = {"-rate", c.arg};
        if (c.oto)
            args.push_back("-oto");
        const run_result r = run_program(dir, fake, args, {"MORIVOX_FAKE_LOG=" + log});
        EXPECT_EQ(r.status, 255) << c.arg;
        EXPECT_EQ(r.out, "") << c.arg;
        EXPECT_EQ(r.err, std::string("SamplingRate: ") + c.shown + (c.oto ? too_low : " is out of range (1 to 768000)") +
                             "\n")
            << c.arg;
        EXPECT_TRUE(list_dir(dir).empty()) << c.arg << ": no file, no synthesis";
    }
}

// The VCV strings keep their own tempo: a speed given with them is refused
// before anything is made, and so are a voice or notes that cannot be had.
TEST_F(FakeRun, VcvRefusesWhatItCannotMake)
{
    const struct {
        std::vector<std::string> args;
        std::string err;
    } rows[] = {
        {{"-vcv", "-speed", "70"},
         "Speed: the VCV strings are sung at their own tempo, 160 beats a minute; -speed does not apply to -vcv\n"},
        {{"-speed", "100", "-oto", "-vcv"},
         "Speed: the VCV strings are sung at their own tempo, 160 beats a minute; -speed does not apply to -vcv\n"},
        {{"-vcv", "-voice", "nobody"}, "unknown voice 'nobody' (known: fake, engines, forking)\n"},
        {{"-vcv", "-pitch", "C6"}, "Pitch: C6 is out of range (C2 to C5)\n"},
    };
    for (const auto& r : rows) {
        const run_result run = run_program(dir, fake, r.args);
        EXPECT_EQ(run.status, 255) << r.args[1];
        EXPECT_EQ(run.out, "") << r.args[1];
        EXPECT_EQ(run.err, r.err) << r.args[1];
        EXPECT_TRUE(list_dir(dir).empty()) << r.args[1] << ": no file";
    }
}

TEST_F(FakeRun, RatesWithoutDigitsKeepTheDefault)
{
    for (const char* rate : {"", "abc", "+", "-", " "}) {
        const std::string sub = make_temp_dir();
        const run_result r = run_program(sub, fake, {"-rate", rate});
        EXPECT_EQ(r.status, 0) << "'" << rate << "': " << r.err;
        EXPECT_EQ(split_lines(r.out)[2], "SamplingRate: 44100") << "'" << rate << "'";
        EXPECT_EQ(list_dir(sub).size(), size_t{syllable_count});
        remove_tree(sub);
    }
}

TEST_F(FakeRun, LongArgumentListsAreHandled)
{
    std::vector<std::string> args;
    for (int i = 0; i < 20000; ++i) {
        args.push_back(i % 3 == 0 ? "-rate" : i % 3 == 1 ? std::to_string(8000 + i) : "noise");
    }
    args.push_back("-sinc");
    const run_result r = run_program(dir, fake, args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(split_lines(r.out)[2], "SamplingRate: " + std::to_string(8000 + 19999)) << "the last -rate wins";
    EXPECT_EQ(split_lines(r.out)[3], "Sinc Filter: On");
}

TEST_F(FakeRun, RateLimitsThemselvesAreAccepted)
{
    for (const char* rate : {"1", "768000"}) {
        const std::string sub = make_temp_dir();
        const run_result r = run_program(sub, fake, {"-rate", rate});
        EXPECT_EQ(r.status, 0) << rate << ": " << r.err;
        const wav_file w = parse_wav(read_file(sub + "/" + file_name_of("あ")));
        EXPECT_TRUE(w.valid) << rate;
        EXPECT_EQ(w.rate, static_cast<uint32_t>(atoi(rate)));
        remove_tree(sub);
    }
}

TEST_F(FakeRun, BlockedFilesAreReportedAndTheRestWritten)
{
    const std::string ka = file_name_of("か"), n = file_name_of("ん");
    ASSERT_EQ(mkdir((dir + "/" + ka).c_str(), 0755), 0);  // taken by a folder
    const std::vector<uint8_t> kept(50, 7);
    write_file(dir + "/" + n, kept);  // read-only
    ASSERT_EQ(chmod((dir + "/" + n).c_str(), 0444), 0);

    const run_result r = run_program(dir, fake, {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "cannot write '" + ka + "': Is a directory\n" + "cannot write '" + n +
                         "': Permission denied\n");
    EXPECT_EQ(split_lines(r.out).back(), "done.");
    EXPECT_EQ(split_lines(r.out).size(), 4u + syllable_count + 1u) << "a progress line for every entry";
    EXPECT_EQ(read_file(dir + "/" + n), kept);
    EXPECT_EQ(list_dir(dir), first_names(syllable_count)) << "the other files written, no temporary file";
}

// With several pitches, prefix.map is written only once every other file
// is on the disk: when one is not, the run says which. A file size limit
// under sample.wav's size stands for a disk that fills at the end.
TEST_F(FakeRun, NoMapBesideAFileThatFailedAndWhichOneIsSaid)
{
    const std::string ka = "A3/" + file_name_of("か");
    struct row {
        const char* blocked;  // taken by a folder, or null
        std::string last;     // the last line of standard error
    } rows[] = {
        {nullptr, "no prefix.map: 'sample.wav' did not reach the disk"},
        {ka.c_str(), "no prefix.map: '" + ka + "' and 1 other file did not reach the disk"},
    };
    for (const row& c : rows) {
        const std::string sub = make_temp_dir();
        mkdir((sub + "/A3").c_str(), 0755);
        if (c.blocked != nullptr)
            mkdir((sub + "/" + c.blocked).c_str(), 0755);
        const run_result r = run_program(sub, fake, {"-pitch", "A2,A3", "-oto"}, {}, [] {
            struct rlimit lim = {40000, 40000};  // the fake's recordings and icon fit, its sample does not
            setrlimit(RLIMIT_FSIZE, &lim);
        });
        EXPECT_EQ(r.status, 255) << c.last;
        const std::vector<std::string> lines = split_lines(r.err);
        EXPECT_EQ(lines.empty() ? "" : lines.back(), c.last) << r.err;
        EXPECT_FALSE(file_exists(sub + "/prefix.map")) << c.last;
        remove_tree(sub);
    }
}

// A sampler file whose every backup name is taken cannot go aside: the
// run says so and replaces no recording.
TEST_F(FakeRun, AHundredBackupsAreSaid)
{
    const std::vector<uint8_t> old(60, 1);
    for (const std::string& name : expected_file_names())
        write_file(dir + "/" + name, old);
    write_file(dir + "/oto.ini", old);
    write_file(dir + "/oto.ini.bak", old);
    for (int n = 2; n <= 100; ++n)
        write_file(dir + "/oto.ini.bak." + std::to_string(n), old);
    const run_result r = run_program(dir, fake, {"-oto"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "cannot move 'oto.ini' aside: its 100 backups are all there ('oto.ini.bak' to "
                     "'oto.ini.bak.100'): remove those no longer needed\n");
    for (const std::string& name : expected_file_names())
        ASSERT_EQ(read_file(dir + "/" + name), old) << name;
}

TEST_F(FakeRun, FullStandardOutputIsAFailure)
{
    const run_result r = run_program(dir, fake, {}, {}, [] {
        const int fd = open("/dev/full", O_WRONLY);
        dup2(fd, STDOUT_FILENO);
    });
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("cannot write to standard output"), std::string::npos) << r.err;
}

TEST_F(FakeRun, ReaderLeavingThePipeIsReported)
{
    // The reader of standard output is gone before the first line.
    const run_result r = run_program(dir, fake, {}, {}, [] {
        signal(SIGPIPE, SIG_DFL);  // as a shell would start it
        int p[2];
        if (pipe(p) != 0)
            _exit(125);
        close(p[0]);
        dup2(p[1], STDOUT_FILENO);
        close(p[1]);
    });
    EXPECT_EQ(r.status, 255) << "not killed by SIGPIPE";
    EXPECT_EQ(r.err, "cannot write to standard output: Broken pipe\n");
    EXPECT_EQ(list_dir(dir), first_names(syllable_count)) << "the files are still made";
}

TEST_F(FakeRun, ClosedStandardOutputIsAFailureAndNoFileIsHurt)
{
    const run_result r = run_program(dir, fake, {}, {}, [] { close(STDOUT_FILENO); });
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("cannot write to standard output"), std::string::npos) << r.err;
    for (const std::string& name : expected_file_names())
        ASSERT_TRUE(parse_wav(read_file(dir + "/" + name)).valid) << name << " must hold no console text";
}

TEST_F(FakeRun, FileSizeLimitFailsWritesWithoutKillingTheRun)
{
    // Every file is 44 + 4000 bytes; a 1000-byte limit fails every write.
    const std::string first = file_name_of("あ");
    const std::vector<uint8_t> old(60, 9);
    write_file(dir + "/" + first, old);
    const run_result r = run_program(dir, fake, {}, {}, [] {
        struct rlimit lim = {1000, 1000};
        setrlimit(RLIMIT_FSIZE, &lim);
    });
    EXPECT_EQ(r.status, 255) << "not killed by SIGXFSZ";
    EXPECT_NE(r.err.find("cannot write '" + first + "': File too large"), std::string::npos) << r.err;
    EXPECT_EQ(split_lines(r.out).back(), "done.");
    EXPECT_EQ(read_file(dir + "/" + first), old) << "the earlier file is intact";
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{first}) << "no temporary file left";
}

TEST_F(FakeRun, RunningOutOfMemoryIsReportedNotACrash)
{
#ifdef MORIVOX_SANITIZED
    GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#endif
    // 4 million samples at 768000 Hz need about 280 MB of output and 128 MB
    // of spline coefficients; 256 MB of address space cannot hold them.
    const run_result r = run_program(dir, fake, {"-rate", "768000"}, {"MORIVOX_FAKE_SAMPLES=4000000"}, [] {
        struct rlimit lim = {256u << 20, 256u << 20};
        setrlimit(RLIMIT_AS, &lim);
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "out of memory converting '" + file_name_of("あ") + "'\n");
    EXPECT_TRUE(list_dir(dir).empty());
}

} // namespace

namespace {

// Puts `files` into folder `sub`, each holding `bytes`: "A3/x" makes A3
// first, "x@" is a symbolic link to nowhere, "A3/" only the folder.
void place_files(const std::string& sub, const std::vector<std::string>& files, const std::vector<uint8_t>& bytes)
{
    for (const std::string& f : files) {
        const size_t slash = f.find('/');
        if (slash != std::string::npos)
            mkdir((sub + "/" + f.substr(0, slash)).c_str(), 0755);
        if (f.back() == '@')
            EXPECT_EQ(symlink("elsewhere", (sub + "/" + f.substr(0, f.size() - 1)).c_str()), 0) << f;
        else if (f.back() != '/')
            write_file(sub + "/" + f, bytes);
    }
}

std::string text_of(const std::string& path)
{
    const std::vector<uint8_t> b = read_file(path);
    return std::string(b.begin(), b.end());
}

// -oto adds the sampler configuration after the recordings: a line for
// every recording on the disk, none at all when the synthesizer failed.
// Sampler files in place go aside when the first recording they describe
// is replaced, never to be overwritten, and not while none is: a recording
// that could not be replaced keeps its frequency map and its oto.ini line.
// A replaced recording's map goes with it. A user's presamp.ini stays: a
// CV bank has none of its own.
TEST_F(FakeRun, SamplerConfiguration)
{
    const std::string n_sjis = find_syllable("ん")->sjis;
    const std::string kept_line = n_sjis + ".wav=" + n_sjis + ",10,20,-30,40,5";
    const std::string previous = "a.wav=a,1,2,-3,4,5\n" + kept_line + "\r\n";
    const std::vector<uint8_t> old_map(30, 2);
    const std::string moved = "moved 'oto.ini' aside to 'oto.ini.bak' before replacing the recordings it describes\n";
    const std::string moved_at_end = "moved 'oto.ini' aside to 'oto.ini.bak' before writing a new one\n";
    const std::string users_presamp = "[PRIORITY]\r\nk,g\r\n";
    const auto removed = [](int maps) {
        return "removed " + std::to_string(maps) + " frequency maps made from the recordings replaced\n";
    };
    std::string every_refused;
    for (const std::string& name : expected_file_names())
        every_refused += "cannot write '" + name + "': Permission denied\n";
    struct row {
        const char* why;
        std::vector<std::string> env;
        bool blocked_ka;    // か.wav cannot be written
        bool recordings;    // a set's recordings and their maps are in the folder
        const char* read_only;  // these recordings may not be replaced: "" none, "ん", or "*" all
        int status;
        size_t lines;       // in oto.ini; 0: no new oto.ini
        bool aside;         // the old oto.ini went aside
        std::string err;
    } rows[] = {
        {"all written", {}, false, false, "", 0, 142, true, moved_at_end},
        {"one recording blocked", {}, true, false, "", 255, 141, true,
         "cannot write '" + file_name_of("か") + "': Is a directory\n" + moved_at_end},
        {"synthesizer failing at entry 71", {"MORIVOX_FAKE_FAIL_AT=71"}, false, false, "", 255, 0, false, "ERR:777\n"},
        {"a set in place, all written", {}, false, true, "", 0, 142, true, moved + removed(142)},
        {"a set in place, synthesizer failing at entry 71", {"MORIVOX_FAKE_FAIL_AT=71"}, false, true, "", 255, 0,
         true, moved + "ERR:777\n" + removed(70)},
        {"a set in place, every recording read-only", {}, false, true, "*", 255, 0, false,
         every_refused + "no sampler file written: no recording reached the folder\n"},
        {"a set in place, ん read-only", {}, false, true, "ん", 255, 142, true,
         moved + "cannot write '" + file_name_of("ん") + "': Permission denied\n" + removed(141)},
    };
    for (const row& c : rows) {
        const std::string sub = make_temp_dir();
        write_file(sub + "/oto.ini", std::vector<uint8_t>(previous.begin(), previous.end()));
        write_file(sub + "/presamp.ini", std::vector<uint8_t>(users_presamp.begin(), users_presamp.end()));
        if (c.blocked_ka)
            mkdir((sub + "/" + file_name_of("か")).c_str(), 0755);
        const auto read_only = [&](const std::string& name) {
            return std::string(c.read_only) == "*" || name == std::string(c.read_only) + ".wav";
        };
        for (const std::string& name : c.recordings ? expected_file_names() : std::vector<std::string>{}) {
            write_file(sub + "/" + name, std::vector<uint8_t>(60, 1));
            write_file(sub + "/" + name.substr(0, name.size() - 4) + "_wav.frq", old_map);
            if (read_only(name))
                chmod((sub + "/" + name).c_str(), 0444);
        }
        const run_result r = run_program(sub, fake, {"-oto"}, c.env);
        EXPECT_EQ(r.status, c.status) << c.why << ": " << r.err;
        EXPECT_EQ(r.err, c.err) << c.why;
        // A replaced recording's map is gone, or made anew; a kept one's stays.
        for (const std::string& name : c.recordings ? expected_file_names() : std::vector<std::string>{}) {
            const bool replaced = read_file(sub + "/" + name) != std::vector<uint8_t>(60, 1);
            const std::vector<uint8_t> map = read_file(sub + "/" + name.substr(0, name.size() - 4) + "_wav.frq");
            EXPECT_EQ(map == old_map, !replaced) << c.why << ": " << name;
        }
        EXPECT_EQ(text_of(sub + (c.aside ? "/oto.ini.bak" : "/oto.ini")), previous) << c.why;
        EXPECT_EQ(text_of(sub + "/presamp.ini"), users_presamp) << c.why << ": a CV bank has none of its own";
        if (c.lines == 0) {
            EXPECT_EQ(file_exists(sub + "/oto.ini"), !c.aside) << c.why;
            EXPECT_FALSE(file_exists(sub + "/character.txt")) << c.why;
            remove_tree(sub);
            continue;
        }
        const std::vector<std::string> oto = split_lines(text_of(sub + "/oto.ini"));
        EXPECT_EQ(split_lines(r.out)[4], "Oto: On") << c.why;
        ASSERT_EQ(oto.size(), c.lines) << c.why;
        // Table order, each file's own name and alias in Shift-JIS, and
        // each recording's frequency map; a kept recording's earlier line.
        size_t line = 0;
        for (const std::string& name : expected_file_names()) {
            if (c.blocked_ka && name == file_name_of("か"))
                continue;
            const std::string stem = name.substr(0, name.size() - 4);
            const std::string sjis = find_syllable(stem.c_str())->sjis;
            const std::string want_onset = sjis + ".wav=" + sjis + ",";
            ASSERT_EQ(oto[line].substr(0, want_onset.size()), want_onset) << c.why << " line " << line;
            if (read_only(name)) {
                EXPECT_EQ(oto[line], kept_line + "\r") << c.why << ": the kept recording's earlier line";
            }
            EXPECT_TRUE(file_exists(sub + "/" + stem + "_wav.frq")) << c.why << ": " << stem;
            ++line;
        }
        EXPECT_EQ(text_of(sub + "/character.txt").substr(0, 19), "name=Morivox fake\r\n");
        EXPECT_EQ(text_of(sub + "/character.yaml"), "text_file_encoding: shift_jis\nsinger_type: classic\n");
        for (const char* other : {"readme.txt", "icon.bmp", "sample.wav"})
            EXPECT_TRUE(file_exists(sub + "/" + other)) << c.why << ": " << other;
        for (const std::string& name : expected_file_names())
            chmod((sub + "/" + name).c_str(), 0644);
        remove_tree(sub);
    }
}

// A prefix.map in place points into the subfolders: a run of several
// pitches sets it aside before its first recording, even one that replaces
// nothing, and leaves no map of its own without -oto.
TEST_F(FakeRun, AMapInPlaceGoesAsideBeforeTheFirstRecording)
{
    const std::vector<uint8_t> old_map(30, 2);
    for (const bool vcv : {false, true}) {
        const std::string sub = make_temp_dir();
        write_file(sub + "/prefix.map", old_map);
        std::vector<std::string> args = {"-pitch", "A2,A3"};
        if (vcv)
            args.push_back("-vcv");
        const run_result r = run_program(sub, fake, args);
        EXPECT_EQ(r.status, 0) << vcv << ": " << r.err;
        EXPECT_EQ(r.err, "moved 'prefix.map' aside to 'prefix.map.bak' before writing the recordings it points at\n")
            << vcv;
        EXPECT_FALSE(file_exists(sub + "/prefix.map")) << vcv;
        EXPECT_EQ(read_file(sub + "/prefix.map.bak"), old_map) << vcv;
        remove_tree(sub);
    }
}

// A run of one pitch with -oto into a folder where the bank's files are
// (a user may have tuned them) keeps each aside before writing it anew,
// the files above a set's as well as its oto.ini.
TEST_F(FakeRun, EveryFileInPlaceGoesAsideBeforeANewOne)
{
    const std::vector<uint8_t> tuned(25, 4);
    const std::vector<std::string> names = {"oto.ini", "character.txt", "character.yaml", "readme.txt", "icon.bmp",
                                            "sample.wav"};
    for (const std::string& name : names)
        write_file(dir + "/" + name, tuned);
    const run_result r = run_program(dir, fake, {"-oto"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& name : names) {
        EXPECT_NE(r.err.find("moved '" + name + "' aside to '" + name + ".bak' before writing a new one\n"),
                  std::string::npos)
            << name << ": " << r.err;
        EXPECT_EQ(read_file(dir + "/" + name + ".bak"), tuned) << name;
    }
}

// A file whose data fails on its way to the disk (the flush after its
// write) is said with its cause and never takes its name; -oto gives it no
// line and no map, and the rest are written.
TEST_F(FakeRun, AFileThatFailsOnItsWayToTheDiskIsSaidAndLeftOut)
{
    const std::string ka = file_name_of("か");
    const run_result r = run_program(dir, fake, {"-oto"},
                                     {"LD_PRELOAD=" MORIVOX_FAIL_FLUSH, "MORIVOX_FAIL_FLUSH=" + ka,
                                      "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "cannot write '" + ka + "': Input/output error\n");
    EXPECT_EQ(list_dir(dir).size(), 141u * 2 + 6u) << "no " << ka << ", no map of it";
    const std::string ka_sjis = find_syllable("か")->sjis;
    const std::string oto = text_of(dir + "/oto.ini");
    EXPECT_EQ(split_lines(oto).size(), 141u);
    EXPECT_EQ(oto.find(ka_sjis + ".wav="), std::string::npos) << "no line for " << ka;
}

// What samplers and resamplers made from a recording goes once the
// recording is replaced, by the names their writers give: the folder's
// description (desc.mrq) with the first, each recording's caches with it.
// A recording that could not be replaced keeps its own, and files of other
// names stay: another stem (きゃ beside き), another extension.
TEST_F(FakeRun, CachesOfReplacedRecordingsGoWithThem)
{
    const struct {
        const char* name;
        bool removed;
    } rows[] = {
        {"き_wav.frq", true},       {"き.wav.llsm", true},     {"き.wav.uspec", true},
        {"き.wav.dio", true},       {"き.wav.star", true},     {"き.wav.platinum", true},
        {"き.wav.frc", true},       {"き.wav.pmk", true},      {"き.wav.vs4ufrq", true},
        {"き.rudb", true},          {"き.sc.npz", true},       {"き.hifi.npz", true},
        {"き.dio", true},           {"き.star", true},         {"き.platinum", true},
        {"き_wav.pmk", true},       {"き_hnsep", true},        {"き_Hb100_Ht0_Hv100_g0.hifi.npz", true},
        {"き_g-5.hifi.npz", true},  {"desc.mrq", true},
        {"きゃ.dio", false},        {"きゃ_wav.frq", false},   {"きゃ_Hb100.hifi.npz", false},
        {"き.wav.bak", false},      {"き.dio.txt", false},     {"き_wav.frq.bak", false},
        {"き_Hx1.hifi.npz", false}, {"き_Hb100_.hifi.npz", false}, {"き_hnsep.npz", false},
        {"き2.dio", false},         {"desc.mrq.bak", false},   {"notes.dio", false},
    };
    for (const std::string& name : expected_file_names())
        write_file(dir + "/" + name, std::vector<uint8_t>(60, 1));
    const std::vector<uint8_t> cache(20, 3);
    for (const auto& r : rows)
        write_file(dir + "/" + r.name, cache);
    chmod((dir + "/" + file_name_of("きゃ")).c_str(), 0444);  // kept: its files stay
    const run_result run = run_program(dir, fake, {});
    chmod((dir + "/" + file_name_of("きゃ")).c_str(), 0644);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "cannot write '" + file_name_of("きゃ") + "': Permission denied\n"
                       "removed 1 frequency map and 19 resampler caches made from the recordings replaced\n");
    for (const auto& r : rows)
        EXPECT_EQ(file_exists(dir + "/" + r.name), !r.removed) << r.name;
}

// What describes or was made from a recording goes with it wherever it
// lies: a link at a recording's name is replaced like a file, so the
// oto.ini that described it goes aside first; a resampler's caches named
// after its flags go from a later pitch's subfolder too.
TEST_F(FakeRun, WhatWasMadeFromARecordingGoesWithItAnywhere)
{
    const struct {
        const char* why;
        std::vector<std::string> in_place;  // files ("A3/x"), links ("か.wav@")
        std::vector<std::string> args;
        std::string err;
        std::vector<std::string> gone;
    } rows[] = {
        {"a link at a recording's name", {"oto.ini", file_name_of("か") + "@"}, {},
         "moved 'oto.ini' aside to 'oto.ini.bak' before replacing the recordings it describes\n", {"oto.ini"}},
        {"flagged caches in the second pitch's subfolder", {"A3/き_Hb100_Ht0_Hv100_g0.hifi.npz"}, {"-pitch", "A2,A3"},
         "removed 1 resampler cache made from the recordings replaced\n", {"A3/き_Hb100_Ht0_Hv100_g0.hifi.npz"}},
    };
    for (const auto& r : rows) {
        const std::string sub = make_temp_dir();
        place_files(sub, r.in_place, std::vector<uint8_t>(20, 3));
        const run_result run = run_program(sub, fake, r.args);
        EXPECT_EQ(run.status, 0) << r.why << ": " << run.err;
        EXPECT_EQ(run.err, r.err) << r.why;
        for (const std::string& f : r.gone)
            EXPECT_FALSE(file_exists(sub + "/" + f)) << r.why << ": " << f;
        remove_tree(sub);
    }
}

} // namespace

namespace {

// The singer's name in character.txt and readme.txt: the one given, in
// Shift-JIS, or the voice's with the pitches of several sets; the banner
// says the one given.
TEST_F(FakeRun, TheBankHasItsOwnName)
{
    const struct {
        std::vector<std::string> args;
        std::string name;  // in Shift-JIS
        std::string banner;  // the banner's line, or ""
    } rows[] = {
        {{"-oto"}, "Morivox fake", ""},
        {{"-pitch", "A2,Eb3", "-oto"}, "Morivox fake A2 Eb3", ""},
        {{"-oto", "-name", "はなこ"}, "\x82\xcd\x82\xc8\x82\xb1", "Name: はなこ"},
    };
    for (const auto& r : rows) {
        const std::string sub = make_temp_dir();
        const run_result run = run_program(sub, fake, r.args);
        EXPECT_EQ(run.status, 0) << r.name << ": " << run.err;
        EXPECT_EQ(text_of(sub + "/character.txt").substr(0, r.name.size() + 7), "name=" + r.name + "\r\n");
        EXPECT_EQ(text_of(sub + "/readme.txt").substr(0, r.name.size() + 2), r.name + "\r\n");
        const std::vector<std::string> lines = split_lines(run.out);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), r.banner), r.banner.empty() ? 0 : 1) << r.name;
        remove_tree(sub);
    }
}

} // namespace

namespace {

// A folder holds one bank: a run that would leave this program's sets of
// another kind beside its own (a set at one pitch in the folder,
// subfolders of several pitches; syllables or VCV strings) is refused
// before anything is written,
// saying what is there and what to do; the same kind is made again.
TEST_F(FakeRun, AFolderHoldsOneBank)
{
    const std::string one = "this folder holds a set of recordings at one pitch (";
    const std::string vcv_first = bank_list_of(bank_list_vcv).texts[0].name;
    const std::string several = "this folder holds a bank of several pitches (subfolders ";
    const std::string made_several = "): a bank of several pitches made here would lie beside it, and the samplers "
                                     "would take both; make it in another folder, or remove those recordings first\n";
    const std::string made_one = "): a set of recordings at one pitch made here would lie beside it, and the "
                                 "samplers would take both; make it in another folder, or remove those subfolders "
                                 "first\n";
    const struct {
        const char* why;
        std::vector<std::string> in_place;  // recordings ("か.wav", "A3/か.wav"), links ("か.wav@"), folders ("notes/")
        std::vector<std::string> args;
        int status;
        std::string err;
    } rows[] = {
        {"several pitches over a set at one pitch", {"あ.wav", "か.wav"}, {"-pitch", "A2,A3"}, 255,
         one + "2 recordings, あ.wav ..." + made_several},
        {"one pitch over several", {"E4/か.wav", "A2/ん.wav", "Eb3/あ.wav"}, {}, 255,
         several + "A2, Eb3, E4" + made_one},
        {"one pitch at A3 over several", {"A3/か.wav"}, {"-pitch", "A3"}, 255, several + "A3" + made_one},
        {"one pitch over the lowest and highest notes", {"C5/か.wav", "C2/か.wav"}, {}, 255,
         several + "C2, C5" + made_one},
        {"several pitches over a recording that is a link", {"か.wav@"}, {"-pitch", "A2,A3"}, 255,
         one + "1 recording, か.wav" + made_several},
        {"several pitches over others", {"A2/か.wav", "E4/か.wav"}, {"-pitch", "A3,A2"}, 0, ""},
        {"one pitch over one pitch", {"か.wav"}, {}, 0, ""},
        {"folders that hold no set, or are not named as notes", {"A2/", "A2/notes.wav", "notes/か.wav", "H2/か.wav"},
         {}, 0, ""},
        {"VCV strings over a set at one pitch", {"あ.wav"}, {"-vcv"}, 255,
         one + "1 recording, あ.wav): a VCV set at one pitch made here would lie beside it, and the samplers would "
               "take both; make it in another folder, or remove those recordings first\n"},
        {"syllables over VCV strings", {vcv_first + ".wav", "か_wav.frq"}, {}, 255,
         "this folder holds a VCV set at one pitch (1 recording, " + vcv_first +
             ".wav): a set of recordings at one pitch made here would lie beside it, and the samplers would take "
             "both; make it in another folder, or remove those recordings first\n"},
        {"VCV strings of several pitches over one", {vcv_first + ".wav"}, {"-vcv", "-pitch", "A2,A3"}, 255,
         "this folder holds a VCV set at one pitch (1 recording, " + vcv_first +
             ".wav): a VCV bank of several pitches made here would lie beside it, and the samplers would take both; "
             "make it in another folder, or remove those recordings first\n"},
        {"VCV strings over VCV strings", {vcv_first + ".wav"}, {"-vcv"}, 0, ""},
    };
    for (const auto& r : rows) {
        const std::string sub = make_temp_dir();
        place_files(sub, r.in_place, std::vector<uint8_t>(60, 1));
        std::vector<std::string> before = list_dir(sub);
        const run_result run = run_program(sub, fake, r.args);
        EXPECT_EQ(run.status, r.status) << r.why;
        EXPECT_EQ(run.err, r.err) << r.why;
        if (r.status != 0) {
            EXPECT_EQ(run.out, "") << r.why;
            EXPECT_EQ(list_dir(sub), before) << r.why << ": nothing written";
        }
        remove_tree(sub);
    }
}

} // namespace

namespace {

// -h, --help and --version print on standard output and end with 0,
// before anything else: no file, no lock (the folder here may not be
// written), whatever else the command line says.
TEST_F(FakeRun, HelpAndVersionTouchNothing)
{
    const std::string usage = "Usage: morivox [-speed N] [-rate N] [-sinc] [-voice NAME] [-pitch NOTE[,NOTE...]] "
                              "[-name NAME] [-vcv] [-oto]\n";
    const struct {
        std::vector<std::string> args;
        std::string out_start;
    } rows[] = {
        {{"--help"}, usage},
        {{"-oto", "-h"}, usage},
        {{"-rate", "0", "-pitch", "H9", "--help"}, usage},
        {{"--version"}, "Morivox Ver1.00\n"},
        {{"--version", "-h"}, usage},
    };
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    for (const auto& r : rows) {
        const run_result run = run_program(dir, fake, r.args, {}, [] {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(125);
        });
        EXPECT_EQ(run.status, 0) << r.args.back() << ": " << run.err;
        EXPECT_EQ(run.err, "") << r.args.back();
        EXPECT_EQ(run.out.substr(0, r.out_start.size()), r.out_start) << r.args.back();
        if (r.out_start == usage) {
            EXPECT_NE(run.out.find("  -voice NAME   fake, engines or forking (default fake)\n"), std::string::npos);
            EXPECT_NE(run.out.find("\nExample: "), std::string::npos);
        }
    }
    chmod(dir.c_str(), 0755);
    EXPECT_TRUE(list_dir(dir).empty());
}

} // namespace

namespace {

// -pitch A2 is the default pitch: the same files as no -pitch at all,
// byte for byte, the voicebank's included.
TEST_F(FakeRun, PitchA2MakesTheSameFilesAsNoPitch)
{
    const std::string a2 = make_temp_dir();
    ASSERT_EQ(run_program(dir, fake, {"-oto"}).status, 0);
    ASSERT_EQ(run_program(a2, fake, {"-pitch", "A2", "-oto"}).status, 0);
    const std::vector<std::string> names = list_dir(dir);
    EXPECT_EQ(list_dir(a2), names);
    EXPECT_EQ(names.size(), 142u * 2 + 6u);
    for (const std::string& name : names)
        EXPECT_EQ(read_file(a2 + "/" + name), read_file(dir + "/" + name)) << name;
    remove_tree(a2);
}

} // namespace
