// Runs a fuzz target over the files named on the command line (or every
// file in the folders named), for the regression tests of the normal build.

#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int replay_file(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int failures = 0, count = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) == 0 && S_ISDIR(st.st_mode)) {
            DIR* d = opendir(argv[i]);
            while (dirent* e = d ? readdir(d) : nullptr) {
                if (e->d_name[0] == '.')
                    continue;
                failures += replay_file(std::string(argv[i]) + "/" + e->d_name);
                ++count;
            }
            if (d)
                closedir(d);
        } else {
            failures += replay_file(argv[i]);
            ++count;
        }
    }
    printf("%d inputs replayed\n", count);
    return failures ? 1 : 0;
}
