#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <ostream>

#include <climits>
#include <vector>

namespace {

struct args_case {
    const char* why;
    std::vector<const char*> args;
    int speed, rate, sinc_filter;
    const char* voice = nullptr;
    const char* pitch = nullptr;
    const char* name = nullptr;
    int help = 0, version = 0;
    int vcv = 0, speed_given = -1;  // -vcv, and -speed given a number (-1: not looked at)
};

void PrintTo(const args_case& c, std::ostream* os)
{
    *os << c.why;
}


class CommandLine : public ::testing::TestWithParam<args_case> {};

TEST_P(CommandLine, GivesTheSettings)
{
    const args_case& c = GetParam();
    std::vector<const char*> argv = {"morivox"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    run_settings s = default_settings;
    parse_command_line(static_cast<int>(argv.size()), argv.data(), &s);
    EXPECT_EQ(s.speed, c.speed) << c.why;
    EXPECT_EQ(s.output_rate, c.rate) << c.why;
    EXPECT_EQ(s.sinc_filter, c.sinc_filter) << c.why;
    EXPECT_STREQ(s.voice, c.voice) << c.why;
    EXPECT_STREQ(s.pitch, c.pitch) << c.why;
    EXPECT_STREQ(s.name, c.name) << c.why;
    EXPECT_EQ(s.help, c.help) << c.why;
    EXPECT_EQ(s.version, c.version) << c.why;
    EXPECT_EQ(s.vcv, c.vcv) << c.why;
    if (c.speed_given >= 0) {
        EXPECT_EQ(s.speed_given, c.speed_given) << c.why;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    ::testing::Values(
        args_case{"no arguments", {}, 70, 44100, 0},
        args_case{"all three", {"-speed", "100", "-rate", "441", "-sinc"}, 100, 441, 1},
        args_case{"-speed last is ignored", {"-speed"}, 70, 44100, 0},
        args_case{"-rate last is ignored", {"-sinc", "-rate"}, 70, 44100, 1},
        args_case{"word after -speed", {"-speed", "fast"}, 70, 44100, 0},
        args_case{"-sinc taken as the value of -speed", {"-speed", "-sinc"}, 70, 44100, 0},
        args_case{"consumed value is not an option", {"-rate", "-speed", "90"}, 70, 44100, 0},
        args_case{"trailing letters", {"-rate", "48000Hz"}, 70, 48000, 0},
        args_case{"leading white space", {"-speed", " \t\n\v\f\r120"}, 120, 44100, 0},
        args_case{"plus sign", {"-speed", "+80"}, 80, 44100, 0},
        args_case{"minus sign", {"-rate", "-5"}, 70, -5, 0},
        args_case{"two signs", {"-speed", "+-5"}, 70, 44100, 0},
        args_case{"sign alone", {"-speed", "-"}, 70, 44100, 0},
        args_case{"space after sign", {"-speed", "- 5"}, 70, 44100, 0},
        args_case{"empty value", {"-rate", ""}, 70, 44100, 0},
        args_case{"capitals ignored", {"-SINC"}, 70, 44100, 0},
        args_case{"two dashes ignored", {"--sinc"}, 70, 44100, 0},
        args_case{"prefix is not an option", {"-sincx", "-speedy", "5"}, 70, 44100, 0},
        args_case{"second -rate wins", {"-rate", "8000", "-rate", "16000"}, 70, 16000, 0},
        args_case{"second -rate without digits", {"-rate", "8000", "-rate", "x"}, 70, 8000, 0},
        args_case{"unknown arguments ignored", {"hello", "-v", "-speed", "60"}, 60, 44100, 0},
        args_case{"saturates above", {"-rate", "99999999999"}, 70, INT_MAX, 0},
        args_case{"saturates below", {"-speed", "-99999999999999999999999"}, INT_MIN, 44100, 0},
        args_case{"32-bit limits exact", {"-speed", "-2147483648", "-rate", "2147483647"}, INT_MIN, INT_MAX, 0},
        args_case{"leading zeros", {"-speed", "000000000000000000000100"}, 100, 44100, 0},
        args_case{"hex is decimal 0", {"-rate", "0x10"}, 70, 0, 0},
        args_case{"white space alone", {"-speed", "   "}, 70, 44100, 0},
        args_case{"minus zero", {"-speed", "-0"}, 0, 44100, 0},
        args_case{"a voice", {"-voice", "hts"}, 70, 44100, 0, "hts"},
        args_case{"-voice last is ignored", {"-sinc", "-voice"}, 70, 44100, 1},
        args_case{"the later -voice wins", {"-voice", "a", "-voice", "b"}, 70, 44100, 0, "b"},
        args_case{"-sinc taken as the voice", {"-voice", "-sinc"}, 70, 44100, 0, "-sinc"},
        args_case{"a voice is any word", {"-voice", ""}, 70, 44100, 0, ""},
        args_case{"notes, read later", {"-pitch", "A2,x"}, 70, 44100, 0, nullptr, "A2,x"},
        args_case{"-pitch last is ignored, the earlier kept", {"-pitch", "A3", "-pitch"}, 70, 44100, 0, nullptr, "A3"},
        args_case{"the later -pitch wins", {"-pitch", "A3", "-voice", "hts", "-pitch", "E4"}, 70, 44100, 0, "hts",
                  "E4"},
        args_case{"a name, read later", {"-name", "Low Kai"}, 70, 44100, 0, nullptr, nullptr, "Low Kai"},
        args_case{"-name last is ignored", {"-name", "a", "-name"}, 70, 44100, 0, nullptr, nullptr, "a"},
        args_case{"-oto taken as the name", {"-name", "-oto"}, 70, 44100, 0, nullptr, nullptr, "-oto"},
        args_case{"-h", {"-sinc", "-h"}, 70, 44100, 1, nullptr, nullptr, nullptr, 1},
        args_case{"--help", {"--help"}, 70, 44100, 0, nullptr, nullptr, nullptr, 1},
        args_case{"--version", {"--version"}, 70, 44100, 0, nullptr, nullptr, nullptr, 0, 1},
        args_case{"-h taken as the voice", {"-voice", "-h"}, 70, 44100, 0, "-h"},
        args_case{"-help, -version and --HELP are unknown", {"-help", "-version", "--HELP", "-H"}, 70, 44100, 0},
        args_case{"-vcv", {"-vcv", "-oto"}, 70, 44100, 0, nullptr, nullptr, nullptr, 0, 0, 1},
        args_case{"-vcv taken as the speed's word", {"-speed", "-vcv"}, 70, 44100, 0, nullptr, nullptr, nullptr, 0, 0,
                  0, 0},
        args_case{"a speed given", {"-vcv", "-speed", "70"}, 70, 44100, 0, nullptr, nullptr, nullptr, 0, 0, 1, 1},
        args_case{"a speed without digits is not given", {"-speed", "x", "-vcv"}, 70, 44100, 0, nullptr, nullptr,
                  nullptr, 0, 0, 1, 0},
        args_case{"-VCV and --vcv are unknown", {"-VCV", "--vcv"}, 70, 44100, 0}));

} // namespace
