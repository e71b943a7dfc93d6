// Drives patch making and application for the benchmarks:
//   bench_patch make OLD NEW PATCH     our BSDIFF40 writer
//   bench_patch apply OLD NEW PATCH    the updater's bspatch
//   bench_patch floor PATCH            only decompresses the patch's three bzip2 blocks
#include "bsdiff.h"
#include "bspatch.h"

#include <bzlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int64_t offtin(const unsigned char *b)
{
    uint64_t m = 0;
    for (int i = 6; i >= 0; --i)
        m = (m << 8) | b[i];
    m |= uint64_t(b[7] & 0x7f) << 56;
    return (b[7] & 0x80) ? -int64_t(m) : int64_t(m);
}

// Decompresses one bzip2 stream starting at offset, discarding the output.
bool drain(const char *path, long offset)
{
    FILE *f = std::fopen(path, "rb");
    if (!f || std::fseek(f, offset, SEEK_SET) != 0)
        return false;
    int err = BZ_OK;
    BZFILE *bz = BZ2_bzReadOpen(&err, f, 0, 0, nullptr, 0);
    std::vector<char> buffer(1 << 20);
    while (err == BZ_OK)
        BZ2_bzRead(&err, bz, buffer.data(), int(buffer.size()));
    const bool ok = err == BZ_STREAM_END;
    BZ2_bzReadClose(&err, bz);
    std::fclose(f);
    return ok;
}

int floorOf(const char *patch)
{
    FILE *f = std::fopen(patch, "rb");
    unsigned char header[32];
    if (!f || std::fread(header, 1, 32, f) != 32)
        return 1;
    std::fclose(f);
    const int64_t x = offtin(header + 8), y = offtin(header + 16);
    return drain(patch, 32) && drain(patch, long(32 + x)) && drain(patch, long(32 + x + y)) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "make" && argc == 5) {
        std::string error;
        if (!Bsdiff::makePatchFile(argv[2], argv[3], argv[4], &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (command == "apply" && argc == 5)
        return bspatch(argv[2], argv[3], argv[4]);
    if (command == "floor" && argc == 3)
        return floorOf(argv[2]);
    std::fprintf(stderr, "usage: bench_patch make|apply OLD NEW PATCH | floor PATCH\n");
    return 2;
}
