// Renders the strings of a VCV recording list with a voice, one mora a
// beat, as the set's files will hold them: each a WAV at 44100 Hz through
// the program's resampler, and every mora's marks in marks.csv (ms). Then
// says the CPU time per second of sound, to set beside a CV run's.
//
//   vcv_strings [--voice hts|espeak] [--beat MS] [--pitch HZ] [--out DIR]
//               [--quiet] [--list FILE] [STRING...]
//
// A STRING is UTF-8 kana, the rest mark `_` before it as in the recording
// lists (`_あかあきあくあ`); --list reads one a line (# starts a comment).
// The files are named after the strings, `_` included. Defaults: hts, a
// beat of 375 ms, 110 Hz, the folder vcv_out.
//
// marks.csv has a line per mora: the six marks the voice gives, and for
// the scripts that measure the held parts, `beat` (glide_end, the vowel's
// onset), `steady_start` (30 ms after it, where the shaping starts to hold
// the level at the earliest) and `next_start` (the next mora's consonant,
// or the end of voicing after the last).

#include "bank/bank.h"
#include "resample/resample.h"
#include "synth/espeak_voice.h"
#include "synth/hts_voice.h"
#include "wav/wav.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

double cpu_seconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The UTF-8 kana of each mora of `utf8`: a kana with the marks and small
// kana after it.
std::vector<std::string> morae_of(const std::string& utf8)
{
    static const char* const joining[] = {"ぁ", "ぃ", "ぅ", "ぇ", "ぉ", "ゃ", "ゅ", "ょ", "ァ",
                                          "ィ", "ゥ", "ェ", "ォ", "ャ", "ュ", "ョ", "゜"};
    std::vector<std::string> out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        const std::string ch = utf8.substr(i, len);
        i += len;
        bool joins = false;
        for (const char* j : joining)
            joins = joins || ch == j;
        if (joins && !out.empty())
            out.back() += ch;
        else
            out.push_back(ch);
    }
    return out;
}

bool write_file(const std::string& path, const void* data, size_t size, const void* head, size_t head_size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = fwrite(head, 1, head_size, f) == head_size && fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: vcv_strings [--voice hts|espeak] [--beat MS] [--pitch HZ] [--out DIR] [--quiet] "
                    "[--list FILE] [STRING...]\n");
    exit(2);
}

} // namespace

