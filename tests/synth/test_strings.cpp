// Strings of morae, one a beat, as a VCV set records them: both voices
// mark every mora in order, hold every vowel at one level and voice it at
// the note; the HTS voice puts the vowels on the beat.

#include "synth/espeak_voice.h"
#include "synth/hts_voice.h"
#include "synth/kana.h"
#include "synth/shaping.h"

#include "notes/notes.h"
#include "bank/syllables.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr double beat = 0.375;

// The Shift-JIS text of the syllables `names`, one mora each.
std::string text_of(const std::vector<const char*>& names)
{
    std::string text;
    for (const char* name : names)
        text += find_syllable(name)->sjis;
    return text;
}

std::string joined(const std::vector<const char*>& names)
{
    std::string s;
    for (const char* name : names)
        s += name;
    return s;
}

bool one_of(const char* name, std::initializer_list<const char*> names)
{
    for (const char* n : names) {
        if (std::string(n) == name)
            return true;
    }
    return false;
}

double rms_db(const std::vector<int16_t>& s, size_t from, size_t to)
{
    double e = 0;
    for (size_t i = from; i < to; ++i)
        e += double(s[i]) * s[i];
    return 20 * std::log10(std::sqrt(e / double(to - from)) / shaping_held_rms);
}

// The first mora of the syllable `name`.
mora mora_of(const char* name)
{
    mora m[max_morae];
    int count = 0;
    return kana_to_morae(find_syllable(name)->sjis, m, max_morae, &count) == synth_ok ? m[0] : mora{"?", 0};
}

// After a stop, a fricative (ふ: voiced before its vowel's label in the HTS
// voice), a nasal, a vowel, ん, a palatal, and the nasal g and a voiced
// obstruent from the rest.
const std::vector<std::vector<const char*>> strings = {
    {"あ", "か", "あ", "き", "あ", "く", "あ"},
    {"し", "す", "し", "つ", "し"},
    {"な", "に", "ぬ", "ね", "の"},
    {"か", "ん", "か", "か", "き", "か", "く", "か"},
    {"あ", "きゃ", "あ", "みょ", "あ", "りゅ"},
    {"カ゜", "ま", "る", "わ"},
    {"じゅ", "ぱ", "う", "ふ", "あ"},
};

