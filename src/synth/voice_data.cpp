// The voices' data files, checked against the layouts their engines read:
// eSpeak NG 1.51 (phoneme.h, synthesize.h, synthdata.c and dictionary.c of
// its source) and the HTS engine 1.10 (HTS_model.c, HTS_misc.c).

#include "synth/voice_data.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// No data file of either engine comes near this; a larger one is not theirs.
constexpr size_t max_file_size = 64u << 20;

// A file read whole into memory.
struct file_bytes {
    uint8_t* data;
    size_t size;
};

int fail(char* why, size_t size, const char* path, const char* what, int error)
{
    snprintf(why, size, "%s: %s", path, what);
    errno = error;
    return -1;
}

int read_whole(const char* path, file_bytes* out, char* why, size_t why_size)
{
    *out = file_bytes{};
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(why, why_size, path, strerror(errno), errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<size_t>(st.st_size) > max_file_size) {
        const bool regular = S_ISREG(st.st_mode);
        close(fd);
        return fail(why, why_size, path, regular ? "larger than any such file" : "not a regular file", EINVAL);
    }
    const size_t size = static_cast<size_t>(st.st_size);
    auto* data = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
    if (data == nullptr) {
        close(fd);
        return fail(why, why_size, path, strerror(ENOMEM), ENOMEM);
    }
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, data + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            free(data);
            close(fd);
            return fail(why, why_size, path, n < 0 ? strerror(error) : "shorter than it says", error);
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    out->data = data;
    out->size = size;
    return 0;
}

uint16_t u16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t u32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// ---- eSpeak NG 1.51 ----

// The data version, in the first 4 bytes of phondata and of phonindex
// (version_phdata).
constexpr uint32_t espeak_data_version = 0x014801;
// phontab: a byte with the table count, 3 spare; per table 4 bytes (phoneme
// count, the 1-based table it includes, 2 spare), a 32-byte name
// (N_PHONEME_TAB_NAME), then its phonemes of 16 bytes (PHONEME_TAB), each
// with its program's first word in phonindex at byte 8.
constexpr size_t phontab_head = 4;
constexpr size_t table_head = 4 + 32;
constexpr size_t table_name_size = 32;
constexpr size_t phoneme_size = 16;
constexpr size_t phoneme_program_at = 8;
// The engine's array of tables (N_PHONEME_TABS); the installed data has 130.
constexpr unsigned max_tables = 150;
// The phoneme table this program's voice selects ("phonemes ja").
constexpr char voice_table[] = "ja";
// phonindex: 16-bit instruction words after the version.
constexpr size_t program_start = 2;
// phondata: a spectrum sequence (SPECT_SEQ) is 4 bytes (total length,
// frame count, flags) and its frames, 44 bytes each (frame_t2), or 64 when
// the first frame's flags have FRFLAG_KLATT (frame_t); a wave is 4 bytes
// (its length in bytes, 16 bits, then its scale) and the samples; an
// envelope is 128 bytes.
constexpr size_t sequence_head = 4;
constexpr size_t frame_size = 44;
constexpr size_t klatt_frame_size = 64;
constexpr uint16_t frflag_klatt = 0x01;
constexpr size_t wave_head = 4;
constexpr uint32_t wave_address_mask = 0x7fffff;
constexpr size_t envelope_size = 128;
// intonations: whole tunes of 68 bytes (TUNE).
constexpr size_t tune_size = 68;
// ja_dict: the hash count (N_HASH_DICT) and the rules' offset, then the
// hash chains (entries that give their own length, each chain ended by 0),
// then groups of rules: RULE_GROUP_START, a name or RULE_LETTERGP2 and a
// letter, or RULE_REPLACEMENTS and a replacement list ended by 4 zero bytes,
// then 0-terminated rules up to RULE_GROUP_END; a 0 ends the groups.
constexpr uint32_t dictionary_hashes = 1024;
constexpr size_t dictionary_head = 8;
constexpr uint8_t rule_group_start = 6;
constexpr uint8_t rule_group_end = 7;
constexpr uint8_t rule_lettergp2 = 18;
constexpr uint8_t rule_replacements = 20;

