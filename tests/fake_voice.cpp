// A scripted voice in place of eSpeak, for runs that must fail at a chosen
// entry or must be fast: the program morivox_fake hands it to the driver.
//
// MORIVOX_FAKE_FAIL_AT=k  makes the synthesis of the k-th entry of the table
// (1-based) fail with MORIVOX_FAKE_ERR (default 777). MORIVOX_FAKE_LOG=path
// appends one line per synthesis: the speed and the text's bytes in hex (in
// the order the syntheses happen, which the workers may change). Images hold 1000 samples
// (MORIVOX_FAKE_SAMPLES to change) at 22050 Hz of a tone that depends on the
// text, so files differ per syllable.
//
// The voice "engines" is the same with an engine per worker, opened by the
// workers; MORIVOX_FAKE_OPEN_FAIL=k makes the k-th open fail with
// MORIVOX_FAKE_ERR and words of its own. The voice "forking" is "engines"
// opened as a voice that forks is; MORIVOX_FAKE_OPEN_LOG=path appends, at
// each open, how many threads the process has.

#include "driver/driver.h"
#include "bank/syllables.h"
#include "wav/wav.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

namespace {

constexpr int default_samples = 1000;
constexpr int fake_rate = 22050;

char the_engine;

synth_error fake_open(synth_engine** engine)
{
    *engine = reinterpret_cast<synth_engine*>(&the_engine);
    return synth_ok;
}

std::atomic<int> opens;
thread_local char open_failure[64];

synth_error engines_open(synth_engine** engine)
{
    *engine = nullptr;
    open_failure[0] = 0;
    const int k = ++opens;
    if (const char* log = getenv("MORIVOX_FAKE_OPEN_LOG")) {
        int threads = 0;
        if (DIR* tasks = opendir("/proc/self/task")) {
            while (const dirent* e = readdir(tasks))
                threads += e->d_name[0] != '.';
            closedir(tasks);
        }
        if (FILE* f = fopen(log, "a")) {
            fprintf(f, "%d\n", threads);
            fclose(f);
        }
    }
    const char* fail_at = getenv("MORIVOX_FAKE_OPEN_FAIL");
    if (fail_at != nullptr && atoi(fail_at) == k) {
        snprintf(open_failure, sizeof open_failure, "engine %d would not open", k);
        const char* err = getenv("MORIVOX_FAKE_ERR");
        return static_cast<synth_error>(err ? atoi(err) : 777);
    }
    *engine = reinterpret_cast<synth_engine*>(&the_engine);
    return synth_ok;
}

const char* engines_failure()
{
    return open_failure[0] != 0 ? open_failure : nullptr;
}

void fake_close(synth_engine*) {}

synth_error fake_synthesize(synth_engine*, const char* text, int speed, double, double, synth_image* image)
{
    *image = synth_image{};
    if (const char* log = getenv("MORIVOX_FAKE_LOG")) {
        if (FILE* f = fopen(log, "a")) {
            fprintf(f, "%d", speed);
            for (const char* p = text; *p; ++p)
                fprintf(f, " %02X", static_cast<unsigned char>(*p));
            fprintf(f, "\n");
            fclose(f);
        }
    }
    const char* fail_at = getenv("MORIVOX_FAKE_FAIL_AT");
    if (fail_at && atoi(fail_at) >= 1 && atoi(fail_at) <= syllable_count &&
        strcmp(text, syllable_table[atoi(fail_at) - 1].sjis) == 0) {
        const char* err = getenv("MORIVOX_FAKE_ERR");
        return static_cast<synth_error>(err ? atoi(err) : 777);
    }

    unsigned hash = 2166136261u;
    for (const char* p = text; *p; ++p)
        hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    const double step = 0.01 + (hash % 100) * 0.002;

    const char* count = getenv("MORIVOX_FAKE_SAMPLES");
    const int fake_samples = count ? atoi(count) : default_samples;
    if (synth_new_image(static_cast<size_t>(fake_samples), fake_rate, image) != synth_ok)
        return synth_error_no_memory;
    uint8_t* bytes = image->bytes;
    for (int i = 0; i < fake_samples; ++i) {
        const int v = static_cast<int>(lround(20000.0 * sin(step * i)));
        bytes[wav_header_size + 2 * i] = static_cast<uint8_t>(v & 0xFF);
        bytes[wav_header_size + 2 * i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
    // A tenth of silence, a fifth of consonant, a vowel steady to nine tenths.
    const size_t n = static_cast<size_t>(fake_samples);
    image->mora_count = 1;
    image->marks[0] = {n / 10, n * 3 / 10, n * 3 / 10, n * 9 / 10, n * 3 / 10, n * 9 / 10};
    return synth_ok;
}

const char* fake_failure()
{
    return nullptr;
}

const synth_voice fake_voice = {"fake",         false,       synth_lowest_f0,     synth_highest_f0, fake_open,
                                fake_close,     fake_synthesize, synth_release_image, fake_failure};
const synth_voice engines_voice = {"engines",       true,        synth_lowest_f0,     synth_highest_f0, engines_open,
                                   fake_close,      fake_synthesize, synth_release_image, engines_failure};
const synth_voice forking_voice = {"forking",  true,   synth_lowest_f0, synth_highest_f0,    engines_open,
                                   fake_close, fake_synthesize, synth_release_image, engines_failure, true};
const synth_voice* const fake_voices[] = {&fake_voice, &engines_voice, &forking_voice, nullptr};

} // namespace

int main(int argc, char** argv)
{
    return run_morivox(argc, argv, fake_voices);
}