TEST(Strings, EveryMoraMarkedHeldAndVoicedInBothVoices)
{
    // The HTS voice times the string: its vowels on the beat (at C5 too,
    // whose image plays at 31918 Hz), every one held 150 ms or more. eSpeak
    // times it itself, its short ん held 50 ms or more, and reports a stop
    // at its release: the silent closure before is found in its sound.
    const struct {
        const synth_voice* voice;
        int note;
        bool ours;  // the timing is ours (HTS), else the voice's (eSpeak)
    } cases[] = {{&hts_voice, 45, true}, {&hts_voice, 72, true}, {&espeak_voice, 45, false}};
    for (const auto& c : cases) {
        synth_engine* engine = nullptr;
        ASSERT_EQ(c.voice->open(&engine), synth_ok) << c.voice->name;
        const double f0 = note_frequency(c.note);
        for (const auto& names : strings) {
            const std::string where = std::string(c.voice->name) + " " + joined(names) + " at note " +
                                      std::to_string(c.note);
            synth_image im{};
            ASSERT_EQ(c.voice->synthesize(engine, text_of(names).c_str(), 70, f0, beat, &im), synth_ok)
                << where << ": " << (c.voice->failure() ? c.voice->failure() : "");
            const wav_file w = parse_wav(std::vector<uint8_t>(im.bytes, im.bytes + im.size));
            const std::vector<int16_t>& s = w.samples;
            const size_t rate = w.rate, settled = rate * 3 / 100;
            ASSERT_EQ(im.mora_count, static_cast<int>(names.size())) << where;
            EXPECT_GE(im.marks[0].consonant_start, rate / 20) << where << ": 50 ms of silence before";
            for (int m = 0; m < im.mora_count; ++m) {
                const synth_marks& k = im.marks[m];
                const std::string mora = where + ", mora " + std::to_string(m) + " " + names[m];
                const bool has_onset = !one_of(names[m], {"あ", "い", "う", "え", "お", "ん"});
                const bool stop = one_of(names[m], {"か", "き", "く", "きゃ", "つ", "ぱ"});
                const bool glide = one_of(names[m], {"きゃ", "みょ", "りゅ"});
                EXPECT_EQ(k.consonant_start < k.glide_end, has_onset) << mora << ": the consonant before the vowel";
                EXPECT_LE(k.consonant_start, k.vowel_start) << mora;
                EXPECT_LE(k.vowel_start, k.glide_end) << mora;
                const bool nasal = one_of(names[m], {"ん"});
                EXPECT_GE(k.steady_end, k.glide_end + rate * (nasal && !c.ours ? 50 : 150) / 1000)
                    << mora << ": held long enough to stretch";
                EXPECT_LE(k.voiced_start, k.glide_end) << mora << ": voiced from the vowel on";
                // No breath before a voiced onset from the rest, none inside a
                // sonorant one anywhere.
                const struct mora reading = mora_of(names[m]);
                if (onset_sonorant(reading) || (m == 0 && !onset_voiceless(reading))) {
                    EXPECT_EQ(k.voiced_start, k.consonant_start) << mora << ": voiced through its onset";
                }
                if (onset_voiceless(reading)) {
                    EXPECT_EQ(k.vowel_start, k.voiced_start) << mora << ": the vowel starts with the voice";
                }
                EXPECT_GE(k.voiced_end, k.steady_end) << mora << ": voiced to the held part's end";
                EXPECT_LE(k.voiced_end, s.size()) << mora << ": inside the image";
                if (m + 1 < im.mora_count) {
                    const size_t next = im.marks[m + 1].consonant_start;
                    EXPECT_LE(k.steady_end, next) << mora << ": held before the next consonant";
                    EXPECT_EQ(k.voiced_end, next) << mora << ": voiced to the next consonant";
                }
                if (glide && !c.ours) {
                    EXPECT_LT(k.vowel_start, k.glide_end) << mora << ": voiced from its glide, a sound of its own";
                }
                if (stop && m > 0 && !c.ours) {
                    EXPECT_LT(rms_db(s, k.consonant_start, k.consonant_start + rate / 100), -20.0)
                        << mora << ": the stop's closure counted to it";
                }
                if (c.ours) {
                    const double grid = im.marks[0].glide_end + m * beat * rate;
                    EXPECT_LE(std::fabs(double(k.glide_end) - grid), 0.005 * rate) << mora << ": off the beat";
                }
                // The held part: its level, and its pitch every 10 ms.
                const size_t h0 = k.glide_end + settled, h1 = k.steady_end;
                if (h1 <= h0)
                    continue;
                EXPECT_NEAR(rms_db(s, h0, h1), 0.0, 1.0) << mora << ": held level";
                const size_t half = 512 + static_cast<size_t>(rate / (f0 / 1.4));
                for (size_t at = h0 + 512; at + half <= h1 || at == h0 + 512; at += rate / 100) {
                    const size_t centre = at + half > h1 ? (h0 + h1) / 2 : at;
                    const double cents = 1200 * std::log2(pitch_at(s, centre, static_cast<int>(rate), f0 / 1.4, f0 * 1.4) / f0);
                    EXPECT_NEAR(cents, 0.0, 25.0) << mora << ": voiced at the note, at sample " << centre;
                }
            }
            c.voice->free_image(&im);
        }
        c.voice->close(engine);
    }
}

// An eSpeak string's image and marks, made in `engine` after `before`.
std::vector<uint8_t> espeak_string_after(synth_engine* engine, const std::vector<const char*>& before,
                                         const std::vector<const char*>& names)
{
    synth_image im{};
    if (espeak_voice.synthesize(engine, text_of(before).c_str(), 70, synth_steady_f0, beat, &im) != synth_ok)
        return {};
    espeak_voice.free_image(&im);
    if (espeak_voice.synthesize(engine, text_of(names).c_str(), 70, synth_steady_f0, beat, &im) != synth_ok)
        return {};
    std::vector<uint8_t> made(im.bytes, im.bytes + im.size);
    const auto* marks = reinterpret_cast<const uint8_t*>(im.marks);
    made.insert(made.end(), marks, marks + sizeof im.marks[0] * static_cast<size_t>(im.mora_count));
    espeak_voice.free_image(&im);
    return made;
}

