// Cost of each stage of a run, per syllable and for the whole table.
// Counters: "s_per_sample" is per output sample at 44100 Hz.

#include "bench_common.h"
#include "isa/isa.h"
#include "resample/resample.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr int rate = 44100;

// Output samples per second, and seconds per output sample (printed with an
// SI prefix: "14n" is 14 ns).
void report(benchmark::State& state, int64_t output_samples)
{
    state.SetItemsProcessed(state.iterations() * output_samples);
    state.counters["s_per_sample"] = benchmark::Counter(
        static_cast<double>(state.iterations() * output_samples),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

int64_t output_samples(const syllable_image& im)
{
    return static_cast<int64_t>(im.samples) * rate / espeak_sampling_rate;
}

// The spline stage's buffers for `set`, and their total sample count.
std::vector<std::vector<int16_t>> spline_outputs(const std::vector<const syllable_image*>& set, int64_t* samples)
{
    std::vector<std::vector<int16_t>> buffers;
    *samples = 0;
    for (const syllable_image* im : set) {
        int size = 0;
        int16_t* out = resample_wave(im->bytes.data(), rate, &size, 0);
        buffers.emplace_back(out, out + size / 2);
        *samples += size / 2;
        free(out);
    }
    return buffers;
}

void synthesize(const syllable& entry)
{
    synth_image im{};
    espeak_voice.synthesize(bench_engine(), entry.sjis, syllable_speed(entry, default_settings.speed), synth_steady_f0, 0.0,
                            &im);
    benchmark::DoNotOptimize(im.bytes);
    espeak_voice.free_image(&im);
}

void synth_one(benchmark::State& state)
{
    const syllable& ka = *find_syllable("か");
    for (auto _ : state)
        synthesize(ka);
}

void synth_table(benchmark::State& state)
{
    for (auto _ : state) {
        for (const syllable* s = syllable_table; s->sjis != nullptr; ++s)
            synthesize(*s);
    }
}

void spline(benchmark::State& state, const std::vector<const syllable_image*>& set)
{
    int64_t samples = 0;
    for (const syllable_image* im : set)
        samples += output_samples(*im);
    for (auto _ : state) {
        for (const syllable_image* im : set) {
            int size = 0;
            int16_t* out = resample_wave(im->bytes.data(), rate, &size, 0);
            benchmark::DoNotOptimize(out);
            free(out);
        }
    }
    report(state, samples);
}

void filter(benchmark::State& state, const std::vector<const syllable_image*>& set)
{
    int64_t samples = 0;
    const std::vector<std::vector<int16_t>> inputs = spline_outputs(set, &samples);
    for (auto _ : state) {
        for (const std::vector<int16_t>& in : inputs) {
            int16_t* out = apply_sinc_filter(in.data(), static_cast<int>(in.size()), espeak_sampling_rate, rate);
            benchmark::DoNotOptimize(out);
            free(out);
        }
    }
    report(state, samples);
}

void write(benchmark::State& state, const std::vector<const syllable_image*>& set)
{
    char dir[] = "/tmp/morivox-bench-XXXXXX";
    if (!mkdtemp(dir))
        abort();
    int64_t samples = 0;
    const std::vector<std::vector<int16_t>> buffers = spline_outputs(set, &samples);
    const std::string name = std::string(dir) + "/b.wav";
    for (auto _ : state) {
        for (const std::vector<int16_t>& b : buffers)
            write_wav_file(name.c_str(), b.data(), static_cast<int>(b.size() * 2), 16, 1, rate);
    }
    unlink(name.c_str());
    rmdir(dir);
    report(state, samples);
}

std::vector<const syllable_image*> all()
{
    std::vector<const syllable_image*> v;
    for (const syllable_image& im : table_images())
        v.push_back(&im);
    return v;
}

// The same stages on every instruction-set path the processor has, side by
// side, so that a slow path shows. A level it lacks is reported as skipped.
template <void (*stage)(benchmark::State&, const std::vector<const syllable_image*>&)>
void at_level(benchmark::State& state)
{
    const isa_level level = static_cast<isa_level>(state.range(0));
    if (isa_limit(level) != level) {
        state.SkipWithError("not on this processor");
        isa_limit(isa_avx512);
        return;
    }
    stage(state, all());
    isa_limit(isa_avx512);
}

void spline_at_level(benchmark::State& state)
{
    at_level<spline>(state);
}

void filter_at_level(benchmark::State& state)
{
    at_level<filter>(state);
}

std::vector<const syllable_image*> one()
{
    return {&typical_image()};
}


} // namespace

BENCHMARK(synth_one)->Unit(benchmark::kMicrosecond);
BENCHMARK(synth_table)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(spline, one, one())->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(spline, table, all())->Unit(benchmark::kMillisecond);
BENCHMARK(spline_at_level)->DenseRange(isa_baseline, isa_avx512)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, one, one())->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(filter, table, all())->Unit(benchmark::kMillisecond);
BENCHMARK(filter_at_level)->DenseRange(isa_baseline, isa_avx512)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(write, one, one())->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(write, table, all())->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
