#include "synth/shaping.h"

#include "wav/wav.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double pi = 3.14159265358979323846;
// Fewer held samples than this are measured from the vowel's start instead.
constexpr double min_held_seconds = 0.020;
// Levels are looked at in hops of 5 ms; the held level is smoothed over 5
// of them (25 ms), and over at least 2.5 pitch periods, so that the pulses
// of the voice do not show as level: evened out over 1.6 periods (25 ms at
// C2), the level of a held vowel jumps by up to 2 dB from one period to
// the next. 25 ms hold 2.5 periods down to 100 Hz.
constexpr double hop_seconds = 0.005;
constexpr size_t smooth_hops = 5;
constexpr double smooth_periods = 2.5;
// The held level is evened out by at most this factor either way.
constexpr double max_correction = 2.0;
// Below this, relative to the held level, is silence (-40 dB).
constexpr double audible = 0.01;

size_t seconds_to_samples(double seconds, int rate)
{
    return static_cast<size_t>(std::lround(seconds * rate));
}

// Takes away the mean of the pitch period around every sample. The mean of
// one period is the local DC of a voiced sound and holds none of its
// harmonics, so they pass untouched; for noise it is a gentle high-pass
// below f0. `sum` is scratch for n + 1 doubles.
void remove_dc(double* x, size_t n, double period, double* sum)
{
    sum[0] = 0;
    for (size_t i = 0; i < n; ++i)
        sum[i + 1] = sum[i] + x[i];
    // The running sum between samples, linear: sum up to position t.
    const auto sum_to = [&](double t) {
        if (t <= 0)
            return 0.0;
        if (t >= static_cast<double>(n))
            return sum[n];
        const size_t k = static_cast<size_t>(t);
        return sum[k] + (sum[k + 1] - sum[k]) * (t - static_cast<double>(k));
    };
    for (size_t i = 0; i < n; ++i) {
        const double centre = static_cast<double>(i) + 0.5;
        x[i] -= (sum_to(centre + period / 2) - sum_to(centre - period / 2)) / period;
    }
}

double sum_square(const double* x, size_t from, size_t to)
{
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += x[i] * x[i];
    return sum;
}

double mean_square(const double* x, size_t from, size_t to)
{
    return to > from ? sum_square(x, from, to) / static_cast<double>(to - from) : 0.0;
}

// The gain at every sample, linear between the centres of the hops.
void spread_gains(const double* per_hop, size_t hops, size_t hop, double* gain, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const double at = (static_cast<double>(i) + 0.5) / static_cast<double>(hop) - 0.5;
        if (at <= 0) {
            gain[i] = per_hop[0];
            continue;
        }
        const size_t k = static_cast<size_t>(at);
        if (k + 1 >= hops) {
            gain[i] = per_hop[hops - 1];
            continue;
        }
        const double t = at - static_cast<double>(k);
        gain[i] = per_hop[k] + (per_hop[k + 1] - per_hop[k]) * t;
    }
}

// A held part of the sound, [from, to), and the gain that brings its level
// to shaping_held_rms.
struct held_part {
    size_t from, to;
    double base;
};

