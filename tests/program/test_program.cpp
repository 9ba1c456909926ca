// The real program, with eSpeak, run in empty folders.

#include "support.h"

#include <gtest/gtest.h>

namespace {

const std::string program = MORIVOX_BIN;

TEST(Program, DefaultRunMakes142FilesTwiceAlike)
{
    const std::string a = make_temp_dir(), b = make_temp_dir();
    const run_result ra = run_program(a, program, {});
    const run_result rb = run_program(b, program, {});
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

TEST(Program, SmoothedRunAtAnotherRate)
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
        EXPECT_EQ(r.err, "ERR:103\n") << speed;
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
    EXPECT_EQ(r.err, "ERR:105\n");
    EXPECT_TRUE(list_dir(d).empty());
    remove_tree(d);
    remove_tree(empty);
}

} // namespace
