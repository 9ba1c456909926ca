// The HTS voice. Our own labels, durations, pitch and voicing go between
// the engine's three steps: state sequence, parameter sequence, samples.

#include "synth/hts_voice.h"

#include "wav/wav.h"

#include <HTS_engine.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const hts_voice_path = MORIVOX_HTS_VOICE;

namespace {

// A steady pitch in Hz (A2), as the eSpeak voice has.
constexpr double steady_f0 = 110.0;
// Silence before and after the syllable.
constexpr double silence_seconds = 0.050;
// The vowel's middle state lasts at least this at speed 70, longer when slower.
constexpr double held_seconds_at_70 = 0.300;
// The parameters are smoothed across states: the level turns toward the
// fade this long before the held state ends.
constexpr double fade_lead_seconds = 0.015;

// Onsets without voice. The voice lets h and f turn voiced before the
// vowel's label, and the beat falls where voicing starts.
constexpr const char* unvoiced_onsets[] = {"k", "ky", "s", "sh", "t", "ty", "ch", "ts", "h", "hy", "f", "p", "py"};
constexpr int max_phonemes = 3;
constexpr int label_room = 512;

// The phonemes the voice was trained with.
constexpr const char* voice_phonemes[] = {
    "a",  "i",  "u", "e",  "o",  "A",  "I", "U",  "E", "O",  "N",  "cl", "pau", "b",  "by",
    "ch", "d",  "dy", "f", "g",  "gy", "h", "hy", "j", "k",  "ky", "m",  "my",  "n",  "ny",
    "p",  "py", "r", "ry", "s",  "sh", "t", "ts", "ty", "v", "w",  "y",  "z",
};

bool is_voice_phoneme(const char* p)
{
    for (const char* v : voice_phonemes) {
        if (strcmp(p, v) == 0)
            return true;
    }
    return false;
}

struct hts_state {
    HTS_Engine engine;
    int rate;        // samples per second
    size_t fperiod;  // samples per frame
};

hts_state* state_of(synth_engine* e)
{
    return reinterpret_cast<hts_state*>(e);
}

// What made the last open fail, for the console.
thread_local char failure[512];

synth_error fail(synth_error code, const char* format, const char* a, const char* b)
{
    snprintf(failure, sizeof failure, format, a, b);
    return code;
}

synth_error hts_open(synth_engine** out)
{
    *out = nullptr;
    failure[0] = 0;
    // The voice file's own errno, rather than the engine's silence.
    FILE* probe = fopen(hts_voice_path, "rb");
    if (probe == nullptr || (fgetc(probe) == EOF && ferror(probe))) {
        const int err = errno;
        if (probe != nullptr)
            fclose(probe);
        return fail(synth_error_no_voice_file, "%s: %s; install the package hts-voice-nitech-jp-atr503-m001",
                    hts_voice_path, strerror(err));
    }
    fclose(probe);

    auto* s = static_cast<hts_state*>(calloc(1, sizeof(hts_state)));
    if (s == nullptr)
        return synth_error_no_memory;
    HTS_Engine_initialize(&s->engine);
    char* voices[1] = {const_cast<char*>(hts_voice_path)};
    HTS_Engine* e = &s->engine;
    // Pitch and voicing are set through stream 1, the voiced/unvoiced log F0.
    if (HTS_Engine_load(e, voices, 1) != TRUE || HTS_Engine_get_nstream(e) < 2 || HTS_Engine_get_nstate(e) < 3 ||
        !e->ms.stream[0][1].is_msd) {
        HTS_Engine_clear(e);
        free(s);
        return fail(synth_error_engine, "the HTS engine cannot use %s%s", hts_voice_path, "");
    }
    s->rate = static_cast<int>(HTS_Engine_get_sampling_frequency(e));
    s->fperiod = HTS_Engine_get_fperiod(e);
    *out = reinterpret_cast<synth_engine*>(s);
    return synth_ok;
}

void hts_close(synth_engine* engine)
{
    hts_state* s = state_of(engine);
    if (s == nullptr)
        return;
    HTS_Engine_clear(&s->engine);
    free(s);
}

// Frames that last at least `seconds`.
size_t frames_at_least(double seconds, const hts_state& s)
{
    const size_t n = static_cast<size_t>(std::ceil(seconds * s.rate / static_cast<double>(s.fperiod) - 1e-9));
    return n < 1 ? 1 : n;
}

// Sets the state durations: every state by 100/speed (the first phoneme by
// half that when asked), the vowel's middle state held at least
// held_seconds_at_70 x 70/speed, silences of silence_seconds. The engine's
// own speed control would mostly shorten the silences. Stores in *image the
// samples where the consonant and the vowel start and the held state ends.
void set_durations(hts_state& s, int lines, bool first_half, int speed, synth_image* image)
{
    HTS_SStreamSet* sss = &s.engine.sss;
    const size_t states = sss->nstate;
    const size_t held = states / 2;
    const int vowel = lines - 2;
    const size_t silence = static_cast<size_t>(std::lround(silence_seconds * s.rate / static_cast<double>(s.fperiod)));
    const size_t held_min = frames_at_least(held_seconds_at_70 * 70.0 / speed, s);
    size_t total = 0;
    for (int label = 0; label < lines; ++label) {
        double scale = 100.0 / speed;
        if (label == 1 && first_half)
            scale *= 0.5;
        for (size_t k = 0; k < states; ++k) {
            const size_t st = static_cast<size_t>(label) * states + k;
            size_t d;
            if (label == 0 || label == lines - 1) {
                d = silence * (k + 1) / states - silence * k / states;
            } else {
                const long r = std::lround(static_cast<double>(sss->duration[st]) * scale);
                d = r < 1 ? 1 : static_cast<size_t>(r);
                if (label == vowel && k == held && d < held_min)
                    d = held_min;
            }
            if (k == 0 && label == 1)
                image->consonant_start = total * s.fperiod;
            if (k == 0 && label == vowel)
                image->vowel_start = total * s.fperiod;
            sss->duration[st] = d;
            total += d;
            if (k == held && label == vowel)
                image->steady_end = total * s.fperiod;
        }
    }
    sss->total_frame = total;

    // A GV weight of 0 still pulls every frame to the mean (and the
    // consonant vanishes): switch global variance off per state instead.
    for (size_t i = 0; i < sss->nstream; ++i) {
        if (sss->sstream[i].gv_switch) {
            for (size_t st = 0; st < sss->total_state; ++st)
                sss->sstream[i].gv_switch[st] = FALSE;
        }
    }
    // The voice ends phrase-final vowels unvoiced: voice it from its held state on.
    if (sss->sstream[1].msd) {
        for (size_t k = held; k < states; ++k)
            sss->sstream[1].msd[static_cast<size_t>(vowel) * states + k] = 1.0;
    }
}

// Renders the phonemes into a WAV image.
synth_error render(hts_state& s, const char* const* phonemes, int count, bool first_half, int speed,
                   synth_image* image)
{
    char lines[max_phonemes + 2][label_room];
    char* line_ptrs[max_phonemes + 2];
    const int line_count = hts_labels(phonemes, count, first_half, lines);
    for (int i = 0; i < line_count; ++i)
        line_ptrs[i] = lines[i];

    HTS_Engine* e = &s.engine;
    if (HTS_Engine_generate_state_sequence_from_strings(e, line_ptrs, static_cast<size_t>(line_count)) != TRUE) {
        HTS_Engine_refresh(e);
        return synth_error_engine;
    }
    synth_image marks{};
    set_durations(s, line_count, first_half, speed, &marks);
    if (HTS_Engine_generate_parameter_sequence(e) != TRUE) {
        HTS_Engine_refresh(e);
        return synth_error_engine;
    }
    // The log-F0 rows hold the voiced frames only.
    HTS_PStream* lf0 = &e->pss.pstream[1];
    for (size_t t = 0; t < lf0->length; ++t)
        lf0->par[t][0] = std::log(steady_f0);
    bool unvoiced_onset = false;
    for (const char* u : unvoiced_onsets)
        unvoiced_onset = unvoiced_onset || (count > 1 && !first_half && strcmp(phonemes[0], u) == 0);
    if (unvoiced_onset && lf0->msd_flag != nullptr) {
        for (size_t t = marks.consonant_start / s.fperiod; t < marks.vowel_start / s.fperiod; ++t) {
            if (lf0->msd_flag[t]) {
                marks.vowel_start = t * s.fperiod;
                break;
            }
        }
    }
    const size_t fade_lead = frames_at_least(fade_lead_seconds, s) * s.fperiod;
    marks.steady_end -= marks.steady_end - marks.vowel_start > 2 * fade_lead ? fade_lead : 0;
    if (HTS_Engine_generate_sample_sequence(e) != TRUE) {
        HTS_Engine_refresh(e);
        return synth_error_engine;
    }

    const size_t n = HTS_Engine_get_nsamples(e);
    const size_t data_bytes = n * sizeof(int16_t);
    auto* bytes = static_cast<uint8_t*>(malloc(wav_header_size + data_bytes));
    if (bytes == nullptr) {
        HTS_Engine_refresh(e);
        return synth_error_no_memory;
    }
    wav_build_header(bytes, static_cast<uint32_t>(data_bytes), 16, 1, s.rate);
    for (size_t i = 0; i < n; ++i) {
        double x = e->gss.gspeech[i];
        x = x > 32767.0 ? 32767.0 : x < -32768.0 ? -32768.0 : x;
        const auto v = static_cast<int16_t>(std::lround(x));
        memcpy(bytes + wav_header_size + 2 * i, &v, sizeof v);  // little-endian host
    }
    HTS_Engine_refresh(e);
    *image = marks;
    image->bytes = bytes;
    image->size = wav_header_size + data_bytes;
    return synth_ok;
}

synth_error hts_synthesize(synth_engine* engine, const char* text, int speed, synth_image* image)
{
    *image = synth_image{};
    if (text == nullptr || text[0] == 0)
        return synth_error_empty_text;
    if (strnlen(text, synth_max_text_bytes + 1) > synth_max_text_bytes)
        return synth_error_text_too_long;
    mora morae[max_morae];
    int count = 0;
    if (kana_to_morae(text, morae, max_morae, &count) != synth_ok)
        return synth_error_bad_text;
    if (speed < synth_min_speed || speed > synth_max_speed)
        return synth_error_bad_speed;
    // The labels describe a one-mora word.
    if (count != 1)
        return synth_error_bad_text;
    const char* phonemes[max_phonemes];
    int phoneme_count = 0;
    bool first_half = false;
    if (hts_phonemes(morae[0], phonemes, &phoneme_count, &first_half) != synth_ok)
        return synth_error_bad_text;
    return render(*state_of(engine), phonemes, phoneme_count, first_half, speed, image);
}

void hts_free_image(synth_image* image)
{
    free(image->bytes);
    *image = synth_image{};
}

const char* hts_failure()
{
    return failure[0] != 0 ? failure : nullptr;
}

} // namespace

