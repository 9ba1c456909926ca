// The real program, with eSpeak, run in empty folders.

#include "support.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>

#include <iconv.h>

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

// eSpeak's VCV strings: every file, the same bytes on one core as on all.
// Each string once ended later after some strings than after others, so a
// run's bytes depended on which worker made which string.
TEST(Program, EspeakVcvStringsAlikeOnAnyNumberOfCores)
{
    const std::string a = make_temp_dir(), b = make_temp_dir();
    const run_result ra = run_program(a, program, {"-vcv"});
    const run_result rb = run_program(b, program, {"-vcv"}, {}, on_one_core);
    ASSERT_EQ(ra.status, 0) << ra.err;
    ASSERT_EQ(rb.status, 0) << rb.err;
    EXPECT_EQ(ra.out, rb.out);
    const std::vector<std::string> names = list_dir(a);
    ASSERT_EQ(names.size(), 142u);
    EXPECT_EQ(list_dir(b), names);
    for (const std::string& name : names)
        EXPECT_EQ(read_file(a + "/" + name), read_file(b + "/" + name)) << name;
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

// A Ctrl-C goes to the whole process group: eSpeak's worker processes
// ignore it, and the program alone says how it stopped, once, with the
// files that reached the folder.
TEST(Program, AStopToTheWholeGroupIsSaidOnce)
{
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
    if (CPU_COUNT(&cpus) < 2)
        GTEST_SKIP() << "on one core the program starts no worker process";
    int stopped = 0;
    for (int delay_ms : {20, 60}) {
        const std::string d = make_temp_dir();
        const run_result r = run_program(d, program, {}, {}, {}, SIGINT, delay_ms, true);
        const std::vector<std::string> lines = split_lines(r.err);
        const auto stop_lines = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.rfind("stopped by", 0) == 0;
        });
        if (r.status == 0) {
            EXPECT_EQ(stop_lines, 0) << r.err;
            remove_tree(d);
            continue;  // it ended first
        }
        ++stopped;
        const size_t files = list_dir(d).size();
        EXPECT_EQ(r.status, 128 + SIGINT) << delay_ms << " ms: " << r.err;
        EXPECT_EQ(stop_lines, 1) << delay_ms << " ms: " << r.err;
        EXPECT_EQ(r.err, "stopped by SIGINT: " + std::to_string(files) + (files == 1 ? " file" : " files") +
                             " reached the folder\n")
            << delay_ms << " ms";
        remove_tree(d);
    }
    EXPECT_GT(stopped, 0) << "no run was stopped";
}

// With -oto the folder is a voicebank as OpenUtau reads one: its text files
// Shift-JIS, every oto.ini line in its format, naming a recording on the
// disk, and passing its error checker (VoicebankErrorChecker.CheckOto),
// with the overlap inside the preutterance; a frequency map per recording.
// Also at the lowest rate -oto takes, where a recording holds its line just.
TEST(Program, VoicebankAsOpenUtauReadsIt)
{
    const struct {
        const char* voice;
        unsigned rate;
    } rows[] = {{"espeak", 44100}, {"hts", 44100}, {"espeak", 21}, {"hts", 21}};
    for (const auto& [voice, rate] : rows) {
        const std::string d = make_temp_dir();
        const run_result r = run_program(d, program, {"-voice", voice, "-oto", "-rate", std::to_string(rate)});
        ASSERT_EQ(r.status, 0) << voice << ": " << r.err;
        std::string oto, text;
        for (const char* name : {"character.txt", "readme.txt"})
            EXPECT_TRUE(from_cp932(read_file(d + "/" + name), &text)) << voice << ": " << name;
        ASSERT_TRUE(from_cp932(read_file(d + "/oto.ini"), &oto)) << voice;
        const std::vector<std::string> lines = split_lines(oto);
        const std::vector<std::string> names = expected_file_names();
        ASSERT_EQ(lines.size(), names.size()) << voice;
        for (size_t i = 0; i < lines.size(); ++i) {
            oto_line line;
            ASSERT_TRUE(parse_oto_line(lines[i], &line)) << lines[i];
            ASSERT_EQ(line.file, names[i]) << voice << ": table order";
            const wav_file w = parse_wav(read_file(d + "/" + names[i]));
            ASSERT_EQ(w.rate, rate) << names[i];
            for (const std::string& broken : openutau_oto_errors(line, w.samples.size() * 1000.0 / w.rate))
                ADD_FAILURE() << voice << ": " << broken << ": " << lines[i];
            const std::string stem = names[i].substr(0, names[i].size() - 4);
            EXPECT_TRUE(file_exists(d + "/" + stem + "_wav.frq")) << voice << ": " << stem;
        }
        remove_tree(d);
    }
}

