#include "bank/lists.h"

#include "synth/kana.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The VCV strings, each after its rest: one string a phrase start of each
// syllable (142), together holding every syllable after every vowel and
// after ん (852 pairs) and the six endings. ん is reached only from the six
// vowels and from its own start, yet must be left 142 times, and i, which
// 20 syllables end in, is two short as well: 139 pairs into ん and i are
// sung more than once, 1133 morae in all, the fewest that can hold the
// rest. Found as an Euler circuit through the pairs, cut at the rests.
constexpr int vcv_count = 142;
const char* const vcv_strings[vcv_count][bank_max_morae] = {
    {"あ", "あ", "に", "じゃ", "こ", "さ", "ぐ", "ぴょ"},
    {"い", "で", "ん", "びぇ", "ん", "ク゜", "でぃ", "みゅ"},
    {"いぇ", "だ", "ぴ", "うぉ", "つ", "ど", "ん", "じょ"},
    {"う", "ん", "び", "え", "ん", "びゃ", "じゃ", "と"},
    {"うぃ", "わ", "む", "ほ", "ん", "く", "り", "ほ"},
    {"うぇ", "じゃ", "び", "ぴょ", "り", "を", "と", "ゆ"},
    {"うぉ", "ん", "ご", "ん", "ずぃ", "つぇ", "め", "ば"},
    {"え", "ん", "て", "みょ", "ぼ", "ちゃ", "ん", "た"},
    {"お", "け", "ちょ", "つぉ", "ん", "ぐ", "ぬ", "や"},
    {"か", "ふぇ", "る", "ちゅ", "ク゜", "べ", "ぺ", "りゅ"},
    {"が", "ぴょ", "キ゜ャ", "ん", "ひぇ", "む", "ご", "ん"},
    {"カ゜", "ま", "る", "ぺ", "ん", "は", "ぴぇ", "も"},
    {"き", "て", "き", "ふ", "え", "でゅ", "ん", "ひゃ"},
    {"ぎ", "どぅ", "ん", "きぇ", "が", "ず", "よ", "ぴぇ"},
    {"キ゜", "うぃ", "ぬ", "ろ", "コ゜", "ん", "す", "れ"},
    {"きぇ", "に", "と", "ん", "つぃ", "そ", "びょ", "ぽ"},
    {"ぎぇ", "キ゜", "ちぇ", "にゃ", "じぇ", "ひ", "れ", "で"},
    {"キ゜ェ", "にょ", "でゅ", "ん", "ちゅ", "つぉ", "ふ", "ぽ"},
    {"きゃ", "し", "ぎゅ", "てゅ", "ま", "ん", "てゅ", "を"},
    {"ぎゃ", "ろ", "ふぃ", "びぇ", "い", "や", "うぇ", "て"},
    {"キ゜ャ", "ん", "ひゅ", "びゅ", "ば", "よ", "ぴょ", "とぅ"},
    {"きゅ", "つぁ", "ぎぇ", "ん", "キ゜", "とぅ", "ぞ", "つぇ"},
    {"ぎゅ", "ぴゃ", "ちぇ", "キ゜ュ", "ね", "ちゃ", "じゅ", "みゃ"},
    {"キ゜ュ", "せ", "にぇ", "ぶ", "み", "ぐ", "な", "れ"},
    {"きょ", "ん", "ぽ", "キ゜ェ", "きぇ", "ひょ", "じぇ", "りぇ"},
    {"ぎょ", "ご", "え", "ん", "どぅ", "ん", "ふぉ"},
    {"キ゜ョ", "な", "く", "こ", "ほ", "みゃ", "てゅ", "げ"},
    {"く", "キ゜", "でぃ", "る", "ん", "みゃ", "つ", "うぇ"},
    {"ぐ", "ん", "ね", "ど", "じゅ", "と", "つぃ", "よ"},
    {"ク゜", "ぐ", "ん", "びゅ", "キ゜ャ", "ん", "にぇ"},
    {"け", "ざ", "キ゜", "にょ", "ん", "みょ", "ん", "ちょ"},
    {"げ", "てゅ", "じぇ", "え", "と", "みゅ", "お", "ぎょ"},
    {"ケ゜", "りゃ", "にぇ", "れ", "みゃ", "ん", "りぇ", "ぜ"},
    {"こ", "ち", "キ゜ョ", "うぉ", "キ゜ョ", "つぁ", "ん", "みゅ"},
    {"ご", "ん", "ひ", "け", "ん", "ぴゃ", "キ゜ュ", "きゅ"},
    {"コ゜", "りゃ", "や", "ん", "う", "ん", "じ", "びゃ"},
    {"さ", "てぃ", "つぉ", "でぃ", "せ", "の", "しゃ", "ちゅ"},
    {"ざ", "ひぇ", "ん", "にゃ", "きょ", "ん", "ら", "た"},
    {"し", "カ゜", "か", "ちゃ", "ひゃ", "ん", "さ", "ぬ"},
    {"じ", "ク゜", "ぷ", "キ゜ュ", "ぜ", "を", "みぇ", "コ゜"},
    {"じぇ", "ぴょ", "うぇ", "ぎゃ", "え", "しぇ", "び", "ろ"},
    {"じゃ", "ク゜", "ん", "うぇ", "きゃ", "ぜ", "ふぉ", "は"},
    {"じゅ", "ぱ", "う", "とぅ", "ぼ", "ちぇ", "すぃ", "ふぁ"},
    {"じょ", "い", "お", "ひゃ", "ん", "で", "りょ", "ひぇ"},
    {"しぇ", "ずぃ", "ずぃ", "じょ", "りょ", "ろ", "ん", "お"},
    {"しゃ", "しゃ", "とぅ", "に", "げ", "ん", "コ゜", "しぇ"},
    {"しゅ", "ん", "しゃ", "ん", "ま", "ぺ", "ん", "りゅ"},
    {"しょ", "ん", "せ", "しゅ", "ぴぇ", "ぽ", "で", "うぉ"},
    {"す", "ん", "ず", "ん", "きゅ", "びぇ", "ん", "キ゜ュ"},
    {"ず", "うぃ", "ふぃ", "てぃ", "ちょ", "れ", "つぃ", "びゅ"},
    {"すぃ", "く", "ぎゅ", "りょ", "ん", "ぴゅ", "ん", "や"},
    {"ずぃ", "きぇ", "こ", "みょ", "ひ", "ゆ", "ん", "きょ"},
    {"せ", "り", "ぺ", "ぴぇ", "ん", "ふぃ", "ぴゅ", "ら"},
    {"ぜ", "げ", "ん", "ろ", "しょ", "あ", "を", "ぎゅ"},
    {"そ", "びぇ", "とぅ", "ぴ", "りぇ", "ま", "うぃ", "きゅ"},
    {"ぞ", "うぃ", "も", "め", "ん", "にゅ", "ひょ", "ひょ"},
    {"た", "にゃ", "ゆ", "ん", "とぅ", "ずぃ", "ず", "りゃ"},
    {"だ", "きゃ", "びぇ", "ぎ", "ざ", "キ゜ャ", "つぃ", "いぇ"},
    {"ち", "じゅ", "ん", "きゃ", "で", "ん", "ぷ", "は"},
    {"ちぇ", "や", "ら", "け", "ふぃ", "た", "ん", "ぎょ"},
    {"ちゃ", "ん", "ふ", "びょ", "ん", "ぼ", "ん", "へ"},
    {"ちゅ", "た", "りゃ", "が", "ん", "だ", "どぅ", "つぇ"},
    {"ちょ", "にょ", "きゅ", "の", "ん", "と", "ん", "りゃ"},
    {"つ", "だ", "ぎゃ", "ん", "ざ", "そ", "ば", "いぇ"},
    {"つぁ", "へ", "キ゜ェ", "ほ", "ん", "ぎぇ", "でぃ", "ぶ"},
    {"つぃ", "びょ", "わ", "ね", "つぇ", "ちぇ", "うぃ", "でゅ"},
    {"つぇ", "ず", "む", "あ", "ん", "ぺ", "ん", "しぇ"},
    {"つぉ", "すぃ", "みょ", "にゅ", "ん", "け", "ろ", "じょ"},
    {"て", "ちゅ", "でゅ", "しゃ", "ん", "ふぁ", "でぃ", "ぜ"},
    {"で", "ぷ", "つぃ", "しょ", "だ", "は", "すぃ", "にぇ"},
    {"てぃ", "ふぇ", "た", "ひょ", "ぴゃ", "しぇ", "ぐ", "さ"},
    {"でぃ", "つ", "ず", "てぃ", "ひぇ", "みゅ", "け", "ぼ"},
    {"てゅ", "ん", "め", "く", "ん", "でぃ", "は", "ふぉ"},
    {"でゅ", "ぎぇ", "ぴゅ", "が", "ば", "み", "か", "ふぁ"},
    {"と", "ぺ", "な", "ん", "に", "じ", "の", "ぞ"},
    {"ど", "しゅ", "ぎ", "じぇ", "うぇ", "は", "ひ", "うぇ"},
    {"とぅ", "て", "キ゜ョ", "い", "つぁ", "ん", "し", "ね"},
    {"どぅ", "きぇ", "ん", "ぴょ", "る", "しぇ", "ひぇ", "びゃ"},
    {"な", "だ", "じょ", "ん", "カ゜", "つぇ", "ぴ", "ぴぇ"},
    {"に", "ち", "しゃ", "ぷ", "か", "キ゜ェ", "わ", "ぴゅ"},
    {"にぇ", "ち", "ぷ", "にゅ", "も", "キ゜ュ", "ぎょ", "ぎぇ"},
    {"にゃ", "びゃ", "りゅ", "ぶ", "ちょ", "ん", "にょ"},
    {"にゅ", "ん", "よ", "ずぃ", "しゅ", "ひぇ", "ん", "か"},
    {"にょ", "こ", "せ", "ゆ", "しょ", "し", "む", "カ゜"},
    {"ぬ", "にょ", "み", "い", "しぇ", "ん", "べ", "ぎゅ"},
    {"ね", "ぞ", "ん", "ぎ", "ケ゜", "ん", "しょ", "きゃ"},
    {"の", "ぐ", "どぅ", "ん", "ケ゜", "つぉ", "にぇ", "にゅ"},
    {"は", "ずぃ", "きょ", "べ", "ぎょ", "ん", "ぎゃ", "でゅ"},
    {"ば", "カ゜", "ひゅ", "みょ", "ん", "り", "が", "りょ"},
    {"ぱ", "みょ", "きぇ", "てぃ", "ら", "ん", "そ", "か"},
    {"ひ", "ど", "ん", "ど", "ク゜", "す", "きゃ", "せ"},
    {"び", "ぴ", "へ", "し", "コ゜", "じ", "にゃ", "つぁ"},
    {"ぴ", "べ", "びぇ", "ひゅ", "ざ", "ん", "ひょ", "ケ゜"},
    {"ひぇ", "いぇ", "せ", "みぇ", "ん", "うぉ", "きょ", "ふぉ"},
    {"びぇ", "しょ", "お", "じゃ", "ご", "す", "うぉ", "りぇ"},
    {"ぴぇ", "ぬ", "ん", "げ", "じ", "ひ", "ぼ", "てゅ"},
    {"ひゃ", "しょ", "びゃ", "も", "に", "ぴゃ", "みゅ", "ふ"},
    {"びゃ", "ぶ", "じょ", "げ", "びょ", "ふぇ", "つぁ", "の"},
    {"ぴゃ", "キ゜ョ", "いぇ", "ふぇ", "ひゃ", "ふぃ", "ぎゃ", "べ"},
    {"ひゅ", "りゅ", "じゃ", "ん", "りょ", "ざ", "さ", "わ"},
    {"びゅ", "きょ", "へ", "け", "そ", "ぴゅ", "ふぉ", "ちゅ"},
    {"ぴゅ", "ひ", "き", "み", "みゃ", "ん", "つぇ", "あ"},
    {"ひょ", "ん", "こ", "ぱ", "びゅ", "ふぃ", "キ゜", "ば"},
    {"びょ", "む", "へ", "じぇ", "ら", "り", "に", "ふぉ"},
    {"ぴょ", "ま", "ん", "わ", "にょ", "ん", "ば", "て"},
    {"ふ", "く", "ち", "ぽ", "ふぁ", "き", "す", "ぴゅ"},
    {"ぶ", "キ゜ェ", "ご", "き", "め", "き", "りゅ", "ちぇ"},
    {"ぷ", "ひゅ", "そ", "ん", "き", "び", "りょ", "ぶ"},
    {"ふぁ", "しゅ", "すぃ", "キ゜ャ", "ん", "キ゜ョ", "ぴ", "う"},
    {"ふぃ", "だ", "ん", "つぉ", "て", "ん", "しゅ", "め"},
    {"ふぇ", "す", "じ", "てゅ", "しゅ", "ん", "が", "つぉ"},
    {"ふぉ", "も", "にゃ", "ぞ", "ぎ", "つぃ", "ぎょ", "を"},
    {"へ", "ん", "の", "そ", "ん", "でゅ", "ひゃ", "うぉ"},
    {"べ", "キ゜ャ", "ぼ", "カ゜", "ざ", "ん", "みぇ", "ふ"},
    {"ぺ", "ん", "い", "ひゅ", "キ゜ョ", "ん", "み", "きゃ"},
    {"ほ", "ん", "れ", "ふぁ", "りぇ", "ね", "べ", "きゅ"},
    {"ぼ", "ん", "ふぇ", "ん", "ぱ", "ん", "びょ", "う"},
    {"ぽ", "ん", "ぴぇ", "きょ", "ぷ", "コ゜", "ん", "ぬ"},
    {"ま", "ん", "ぞ", "ちょ", "ん", "を", "ぜ", "へ"},
    {"み", "ぎぇ", "う", "わ", "みぇ", "ん", "うぃ", "キ゜ュ"},
    {"みぇ", "み", "りゃ", "ぽ", "キ゜", "ぎ", "ん", "じゅ"},
    {"みゃ", "ほ", "ん", "ぶ", "み", "り", "し", "ちゃ"},
    {"みゅ", "みぇ", "じょ", "が", "ぎ", "さ", "にゅ", "にぇ"},
    {"みょ", "び", "にゅ", "じゅ", "ん", "ぴ", "あ", "お"},
    {"む", "ん", "も", "ど", "ら", "きぇ", "しゃ", "ちょ"},
    {"め", "ん", "ぜ", "よ", "く", "ん", "ん", "すぃ"},
    {"も", "た", "じ", "すぃ", "ご", "りゅ", "ケ゜", "か"},
    {"や", "す", "ゆ", "う", "い", "ひゃ", "ぎゅ", "みゅ"},
    {"ゆ", "いぇ", "ん", "あ", "な", "みゃ", "ケ゜", "びゅ"},
    {"よ", "よ", "や", "コ゜", "びゅ", "ちゃ", "ん", "ちゃ"},
    {"ら", "ち", "ぞ", "てぃ", "ぱ", "ん", "てぃ", "な"},
    {"り", "ひょ", "ね", "ケ゜", "ん", "いぇ", "ぎぇ", "カ゜"},
    {"りぇ", "ん", "む", "ん", "ぎゅ", "ぎゃ", "ふ", "びゃ"},
    {"りゃ", "ぴゃ", "ん", "ゆ", "で", "お", "ん", "な"},
    {"りゅ", "び", "キ゜ェ", "つ", "ん", "ち", "ちゅ", "つ"},
    {"りょ", "どぅ", "ん", "つぁ", "きゅ", "りぇ", "さ", "ぱ"},
    {"る", "し", "こ", "ず", "る", "き", "ま", "ぎょ"},
    {"れ", "じゅ", "ん", "ほ", "ぎゃ", "め", "ぱ", "びょ"},
    {"ろ", "ん", "ちぇ", "どぅ", "ん", "え", "ん", "キ゜ャ"},
    {"わ", "ん", "つ", "にゃ", "ど", "の", "ひゅ", "ふぇ"},
    {"を", "ぬ", "ふぁ", "ん", "キ゜ェ", "ぴゃ", "い", "みぇ"},
    {"ん", "じゃ", "げ", "ク゜", "ん", "じぇ", "ん", "る"},
};

