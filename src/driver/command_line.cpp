// The options, their checks, and the usage.

#include "driver/command_line.h"

#include "bank/bank.h"
#include "bank/lists.h"
#include "bank/oto.h"
#include "bank/syllables.h"
#include "driver/console.h"
#include "resample/resample.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Reads `text` as "%d" would (leading white space, one sign, digits),
// saturating at the 32-bit limits. Leaves *value alone when no digit starts
// it; else `*read_from`, when given, becomes the text.
void read_decimal(const char* text, int* value, const char** read_from = nullptr)
{
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (end == text)
        return;
    *value = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    if (read_from != nullptr)
        *read_from = text;
}

// The number of the rate as written (sign and digits, as read), or the rate.
void shown_rate(const run_settings& settings, char* out, size_t size)
{
    if (settings.rate_word == nullptr) {
        snprintf(out, size, "%d", settings.output_rate);
        return;
    }
    const char* from = settings.rate_word;
    while (*from == ' ' || (*from >= '\t' && *from <= '\r'))
        ++from;
    char* end = nullptr;
    strtol(from, &end, 10);
    snprintf(out, size, "%.*s", static_cast<int>(end - from), from);
}

// The notes of -pitch are refused: says why on standard error.
void report_bad_pitch(note_list_status status, const note_list& list, const char* text, const synth_voice& voice)
{
    // The item at fault, cut where shown_text cuts it.
    char item[shown_bytes + 2];
    const size_t length = list.bad_length < sizeof item - 1 ? list.bad_length : sizeof item - 1;
    memcpy(item, text + list.bad, length);
    item[length] = 0;
    char shown[shown_room];
    shown_text(item, shown, sizeof shown);
    char lowest[note_name_room], highest[note_name_room];
    note_name(note_lowest, lowest, sizeof lowest);
    note_name(note_highest, highest, sizeof highest);
    switch (status) {
    case note_list_ok:
        break;
    case note_list_empty_item:
        shown_text(text, shown, sizeof shown);
        fprintf(stderr, "Pitch: '%s' has an empty item (give notes separated by commas, as A2,A3,E4)\n", shown);
        break;
    case note_list_not_a_note:
        fprintf(stderr, "Pitch: '%s' is not a note (a letter A to G, a sharp '#' or a flat 'b', the octave: A2, C#3, "
                        "Eb4)\n",
                shown);
        break;
    case note_list_out_of_range:
        fprintf(stderr, "Pitch: %s is out of range (%s to %s)\n", shown, lowest, highest);
        break;
    case note_list_repeated:
        if (strcmp(list.names[list.repeats], item) == 0)
            fprintf(stderr, "Pitch: %s is given twice\n", shown);
        else
            fprintf(stderr, "Pitch: %s is the same note as %s\n", shown, list.names[list.repeats]);
        break;
    case note_list_outside_voice: {
        // The voice's range as the notes it holds.
        int low = note_highest + 1, high = note_lowest - 1;
        for (int n = note_lowest; n <= note_highest; ++n) {
            const double f0 = note_frequency(n);
            if (f0 >= voice.lowest_f0 && f0 <= voice.highest_f0) {
                low = low <= note_highest ? low : n;
                high = n;
            }
        }
        if (low > high) {
            fprintf(stderr, "Pitch: %s is out of the range of the voice %s, which holds no note of %s to %s\n", shown,
                    voice.name, lowest, highest);
            break;
        }
        note_name(low, lowest, sizeof lowest);
        note_name(high, highest, sizeof highest);
        fprintf(stderr, "Pitch: %s is out of the range of the voice %s (%s to %s)\n", shown, voice.name, lowest,
                highest);
        break;
    }
    }
}

// -name: a name the voicebank's text can hold. Says why on standard error
// when it cannot. Returns 0 or -1.
int check_singer_name(const char* name)
{
    const int checked = bank_check_name(name);
    if (checked == bank_ok)
        return 0;
    char shown[shown_room];
    shown_text(name, shown, sizeof shown);
    if (checked == bank_not_cp932)
        fprintf(stderr, "Name: '%s' holds a character other than ASCII and kana, which the voicebank's Shift-JIS text "
                        "does not take (give ASCII letters, digits, signs and kana)\n",
                shown);
    else
        fprintf(stderr, "Name: '%s' is empty, longer than %zu bytes, starts or ends with a space, or holds a control "
                        "character\n",
                shown, bank_name_max);
    return -1;
}

// The voices' names, for messages: "espeak, hts", or with `last` before the
// last one ("espeak or hts").
void voice_names(const synth_voice* const* voices, const char* last, char* out, size_t size)
{
    out[0] = 0;
    for (const synth_voice* const* v = voices; *v != nullptr; ++v)
        snprintf(out + strlen(out), size - strlen(out), "%s%s", v == voices ? "" : v[1] == nullptr ? last : ", ",
                 (*v)->name);
}

} // namespace

