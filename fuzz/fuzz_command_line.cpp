// The command-line parser on arbitrary argument lists (NUL-separated),
// with every number checked against strtoll saturated to 32 bits, and every
// word read as the notes of -pitch.

#include "driver/command_line.h"
#include "notes/notes.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What "%d" with saturation must read, from the C library's own parser.
bool reference_decimal(const char* s, int* value)
{
    // strtoll also skips the locale's spaces; in the C locale they are the same six.
    char* end = nullptr;
    errno = 0;
    const long long v = strtoll(s, &end, 10);
    if (end == s)
        return false;
    *value = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> words(1, "morivox");
    words.emplace_back();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<const char*> argv;
    for (const std::string& w : words)
        argv.push_back(w.c_str());

    run_settings s = default_settings;
    parse_command_line(static_cast<int>(argv.size()), argv.data(), &s);
    if (s.sinc_filter != 0 && s.sinc_filter != 1)
        abort();

    // Every word as the value of -speed: read as the reference reads it,
    // or the default kept.
    for (const std::string& w : words) {
        const char* one[] = {"morivox", "-speed", w.c_str()};
        run_settings got = default_settings;
        parse_command_line(3, one, &got);
        int want = default_settings.speed;
        reference_decimal(w.c_str(), &want);
        if (got.speed != want)
            abort();
        // A list read is a list of distinct notes of the range, each a
        // name that reads back as its note; a refusal points into the word.
        note_list list;
        const note_list_status read = note_list_parse(w.c_str(), 70.0, 500.0, &list);
        if (read != note_list_ok && list.bad + list.bad_length > w.size())
            abort();
        for (int i = 0; read == note_list_ok && i < list.count; ++i) {
            int again = -1;
            if (note_parse(list.names[i], &again) != 0 || again != list.notes[i] || again < note_lowest ||
                again > note_highest || note_frequency(again) < 70.0 || note_frequency(again) > 500.0)
                abort();
            for (int j = 0; j < i; ++j) {
                if (list.notes[j] == list.notes[i])
                    abort();
            }
        }
    }
    return 0;
}
