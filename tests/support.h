// Helpers shared by the tests: temporary folders, running a program, reading files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct run_result {
    int status;        // exit status, or 128 + signal when killed
    std::string out;   // standard output
    std::string err;   // standard error
};

// Runs `program` with `args` in `dir`, with `env` ("NAME=value") added to
// the environment; `in_child` runs in the child just before exec. With
// `stop_signal`, sends it `stop_after_ms` after the program's first output
// on standard output (once it is under way), unless it ended before; with
// `stop_group`, the program leads a process group of its own and the
// signal goes to the whole group, as a terminal's Ctrl-C does.
run_result run_program(const std::string& dir, const std::string& program,
                       const std::vector<std::string>& args,
                       const std::vector<std::string>& env = {},
                       const std::function<void()>& in_child = {},
                       int stop_signal = 0, int stop_after_ms = 0, bool stop_group = false);

// A new empty folder under the system's temporary folder; removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string& path);

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
bool file_exists(const std::string& path);

// Names of the entries of a folder, sorted.
std::vector<std::string> list_dir(const std::string& dir);

// The fields of a canonical 44-byte WAV header and its samples.
struct wav_file {
    bool valid;  // RIFF/WAVE/fmt /data tags in place and sizes consistent
    uint32_t riff_size, fmt_size, rate, bytes_per_second, data_size;
    uint16_t format, channels, block_align, bits;
    std::vector<int16_t> samples;
};
wav_file parse_wav(const std::vector<uint8_t>& bytes);

// Splits text into lines (without the line feeds).
std::vector<std::string> split_lines(const std::string& text);

// The file names of the syllable table, in table order, as UTF-8.
std::vector<std::string> expected_file_names();

// The file name of the entry named `name` (UTF-8); abort when the table
// has no such entry.
std::string file_name_of(const char* name);

// The pitch in Hz around sample `centre` (1024 samples from centre - 512),
// by autocorrelation over `lowest` to `highest` Hz, its peak placed between
// samples. A range wider than an octave may give a multiple of the period.
double pitch_at(const std::vector<int16_t>& samples, size_t centre, int rate, double lowest = 60,
                double highest = 400);

// `in` from the encoding `from` into `to` (iconv's names: "CP932",
// "UTF-8"), as the C library converts it; false when it cannot be.
bool convert_text(const char* from, const char* to, const std::string& in, std::string* out);

// Text in Shift-JIS (CP932) as UTF-8; false when it is not CP932.
bool from_cp932(const std::vector<uint8_t>& in, std::string* out);

// One oto.ini line as OpenUtau reads it: the file before the first '=',
// then the alias and five numbers (ms).
struct oto_line {
    std::string file, alias;
    double offset, consonant, cutoff, preutterance, overlap;
};

// Reads `text` (one line, UTF-8, a CR at its end allowed). False when it is
// not "<file>=<alias>,<five numbers>" with a single '='.
bool parse_oto_line(const std::string& text, oto_line* out);

// The rules of OpenUtau's error checker (VoicebankErrorChecker.CheckOto)
// that `line` breaks in a recording of `duration_ms`, and ours: the overlap
// within [0, preutterance]. Empty when it breaks none.
std::vector<std::string> openutau_oto_errors(const oto_line& line, double duration_ms);
