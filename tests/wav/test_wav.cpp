#include "wav/wav.h"

#include "support.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class WavWriter : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override { remove_tree(dir); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

TEST_F(WavWriter, SmallFileHasExactBytes)
{
    const int16_t samples[3] = {1, -2, 0x1234};
    ASSERT_EQ(write_wav_file(path("a.wav").c_str(), samples, 6, 16, 1, 441), 0);
    const std::vector<uint8_t> expected = {
        'R', 'I', 'F', 'F', 42, 0, 0, 0, 'W', 'A', 'V', 'E',   // RIFF size 6 + 36
        'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,           // fmt size, PCM, mono
        0xB9, 0x01, 0, 0, 0x72, 0x03, 0, 0,                    // 441 Hz, 882 bytes/s
        2, 0, 16, 0, 'd', 'a', 't', 'a', 6, 0, 0, 0,           // align 2, 16 bits, 6 bytes
        0x01, 0x00, 0xFE, 0xFF, 0x34, 0x12};
    EXPECT_EQ(read_file(path("a.wav")), expected);
}

struct header_case {
    const char* why;
    int data_size, bits, channels, rate;
    uint32_t riff_size, bytes_per_second;
    uint16_t block_align;
};

void PrintTo(const header_case& c, std::ostream* os)
{
    *os << c.why;
}


class WavHeader : public ::testing::TestWithParam<header_case> {};

TEST_P(WavHeader, FieldsFollowTheLayout)
{
    const header_case& c = GetParam();
    uint8_t h[wav_header_size];
    wav_build_header(h, static_cast<uint32_t>(c.data_size), c.bits, c.channels, c.rate);
    std::vector<uint8_t> bytes(h, h + wav_header_size);
    bytes.resize(wav_header_size + static_cast<size_t>(c.data_size));
    const wav_file w = parse_wav(bytes);
    EXPECT_TRUE(w.valid) << c.why;
    EXPECT_EQ(w.riff_size, c.riff_size) << c.why;
    EXPECT_EQ(w.fmt_size, 16u) << c.why;
    EXPECT_EQ(w.format, 1) << c.why;
    EXPECT_EQ(w.channels, c.channels) << c.why;
    EXPECT_EQ(w.rate, static_cast<uint32_t>(c.rate)) << c.why;
    EXPECT_EQ(w.bytes_per_second, c.bytes_per_second) << c.why;
    EXPECT_EQ(w.block_align, c.block_align) << c.why;
    EXPECT_EQ(w.bits, c.bits) << c.why;
    EXPECT_EQ(w.data_size, static_cast<uint32_t>(c.data_size)) << c.why;

    // The reader gives back what the builder wrote.
    const wav_format f = wav_read_format(h);
    EXPECT_EQ(f.sampling_rate, static_cast<uint32_t>(c.rate)) << c.why;
    EXPECT_EQ(f.channels, c.channels) << c.why;
    EXPECT_EQ(f.bits_per_sample, c.bits) << c.why;
    EXPECT_EQ(f.data_size, static_cast<uint32_t>(c.data_size)) << c.why;
}

