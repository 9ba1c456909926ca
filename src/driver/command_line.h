// The command line: the run's settings as the options give them, the
// checks that refuse them before anything is made, and the usage.
#pragma once

#include "notes/notes.h"
#include "synth/synth.h"

struct run_settings {
    int speed;          // passed to the synthesizer (see bank_text_speed)
    int output_rate;    // samples per second of the files
    int sinc_filter;    // non-zero: every syllable goes through the sinc filter
    const char* voice;  // the voice's name as given, or null for the default
    int oto;            // non-zero: write the sampler configuration too
    const char* pitch;  // the notes as given ("A3", "A2,A3,E4"), or null for the default
    const char* name;   // the singer's name as given (-name), or null for the default
    int help;           // non-zero: -h or --help, the usage instead of a run
    int version;        // non-zero: --version, the version instead of a run
    const char* rate_word;  // the word the rate was read from, to show it as given; null when none
    int vcv;                // non-zero: the VCV strings instead of the CV syllables
    int speed_given;        // non-zero: -speed was given a number
};

// The program and its version, as the banner and the bank's readme say.
inline constexpr char morivox_version[] = "Morivox Ver1.00";

inline constexpr run_settings default_settings = {70, 44100, 0, nullptr, 0, nullptr, nullptr, 0, 0, nullptr, 0, 0};

// Applies argv[1..argc-1] to *settings: "-sinc" turns the sinc filter on;
// "-speed" and "-rate" consume the next argument, if any, and take its
// number when it starts with one, as "%d" reads it (values beyond the 32-bit
// range saturate); "-voice", "-pitch" and "-name" consume the next argument,
// if any, as the voice's name, the notes and the singer's name; "-oto" asks
// for the sampler configuration, "-vcv" for the VCV strings; "-h" and "--help" ask for the usage,
// "--version" for the version; anything else is ignored.
void parse_command_line(int argc, const char* const* argv, run_settings* settings);

// Refuses what no run can make, before anything is made: a rate out of
// range (or too low for -oto), a voice `voices` (null-terminated, the
// default first) does not know, notes that are not notes or that the voice
// does not hold, a singer's name the bank's text cannot hold, a speed for
// the VCV strings (they keep their own tempo). Says why on
// standard error. Returns 0 with the voice in *voice and the notes of
// -pitch, when given, in *notes; else -1.
int check_settings(const run_settings& settings, const synth_voice* const* voices, const synth_voice** voice,
                   note_list* notes);

// -h, --help: the options, their defaults and an example; --version: the
// program and its version; on standard output.
void print_usage(const run_settings& settings, const synth_voice* const* voices);
