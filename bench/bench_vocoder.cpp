// The HTS voice's vocoder, per output sample at 32000 Hz: the engine's own
// against ours on every instruction-set path, on the same parameters (the
// engine's for a few syllables of both kinds). Counter "s_per_sample" is
// seconds per output sample ("175n" is 175 ns); compare paths within one run.

#include "bank/syllables.h"
#include "isa/isa.h"
#include "synth/hts_frames.h"
#include "synth/hts_labels.h"
#include "synth/hts_voice.h"
#include "vocoder/vocoder.h"

#include <HTS_engine.h>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

// The engine exports this but declares it in a private header: it frees the
// samples so that the next generation may start.
extern "C" void HTS_GStreamSet_clear(HTS_GStreamSet* gss);

namespace {

constexpr int rate = 32000;
constexpr double alpha = 0.50;

struct utterance {
    HTS_Engine engine;
    std::vector<const double*> mcep, lpf;
    std::vector<double> lf0;
    vocoder_frames frames;
    vocoder_settings settings;
};

// The engine's parameters for か, さ, が, ん and や at the voice's rate and
// all-pass constant (its own durations and pitch).
std::vector<utterance*>& utterances()
{
    static std::vector<utterance*> all = [] {
        std::vector<utterance*> v;
        for (const char* name : {"か", "さ", "が", "ん", "や"}) {
            auto* u = new utterance{};
            HTS_Engine* e = &u->engine;
            HTS_Engine_initialize(e);
            char* voices[1] = {const_cast<char*>(hts_voice_path)};
            if (HTS_Engine_load(e, voices, 1) != TRUE)
                abort();
            const size_t period = HTS_Engine_get_fperiod(e) * rate / HTS_Engine_get_sampling_frequency(e);
            HTS_Engine_set_sampling_frequency(e, rate);
            HTS_Engine_set_fperiod(e, period);
            HTS_Engine_set_alpha(e, alpha);
            mora m[max_morae];
            int count = 0;
            hts_mora_labels labels;
            if (kana_to_morae(find_syllable(name)->sjis, m, max_morae, &count) != synth_ok ||
                hts_label_mora(m[0], &labels) != synth_ok ||
                HTS_Engine_generate_state_sequence_from_strings(e, labels.line_pointers,
                                                                static_cast<size_t>(labels.line_count)) != TRUE ||
                HTS_Engine_generate_parameter_sequence(e) != TRUE)
                abort();
            const size_t frames = e->pss.total_frame;
            u->mcep.resize(frames);
            u->lpf.resize(frames);
            u->lf0.resize(frames);
            u->frames = hts_vocoder_frames(e->pss, u->mcep.data(), u->lpf.data(), u->lf0.data());
            u->settings = {rate, static_cast<int>(period), alpha, 0.0, 0, 1.0};
            v.push_back(u);
        }
        return v;
    }();
    return all;
}

void report(benchmark::State& state, int64_t samples)
{
    state.SetItemsProcessed(state.iterations() * samples);
    state.counters["s_per_sample"] = benchmark::Counter(static_cast<double>(state.iterations() * samples),
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void engine_vocoder(benchmark::State& state)
{
    int64_t samples = 0;
    for (utterance* u : utterances())
        samples += static_cast<int64_t>(vocoder_samples(u->settings, u->frames));
    for (auto _ : state) {
        for (utterance* u : utterances()) {
            if (HTS_Engine_generate_sample_sequence(&u->engine) != TRUE)
                abort();
            benchmark::DoNotOptimize(u->engine.gss.gspeech);
            HTS_GStreamSet_clear(&u->engine.gss);
        }
    }
    report(state, samples);
}

// Ours, on the path of the level in range(0); a level the processor lacks
// is reported as skipped.
void our_vocoder(benchmark::State& state)
{
    const isa_level level = static_cast<isa_level>(state.range(0));
    if (isa_limit(level) != level) {
        state.SkipWithError("not on this processor");
        isa_limit(isa_avx512);
        return;
    }
    int64_t samples = 0;
    size_t longest = 0;
    for (utterance* u : utterances()) {
        samples += static_cast<int64_t>(vocoder_samples(u->settings, u->frames));
        longest = std::max(longest, vocoder_samples(u->settings, u->frames));
    }
    std::vector<double> out(longest);
    for (auto _ : state) {
        for (utterance* u : utterances()) {
            if (vocoder_synthesize(u->settings, u->frames, out.data()) != 0)
                abort();
            benchmark::DoNotOptimize(out.data());
        }
    }
    isa_limit(isa_avx512);
    report(state, samples);
}

} // namespace

BENCHMARK(engine_vocoder)->Unit(benchmark::kMillisecond);
BENCHMARK(our_vocoder)->DenseRange(isa_baseline, isa_avx512)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