// Images are read as they stand: no tag is checked, every field is
// little-endian at its own offset.
TEST(WavReader, TakesTheFieldsAsTheyStand)
{
    uint8_t h[wav_header_size];
    for (int i = 0; i < wav_header_size; ++i)
        h[i] = static_cast<uint8_t>(i);
    const wav_format f = wav_read_format(h);
    EXPECT_EQ(f.channels, 0x1716);
    EXPECT_EQ(f.sampling_rate, 0x1B1A1918u);
    EXPECT_EQ(f.bits_per_sample, 0x2322);
    EXPECT_EQ(f.data_size, 0x2B2A2928u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WavHeader,
    ::testing::Values(
        header_case{"empty data: RIFF size 36", 0, 16, 1, 44100, 36, 88200, 2},
        header_case{"16-bit mono at 441", 10, 16, 1, 441, 46, 882, 2},
        header_case{"8-bit mono: align 1, bytes/s = rate", 4, 8, 1, 8000, 40, 8000, 1},
        header_case{"16-bit stereo", 8, 16, 2, 48000, 44, 192000, 4},
        header_case{"12 bits: align truncates to 1", 2, 12, 1, 1000, 38, 1000, 1},
        header_case{"highest output rate", 2, 16, 1, 768000, 38, 1536000, 2}));

TEST_F(WavWriter, EmptyDataGivesBareHeader)
{
    ASSERT_EQ(write_wav_file(path("e.wav").c_str(), nullptr, 0, 16, 1, 44100), 0);
    const std::vector<uint8_t> b = read_file(path("e.wav"));
    ASSERT_EQ(b.size(), 44u);
    const wav_file w = parse_wav(b);
    EXPECT_TRUE(w.valid);
    EXPECT_EQ(w.riff_size, 36u);
    EXPECT_EQ(w.data_size, 0u);
}

TEST_F(WavWriter, ReplacesAnExistingFileWhole)
{
    write_file(path("r.wav"), std::vector<uint8_t>(10000, 0xAA));
    const int16_t s[2] = {7, 8};
    ASSERT_EQ(write_wav_file(path("r.wav").c_str(), s, 4, 16, 1, 22050), 0);
    const std::vector<uint8_t> b = read_file(path("r.wav"));
    EXPECT_EQ(b.size(), 48u);
    EXPECT_TRUE(parse_wav(b).valid);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"r.wav"}) << "no temporary file left";
}

TEST_F(WavWriter, UnwritablePathsFailAndLeaveNothing)
{
    const int16_t s[1] = {1};
    ASSERT_EQ(mkdir(path("taken.wav").c_str(), 0755), 0);

    struct bad_case {
        const char* why;
        std::string name;
        int expected_errno;
    } cases[] = {
        {"missing folder", path("no/such/dir.wav"), ENOENT},
        {"name taken by a directory", path("taken.wav"), EISDIR},
        {"empty name", "", ENOENT},
    };
    for (const bad_case& c : cases) {
        errno = 0;
        EXPECT_EQ(write_wav_file(c.name.c_str(), s, 2, 16, 1, 100), -1) << c.why;
        EXPECT_EQ(errno, c.expected_errno) << c.why;
    }
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"taken.wav"});
}

TEST_F(WavWriter, RefusesBadSizes)
{
    const int16_t s[1] = {1};
    EXPECT_EQ(write_wav_file(path("n.wav").c_str(), s, -2, 16, 1, 100), -1);
    EXPECT_EQ(write_wav_file(path("n.wav").c_str(), nullptr, 2, 16, 1, 100), -1);
    EXPECT_FALSE(file_exists(path("n.wav")));
}

TEST_F(WavWriter, ReadOnlyFileIsKept)
{
    const std::vector<uint8_t> old(100, 0x55);
    write_file(path("ro.wav"), old);
    ASSERT_EQ(chmod(path("ro.wav").c_str(), 0444), 0);
    const int16_t s[2] = {1, 2};
    errno = 0;
    EXPECT_EQ(write_wav_file(path("ro.wav").c_str(), s, 4, 16, 1, 100), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(read_file(path("ro.wav")), old);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"ro.wav"});
}

TEST_F(WavWriter, FailedWriteKeepsTheOldFile)
{
    // A file size limit below the new file's size makes the write fail
    // half-way (as a full disk would); the old file must survive untouched.
    const std::vector<uint8_t> old(100, 0x33);
    write_file(path("keep.wav"), old);
    std::vector<int16_t> big(50000, 1000);

    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &lim);
        const int rc = write_wav_file(path("keep.wav").c_str(), big.data(),
                                      static_cast<int>(big.size() * 2), 16, 1, 44100);
        _exit(rc == -1 && errno == EFBIG ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "write must fail with EFBIG";
    EXPECT_EQ(read_file(path("keep.wav")), old);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"keep.wav"}) << "no temporary file left";
}

} // namespace
