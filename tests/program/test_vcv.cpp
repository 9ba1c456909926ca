// The VCV bank as the real program makes it with the HTS voice, read as
// OpenUtau reads it.
#include "bank/lists.h"
#include "synth/hts_voice.h"
#include "synth/kana.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

const std::string program = MORIVOX_BIN;

// The first pair alias ("v K") whose K starts as `wanted` says.
const bank_alias* first_pair(const bank_list& list, bool (*wanted)(const mora&))
{
    for (int i = 0; i < list.alias_count; ++i) {
        const bank_alias& a = list.aliases[i];
        mora m[max_morae];
        int count = 0;
        if (a.kind == bank_alias_vcv &&
            kana_to_morae(syllable_table[list.texts[a.text].morae[a.mora]].sjis, m, max_morae, &count) == synth_ok &&
            wanted(m[0]))
            return &a;
    }
    return nullptr;
}

bool is_stop(const mora& m)
{
    return std::string("k t p").find(m.onset) != std::string::npos && m.onset[0] != 0;
}

bool is_fricative(const mora& m)
{
    return std::string(m.onset) == "s" || std::string(m.onset) == "sh" || std::string(m.onset) == "h";
}

bool is_nasal(const mora& m)
{
    return std::string(m.onset) == "n" || std::string(m.onset) == "m";
}

bool is_vowel(const mora& m)
{
    return m.onset[0] == 0 && m.vowel != 0;
}

// Every alias of the list once, every line inside its recording as
// OpenUtau's checker wants it; and where the voice put the sounds is where
// the lines say: a pair's beat (its preutterance) on the voicing of its
// vowel (after a nasal: at the nasal's release), its crossfade (overlap)
// in the vowel before and before its consonant, after a stop, a
// fricative, a nasal and a vowel. At a rate other than the pinned runs'
// 44100 Hz: the lines are in milliseconds, the same at every rate.
TEST(Vcv, HtsBankAsOpenUtauReadsIt)
{
    const std::string d = make_temp_dir();
    const run_result r = run_program(d, program, {"-voice", "hts", "-vcv", "-oto", "-rate", "22050"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string oto;
    ASSERT_TRUE(from_cp932(read_file(d + "/oto.ini"), &oto));
    const bank_list& list = bank_list_of(bank_list_vcv);
    std::map<std::string, oto_line> lines;
    std::map<std::string, double> durations;
    for (const std::string& text : split_lines(oto)) {
        oto_line line;
        ASSERT_TRUE(parse_oto_line(text, &line)) << text;
        ASSERT_TRUE(lines.emplace(line.alias, line).second) << "twice: " << line.alias;
        if (!durations.count(line.file)) {
            const wav_file w = parse_wav(read_file(d + "/" + line.file));
            ASSERT_TRUE(w.valid && w.rate == 22050 && w.channels == 1 && w.bits == 16) << line.file;
            durations[line.file] = w.samples.size() * 1000.0 / w.rate;
        }
        for (const std::string& broken : openutau_oto_errors(line, durations[line.file]))
            ADD_FAILURE() << broken << ": " << text;
    }
    std::set<std::string> want;
    for (int i = 0; i < list.alias_count; ++i)
        want.insert(list.aliases[i].name);
    std::set<std::string> got;
    for (const auto& [alias, line] : lines)
        got.insert(alias);
    EXPECT_EQ(got, want);
    EXPECT_EQ(durations.size(), static_cast<size_t>(list.count)) << "every string's recording named";

    // The phonemizer's vowel of every syllable, from presamp.ini as it
    // reads it: the syllable in the table, else its last character (きゃ:
    // ゃ); を looked up as お. A note after any syllable then finds its
    // "v K", and a rest its "v R".
    std::string presamp;
    ASSERT_TRUE(from_cp932(read_file(d + "/presamp.ini"), &presamp));
    std::map<std::string, char> vowel_of;
    for (const std::string& text : split_lines(presamp)) {
        const size_t kana = text.find('=', 2) + 1, volume = text.rfind('=');
        for (size_t at = kana; text.size() > 2 && text[1] == '=' && at < volume;) {
            const size_t comma = std::min(text.find(',', at), volume);
            vowel_of[text.substr(at, comma - at)] = text[0];
            at = comma + 1;
        }
    }
    for (int k = 0; k < syllable_count; ++k) {
        std::string name = syllable_table[k].name == std::string("を") ? "お" : syllable_table[k].name;
        size_t last = name.size() - 1;
        while (last > 0 && (name[last] & 0xC0) == 0x80)
            --last;
        const auto found = vowel_of.count(name) ? vowel_of.find(name) : vowel_of.find(name.substr(last));
        EXPECT_TRUE(found != vowel_of.end() && found->second == bank_vowel_of(k)) << syllable_table[k].name;
    }

    synth_engine* engine = nullptr;
    ASSERT_EQ(hts_voice.open(&engine), synth_ok);
    for (const auto wanted : {is_stop, is_fricative, is_nasal, is_vowel}) {
        const bank_alias* a = first_pair(list, wanted);
        ASSERT_NE(a, nullptr);
        SCOPED_TRACE(a->name);
        synth_image image{};
        ASSERT_EQ(hts_voice.synthesize(engine, list.texts[a->text].sjis, 70, 110.0, bank_vcv_beat, &image), synth_ok);
        const double rate = (image.bytes[24] | image.bytes[25] << 8 | image.bytes[26] << 16) * 1.0;
        const auto ms = [&](size_t sample) { return sample * 1000.0 / rate; };
        const synth_marks& k = image.marks[a->mora];
        const synth_marks& before = image.marks[a->mora - 1];
        const oto_line& line = lines.at(a->name);
        const double beat = line.offset + line.preutterance;
        if (wanted == is_nasal) {
            EXPECT_GT(beat, ms(k.consonant_start) + 5) << "the beat at the nasal's release, inside it";
            EXPECT_LE(beat, ms(k.vowel_start) + 1) << "the beat at the nasal's release, inside it";
        } else {
            EXPECT_NEAR(beat, ms(k.vowel_start), 1.0) << "the beat where the vowel's voicing, or the vowel, starts";
        }
        EXPECT_LE(line.offset + line.overlap, ms(k.consonant_start)) << "crossfaded before the consonant";
        EXPECT_GE(line.offset, ms(before.glide_end)) << "from inside the vowel before";
        EXPECT_LE(line.offset + line.overlap, ms(before.steady_end) + 1) << "crossfaded in its steady part";
        EXPECT_NEAR(line.offset - line.cutoff, ms(k.steady_end), 1.0) << "K's steady vowel to stretch, no more";
        hts_voice.free_image(&image);
    }
    hts_voice.close(engine);
    remove_tree(d);
}

} // namespace
