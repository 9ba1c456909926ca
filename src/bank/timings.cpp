#include "bank/timings.h"

#include "isa/isa.h"
#include "synth/shaping.h"
#include "wav/wav.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr double pi = 3.14159265358979323846;
// The held vowel starts after the transition into it.
constexpr double transition_ms = shaping_transition_seconds * 1000;

// Levels that oto_listen finds, in dB against the held vowel.
constexpr double audible_db = -40;
constexpr double onset_db = -20;
constexpr double blended_db = -12;
// A consonant between two vowels dips at least this far (3 dB) for a dip
// and a release of its own to be found.
constexpr double dip_ratio = 0.5;
// The spectrum is looked at every 5 ms, through harmonics of the pitch up to
// 3 kHz (the first two formants); it has settled when it stays within
// 1.5 dB on average of the held vowel's for 60 ms, counting the harmonics
// within 30 dB of the strongest. (Checked against praat: the
// second formant is then within 5 % of its held value, a median 0.4 ms
// apart for eSpeak, 17 ms earlier for the HTS voice, whose formants glide
// on within that.)
constexpr double step_ms = 5;
constexpr double harmonics_up_to_hz = 3000;
constexpr size_t max_harmonics = 64;
constexpr double settled_db = 1.5;
constexpr size_t settled_frames = 12;  // 60 ms
constexpr double counted_db = 30;

struct image_samples {
    const uint8_t* bytes;  // little-endian 16-bit
    size_t count;
    double rate;
    double at(size_t i) const { return static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)); }
};

image_samples samples_of(const synth_image& image)
{
    const wav_format f = wav_read_format(image.bytes);
    const size_t in_image = (image.size - wav_header_size) / 2;
    return {image.bytes + wav_header_size, f.data_size / 2 < in_image ? f.data_size / 2 : in_image,
            static_cast<double>(f.sampling_rate)};
}

// Goertzel's recurrence, v = x + c s1 - s2, a harmonic a vector lane with
// the plain loop's operations in its order, several harmonics and frames
// side by side: their chains of dependent additions overlap instead of
// running one after another. Each version below does the same for every
// lane, so every instruction set gives the same levels.

// The recurrences of `groups` vectors of harmonics (coefficient[0..]) over
// `frames` frames of n samples, frame f at x[f n ..], kept in registers;
// each frame's two last states into s1[f][at + g] and s2[f][at + g].
template <typename V, size_t groups, size_t frames, size_t most>
inline __attribute__((always_inline)) void goertzel_block(const double* x, size_t n, const V* coefficient,
                                                          V (&s1)[frames][most], V (&s2)[frames][most], size_t at)
{
    V a[frames][groups], b[frames][groups], k[groups];
#pragma GCC unroll 4
    for (size_t g = 0; g < groups; ++g) {
        k[g] = coefficient[g];
#pragma GCC unroll 2
        for (size_t f = 0; f < frames; ++f)
            a[f][g] = b[f][g] = V{};
    }
    for (size_t i = 0; i < n; ++i) {
#pragma GCC unroll 2
        for (size_t f = 0; f < frames; ++f) {
            const double xi = x[f * n + i];
#pragma GCC unroll 4
            for (size_t g = 0; g < groups; ++g) {
                const V v = xi + k[g] * a[f][g] - b[f][g];
                b[f][g] = a[f][g];
                a[f][g] = v;
            }
        }
    }
#pragma GCC unroll 2
    for (size_t f = 0; f < frames; ++f) {
#pragma GCC unroll 4
        for (size_t g = 0; g < groups; ++g) {
            s1[f][at + g] = a[f][g];
            s2[f][at + g] = b[f][g];
        }
    }
}