// A string's bytes and marks do not depend on what the engine made before.
// eSpeak closes a clause's list of phonemes with two pauses and leaves their
// "pause before" as an earlier call left that place of the list: where that
// was a stop's, the string ended 48 ms later (its last marks too). Each row:
// a string after one whose list has a vowel where the string's first closing
// pause falls, and after one with a stop there.
TEST(Strings, AnEspeakStringIsTheSameWhateverCameBefore)
{
    const struct {
        std::vector<const char*> names, after_vowel, after_stop;
    } rows[] = {
        // The list: a pause, あ い う, the closing pauses from the fifth place.
        {{"あ", "い", "う"}, {"あ", "い", "う"}, {"あ", "か", "か"}},
        // Two strings of the VCV list after those their run made before them
        // on one core and on two.
        {{"キ゜", "うぃ", "ぬ", "ろ", "コ゜", "ん", "す", "れ"},
         {"ぎ", "どぅ", "ん", "きぇ", "が", "ず", "よ", "ぴぇ"},
         {"きぇ", "に", "と", "ん", "つぃ", "そ", "びょ", "ぽ"}},
    };
    synth_engine* engine = nullptr;
    ASSERT_EQ(espeak_voice.open(&engine), synth_ok);
    for (const auto& r : rows) {
        const std::vector<uint8_t> a = espeak_string_after(engine, r.after_vowel, r.names);
        const std::vector<uint8_t> b = espeak_string_after(engine, r.after_stop, r.names);
        ASSERT_FALSE(a.empty()) << joined(r.names);
        EXPECT_EQ(a.size(), b.size()) << joined(r.names);
        EXPECT_TRUE(a == b) << joined(r.names) << " after " << joined(r.after_vowel) << " and after "
                            << joined(r.after_stop);
    }
    espeak_voice.close(engine);
}

// And a syllable after a string is what it is after a syllable: a vowel's
// closing pauses fall on the list's third and fourth places, where あかか
// has a stop. Also at speed 300, sped up through libsonic.
TEST(Strings, AnEspeakSyllableAfterAStringIsAsAfterASyllable)
{
    synth_engine* engine = nullptr;
    ASSERT_EQ(espeak_voice.open(&engine), synth_ok);
    const auto syllable = [&](const char* name, int speed) {
        synth_image im{};
        std::vector<uint8_t> made;
        if (espeak_voice.synthesize(engine, find_syllable(name)->sjis, speed, synth_steady_f0, 0.0, &im) == synth_ok)
            made.assign(im.bytes, im.bytes + im.size);
        espeak_voice.free_image(&im);
        return made;
    };
    for (const int speed : {70, 300}) {
        for (const char* name : {"あ", "う"}) {
            syllable("か", speed);
            const std::vector<uint8_t> after_syllable = syllable(name, speed);
            ASSERT_FALSE(after_syllable.empty()) << name;
            espeak_string_after(engine, {"あ"}, {"あ", "か", "か"});
            EXPECT_TRUE(syllable(name, speed) == after_syllable) << name << " at speed " << speed;
        }
    }
    espeak_voice.close(engine);
}

// What cannot be a string is refused with its code, in both voices.
TEST(Strings, RefusedWhereTheyCannotBe)
{
    std::vector<const char*> seventeen(synth_max_morae + 1, "か");
    const struct {
        const char* why;
        const synth_voice* voice;
        std::vector<const char*> names;
        double beat;
        synth_error code;
    } rows[] = {
        {"a beat below 0", &espeak_voice, {"あ", "か"}, -0.375, synth_error_bad_speed},
        {"a beat not a number", &hts_voice, {"あ", "か"}, std::nan(""), synth_error_bad_speed},
        {"a beat above the longest", &espeak_voice, {"あ", "か"}, synth_max_beat * 1.01, synth_error_bad_speed},
        {"a beat above the longest", &hts_voice, {"あ", "か"}, synth_max_beat * 1.01, synth_error_bad_speed},
        {"the longest beat", &hts_voice, {"あ", "か"}, synth_max_beat, synth_ok},
        // あ's vowel, its way out, し (100 ms) and the way into its vowel take
        // 175 ms of the beat, the held state the rest.
        {"a beat that holds あ less than 150 ms before し", &hts_voice, {"あ", "し", "あ"}, 0.320,
         synth_error_bad_speed},
        {"a beat that holds it 150 ms", &hts_voice, {"あ", "し", "あ"}, 0.325, synth_ok},
        {"more morae than an image marks", &hts_voice, seventeen, beat, synth_error_bad_text},
        {"more morae than an image marks", &espeak_voice, seventeen, beat, synth_error_bad_text},
        {"as many as it marks", &espeak_voice, std::vector<const char*>(synth_max_morae, "か"), beat, synth_ok},
        {"two syllables without a beat", &hts_voice, {"あ", "か"}, 0.0, synth_error_bad_text},
    };
    for (const auto& r : rows) {
        synth_engine* engine = nullptr;
        ASSERT_EQ(r.voice->open(&engine), synth_ok);
        synth_image im{};
        EXPECT_EQ(r.voice->synthesize(engine, text_of(r.names).c_str(), 70, synth_steady_f0, r.beat, &im), r.code)
            << r.voice->name << ": " << r.why;
        EXPECT_EQ(im.bytes != nullptr, r.code == synth_ok) << r.voice->name << ": " << r.why;
        r.voice->free_image(&im);
        r.voice->close(engine);
    }
}

