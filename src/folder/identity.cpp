// Who a run is: its tag, "<pid>-<start>-<machine>", which the lock file and
// the temporary names carry; whether the run a tag names still runs; and
// the temporary names themselves, made and read back here alone.

#include "folder/folder.h"

#include "folder/internal.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char unknown_machine[] = "0000000000000000";

// When process `pid` started, in clock ticks since boot: field 22 of
// /proc/<pid>/stat, counted after the command name's closing parenthesis
// (the name itself may hold spaces and parentheses).
int read_start(long pid, unsigned long long* start)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* f = fopen(path, "re");
    if (f == nullptr)
        return -1;
    char line[1024];
    const size_t n = fread(line, 1, sizeof line - 1, f);
    fclose(f);
    line[n] = 0;
    const char* p = strrchr(line, ')');
    if (p == nullptr)
        return -1;
    ++p;
    for (int field = 3; field <= 22; ++field) {
        while (*p == ' ')
            ++p;
        if (field == 22)
            return sscanf(p, "%llu", start) == 1 ? 0 : -1;
        while (*p != ' ' && *p != 0)
            ++p;
    }
    return -1;
}

// 64-bit FNV-1a, enough to tell boots and namespaces apart in a name.
uint64_t fnv1a(const char* text, uint64_t hash)
{
    for (; *text != 0; ++text) {
        hash ^= static_cast<unsigned char>(*text);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

// This boot of this machine and this process namespace: the kernel's boot
// id (new at every boot, different on every machine) and the inode of the
// pid namespace (different for every container on the machine).
const char* machine_key()
{
    static char key[17];
    if (key[0] != 0)
        return key;
    char boot[64] = "";
    if (FILE* f = fopen("/proc/sys/kernel/random/boot_id", "re")) {
        if (fgets(boot, sizeof boot, f) == nullptr)
            boot[0] = 0;
        fclose(f);
    }
    struct stat ns;
    if (boot[0] == 0 || stat("/proc/self/ns/pid", &ns) != 0) {
        memcpy(key, unknown_machine, sizeof key);
        return key;
    }
    char namespace_id[32];
    snprintf(namespace_id, sizeof namespace_id, "%llu", static_cast<unsigned long long>(ns.st_ino));
    const uint64_t hash = fnv1a(namespace_id, fnv1a(boot, 0xcbf29ce484222325ull));
    snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(hash));
    return key;
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

int folder_run_tag(pid_t pid, char* out, size_t size)
{
    unsigned long long start = 0;
    if (kill(pid, 0) != 0 && errno == ESRCH)
        return -1;
    if (read_start(pid, &start) != 0)
        start = 0;
    const int n = snprintf(out, size, "%ld-%llu-%s", static_cast<long>(pid), start, machine_key());
    if (n < 0 || static_cast<size_t>(n) >= size) {
        errno = ERANGE;
        return -1;
    }
    return 0;
}

const char* folder_own_tag()
{
    static char tag[folder_tag_room];
    if (tag[0] == 0 && folder_run_tag(getpid(), tag, sizeof tag) != 0)
        snprintf(tag, sizeof tag, "%ld-0-%s", static_cast<long>(getpid()), unknown_machine);
    return tag;
}

bool folder_parse_tag(const char* text, folder_tag* tag, const char** end)
{
    int used = 0;
    if (sscanf(text, "%ld-%llu-%16[0-9a-f]%n", &tag->pid, &tag->start, tag->machine, &used) != 3 ||
        strlen(tag->machine) != 16 || tag->pid <= 0 || !is_digit(text[0]))
        return false;
    *end = text + used;
    return true;
}

folder_run_state folder_state_of(const folder_tag& tag)
{
    const char* here = machine_key();
    if (strcmp(here, unknown_machine) == 0 || strcmp(tag.machine, here) != 0)
        return folder_run_unknown;
    if (kill(static_cast<pid_t>(tag.pid), 0) != 0 && errno == ESRCH)
        return folder_run_gone;
    unsigned long long start = 0;
    if (tag.start != 0 && read_start(tag.pid, &start) == 0 && start != tag.start)
        return folder_run_gone;
    return folder_run_alive;
}

bool folder_temp_name(const char* name, unsigned n, char* out, size_t size)
{
    const int used = snprintf(out, size, "%s%s%s-%u", name, folder_temp_infix, folder_own_tag(), n);
    return used >= 0 && static_cast<size_t>(used) < size;
}

bool folder_temp_stem(const char* file, char* stem, size_t size)
{
    const char* infix = strstr(file, folder_temp_infix);
    if (infix == nullptr)
        return false;
    const size_t stem_len = static_cast<size_t>(infix - file);
    if (stem_len >= size)
        return false;
    // "<tag>-<n>", or "<pid>-<n>" as earlier versions named them.
    const char* after = infix + strlen(folder_temp_infix);
    folder_tag writer{};
    const char* rest = nullptr;
    unsigned long pid = 0, counter = 0;
    int used = 0;
    const bool named = folder_parse_tag(after, &writer, &rest) && sscanf(rest, "-%lu%n", &counter, &used) == 1 &&
                       is_digit(rest[1]) && rest[used] == 0;
    const bool older = !named && is_digit(after[0]) && sscanf(after, "%lu-%lu%n", &pid, &counter, &used) == 2 &&
                       after[used] == 0;
    if (!named && !older)
        return false;
    memcpy(stem, file, stem_len);
    stem[stem_len] = 0;
    return true;
}
