// The files -oto writes beside the recordings and, for several pitches,
// above them, made from the run's timings and from the recordings as they
// lie on the disk.

#include "bank/bank.h"

#include "wav/wav.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// The recording of text `entry` of the set's list as it lies in `set`'s
// folder: its samples (malloc, the caller frees) and rate. Returns bank_ok,
// bank_recording_gone when it is not there (someone removed it), or
// bank_recording_changed when it cannot be read as this program writes it.
int read_recording(const bank_set& set, int entry, int16_t** samples, size_t* count, int* rate)
{
    *samples = nullptr;
    *count = 0;
    char name[160];
    snprintf(name, sizeof name, "%s%s.wav", set.folder, set.list->texts[entry].name);
    FILE* f = fopen(name, "rb");
    if (f == nullptr)
        return errno == ENOENT ? bank_recording_gone : errno == ENOMEM ? bank_no_memory : bank_recording_changed;
    uint8_t header[wav_header_size];
    const wav_format format = fread(header, 1, sizeof header, f) == sizeof header ? wav_read_format(header)
                                                                                   : wav_format{};
    int result = bank_recording_changed;
    if (format.channels == 1 && format.bits_per_sample == 16 && format.sampling_rate > 0) {
        const size_t n = format.data_size / 2;
        auto* s = static_cast<int16_t*>(malloc(n > 0 ? n * sizeof(int16_t) : 1));
        if (s == nullptr) {
            result = bank_no_memory;
        } else if (fread(s, sizeof(int16_t), n, f) != n) {  // little-endian host, as the writer
            free(s);
        } else {
            *samples = s;
            *count = n;
            *rate = static_cast<int>(format.sampling_rate);
            result = bank_ok;
        }
    }
    fclose(f);
    return result;
}

bool has_sample(const bank_set& set)
{
    int aliases[bank_phrase_length];
    bank_phrase_aliases(*set.list, aliases);
    for (const int a : aliases) {
        if (a < 0 || !set.on_disk[set.list->aliases[a].text])
            return false;
    }
    return true;
}

// The sample phrase is made from the first set.
bool has_sample(const bank_run& run)
{
    return run.set_count > 0 && has_sample(run.sets[0]);
}

bool every_recording(const bank_set& set)
{
    for (int k = 0; k < set.list->count; ++k) {
        if (!set.on_disk[k])
            return false;
    }
    return true;
}

bool any_recording(const bank_set& set)
{
    for (int k = 0; k < set.list->count; ++k) {
        if (set.on_disk[k])
            return true;
    }
    return false;
}

