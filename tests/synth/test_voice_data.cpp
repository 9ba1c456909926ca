// The checks of the voices' data: the installed files pass, and a file cut
// short anywhere, or something else at its name, is refused and named.

#include "synth/voice_data.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>

namespace {

const std::string espeak_data = MORIVOX_ESPEAK_DATA;
const std::string hts_voice_file = MORIVOX_HTS_VOICE;
constexpr int cuts = 16;

TEST(VoiceData, FilesCutShortAnywhereAreRefused)
{
    char why[512];
    ASSERT_EQ(espeak_data_check(espeak_data.c_str(), why, sizeof why), 0) << why;
    ASSERT_EQ(hts_voice_file_check(hts_voice_file.c_str(), why, sizeof why), 0) << why;

    const std::string d = make_temp_dir();
    const char* const names[] = {"phontab", "phonindex", "phondata", "intonations", "ja_dict"};
    for (const char* cut : names) {
        for (const char* name : names)
            write_file(d + "/" + name, read_file(espeak_data + "/" + name));
        const std::vector<uint8_t> whole = read_file(espeak_data + "/" + cut);
        for (int k = 0; k <= cuts; ++k) {
            // Evenly spread, the last one byte short; intonations holds
            // tunes of 68 bytes, and a cut between two is not seen.
            size_t size = k == cuts ? whole.size() - 1 : whole.size() * k / cuts;
            if (std::string(cut) == "intonations" && size % 68 == 0 && size > 0)
                --size;
            write_file(d + "/" + cut, std::vector<uint8_t>(whole.begin(), whole.begin() + size));
            errno = 0;
            EXPECT_EQ(espeak_data_check(d.c_str(), why, sizeof why), -1) << cut << " cut to " << size;
            EXPECT_EQ(errno, EINVAL) << cut << " cut to " << size;
            EXPECT_EQ(std::string(why), d + "/" + cut + ": cut short or damaged") << size;
        }
    }

    const std::vector<uint8_t> voice = read_file(hts_voice_file);
    for (int k = 0; k <= cuts; ++k) {
        const size_t size = k == cuts ? voice.size() - 1 : voice.size() * k / cuts;
        write_file(d + "/cut.htsvoice", std::vector<uint8_t>(voice.begin(), voice.begin() + size));
        errno = 0;
        EXPECT_EQ(hts_voice_file_check((d + "/cut.htsvoice").c_str(), why, sizeof why), -1) << "cut to " << size;
        EXPECT_EQ(errno, EINVAL) << size;
    }
    // A comment too long for the engine's line buffer; the parts keep their
    // places, counted from the data's start.
    std::string with_long_line(voice.begin(), voice.end());
    with_long_line.insert(with_long_line.find("COMMENT:") + 8, std::string(2000, 'x'));
    write_file(d + "/long.htsvoice", std::vector<uint8_t>(with_long_line.begin(), with_long_line.end()));
    const struct {
        std::string path;
        int error;
        std::string why;
    } rows[] = {
        {"/dev/zero", EINVAL, "/dev/zero: not a regular file"},
        {d, EINVAL, d + ": not a regular file"},
        {d + "/none", ENOENT, d + "/none: No such file or directory"},
        {d + "/long.htsvoice", EINVAL, d + "/long.htsvoice: a header line longer than the engine reads"},
    };
    for (const auto& r : rows) {
        errno = 0;
        EXPECT_EQ(hts_voice_file_check(r.path.c_str(), why, sizeof why), -1) << r.path;
        EXPECT_EQ(errno, r.error) << r.path;
        EXPECT_EQ(std::string(why), r.why);
    }
    remove_tree(d);
}

} // namespace