// Instruction kinds, by the top 4 bits of a word (phoneme.h: i_CALLPH,
// i_VOWELIN, i_FMT, …), and the operand of the one that spells an IPA name.
// Kinds 13 and 14 (VowelStart, VowelEnding) address spectra, as FMT does;
// kind 10 (VowelIn, VowelOut) holds no address.
constexpr unsigned op_group0 = 0, op_condition = 2, op_condition_or = 3, op_jump = 6, op_call = 9, op_fmt = 11,
                   op_wav = 12, op_add_wav = 15;
constexpr unsigned i_ipa_name = 0x0d;
constexpr unsigned i_return = 0x0001;
// A jump's bits 9-11: always, if false, or a switch on the next or the
// previous vowel's type with 6 entries.
constexpr unsigned jump_always = 0, jump_if_false = 4, switch_next_vowel = 5, switch_previous_vowel = 6;
constexpr int switch_entries = 6;
// What a call instruction's bits 8-11 say: call a program, or name a pitch
// or an amplitude envelope.
constexpr unsigned call_program = 1, pitch_envelope = 2, amplitude_envelope = 3;

// Words of the instruction at w[i], as the interpreter steps over it
// (InterpretPhoneme, NumInstnWords); a switch on the vowel type is its
// word and 6 entries of 2 words.
size_t instruction_words(const uint16_t* w, size_t i)
{
    static const unsigned char fixed[16] = {0, 1, 0, 0, 1, 1, 0, 1, 1, 2, 4, 0, 0, 0, 0, 0};
    const unsigned instn = w[i];
    const unsigned kind = instn >> 12;
    if (fixed[kind] > 0)
        return fixed[kind];
    if (kind == op_group0)
        return ((instn >> 8) & 0xf) == i_ipa_name ? ((instn & 0xff) + 1) / 2 + 1 : 1;
    if (kind == op_jump) {
        const unsigned type2 = (instn >> 9) & 7;
        return type2 == switch_next_vowel || type2 == switch_previous_vowel ? 1 + 2 * switch_entries : 1;
    }
    if (kind == op_condition || kind == op_condition_or) {
        const unsigned n = instn & 0x0f00;
        return n == 0x600 || n == 0xd00 ? 2 : 1;
    }
    return 2;  // FMT, WAV, VowelStart, VowelEnding, addWav: the word and an address
}

struct espeak_files {
    file_bytes phontab, phonindex, phondata;
};

// Whether the spectrum sequence at `at` lies within phondata.
bool sequence_fits(const file_bytes& data, size_t at)
{
    if (at + sequence_head > data.size)
        return false;
    const size_t frames = data.data[at + 2];
    if (frames == 0)
        return true;
    if (at + sequence_head + 2 > data.size)
        return false;
    const size_t each = (u16(data.data + at + sequence_head) & frflag_klatt) ? klatt_frame_size : frame_size;
    return at + sequence_head + frames * each <= data.size;
}

bool wave_fits(const file_bytes& data, size_t at)
{
    at &= wave_address_mask;
    return at + wave_head <= data.size && at + wave_head + u16(data.data + at) <= data.size;
}

