#include "synth/kana.h"

#include <cstdint>
#include <cstring>

namespace {

// Shift-JIS ranges of the kana (code page 932).
constexpr unsigned sjis_hiragana_first = 0x829F;  // small a, U+3041
constexpr unsigned sjis_hiragana_last = 0x82F1;   // n, U+3093
constexpr unsigned sjis_katakana_first = 0x8340;  // small a, U+30A1
constexpr unsigned sjis_katakana_last = 0x8393;   // n, U+30F3
constexpr unsigned sjis_katakana_gap = 0x837F;    // not a trail byte value
constexpr unsigned sjis_handakuten = 0x814B;      // the mark after k-row kana

// Which small kana may follow a base kana.
enum small_mask : unsigned {
    small_a = 1u << 0,
    small_i = 1u << 1,
    small_u = 1u << 2,
    small_e = 1u << 3,
    small_o = 1u << 4,
    small_ya = 1u << 5,
    small_yu = 1u << 6,
    small_yo = 1u << 7,
};

constexpr unsigned i_row = small_ya | small_yu | small_yo | small_e;
constexpr unsigned f_row = small_a | small_i | small_e | small_o;

enum kana_kind : uint8_t {
    kind_none,   // not accepted
    kind_base,   // a syllable of its own
    kind_small,  // a small kana: only after a base kana that allows it
    kind_n,      // the moraic nasal
};

struct kana {
    kana_kind kind;
    const char* onset;  // romanised, as in mora; "" for none
    char vowel;         // a, i, u, e, o; for a small kana the vowel it adds
    unsigned smalls;    // small kana allowed after this one
    unsigned self;      // for a small kana: its own bit
};

// Hiragana U+3041 to U+3093, in code order. Katakana map onto the same rows.
constexpr kana kana_table[] = {
    {kind_small, "", 'a', 0, small_a},         // small a
    {kind_base, "", 'a', 0, 0},                // a
    {kind_small, "", 'i', 0, small_i},         // small i
    {kind_base, "", 'i', small_e, 0},          // i
    {kind_small, "", 'u', 0, small_u},         // small u
    {kind_base, "", 'u', small_i | small_e | small_o, 0},  // u
    {kind_small, "", 'e', 0, small_e},         // small e
    {kind_base, "", 'e', 0, 0},                // e
    {kind_small, "", 'o', 0, small_o},         // small o
    {kind_base, "", 'o', 0, 0},                // o
    {kind_base, "k", 'a', 0, 0},               // ka
    {kind_base, "g", 'a', 0, 0},               // ga
    {kind_base, "k", 'i', i_row, 0},           // ki
    {kind_base, "g", 'i', i_row, 0},           // gi
    {kind_base, "k", 'u', 0, 0},               // ku
    {kind_base, "g", 'u', 0, 0},               // gu
    {kind_base, "k", 'e', 0, 0},               // ke
    {kind_base, "g", 'e', 0, 0},               // ge
    {kind_base, "k", 'o', 0, 0},               // ko
    {kind_base, "g", 'o', 0, 0},               // go
    {kind_base, "s", 'a', 0, 0},               // sa
    {kind_base, "z", 'a', 0, 0},               // za
    {kind_base, "sh", 'i', i_row, 0},         // shi
    {kind_base, "j", 'i', i_row, 0},       // ji
    {kind_base, "s", 'u', small_i, 0},         // su
    {kind_base, "z", 'u', small_i, 0},         // zu
    {kind_base, "s", 'e', 0, 0},               // se
    {kind_base, "z", 'e', 0, 0},               // ze
    {kind_base, "s", 'o', 0, 0},               // so
    {kind_base, "z", 'o', 0, 0},               // zo
    {kind_base, "t", 'a', 0, 0},               // ta
    {kind_base, "d", 'a', 0, 0},               // da
    {kind_base, "ch", 'i', i_row, 0},       // chi
    {kind_base, "j", 'i', i_row, 0},       // ji (di)
    {kind_none, "", 0, 0, 0},                  // small tsu
    {kind_base, "ts", 'u', f_row, 0},         // tsu
    {kind_base, "z", 'u', 0, 0},               // zu (du)
    {kind_base, "t", 'e', small_i | small_yu, 0},  // te
    {kind_base, "d", 'e', small_i | small_yu, 0},  // de
    {kind_base, "t", 'o', small_u, 0},         // to
    {kind_base, "d", 'o', small_u, 0},         // do
    {kind_base, "n", 'a', 0, 0},               // na
    {kind_base, "n", 'i', i_row, 0},           // ni
    {kind_base, "n", 'u', 0, 0},               // nu
    {kind_base, "n", 'e', 0, 0},               // ne
    {kind_base, "n", 'o', 0, 0},               // no
    {kind_base, "h", 'a', 0, 0},               // ha
    {kind_base, "b", 'a', 0, 0},               // ba
    {kind_base, "p", 'a', 0, 0},               // pa
    {kind_base, "h", 'i', i_row, 0},           // hi
    {kind_base, "b", 'i', i_row, 0},           // bi
    {kind_base, "p", 'i', i_row, 0},           // pi
    {kind_base, "f", 'u', f_row, 0},         // fu
    {kind_base, "b", 'u', 0, 0},               // bu
    {kind_base, "p", 'u', 0, 0},               // pu
    {kind_base, "h", 'e', 0, 0},               // he
    {kind_base, "b", 'e', 0, 0},               // be
    {kind_base, "p", 'e', 0, 0},               // pe
    {kind_base, "h", 'o', 0, 0},               // ho
    {kind_base, "b", 'o', 0, 0},               // bo
    {kind_base, "p", 'o', 0, 0},               // po
    {kind_base, "m", 'a', 0, 0},               // ma
    {kind_base, "m", 'i', i_row, 0},           // mi
    {kind_base, "m", 'u', 0, 0},               // mu
    {kind_base, "m", 'e', 0, 0},               // me
    {kind_base, "m", 'o', 0, 0},               // mo
    {kind_small, "", 'a', 0, small_ya},        // small ya
    {kind_base, "y", 'a', 0, 0},               // ya
    {kind_small, "", 'u', 0, small_yu},        // small yu
    {kind_base, "y", 'u', 0, 0},               // yu
    {kind_small, "", 'o', 0, small_yo},        // small yo
    {kind_base, "y", 'o', 0, 0},               // yo
    {kind_base, "r", 'a', 0, 0},              // ra
    {kind_base, "r", 'i', i_row, 0},          // ri
    {kind_base, "r", 'u', 0, 0},              // ru
    {kind_base, "r", 'e', 0, 0},              // re
    {kind_base, "r", 'o', 0, 0},              // ro
    {kind_none, "", 0, 0, 0},                  // small wa
    {kind_base, "w", 'a', 0, 0},               // wa
    {kind_none, "", 0, 0, 0},                  // wi (archaic)
    {kind_none, "", 0, 0, 0},                  // we (archaic)
    {kind_base, "", 'o', 0, 0},                // wo, read as o
    {kind_n, "", 0, 0, 0},                     // n
};
constexpr unsigned kana_count = sizeof kana_table / sizeof kana_table[0];
static_assert(kana_count == sjis_hiragana_last - sjis_hiragana_first + 1);

// Index 10 to 19 are ka, ga, ki, gi, ku, gu, ke, ge, ko, go: the unvoiced
// ones (even index) take the mark for the nasal onset.
constexpr unsigned first_k_row = 10;
constexpr unsigned last_k_row = 19;

// Reads one two-byte kana at p and gives its row in kana_table, or -1.
int decode_kana(const unsigned char* p)
{
    if (p[0] == 0 || p[1] == 0)
        return -1;
    const unsigned code = (unsigned{p[0]} << 8) | p[1];
    if (code >= sjis_hiragana_first && code <= sjis_hiragana_last)
        return static_cast<int>(code - sjis_hiragana_first);
    if (code >= sjis_katakana_first && code <= sjis_katakana_last && code != sjis_katakana_gap)
        return static_cast<int>(code - sjis_katakana_first - (code > sjis_katakana_gap ? 1 : 0));
    return -1;
}

bool is_handakuten(const unsigned char* p)
{
    return p[0] != 0 && ((unsigned{p[0]} << 8) | p[1]) == sjis_handakuten;
}

// The onset before ya, yu, yo (and before e after an i-row kana). Onsets
// that are palatal already stay; a bare vowel takes y.
constexpr struct {
    const char* plain;
    const char* palatal;
} palatal_onsets[] = {
    {"", "y"},    {"k", "ky"},  {"g", "gy"}, {"ng", "ngy"}, {"sh", "sh"}, {"j", "j"},   {"ch", "ch"},
    {"t", "ty"},  {"d", "dy"},  {"n", "ny"}, {"h", "hy"},   {"b", "by"},  {"p", "py"},  {"m", "my"},
    {"r", "ry"},
};

const char* palatal(const char* onset)
{
    for (const auto& o : palatal_onsets) {
        if (strcmp(o.plain, onset) == 0)
            return o.palatal;
    }
    return nullptr;  // the small-kana masks allow no other
}

} // namespace