// OpenUtau's Japanese presamp phonemizer's default consonants
// (OpenUtau.Core/Classic/Presamp.cs), those of the table's syllables: the
// name and the syllables it is the consonant of. (v, ヴ, is not in the table;
// を is sung and looked up as お, so it has none.)
const struct {
    const char* name;
    const char* syllables[6];
} presamp_consonants[] = {
    {"ch", {"ち", "ちぇ", "ちゃ", "ちゅ", "ちょ"}}, {"gy", {"ぎ", "ぎぇ", "ぎゃ", "ぎゅ", "ぎょ"}},
    {"ts", {"つ", "つぁ", "つぃ", "つぇ", "つぉ"}}, {"ty", {"てぃ", "てゅ"}},
    {"py", {"ぴ", "ぴぇ", "ぴゃ", "ぴゅ", "ぴょ"}}, {"ry", {"り", "りぇ", "りゃ", "りゅ", "りょ"}},
    {"ny", {"に", "にぇ", "にゃ", "にゅ", "にょ"}}, {"r", {"ら", "る", "れ", "ろ"}},
    {"hy", {"ひ", "ひぇ", "ひゃ", "ひゅ", "ひょ"}}, {"dy", {"でぃ", "でゅ"}},
    {"by", {"び", "びぇ", "びゃ", "びゅ", "びょ"}}, {"b", {"ば", "ぶ", "べ", "ぼ"}},
    {"d", {"だ", "で", "ど", "どぅ"}},             {"g", {"が", "ぐ", "げ", "ご"}},
    {"f", {"ふ", "ふぁ", "ふぃ", "ふぇ", "ふぉ"}},   {"h", {"は", "へ", "ほ"}},
    {"k", {"か", "く", "け", "こ"}},               {"j", {"じ", "じぇ", "じゃ", "じゅ", "じょ"}},
    {"m", {"ま", "む", "め", "も"}},               {"n", {"な", "ぬ", "ね", "の"}},
    {"p", {"ぱ", "ぷ", "ぺ", "ぽ"}},               {"s", {"さ", "す", "すぃ", "せ", "そ"}},
    {"sh", {"し", "しぇ", "しゃ", "しゅ", "しょ"}}, {"t", {"た", "て", "と", "とぅ"}},
    {"w", {"うぃ", "うぇ", "うぉ", "わ"}},           {"y", {"いぇ", "や", "ゆ", "よ"}},
    {"ky", {"き", "きぇ", "きゃ", "きゅ", "きょ"}}, {"z", {"ざ", "ず", "ずぃ", "ぜ", "ぞ"}},
    {"my", {"み", "みぇ", "みゃ", "みゅ", "みょ"}},
};