// Walks phonindex instruction by instruction, as the compiler laid the
// programs out one after another, and checks every program start, jump,
// call and address into phondata. Returns null, or what is wrong.
const char* check_programs(const espeak_files& f)
{
    const size_t words = f.phonindex.size / 2;
    if (f.phonindex.size % 2 != 0 || words <= program_start || u32(f.phonindex.data) != espeak_data_version)
        return "phonindex";
    // The words, aligned, and where each instruction starts.
    auto* w = static_cast<uint16_t*>(malloc(words * sizeof(uint16_t)));
    auto* starts = static_cast<uint8_t*>(calloc(words + 1, 1));
    const char* wrong = nullptr;
    if (w == nullptr || starts == nullptr) {
        free(w);
        free(starts);
        errno = ENOMEM;
        return "";
    }
    for (size_t i = 0; i < words; ++i)
        w[i] = u16(f.phonindex.data + 2 * i);
    size_t i = program_start;
    size_t last = i;
    while (i < words) {
        starts[i] = 1;
        last = i;
        i += instruction_words(w, i);
    }
    if (i != words || w[last] != i_return)
        wrong = "phonindex";  // cut inside an instruction, or after one that goes on
    for (i = program_start; wrong == nullptr && i < words; i += instruction_words(w, i)) {
        const unsigned instn = w[i];
        const unsigned kind = instn >> 12;
        const size_t operand = ((instn & 0xfu) << 16) + w[i + 1 < words ? i + 1 : i];
        const unsigned type2 = (instn >> 9) & 7;
        if (kind == op_jump && (type2 == jump_always || type2 == jump_if_false)) {
            // Both land this many words on.
            const size_t target = i + (instn & 0xff);
            if (target >= words || !starts[target])
                wrong = "phonindex";
        } else if (kind == op_jump && (type2 == switch_next_vowel || type2 == switch_previous_vowel)) {
            for (int k = 0; k < switch_entries && wrong == nullptr; ++k) {
                const size_t j = i + 1 + 2 * static_cast<size_t>(k);
                const size_t at = (((w[j] & 0xfu) << 16) + w[j + 1]) * 4;
                if (at != 0 && !sequence_fits(f.phondata, at))
                    wrong = "phondata";
            }
        } else if (kind == op_call) {
            const unsigned which = (instn >> 8) & 0xf;
            if (which == call_program && (operand >= words || !starts[operand]))
                wrong = "phonindex";
            if ((which == pitch_envelope || which == amplitude_envelope) && operand != 0 &&
                operand + envelope_size > f.phondata.size)
                wrong = "phondata";
        } else if (kind >= op_fmt) {
            const size_t at = ((instn & 0xfu) << 18) + (static_cast<size_t>(w[i + 1]) << 2);
            const bool wave = kind == op_wav || kind == op_add_wav;
            if (at != 0 && !(wave ? wave_fits(f.phondata, at) : sequence_fits(f.phondata, at)))
                wrong = "phondata";
        }
    }
    // Every phoneme's program starts at an instruction.
    const uint8_t* t = f.phontab.data;
    size_t at = phontab_head;
    for (unsigned table = 0; wrong == nullptr && table < t[0]; ++table) {
        const size_t count = t[at];
        at += table_head;
        for (size_t k = 0; k < count; ++k, at += phoneme_size) {
            const size_t program = u16(t + at + phoneme_program_at);
            if (program != 0 && (program >= words || !starts[program])) {
                wrong = "phontab";
                break;
            }
        }
    }
    free(w);
    free(starts);
    return wrong;
}

// The tables of phontab fit the file, include only earlier tables, and
// hold the voice's table.
bool tables_fit(const file_bytes& t)
{
    if (t.size < phontab_head || t.data[0] == 0 || t.data[0] > max_tables)
        return false;
    bool has_voice_table = false;
    size_t at = phontab_head;
    for (unsigned table = 0; table < t.data[0]; ++table) {
        if (at + table_head > t.size)
            return false;
        const size_t count = t.data[at];
        const unsigned includes = t.data[at + 1];
        if (includes > table)  // 1-based: an earlier table, or 0 for none
            return false;
        char name[table_name_size + 1] = {};
        memcpy(name, t.data + at + 4, table_name_size);
        has_voice_table = has_voice_table || strcmp(name, voice_table) == 0;
        at += table_head + count * phoneme_size;
        if (at > t.size)
            return false;
    }
    return has_voice_table;
}