const synth_voice hts_voice = {
    "hts", true, hts_open, hts_close, hts_synthesize, hts_free_image, hts_failure,
};

synth_error hts_phonemes(const mora& m, const char* out[3], int* count, bool* first_half)
{
    static const char* const vowels[] = {"a", "i", "u", "e", "o"};
    const char* vowel = nullptr;
    for (const char* v : vowels) {
        if (v[0] == m.vowel)
            vowel = v;
    }
    *count = 0;
    *first_half = false;
    if (m.vowel == 0) {
        out[(*count)++] = "N";  // the moraic nasal
        return synth_ok;
    }
    if (vowel == nullptr)
        return synth_error_bad_text;
    if (strcmp(m.onset, "ng") == 0 || strcmp(m.onset, "ngy") == 0) {
        // No nasal g in the voice: a murmur of N at half length, heard as [ŋ].
        out[(*count)++] = "N";
        if (m.onset[2] == 'y')
            out[(*count)++] = "y";
        *first_half = true;
    } else if (m.onset[0] != 0) {
        if (!is_voice_phoneme(m.onset))
            return synth_error_bad_text;
        out[(*count)++] = m.onset;
    }
    out[(*count)++] = vowel;
    return synth_ok;
}

int hts_labels(const char* const* phonemes, int count, bool split_first, char lines[][512])
{
    const int moras = split_first ? 2 : 1;
    const char* seq[max_phonemes + 6];
    int n = 0;
    seq[n++] = "xx";
    seq[n++] = "xx";
    seq[n++] = "sil";
    for (int i = 0; i < count; ++i)
        seq[n++] = phonemes[i];
    seq[n++] = "sil";
    seq[n++] = "xx";
    seq[n++] = "xx";
    int line = 0;
    for (int j = 2; j < n - 2; ++j, ++line) {
        char* out = lines[line];
        const int used = snprintf(out, label_room, "%s^%s-%s+%s=%s", seq[j - 2], seq[j - 1], seq[j], seq[j + 1],
                                  seq[j + 2]);
        const size_t rest = label_room - static_cast<size_t>(used);
        if (j == 2) {
            snprintf(out + used, rest,
                     "/A:xx+xx+xx/B:xx-xx_xx/C:xx_xx+xx/D:xx+xx_xx/E:xx_xx!xx_xx-xx/F:xx_xx#xx_xx@xx_xx|xx_xx"
                     "/G:%d_1%%0_xx_xx/H:xx_xx/I:xx-xx@xx+xx&xx-xx|xx+xx/J:1_%d/K:1+1-%d",
                     moras, moras, moras);
        } else if (j == n - 3) {
            snprintf(out + used, rest,
                     "/A:xx+xx+xx/B:xx-xx_xx/C:xx_xx+xx/D:xx+xx_xx/E:%d_1!0_xx-xx/F:xx_xx#xx_xx@xx_xx|xx_xx"
                     "/G:xx_xx%%xx_xx_xx/H:1_%d/I:xx-xx@xx+xx&xx-xx|xx+xx/J:xx_xx/K:1+1-%d",
                     moras, moras, moras);
        } else {
            // The mora this phoneme belongs to; C:09 is how Open JTalk tags an unknown katakana word.
            const int mora = split_first && j == 3 ? 1 : moras;
            snprintf(out + used, rest,
                     "/A:%d+%d+%d/B:xx-xx_xx/C:09_xx+xx/D:xx+xx_xx/E:xx_xx!xx_xx-xx/F:%d_1#0_xx@1_1|1_%d"
                     "/G:xx_xx%%xx_xx_xx/H:xx_xx/I:1-%d@1+1&1-1|1+%d/J:xx_xx/K:1+1-%d",
                     mora - 1, mora, moras - mora + 1, moras, moras, moras, moras, moras);
        }
    }
    return line;
}