// Frames `frames` at a time (1 or 2): the harmonics in blocks of four
// vectors of L lanes, what remains in one block of fewer.
template <typename V, size_t L, size_t frames>
inline __attribute__((always_inline)) void goertzel_frames_of(const double* x, size_t n, const double* c,
                                                              size_t count, double* db, size_t db_stride)
{
    constexpr size_t most = max_harmonics / L;
    const size_t groups = std::min(most, (count + L - 1) / L);
    V coefficient[most] = {}, s1[frames][most], s2[frames][most];
    for (size_t k = 0; k < groups * L && k < count; ++k)
        coefficient[k / L][k % L] = c[k];
    size_t g = 0;
    for (; g + 4 <= groups; g += 4)
        goertzel_block<V, 4, frames>(x, n, coefficient + g, s1, s2, g);
    switch (groups - g) {
    case 3:
        goertzel_block<V, 3, frames>(x, n, coefficient + g, s1, s2, g);
        break;
    case 2:
        goertzel_block<V, 2, frames>(x, n, coefficient + g, s1, s2, g);
        break;
    case 1:
        goertzel_block<V, 1, frames>(x, n, coefficient + g, s1, s2, g);
        break;
    default:
        break;
    }
    for (size_t f = 0; f < frames; ++f) {
        for (size_t k = 0; k < groups * L && k < count; ++k) {
            const size_t h = k / L, l = k % L;
            const double p1 = s1[f][h][l], p2 = s2[f][h][l];
            const double power = p1 * p1 + p2 * p2 - coefficient[h][l] * p1 * p2;
            db[f * db_stride + k] = 10 * std::log10(power + 1e-6);
        }
    }
}

// Every frame, two at a time.
template <typename V, size_t L>
inline __attribute__((always_inline)) void goertzel_body(const double* x, size_t n, size_t frames, const double* c,
                                                         size_t count, double* db, size_t db_stride)
{
    size_t f = 0;
    for (; f + 2 <= frames; f += 2)
        goertzel_frames_of<V, L, 2>(x + f * n, n, c, count, db + f * db_stride, db_stride);
    if (f < frames)
        goertzel_frames_of<V, L, 1>(x + f * n, n, c, count, db + f * db_stride, db_stride);
}

typedef double two_lanes __attribute__((vector_size(2 * sizeof(double))));
typedef double four_lanes __attribute__((vector_size(4 * sizeof(double))));
typedef double eight_lanes __attribute__((vector_size(8 * sizeof(double))));

void goertzel_baseline(const double* x, size_t n, size_t frames, const double* c, size_t count, double* db,
                       size_t db_stride)
{
    goertzel_body<two_lanes, 2>(x, n, frames, c, count, db, db_stride);
}

__attribute__((target("avx2"))) void goertzel_avx2(const double* x, size_t n, size_t frames, const double* c,
                                                   size_t count, double* db, size_t db_stride)
{
    goertzel_body<four_lanes, 4>(x, n, frames, c, count, db, db_stride);
}

__attribute__((target("avx512f"))) void goertzel_avx512(const double* x, size_t n, size_t frames, const double* c,
                                                       size_t count, double* db, size_t db_stride)
{
    goertzel_body<eight_lanes, 8>(x, n, frames, c, count, db, db_stride);
}

typedef void (*goertzel_kernel)(const double* x, size_t n, size_t frames, const double* c, size_t count, double* db,
                                size_t db_stride);
const goertzel_kernel goertzel_by_level[isa_levels] = {goertzel_baseline, goertzel_avx2, goertzel_avx512};

// The frame around sample `centre` through `window`, a Hann window of
// `width` samples, into frame[0..]; returns its length, less than `width`
// where the image ends.
size_t windowed_frame(const image_samples& s, size_t centre, const double* window, size_t width, double* frame)
{
    const size_t from = centre > width / 2 ? centre - width / 2 : 0;
    const size_t n = from >= s.count ? 0 : std::min(width, s.count - from);
    for (size_t i = 0; i < n; ++i)
        frame[i] = window[i] * s.at(from + i);
    return n;
}