// The dictionary's hash chains end where its rules begin, and its rule
// groups, walked as the engine walks them, end within the file.
bool dictionary_fits(const file_bytes& d)
{
    if (d.size <= dictionary_head || u32(d.data) != dictionary_hashes)
        return false;
    const size_t rules = u32(d.data + 4);
    if (rules <= dictionary_head || rules >= d.size)
        return false;
    size_t p = dictionary_head;
    for (uint32_t hash = 0; hash < dictionary_hashes; ++hash) {
        while (p < rules && d.data[p] != 0)
            p += d.data[p];
        if (p >= rules)
            return false;
        ++p;
    }
    const uint8_t* b = d.data;
    const size_t end = d.size;
    // Past every string that starts at p; false when one runs off the end.
    auto skip_string = [&](size_t* at) {
        const void* nul = memchr(b + *at, 0, end - *at);
        if (nul == nullptr)
            return false;
        *at = static_cast<size_t>(static_cast<const uint8_t*>(nul) - b) + 1;
        return *at < end;
    };
    p = rules;
    while (p < end && b[p] != 0) {
        if (b[p] != rule_group_start || ++p >= end)
            return false;
        if (b[p] == rule_replacements) {
            p = (p + 4) & ~static_cast<size_t>(3);
            while (p + 4 <= end && u32(b + p) != 0)
                ++p;
            while (p < end && b[p] != rule_group_end)
                ++p;
            if (p >= end)
                return false;
            ++p;
            continue;
        }
        if (b[p] == rule_lettergp2)
            p += 2;
        else if (!skip_string(&p))
            return false;
        while (p < end && b[p] != rule_group_end) {
            if (!skip_string(&p))
                return false;
        }
        if (p >= end)
            return false;
        ++p;
    }
    return p < end;
}

} // namespace

int espeak_data_check(const char* dir, char* why, size_t size)
{
    const char* const names[] = {"phontab", "phonindex", "phondata", "intonations", "ja_dict"};
    file_bytes files[5] = {};
    char paths[5][4096];
    int result = 0;
    for (int i = 0; i < 5 && result == 0; ++i) {
        snprintf(paths[i], sizeof paths[i], "%s/%s", dir, names[i]);
        result = read_whole(paths[i], &files[i], why, size);
    }
    const char* damaged = nullptr;
    if (result == 0) {
        const espeak_files f = {files[0], files[1], files[2]};
        if (!tables_fit(files[0]))
            damaged = paths[0];
        else if (files[2].size < 8 || u32(files[2].data) != espeak_data_version)
            damaged = paths[2];
        else if (files[3].size == 0 || files[3].size % tune_size != 0)
            damaged = paths[3];
        else if (!dictionary_fits(files[4]))
            damaged = paths[4];
        else if (const char* which = check_programs(f)) {
            if (which[0] == 0)
                result = fail(why, size, paths[1], strerror(ENOMEM), ENOMEM);
            else
                damaged = strcmp(which, "phontab") == 0 ? paths[0] : strcmp(which, "phonindex") == 0 ? paths[1] : paths[2];
        }
    }
    if (damaged != nullptr)
        result = fail(why, size, damaged, "cut short or damaged", EINVAL);
    for (file_bytes& f : files)
        free(f.data);
    return result;
}

