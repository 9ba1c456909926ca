// The same buffers of the whole table resampled 22050 -> 44100 Hz by this program's stages
// and by the libraries a user would reach for. Items are output samples.

#include "bench_common.h"
#include "resample/resample.h"

#include <benchmark/benchmark.h>
#include <samplerate.h>
#include <soxr.h>

#include <vector>

namespace {

constexpr int rate = 44100;

std::vector<std::vector<int16_t>> source_buffers()
{
    std::vector<std::vector<int16_t>> v;
    for (const syllable_image& im : table_images()) {
        const int16_t* s = reinterpret_cast<const int16_t*>(im.bytes.data() + wav_header_size);
        v.emplace_back(s, s + im.samples);
    }
    return v;
}

int64_t total_output()
{
    int64_t n = 0;
    for (const syllable_image& im : table_images())
        n += static_cast<int64_t>(im.samples) * rate / espeak_sampling_rate;
    return n;
}

void morivox_resample(benchmark::State& state, int sinc_filter)
{
    for (auto _ : state) {
        for (const syllable_image& im : table_images()) {
            int size = 0;
            int16_t* out = resample_wave(im.bytes.data(), rate, &size, sinc_filter);
            benchmark::DoNotOptimize(out);
            free(out);
        }
    }
    state.SetItemsProcessed(state.iterations() * total_output());
}

void soxr_hq(benchmark::State& state)
{
    const auto buffers = source_buffers();
    std::vector<int16_t> out;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
    for (auto _ : state) {
        for (const auto& in : buffers) {
            out.resize(in.size() * 2 + 64);
            size_t done = 0;
            soxr_oneshot(espeak_sampling_rate, rate, 1, in.data(), in.size(), nullptr, out.data(), out.size(),
                         &done, &io, &q, nullptr);
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * total_output());
}

void libsamplerate_sinc_fastest(benchmark::State& state)
{
    const auto buffers = source_buffers();
    std::vector<float> in_f, out_f;
    std::vector<int16_t> out;
    for (auto _ : state) {
        for (const auto& in : buffers) {
            in_f.resize(in.size());
            out_f.resize(in.size() * 2 + 64);
            out.resize(out_f.size());
            src_short_to_float_array(in.data(), in_f.data(), static_cast<int>(in.size()));
            SRC_DATA d{};
            d.data_in = in_f.data();
            d.input_frames = static_cast<long>(in.size());
            d.data_out = out_f.data();
            d.output_frames = static_cast<long>(out_f.size());
            d.src_ratio = static_cast<double>(rate) / espeak_sampling_rate;
            src_simple(&d, SRC_SINC_FASTEST, 1);
            src_float_to_short_array(out_f.data(), out.data(), static_cast<int>(d.output_frames_gen));
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * total_output());
}

} // namespace

BENCHMARK_CAPTURE(morivox_resample, spline, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(morivox_resample, spline_and_filter, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(soxr_hq)->Unit(benchmark::kMillisecond);
BENCHMARK(libsamplerate_sinc_fastest)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
