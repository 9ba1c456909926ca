// The voicebank's text files: names in Shift-JIS, the oto.ini line,
// character.txt and .yaml, readme.txt and the rate warning.

#include "bank/bank.h"

#include "notes/notes.h"
#include "bank/syllables.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The voices' credits, from their Debian copyright files
// (espeak-ng-data, hts-voice-nitech-jp-atr503-m001, libhtsengine).
const bank_voice voices[] = {
    {"espeak", "eSpeak NG, Japanese phonemes (GPL version 3 or later)",
     "The recordings are synthesized by eSpeak NG, a formant synthesizer,\n"
     "with its Japanese phonemes (espeak-ng-data) and Morivox's own voice\n"
     "settings.\n"
     "  eSpeak NG: Copyright (C) 2005-2014 Jonathan Duddington,\n"
     "  2013-2016 Reece H. Dunn, and others.\n"
     "  Licensed under the GNU General Public License, version 3 or later:\n"
     "  https://www.gnu.org/licenses/gpl-3.0.html\n"
     "  Source: https://github.com/espeak-ng/espeak-ng\n",
     "The GPL sets the terms for copying and changing eSpeak NG, its program\n"
     "and its data. Of a program's output it says (section 2): \"The output\n"
     "from running a covered work is covered by this License only if the\n"
     "output, given its content, constitutes a covered work.\"\n",
     {0x1F, 0x6F, 0xB4},
     3},
    {"hts", "HTS voice nitech_jp_atr503_m001, Nagoya Institute of Technology (CC BY 3.0)",
     "The recordings are synthesized by the HTS engine (hts_engine API) with\n"
     "the Japanese voice nitech_jp_atr503_m001:\n"
     "  Copyright (c) 2003-2012 Nagoya Institute of Technology,\n"
     "  Department of Computer Science;\n"
     "  2003-2008 Tokyo Institute of Technology, Interdisciplinary Graduate\n"
     "  School of Science and Engineering.\n"
     "  Licensed under the Creative Commons Attribution 3.0 licence\n"
     "  (CC BY 3.0): https://creativecommons.org/licenses/by/3.0/\n"
     "The HTS engine: Copyright (c) 2001-2015 Nagoya Institute of Technology,\n"
     "2001-2008 Tokyo Institute of Technology; under the 3-clause BSD licence.\n",
     "The recordings are made with the voice above, and its licence asks for\n"
     "attribution. Wherever you share the recordings, this voicebank or a\n"
     "work made with them (a song, a video), credit the voice, for example\n"
     "  Voice: HTS voice nitech_jp_atr503_m001 (c) Nagoya Institute of\n"
     "  Technology, CC BY 3.0\n"
     "make its licence known (its address above), and do not suggest that\n"
     "its authors endorse you or your use. On these conditions the licence\n"
     "lets you share and adapt the work.\n",
     {0xD2, 0x5A, 0x1E},
     4},
};

// A growing block of text, each "\n" stored as CR LF.
struct text_block {
    char* bytes;
    size_t used, room;
    bool failed;
};

void put(text_block& t, const char* s)
{
    for (; *s && !t.failed; ++s) {
        if (t.used + 2 > t.room) {
            const size_t room = t.room ? t.room * 2 : 1024;
            char* grown = static_cast<char*>(realloc(t.bytes, room));
            if (grown == nullptr) {
                t.failed = true;
                break;
            }
            t.bytes = grown;
            t.room = room;
        }
        if (*s == '\n')
            t.bytes[t.used++] = '\r';
        t.bytes[t.used++] = *s;
    }
}

__attribute__((format(printf, 2, 3))) void putf(text_block& t, const char* format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = vsnprintf(nullptr, 0, format, args);
    char* line = n >= 0 ? static_cast<char*>(malloc(static_cast<size_t>(n) + 1)) : nullptr;
    if (line != nullptr) {
        vsnprintf(line, static_cast<size_t>(n) + 1, format, again);
        put(t, line);
    } else {
        t.failed = true;
    }
    free(line);
    va_end(again);
    va_end(args);
}