synth_error kana_to_morae(const char* text, mora* out, int capacity, int* count)
{
    *count = 0;
    if (text == nullptr || out == nullptr)
        return synth_error_bad_text;

    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        const int row = decode_kana(p);
        if (row < 0 || *count >= capacity)
            return synth_error_bad_text;
        const kana& base = kana_table[row];
        p += 2;

        if (base.kind == kind_n) {
            out[(*count)++] = {"", 0};
            continue;
        }
        if (base.kind != kind_base)
            return synth_error_bad_text;

        const char* onset = base.onset;
        if (is_handakuten(p)) {
            const unsigned r = static_cast<unsigned>(row);
            if (r < first_k_row || r > last_k_row || (r - first_k_row) % 2 != 0)
                return synth_error_bad_text;
            onset = "ng";
            p += 2;
        }

        char vowel = base.vowel;
        const int next = decode_kana(p);
        if (next >= 0 && kana_table[next].kind == kind_small) {
            const kana& small = kana_table[next];
            if ((base.smalls & small.self) == 0)
                return synth_error_bad_text;
            p += 2;
            vowel = small.vowel;
            const bool y_kana = (small.self & (small_ya | small_yu | small_yo)) != 0;
            if (y_kana || base.vowel == 'i')
                onset = palatal(onset);
            else if (onset[0] == 0 && base.vowel == 'u')
                onset = "w";
            if (onset == nullptr)
                return synth_error_bad_text;
        }
        out[(*count)++] = {onset, vowel};
    }
    return synth_ok;
}

