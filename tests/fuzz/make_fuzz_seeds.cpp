// Writes round-trip patches against the fuzz target's old file as its seed corpus.
#include "bsdiff.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    std::vector<uint8_t> old;
    for (int i = 0; i < 4096; ++i)
        old.push_back(uint8_t((i * 37) ^ (i >> 3)));

    std::vector<std::vector<uint8_t>> versions;
    versions.push_back({});
    versions.push_back(old);
    auto changed = old;
    for (size_t i = 0; i < changed.size(); i += 97)
        changed[i] ^= 0x55;
    versions.push_back(changed);
    auto longer = old;
    longer.insert(longer.begin() + 100, old.begin(), old.begin() + 500);
    versions.push_back(longer);
    versions.push_back(std::vector<uint8_t>(old.begin() + 1000, old.begin() + 3000));
    std::vector<uint8_t> text(reinterpret_cast<const uint8_t *>("a new file entirely"),
                              reinterpret_cast<const uint8_t *>("a new file entirely") + 19);
    versions.push_back(text);

    for (size_t n = 0; n < versions.size(); ++n) {
        const auto patch = Bsdiff::makePatch(old.data(), old.size(), versions[n].data(), versions[n].size());
        const std::string path = std::string(argv[1]) + "/seed" + std::to_string(n);
        FILE *f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(patch.data(), 1, patch.size(), f) != patch.size())
            return 1;
        std::fclose(f);
    }
    return 0;
}
