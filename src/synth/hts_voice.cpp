// The HTS voice. Our own labels, durations, pitch and voicing go between
// the engine's steps, state sequence and parameter sequence; our vocoder
// (vocoder/vocoder.h) makes the samples, as the engine's would.

#include "synth/hts_voice.h"

#include "synth/hts_frames.h"
#include "synth/hts_labels.h"
#include "synth/shaping.h"
#include "synth/voice_data.h"
#include "vocoder/vocoder.h"

#include <HTS_engine.h>

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

const char* const hts_voice_path = MORIVOX_HTS_VOICE;

namespace {

// Silence before and after the syllable.
constexpr double silence_seconds = 0.050;
// The vowel's middle state lasts at least this at speed 70, longer when slower.
constexpr double held_seconds_at_70 = 0.300;
// The parameters are smoothed across states: the level turns toward the
// fade this long before the held state ends.
constexpr double fade_lead_seconds = 0.015;
// A string's vowels are held at least this long between the transitions
// into and out of them, so that a sampler has 150 ms to stretch however
// the consonants around them fall; a beat too short for it is refused.
constexpr double string_held_seconds = 0.150;


// The voice is trained at 48000 Hz; its vocoder costs in proportion to the
// rate, and above 16 kHz its output holds nothing within 40 dB of its level.
// It runs at 32000 Hz, with each frame's mel-cepstrum and excitation filter
// refitted by a frequency warping to that rate and to the all-pass constant
// that gives 32000 Hz its mel-like axis.
constexpr int engine_rate = 32000;
constexpr double engine_alpha = 0.50;
// The vocoder places its pulses on whole samples: at a period of P samples
// they come floor(P) or ceil(P) apart, so some periods are a sample longer
// than the others. From a period of 173 samples on (185 Hz at 32000 Hz)
// that is under 10 cents (A2's 290.9: 5.4 cents), but at C5's 61.2 it is
// 24, and praat's F0 over 10 ms of the held vowel strays up to 21 cents
// from the note (B4). Below 173 samples the period is made whole and the
// image declared at the rate that plays it at the note: the strays stay
// within 8 cents, formants and timing move by at most 0.56 % (F#4: 86
// samples, played at 31820 Hz).
constexpr double whole_period_below = 173.0;
// Points of the frequency axis the refits are fitted over.
constexpr int warp_grid = 4096;
constexpr int max_order = 64;
constexpr double pi = 3.14159265358979323846;

// The frequency (radians) that `w` becomes on the axis warped by `alpha`.
double warp_frequency(double w, double alpha)
{
    return std::atan2((1.0 - alpha * alpha) * std::sin(w), (1.0 + alpha * alpha) * std::cos(w) - 2.0 * alpha);
}

// The matrix that takes a mel-cepstrum of `order1` coefficients at
// (src_rate, src_alpha) to the one at (dst_rate, dst_alpha) describing the
// same log spectrum from 0 to dst_rate / 2: a least-squares fit on a grid
// uniform on the target's warped axis, where the cosines are orthogonal.
void build_cepstrum_map(int order1, double src_rate, double src_alpha, double dst_rate, double dst_alpha,
                        double* map)
{
    double to[max_order], from[max_order];
    memset(map, 0, sizeof(double) * static_cast<size_t>(order1 * order1));
    for (int g = 0; g < warp_grid; ++g) {
        const double beta_dst = pi * (g + 0.5) / warp_grid;
        const double w = warp_frequency(beta_dst, -dst_alpha) * dst_rate / src_rate;
        const double beta_src = warp_frequency(w, src_alpha);
        for (int i = 0; i < order1; ++i) {
            to[i] = (i == 0 ? 1.0 : 2.0) / warp_grid * std::cos(i * beta_dst);
            from[i] = std::cos(i * beta_src);
        }
        for (int i = 0; i < order1; ++i) {
            for (int j = 0; j < order1; ++j)
                map[i * order1 + j] += to[i] * from[j];
        }
    }
}

// The same for the symmetric excitation filter, H(w) = h0 + 2 sum h_k cos(k w),
// on a linear axis.
void build_filter_map(int half, double src_rate, double dst_rate, double* map)
{
    double to[max_order], from[max_order];
    memset(map, 0, sizeof(double) * static_cast<size_t>(half * half));
    for (int g = 0; g < warp_grid; ++g) {
        const double w_dst = pi * (g + 0.5) / warp_grid;
        const double w_src = w_dst * dst_rate / src_rate;
        for (int i = 0; i < half; ++i) {
            to[i] = std::cos(i * w_dst) / warp_grid;
            from[i] = (i == 0 ? 1.0 : 2.0) * std::cos(i * w_src);
        }
        for (int i = 0; i < half; ++i) {
            for (int j = 0; j < half; ++j)
                map[i * half + j] += to[i] * from[j];
        }
    }
}

struct hts_state {
    HTS_Engine engine;
    bool abandoned;  // memory ran out inside the engine: its state is unknown
    int rate;        // samples per second
    size_t fperiod;  // samples per frame
    int order1;      // mel-cepstrum coefficients per frame
    int half;        // distinct taps of the symmetric excitation filter
    double cepstrum_map[max_order * max_order];
    double filter_map[max_order * max_order];
    double gain;     // added to c0: less power per hertz at fewer samples per second
    vocoder_settings vocoder;
    char phrase_lines[hts_max_phrase_phonemes + 2][hts_label_room];  // a string's labels
};

// The two refits below write a frame in place and are kept opaque to GCC's
// interprocedural analysis (noipa): GCC 12.2 at -O2, once refit_filter is
// not inlined (as here without the attribute, beside the strings' code),
// deletes its calls in the synthesis as if they had no effect (its dead
// code elimination, misled by what ipa-modref and ipa-pure-const say of it
// beside the setjmp in hts_synthesize), and the excitation filter goes out
// at the voice's rate: the recordings' bytes change. Opaque, each is a
// plain call and gives the bytes it gave inlined. The pinned recordings and
// the pinned HTS string (Strings.AnHtsStringIsPinned) show such a deletion.

// noipa is GCC's; clang (the fuzzing build) has no such analysis to keep
// out, and a call that is not inlined stands in for it there.
#if defined(__clang__)
#define MORIVOX_OPAQUE_TO_IPA __attribute__((noinline))
#else
#define MORIVOX_OPAQUE_TO_IPA __attribute__((noipa))
#endif

// Refits one frame's mel-cepstrum to the engine's rate.
MORIVOX_OPAQUE_TO_IPA void refit_cepstrum(const hts_state& s, double* c)
{
    double in[max_order];
    memcpy(in, c, sizeof(double) * static_cast<size_t>(s.order1));
    for (int i = 0; i < s.order1; ++i) {
        double sum = 0.0;
        for (int j = 0; j < s.order1; ++j)
            sum += s.cepstrum_map[i * s.order1 + j] * in[j];
        c[i] = sum;
    }
    c[0] += s.gain;
}

// Refits one frame's excitation filter, which is symmetric about its centre.
MORIVOX_OPAQUE_TO_IPA void refit_filter(const hts_state& s, double* h)
{
    const int centre = s.half - 1;
    double in[max_order];
    for (int k = 0; k < s.half; ++k)
        in[k] = k == 0 ? h[centre] : 0.5 * (h[centre + k] + h[centre - k]);
    for (int i = 0; i < s.half; ++i) {
        double sum = 0.0;
        for (int j = 0; j < s.half; ++j)
            sum += s.filter_map[i * s.half + j] * in[j];
        h[centre + i] = sum;
        h[centre - i] = sum;
    }
}

hts_state* state_of(synth_engine* e)
{
    return reinterpret_cast<hts_state*>(e);
}

// What made the last open fail, for the console.
thread_local char failure[512];

__attribute__((format(printf, 2, 3))) synth_error fail(synth_error code, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(failure, sizeof failure, format, args);
    va_end(args);
    return code;
}

// The engine cannot fail an allocation: its HTS_calloc hands back what
// calloc gave, null included, and every caller uses the memory at once
// (Debian's build turns its malloc and memset into calloc and drops the
// null check that came after). The definition below takes the library's
// place, as create_audio_device_object does eSpeak's: when calloc fails it
// returns to the call into the engine that asked, through the jump armed
// around the calls in hts_open and hts_synthesize, which then reports
// synth_error_no_memory; that engine's state is unknown from then on, and
// it is abandoned. A check of free memory before each call could only
// guess what the engine and the other threads take meanwhile. The frames
// jumped over hold nothing to destroy: the engine's C, and render().
thread_local jmp_buf* out_of_memory = nullptr;

// Whether the voice file was found whole, once for the process. The
// workers open their engines side by side, so the first one checks while
// the others wait for its answer.
std::mutex voice_file_lock;
bool voice_file_checked = false;

// The engine reads the file's header lines into a fixed buffer and its
// parts wherever the header puts them: it is checked before the first open.
synth_error check_voice_file()
{
    std::lock_guard<std::mutex> hold(voice_file_lock);
    if (voice_file_checked)
        return synth_ok;
    char why[400];
    if (hts_voice_file_check(hts_voice_path, why, sizeof why) != 0) {
        if (errno == ENOMEM)
            return synth_error_no_memory;
        if (errno == EMFILE || errno == ENFILE)
            return synth_error_no_files;
        return fail(synth_error_no_voice_file, "%s; %s the package %s", why,
                    errno == EINVAL ? "reinstall" : "install", hts_voice_package);
    }
    voice_file_checked = true;
    return synth_ok;
}

synth_error hts_open(synth_engine** out)
{
    *out = nullptr;
    failure[0] = 0;
    if (const synth_error checked = check_voice_file(); checked != synth_ok)
        return checked;

    auto* s = static_cast<hts_state*>(calloc(1, sizeof(hts_state)));
    if (s == nullptr)
        return synth_error_no_memory;
    char* voices[1] = {const_cast<char*>(hts_voice_path)};
    HTS_Engine* e = &s->engine;
    jmp_buf guard;
    if (setjmp(guard) != 0) {
        out_of_memory = nullptr;
        return synth_error_no_memory;  // s and what the engine holds are lost
    }
    out_of_memory = &guard;
    HTS_Engine_initialize(e);
    const HTS_Boolean loaded = HTS_Engine_load(e, voices, 1);
    out_of_memory = nullptr;
    // Pitch and voicing are set through stream 1, the voiced/unvoiced log F0.
    if (loaded != TRUE || HTS_Engine_get_nstream(e) < 2 || HTS_Engine_get_nstate(e) < 3 ||
        !e->ms.stream[0][1].is_msd) {
        HTS_Engine_clear(e);
        free(s);
        return fail(synth_error_engine, "the HTS engine cannot use %s", hts_voice_path);
    }
    const double voice_rate = static_cast<double>(HTS_Engine_get_sampling_frequency(e));
    s->order1 = static_cast<int>(e->ms.stream[0][0].vector_length);
    s->half = HTS_Engine_get_nstream(e) >= 3 ? (static_cast<int>(e->ms.stream[0][2].vector_length) + 1) / 2 : 0;
    // The refit is for mel-cepstra (gamma 0), which this voice has.
    if (e->condition.stage != 0 || s->order1 > max_order || s->half > max_order || voice_rate < engine_rate) {
        HTS_Engine_clear(e);
        free(s);
        return fail(synth_error_engine, "%s: not a mel-cepstral voice of %d Hz or more", hts_voice_path, engine_rate);
    }
    build_cepstrum_map(s->order1, voice_rate, HTS_Engine_get_alpha(e), engine_rate, engine_alpha, s->cepstrum_map);
    if (s->half > 0)
        build_filter_map(s->half, voice_rate, engine_rate, s->filter_map);
    s->gain = 0.5 * std::log(engine_rate / voice_rate);
    s->rate = engine_rate;
    s->fperiod = static_cast<size_t>(std::lround(static_cast<double>(HTS_Engine_get_fperiod(e)) * engine_rate / voice_rate));
    HTS_Engine_set_sampling_frequency(e, static_cast<size_t>(engine_rate));
    HTS_Engine_set_fperiod(e, s->fperiod);
    HTS_Engine_set_alpha(e, engine_alpha);
    s->vocoder = {engine_rate, static_cast<int>(s->fperiod), engine_alpha, HTS_Engine_get_beta(e),
                  static_cast<int>(e->condition.stage), e->condition.volume};
    const int lpf_taps = HTS_Engine_get_nstream(e) == 3 ? static_cast<int>(e->ms.stream[0][2].vector_length) : 0;
    if (const char* refusal = vocoder_refusal(s->vocoder, s->order1 - 1, lpf_taps)) {
        HTS_Engine_clear(e);
        free(s);
        return fail(synth_error_engine, "%s: the vocoder does not take %s", hts_voice_path, refusal);
    }
    *out = reinterpret_cast<synth_engine*>(s);
    return synth_ok;
}

void hts_close(synth_engine* engine)
{
    hts_state* s = state_of(engine);
    if (s == nullptr || s->abandoned)
        return;  // an abandoned engine's state cannot be cleared safely
    HTS_Engine_clear(&s->engine);
    free(s);
}

// The frames of a rest (silence_seconds), and state k's share of them.
size_t silence_frames(const hts_state& s)
{
    return static_cast<size_t>(std::lround(silence_seconds * s.rate / static_cast<double>(s.fperiod)));
}

size_t state_share(size_t frames, size_t k, size_t states)
{
    return frames * (k + 1) / states - frames * k / states;
}

// Frames that last at least `seconds`.
size_t frames_at_least(double seconds, const hts_state& s)
{
    const size_t n = static_cast<size_t>(std::ceil(seconds * s.rate / static_cast<double>(s.fperiod) - 1e-9));
    return n < 1 ? 1 : n;
}

// A GV weight of 0 still pulls every frame to the mean (and the consonant
// vanishes): switch global variance off per state instead.
void global_variance_off(HTS_SStreamSet* sss)
{
    for (size_t i = 0; i < sss->nstream; ++i) {
        if (sss->sstream[i].gv_switch) {
            for (size_t st = 0; st < sss->total_state; ++st)
                sss->sstream[i].gv_switch[st] = FALSE;
        }
    }
}

// The voice opens every phrase with 15 to 30 ms of breath, even before a
// vowel or a voiced consonant: the formants ring on noise just before the
// first pulses, and the pitch of the first periods wanders. A first
// phoneme voiced from its second state on starts voiced. (The voicing
// weights exist: the caller checked.)
void voice_first_phoneme(hts_state& s)
{
    double* msd = s.engine.sss.sstream[1].msd;
    const size_t states = s.engine.sss.nstate;
    if (msd[states + 1] > HTS_Engine_get_msd_threshold(&s.engine, 1))
        msd[states] = 1.0;
}

// The pitch the vocoder makes, and the rate and pitch the image plays at.
struct pitch_plan {
    double made_f0, played_f0;
    int image_rate;
};

pitch_plan plan_pitch(const hts_state& s, double f0)
{
    pitch_plan p = {f0, f0, s.rate};
    if (s.rate / f0 < whole_period_below) {
        const double period = std::round(s.rate / f0);
        p.made_f0 = s.rate / period;
        p.image_rate = static_cast<int>(std::lround(f0 * period));
        p.played_f0 = p.image_rate / period;
    }
    return p;
}

// After the engine's parameter sequence: every voiced frame at `made_f0`,
// the frames refitted to the engine's rate, and our vocoder's samples of
// them into *block (malloc'd; the samples first, *count of them).
synth_error make_speech(hts_state& s, double made_f0, void** block, size_t* count)
{
    *block = nullptr;
    *count = 0;
    // The log-F0 rows hold the voiced frames only.
    HTS_PStreamSet* pss = &s.engine.pss;
    HTS_PStream* lf0 = &pss->pstream[1];
    for (size_t t = 0; t < lf0->length; ++t)
        lf0->par[t][0] = std::log(made_f0);
    for (size_t t = 0; t < pss->pstream[0].length; ++t)
        refit_cepstrum(s, pss->pstream[0].par[t]);
    if (pss->nstream >= 3 && s.half > 0) {
        for (size_t t = 0; t < pss->pstream[2].length; ++t)
            refit_filter(s, pss->pstream[2].par[t]);
    }
    const size_t frames = pss->total_frame;
    const size_t n = frames * s.fperiod;
    void* made = malloc(sizeof(double) * (n + frames) + sizeof(const double*) * 2 * frames);
    if (made == nullptr)
        return synth_error_no_memory;
    double* speech = static_cast<double*>(made);
    double* lf0_frames = speech + n;
    const double** mcep_rows = reinterpret_cast<const double**>(lf0_frames + frames);
    const double** lpf_rows = mcep_rows + frames;
    const vocoder_frames params = hts_vocoder_frames(*pss, mcep_rows, lpf_rows, lf0_frames);
    if (vocoder_synthesize(s.vocoder, params, speech) != 0) {
        free(made);
        return synth_error_engine;
    }
    *block = made;
    *count = n;
    return synth_ok;
}

// The parameters are smoothed across states: a vowel's steady part ends
// fade_lead_seconds before its held state does, unless that is most of it.
void end_before_fade(const hts_state& s, synth_marks* marks)
{
    const size_t fade_lead = frames_at_least(fade_lead_seconds, s) * s.fperiod;
    marks->steady_end -= marks->steady_end - marks->vowel_start > 2 * fade_lead ? fade_lead : 0;
}

// What the voice says when its samples are not sound (see shape_syllable).
synth_error damaged(synth_error shaped)
{
    if (shaped == synth_error_no_voice_file)
        return fail(synth_error_no_voice_file,
                    "%s: its synthesis gave samples that are not numbers, or silence; reinstall the package %s",
                    hts_voice_path, hts_voice_package);
    return shaped;
}


// Sets the state durations. The consonant keeps the voice's own length at
// speeds up to 100 (drawn out, its transitions are slow, a flap or a glide
// sounds like a syllable of its own) and is shortened by 100/speed above;
// the first phoneme by half that when asked. The vowel's states go by
// 100/speed, its middle state held at least held_seconds_at_70 x 70/speed;
// silences last silence_seconds. The engine's own speed control would mostly
// shorten the silences. A long vowel's first label (`link`, or -1) gets no
// frames: it is there for the context it gives the held one, and sounded it
// keeps the consonant's colour (F2 near 1950 Hz after a palatal, even at one
// frame a state). Stores in *marks the samples where the consonant and the
// vowel start and the held state ends.
void set_durations(hts_state& s, int lines, bool first_half, int link, int speed, synth_marks* marks)
{
    HTS_SStreamSet* sss = &s.engine.sss;
    const size_t states = sss->nstate;
    const size_t held = states / 2;
    const int vowel = lines - 2;
    const int vowel_first = link >= 0 ? link : vowel;
    const size_t silence = silence_frames(s);
    const size_t held_min = frames_at_least(held_seconds_at_70 * 70.0 / speed, s);
    size_t total = 0;
    for (int label = 0; label < lines; ++label) {
        double scale = 100.0 / speed;
        if (label < vowel_first && scale > 1.0)
            scale = 1.0;
        if (label == 1 && first_half)
            scale *= 0.5;
        for (size_t k = 0; k < states; ++k) {
            const size_t st = static_cast<size_t>(label) * states + k;
            size_t d;
            if (label == 0 || label == lines - 1) {
                d = state_share(silence, k, states);
            } else if (label == link) {
                d = 0;
            } else {
                const long r = std::lround(static_cast<double>(sss->duration[st]) * scale);
                d = r < 1 ? 1 : static_cast<size_t>(r);
                if (label == vowel && k == held && d < held_min)
                    d = held_min;
            }
            if (k == 0 && label == 1)
                marks->consonant_start = total * s.fperiod;
            if (k == 0 && label == vowel_first)
                marks->vowel_start = marks->glide_end = total * s.fperiod;
            sss->duration[st] = d;
            total += d;
            if (k == held && label == vowel)
                marks->steady_end = total * s.fperiod;
        }
    }
    sss->total_frame = total;
    global_variance_off(sss);
    double* msd = sss->sstream[1].msd;
    if (msd != nullptr) {
        voice_first_phoneme(s);
        // The voice ends phrase-final vowels unvoiced: voice it from its held state on.
        for (size_t k = held; k < states; ++k)
            msd[static_cast<size_t>(vowel) * states + k] = 1.0;
    }
}

// Renders one syllable (`labels` made from it) into a WAV image.
synth_error render(hts_state& s, const mora& m, hts_mora_labels& labels, int speed, double f0, synth_image* image)
{
    const char* const* phonemes = labels.phonemes;
    const int count = labels.phoneme_count;
    const bool first_half = labels.first_half;
    const int line_count = labels.line_count;
    HTS_Engine* e = &s.engine;
    if (HTS_Engine_generate_state_sequence_from_strings(e, labels.line_pointers, static_cast<size_t>(line_count)) !=
        TRUE) {
        HTS_Engine_refresh(e);
        return synth_error_engine;
    }
    synth_marks marks{};
    // A long vowel (u u): the first label only gives the held one its context.
    const bool long_vowel = count >= 2 && strcmp(phonemes[count - 2], phonemes[count - 1]) == 0;
    set_durations(s, line_count, first_half, long_vowel ? line_count - 3 : -1, speed, &marks);
    if (HTS_Engine_generate_parameter_sequence(e) != TRUE) {
        HTS_Engine_refresh(e);
        return synth_error_engine;
    }
    const pitch_plan pitch = plan_pitch(s, f0);
    void* block = nullptr;
    size_t n = 0;
    if (const synth_error made = make_speech(s, pitch.made_f0, &block, &n); made != synth_ok) {
        HTS_Engine_refresh(e);
        return made;
    }
    // Voicing: where the voice voices, and after an unvoiced onset where it
    // starts (the voice lets h and f turn voiced before the vowel's label).
    const HTS_PStream* lf0 = &e->pss.pstream[1];
    if (lf0->msd_flag != nullptr) {
        const size_t frames = e->pss.total_frame;
        size_t first = 0, last = 0;
        while (first < frames && !lf0->msd_flag[first])
            ++first;
        for (size_t t = first; t < frames; ++t)
            last = lf0->msd_flag[t] ? t + 1 : last;
        marks.voiced_start = first * s.fperiod;
        marks.voiced_end = last * s.fperiod;
        if (onset_voiceless(m) && marks.voiced_start > marks.consonant_start && marks.voiced_start < marks.vowel_start)
            marks.vowel_start = marks.voiced_start;
    }
    end_before_fade(s, &marks);
    const double fade_in = shaping_fade_in(m);
    const synth_error shaped =
        shape_syllable(static_cast<double*>(block), n, pitch.image_rate, pitch.played_f0, marks, fade_in, image);
    free(block);
    HTS_Engine_refresh(e);
    return damaged(shaped);
}

// What a phoneme of a string is to its timing: a consonant keeps the
// voice's length for it, a vowel (or ん) fills its beat, and the first u of
// the last mora's long u gives the held one its context in no frames (as
// in set_durations).
enum phoneme_role { role_consonant, role_vowel, role_link };

struct string_phoneme {
    const char* name;
    int mora;
    phoneme_role role;
    double scale;  // of the voice's length: the nasal g's murmur is held half
};

// The phonemes of a string of morae into ph[0..*count-1]. Inside a string
// a u is short: only a phrase-final u fronts toward [i] (hts_phonemes).
synth_error string_phonemes(const mora* morae, int mora_count, string_phoneme* ph, int* count)
{
    *count = 0;
    for (int m = 0; m < mora_count; ++m) {
        const char* p[hts_max_phonemes];
        int c = 0;
        bool half = false;
        if (hts_phonemes(morae[m], p, &c, &half) != synth_ok)
            return synth_error_bad_text;
        const bool long_u = morae[m].vowel == 'u';
        const bool last = m == mora_count - 1;
        if (long_u && !last)
            --c;
        for (int i = 0; i < c; ++i) {
            const phoneme_role role = i == c - 1 ? role_vowel : long_u && last && i == c - 2 ? role_link : role_consonant;
            ph[(*count)++] = {p[i], m, role, i == 0 && half ? 0.5 : 1.0};
        }
    }
    return synth_ok;
}

// Sets a string's state durations: the rest (silence_seconds), then mora
// by mora its consonant at the voice's own length (speed 100), ending on
// the mora's beat, the first beat right after the first consonant and
// each next one `beat_frames` later (rounded to whole frames where it
// falls: no error adds up); each vowel from its beat to the next
// consonant, its states into and out of the held one at the voice's
// length and the held one taking the rest; the last vowel held as the CV
// set holds its vowel at speed 70, then the rest again. Stores each mora's
// consonant and vowel starts and its held state in marks and held. Returns
// false when a vowel would be held less than string_held_seconds.
bool set_string_durations(hts_state& s, const string_phoneme* ph, int count, int mora_count, double beat_frames,
                          shaping_mora* marks)
{
    HTS_SStreamSet* sss = &s.engine.sss;
    const size_t states = sss->nstate;
    const size_t held = states / 2;
    const auto model = [&](int label, size_t k, double scale) {
        const long r = std::lround(static_cast<double>(sss->duration[static_cast<size_t>(label) * states + k]) * scale);
        return static_cast<size_t>(r < 1 ? 1 : r);
    };
    size_t consonant[synth_max_morae] = {};
    for (int i = 0; i < count; ++i) {
        if (ph[i].role == role_consonant) {
            for (size_t k = 0; k < states; ++k)
                consonant[ph[i].mora] += model(i + 1, k, ph[i].scale);
        }
    }
    const size_t rest = silence_frames(s);
    const auto beat_at = [&](int m) {
        return rest + consonant[0] + static_cast<size_t>(std::lround(m * beat_frames));
    };
    const size_t held_min = frames_at_least(string_held_seconds, s);
    const size_t last_held_min = frames_at_least(held_seconds_at_70, s);
    size_t total = 0;
    const auto set = [&](int label, size_t k, size_t d) {
        sss->duration[static_cast<size_t>(label) * states + k] = d;
        total += d;
    };
    for (size_t k = 0; k < states; ++k)
        set(0, k, state_share(rest, k, states));
    for (int i = 0; i < count; ++i) {
        const int label = i + 1, m = ph[i].mora;
        synth_marks& at = marks[m].marks;
        if (ph[i].role == role_link) {
            for (size_t k = 0; k < states; ++k)
                set(label, k, 0);
        } else if (ph[i].role == role_consonant) {
            if (total + consonant[m] == beat_at(m))
                at.consonant_start = total * s.fperiod;  // its first consonant
            for (size_t k = 0; k < states; ++k)
                set(label, k, model(label, k, ph[i].scale));
        } else {
            // The vowel, from its beat to the next consonant.
            if (consonant[m] == 0)
                at.consonant_start = total * s.fperiod;
            at.vowel_start = at.glide_end = total * s.fperiod;
            size_t around = 0;
            for (size_t k = 0; k < states; ++k)
                around += k == held ? 0 : model(label, k, 1.0);
            const bool last = m == mora_count - 1;
            const size_t end = last ? 0 : beat_at(m + 1) - consonant[m + 1];
            if (!last && end < total + around + held_min)
                return false;
            const size_t held_frames = last ? std::max(model(label, held, 1.0), last_held_min) : end - total - around;
            for (size_t k = 0; k < states; ++k) {
                if (k == held)
                    marks[m].held_start = total * s.fperiod;
                set(label, k, k == held ? held_frames : model(label, k, 1.0));
                if (k == held)
                    at.steady_end = total * s.fperiod;
            }
        }
    }
    for (size_t k = 0; k < states; ++k)
        set(count + 1, k, state_share(rest, k, states));
    sss->total_frame = total;
    return true;
}

// Voicing in a string: every vowel and ん in every state, and a sonorant
// onset (a nasal, the flap, a glide, the nasal g's murmur) through, as a
// singer voices them; the voice itself devoices i and u between voiceless
// consonants and lets a vowel's edges go unvoiced.
void voice_string(hts_state& s, const string_phoneme* ph, int count, const mora* morae)
{
    double* msd = s.engine.sss.sstream[1].msd;
    const size_t states = s.engine.sss.nstate;
    voice_first_phoneme(s);
    for (int i = 0; i < count; ++i) {
        if (ph[i].role == role_consonant && !onset_sonorant(morae[ph[i].mora]))
            continue;
        for (size_t k = 0; k < states; ++k)
            msd[static_cast<size_t>(i + 1) * states + k] = 1.0;
    }
}

// Where each mora voices (frames flags[0..frames-1]): the voiced run that
// holds its vowel's first frame, within the mora (from its consonant to
// the next one's); after an unvoiced onset that starts before the vowel's
// label (h, f), the vowel starts there.
void mark_string_voicing(const hts_state& s, const HTS_Boolean* flags, size_t frames, const mora* morae, int mora_count,
                         shaping_mora* marks)
{
    for (int m = 0; m < mora_count; ++m) {
        synth_marks& at = marks[m].marks;
        const size_t from = at.consonant_start / s.fperiod, vowel = at.glide_end / s.fperiod;
        const size_t to = m + 1 < mora_count ? marks[m + 1].marks.consonant_start / s.fperiod : frames;
        size_t a = vowel, b = vowel;
        while (a > from && flags[a - 1])
            --a;
        while (b < to && flags[b])
            ++b;
        at.voiced_start = a * s.fperiod;
        at.voiced_end = b * s.fperiod;
        if (onset_voiceless(morae[m]) && at.voiced_start > at.consonant_start && at.voiced_start < at.vowel_start)
            at.vowel_start = at.voiced_start;
    }
}

// Renders a string of morae, one a beat (see synth_voice::synthesize), into
// a WAV image: one flat accent phrase of our labels, our durations, every
// vowel voiced at the note.
synth_error render_string(hts_state& s, const mora* morae, int mora_count, double f0, double beat, synth_image* image)
{
    HTS_Engine* e = &s.engine;
    string_phoneme ph[hts_max_phrase_phonemes];
    int count = 0;
    if (string_phonemes(morae, mora_count, ph, &count) != synth_ok)
        return synth_error_bad_text;
    const char* names[hts_max_phrase_phonemes];
    for (int i = 0; i < count; ++i)
        names[i] = ph[i].name;
    const int line_count = hts_labels(names, count, 0, s.phrase_lines);
    char* lines[hts_max_phrase_phonemes + 2];
    for (int i = 0; i < line_count; ++i)
        lines[i] = s.phrase_lines[i];
    if (HTS_Engine_generate_state_sequence_from_strings(e, lines, static_cast<size_t>(line_count)) != TRUE) {
        HTS_Engine_refresh(e);
        return synth_error_engine;
    }
    // The beats fall on the grid as the image plays, at its rate.
    const pitch_plan pitch = plan_pitch(s, f0);
    const double beat_frames = beat * pitch.image_rate / static_cast<double>(s.fperiod);
    shaping_mora marks[synth_max_morae] = {};
    if (!set_string_durations(s, ph, count, mora_count, beat_frames, marks)) {
        HTS_Engine_refresh(e);
        return synth_error_bad_speed;
    }
    global_variance_off(&e->sss);
    if (e->sss.sstream[1].msd != nullptr)
        voice_string(s, ph, count, morae);
    if (HTS_Engine_generate_parameter_sequence(e) != TRUE) {
        HTS_Engine_refresh(e);
        return synth_error_engine;
    }
    void* block = nullptr;
    size_t n = 0;
    if (const synth_error made = make_speech(s, pitch.made_f0, &block, &n); made != synth_ok) {
        HTS_Engine_refresh(e);
        return made;
    }
    if (e->pss.pstream[1].msd_flag != nullptr)
        mark_string_voicing(s, e->pss.pstream[1].msd_flag, e->pss.total_frame, morae, mora_count, marks);
    for (int m = 0; m < mora_count; ++m)
        end_before_fade(s, &marks[m].marks);
    const double fade_in = shaping_fade_in(morae[0]);
    const synth_error shaped = shape_string(static_cast<double*>(block), n, pitch.image_rate, pitch.played_f0, marks,
                                            mora_count, fade_in, image);
    free(block);
    HTS_Engine_refresh(e);
    return damaged(shaped);
}

synth_error hts_synthesize(synth_engine* engine, const char* text, int speed, double f0, double beat,
                           synth_image* image)
{
    *image = synth_image{};
    mora morae[max_morae];
    int count = 0;
    if (const synth_error read = read_request(hts_voice, text, speed, f0, beat, morae, &count); read != synth_ok)
        return read;
    // A syllable's labels describe one word of one syllable.
    hts_mora_labels labels;
    if (beat == 0.0 && (count != 1 || hts_label_mora(morae[0], &labels) != synth_ok))
        return synth_error_bad_text;
    hts_state* s = state_of(engine);
    if (s->abandoned)
        return synth_error_no_memory;
    jmp_buf guard;
    if (setjmp(guard) != 0) {
        out_of_memory = nullptr;
        s->abandoned = true;
        return synth_error_no_memory;
    }
    out_of_memory = &guard;
    const synth_error made =
        beat > 0.0 ? render_string(*s, morae, count, f0, beat, image) : render(*s, morae[0], labels, speed, f0, image);
    out_of_memory = nullptr;
    return made;
}

const char* hts_failure()
{
    return failure[0] != 0 ? failure : nullptr;
}

// The pitches the voice holds well: all of C2 to C5. Measured at every note
// on あいうえお and four CV syllables, in the files at 44100 Hz: the held
// vowel's F0 within 1 cent of the note (over 10 ms within 8 cents: the
// voice's noise moves it), its level within 0.6 dB of A2's, and its
// harmonics within 1.6 dB of the same vowel's spectrum at A2: the spectra
// are the same frames whatever the pitch, moved by at most 0.56 % by the
// whole periods. From about D4 up the first harmonic lies above the first
// formant of い and う (270 to 310 Hz), as it would for any voice singing
// there.
constexpr double lowest_f0 = synth_lowest_f0;
constexpr double highest_f0 = synth_highest_f0;

} // namespace

const synth_voice hts_voice = {
    "hts", true, lowest_f0, highest_f0, hts_open, hts_close, hts_synthesize, synth_release_image,
    hts_failure,
};

// The engine's allocator, in the library's place (see out_of_memory).
extern "C" __attribute__((visibility("default"))) void* HTS_calloc(const size_t num, const size_t size)
{
    if (num == 0 || size == 0)
        return nullptr;  // as the engine's own does
    void* p = calloc(num, size);
    if (p == nullptr) {
        if (out_of_memory != nullptr)
            longjmp(*out_of_memory, 1);
        abort();  // a call into the engine without a guard: a bug here
    }
    return p;
}