// The aliases a list gives: the CV list's one a syllable; the VCV list's
// phrase starts and plain ones (142 each), pairs (852), VCs (6 x 29) and
// endings (6).
constexpr int cv_aliases = syllable_count;
constexpr int vcv_aliases = 2 * syllable_count + 6 * syllable_count + 6 * 29 + 6;

static_assert(vcv_count <= bank_max_texts);

// Slots for the aliases by name: a power of two, at least twice the most.
constexpr size_t alias_slots = 4096;
static_assert((alias_slots & (alias_slots - 1)) == 0 && alias_slots >= 2 * vcv_aliases);

struct built_list {
    bank_text texts[bank_max_texts];
    bank_alias* aliases;  // room for `room`
    int room;
    bank_list list;
    // The aliases by their names' hash, each slot an alias's index + 1 (0:
    // empty): a list is built in one pass, not in a scan per alias.
    int16_t by_name[alias_slots];
};

int entry_of(const char* name)
{
    const syllable* s = find_syllable(name);
    return s != nullptr ? static_cast<int>(s - syllable_table) : -1;
}

// Adds alias `name` unless the list has it. Returns whether it was new.
bool add_alias(built_list& b, const char* name, bank_alias_kind kind, int text, int mora)
{
    uint32_t hash = 2166136261u;  // FNV-1a
    for (const char* p = name; *p != 0; ++p)
        hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    size_t slot = hash & (alias_slots - 1);
    for (; b.by_name[slot] != 0; slot = (slot + 1) & (alias_slots - 1)) {
        if (strcmp(b.aliases[b.by_name[slot] - 1].name, name) == 0)
            return false;
    }
    if (b.list.alias_count == b.room)
        return false;
    b.by_name[slot] = static_cast<int16_t>(b.list.alias_count + 1);
    bank_alias& a = b.aliases[b.list.alias_count++];
    snprintf(a.name, sizeof a.name, "%s", name);
    a.kind = kind;
    a.text = text;
    a.mora = mora;
    return true;
}

