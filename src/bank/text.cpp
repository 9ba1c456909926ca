// The voicebank's small text files: character.txt and .yaml, prefix.map,
// the rate warning; and the text blocks they and readme.txt are made in.

#include "bank/bank.h"

#include "bank/internal.h"
#include "bank/lists.h"
#include "bank/syllables.h"
#include "notes/notes.h"
#include "synth/credits.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void putf(text_block& t, const char* format, ...)
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

int bank_singer_name(const bank_run& run, char* out, size_t size)
{
    const bool vcv = run.set_count > 0 && run.sets[0].list->kind == bank_list_vcv;
    int n = run.name != nullptr ? snprintf(out, size, "%s", run.name)
                                : snprintf(out, size, "Morivox %s%s", run.voice, vcv ? " VCV" : "");
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
    if (const synth_credits* v = synth_find_credits(voice))
        putf(t, "voice=%s\n", v->credit);
    if (sample)
        putf(t, "sample=%s\n", bank_sample_file);
    return finish(t, out);
}

int bank_character_yaml(const bank_list& list, bank_bytes* out)
{
    static const char yaml[] = "text_file_encoding: shift_jis\nsinger_type: classic\n";
    static const char vcv[] = "default_phonemizer: OpenUtau.Plugin.Builtin.JapanesePresampPhonemizer\n";
    const size_t more = list.kind == bank_list_vcv ? sizeof vcv - 1 : 0;
    *out = {static_cast<uint8_t*>(malloc(sizeof yaml - 1 + more)), sizeof yaml - 1 + more};
    if (out->bytes == nullptr) {
        out->size = 0;
        return bank_no_memory;
    }
    memcpy(out->bytes, yaml, sizeof yaml - 1);
    memcpy(out->bytes + sizeof yaml - 1, vcv, more);
    return bank_ok;
}

int bank_presamp_ini(bank_bytes* out)
{
    // The phonemizer's default vowel table: each vowel, its kana, and the
    // volume of a note sung on it.
    static const struct {
        char vowel;
        const char* upper;
        const char* kana;
    } defaults[] = {
        {'a', "あ", "ぁ,あ,か,が,さ,ざ,た,だ,な,は,ば,ぱ,ま,ゃ,や,ら,わ,ァ,ア,カ,ガ,サ,ザ,タ,ダ,ナ,ハ,バ,パ,マ,ャ,ヤ,ラ,ワ"},
        {'i', "い", "ぃ,い,き,ぎ,し,じ,ち,ぢ,に,ひ,び,ぴ,み,り,ゐ,ィ,イ,キ,ギ,シ,ジ,チ,ヂ,ニ,ヒ,ビ,ピ,ミ,リ,ヰ"},
        {'u', "う", "ぅ,う,く,ぐ,す,ず,つ,づ,ぬ,ふ,ぶ,ぷ,む,ゅ,ゆ,る,ゥ,ウ,ク,グ,ス,ズ,ツ,ヅ,ヌ,フ,ブ,プ,ム,ュ,ユ,ル,ヴ"},
        {'e', "え", "ぇ,え,け,げ,せ,ぜ,て,で,ね,へ,べ,ぺ,め,れ,ゑ,ェ,エ,ケ,ゲ,セ,ゼ,テ,デ,ネ,ヘ,ベ,ペ,メ,レ,ヱ"},
        {'o', "お", "ぉ,お,こ,ご,そ,ぞ,と,ど,の,ほ,ぼ,ぽ,も,ょ,よ,ろ,を,ォ,オ,コ,ゴ,ソ,ゾ,ト,ド,ノ,ホ,ボ,ポ,モ,ョ,ヨ,ロ,ヲ"},
        {'n', "ん", "ん"},
        {'N', "ン", "ン"},
    };
    constexpr int volume = 100;
    text_block t = {};
    put(t, "[VOWEL]\n");
    for (const auto& d : defaults) {
        putf(t, "%c=%s=%s", d.vowel, d.upper, d.kana);
        // Those of the table it does not know: the kana with ゜.
        for (int k = 0; k < syllable_count; ++k) {
            if (strstr(syllable_table[k].name, "゜") != nullptr && bank_vowel_of(k) == d.vowel)
                putf(t, ",%s", syllable_table[k].name);
        }
        putf(t, "=%d\n", volume);
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
