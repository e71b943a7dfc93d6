#ifndef VELTORA_BSDIFF_H
#define VELTORA_BSDIFF_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Makes BSDIFF40 patches: the vendor side of what the updater's bspatch applies.
namespace Bsdiff {

// The patch that turns oldData into newData. Throws std::bad_alloc or
// std::runtime_error when memory or the compressor fails.
std::vector<uint8_t> makePatch(const uint8_t *oldData, size_t oldSize, const uint8_t *newData, size_t newSize);

// Reads both files and writes the patch; false with a reason on any failure.
bool makePatchFile(const std::string &oldPath, const std::string &newPath, const std::string &patchPath,
                   std::string *error);

} // namespace Bsdiff

#endif
