// readme.txt: what made the set, with which settings, the files, the
// voice's credits and licence, and what that licence asks.

#include "bank/bank.h"

#include "bank/internal.h"
#include "bank/syllables.h"
#include "notes/notes.h"
#include "synth/credits.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

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
    const bank_list& list = *run.sets[0].list;
    const bool vcv = list.kind == bank_list_vcv;
    text_block t = {};
    putf(t, "%s\n", title);
    for (int i = shown_width; i > 0; --i)
        put(t, "=");
    put(t, "\n\n");
    if (vcv) {
        putf(t,
             "A VCV voicebank (renzokuon) for UTAU and OpenUtau: %d strings of Japanese\n"
             "syllables sung legato on one steady pitch, one syllable a beat at %.6g\n"
             "beats a minute after a short rest (_あかあきあくあ is such a string). Among\n"
             "them every one of the %d syllables is sung from the rest (\"- か\"), after\n"
             "each vowel and after ん (\"a か\" ... \"o か\", \"n か\"), and every vowel\n"
             "into the rest (\"a R\") and into each consonant (\"a k\"); each syllable\n"
             "has its plain alias too (\"か\", the same sound as \"- か\"): %d aliases,\n"
             "each once, every timing where the voice put the sound. OpenUtau's\n"
             "Japanese presamp phonemizer, which character.yaml names, finds them.\n",
             list.count, 60 / list.beat, syllable_count, list.alias_count);
        if (!several)
            putf(t, "At a steady %.6g Hz.\n\n", run.sets[0].f0);
        else
            putf(t, "At each of %d steady pitches, a folder for each:\n", run.set_count);
    } else if (!several) {
        putf(t,
             "A voicebank for UTAU and OpenUtau: %d Japanese syllables (CV), one\n"
             "recording each, at a steady %.6g Hz.\n\n",
             syllable_count, run.sets[0].f0);
    } else {
        putf(t,
             "A voicebank for UTAU and OpenUtau: %d Japanese syllables (CV), one\n"
             "recording each, at each of %d steady pitches, a folder for each:\n",
             syllable_count, run.set_count);
    }
    if (several) {
        for (int i = 0; i < run.set_count; ++i)
            putf(t, "  %-6s %.6g Hz\n", run.sets[i].folder, run.sets[i].f0);
        put(t, "For each note the samplers take the recordings of the nearest pitch\n"
               "(prefix.map).\n\n");
    }

    putf(t, "Made by %s with\n", run.program);
    putf(t, "  Voice: %s\n", run.voice);
    if (vcv)
        putf(t, "  Tempo: %.6g beats a minute\n", 60 / list.beat);
    else
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
    char speed_option[32] = "";
    if (!vcv)
        snprintf(speed_option, sizeof speed_option, " -speed %d", run.speed);
    putf(t, "that is: morivox -voice %s%s -rate %d%s%s%s%s%s -oto\n", run.voice, speed_option, run.rate,
         run.sinc_filter ? " -sinc" : "", pitch_said ? " -pitch " : "", pitch_said ? run.pitch : "", name_option,
         vcv ? " -vcv" : "");
    put(t, "The same command with the same voice data gives the same files.\n\n");

    // One file a line, its name in a column wide enough for the longest.
    const int width = several ? 26 : 20;
    const auto file = [&](const char* name, const char* what) { putf(t, "  %-*s %s\n", width, name, what); };
    put(t, "Files\n");
    const char* const stem = vcv ? "_<string>" : "<syllable>";
    char wav[64], frq[64], oto[64];
    snprintf(wav, sizeof wav, "%s%s.wav", several ? "<note>/" : "", stem);
    snprintf(frq, sizeof frq, "%s%s_wav.frq", several ? "<note>/" : "", stem);
    snprintf(oto, sizeof oto, "%soto.ini", several ? "<note>/" : "");
    file(wav, several ? "the recordings, 16-bit mono, a folder per pitch" : "the recordings, 16-bit mono");
    file(frq, "their frequency maps: pitch and level every 256");
    file("", "samples, from the voice's set pitch, not estimated");
    file(oto, several ? "where each recording's parts lie (Shift-JIS); the" : "where each recording's parts lie (Shift-JIS)");
    if (several) {
        char aliases[64];
        snprintf(aliases, sizeof aliases, "aliases end in the folder's note: %s%s", vcv ? "a ka" : "ka",
                 run.sets[0].suffix);
        file("", aliases);
        file("prefix.map", "the pitch the samplers take for each note, C1 to B7");
    }
    file("character.txt", "the voicebank's name, icon and sample (Shift-JIS)");
    file("character.yaml", vcv ? "the text encoding and the phonemizer, for OpenUtau" : "the text encoding, for OpenUtau");
    if (vcv)
        file("presamp.ini", "the phonemizer's vowel table, カ゜ and its like added");
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
    const synth_credits* v = synth_find_credits(run.voice);
    if (v != nullptr) {
        put(t, v->about);
        put(t, "\nTerms of use\n");
        put(t, v->terms);
    } else {
        putf(t, "Morivox has no credits for the voice '%s'.\n", run.voice);
    }
    return finish(t, out);
}