// Per hop: inside each held part, the gain that holds it at
// shaping_held_rms, its level smoothed over `smooth` hops (odd) inside the
// part, within max_correction of the part's base; between two parts, a
// straight line from the one's last gain to the other's first; before the
// first and after the last, the gain at their nearer end. A part that
// holds no whole hop is left to its neighbours; with none that does,
// every hop takes `fallback`.
void held_gains(const double* x, size_t n, size_t hop, size_t smooth, const held_part* parts, int part_count,
                double fallback, double* per_hop, size_t hops)
{
    size_t first_hop[synth_max_morae], last_hop[synth_max_morae];  // of the parts used: [first, last)
    int used = 0;
    for (int p = 0; p < part_count; ++p) {
        const size_t first = (parts[p].from + hop - 1) / hop, last = parts[p].to / hop;  // hops wholly held
        if (first >= last)
            continue;
        const double base = parts[p].base;
        for (size_t k = first; k < last; ++k) {
            const size_t from = k >= first + smooth / 2 ? k - smooth / 2 : first;
            const size_t to = k + smooth / 2 + 1 < last ? k + smooth / 2 + 1 : last;
            const double ms = mean_square(x, from * hop, to * hop < n ? to * hop : n);
            double g = ms > 0 ? shaping_held_rms / std::sqrt(ms) : base;
            g = g > base * max_correction ? base * max_correction : g < base / max_correction ? base / max_correction : g;
            per_hop[k] = g;
        }
        first_hop[used] = first;
        last_hop[used] = last;
        ++used;
    }
    if (used == 0) {
        for (size_t k = 0; k < hops; ++k)
            per_hop[k] = fallback;
        return;
    }
    for (size_t k = 0; k < first_hop[0]; ++k)
        per_hop[k] = per_hop[first_hop[0]];
    for (int p = 0; p + 1 < used; ++p) {
        const size_t a = last_hop[p] - 1, b = first_hop[p + 1];
        for (size_t k = a + 1; k < b; ++k)
            per_hop[k] = per_hop[a] + (per_hop[b] - per_hop[a]) * static_cast<double>(k - a) / static_cast<double>(b - a);
    }
    for (size_t k = last_hop[used - 1]; k < hops; ++k)
        per_hop[k] = per_hop[last_hop[used - 1] - 1];
}

// Per hop of the gained samples: at most 1, and low enough that every
// window of `window` hops' length (two pitch periods or so, so that the
// pulses of the voice do not show as level) that lies before the last held
// part and outside every held part stays within shaping_overshoot_db of
// the held level, and that no sample passes shaping_peak. Each hop then
// takes the least of its neighbours, so that the gains spread between hop
// centres never exceed what any hop needs. `parts` are in order, none empty.
void limit_gains(const double* z, size_t n, size_t hop, size_t window, const held_part* parts, int part_count,
                 double* per_hop, size_t hops)
{
    const double ceiling = shaping_held_rms * std::pow(10.0, shaping_overshoot_db / 20.0);
    double* need = per_hop + hops;  // scratch: hops more entries
    for (size_t k = 0; k < hops; ++k) {
        const size_t from = k * hop, to = (k + 1) * hop < n ? (k + 1) * hop : n;
        double peak = 0;
        for (size_t i = from; i < to; ++i)
            peak = std::fabs(z[i]) > peak ? std::fabs(z[i]) : peak;
        need[k] = peak > shaping_peak ? shaping_peak / peak : 1.0;
    }
    // Every window, at every sample: the running sum of squares gives each
    // in one step.
    const size_t span = window * hop;
    const size_t end = part_count > 0 ? parts[part_count - 1].from : 0;
    double energy = 0;
    int p = 0;  // the first part that does not end before the window
    for (size_t i = 0; i < n && i < end; ++i) {
        energy += z[i] * z[i];
        if (i >= span)
            energy -= z[i - span] * z[i - span];
        if (i + 1 < span)
            continue;
        const size_t from = i + 1 - span;
        while (p < part_count && parts[p].to <= from)
            ++p;
        if (p < part_count && parts[p].from <= i)
            continue;  // the window reaches into a held part: its level is the part's own
        const double rms = std::sqrt(std::fmax(energy, 0.0) / static_cast<double>(span));
        for (size_t j = from / hop; j <= i / hop && rms > ceiling; ++j)
            need[j] = std::fmin(need[j], ceiling / rms);
    }
    for (size_t k = 0; k < hops; ++k) {
        double r = need[k];
        if (k > 0 && need[k - 1] < r)
            r = need[k - 1];
        if (k + 1 < hops && need[k + 1] < r)
            r = need[k + 1];
        per_hop[k] = r;
    }
}