bool onset_sonorant(const mora& m)
{
    static const char* const sonorant[] = {"", "n", "ny", "m", "my", "r", "ry", "y", "w", "ng", "ngy"};
    for (const char* onset : sonorant) {
        if (strcmp(m.onset, onset) == 0)
            return true;
    }
    return false;
}

bool onset_voiceless(const mora& m)
{
    static const char* const voiceless[] = {"k", "ky", "s", "sh", "t", "ty", "ch", "ts", "h", "hy", "f", "p", "py"};
    for (const char* onset : voiceless) {
        if (strcmp(m.onset, onset) == 0)
            return true;
    }
    return false;
}

synth_error read_request(const synth_voice& voice, const char* text, int speed, double f0, double beat, mora* out,
                         int* count)
{
    *count = 0;
    if (text == nullptr || text[0] == 0)
        return synth_error_empty_text;
    if (strnlen(text, synth_max_text_bytes + 1) > synth_max_text_bytes)
        return synth_error_text_too_long;
    if (kana_to_morae(text, out, max_morae, count) != synth_ok)
        return synth_error_bad_text;
    if (speed < synth_min_speed || speed > synth_max_speed)
        return synth_error_bad_speed;
    if (!(f0 >= voice.lowest_f0 && f0 <= voice.highest_f0))
        return synth_error_bad_pitch;
    if (beat != 0.0 && !(beat > 0.0 && beat <= synth_max_beat))
        return synth_error_bad_speed;
    if (beat > 0.0 && *count > synth_max_morae)
        return synth_error_bad_text;
    return synth_ok;
}