// Hands the text over in Shift-JIS. Shift-JIS is never longer than UTF-8
// for what bank_to_cp932 accepts, so the block converts in place.
int finish(text_block& t, bank_bytes* out)
{
    *out = {nullptr, 0};
    if (!t.failed && t.used == t.room) {
        char* grown = static_cast<char*>(realloc(t.bytes, t.room + 1));
        t.failed = grown == nullptr;
        if (grown)
            t.bytes = grown, ++t.room;
    }
    if (t.failed || t.bytes == nullptr) {
        free(t.bytes);
        return bank_no_memory;
    }
    t.bytes[t.used] = '\0';
    const int n = bank_to_cp932(t.bytes, t.bytes, t.used + 1);
    if (n < 0) {
        free(t.bytes);
        return n;
    }
    out->bytes = reinterpret_cast<uint8_t*>(t.bytes);
    out->size = static_cast<size_t>(n);
    return bank_ok;
}

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

// OpenUtau trims the file name, so a space at either end would be lost.
bool breaks_a_line(const char* name)
{
    const size_t n = strlen(name);
    if (n == 0 || name[0] == ' ' || name[n - 1] == ' ')
        return true;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        if (*p == ',' || *p == '=' || *p < 0x20 || *p == 0x7F)
            return true;
    }
    return false;
}

// " -name 'a name'": `value` as one word of a shell command, in single
// quotes unless it is plain, a quote in it as '\''.
void shell_option(const char* option, const char* value, char* out, size_t size)
{
    bool plain = true;
    for (const char* p = value; *p; ++p)
        plain = plain && (isalnum(static_cast<unsigned char>(*p)) || strchr("._,+-/", *p) != nullptr);
    size_t used = static_cast<size_t>(snprintf(out, size, " %s %s", option, plain ? "" : "'"));
    for (const char* p = value; *p && used + 5 < size; ++p)
        used += static_cast<size_t>(*p == '\'' ? snprintf(out + used, size - used, "'\\''")
                                                : snprintf(out + used, size - used, "%c", *p));
    if (!plain && used + 1 < size)
        snprintf(out + used, size - used, "'");
}

} // namespace

const char* bank_error_message(int code)
{
    switch (code) {
    case bank_ok:
        return "no error";
    case bank_no_room:
        return "the text does not fit its buffer";
    case bank_not_cp932:
        return "a name cannot be written in Shift-JIS (CP932): only ASCII and kana (hiragana, katakana and their "
               "marks) are written";
    case bank_bad_name:
        return "a name is empty, starts or ends with a space, or holds ',', '=' or a control character, which an "
               "oto.ini line cannot hold";
    case bank_no_memory:
        return "out of memory";
    case bank_bad_input:
        return "the recording's description is inconsistent";
    case bank_recording_gone:
        return "a recording it is made from is no longer in the folder (removed during the run?)";
    case bank_recording_changed:
        return "a recording it is made from is no longer as this run wrote it (changed during the run?)";
    default:
        return nullptr;
    }
}

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

int bank_oto_line(const char* file, const char* alias, const oto_entry& v, char* out, size_t size)
{
    if (breaks_a_line(file) || breaks_a_line(alias))
        return bank_bad_name;
    char file_sjis[256], alias_sjis[256], values[96];
    const int f = bank_to_cp932(file, file_sjis, sizeof file_sjis);
    const int a = bank_to_cp932(alias, alias_sjis, sizeof alias_sjis);
    if (f < 0 || a < 0)
        return f < 0 ? f : a;
    snprintf(values, sizeof values, ",%d,%d,%d,%d,%d\r\n", v.offset, v.consonant, v.cutoff, v.preutterance,
             v.overlap);
    const size_t length = static_cast<size_t>(f) + 1 + static_cast<size_t>(a) + strlen(values);
    if (length > size)
        return bank_no_room;
    char* o = out;
    memcpy(o, file_sjis, static_cast<size_t>(f));
    o += f;
    *o++ = '=';
    memcpy(o, alias_sjis, static_cast<size_t>(a));
    o += a;
    memcpy(o, values, strlen(values));
    return static_cast<int>(length);
}