// A note's number as OpenUtau reads a prefix.map line's first field
// (MusicMath.NameToTone): a letter, a '#' or 'b', the octave; -1 otherwise.
int openutau_tone(const std::string& name)
{
    static const std::map<std::string, int> in_octave = {
        {"C", 0}, {"C#", 1}, {"Db", 1}, {"D", 2}, {"D#", 3}, {"Eb", 3}, {"E", 4}, {"F", 5}, {"F#", 6},
        {"Gb", 6}, {"G", 7}, {"G#", 8}, {"Ab", 8}, {"A", 9}, {"A#", 10}, {"Bb", 10}, {"B", 11}};
    if (name.size() < 2)
        return -1;
    const size_t letters = name[1] == '#' || name[1] == 'b' ? 2 : 1;
    const auto found = in_octave.find(name.substr(0, letters));
    char* end = nullptr;
    const long octave = strtol(name.c_str() + letters, &end, 10);
    if (found == in_octave.end() || end == name.c_str() + letters || *end != 0)
        return -1;
    return static_cast<int>(12 * (octave + 1)) + found->second;
}

// Two pitches with -oto, the higher first: a subfolder per note in the order
// given, each a set with its own oto.ini (aliases ending in the note) and
// frequency maps, recorded at its note; above them the bank's files once and
// a prefix.map as OpenUtau and UTAU read it, every note from C1 to B7 once,
// mapped to the nearest pitch, the lower of two as near (D#3 lies between
// A2 and A3). A subfolder's name taken by a file is refused first.
TEST(Program, TwoPitchesMakeOneVoicebankOfTwoSubbanks)
{
    const std::string d = make_temp_dir();
    write_file(d + "/A2", {'x'});
    const run_result refused = run_program(d, program, {"-pitch", "A3,A2", "-oto"});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.err, "cannot make the folder 'A2': something that is not a folder has that name\n");
    EXPECT_EQ(list_dir(d), std::vector<std::string>{"A2"}) << "nothing made";
    remove_tree(d + "/A2");

    const run_result r = run_program(d, program, {"-pitch", "A3,A2", "-oto"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 6u + 2 * (142u + 142u + 1u) + 6u + 1u);
    EXPECT_EQ(lines[4], "Pitch: A3,A2");
    EXPECT_EQ(lines[6], "generating...'A3/あ.wav'");
    EXPECT_EQ(lines[6 + 142], "generating...'A2/あ.wav'");
    EXPECT_EQ(lines[lines.size() - 2], "generating...'prefix.map'") << "last, once all else is there";
    EXPECT_EQ(list_dir(d), (std::vector<std::string>{"A2", "A3", "character.txt", "character.yaml", "icon.bmp",
                                                     "prefix.map", "readme.txt", "sample.wav"}));
    std::string readme;
    ASSERT_TRUE(from_cp932(read_file(d + "/readme.txt"), &readme));
    EXPECT_NE(readme.find("-pitch A3,A2 -oto"), std::string::npos) << readme;

    const struct {
        const char* note;
        double hz;
    } sets[] = {{"A3", 220}, {"A2", 110}};
    for (const auto& set : sets) {
        const std::string sub = d + "/" + set.note;
        EXPECT_EQ(list_dir(sub).size(), 142u * 2 + 1) << set.note << ": recordings, frequency maps, oto.ini";
        std::string oto;
        ASSERT_TRUE(from_cp932(read_file(sub + "/oto.ini"), &oto));
        const std::vector<std::string> names = expected_file_names();
        const std::vector<std::string> oto_lines = split_lines(oto);
        ASSERT_EQ(oto_lines.size(), names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string stem = names[i].substr(0, names[i].size() - 4);
            EXPECT_EQ(oto_lines[i].rfind(names[i] + "=" + stem + "_" + set.note + ",", 0), 0u) << oto_lines[i];
            EXPECT_TRUE(file_exists(sub + "/" + stem + "_wav.frq")) << stem;
        }
        const wav_file a = parse_wav(read_file(sub + "/" + file_name_of("あ")));
        ASSERT_TRUE(a.valid);
        // Within half an octave of the note: a wider range may find two periods.
        const double f0 = pitch_at(a.samples, a.samples.size() / 2, 44100, set.hz / 1.4, set.hz * 1.4);
        EXPECT_NEAR(1200 * std::log2(f0 / set.hz), 0, 10) << set.note << ": " << f0 << " Hz in the held vowel";
    }

    // OpenUtau's ParsePrefixMap: lines of exactly three tab-separated fields,
    // the note by MusicMath.NameToTone; UTAU names the notes with sharps.
    const std::vector<uint8_t> map = read_file(d + "/prefix.map");
    const std::string text(map.begin(), map.end());
    std::map<int, std::string> suffix_of;
    for (const std::string& line : split_lines(text)) {
        ASSERT_EQ(line.back(), '\r') << "CR LF";
        std::vector<std::string> fields(1);
        for (char c : line.substr(0, line.size() - 1)) {
            if (c == '\t')
                fields.emplace_back();
            else
                fields.back() += c;
        }
        ASSERT_EQ(fields.size(), 3u) << line;
        const int tone = openutau_tone(fields[0]);
        EXPECT_EQ(fields[0].find('b'), std::string::npos) << fields[0] << ": sharps, no flats";
        EXPECT_EQ(fields[1], "") << line << ": no prefix";
        EXPECT_TRUE(suffix_of.emplace(tone, fields[2]).second) << fields[0] << " twice";
    }
    ASSERT_EQ(suffix_of.size(), 84u);
    EXPECT_EQ(suffix_of.begin()->first, 24) << "C1";
    EXPECT_EQ(suffix_of.rbegin()->first, 107) << "B7";
    for (const auto& [tone, suffix] : suffix_of)
        EXPECT_EQ(suffix, std::abs(tone - 45) <= std::abs(tone - 57) ? "_A2" : "_A3") << tone;
    remove_tree(d);
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

// A voice the build does not have, notes it cannot make, a singer's name
// the voicebank cannot hold: one line (naming the voices it has), before
// anything else, the name shown safely (control characters escaped, cut
// short). "-voice" with nothing after it is ignored.
TEST(Program, VoiceChoice)
{
    struct row {
        std::vector<std::string> args;
        int status;
        std::string out_start, err;
    } rows[] = {
        {{"-voice", "festival"}, 255, "", "unknown voice 'festival' (known: espeak, hts)\n"},
        {{"-voice", ""}, 255, "", "unknown voice '' (known: espeak, hts)\n"},
        {{"-voice", "\x1b[31mred\nline\\"}, 255, "", "unknown voice '\\x1b[31mred\\x0aline\\x5c' (known: espeak, hts)\n"},
        {{"-voice", std::string(5000, 'v')}, 255, "", "unknown voice '" + std::string(32, 'v') + "...' (known: espeak, hts)\n"},
        {{"-voice", "\x7fv\xc3\xa9"}, 255, "", "unknown voice '\\x7fv\\xc3\\xa9' (known: espeak, hts)\n"},
        {{"-voice"}, 0, "Morivox Ver1.00\nSpeed: 70\nSamplingRate: 44100\nSinc Filter: Off\ngenerating", ""},
        {{"-voice", "espeak"}, 0, "Morivox Ver1.00\nSpeed: 70\nSamplingRate: 44100\nSinc Filter: Off\nVoice: espeak\n", ""},
        {{"-pitch", "A2,\x1b[31mH2"}, 255, "", "Pitch: '\\x1b[31mH2' is not a note (a letter A to G, a sharp '#' or a flat "
                                              "'b', the octave: A2, C#3, Eb4)\n"},
        {{"-pitch", "Db3,E4,C#3"}, 255, "", "Pitch: C#3 is the same note as Db3\n"},
        {{"-pitch", "C2,C6"}, 255, "", "Pitch: C6 is out of range (C2 to C5)\n"},
        {{"-name", "花子"}, 255, "", "Name: '\\xe8\\x8a\\xb1\\xe5\\xad\\x90' holds a character other than ASCII and kana, "
                                  "which the voicebank's Shift-JIS text does not take (give ASCII letters, digits, "
                                  "signs and kana)\n"},
        {{"-name", "Kai\x1b[31m"}, 255, "", "Name: 'Kai\\x1b[31m' is empty, longer than 64 bytes, starts or ends with "
                                          "a space, or holds a control character\n"},
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

const std::string espeak_data = MORIVOX_ESPEAK_DATA;
const std::string hts_voice_file = MORIVOX_HTS_VOICE;

// A copy of eSpeak NG's files this program's voice reads, in
// <dir>/espeak-ng-data, with `cut` (if any) cut to `size` bytes.
void copy_espeak_data(const std::string& dir, const std::string& cut, size_t size)
{
    mkdir((dir + "/espeak-ng-data").c_str(), 0755);
    for (const char* name : {"phontab", "phonindex", "phondata", "intonations", "ja_dict"}) {
        std::vector<uint8_t> b = read_file(espeak_data + "/" + name);
        if (name == cut)
            b.resize(size);
        write_file(dir + "/espeak-ng-data/" + name, b);
    }
}

// In the child: `file` replaced, for this process only, by `by`.
std::function<void()> mounted_over(const std::string& file, const std::string& by)
{
    return [file, by] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(by.c_str(), file.c_str(), nullptr, MS_BIND, nullptr) != 0)
            _exit(125);
    };
}

// The voices' data cut short, or something else at its name: the engines
// would read past their buffers; the program names the file and the code,
// and no file of the folder is touched.
TEST(Program, DamagedVoiceDataIsReportedNotACrash)
{
    const std::string data = make_temp_dir(), empty = make_temp_dir();
    const std::string no_engine = "ERR:105\nthe synthesizer cannot start: its data is missing, unreadable, damaged "
                                  "or of another version: eSpeak NG's data (package espeak-ng-data): ";
    const std::string no_voice_file = "ERR:108\nthe voice file is missing, unreadable or damaged: " + hts_voice_file;
    const std::string reinstall = "; reinstall the package hts-voice-nitech-jp-atr503-m001\n";
    std::vector<uint8_t> cut_voice = read_file(hts_voice_file);
    // A parameter of the voice that is not a number: its syntheses give
    // samples that are not numbers (い, う, き, ...).
    std::vector<uint8_t> nan_voice = cut_voice;
    std::fill(nan_voice.begin() + 584632, nan_voice.begin() + 584636, 0xff);
    write_file(data + "/nan.htsvoice", nan_voice);
    cut_voice.resize(100000);
    write_file(data + "/cut.htsvoice", cut_voice);
    struct row {
        const char* why;
        std::string cut;  // the eSpeak file cut short, or ""
        size_t size;
        std::vector<std::string> args = {}, env = {};
        std::function<void()> in_child = {};
        std::string err = {};
        bool mounts = false;  // only root may mount; CI runs as root
        bool midway = false;  // found at a syllable: the run stops there
    } rows[] = {
        {"no data where ESPEAK_DATA_PATH points", "", 0, {}, {"ESPEAK_DATA_PATH=" + empty}, {},
         "eSpeak NG data from ESPEAK_DATA_PATH: " + empty + "\n" + no_engine + empty +
             "/phontab: No such file or directory\n"},
        {"phontab of 100 bytes", "phontab", 100},
        {"phondata of 1000 bytes", "phondata", 1000},
        {"phondata short of its last spectrum", "phondata", 551000},
        {"phonindex of 100 bytes", "phonindex", 100},
        {"intonations of 10 bytes", "intonations", 10},
        {"ja_dict of 100 bytes", "ja_dict", 100},
        {"the HTS voice file replaced by /dev/zero", "", 0, {"-voice", "hts"}, {},
         mounted_over(hts_voice_file, "/dev/zero"), no_voice_file + ": not a regular file" + reinstall, true},
        {"the HTS voice file cut short", "", 0, {"-voice", "hts"}, {},
         mounted_over(hts_voice_file, data + "/cut.htsvoice"),
         no_voice_file + ": a part lies outside the file (cut short?)" + reinstall, true},
        {"a NaN in the HTS voice file", "", 0, {"-voice", "hts"}, {},
         mounted_over(hts_voice_file, data + "/nan.htsvoice"),
         no_voice_file + ": its synthesis gave samples that are not numbers, or silence" + reinstall, true, true},
    };
    for (row& c : rows) {
        if (c.mounts && geteuid() != 0)
            continue;
        const std::string d = make_temp_dir(), copy = make_temp_dir();
        if (!c.cut.empty()) {
            copy_espeak_data(copy, c.cut, c.size);
            c.env = {"ESPEAK_DATA_PATH=" + copy};
            c.err = "eSpeak NG data from ESPEAK_DATA_PATH: " + copy + "/espeak-ng-data\n" + no_engine + copy +
                    "/espeak-ng-data/" + c.cut + ": cut short or damaged\n";
        }
        const std::vector<uint8_t> old(100, 0x42);
        for (const std::string& n : expected_file_names())
            write_file(d + "/" + n, old);
        const run_result r = run_program(d, program, c.args, c.env, c.in_child);
        ASSERT_NE(r.status, 125) << c.why << ": the test could not set the case up";
        EXPECT_EQ(r.status, 255) << c.why;
        EXPECT_EQ(r.err, c.err) << c.why;
        EXPECT_EQ(list_dir(d).size(), 142u) << c.why;
        int replaced = 0;
        for (const std::string& n : expected_file_names()) {
            const std::vector<uint8_t> b = read_file(d + "/" + n);
            if (b == old)
                continue;
            ++replaced;
            // Only recordings made before the fault, none of them silent.
            const wav_file w = parse_wav(b);
            ASSERT_TRUE(c.midway && w.valid) << c.why << ": " << n;
            EXPECT_NE(std::count(w.samples.begin(), w.samples.end(), 0), static_cast<long>(w.samples.size()))
                << c.why << ": " << n << " is silent";
        }
        EXPECT_LT(replaced, 10) << c.why << ": the run stops at the fault";
        remove_tree(d);
        remove_tree(copy);
    }
    remove_tree(data);
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

// A folder that may not be written: the lock file cannot be made, and the
// run stops at once with one line.
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
    EXPECT_EQ(r.err, "cannot lock the folder: .morivox.lock: Permission denied\n");
    EXPECT_EQ(r.out, "");
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
        std::vector<std::string> under = {};  // a program that runs it, with its arguments
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
         "ERR:108\nthe voice file is missing, unreadable or damaged: "
         "/usr/share/hts-voice/nitech-jp-atr503-m001/nitech_jp_atr503_m001.htsvoice: No such file or directory; "
         "install the package hts-voice-nitech-jp-atr503-m001\n",
         {"-voice", "hts"}},
        {"no thread to be had", [] {
             // Root is not held to the limit: run as an unprivileged user.
             if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                 _exit(125);
             struct rlimit lim = {1, 1};
             setrlimit(RLIMIT_NPROC, &lim);
             setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // the leak check needs a thread of its own
         },
         "ERR:106\nthe synthesizer failed: eSpeak NG cannot start its thread: the user may start no more threads "
         "(RLIMIT_NPROC)\n", {}, false},
        // The thread started to try passes, eSpeak's own is refused (it
        // would abort the process, leaving the lock file behind).
        {"eSpeak's own thread refused", [] { setenv("ASAN_OPTIONS", "detect_leaks=0", 1); },
         "ERR:106\nthe synthesizer failed: eSpeak NG cannot start its thread: the system refused it one (the "
         "user's limit of processes, RLIMIT_NPROC, reached for a moment?)\n",
         {}, false, {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=clone3:error=EAGAIN:when=2"}},
    };
    for (const row& c : rows) {
        if (c.mounts && !root)
            continue;
#ifdef MORIVOX_SANITIZED
        if (std::string(c.why) == "no /proc")
            continue;  // the sanitizers' own start-up needs /proc
#endif
#ifdef MORIVOX_THREAD_SANITIZED
        if (std::string(c.why) == "eSpeak's own thread refused")
            continue;  // ThreadSanitizer starts a thread of its own, which takes the refusal
#endif
        const std::string d = make_temp_dir();
        // The folder is the unprivileged user's, for the rows that run as one.
        ASSERT_TRUE(geteuid() != 0 || chown(d.c_str(), 65534, 65534) == 0);
        std::vector<std::string> args = c.under;
        if (!args.empty())
            args.push_back(program);
        args.insert(args.end(), c.args.begin(), c.args.end());
        const run_result r = run_program(d, c.under.empty() ? program : args[0],
                                         c.under.empty() ? args : std::vector<std::string>(args.begin() + 1, args.end()),
                                         {}, c.in_child);
        ASSERT_NE(r.status, 125) << c.why << ": the test could not set the case up";
        EXPECT_EQ(r.status, 255) << c.why;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.why;
        EXPECT_EQ(split_lines(r.err).size(), 2u) << c.why << ": " << r.err;
        EXPECT_TRUE(list_dir(d).empty()) << c.why;
        remove_tree(d);
    }

    // A read-only file system is named as such, not as a permission; no
    // lock can be had there, so nothing is tried.
    if (root) {
        const std::string d = make_temp_dir();
        ASSERT_EQ(mount("none", d.c_str(), "tmpfs", 0, nullptr), 0);
        write_file(d + "/" + file_name_of("あ"), std::vector<uint8_t>(10, 1));
        ASSERT_EQ(mount(nullptr, d.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        const run_result r = run_program(d, program, {});
        umount(d.c_str());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "cannot lock the folder: .morivox.lock: Read-only file system\n");
        remove_tree(d);
    }
}

// Little address space: a named failure or a whole run, never a crash (the
// HTS engine used the null pointer of a failed allocation), and the files
// already in the folder stay whole.
TEST(Program, LittleMemoryIsReportedNotACrash)
{
#ifdef MORIVOX_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve terabytes of address space: no limit on it can be set";
#endif
    const std::vector<uint8_t> old(100, 0x42);
    const struct {
        const char* voice;
        std::vector<rlim_t> kib;
    } rows[] = {
        {"espeak", {23000, 25000, 30000, 40000}},
        {"hts", {40000, 50000, 60000, 66000}},
    };
    // And every 25 KiB below the first, down to where the program cannot
    // even be loaded: a failed allocation there once ended the process
    // from inside the C++ library.
    const auto least = [&](const char* voice) {
        for (rlim_t kib = rows[0].kib[0];; kib -= 25) {
            const run_result r = run_program(make_temp_dir(), program, {"-voice", voice}, {}, [kib] {
                struct rlimit lim = {kib << 10, kib << 10};
                setrlimit(RLIMIT_AS, &lim);
            });
            if (r.status == 127)  // the loader's: the program never ran
                return;
            EXPECT_TRUE(r.status == 0 || r.status == 255) << voice << " in " << kib << " KiB: " << r.status << " " << r.err;
            if (kib < 1000)
                return;
        }
    };
    least("espeak");
    for (const auto& c : rows) {
        for (rlim_t kib : c.kib) {
            const std::string d = make_temp_dir();
            for (const std::string& n : expected_file_names())
                write_file(d + "/" + n, old);
            const run_result r = run_program(d, program, {"-voice", c.voice}, {}, [kib] {
                struct rlimit lim = {kib << 10, kib << 10};
                setrlimit(RLIMIT_AS, &lim);
            });
            const std::string why = std::string(c.voice) + " in " + std::to_string(kib) + " KiB";
            if (r.status != 0) {
                EXPECT_EQ(r.status, 255) << why << ": " << r.err;
                // The code and its line (with the voice's words, if any), or the converter's line.
                const bool synthesizer = r.err.rfind("ERR:107\nout of memory in the synthesizer", 0) == 0;
                EXPECT_TRUE(synthesizer || r.err.rfind("out of memory converting '", 0) == 0) << why << ": " << r.err;
                EXPECT_EQ(split_lines(r.err).size(), synthesizer ? 2u : 1u) << why << ": " << r.err;
            }
            EXPECT_EQ(list_dir(d).size(), 142u) << why << ": no temporary file, no lock file left";
            for (const std::string& n : expected_file_names()) {
                const std::vector<uint8_t> b = read_file(d + "/" + n);
                ASSERT_TRUE(b == old || parse_wav(b).valid) << why << ": " << n;
            }
            remove_tree(d);
        }
    }
}

// The program synthesizes into memory only: it never talks to a sound
// server, however slow, and writes nothing into the home folder; eSpeak
// NG's data there (here cut short) does not change a byte.
TEST(Program, NoSoundServerAndNothingFromOrIntoTheHomeFolder)
{
    const std::string home = make_temp_dir(), d = make_temp_dir(), sockets = make_temp_dir(), plain = make_temp_dir();
    copy_espeak_data(home, "phontab", 100);
    ASSERT_EQ(run_program(plain, program, {}).status, 0);
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
    EXPECT_EQ(list_dir(home), std::vector<std::string>{"espeak-ng-data"}) << "nothing created under $HOME";
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(list_dir(d).size(), 142u);
    for (const std::string& n : expected_file_names())
        ASSERT_EQ(read_file(d + "/" + n), read_file(plain + "/" + n)) << n;
    remove_tree(plain);
    remove_tree(home);
    remove_tree(d);
    remove_tree(sockets);
}

} // namespace