// A line per alias of the set's list, recording by recording, each alias
// with the set's suffix, each file named from the set's folder. A
// recording kept from the earlier set keeps its earlier lines.
int make_oto_ini(const bank_run& run, int which, int, bank_bytes* out)
{
    const bank_set& set = run.sets[which];
    const bank_list& list = *set.list;
    constexpr size_t line_room = 192;
    // An earlier line is copied at most once, with a CR LF at most added.
    const size_t room = static_cast<size_t>(list.alias_count) * line_room +
                        (set.old_oto != nullptr ? 2 * set.old_oto_size + 2 : 0);
    *out = {static_cast<uint8_t*>(malloc(room)), 0};
    if (out->bytes == nullptr)
        return bank_no_memory;
    auto* text = reinterpret_cast<char*>(out->bytes);
    int n = 0;
    for (int k = 0, a = 0; k < list.count && n >= 0; ++k) {
        char file[128];
        snprintf(file, sizeof file, "%s.wav", list.texts[k].name);
        for (; a < list.alias_count && list.aliases[a].text == k && n >= 0; ++a) {
            if (!set.on_disk[k])
                continue;
            char alias[64];
            snprintf(alias, sizeof alias, "%s%s", list.aliases[a].name, set.suffix);
            n = bank_oto_line(file, alias, oto_alias_values(list, list.aliases[a], set.times[k]), text + out->size,
                              line_room);
            out->size += n > 0 ? static_cast<size_t>(n) : 0;
        }
        if (!set.on_disk[k] && set.kept != nullptr && set.kept[k] && set.old_oto != nullptr && n >= 0) {
            char sjis[128];
            n = bank_to_cp932(file, sjis, sizeof sjis);
            if (n >= 0)
                n = bank_old_oto_lines(set.old_oto, set.old_oto_size, sjis, text, out->size, room);
            out->size += n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
    if (n < 0) {
        free(out->bytes);
        *out = {nullptr, 0};
        return n;
    }
    return bank_ok;
}

int make_character_txt(const bank_run& run, int, int, bank_bytes* out)
{
    char name[bank_name_max + 64];
    const int n = bank_singer_name(run, name, sizeof name);
    if (n < 0) {
        *out = {nullptr, 0};
        return n;
    }
    return bank_character_txt(name, run.voice, has_sample(run), out);
}

int make_character_yaml(const bank_run& run, int, int, bank_bytes* out)
{
    return bank_character_yaml(*run.sets[0].list, out);
}

int make_presamp_ini(const bank_run&, int, int, bank_bytes* out)
{
    return bank_presamp_ini(out);
}

int make_readme(const bank_run& run, int, int, bank_bytes* out)
{
    return bank_readme(run, has_sample(run), out);
}

int make_icon(const bank_run& run, int, int, bank_bytes* out)
{
    int notes[bank_max_sets];
    const int count = run.set_count < bank_max_sets ? run.set_count : bank_max_sets;
    for (int i = 0; i < count; ++i)
        notes[i] = run.sets[i].note;
    return bank_icon(run.voice, notes, count, out);
}

// "hajimemashite", joined from the first set's recordings at their oto.ini
// timings, from the aliases bank_phrase_aliases says.
int make_sample(const bank_run& run, int, int, bank_bytes* out)
{
    *out = {nullptr, 0};
    if (!has_sample(run))
        return bank_bad_input;
    const bank_set& set = run.sets[0];
    int aliases[bank_phrase_length];
    bank_phrase_aliases(*set.list, aliases);
    bank_piece pieces[bank_phrase_length] = {};
    int rate = 0, result = bank_ok;
    for (int i = 0; i < bank_phrase_length && result == bank_ok; ++i) {
        const bank_alias& a = set.list->aliases[aliases[i]];
        int16_t* samples = nullptr;
        result = read_recording(set, a.text, &samples, &pieces[i].count, &rate);
        pieces[i].samples = samples;
        pieces[i].oto = oto_alias_values(*set.list, a, set.times[a.text]);
    }
    int16_t* phrase = nullptr;
    size_t count = 0;
    if (result == bank_ok)
        result = bank_phrase(pieces, bank_phrase_length, rate, &phrase, &count);
    for (const bank_piece& p : pieces)
        free(const_cast<int16_t*>(p.samples));
    if (result != bank_ok)
        return result;
    const size_t data = count * sizeof(int16_t);
    out->bytes = static_cast<uint8_t*>(malloc(wav_header_size + data));
    if (out->bytes == nullptr || data > wav_max_data_size) {
        free(out->bytes);
        free(phrase);
        *out = {nullptr, 0};
        return bank_no_memory;
    }
    wav_build_header(out->bytes, static_cast<uint32_t>(data), 16, 1, rate);
    memcpy(out->bytes + wav_header_size, phrase, data);  // little-endian host
    out->size = wav_header_size + data;
    free(phrase);
    return bank_ok;
}

// The recording's frequency map: its set pitch where the voice voiced it.
int make_frq(const bank_run& run, int which, int entry, bank_bytes* out)
{
    *out = {nullptr, 0};
    const bank_set& set = run.sets[which];
    int16_t* samples = nullptr;
    size_t count = 0;
    int rate = 0;
    const int read = read_recording(set, entry, &samples, &count, &rate);
    if (read != bank_ok)
        return read;
    const auto at = [&](double ms) {
        const double i = ms * rate / 1000;
        return i <= 0 ? size_t{0} : i >= static_cast<double>(count) ? count : static_cast<size_t>(i);
    };
    // Each mora's voiced run, those that touch joined.
    bank_span voiced[bank_max_morae];
    size_t spans = 0;
    for (int m = 0; m < set.list->texts[entry].mora_count; ++m) {
        const oto_times& t = set.times[entry][m];
        const bank_span span = {at(t.voiced_start), at(t.voiced_end)};
        if (span.end <= span.start)
            continue;
        if (spans > 0 && span.start <= voiced[spans - 1].end)
            voiced[spans - 1].end = span.end > voiced[spans - 1].end ? span.end : voiced[spans - 1].end;
        else
            voiced[spans++] = span;
    }
    const int made = bank_frq(samples, count, set.f0, voiced, spans, out);
    free(samples);
    return made;
}

// Which recordings the samplers take for each note.
int make_prefix_map(const bank_run& run, int, int, bank_bytes* out)
{
    return bank_prefix_map(run.sets, run.set_count, out);
}

} // namespace

const bank_file bank_files[] = {
    {"_wav.frq", bank_per_recording, false, false, make_frq},
    {"oto.ini", bank_per_set, false, false, make_oto_ini},
    {"character.txt", bank_per_bank, false, false, make_character_txt},
    {"character.yaml", bank_per_bank, false, false, make_character_yaml},
    {"presamp.ini", bank_per_bank, false, true, make_presamp_ini},
    {"readme.txt", bank_per_bank, false, false, make_readme},
    {bank_icon_file, bank_per_bank, false, false, make_icon},
    {bank_sample_file, bank_per_bank, false, false, make_sample},
    {"prefix.map", bank_per_bank, true, false, make_prefix_map},
};
const int bank_file_count = sizeof bank_files / sizeof bank_files[0];

bool bank_file_of(const bank_file& f, bank_list_kind kind)
{
    return !f.vcv_only || kind == bank_list_vcv;
}

bool bank_file_wanted(const bank_file& f, const bank_run& run, int set, int entry)
{
    if (set < 0 || set >= run.set_count || !bank_file_of(f, run.sets[set].list->kind))
        return false;
    if (f.scope == bank_per_recording)
        return entry >= 0 && entry < run.sets[set].list->count && run.sets[set].on_disk[entry];
    if (f.scope == bank_per_set)
        return any_recording(run.sets[set]);
    bool any = false;
    for (int i = 0; i < run.set_count; ++i)
        any = any || any_recording(run.sets[i]);
    if (!any)
        return false;
    if (f.make == make_sample)
        return has_sample(run);
    if (f.make == make_prefix_map) {
        bool complete = run.set_count > 1;
        for (int i = 0; i < run.set_count && complete; ++i)
            complete = every_recording(run.sets[i]);
        return complete;
    }
    return true;
}

int bank_file_name(const bank_file& f, const char* folder, const char* stem, char* out, size_t size)
{
    const int n = f.scope == bank_per_recording && stem != nullptr ? snprintf(out, size, "%s%s%s", folder, stem, f.name)
                                                                   : snprintf(out, size, "%s%s", folder, f.name);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : 0;
}

bool bank_is_file_name(const char* name)
{
    for (const bank_file& f : bank_files) {
        if (f.scope != bank_per_recording) {
            if (strcmp(name, f.name) == 0)
                return true;
            continue;
        }
        for (const bank_list_kind kind : {bank_list_cv, bank_list_vcv}) {
            const bank_list& list = bank_list_of(kind);
            for (int k = 0; k < list.count; ++k) {
                char made[160];
                if (bank_file_name(f, "", list.texts[k].name, made, sizeof made) == 0 && strcmp(name, made) == 0)
                    return true;
            }
        }
    }
    return false;
}

int bank_old_oto_lines(const uint8_t* oto, size_t oto_size, const char* sjis_file, char* out, size_t used,
                       size_t size)
{
    const size_t want = strlen(sjis_file);
    size_t added = 0;
    for (size_t from = 0; from < oto_size;) {
        const uint8_t* end = static_cast<const uint8_t*>(memchr(oto + from, '\n', oto_size - from));
        const size_t to = end != nullptr ? static_cast<size_t>(end - oto) : oto_size;
        // The line without its CR, and its file: before the first '=',
        // without the blanks that OpenUtau trims.
        size_t last = to;
        while (last > from && oto[last - 1] == '\r')
            --last;
        size_t a = from;
        while (a < last && (oto[a] == ' ' || oto[a] == '\t'))
            ++a;
        const uint8_t* eq = static_cast<const uint8_t*>(memchr(oto + a, '=', last - a));
        size_t b = eq != nullptr ? static_cast<size_t>(eq - oto) : a;
        while (b > a && (oto[b - 1] == ' ' || oto[b - 1] == '\t'))
            --b;
        if (eq != nullptr && b - a == want && memcmp(oto + a, sjis_file, want) == 0) {
            const size_t length = last - from;
            if (used + added + length + 2 > size)
                return bank_no_room;
            memcpy(out + used + added, oto + from, length);
            memcpy(out + used + added + length, "\r\n", 2);
            added += length + 2;
        }
        from = to + 1;
    }
    return static_cast<int>(added);
}