// Where, from `from` to `to`, the harmonics settle on the held vowel's.
size_t settled_at(const image_samples& s, size_t from, size_t to, double f0)
{
    const size_t width = static_cast<size_t>(std::lround(2 * s.rate / f0));
    const size_t step = static_cast<size_t>(std::lround(step_ms * s.rate / 1000));
    const size_t count = std::min(max_harmonics, static_cast<size_t>(harmonics_up_to_hz / f0));
    if (to <= from || step == 0 || count < 1)
        return from;
    const size_t frames = (to - from) / step + 1;
    // Room for the levels of every frame, the window, worked out once, and
    // two frames.
    double* db = static_cast<double*>(malloc(sizeof(double) * (frames * max_harmonics + 3 * width)));
    if (db == nullptr)
        return from;
    double* window = db + frames * max_harmonics;
    double* frame = window + width;
    for (size_t n = 0; n < width; ++n)
        window[n] = 0.5 - 0.5 * std::cos(2 * pi * static_cast<double>(n) / static_cast<double>(width));
    double coefficients[max_harmonics];
    for (size_t k = 0; k < count; ++k)
        coefficients[k] = 2 * std::cos(2 * pi * f0 * static_cast<double>(k + 1) / s.rate);
    // The harmonics' levels in dB of frames j and, when `two`, j + 1: both
    // at once when both are whole.
    const auto levels = [&](size_t j, bool two) {
        const size_t n = windowed_frame(s, from + j * step, window, width, frame);
        const size_t next = two ? windowed_frame(s, from + (j + 1) * step, window, width, frame + width) : 0;
        if (two && n == width && next == width) {
            oto_goertzel_frames(frame, width, 2, coefficients, count, db + j * max_harmonics, max_harmonics);
            return;
        }
        oto_goertzel_levels(frame, n, coefficients, count, db + j * max_harmonics);
        if (two)
            oto_goertzel_levels(frame + width, next, coefficients, count, db + (j + 1) * max_harmonics);
    };
    // The held vowel's spectrum: each harmonic's median over the later half.
    const size_t half = frames / 2, taken = std::min<size_t>(frames - half, 1024);
    for (size_t j = half; j < frames; j += 2)
        levels(j, j + 1 < frames);
    double reference[max_harmonics], column[1024], strongest = -1e9;
    for (size_t k = 0; k < count; ++k) {
        for (size_t j = 0; j < taken; ++j)
            column[j] = db[(half + j) * max_harmonics + k];
        std::nth_element(column, column + taken / 2, column + taken);
        reference[k] = column[taken / 2];
        strongest = std::max(strongest, reference[k]);
    }
    // Settled: the first frame from which the spectrum stays close for
    // settled_frames frames (or to the end), whatever the vowel's own end
    // does later. The earlier half's frames are looked at only up to there.
    size_t settled = frames, run_from = 0;
    for (size_t j = 0; j < frames; ++j) {
        if (j < half && j % 2 == 0)
            levels(j, j + 1 < half);
        double distance = 0;
        int counted = 0;
        for (size_t k = 0; k < count; ++k) {
            if (reference[k] > strongest - counted_db) {
                distance += std::fabs(db[j * max_harmonics + k] - reference[k]);
                ++counted;
            }
        }
        if (counted > 0 && distance / counted > settled_db) {
            run_from = j + 1;
        } else if (j + 1 - run_from >= settled_frames) {
            settled = run_from;
            break;
        }
    }
    // A close run shorter than settled_frames that lasts to the end.
    if (settled == frames && run_from < frames)
        settled = run_from;
    free(db);
    return settled < frames ? from + settled * step : to;
}

} // namespace

void oto_goertzel_levels(const double* x, size_t n, const double* c, size_t count, double* db)
{
    oto_goertzel_frames(x, n, 1, c, count, db, 0);
}

void oto_goertzel_frames(const double* x, size_t n, size_t frames, const double* c, size_t count, double* db,
                         size_t db_stride)
{
    goertzel_by_level[isa_current()](x, n, frames, c, count, db, db_stride);
}

