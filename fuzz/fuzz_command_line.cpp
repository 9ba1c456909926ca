// The command-line parser on arbitrary argument lists (NUL-separated),
// with every number checked against strtoll saturated to 32 bits.

#include "driver/driver.h"

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
    }
    return 0;
}
