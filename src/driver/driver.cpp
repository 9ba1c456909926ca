#include "driver/driver.h"

#include "bank/bank.h"
#include "driver/command_line.h"
#include "driver/console.h"
#include "driver/recordings.h"
#include "driver/run.h"
#include "driver/set_aside.h"
#include "driver/sets.h"
#include "driver/voicebank.h"
#include "pipeline/pipeline.h"

#include <cstdio>
#include <cstdlib>

namespace {

static_assert(note_list_max <= pipeline_max_pitches, "every set in one pipeline");

// The one run of the process.
morivox_run run;

void print_banner(const run_settings& settings, const synth_voice& voice)
{
    say("%s\n", morivox_version);
    say("Speed: %d\n", settings.speed);
    say("SamplingRate: %d\n", settings.output_rate);
    say("Sinc Filter: ");
    say("%s", settings.sinc_filter ? "On\n" : "Off\n");
    if (settings.voice != nullptr)
        say("Voice: %s\n", voice.name);
    if (settings.pitch != nullptr)
        say("Pitch: %s\n", settings.pitch);
    if (settings.name != nullptr)
        say("Name: %s\n", settings.name);
    if (settings.vcv)
        say("VCV: On\n");
    if (settings.oto)
        say("Oto: On\n");
    char warning[256];
    if (settings.oto && bank_rate_warning(settings.output_rate, warning, sizeof warning) > 0)
        fputs(warning, stderr);
}

// Makes and writes every recording of every set, in order. Returns 0, or
// -1 when the run must end (reported); *not_written says whether a file
// could not be written.
int make_recordings(bool* not_written)
{
    const run_settings& settings = run.settings;
    static double f0s[note_list_max];
    for (int s = 0; s < run.set_count; ++s)
        f0s[s] = run.sets[s].f0;
    const pipeline_settings made_as = {run.list, settings.speed, settings.output_rate, settings.sinc_filter != 0,
                                       settings.oto != 0};
    pipeline* making = nullptr;
    char failure[512];
    const synth_error opened = pipeline_start(*run.voice, made_as, f0s, run.set_count, &making, failure, sizeof failure);
    if (opened != synth_ok) {
        report_synth_error(opened, failure);
        return -1;
    }
    for (int s = 0; s < run.set_count; ++s) {
        for (int k = 0; k < run.list->count; ++k) {
            made_recording made;
            pipeline_next(making, &made);
            const int went_on = write_recording(&run, s, k, made, not_written);
            free(made.samples);
            if (went_on != 0) {
                pipeline_stop(making);
                finish_files(&run);
                report_removed_with_recordings();
                return -1;
            }
        }
    }
    pipeline_stop(making);
    if (!finish_files(&run))
        *not_written = true;
    report_removed_with_recordings();
    return 0;
}

} // namespace

int run_morivox(int argc, const char* const* argv, const synth_voice* const* voices)
{
    console_start();
    run.settings = default_settings;
    parse_command_line(argc, argv, &run.settings);
    if (run.settings.help || run.settings.version) {
        print_usage(run.settings, voices);
        return console_finish();
    }
    static note_list notes;
    if (check_settings(run.settings, voices, &run.voice, &notes) != 0)
        return -1;
    run.list = &bank_list_of(run.settings.vcv ? bank_list_vcv : bank_list_cv);
    choose_sets(notes, &run);
    // The timings of one set lie here; of several, on the heap (the program
    // must still start in little memory).
    static oto_times one_set[1][bank_max_texts][bank_max_morae];
    run.times = one_set;
    if (run.set_count > 1 && (run.times = static_cast<oto_times(*)[bank_max_texts][bank_max_morae]>(
                                  calloc(static_cast<size_t>(run.set_count), sizeof *run.times))) == nullptr) {
        fprintf(stderr, "out of memory\n");
        return -1;
    }
    if (hold_folder(run) != 0)
        return -1;
    set_aside_start(run);

    print_banner(run.settings, *run.voice);
    bool not_written = false;
    if (make_recordings(&not_written) != 0) {
        fflush(stdout);
        return -1;
    }
    if (run.settings.oto && !write_voicebank(&run))
        not_written = true;
    say("done.\n");
    return console_finish() != 0 || not_written ? -1 : 0;
}
