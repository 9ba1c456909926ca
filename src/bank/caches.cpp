// The names of what samplers and resamplers make beside a recording.

#include "bank/bank.h"

#include <cstdio>
#include <cstring>

namespace {

// After the stem: the names OpenUtau copies back for an external
// resampler (VoicebankFiles.GetMetaFiles: the file's name and a suffix, or
// its stem and one), world4utau's (its makeFilename: the stem and one),
// TIPS's pitch marks and hifisampler's separation.
const char* const cache_suffixes[bank_cache_count] = {
    ".wav.llsm", ".wav.uspec", ".wav.dio", ".wav.star", ".wav.platinum", ".wav.frc", ".wav.pmk", ".wav.vs4ufrq",
    ".rudb",     ".sc.npz",    ".hifi.npz", ".dio",    ".star",         ".platinum", "_wav.pmk", "_hnsep",
};

// hifisampler's flags in its caches' names: "Hb100", "g-5", "Ht".
size_t flag_length(const char* p)
{
    size_t n = strncmp(p, "Hb", 2) == 0 || strncmp(p, "Ht", 2) == 0 || strncmp(p, "Hv", 2) == 0 ? 2
               : p[0] == 'g'                                                                 ? 1
                                                                                             : 0;
    if (n == 0)
        return 0;
    if (p[n] == '-' && p[n + 1] >= '0' && p[n + 1] <= '9')
        ++n;
    while (p[n] >= '0' && p[n] <= '9')
        ++n;
    return n;
}

} // namespace

int bank_cache_name(int which, const char* folder, const char* stem, char* out, size_t size)
{
    if (which < 0 || which >= bank_cache_count)
        return -1;
    const int n = snprintf(out, size, "%s%s%s", folder, stem, cache_suffixes[which]);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : 0;
}

bool bank_is_flagged_cache(const char* name, const char* stem)
{
    const size_t length = strlen(stem);
    if (strncmp(name, stem, length) != 0 || name[length] != '_')
        return false;
    // "_" then flags joined by '_', then ".hifi.npz".
    for (const char* p = name + length; *p == '_';) {
        const size_t n = flag_length(p + 1);
        if (n == 0)
            return false;
        p += 1 + n;
        if (strcmp(p, ".hifi.npz") == 0)
            return true;
    }
    return false;
}