void parse_command_line(int argc, const char* const* argv, run_settings* settings)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "-sinc") == 0) {
            settings->sinc_filter = 1;
        } else if (strcmp(arg, "-oto") == 0) {
            settings->oto = 1;
        } else if (strcmp(arg, "-vcv") == 0) {
            settings->vcv = 1;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            settings->help = 1;
        } else if (strcmp(arg, "--version") == 0) {
            settings->version = 1;
        } else if (strcmp(arg, "-voice") == 0 || strcmp(arg, "-pitch") == 0 || strcmp(arg, "-name") == 0) {
            if (i + 1 >= argc)
                break;
            (arg[1] == 'v' ? settings->voice : arg[1] == 'p' ? settings->pitch : settings->name) = argv[++i];
        } else if (strcmp(arg, "-speed") == 0 || strcmp(arg, "-rate") == 0) {
            if (i + 1 >= argc)
                break;
            const char* read_from = nullptr;
            read_decimal(argv[++i], arg[1] == 's' ? &settings->speed : &settings->output_rate, &read_from);
            if (read_from != nullptr && arg[1] == 'r')
                settings->rate_word = read_from;
            if (read_from != nullptr && arg[1] == 's')
                settings->speed_given = 1;
        }
    }
}

int check_settings(const run_settings& settings, const synth_voice* const* voices, const synth_voice** voice,
                   note_list* notes)
{
    if (settings.output_rate < resample_min_rate || settings.output_rate > resample_max_rate) {
        char shown[64];
        shown_rate(settings, shown, sizeof shown);
        fprintf(stderr, "SamplingRate: %s is out of range (%d to %d)\n", shown, resample_min_rate, resample_max_rate);
        return -1;
    }
    if (settings.oto && settings.output_rate < oto_lowest_rate) {
        fprintf(stderr, "SamplingRate: %d is too low for -oto (%d to %d): the recordings would not hold their oto.ini "
                        "lines\n",
                settings.output_rate, oto_lowest_rate, resample_max_rate);
        return -1;
    }
    *voice = settings.voice ? synth_find_voice(voices, settings.voice) : voices[0];
    if (*voice == nullptr) {
        char known[256];
        voice_names(voices, ", ", known, sizeof known);
        char shown[shown_room];
        shown_text(settings.voice, shown, sizeof shown);
        fprintf(stderr, "unknown voice '%s' (known: %s)\n", shown, known);
        return -1;
    }
    if (settings.pitch != nullptr) {
        const note_list_status read = note_list_parse(settings.pitch, (*voice)->lowest_f0, (*voice)->highest_f0, notes);
        if (read != note_list_ok) {
            report_bad_pitch(read, *notes, settings.pitch, **voice);
            return -1;
        }
    }
    if (settings.name != nullptr && check_singer_name(settings.name) != 0)
        return -1;
    if (settings.vcv && settings.speed_given) {
        fprintf(stderr, "Speed: the VCV strings are sung at their own tempo, %.6g beats a minute; -speed does not "
                        "apply to -vcv\n",
                60 / bank_vcv_beat);
        return -1;
    }
    return 0;
}

void print_usage(const run_settings& settings, const synth_voice* const* voices)
{
    if (!settings.help) {
        say("%s\n", morivox_version);
        return;
    }
    char known[256];
    voice_names(voices, " or ", known, sizeof known);
    say("Usage: morivox [-speed N] [-rate N] [-sinc] [-voice NAME] [-pitch NOTE[,NOTE...]] [-name NAME] [-vcv] [-oto]\n"
        "Makes %d Japanese syllable recordings (16-bit mono WAV) in the current folder;\n"
        "with -oto, a voicebank for UTAU and OpenUtau.\n"
        "  -speed N      speaking speed, %d to %d; 100 is natural timing (default %d)\n"
        "  -rate N       sampling rate in Hz, %d to %d (default %d)\n"
        "  -sinc         pass every file through the sinc filter (default off)\n"
        "  -voice NAME   %s (default %s)\n"
        "  -pitch NOTES  the steady pitch as a note, C2 to C5 (default A2, 110 Hz);\n"
        "                several, as A2,A3,E4, make a subfolder each\n"
        "  -name NAME    the singer's name in the voicebank, ASCII and kana\n"
        "                (default Morivox <voice>, with the notes of several pitches)\n"
        "  -vcv          instead of the syllables, %d strings sung legato, one syllable\n"
        "                a beat, for a VCV voicebank (no -speed)\n"
        "  -oto          also write oto.ini, the frequency maps and the voicebank's files\n"
        "  -h, --help    this text; --version: the program's version\n"
        "Example: mkdir bank && cd bank && morivox -voice hts -pitch A2,A3,E4 -oto\n"
        "The manual: man morivox\n",
        syllable_count, synth_min_speed, synth_max_speed, default_settings.speed, resample_min_rate,
        resample_max_rate, default_settings.output_rate, known, voices[0]->name,
        bank_list_of(bank_list_vcv).count);
}