// Shapes a syllable (one mora) or a string: see shaping.h. A syllable's
// held vowel too short to measure is measured over its whole sound. A
// string's sound starts at its first vowel at the latest, even where the
// vowel rises from silence: its onset is the first beat.
synth_error shape(double* samples, size_t count, int rate, double f0, const shaping_mora* morae, int mora_count,
                  bool string, double fade_in, synth_image* image)
{
    *image = synth_image{};
    if (count == 0 || mora_count < 1 || mora_count > synth_max_morae)
        return synth_error_engine;
    for (size_t i = 0; i < count; ++i) {
        if (!std::isfinite(samples[i]))
            return synth_error_no_voice_file;
    }
    const size_t hop = seconds_to_samples(hop_seconds, rate);
    const size_t hops = (count + hop - 1) / hop;
    double* const x = samples;
    auto* gain = static_cast<double*>(malloc(sizeof(double) * (count + 1)));
    auto* per_hop = static_cast<double*>(malloc(sizeof(double) * 2 * hops));
    if (gain == nullptr || per_hop == nullptr) {
        free(gain);
        free(per_hop);
        return synth_error_no_memory;
    }
    remove_dc(x, count, rate / f0, gain);

    // Each mora's held part: from the end of the transition into its vowel
    // (or where the voice says it is held, if later) to the end of its
    // steady part; a short vowel is taken whole.
    held_part parts[synth_max_morae];
    int part_count = 0;
    double held_sum = 0;
    size_t held_length = 0;
    for (int m = 0; m < mora_count; ++m) {
        const synth_marks& marks = morae[m].marks;
        size_t h1 = marks.steady_end < count ? marks.steady_end : count;
        size_t h0 = marks.vowel_start + seconds_to_samples(shaping_transition_seconds, rate);
        h0 = morae[m].held_start > h0 ? morae[m].held_start : h0;
        if (h0 + seconds_to_samples(min_held_seconds, rate) > h1)
            h0 = marks.vowel_start;
        if (h0 >= h1 && mora_count == 1) {
            h0 = 0;
            h1 = count;
        }
        if (h0 >= h1)
            continue;
        const double sum = sum_square(x, h0, h1);
        if (!(sum > 0)) {
            free(gain);
            free(per_hop);
            return synth_error_no_voice_file;
        }
        parts[part_count++] = {h0, h1, shaping_held_rms / std::sqrt(sum / static_cast<double>(h1 - h0))};
        held_sum += sum;
        held_length += h1 - h0;
    }
    if (part_count == 0) {
        free(gain);
        free(per_hop);
        return synth_error_no_voice_file;
    }
    const double base = shaping_held_rms / std::sqrt(held_sum / static_cast<double>(held_length));

    const double periods_hops = std::ceil(smooth_periods * rate / f0 / static_cast<double>(hop));
    const size_t smooth = periods_hops > smooth_hops ? static_cast<size_t>(periods_hops) | 1 : smooth_hops;
    held_gains(x, count, hop, smooth, parts, part_count, base, per_hop, hops);
    spread_gains(per_hop, hops, hop, gain, count);
    for (size_t i = 0; i < count; ++i)
        x[i] *= gain[i];
    const double periods = 2.0 * rate / f0 / static_cast<double>(hop);
    const size_t window = periods > 2.0 ? static_cast<size_t>(std::lround(periods)) : 2;
    limit_gains(x, count, hop, window, parts, part_count, per_hop, hops);
    spread_gains(per_hop, hops, hop, gain, count);
    for (size_t i = 0; i < count; ++i)
        x[i] *= gain[i];
    // A gain that moves leaves a little DC of its own.
    remove_dc(x, count, rate / f0, gain);
    free(gain);
    free(per_hop);

    // Where the sound is: from the first to the last sample above silence.
    const double quiet = shaping_held_rms * audible;
    size_t a = 0, b = count;
    while (a < count && std::fabs(x[a]) <= quiet)
        ++a;
    while (b > a && std::fabs(x[b - 1]) <= quiet)
        --b;
    if (a == b) {  // nothing audible: keep it whole
        a = 0;
        b = count;
    }
    if (string && morae[0].marks.glide_end < a)
        a = morae[0].marks.glide_end;
    const size_t fade = seconds_to_samples(fade_in, rate);
    // A short last vowel keeps three quarters of itself.
    size_t release = seconds_to_samples(shaping_release_seconds, rate);
    const size_t last_vowel = morae[mora_count - 1].marks.vowel_start;
    const size_t vowel_from = last_vowel > a ? last_vowel : a;
    if (b > vowel_from && release > (b - vowel_from) / 4)
        release = (b - vowel_from) / 4;
    if (release < seconds_to_samples(shaping_min_release_seconds, rate))
        release = seconds_to_samples(shaping_min_release_seconds, rate);
    for (size_t i = 0; i < fade && a + i < b; ++i)
        x[a + i] *= 0.5 - 0.5 * std::cos(pi * (static_cast<double>(i) + 0.5) / static_cast<double>(fade));
    const size_t release_from = b - a > release ? b - release : a;
    for (size_t i = release_from; i < b; ++i)
        x[i] *= 0.5 + 0.5 * std::cos(pi * (static_cast<double>(i - release_from) + 0.5) / static_cast<double>(release));

    const size_t lead = seconds_to_samples(shaping_lead_seconds, rate);
    const size_t tail = seconds_to_samples(shaping_tail_seconds, rate);
    const size_t length = lead + (b - a) + tail;
    synth_image made{};
    if (synth_new_image(length, rate, &made) != synth_ok)
        return synth_error_no_memory;
    uint8_t* out = made.bytes + wav_header_size;
    for (size_t i = 0; i < length; ++i) {
        double v = i >= lead && i < lead + (b - a) ? x[a + i - lead] : 0.0;
        v = v > 32767.0 ? 32767.0 : v < -32768.0 ? -32768.0 : v;
        const auto q = static_cast<uint16_t>(static_cast<int16_t>(std::lround(v)));
        out[2 * i] = static_cast<uint8_t>(q & 0xFF);  // little-endian
        out[2 * i + 1] = static_cast<uint8_t>(q >> 8);
    }

    // The marks move with the sound and stay inside it.
    const long long shift = static_cast<long long>(lead) - static_cast<long long>(a);
    const size_t sound_end = lead + (b - a), release_start = lead + (release_from - a);
    const auto moved = [&](size_t mark, size_t last) {
        const long long at = static_cast<long long>(mark) + shift;
        return at < static_cast<long long>(lead) ? lead : static_cast<size_t>(at) > last ? last : static_cast<size_t>(at);
    };
    *image = made;
    image->mora_count = mora_count;
    for (int k = 0; k < mora_count; ++k) {
        const synth_marks& in = morae[k].marks;
        synth_marks& m = image->marks[k];
        m.consonant_start = moved(in.consonant_start, sound_end);
        m.vowel_start = moved(in.vowel_start, sound_end);
        m.glide_end = moved(in.glide_end, sound_end);
        m.steady_end = moved(in.steady_end, k == mora_count - 1 ? release_start : sound_end);
        m.voiced_start = moved(in.voiced_start, sound_end);
        m.voiced_end = moved(in.voiced_end, sound_end);
        // In their order, whatever the voice said (eSpeak's events lag at its
        // fastest speeds).
        m.vowel_start = m.vowel_start < m.consonant_start ? m.consonant_start : m.vowel_start;
        m.glide_end = m.glide_end < m.vowel_start ? m.vowel_start : m.glide_end;
        m.steady_end = m.steady_end < m.glide_end ? m.glide_end : m.steady_end;
        m.voiced_start = m.voiced_start > m.voiced_end ? m.voiced_end : m.voiced_start;
    }
    return synth_ok;
}

} // namespace

synth_error shape_syllable(double* samples, size_t count, int rate, double f0, const synth_marks& marks,
                           double fade_in, synth_image* image)
{
    const shaping_mora one = {marks, marks.vowel_start};
    return shape(samples, count, rate, f0, &one, 1, false, fade_in, image);
}

synth_error shape_string(double* samples, size_t count, int rate, double f0, const shaping_mora* morae,
                         int mora_count, double fade_in, synth_image* image)
{
    return shape(samples, count, rate, f0, morae, mora_count, true, fade_in, image);
}