namespace {

// ---- the HTS engine 1.10 ----

// The engine reads every header line, and every token of its trees and
// windows, into a buffer of HTS_MAXBUFLEN bytes on its stack.
constexpr size_t hts_max_line = 1024 - 1;
constexpr char data_mark[] = "[DATA]\n";

// Whether every line of [text, text + size) is shorter than the engine's
// buffer, and every quoted stretch (a tree's patterns, read up to the
// closing quote across spaces and lines) is too.
bool tokens_fit(const uint8_t* text, size_t size)
{
    size_t line = 0, quote_at = 0;
    int quote = 0;
    for (size_t i = 0; i < size; ++i) {
        line = text[i] == '\n' ? 0 : line + 1;
        if (line > hts_max_line)
            return false;
        if (quote != 0 && text[i] == quote)
            quote = 0;
        else if (quote == 0 && (text[i] == '"' || text[i] == '\''))
            quote = text[i], quote_at = i;
        if (quote != 0 && i - quote_at > hts_max_line)
            return false;
    }
    return true;
}

// Reads "s-e" ranges separated by commas from `ranges` and checks each
// against the data: s <= e < data_size. Text ranges must also hold tokens
// that fit. Returns whether all do.
bool ranges_fit(const char* ranges, const uint8_t* data, size_t data_size, bool text)
{
    const char* p = ranges;
    for (;;) {
        char* end = nullptr;
        const unsigned long long s = strtoull(p, &end, 10);
        if (end == p || *end != '-')
            return false;
        p = end + 1;
        const unsigned long long e = strtoull(p, &end, 10);
        if (end == p || s > e || e >= data_size)
            return false;
        if (text && !tokens_fit(data + s, static_cast<size_t>(e - s + 1)))
            return false;
        p = end;
        if (*p == 0)
            return true;
        if (*p++ != ',')
            return false;
    }
}

// The header: "[GLOBAL]", "[STREAM]", "[POSITION]" and "[DATA]" in order,
// lines that fit the engine's buffer, the counts it needs, and every
// position inside the data.
const char* header_problem(const file_bytes& f)
{
    const char* bytes = reinterpret_cast<const char*>(f.data);
    const void* mark = memmem(f.data, f.size, data_mark, sizeof data_mark - 1);
    if (f.size < 9 || memcmp(f.data, "[GLOBAL]\n", 9) != 0 || mark == nullptr)
        return "not an HTS voice file";
    const size_t data_start = static_cast<size_t>(static_cast<const uint8_t*>(mark) - f.data) + sizeof data_mark - 1;
    const uint8_t* data = f.data + data_start;
    const size_t data_size = f.size - data_start;
    const char* sections[] = {"[GLOBAL]", "[STREAM]", "[POSITION]", "[DATA]"};
    int section = -1;
    long states = 0, streams = 0;
    int positions = 0;
    for (size_t at = 0; at < data_start;) {
        const char* nl = static_cast<const char*>(memchr(bytes + at, '\n', data_start - at));
        const size_t len = static_cast<size_t>(nl - (bytes + at));
        if (len > hts_max_line)
            return "a header line longer than the engine reads";
        char line[hts_max_line + 1];
        memcpy(line, bytes + at, len);
        line[len] = 0;
        at += len + 1;
        if (line[0] == '[') {
            if (section + 1 >= 4 || strcmp(line, sections[section + 1]) != 0)
                return "its sections are out of order";
            ++section;
            continue;
        }
        const char* colon = strchr(line, ':');
        if (colon == nullptr)
            continue;  // the engine passes over it with a warning
        if (section == 0 && strncmp(line, "NUM_STATES:", 11) == 0)
            states = strtol(colon + 1, nullptr, 10);
        if (section == 0 && strncmp(line, "NUM_STREAMS:", 12) == 0)
            streams = strtol(colon + 1, nullptr, 10);
        if (section == 2) {
            const bool text = strstr(line, "TREE") != nullptr || strncmp(line, "STREAM_WIN", 10) == 0;
            if (!ranges_fit(colon + 1, data, data_size, text))
                return "a part lies outside the file (cut short?)";
            ++positions;
        }
    }
    if (section != 3 || states < 1 || states > 64 || streams < 1 || streams > 16 || positions == 0)
        return "not an HTS voice file";
    return nullptr;
}

} // namespace

int hts_voice_file_check(const char* path, char* why, size_t size)
{
    file_bytes f;
    if (read_whole(path, &f, why, size) != 0)
        return -1;
    const char* problem = header_problem(f);
    free(f.data);
    if (problem != nullptr)
        return fail(why, size, path, problem, EINVAL);
    return 0;
}