void build_cv(built_list& b)
{
    b.list = {bank_list_cv, b.texts, syllable_count, 0.0, b.aliases, 0};
    for (int k = 0; k < syllable_count; ++k) {
        bank_text& t = b.texts[k];
        snprintf(t.sjis, sizeof t.sjis, "%s", syllable_table[k].sjis);
        snprintf(t.name, sizeof t.name, "%s", syllable_table[k].name);
        t.fixed_speed = syllable_table[k].fixed_speed;
        t.mora_count = 1;
        t.morae[0] = k;
        add_alias(b, t.name, bank_alias_cv, k, 0);
    }
}

// A phrase start and its plain twin from each string's first mora; from
// every later mora its pair with the vowel before (its first time) and,
// the first time its consonant follows that vowel, the VC; the ending
// from the last. A pair met again is left out: it is the same sound.
void build_vcv(built_list& b)
{
    b.list = {bank_list_vcv, b.texts, vcv_count, bank_vcv_beat, b.aliases, 0};
    for (int i = 0; i < vcv_count; ++i) {
        bank_text& t = b.texts[i];
        t.fixed_speed = 0;
        t.mora_count = 0;
        snprintf(t.name, sizeof t.name, "_");
        for (int m = 0; m < bank_max_morae && vcv_strings[i][m] != nullptr; ++m) {
            const int k = entry_of(vcv_strings[i][m]);
            t.morae[t.mora_count++] = k;
            snprintf(t.sjis + strlen(t.sjis), sizeof t.sjis - strlen(t.sjis), "%s", syllable_table[k].sjis);
            snprintf(t.name + strlen(t.name), sizeof t.name - strlen(t.name), "%s", syllable_table[k].name);
        }
        char alias[32];
        const char* first = syllable_table[t.morae[0]].name;
        snprintf(alias, sizeof alias, "- %s", first);
        add_alias(b, alias, bank_alias_start, i, 0);
        add_alias(b, first, bank_alias_plain, i, 0);
        for (int m = 1; m < t.mora_count; ++m) {
            const char v = bank_vowel_of(t.morae[m - 1]);
            snprintf(alias, sizeof alias, "%c %s", v, syllable_table[t.morae[m]].name);
            add_alias(b, alias, bank_alias_vcv, i, m);
            if (const char* c = bank_consonant_of(t.morae[m])) {
                snprintf(alias, sizeof alias, "%c %s", v, c);
                add_alias(b, alias, bank_alias_vc, i, m);
            }
        }
        snprintf(alias, sizeof alias, "%c R", bank_vowel_of(t.morae[t.mora_count - 1]));
        add_alias(b, alias, bank_alias_ending, i, t.mora_count - 1);
    }
}