void oto_marks(const synth_image& image, int mora, oto_times* t)
{
    *t = oto_times{};
    const image_samples s = samples_of(image);
    if (s.rate <= 0 || mora < 0 || mora >= image.mora_count)
        return;
    const auto ms = [&](size_t at) { return static_cast<double>(at) * 1000 / s.rate; };
    const synth_marks& m = image.marks[mora];
    t->consonant = ms(m.consonant_start);
    t->vowel = ms(m.vowel_start);
    t->glide_end = ms(m.glide_end);
    t->steady_end = ms(m.steady_end);
    t->voiced_start = ms(m.voiced_start);
    t->voiced_end = ms(m.voiced_end);
    t->length = ms(s.count);
}

void oto_listen(const synth_image& image, double f0, oto_times* times, int count)
{
    const image_samples s = samples_of(image);
    if (s.rate <= 0 || s.count == 0 || f0 <= 0 || count < 1)
        return;
    oto_times* const t = &times[0];
    const auto at = [&](double ms) { return std::min(s.count, static_cast<size_t>(std::lround(ms * s.rate / 1000))); };
    const auto ms = [&](size_t i) { return static_cast<double>(i) * 1000 / s.rate; };
    // Levels over two pitch periods, from running sums of squares: how the
    // first mora rises from the silence before it.
    double* sums = static_cast<double*>(malloc(sizeof(double) * (s.count + 1)));
    if (sums == nullptr)
        return;
    sums[0] = 0;
    for (size_t i = 0; i < s.count; ++i)
        sums[i + 1] = sums[i] + s.at(i) * s.at(i);
    const size_t width = std::max<size_t>(1, static_cast<size_t>(std::lround(2 * s.rate / f0)));
    const size_t held_from = at(t->vowel + transition_ms), held_to = at(t->steady_end);
    const double held = held_to > held_from ? (sums[held_to] - sums[held_from]) / static_cast<double>(held_to - held_from) : 0;
    const auto first_at = [&](double db) {
        const double power = held * std::pow(10.0, db / 10);
        for (size_t i = 0; i + width <= s.count; ++i) {
            if ((sums[i + width] - sums[i]) / static_cast<double>(width) >= power)
                return ms(i + width / 2);
        }
        return t->vowel;
    };
    t->audible = first_at(audible_db);
    t->onset = first_at(onset_db);
    t->blended = first_at(blended_db);
    // Each later mora from the vowel before: where its level dips lowest
    // between its consonant's start and its held vowel, and where it has
    // risen from there half way back to that vowel's held power.
    const auto level = [&](size_t i) { return (sums[i + width] - sums[i]) / static_cast<double>(width); };
    for (int m = 1; m < count; ++m) {
        oto_times& k = times[m];
        k.dip = k.released = k.vowel;
        const size_t from = at(k.consonant), to = at(k.vowel + transition_ms), end = at(k.steady_end);
        if (from < width / 2 || to <= from || end <= to || end + width > s.count)
            continue;
        const double held_power = (sums[end] - sums[to]) / static_cast<double>(end - to);
        size_t lowest = from - width / 2;
        double lowest_level = level(lowest);
        for (size_t i = lowest; i <= to - width / 2; ++i) {
            const double l = level(i);
            if (l < lowest_level) {
                lowest = i;
                lowest_level = l;
            }
        }
        k.dip = ms(lowest + width / 2);
        size_t rise = lowest;
        if (lowest_level <= held_power * dip_ratio) {
            const double half_way = (lowest_level + held_power) / 2;
            while (rise + width / 2 < end && level(rise) < half_way)
                ++rise;
        } else {
            // A murmur that hardly dips: where its level climbs fastest, a
            // period at a time, toward the vowel.
            const size_t period = width / 2;
            double steepest = 0;
            for (size_t i = lowest; i + period <= to - width / 2; ++i) {
                const double climb = level(i + period) / std::fmax(level(i), 1e-9);
                if (climb > steepest) {
                    steepest = climb;
                    rise = i + period / 2;
                }
            }
        }
        k.released = ms(rise + width / 2);
    }
    free(sums);
    for (int m = 0; m < count; ++m)
        times[m].settled = ms(settled_at(s, at(times[m].glide_end), at(times[m].steady_end), f0));
}
