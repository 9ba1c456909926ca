#include "bank/bank.h"
#include "synth/credits.h"
#include "synth/synth.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <map>
#include <string>
#include <vector>

namespace {

std::string text(const bank_bytes& b)
{
    std::string s(reinterpret_cast<const char*>(b.bytes), b.size);
    free(b.bytes);
    return s;
}

// Every line of `s` ends with CR LF, and no CR or LF stands alone.
bool crlf_lines(const std::string& s)
{
    if (s.size() < 2 || s.compare(s.size() - 2, 2, "\r\n") != 0)
        return false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && (i + 1 >= s.size() || s[i + 1] != '\n'))
            return false;
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
            return false;
    }
    return true;
}

std::string trim(const std::string& s)
{
    const size_t a = s.find_first_not_of(" \t\r\n");
    const size_t b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::vector<std::string> split(const std::string& s, char mark)
{
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t at; (at = s.find(mark, from)) != std::string::npos; from = at + 1)
        parts.push_back(s.substr(from, at - from));
    parts.push_back(s.substr(from));
    return parts;
}

// An oto.ini line as OpenUtau's ParseOto reads it (trimmed, split at '='
// then ','; a missing or empty number is 0, any other must parse whole),
// and the errors its VoicebankErrorChecker.CheckOto gives for a file of
// `duration` ms.
struct openutau_oto {
    bool valid = false;
    std::string wav, alias;
    double offset = 0, consonant = 0, cutoff = 0, preutter = 0, overlap = 0;
};

openutau_oto parse_oto(const std::string& line)
{
    openutau_oto o;
    const std::vector<std::string> halves = split(trim(line), '=');
    if (halves.size() < 2)
        return o;
    o.wav = trim(halves[0]);
    const std::vector<std::string> f = split(halves[1], ',');
    o.alias = f[0];
    double* numbers[] = {&o.offset, &o.consonant, &o.cutoff, &o.preutter, &o.overlap};
    for (size_t i = 0; i < 5; ++i) {
        const std::string s = i + 1 < f.size() ? trim(f[i + 1]) : "";
        if (s.empty())
            continue;
        char* end = nullptr;
        *numbers[i] = strtod(s.c_str(), &end);
        if (*end != '\0')
            return o;
    }
    o.valid = true;
    return o;
}

std::string checker_errors(const openutau_oto& o, double duration)
{
    const double cut = o.cutoff < 0 ? o.offset - o.cutoff : duration - o.cutoff;
    const struct {
        bool fails;
        const char* what;
    } rules[] = {
        {o.offset < 0, "offset < 0"},
        {o.offset > duration, "offset past the end"},
        {o.preutter < 0, "preutterance < 0"},
        {o.offset + o.preutter > duration, "preutterance past the end"},
        {o.consonant < 0, "consonant < 0"},
        {o.offset + o.consonant > duration, "consonant past the end"},
        {o.offset + o.overlap > duration, "overlap past the end"},
        {cut < o.offset + o.preutter, "cut before the preutterance"},
        {cut < o.offset + o.overlap, "cut before the overlap"},
        {cut <= o.offset + o.consonant, "cut not after the consonant"},
        {cut > duration, "cut past the end"},
    };
    std::string errors;
    for (const auto& r : rules)
        errors += r.fails ? std::string(errors.empty() ? "" : "; ") + r.what : "";
    return errors;
}

