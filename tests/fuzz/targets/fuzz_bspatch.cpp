// libFuzzer target: any bytes as a patch against a fixed old file must end in a
// clean success or failure, never a crash, a hang or a sanitizer report.
#include "bspatch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {
std::string directory;

void writeFile(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size)
        std::abort();
    std::fclose(f);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char pattern[] = "/tmp/fuzz-bspatch-XXXXXX";
    if (!::mkdtemp(pattern))
        std::abort();
    directory = pattern;
    std::atexit([] {
        ::unlink((directory + "/old").c_str());
        ::unlink((directory + "/new").c_str());
        ::unlink((directory + "/patch").c_str());
        ::rmdir(directory.c_str());
    });
    // The same old file the seed patches were made against.
    std::string old;
    for (int i = 0; i < 4096; ++i)
        old.push_back(char((i * 37) ^ (i >> 3)));
    writeFile(directory + "/old", reinterpret_cast<const uint8_t *>(old.data()), old.size());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string patch = directory + "/patch";
    writeFile(patch, data, size);
    bspatch((directory + "/old").c_str(), (directory + "/new").c_str(), patch.c_str());
    return 0;
}
