#include "bank/oto.h"

#include <cstring>

#include <gtest/gtest.h>

#include <string>

namespace {

void expect_entry(const oto_entry& got, const oto_entry& want, const char* why)
{
    EXPECT_EQ(got.offset, want.offset) << why;
    EXPECT_EQ(got.consonant, want.consonant) << why;
    EXPECT_EQ(got.cutoff, want.cutoff) << why;
    EXPECT_EQ(got.preutterance, want.preutterance) << why;
    EXPECT_EQ(got.overlap, want.overlap) << why;
}

// The rules on a few timings: the sample starts 10 ms before the sound is
// heard, the beat where voicing starts (a vowel alone: where it is heard),
// the fixed part until the vowel has settled, the crossfade well into a
// blending onset or within the lead before any other, everything in order
// and inside the file.
TEST(Oto, ValuesFollowTheRules)
{
    // consonant, vowel, glide_end, steady_end, voiced start and end,
    // audible, onset, blended, settled, length, dip, released
    const struct {
        const char* name;
        oto_times t;
        oto_entry want;
        const char* why;
    } rows[] = {
        {"か", {60, 120, 120, 410, 120, 450, 60, 70, 75, 140, 460, 0, 0}, {50, 100, -360, 70, 5},
         "a stop: crossfade within the lead, the fixed part 30 ms into the vowel"},
        {"きゃ", {60, 110, 150, 450, 110, 480, 60, 70, 80, 240, 500, 0, 0}, {50, 190, -400, 60, 5},
         "a glide: the fixed part until the vowel has settled"},
        {"な", {50, 120, 120, 400, 50, 440, 48, 100, 90, 150, 460, 0, 0}, {38, 112, -362, 82, 52},
         "a nasal: heard before its label, crossfaded until it reaches -12 dB"},
        {"あ", {50, 50, 50, 380, 50, 420, 50, 72, 78, 90, 430, 0, 0}, {40, 62, -340, 32, 32},
         "a vowel alone: the beat where it is heard, no crossfade past it"},
        {"ん", {50, 50, 50, 60, 50, 60, 50, 58, 59, 60, 120, 0, 0}, {40, 19, -20, 18, 18},
         "a very short vowel: everything in order inside it"},
        {"が", {50, 95, 95, 96, 95, 100, 50, 60, 62, 96, 150, 0, 0}, {40, 55, -56, 54, 5},
         "the fastest speed: the cut stays after the fixed part"},
    };
    for (const auto& r : rows) {
        const oto_entry got = oto_values(*find_syllable(r.name), r.t);
        expect_entry(got, r.want, r.why);
    }
}

// The first alias of the VCV list of `kind` whose mora K is `syllable` (a
// VC: has its consonant).
const bank_alias* alias_of(bank_alias_kind kind, const char* syllable)
{
    const bank_list& list = bank_list_of(bank_list_vcv);
    const int wanted = static_cast<int>(find_syllable(syllable) - syllable_table);
    for (int i = 0; i < list.alias_count; ++i) {
        const bank_alias& a = list.aliases[i];
        const int k = list.texts[a.text].morae[a.mora];
        if (a.kind == kind && (k == wanted || (kind == bank_alias_vc && strcmp(bank_consonant_of(k),
                                                                                bank_consonant_of(wanted)) == 0)))
            return &a;
    }
    return nullptr;
}

// The rules of a string's entries on a vowel held from 300 to 600 ms, then
// K: its consonant from 650, its dip at 670, its release at 690, its vowel
// at 700 (voicing, or the label), settled at 760, steady to 950.
TEST(Oto, StringEntriesFollowTheRules)
{
    // consonant, vowel, glide_end, steady_end, voiced start and end,
    // audible, onset, blended, settled, length, dip, released
    const oto_times before = {200, 300, 300, 600, 300, 650, 0, 0, 0, 340, 1500, 0, 0};
    const oto_times k = {650, 700, 700, 950, 700, 1000, 0, 0, 0, 760, 1500, 670, 690};
    // A vowel before that settles only after its steady part: held from its start.
    const oto_times unsettled = {200, 300, 300, 600, 300, 650, 0, 0, 0, 620, 1500, 0, 0};
    // From the vowel before: 50 ms before its steady end, a 30 ms crossfade.
    const struct {
        bank_alias_kind kind;
        const char* syllable;
        oto_times k;
        oto_entry want;
        const char* why;
        const oto_times* vowel_before = nullptr;  // null: `before`
    } rows[] = {
        {bank_alias_vcv, "か", k, {550, 210, -400, 150, 30}, "after a voiceless stop: the beat where voicing starts"},
        {bank_alias_vcv, "ば", k, {550, 210, -400, 140, 30}, "after a voiced stop: the beat at its release"},
        {bank_alias_vcv, "や", k, {550, 210, -400, 120, 30}, "a glide: the beat at its target, its lowest level"},
        {bank_alias_vcv, "わ", k, {550, 210, -400, 120, 30}, "w is a glide too"},
        {bank_alias_vcv, "か", {560, 700, 700, 950, 700, 1000, 0, 0, 0, 760, 1500, 670, 690}, {550, 210, -400, 150, 10},
         "a consonant that starts before the vowel before ends: the crossfade ends before it"},
        {bank_alias_vcv, "か", {650, 700, 700, 950, 700, 1000, 0, 0, 0, 710, 1500, 670, 690}, {550, 180, -400, 150, 30},
         "a vowel settled within its transition: fixed to the transition's end"},
        {bank_alias_vcv, "か", k, {550, 210, -400, 150, 30}, "a vowel before that never settles: from its end still",
         &unsettled},
        {bank_alias_vcv, "あ", k, {550, 210, -400, 150, 30}, "a vowel: the beat where the new vowel starts"},
        {bank_alias_vcv, "か", {650, 700, 700, 950, 700, 1000, 0, 0, 0, 950, 1500, 670, 690}, {550, 317, -400, 150, 30},
         "a vowel that never settles: still a third of it to stretch"},
        {bank_alias_vc, "か", k, {550, 125, -150, 100, 30},
         "a VC: the beat where the consonant starts, half the consonant fixed, to the vowel"},
        {bank_alias_ending, "ぴょ", k, {900, 550, -575, 50, 30},
         "an ending: the beat where the vowel fades, the fade fixed, into the silence"},
    };
    for (const auto& r : rows) {
        const bank_alias* a = alias_of(r.kind, r.syllable);
        ASSERT_NE(a, nullptr) << r.why;
        oto_times times[bank_max_morae] = {};
        times[a->mora] = r.k;
        if (a->mora > 0)
            times[a->mora - 1] = r.vowel_before != nullptr ? *r.vowel_before : before;
        const oto_entry got = oto_alias_values(bank_list_of(bank_list_vcv), *a, times);
        expect_entry(got, r.want, r.why);
    }
}

} // namespace