// oto.ini lines decode as CP932 to the names given, read as OpenUtau reads
// them, and pass its checker for values inside the file; names that CP932
// or the line cannot hold are refused.
TEST(BankText, OtoLinesReadAsOpenUtauReadsThem)
{
    const struct {
        const char* file;
        const char* alias;
        oto_entry values;
        double duration;  // ms
        int result;       // bank_ok: the line is written
        const char* errors;
        const char* why;
    } rows[] = {
        {"か.wav", "か", {54, 97, -357, 67, 5}, 424.9, bank_ok, "", "a table name"},
        {"キ゜ェ.wav", "キ゜ェ", {0, 30, -309, 0, 0}, 322, bank_ok, "", "the longest name, with the mark"},
        {"ん.wav", "ん_A3", {40, 19, -20, 10, 10}, 70, bank_ok, "", "an ASCII suffix on an alias"},
        {"A3/か.wav", "か", {40, 19, -20, 10, 10}, 70, bank_ok, "", "a subfolder"},
        {"ん.wav", "ん", {40, 20, -20, 10, 10}, 70, bank_ok, "cut not after the consonant",
         "the cut must lie after the fixed part, not on it"},
        {"か.wav", "か", {54, 97, -400, 67, 5}, 424.9, bank_ok, "cut past the end",
         "written as given: the checker sees the cut past the end"},
        {"亜.wav", "亜", {}, 0, bank_not_cp932, "", "CP932 has it, the program writes no kanji: never guessed"},
        {"か.wav", "か_Ä", {}, 0, bank_not_cp932, "", "a suffix CP932 cannot hold"},
        {"か.wav", "か,1", {}, 0, bank_bad_name, "", "a comma would shift the values"},
        {"か=.wav", "か", {}, 0, bank_bad_name, "", "an '=' would end the file name"},
        {"か.wav", "", {}, 0, bank_bad_name, "", "no alias"},
        {"か.wav ", "か", {}, 0, bank_bad_name, "", "OpenUtau trims the file name"},
        {"か.wav", "か\n", {}, 0, bank_bad_name, "", "a line feed would split the line"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        char line[128];
        const int n = bank_oto_line(r.file, r.alias, r.values, line, sizeof line);
        if (r.result != bank_ok) {
            EXPECT_EQ(n, r.result);
            EXPECT_NE(bank_error_message(n), nullptr);
            continue;
        }
        ASSERT_GT(n, 0) << bank_error_message(n);
        std::string decoded;
        ASSERT_TRUE(convert_text("CP932", "UTF-8", std::string(line, n), &decoded));
        char want[128];
        snprintf(want, sizeof want, "%s=%s,%d,%d,%d,%d,%d\r\n", r.file, r.alias, r.values.offset, r.values.consonant,
                 r.values.cutoff, r.values.preutterance, r.values.overlap);
        EXPECT_EQ(decoded, want);
        // utaupy splits at every '=' and ',': seven fields.
        EXPECT_EQ(split(decoded, ',').size() + split(decoded, '=').size(), 8u);
        const openutau_oto o = parse_oto(decoded);
        ASSERT_TRUE(o.valid);
        EXPECT_EQ(o.wav, r.file);
        EXPECT_EQ(o.alias, r.alias);
        EXPECT_EQ(o.offset, r.values.offset);
        EXPECT_EQ(o.consonant, r.values.consonant);
        EXPECT_EQ(o.cutoff, r.values.cutoff);
        EXPECT_EQ(o.preutter, r.values.preutterance);
        EXPECT_EQ(o.overlap, r.values.overlap);
        EXPECT_EQ(checker_errors(o, r.duration), r.errors);
        EXPECT_EQ(bank_oto_line(r.file, r.alias, r.values, line, static_cast<size_t>(n) - 1), bank_no_room);
    }
}


std::string utf8_of(unsigned code)
{
    std::string s;
    if (code < 0x800) {
        s += static_cast<char>(0xC0 | code >> 6);
    } else {
        s += static_cast<char>(0xE0 | code >> 12);
        s += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    }
    s += static_cast<char>(0x80 | (code & 0x3F));
    return s;
}

// Every kana (the hiragana and katakana blocks, half-width katakana) is
// written as iconv's CP932 writes it, and refused exactly where CP932 has
// no such character; other scripts are refused even where CP932 has them.
TEST(BankText, KanaAreWrittenAsCp932WritesThem)
{
    int written = 0;
    for (const auto& [first, last] : {std::pair{0x3040u, 0x30FFu}, std::pair{0xFF61u, 0xFF9Fu}}) {
        for (unsigned code = first; code <= last; ++code) {
            const std::string in = utf8_of(code);
            std::string want;
            const bool cp932 = convert_text("UTF-8", "CP932", in, &want);
            char out[8];
            const int n = bank_to_cp932(in.c_str(), out, sizeof out);
            if (!cp932) {
                EXPECT_EQ(n, bank_not_cp932) << std::hex << "U+" << code << ": CP932 has no such character";
                continue;
            }
            ASSERT_GT(n, 0) << std::hex << "U+" << code << " is in CP932";
            EXPECT_EQ(std::string(out, n), want) << std::hex << "U+" << code;
            ++written;
        }
    }
    EXPECT_EQ(written, 83 + 86 + 8 + 63) << "hiragana, katakana, their marks, half-width katakana";
    for (const char* other : {"亜", "Ä", "。", "\xe3\x81", "\xc0\xaf", "\xed\xa0\x80"}) {
        char out[8];
        EXPECT_EQ(bank_to_cp932(other, out, sizeof out), bank_not_cp932) << other;
    }
}

// A name fits a buffer with room for its bytes and the NUL, and nothing is
// written past the buffer; one byte less is no room.
TEST(BankText, NamesFitTheirBufferExactly)
{
    const struct {
        const char* utf8;
        const char* sjis;
    } rows[] = {{"", ""}, {"A", "A"}, {"かA", "\x82\xa9" "A"}, {"ｶ", "\xb6"}, {"キ゜ェ", "\x83\x4c\x81\x4b\x83\x46"}};
    for (const auto& r : rows) {
        const size_t length = strlen(r.sjis);
        char out[16];
        memset(out, 'x', sizeof out);
        ASSERT_EQ(bank_to_cp932(r.utf8, out, length + 1), static_cast<int>(length)) << r.utf8;
        EXPECT_EQ(std::string(out, length + 1), std::string(r.sjis, length + 1)) << r.utf8;
        EXPECT_EQ(out[length + 1], 'x') << r.utf8 << ": nothing past the buffer";
        memset(out, 'x', sizeof out);
        EXPECT_EQ(bank_to_cp932(r.utf8, out, length), bank_no_room) << r.utf8;
        EXPECT_EQ(out[length], 'x') << r.utf8 << ": nothing past the buffer";
    }
}

// character.txt and readme.txt decode as CP932 with CR LF lines and say
// what OpenUtau and a reader need: the singer's name (the one given, or
// the voice's with the pitches of several sets), the command that makes
// the bank again, that a sampler's cache must be cleared then;
// character.yaml names their encoding.
TEST(BankText, FilesDecodeAsShiftJisAndSayWhatMadeThem)
{
    const bank_list* cv = &bank_list_of(bank_list_cv);
    const bank_set one[] = {{cv, "", "", 45, 110.0, nullptr, nullptr}};
    const bank_set three[] = {{cv, "A2/", "_A2", 45, 110.0, nullptr, nullptr},
                              {cv, "A3/", "_A3", 57, 220.0, nullptr, nullptr},
                              {cv, "Eb4/", "_Eb4", 63, 311.127, nullptr, nullptr}};
    const struct {
        const char* voice;
        bool sample;
        const char* name;  // -name, or null
        const bank_set* sets;
        int set_count;
        const char* pitch;
        std::string singer, underline, command_tail;
        std::vector<const char*> credits;  // in readme.txt
    } rows[] = {
        {"hts", true, nullptr, one, 1, nullptr, "Morivox hts", "===========", " -oto",
         {"nitech_jp_atr503_m001", "Nagoya Institute of Technology", "Creative Commons Attribution 3.0",
          "https://creativecommons.org/licenses/by/3.0/", "credit the voice"}},
        {"espeak", false, nullptr, one, 1, nullptr, "Morivox espeak", "==============", " -oto",
         {"eSpeak NG", "GNU General Public License, version 3 or later", "Jonathan Duddington"}},
        {"fake", true, nullptr, one, 1, nullptr, "Morivox fake", "============", " -oto", {"no credits"}},
        {"hts", true, nullptr, three, 3, "A2,A3,Eb4", "Morivox hts A2 A3 Eb4", std::string(21, '='),
         " -pitch A2,A3,Eb4 -oto", {"A2/", "Eb4/"}},
        {"hts", true, "Low Kai", one, 1, nullptr, "Low Kai", "=======", " -name 'Low Kai' -oto", {"Name: Low Kai"}},
        {"espeak", true, "はなこ2", three, 3, "A2,A3,Eb4", "はなこ2", "=======",
         " -pitch A2,A3,Eb4 -name 'はなこ2' -oto", {}},
        {"espeak", true, "it's", one, 1, nullptr, "it's", "====", " -name 'it'\\''s' -oto", {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.singer);
        const bank_run run = {"Morivox Ver1.00", r.voice, r.name, 123, 48000, true, r.pitch, r.sets, r.set_count};
        char singer[128];
        ASSERT_EQ(bank_singer_name(run, singer, sizeof singer), static_cast<int>(r.singer.size()));
        EXPECT_EQ(singer, r.singer);
        EXPECT_EQ(bank_singer_name(run, singer, r.singer.size()), bank_no_room);
        bank_bytes b;
        ASSERT_EQ(bank_character_txt(r.singer.c_str(), r.voice, r.sample, &b), bank_ok);
        std::string character;
        ASSERT_TRUE(convert_text("CP932", "UTF-8", text(b), &character));
        EXPECT_TRUE(crlf_lines(character)) << character;
        // As OpenUtau's ParseCharacterTxt: trimmed lines, split at the first '='.
        std::map<std::string, std::string> keys;
        for (const std::string& line : split(character, '\n')) {
            const size_t eq = trim(line).find('=');
            if (eq != std::string::npos)
                keys[trim(line).substr(0, eq)] = trim(line).substr(eq + 1);
        }
        const synth_credits* v = synth_find_credits(r.voice);
        EXPECT_EQ(keys["name"], r.singer);
        EXPECT_EQ(keys["image"], bank_icon_file);
        EXPECT_EQ(keys["author"], "Morivox");
        EXPECT_EQ(keys.count("voice"), v ? 1u : 0u);
        EXPECT_EQ(keys["voice"], v ? v->credit : "");
        EXPECT_EQ(keys.count("sample"), r.sample ? 1u : 0u);
        EXPECT_EQ(keys["sample"], r.sample ? bank_sample_file : "");

        ASSERT_EQ(bank_readme(run, r.sample, &b), bank_ok);
        const std::string raw = text(b);
        const bool ascii_name = std::all_of(r.singer.begin(), r.singer.end(), [](char c) { return c > 0; });
        for (unsigned char c : raw)
            ASSERT_TRUE(c < 0x80 || !ascii_name) << "plain ASCII but for a name's kana, the same in every encoding";
        std::string readme;
        ASSERT_TRUE(convert_text("CP932", "UTF-8", raw, &readme));
        EXPECT_TRUE(crlf_lines(readme));
        EXPECT_EQ(readme.substr(0, readme.find("\r\n\r\n")), r.singer + "\r\n" + r.underline)
            << "the name, underlined as wide as it shows";
        const std::string command = std::string("morivox -voice ") + r.voice + " -speed 123 -rate 48000 -sinc" +
                                    r.command_tail + "\r\n";
        for (const char* want : {"Morivox Ver1.00", "Speed: 123", "SamplingRate: 48000", "Sinc Filter: On", " Hz",
                                 command.c_str(), "clear it after the bank\r\n  is made again"})
            EXPECT_NE(readme.find(want), std::string::npos) << want;
        for (const char* want : r.credits)
            EXPECT_NE(readme.find(want), std::string::npos) << want;
        EXPECT_EQ(readme.find(bank_sample_file) != std::string::npos, r.sample);
        ASSERT_EQ(bank_readme(run, r.sample, &b), bank_ok);
        EXPECT_EQ(text(b), raw) << "the same run, the same bytes";
    }

    bank_bytes b;
    ASSERT_EQ(bank_character_yaml(bank_list_of(bank_list_cv), &b), bank_ok);
    EXPECT_EQ(text(b), "text_file_encoding: shift_jis\nsinger_type: classic\n");
    ASSERT_EQ(bank_character_yaml(bank_list_of(bank_list_vcv), &b), bank_ok);
    EXPECT_EQ(text(b), "text_file_encoding: shift_jis\nsinger_type: classic\n"
                       "default_phonemizer: OpenUtau.Plugin.Builtin.JapanesePresampPhonemizer\n");

    char warning[256];
    EXPECT_EQ(bank_rate_warning(44100, warning, sizeof warning), 0);
    ASSERT_GT(bank_rate_warning(48000, warning, sizeof warning), 0);
    EXPECT_NE(std::string(warning).find("48000 Hz"), std::string::npos) << warning;
    EXPECT_NE(std::string(warning).find("44100 Hz"), std::string::npos) << warning;
}

// A singer's name: ASCII and kana, as the samplers keep it (no space at
// either end, no control character), at most bank_name_max bytes.
TEST(BankText, SingerNames)
{
    const struct {
        std::string name;
        int result;
    } rows[] = {
        {"Low Kai", bank_ok},           {"はなこ", bank_ok},          {"カ゜ー・ｶ A2=3", bank_ok},
        {std::string(64, 'n'), bank_ok}, {std::string(65, 'n'), bank_bad_name}, {"", bank_bad_name},
        {" Kai", bank_bad_name},         {"Kai ", bank_bad_name},       {"a\tb", bank_bad_name},
        {"a\x7f", bank_bad_name},        {"花子", bank_not_cp932},       {"Zoë", bank_not_cp932},
        {"\xff", bank_not_cp932},
    };
    for (const auto& r : rows)
        EXPECT_EQ(bank_check_name(r.name.c_str()), r.result) << r.name;
}

// Every voice of the build has its credits in the voicebank's text.
TEST(BankText, EveryVoiceHasCredits)
{
    for (const synth_voice* const* v = synth_voices; *v != nullptr; ++v)
        EXPECT_NE(synth_find_credits((*v)->name), nullptr) << (*v)->name;
}

// The icon: a 100x100 24-bit bottom-up BMP with a plain BITMAPINFOHEADER,
// one look per voice, the same bytes every time.
TEST(BankIcon, IsThePlainestBmp)
{
    std::map<std::string, std::vector<uint8_t>> icons;
    for (const char* voice : {"espeak", "hts", "fake"}) {
        SCOPED_TRACE(voice);
        bank_bytes out;
        ASSERT_EQ(bank_icon(voice, nullptr, 0, &out), bank_ok);
        const std::vector<uint8_t> b(out.bytes, out.bytes + out.size);
        free(out.bytes);
        ASSERT_EQ(b.size(), 14u + 40u + 100u * 100u * 3u);
        EXPECT_EQ(b[0], 'B');
        EXPECT_EQ(b[1], 'M');
        const struct {
            size_t at;
            int bytes;
            int32_t want;
            const char* field;
        } fields[] = {{2, 4, 30054, "file size"},  {6, 4, 0, "reserved"},     {10, 4, 54, "pixels' offset"},
                      {14, 4, 40, "header size"},  {18, 4, 100, "width"},     {22, 4, 100, "height: bottom up"},
                      {26, 2, 1, "planes"},        {28, 2, 24, "bits"},       {30, 4, 0, "BI_RGB"},
                      {34, 4, 30000, "image size"}, {46, 4, 0, "palette"},    {50, 4, 0, "important colours"}};
        for (const auto& f : fields) {
            int32_t v = 0;
            memcpy(&v, b.data() + f.at, f.bytes);
            EXPECT_EQ(v, f.want) << f.field;
        }
        // Bottom-left pixel is the paper; a point of the disc below the
        // trace holds the voice's colour.
        auto pixel = [&](int x, int y_from_top) { return b.data() + 54 + 300 * (99 - y_from_top) + 3 * x; };
        const uint8_t* paper = pixel(0, 99);
        const uint8_t* disc = pixel(50, 85);
        EXPECT_NE(memcmp(paper, disc, 3), 0);
        if (const bank_icon_style* v = bank_find_icon_style(voice)) {
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(disc[2 - c], v->colour[c], 48) << "channel " << c;
        }
        // Lit from the top left: the top of the disc is lighter than its bottom.
        const auto lightness = [](const uint8_t* p) { return p[0] + p[1] + p[2]; };
        EXPECT_GT(lightness(pixel(50, 10)), lightness(pixel(50, 89)) + 60) << "the right way up";
        bank_icon(voice, nullptr, 0, &out);
        EXPECT_EQ(std::vector<uint8_t>(out.bytes, out.bytes + out.size), b);
        free(out.bytes);
        icons[voice] = b;
    }
    EXPECT_NE(icons["espeak"], icons["hts"]);
}

// The icon drawn plainly: every point of every pixel's 4 x 4 grid tested
// against every segment of the trace within reach in x.
std::vector<uint8_t> plain_icon(const char* voice, const std::vector<int>& notes)
{
    struct rgb {
        double r, g, b;
    };
    struct point {
        double x, y;
    };
    const auto mix = [](rgb a, rgb b, double t) {
        return rgb{a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
    };
    const double centre = 50, radius = 46, wave_left = 14, wave_right = 86, line_left = 10, line_right = 90;
    const double amplitude = 26, half_width = 3.2, step = 0.125;
    const int points = static_cast<int>((line_right - line_left) / step) + 1;
    const bank_icon_style* style = bank_find_icon_style(voice);
    const uint8_t grey[3] = {0x70, 0x70, 0x70};
    const uint8_t* c = style ? style->colour : grey;
    const int cycles = style ? style->cycles : 3;
    const rgb colour = {double(c[0]), double(c[1]), double(c[2])}, white = {255, 255, 255};
    const rgb paper = mix(colour, white, 0.88), light = mix(colour, white, 0.3), dark = mix(colour, {0, 0, 0}, 0.25);
    std::vector<point> trace(static_cast<size_t>(points));
    for (int i = 0; i < points; ++i) {
        const double x = line_left + i * step;
        double y = centre;
        if (x > wave_left && x < wave_right) {
            const double u = (2 * x - wave_left - wave_right) / (wave_right - wave_left);
            const double phase = cycles * (x - wave_left) / (wave_right - wave_left), f = phase - std::floor(phase);
            const double w = f < 0.5 ? 16 * f * (0.5 - f) : -16 * (f - 0.5) * (1 - f);
            y = centre - amplitude * (1 - u * u) * (1 - u * u) * w;
        }
        trace[static_cast<size_t>(i)] = {x, y};
    }
    std::vector<point> dots;
    double dot_radius = 0;
    if (notes.size() > 1) {
        const int n = static_cast<int>(notes.size());
        const double spacing = (n - 1) * 10.0 > 28 ? 28.0 / (n - 1) : 10;
        dot_radius = spacing * 0.4 < 3.5 ? spacing * 0.4 : 3.5;
        for (int i = 0; i < n; ++i) {
            const double height = double(notes[static_cast<size_t>(i)] - note_lowest) / (note_highest - note_lowest);
            dots.push_back({centre + (i - (n - 1) / 2.0) * spacing, 89.5 + (86 - 89.5) * height});
        }
    }
    const auto on_trace = [&](point p) {
        if (p.x < line_left - half_width || p.x > line_right + half_width)
            return false;
        const int first = std::max(0, static_cast<int>((p.x - half_width - line_left) / step) - 1);
        const int last = std::min(points - 2, static_cast<int>((p.x + half_width - line_left) / step) + 1);
        for (int i = first; i <= last; ++i) {
            const point a = trace[static_cast<size_t>(i)], b = trace[static_cast<size_t>(i) + 1];
            const double dx = b.x - a.x, dy = b.y - a.y;
            const double t = std::fmax(0.0, std::fmin(1.0, ((p.x - a.x) * dx + (p.y - a.y) * dy) / (dx * dx + dy * dy)));
            const double ex = a.x + t * dx - p.x, ey = a.y + t * dy - p.y;
            if (ex * ex + ey * ey <= half_width * half_width)
                return true;
        }
        return false;
    };
    std::vector<uint8_t> b(54 + 30000);
    bank_bytes header;
    EXPECT_EQ(bank_icon(voice, notes.data(), static_cast<int>(notes.size()), &header), bank_ok);
    memcpy(b.data(), header.bytes, 54);  // the headers are tested above
    free(header.bytes);
    for (int py = 0; py < 100; ++py) {
        for (int px = 0; px < 100; ++px) {
            rgb sum = {0, 0, 0};
            for (int j = 0; j < 4; ++j) {
                for (int i = 0; i < 4; ++i) {
                    const double x = px + (i + 0.5) / 4, y = py + (j + 0.5) / 4;
                    rgb p = paper;
                    if (std::sqrt((x - centre) * (x - centre) + (y - centre) * (y - centre)) <= radius) {
                        bool dot = false;
                        for (const point& d : dots)
                            dot = dot || (x - d.x) * (x - d.x) + (y - d.y) * (y - d.y) <= dot_radius * dot_radius;
                        const double lit = std::sqrt((x - 32) * (x - 32) + (y - 28) * (y - 28));
                        p = on_trace({x, y}) || dot ? white : mix(light, dark, std::fmin(1.0, lit / 80));
                    }
                    sum = {sum.r + p.r, sum.g + p.g, sum.b + p.b};
                }
            }
            uint8_t* out = b.data() + 54 + 300 * (99 - py) + 3 * px;
            out[0] = static_cast<uint8_t>(std::fmin(255.0, sum.b / 16 + 0.5));
            out[1] = static_cast<uint8_t>(std::fmin(255.0, sum.g / 16 + 0.5));
            out[2] = static_cast<uint8_t>(std::fmin(255.0, sum.r / 16 + 0.5));
        }
    }
    return b;
}

// Every pixel is the plain drawing's, for each voice's look and with dots
// for several pitches, many of them, in any order.
TEST(BankIcon, IsThePlainDrawing)
{
    std::vector<int> every;
    for (int n = note_lowest; n <= note_highest; ++n)
        every.push_back(n);
    const std::vector<int> note_sets[] = {{}, {45, 57}, {45, 57, 64}, {72, 36}, every};
    for (const char* voice : {"espeak", "hts", "fake"}) {
        for (const std::vector<int>& notes : note_sets) {
            bank_bytes out;
            ASSERT_EQ(bank_icon(voice, notes.data(), static_cast<int>(notes.size()), &out), bank_ok);
            const std::vector<uint8_t> got(out.bytes, out.bytes + out.size);
            free(out.bytes);
            EXPECT_TRUE(got == plain_icon(voice, notes)) << voice << ", " << notes.size() << " notes";
        }
    }
}

// A bank of several pitches: a white dot per pitch under the waveform, in
// their order, each the higher the higher its note; one pitch, none.
TEST(BankIcon, ShowsThePitchesOfABankOfSeveral)
{
    const auto icon = [](std::vector<int> notes) {
        bank_bytes out;
        EXPECT_EQ(bank_icon("hts", notes.data(), static_cast<int>(notes.size()), &out), bank_ok);
        std::vector<uint8_t> b(out.bytes, out.bytes + out.size);
        free(out.bytes);
        return b;
    };
    const std::vector<uint8_t> plain = icon({}), a2 = icon({45}), three = icon({45, 57, 64}), two = icon({45, 57}),
                               reversed = icon({64, 57, 45});
    EXPECT_EQ(a2, plain) << "one pitch: no dot";
    EXPECT_NE(three, two);
    EXPECT_NE(three, reversed);
    const auto white = [](const std::vector<uint8_t>& b, int x, int y_from_top) {
        const uint8_t* p = b.data() + 54 + 300 * (99 - y_from_top) + 3 * x;
        return p[0] > 240 && p[1] > 240 && p[2] > 240;
    };
    // Three dots 10 pixels apart around the middle, under the waveform:
    // white at the centre, the disc's colour beside and below.
    for (int x : {40, 50, 60}) {
        EXPECT_TRUE(white(three, x, 87)) << x;
        EXPECT_FALSE(white(three, x, 93)) << x << ": nothing below the dot";
        EXPECT_FALSE(white(three, x + 5, 87)) << x << ": nothing beside it";
    }
    // C2, C5, F#3: the dots' middles from 89.5 pixels down (C2) up to 86 (C5).
    const std::vector<uint8_t> apart = icon({36, 72, 54});
    const auto middle = [&](int x) {
        int first = 0, last = 0;
        for (int y = 80; y < 96; ++y) {
            if (white(apart, x, y))
                last = y, first = first ? first : y;
        }
        return (first + last) / 2.0;
    };
    EXPECT_GT(middle(40), middle(60)) << "C2 lower than F#3";
    EXPECT_GT(middle(60), middle(50)) << "F#3 lower than C5";
}

int32_t int32_at(const std::vector<uint8_t>& b, size_t at)
{
    int32_t v;
    memcpy(&v, b.data() + at, sizeof v);
    return v;
}

double double_at(const std::vector<uint8_t>& b, size_t at)
{
    double v;
    memcpy(&v, b.data() + at, sizeof v);
    return v;
}

// A frequency map holds, frame by frame, f0 where most of the frame is
// voiced and the frame's mean absolute sample value, in OpenUtau's layout.
TEST(BankFrq, MapMatchesTheRecording)
{
    const int rate = 44100;
    const double f0 = 110;
    const struct {
        size_t count;
        std::vector<bank_span> spans;
        int frames;
        double average;
        const char* why;
    } rows[] = {
        {10000, {{1000, 6000}}, 40, 110, "a tone inside silence: frames 4 to 22 voiced"},
        {2560, {{0, 2560}}, 11, 110, "a multiple of 256: one more frame, empty"},
        {1024, {{0, 128}, {256, 385}}, 5, 110, "half a frame voiced is unvoiced, one sample more is voiced"},
        {700, {}, 3, 0, "nothing voiced: the average is 0"},
        {0, {}, 1, 0, "no sample: one empty frame"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        std::vector<int16_t> x(r.count, 0);
        std::vector<bool> voiced(r.count, false);
        for (const bank_span& s : r.spans) {
            for (size_t i = s.start; i < s.end; ++i) {
                x[i] = static_cast<int16_t>(std::lround(8000 * std::sin(2 * M_PI * f0 * i / rate)));
                voiced[i] = true;
            }
        }
        bank_bytes out;
        ASSERT_EQ(bank_frq(x.data(), x.size(), f0, r.spans.data(), r.spans.size(), &out), bank_ok);
        const std::vector<uint8_t> b(out.bytes, out.bytes + out.size);
        free(out.bytes);
        ASSERT_EQ(b.size(), 40u + 16u * r.frames);
        EXPECT_EQ(std::string(b.begin(), b.begin() + 8), "FREQ0003");
        EXPECT_EQ(int32_at(b, 8), 256);
        EXPECT_EQ(double_at(b, 12), r.average);
        EXPECT_EQ(std::vector<uint8_t>(b.begin() + 20, b.begin() + 36), std::vector<uint8_t>(16, 0));
        ASSERT_EQ(int32_at(b, 36), r.frames);
        for (int i = 0; i < r.frames; ++i) {
            size_t in = 0, on = 0;
            double sum = 0;
            for (size_t k = 256 * i; k < std::min<size_t>(256 * i + 256, r.count); ++k, ++in) {
                on += voiced[k];
                sum += std::abs(x[k]);
            }
            EXPECT_EQ(double_at(b, 40 + 16 * i), 2 * on > in ? f0 : 0.0) << "frame " << i;
            EXPECT_EQ(double_at(b, 48 + 16 * i), in ? sum / in : 0.0) << "frame " << i;
        }
        if (r.count == 10000) {
            EXPECT_NEAR(pitch_at(x, 3500, rate), double_at(b, 40 + 16 * 13), 0.5) << "the tone's own pitch";
        }
    }

    const std::vector<int16_t> x(1000, 0);
    const struct {
        std::vector<bank_span> spans;
        double f0;
    } bad[] = {{{{0, 1001}}, 110}, {{{500, 600}, {100, 200}}, 110}, {{{10, 10}}, 110}, {{}, 0}, {{}, NAN}};
    for (const auto& r : bad) {
        bank_bytes out;
        EXPECT_EQ(bank_frq(x.data(), x.size(), r.f0, r.spans.data(), r.spans.size(), &out), bank_bad_input);
        EXPECT_EQ(out.bytes, nullptr);
    }

    const struct {
        const char* wav;
        const char* frq;
    } names[] = {{"か.wav", "か_wav.frq"}, {"A3/キ゜ェ.wav", "A3/キ゜ェ_wav.frq"}, {"a.b/c", "a.b/c.frq"}};
    for (const auto& n : names) {
        char out[64];
        ASSERT_GT(bank_frq_name(n.wav, out, sizeof out), 0);
        EXPECT_STREQ(out, n.frq);
        EXPECT_EQ(bank_frq_name(n.wav, out, strlen(n.frq)), bank_no_room);
    }
}

// The phrase places its pieces on equal beats: each piece's own level
// holds from its fade-in's end, no step is sharper than a fade allows, and
// the last piece runs to the end of its recording. At 1000 Hz a sample is
// a millisecond.
TEST(BankPhrase, PiecesFallOnEqualBeats)
{
    const struct {
        int length;     // of each recording, ms
        oto_entry oto;  // the same for every piece
        int note;       // ms between beats
        const char* why;
    } rows[] = {
        {500, {10, 60, -300, 50, 20}, 280, "the vowel holds 300 - 50 ms, the next one starts 50 - 20 before its beat"},
        {1500, {10, 60, -1000, 50, 20}, 300, "long vowels: a note is at most 300 ms"},
        {200, {10, 60, -100, 80, 20}, 120, "short vowels: at least 120 ms, with a gap"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        const int pieces = 4;
        std::vector<std::vector<int16_t>> recordings;
        std::vector<bank_piece> p;
        for (int k = 0; k < pieces; ++k)
            recordings.emplace_back(r.length, static_cast<int16_t>(1000 * (k + 1)));
        for (int k = 0; k < pieces; ++k)
            p.push_back({recordings[k].data(), recordings[k].size(), r.oto});
        int16_t* out = nullptr;
        size_t count = 0;
        ASSERT_EQ(bank_phrase(p.data(), p.size(), 1000, &out, &count), bank_ok);
        const std::vector<int16_t> y(out, out + count);
        free(out);
        const int fade_in = std::max(r.oto.overlap, 5);
        for (int k = 0; k < pieces; ++k) {
            const int beat = k * r.note + r.oto.preutterance;
            EXPECT_EQ(y[beat - r.oto.preutterance + fade_in], 1000 * (k + 1)) << "piece " << k;
            if (k > 0) {
                EXPECT_NE(y[beat - r.oto.preutterance + fade_in - 2], 1000 * (k + 1)) << "piece " << k << " fades in";
            }
        }
        EXPECT_EQ(count, static_cast<size_t>((pieces - 1) * r.note + r.length - r.oto.offset))
            << "the last piece whole";
        int steepest = 0;
        for (size_t i = 1; i < y.size(); ++i)
            steepest = std::max(steepest, std::abs(y[i] - y[i - 1]));
        EXPECT_LE(steepest, 4000 / 5 + 1) << "no step sharper than the loudest piece over the shortest fade";
    }

    int16_t* out = nullptr;
    size_t count = 0;
    EXPECT_EQ(bank_phrase(nullptr, 0, 44100, &out, &count), bank_bad_input);
    const int16_t one = 1;
    const bank_piece piece = {&one, 1, {}};
    EXPECT_EQ(bank_phrase(&piece, 1, 0, &out, &count), bank_bad_input);
    EXPECT_EQ(out, nullptr);
}

// prefix.map gives every note from C1 to B7 the suffix of the nearest set,
// the lower of two as near, whatever order the sets were given in (a tie
// must not go to the later one).
TEST(Bank, PrefixMapTakesTheNearestLowerPitchInAnyOrder)
{
    const struct {
        int note;
        const char* suffix;
    } sets[] = {{45, "_A2"}, {57, "_A3"}, {64, "_E4"}};
    const int orders[][3] = {{0, 1, 2}, {2, 1, 0}, {1, 2, 0}, {2, 0, 1}};
    for (const auto& order : orders) {
        bank_set given[3];
        for (int i = 0; i < 3; ++i)
            given[i] = {&bank_list_of(bank_list_cv), "", sets[order[i]].suffix, sets[order[i]].note, 110.0, nullptr,
                        nullptr};
        bank_bytes b;
        ASSERT_EQ(bank_prefix_map(given, 3, &b), bank_ok);
        const std::vector<std::string> lines = split(text(b), '\n');
        ASSERT_EQ(lines.size(), 84u + 1u);
        for (int note = bank_map_highest; note >= bank_map_lowest; --note) {
            // A2 to A3 is a tie at D#3 (51), A3 to E4 none; the lower wins.
            const char* want = note <= 51 ? "_A2" : note <= 60 ? "_A3" : "_E4";
            char name[8];
            note_name(note, name, sizeof name);
            EXPECT_EQ(lines[bank_map_highest - note], std::string(name) + "\t\t" + want + "\r")
                << "order " << order[0] << order[1] << order[2];
        }
    }
}

// A kept recording's lines of the earlier oto.ini, found as OpenUtau finds
// a line's file (before the first '=', trimmed), copied as they are.
TEST(Bank, OldOtoLinesOfAKeptRecording)
{
    const std::string ka = "\x82\xa9.wav", kai = "\x82\xa9\x82\xa2.wav";
    const std::string oto = ka + "=a,1,2,3,4,5\r\n" + kai + "=b,1\r\n  " + ka + " \t=c,6\n#" + ka + "=d\r\n" + ka +
                            "\r\n" + ka + "=e,7";
    char out[256];
    const int n = bank_old_oto_lines(reinterpret_cast<const uint8_t*>(oto.data()), oto.size(), ka.c_str(), out, 3,
                                     sizeof out);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(out + 3, n), ka + "=a,1,2,3,4,5\r\n  " + ka + " \t=c,6\r\n" + ka + "=e,7\r\n")
        << "its own lines, not another file's, a comment's, nor one without '='";
    EXPECT_EQ(bank_old_oto_lines(reinterpret_cast<const uint8_t*>(oto.data()), oto.size(), ka.c_str(), out, 3,
                                 3 + static_cast<size_t>(n) - 1),
              bank_no_room);
}

// The bank's files by name: a file as it is named, a frequency map after
// its recording's stem, each after its folder; nothing else is taken for one.
TEST(Bank, FileNames)
{
    char name[64];
    const char* const ka = "か";
    const char* const ours[] = {"か_wav.frq", "oto.ini",  "character.txt", "character.yaml", "presamp.ini",
                                "readme.txt", "icon.bmp", "sample.wav",    "prefix.map"};
    ASSERT_EQ(bank_file_count, 9);
    for (int i = 0; i < bank_file_count; ++i) {
        EXPECT_EQ(bank_file_of(bank_files[i], bank_list_cv), strcmp(ours[i], "presamp.ini") != 0) << ours[i];
        EXPECT_TRUE(bank_file_of(bank_files[i], bank_list_vcv)) << ours[i];
        ASSERT_EQ(bank_file_name(bank_files[i], "", ka, name, sizeof name), 0);
        EXPECT_EQ(std::string(name), ours[i]);
        EXPECT_TRUE(bank_is_file_name(ours[i]));
    }
    ASSERT_EQ(bank_file_name(bank_files[0], "C#4/", ka, name, sizeof name), 0);
    EXPECT_EQ(std::string(name), "C#4/か_wav.frq");
    EXPECT_EQ(bank_file_name(bank_files[0], "", ka, name, 8), -1) << "does not fit";
    EXPECT_TRUE(bank_is_file_name("_あああいあうえあ_wav.frq") == false) << "a string the list does not hold";
    EXPECT_TRUE(bank_is_file_name((std::string(bank_list_of(bank_list_vcv).texts[0].name) + "_wav.frq").c_str()))
        << "a VCV string's map";
    for (const char* other : {"oto.ini.bak", "notes.txt", "か.wav", "_wav.frq", "ん_wav.frq.bak", ""})
        EXPECT_FALSE(bank_is_file_name(other)) << other;
}

// The files made from the recordings on the disk say what became of a
// recording that is no longer as the run wrote it: removed, or changed.
TEST(Bank, ARecordingRemovedOrChangedIsSaid)
{
    const std::string d = make_temp_dir(), folder = d + "/";
    const int ka = static_cast<int>(find_syllable("か") - syllable_table);
    static oto_times times[bank_max_texts][bank_max_morae];
    static bool on_disk[bank_max_texts];
    for (bool& b : on_disk)
        b = true;
    const bank_set set = {&bank_list_of(bank_list_cv), folder.c_str(), "", 45, 110.0, times, on_disk};
    const bank_run run = {"Morivox Ver1.00", "espeak", nullptr, 70, 44100, false, nullptr, &set, 1};
    int sample = 0;
    while (sample < bank_file_count && strcmp(bank_files[sample].name, bank_sample_file) != 0)
        ++sample;
    struct row {
        const char* why;
        std::vector<uint8_t> bytes;  // what lies at the recordings' names; empty for nothing
        int expected;
    } rows[] = {
        {"removed", {}, bank_recording_gone},
        {"changed", std::vector<uint8_t>(10, 1), bank_recording_changed},
    };
    for (const row& c : rows) {
        for (const syllable* s = syllable_table; s->sjis != nullptr; ++s) {
            if (c.bytes.empty())
                unlink((folder + s->name + ".wav").c_str());
            else
                write_file(folder + s->name + ".wav", c.bytes);
        }
        for (const int which : {0, sample}) {  // a frequency map, the sample
            bank_bytes out{};
            EXPECT_EQ(bank_files[which].make(run, 0, ka, &out), c.expected) << c.why << ": " << bank_files[which].name;
            EXPECT_EQ(out.bytes, nullptr);
        }
    }
    EXPECT_STREQ(bank_error_message(bank_recording_gone),
                 "a recording it is made from is no longer in the folder (removed during the run?)");
    EXPECT_STREQ(bank_error_message(bank_recording_changed),
                 "a recording it is made from is no longer as this run wrote it (changed during the run?)");
    remove_tree(d);
}

} // namespace