int main(int argc, char** argv)
{
    const synth_voice* voice = &hts_voice;
    double beat = 0.375, f0 = synth_steady_f0;
    std::string out_dir = "vcv_out";
    bool quiet = false;
    std::vector<std::string> strings;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quiet") {
            quiet = true;
            continue;
        }
        if (a.rfind("--", 0) != 0) {
            strings.push_back(a);
            continue;
        }
        if (i + 1 >= argc)
            usage();
        const std::string value = argv[++i];
        if (a == "--voice" && (value == "hts" || value == "espeak")) {
            voice = value == "hts" ? &hts_voice : &espeak_voice;
        } else if (a == "--beat") {
            beat = atof(value.c_str()) / 1000;
        } else if (a == "--pitch") {
            f0 = atof(value.c_str());
        } else if (a == "--out") {
            out_dir = value;
        } else if (a == "--list") {
            FILE* f = fopen(value.c_str(), "r");
            if (f == nullptr) {
                fprintf(stderr, "%s: %s\n", value.c_str(), strerror(errno));
                return 1;
            }
            char line[1024];
            while (fgets(line, sizeof line, f) != nullptr) {
                std::string s = line;
                while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
                    s.pop_back();
                if (!s.empty() && s[0] != '#')
                    strings.push_back(s);
            }
            fclose(f);
        } else {
            usage();
        }
    }
    if (mkdir(out_dir.c_str(), 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "%s: %s\n", out_dir.c_str(), strerror(errno));
        return 1;
    }
    synth_engine* engine = nullptr;
    if (voice->open(&engine) != synth_ok) {
        fprintf(stderr, "the voice does not open: %s\n", voice->failure() ? voice->failure() : "");
        return 1;
    }
    FILE* csv = fopen((out_dir + "/marks.csv").c_str(), "w");
    if (csv == nullptr) {
        fprintf(stderr, "%s/marks.csv: %s\n", out_dir.c_str(), strerror(errno));
        return 1;
    }
    fprintf(csv, "file,mora,kana,consonant_start,vowel_start,glide_end,steady_end,voiced_start,voiced_end,"
                 "beat,steady_start,next_start,length\n");
    double synth_cpu = 0, sound_seconds = 0;
    int failed = 0;
    const double started = cpu_seconds();
    for (const std::string& string : strings) {
        const std::string name = string[0] == '_' ? string : "_" + string;
        const std::string kana = name.substr(1);
        char sjis[synth_max_text_bytes + 1];
        if (bank_to_cp932(kana.c_str(), sjis, sizeof sjis) < 0) {
            fprintf(stderr, "%s: not kana of Shift-JIS, or too long\n", name.c_str());
            ++failed;
            continue;
        }
        synth_image im{};
        const double t0 = cpu_seconds();
        const synth_error made = voice->synthesize(engine, sjis, synth_min_speed, f0, beat, &im);
        synth_cpu += cpu_seconds() - t0;
        if (made != synth_ok) {
            fprintf(stderr, "%s: ERR:%d %s\n", name.c_str(), made, voice->failure() ? voice->failure() : "");
            ++failed;
            continue;
        }
        const uint32_t rate = wav_read_format(im.bytes).sampling_rate;
        int bytes = 0;
        int16_t* samples = resample_wave(im.bytes, bank_sampler_rate, &bytes, 0);
        uint8_t header[wav_header_size];
        wav_build_header(header, static_cast<uint32_t>(bytes), 16, 1, bank_sampler_rate);
        if (samples == nullptr ||
            !write_file(out_dir + "/" + name + ".wav", samples, static_cast<size_t>(bytes), header, sizeof header)) {
            fprintf(stderr, "%s: not written\n", name.c_str());
            return 1;
        }
        free(samples);
        const double length = bytes / 2 * 1000.0 / bank_sampler_rate;
        sound_seconds += length / 1000;
        const auto ms = [&](size_t at) { return static_cast<double>(at) * 1000.0 / rate; };
        const std::vector<std::string> kanas = morae_of(kana);
        for (int m = 0; m < im.mora_count; ++m) {
            const synth_marks& k = im.marks[m];
            const size_t next = m + 1 < im.mora_count ? im.marks[m + 1].consonant_start : k.voiced_end;
            fprintf(csv, "%s,%d,%s,%.2f,%.2f,%.2f,%.2f,%.2f,%.2f,%.2f,%.2f,%.2f,%.2f\n", name.c_str(), m,
                    m < static_cast<int>(kanas.size()) ? kanas[static_cast<size_t>(m)].c_str() : "?", ms(k.consonant_start),
                    ms(k.vowel_start), ms(k.glide_end), ms(k.steady_end), ms(k.voiced_start), ms(k.voiced_end),
                    ms(k.glide_end), ms(k.glide_end) + 30.0, ms(next), length);
        }
        if (!quiet)
            printf("%s: %.0f ms, %d morae\n", name.c_str(), length, im.mora_count);
        voice->free_image(&im);
    }
    fclose(csv);
    voice->close(engine);
    printf("%zu strings (%d failed), %.1f s of sound; synthesis %.2f s CPU (%.2f ms per second of sound), "
           "whole %.2f s CPU (%.2f ms per second)\n",
           strings.size(), failed, sound_seconds, synth_cpu, synth_cpu * 1000 / (sound_seconds > 0 ? sound_seconds : 1),
           cpu_seconds() - started, (cpu_seconds() - started) * 1000 / (sound_seconds > 0 ? sound_seconds : 1));
    return failed == 0 ? 0 : 1;
}