const bank_voice* bank_find_voice(const char* name)
{
    for (const bank_voice& v : voices) {
        if (strcmp(v.name, name) == 0)
            return &v;
    }
    return nullptr;
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

int bank_singer_name(const bank_run& run, char* out, size_t size)
{
    int n = run.name != nullptr ? snprintf(out, size, "%s", run.name) : snprintf(out, size, "Morivox %s", run.voice);
    // Several sets: their notes, as the aliases' suffixes name them.
    for (int i = 0; run.name == nullptr && run.set_count > 1 && i < run.set_count && n >= 0; ++i) {
        const char* note = run.sets[i].suffix[0] == '_' ? run.sets[i].suffix + 1 : run.sets[i].suffix;
        const size_t used = static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size;
        const int more = snprintf(out + used, size - used, " %s", note);
        n = more < 0 ? more : n + more;
    }
    if (n < 0 || static_cast<size_t>(n) >= size) {
        if (size > 0)
            out[0] = '\0';
        return bank_no_room;
    }
    return n;
}

int bank_character_txt(const char* name, const char* voice, bool sample, bank_bytes* out)
{
    text_block t = {};
    putf(t, "name=%s\n", name);
    putf(t, "image=%s\n", bank_icon_file);
    // The files are the program's work; the voice's makers are credited
    // as its voice, which OpenUtau shows as such.
    put(t, "author=Morivox\n");
    if (const bank_voice* v = bank_find_voice(voice))
        putf(t, "voice=%s\n", v->credit);
    if (sample)
        putf(t, "sample=%s\n", bank_sample_file);
    return finish(t, out);
}

int bank_character_yaml(bank_bytes* out)
{
    static const char yaml[] = "text_file_encoding: shift_jis\nsinger_type: classic\n";
    *out = {static_cast<uint8_t*>(malloc(sizeof yaml - 1)), sizeof yaml - 1};
    if (out->bytes == nullptr) {
        out->size = 0;
        return bank_no_memory;
    }
    memcpy(out->bytes, yaml, sizeof yaml - 1);
    return bank_ok;
}

int bank_readme(const bank_run& run, bool sample, bank_bytes* out)
{
    *out = {nullptr, 0};
    if (run.set_count < 1)
        return bank_bad_input;
    const bool several = run.set_count > 1;
    // The default pitch goes without saying, as the command leaves it out.
    const bool pitch_said = run.pitch != nullptr && (several || run.sets[0].note != note_default);
    char title[bank_name_max + 64], sjis[bank_name_max + 64];
    const int title_length = bank_singer_name(run, title, sizeof title);
    if (title_length < 0)
        return title_length;
    // Underlined as wide as it shows: a full-width kana takes two columns,
    // as it takes two bytes in Shift-JIS.
    const int shown_width = bank_to_cp932(title, sjis, sizeof sjis);
    if (shown_width < 0)
        return shown_width;
    text_block t = {};
    putf(t, "%s\n", title);
    for (int i = shown_width; i > 0; --i)
        put(t, "=");
    put(t, "\n\n");
    if (!several) {
        putf(t,
             "A voicebank for UTAU and OpenUtau: %d Japanese syllables (CV), one\n"
             "recording each, at a steady %.6g Hz.\n\n",
             syllable_count, run.sets[0].f0);
    } else {
        putf(t,
             "A voicebank for UTAU and OpenUtau: %d Japanese syllables (CV), one\n"
             "recording each, at each of %d steady pitches, a folder for each:\n",
             syllable_count, run.set_count);
        for (int i = 0; i < run.set_count; ++i)
            putf(t, "  %-6s %.6g Hz\n", run.sets[i].folder, run.sets[i].f0);
        put(t, "For each note the samplers take the recordings of the nearest pitch\n"
               "(prefix.map).\n\n");
    }

    putf(t, "Made by %s with\n", run.program);
    putf(t, "  Voice: %s\n", run.voice);
    putf(t, "  Speed: %d (n, the moraic nasal, always at %d)\n", run.speed, moraic_nasal_speed);
    putf(t, "  SamplingRate: %d\n", run.rate);
    putf(t, "  Sinc Filter: %s\n", run.sinc_filter ? "On" : "Off");
    if (pitch_said)
        putf(t, "  Pitch: %s\n", run.pitch);
    if (run.name != nullptr)
        putf(t, "  Name: %s\n", run.name);
    char name_option[4 * bank_name_max + 16] = "";
    if (run.name != nullptr)
        shell_option("-name", run.name, name_option, sizeof name_option);
    putf(t, "that is: morivox -voice %s -speed %d -rate %d%s%s%s%s -oto\n", run.voice, run.speed, run.rate,
         run.sinc_filter ? " -sinc" : "", pitch_said ? " -pitch " : "", pitch_said ? run.pitch : "", name_option);
    put(t, "The same command with the same voice data gives the same files.\n\n");

    // One file a line, its name in a column wide enough for the longest.
    const int width = several ? 26 : 20;
    const auto file = [&](const char* name, const char* what) { putf(t, "  %-*s %s\n", width, name, what); };
    put(t, "Files\n");
    if (!several) {
        file("<syllable>.wav", "the recordings, 16-bit mono");
        file("<syllable>_wav.frq", "their frequency maps: pitch and level every 256");
        file("", "samples, from the voice's set pitch, not estimated");
        file("oto.ini", "where each recording's parts lie (Shift-JIS)");
    } else {
        char aliases[64];
        snprintf(aliases, sizeof aliases, "aliases end in the folder's note: ka%s", run.sets[0].suffix);
        file("<note>/<syllable>.wav", "the recordings, 16-bit mono, a folder per pitch");
        file("<note>/<syllable>_wav.frq", "their frequency maps: pitch and level every 256");
        file("", "samples, from the voice's set pitch, not estimated");
        file("<note>/oto.ini", "where each recording's parts lie (Shift-JIS); the");
        file("", aliases);
        file("prefix.map", "the pitch the samplers take for each note, C1 to B7");
    }
    file("character.txt", "the voicebank's name, icon and sample (Shift-JIS)");
    file("character.yaml", "the text encoding, for OpenUtau");
    file(bank_icon_file, "the icon");
    char phrase[96];
    snprintf(phrase, sizeof phrase, "a phrase made from the recordings%s%s: \"hajimemashite\"", several ? " in " : "",
             several ? run.sets[0].folder : "");
    if (sample)
        file(bank_sample_file, phrase);
    file("readme.txt", "this file");
    put(t, "\n");

    put(t, "Install\n"
           "  OpenUtau: copy this folder into OpenUtau's Singers folder.\n"
           "  UTAU: copy this folder into UTAU's voice folder and choose it as the\n"
           "  project's voicebank.\n\n");

    put(t, "Made again\n"
           "  Making the bank again in this folder removes the frequency maps and\n"
           "  the resamplers' analysis files beside the recordings it replaces. A\n"
           "  sampler's own cache outside the bank stays: clear it after the bank\n"
           "  is made again, or the old recordings go on singing (OpenUtau: Tools,\n"
           "  Clear Cache; UTAU: the project's .cache folder beside its .ust).\n\n");

    put(t, "Voice\n");
    const bank_voice* v = bank_find_voice(run.voice);
    if (v != nullptr) {
        put(t, v->about);
        put(t, "\nTerms of use\n");
        put(t, v->terms);
    } else {
        putf(t, "Morivox has no credits for the voice '%s'.\n", run.voice);
    }
    return finish(t, out);
}

int bank_rate_warning(int rate, char* out, size_t size)
{
    int n = 0;
    if (rate == bank_sampler_rate) {
        if (size == 0)
            return bank_no_room;
        out[0] = '\0';
    } else {
        n = snprintf(out, size,
                     "warning: the voicebank's recordings are at %d Hz, but UTAU and OpenUtau expect %d Hz\n", rate,
                     bank_sampler_rate);
        if (n < 0 || static_cast<size_t>(n) >= size)
            return bank_no_room;
    }
    return n;
}

int bank_prefix_map(const bank_set* sets, int set_count, bank_bytes* out)
{
    *out = {nullptr, 0};
    if (set_count < 1)
        return bank_bad_input;
    text_block t = {};
    for (int note = bank_map_highest; note >= bank_map_lowest; --note) {
        int nearest = 0;
        for (int i = 1; i < set_count; ++i) {
            const int d = std::abs(sets[i].note - note), best = std::abs(sets[nearest].note - note);
            if (d < best || (d == best && sets[i].note < sets[nearest].note))
                nearest = i;
        }
        char name[note_name_room];
        note_name(note, name, sizeof name);
        putf(t, "%s\t\t%s\n", name, sets[nearest].suffix);
    }
    return finish(t, out);
}
