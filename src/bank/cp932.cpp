// Names in Shift-JIS (CP932): ASCII as it is, and kana.

#include "bank/bank.h"

#include <cstring>

namespace {

// The next character of `s` (UTF-8) into *code; returns its length in
// bytes, or 0 when the bytes are not UTF-8 (cut short, overlong, a
// surrogate, beyond U+10FFFF).
size_t read_utf8(const unsigned char* s, unsigned* code)
{
    const unsigned c = s[0];
    const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0)
        return 0;
    unsigned v = n == 1 ? c : c & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (s[i] & 0x3F);
    }
    const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < least[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *code = v;
    return n;
}

// The Shift-JIS (CP932) bytes of a kana into out[0..1]; returns how many,
// or 0 for a character that is not one of the kana this program writes.
// Hiragana ぁ to ん are 0x829F to 0x82F1 in order; katakana ァ to ヶ are
// 0x8340 on, in order but for 0x837F, which no character has; half-width
// katakana are the single bytes 0xA1 to 0xDF. CP932 has none of ゔ, ゕ,
// ゖ, ヷ to ヺ nor the combining sound marks (U+3099, U+309A).
size_t kana_to_cp932(unsigned code, unsigned char out[2])
{
    static const struct {
        unsigned code;
        unsigned char sjis[2];
    } marks[] = {
        {0x309B, {0x81, 0x4A}},  // ゛
        {0x309C, {0x81, 0x4B}},  // ゜, as in カ゜
        {0x309D, {0x81, 0x54}},  // ゝ
        {0x309E, {0x81, 0x55}},  // ゞ
        {0x30FB, {0x81, 0x45}},  // ・
        {0x30FC, {0x81, 0x5B}},  // ー
        {0x30FD, {0x81, 0x52}},  // ヽ
        {0x30FE, {0x81, 0x53}},  // ヾ
    };
    if (code >= 0x3041 && code <= 0x3093) {
        out[0] = 0x82;
        out[1] = static_cast<unsigned char>(0x9F + (code - 0x3041));
        return 2;
    }
    if (code >= 0x30A1 && code <= 0x30F6) {
        const unsigned second = 0x40 + (code - 0x30A1);
        out[0] = 0x83;
        out[1] = static_cast<unsigned char>(second >= 0x7F ? second + 1 : second);
        return 2;
    }
    if (code >= 0xFF61 && code <= 0xFF9F) {
        out[0] = static_cast<unsigned char>(0xA1 + (code - 0xFF61));
        return 1;
    }
    for (const auto& m : marks) {
        if (m.code == code) {
            out[0] = m.sjis[0];
            out[1] = m.sjis[1];
            return 2;
        }
    }
    return 0;
}

} // namespace

int bank_to_cp932(const char* utf8, char* out, size_t size)
{
    size_t used = 0;
    for (const auto* p = reinterpret_cast<const unsigned char*>(utf8); *p;) {
        unsigned char bytes[2] = {*p, 0};
        size_t n = 1;
        size_t advance = 1;
        if (*p >= 0x80) {
            unsigned code = 0;
            advance = read_utf8(p, &code);
            n = advance == 0 ? 0 : kana_to_cp932(code, bytes);
            if (n == 0)
                return bank_not_cp932;
        }
        // Room for these bytes and the NUL after them.
        if (used + n >= size)
            return bank_no_room;
        // Never ahead of the reading: n <= advance, so `out` may be `utf8`.
        memcpy(out + used, bytes, n);
        used += n;
        p += advance;
    }
    if (size == 0)
        return bank_no_room;
    out[used] = '\0';
    return static_cast<int>(used);
}

int bank_check_name(const char* name)
{
    const size_t n = strlen(name);
    if (n == 0 || n > bank_name_max || name[0] == ' ' || name[n - 1] == ' ')
        return bank_bad_name;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F)
            return bank_bad_name;
    }
    char sjis[bank_name_max + 1];
    const int converted = bank_to_cp932(name, sjis, sizeof sjis);
    return converted < 0 ? converted : bank_ok;
}