// One HTS string, bytes and marks, pinned by a digest (FNV-1a): a change
// here is a change of the strings' sound or timing, never a side effect.
// It is also what shows GCC deleting a refit (see refit_filter), as the
// pinned recordings do for the syllables.
TEST(Strings, AnHtsStringIsPinned)
{
    synth_engine* engine = nullptr;
    ASSERT_EQ(hts_voice.open(&engine), synth_ok);
    synth_image im{};
    ASSERT_EQ(hts_voice.synthesize(engine, text_of(strings[0]).c_str(), 70, synth_steady_f0, beat, &im), synth_ok);
    uint64_t digest = 14695981039346656037u;
    const auto add = [&](const void* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            digest = (digest ^ static_cast<const uint8_t*>(p)[i]) * 1099511628211u;
    };
    add(im.bytes, im.size);
    add(&im.mora_count, sizeof im.mora_count);
    add(im.marks, sizeof im.marks[0] * static_cast<size_t>(im.mora_count));
    EXPECT_EQ(digest, 11486022697595259042u);
    hts_voice.free_image(&im);
    hts_voice.close(engine);
}

// A string's shaping holds each held part at the held level, however far
// apart the parts' own levels are, and moves the gain between them without
// a step: here three "vowels" of one sine 20 dB apart, the level gliding
// from one to the next between them; with one part silent, it refuses.
TEST(Strings, ShapingEvensEveryHeldPart)
{
    constexpr int rate = 32000;
    constexpr double pi = 3.14159265358979323846;
    const double levels[] = {500.0, 5000.0, 1500.0};
    const size_t part = rate * 3 / 10, gap = rate / 10;
    for (const bool silent : {false, true}) {
        std::vector<double> x(3 * (part + gap));
        shaping_mora morae[3] = {};
        for (size_t i = 0; i < x.size(); ++i) {
            const size_t m = i / (part + gap), at = i % (part + gap);
            double level = levels[m];
            if (at < gap)  // gliding from the part before
                level = m == 0 ? 0.0 : levels[m - 1] + (levels[m] - levels[m - 1]) * double(at) / double(gap);
            if (silent && m == 1 && at >= gap)
                level = 0.0;
            x[i] = level * std::sin(2 * pi * 110.0 * double(i) / rate);
        }
        for (size_t m = 0; m < 3; ++m) {
            synth_marks& k = morae[m].marks;
            k.consonant_start = m * (part + gap);
            k.vowel_start = k.glide_end = k.voiced_start = morae[m].held_start = k.consonant_start + gap;
            k.steady_end = k.voiced_end = k.vowel_start + part - rate / 50;
        }
        synth_image im{};
        const synth_error code = shape_string(x.data(), x.size(), rate, 110.0, morae, 3, shaping_fade_in_sonorant, &im);
        if (silent) {
            EXPECT_EQ(code, synth_error_no_voice_file);
            EXPECT_EQ(im.bytes, nullptr);
            continue;
        }
        ASSERT_EQ(code, synth_ok);
        ASSERT_EQ(im.mora_count, 3);
        const std::vector<int16_t> s = parse_wav(std::vector<uint8_t>(im.bytes, im.bytes + im.size)).samples;
        for (int m = 0; m < 3; ++m) {
            const synth_marks& k = im.marks[m];
            EXPECT_NEAR(rms_db(s, k.glide_end + rate * 3 / 100, k.steady_end), 0.0, 0.2) << "part " << m;
        }
        // Between the parts nothing above the held level (over two periods).
        for (int m = 0; m < 2; ++m) {
            for (size_t at = im.marks[m].steady_end; at + 2 * rate / 110 <= im.marks[m + 1].glide_end; at += rate / 200)
                EXPECT_LT(rms_db(s, at, at + 2 * rate / 110), 0.5) << "above the held level at sample " << at;
        }
        // Every 10 ms (a period and a tenth) from the first part to the last.
        const size_t step = rate / 100;
        double before = rms_db(s, im.marks[0].glide_end, im.marks[0].glide_end + step);
        for (size_t at = im.marks[0].glide_end + step; at + step <= im.marks[2].steady_end; at += step) {
            const double now = rms_db(s, at, at + step);
            EXPECT_LT(std::fabs(now - before), 6.0) << "a step in the level at sample " << at;
            before = now;
        }
        synth_release_image(&im);
    }
}

} // namespace