const built_list& cv()
{
    static const built_list* b = [] {
        static bank_alias aliases[cv_aliases];
        static built_list made{};
        made.aliases = aliases;
        made.room = cv_aliases;
        build_cv(made);
        return &made;
    }();
    return *b;
}

const built_list& vcv()
{
    static const built_list* b = [] {
        static bank_alias aliases[vcv_aliases];
        static built_list made{};
        made.aliases = aliases;
        made.room = vcv_aliases;
        build_vcv(made);
        return &made;
    }();
    return *b;
}

} // namespace

int bank_text_speed(const bank_text& t, int run_speed)
{
    return t.fixed_speed != 0 ? t.fixed_speed : run_speed;
}

const bank_list& bank_list_of(bank_list_kind kind)
{
    return kind == bank_list_vcv ? vcv().list : cv().list;
}

char bank_vowel_of(int entry)
{
    mora m[max_morae];
    int count = 0;
    if (kana_to_morae(syllable_table[entry].sjis, m, max_morae, &count) != synth_ok || count == 0)
        return 0;
    return m[count - 1].vowel != 0 ? m[count - 1].vowel : 'n';
}

const char* bank_consonant_of(int entry)
{
    for (const auto& c : presamp_consonants) {
        for (const char* s : c.syllables) {
            if (s != nullptr && strcmp(s, syllable_table[entry].name) == 0)
                return c.name;
        }
    }
    return nullptr;
}
