// The generation driver: command line, banner, and the loop that
// synthesizes, converts and writes one file per syllable of the table.
#pragma once

#include "synth/synth.h"

struct run_settings {
    int speed;          // passed to the synthesizer (see syllable_speed)
    int output_rate;    // samples per second of the files
    int sinc_filter;    // non-zero: every syllable goes through the sinc filter
    const char* voice;  // the voice's name as given, or null for the default
    int oto;            // non-zero: write the sampler configuration too
    const char* pitch;  // the notes as given ("A3", "A2,A3,E4"), or null for the default
    const char* name;   // the singer's name as given (-name), or null for the default
    int help;           // non-zero: -h or --help, the usage instead of a run
    int version;        // non-zero: --version, the version instead of a run
};

// The program and its version, as the banner and the bank's readme say.
inline constexpr char morivox_version[] = "Morivox Ver1.00";

inline constexpr run_settings default_settings = {70, 44100, 0, nullptr, 0, nullptr, nullptr, 0, 0};

// Applies argv[1..argc-1] to *settings: "-sinc" turns the sinc filter on;
// "-speed" and "-rate" consume the next argument, if any, and take its
// number when it starts with one, as "%d" reads it (values beyond the 32-bit
// range saturate); "-voice", "-pitch" and "-name" consume the next argument,
// if any, as the voice's name, the notes and the singer's name; "-oto" asks for the sampler
// configuration; "-h" and "--help" ask for the usage, "--version" for the
// version; anything else is ignored.
void parse_command_line(int argc, const char* const* argv, run_settings* settings);

// The whole program: parse, print the banner, make every file of the table
// with the voice chosen from `voices` (a list ended by null, the default
// first): in the current directory, or with several notes in a subfolder
// per note. Returns 0 when every file was written and everything printed
// reached standard output, otherwise -1 (after a message on standard error).
// Asked for the usage or the version, it prints that on standard output
// and returns 0, touching no file.
int run_morivox(int argc, const char* const* argv, const synth_voice* const* voices);
