#include "synth/hts_labels.h"

#include <cstdio>
#include <cstring>

namespace {

// The phonemes the voice was trained with.
constexpr const char* voice_phonemes[] = {
    "a",  "i",  "u", "e",  "o",  "A",  "I", "U",  "E", "O",  "N",  "cl", "pau", "b",  "by",
    "ch", "d",  "dy", "f", "g",  "gy", "h", "hy", "j", "k",  "ky", "m",  "my",  "n",  "ny",
    "p",  "py", "r", "ry", "s",  "sh", "t", "ts", "ty", "v", "w",  "y",  "z",
};

bool is_vowel(const char* p)
{
    return p[0] != 0 && p[1] == 0 && strchr("aiueoAIUEO", p[0]) != nullptr;
}

bool is_voice_phoneme(const char* p)
{
    for (const char* v : voice_phonemes) {
        if (strcmp(p, v) == 0)
            return true;
    }
    return false;
}

} // namespace

synth_error hts_phonemes(const mora& m, const char* out[hts_max_phonemes], int* count, bool* first_half)
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
    // The voice learnt a phrase-final u mostly devoiced: held, it turns to
    // [i] after s, t, d, n, r and toward [y] after a palatal. A long u (as
    // in kuu, suu, kyuu) it learnt voiced and unrounded.
    if (m.vowel == 'u')
        out[(*count)++] = vowel;
    return synth_ok;
}

int hts_labels(const char* const* phonemes, int count, int accent, char lines[][hts_label_room])
{
    // A mora ends with its vowel or with N; its consonants open it.
    int mora_of[hts_max_phrase_phonemes];
    int moras = 0;
    for (int i = 0; i < count; ++i) {
        mora_of[i] = moras + 1;
        if (is_vowel(phonemes[i]) || strcmp(phonemes[i], "N") == 0)
            ++moras;
    }
    const char* seq[hts_max_phrase_phonemes + 6];
    int n = 0;
    seq[n++] = "xx";
    seq[n++] = "xx";
    seq[n++] = "sil";
    for (int i = 0; i < count; ++i)
        seq[n++] = phonemes[i];
    seq[n++] = "sil";
    seq[n++] = "xx";
    seq[n++] = "xx";
    const int nucleus = accent == 0 ? moras : accent;
    int line = 0;
    for (int j = 2; j < n - 2; ++j, ++line) {
        char* out = lines[line];
        const int used = snprintf(out, hts_label_room, "%s^%s-%s+%s=%s", seq[j - 2], seq[j - 1], seq[j], seq[j + 1],
                                  seq[j + 2]);
        const size_t rest = hts_label_room - static_cast<size_t>(used);
        if (j == 2) {
            snprintf(out + used, rest,
                     "/A:xx+xx+xx/B:xx-xx_xx/C:xx_xx+xx/D:xx+xx_xx/E:xx_xx!xx_xx-xx/F:xx_xx#xx_xx@xx_xx|xx_xx"
                     "/G:%d_%d%%0_xx_xx/H:xx_xx/I:xx-xx@xx+xx&xx-xx|xx+xx/J:1_%d/K:1+1-%d",
                     moras, nucleus, moras, moras);
        } else if (j == n - 3) {
            snprintf(out + used, rest,
                     "/A:xx+xx+xx/B:xx-xx_xx/C:xx_xx+xx/D:xx+xx_xx/E:%d_%d!0_xx-xx/F:xx_xx#xx_xx@xx_xx|xx_xx"
                     "/G:xx_xx%%xx_xx_xx/H:1_%d/I:xx-xx@xx+xx&xx-xx|xx+xx/J:xx_xx/K:1+1-%d",
                     moras, nucleus, moras, moras);
        } else {
            // C:09 is how Open JTalk tags an unknown katakana word.
            const int mora = mora_of[j - 3];
            snprintf(out + used, rest,
                     "/A:%d+%d+%d/B:xx-xx_xx/C:09_xx+xx/D:xx+xx_xx/E:xx_xx!xx_xx-xx/F:%d_%d#0_xx@1_1|1_%d"
                     "/G:xx_xx%%xx_xx_xx/H:xx_xx/I:1-%d@1+1&1-1|1+%d/J:xx_xx/K:1+1-%d",
                     mora - nucleus, mora, moras - mora + 1, moras, nucleus, moras, moras, moras, moras);
        }
    }
    return line;
}

synth_error hts_label_mora(const mora& m, hts_mora_labels* out)
{
    out->line_count = 0;
    if (hts_phonemes(m, out->phonemes, &out->phoneme_count, &out->first_half) != synth_ok)
        return synth_error_bad_text;
    out->line_count = hts_labels(out->phonemes, out->phoneme_count, 1, out->lines);
    for (int i = 0; i < out->line_count; ++i)
        out->line_pointers[i] = out->lines[i];
    return synth_ok;
}
