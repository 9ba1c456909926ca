// The generation driver: command line, banner, the syllable table and the
// loop that synthesizes, converts and writes one file per syllable.
#pragma once

#include <cstddef>

struct run_settings {
    int speed;        // passed to the synthesizer (ん always gets speed 50)
    int output_rate;  // samples per second of the files
    int smoothing;    // non-zero: pass every syllable through the smoothing filter
};

inline constexpr run_settings default_settings = {70, 44100, 0};

// The speed that ん is always synthesized at.
inline constexpr int moraic_nasal_speed = 50;

inline constexpr int syllable_count = 142;

// The 142 Shift-JIS syllables in order, then a null stop mark.
extern const char* const syllable_table[syllable_count + 1];

// Reads a decimal integer as "%d" would: leading white space, one optional
// sign, digits up to the first other character. Values beyond the 32-bit
// range saturate to INT32_MIN or INT32_MAX. Returns 1 and stores the value
// when a digit was read, else returns 0 and leaves *value alone.
int parse_decimal(const char* text, int* value);

// Applies argv[1..argc-1] to *settings: "-sinc" turns smoothing on; "-speed"
// and "-rate" consume the next argument, if any, and take its number when it
// has one; anything else is ignored.
void parse_command_line(int argc, const char* const* argv, run_settings* settings);

// Converts Shift-JIS (code page 932) text to UTF-8 into out[0..out_size-1],
// NUL-terminated. Returns 0, or -1 when the text cannot be converted or
// does not fit.
int sjis_to_utf8(const char* sjis, char* out, size_t out_size);

// The whole program: parse, print the banner, make the 142 files in the
// current directory. Returns 0 when every file was written and everything
// printed reached standard output, otherwise -1 (after a message on
// standard error).
int run_morivox(int argc, const char* const* argv);
