#include "bsdiff.h"

#include <bzlib.h>
#include <divsufsort.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

// How the patch is found: a suffix array of the old file gives, for any place in
// the new file, the longest stretch of old bytes equal to what follows. Stretches of
// at least minimumMatch bytes become anchors, each with its alignment (old offset
// minus new offset). Neighbouring anchors of one alignment are joined, so a few
// changed bytes inside a long similar stretch cost a few non-zero diff bytes rather
// than a control triple. Each aligned region then grows into the gap next to it as
// long as more bytes match than differ; what is left between regions is extra data.

namespace Bsdiff {
namespace {

constexpr size_t minimumMatch = 12;
// Joined into one region when the same alignment resumes within this many bytes.
constexpr size_t joinGap = 512;
// Comparisons in the binary search look at most this far; longer matches are measured afterwards.
constexpr size_t searchDepth = 1 << 16;
// An extension stops once it has fallen this far below its best score.
constexpr long extensionSlack = 256;

struct Region
{
    size_t newStart;
    size_t newEnd;
    int64_t oldStart; // old offset aligned with newStart
};

size_t commonPrefix(const uint8_t *a, size_t aLength, const uint8_t *b, size_t bLength, size_t limit = SIZE_MAX)
{
    const size_t n = std::min({aLength, bLength, limit});
    size_t i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

class Matcher
{
public:
    Matcher(const uint8_t *old, size_t oldSize) : m_old(old), m_oldSize(oldSize)
    {
        if (oldSize == 0 || oldSize > size_t(INT32_MAX) - 1)
            return; // nothing to match against (very large old files are patched as new data)
        m_suffixes.resize(oldSize);
        if (divsufsort(old, m_suffixes.data(), saidx_t(oldSize)) != 0)
            m_suffixes.clear();
    }

    // Longest match of query[0..length) in the old data: old offset and length.
    std::pair<size_t, size_t> longest(const uint8_t *query, size_t length) const
    {
        if (m_suffixes.empty() || length == 0)
            return {0, 0};
        // First suffix not less than the query (up to searchDepth bytes).
        size_t lo = 0;
        size_t hi = m_suffixes.size();
        const size_t depth = std::min(length, searchDepth);
        while (lo < hi) {
            const size_t mid = lo + (hi - lo) / 2;
            if (suffixLess(size_t(m_suffixes[mid]), query, depth))
                lo = mid + 1;
            else
                hi = mid;
        }
        std::pair<size_t, size_t> best{0, 0};
        for (size_t candidate : {lo, lo - 1}) {
            if (candidate >= m_suffixes.size())
                continue;
            const size_t at = size_t(m_suffixes[candidate]);
            const size_t n = commonPrefix(m_old + at, m_oldSize - at, query, length);
            if (n > best.second)
                best = {at, n};
        }
        return best;
    }

private:
    bool suffixLess(size_t at, const uint8_t *query, size_t depth) const
    {
        const size_t available = m_oldSize - at;
        const size_t n = commonPrefix(m_old + at, available, query, depth);
        if (n == depth)
            return false; // equal as far as we look
        if (n == available)
            return true; // the suffix is a proper prefix of the query
        return m_old[at + n] < query[n];
    }

    const uint8_t *m_old;
    size_t m_oldSize;
    std::vector<saidx_t> m_suffixes;
};

std::vector<Region> findAnchors(const uint8_t *old, size_t oldSize, const uint8_t *data, size_t size)
{
    const Matcher matcher(old, oldSize);
    std::vector<Region> anchors;
    size_t pos = 0;
    while (pos < size) {
        // Staying with the current alignment is cheapest when it still matches.
        if (!anchors.empty()) {
            const int64_t delta = anchors.back().oldStart - int64_t(anchors.back().newStart);
            const int64_t at = int64_t(pos) + delta;
            if (at >= 0 && size_t(at) < oldSize) {
                const size_t n = commonPrefix(old + at, oldSize - size_t(at), data + pos, size - pos);
                if (n >= minimumMatch) {
                    anchors.push_back({pos, pos + n, at});
                    pos += n;
                    continue;
                }
            }
        }
        const auto [at, n] = matcher.longest(data + pos, size - pos);
        if (n >= minimumMatch) {
            anchors.push_back({pos, pos + n, int64_t(at)});
            pos += n;
        } else {
            ++pos;
        }
    }
    return anchors;
}

std::vector<Region> joinAnchors(const std::vector<Region> &anchors)
{
    std::vector<Region> regions;
    for (const Region &anchor : anchors) {
        if (!regions.empty()) {
            Region &last = regions.back();
            const bool sameAlignment =
                last.oldStart - int64_t(last.newStart) == anchor.oldStart - int64_t(anchor.newStart);
            if (sameAlignment && anchor.newStart - last.newEnd <= joinGap) {
                last.newEnd = anchor.newEnd;
                continue;
            }
        }
        regions.push_back(anchor);
    }
    return regions;
}

bool matchesAt(const uint8_t *old, size_t oldSize, int64_t oldPos, uint8_t value)
{
    return oldPos >= 0 && size_t(oldPos) < oldSize && old[oldPos] == value;
}

// How far a region may grow forward into [region.newEnd, limit).
size_t forwardExtension(const Region &region, size_t limit, const uint8_t *old, size_t oldSize, const uint8_t *data)
{
    long score = 0;
    long best = 0;
    size_t bestLength = 0;
    for (size_t i = region.newEnd; i < limit; ++i) {
        const int64_t oldPos = region.oldStart + int64_t(i - region.newStart);
        if (oldPos < 0 || size_t(oldPos) >= oldSize)
            break;
        score += matchesAt(old, oldSize, oldPos, data[i]) ? 1 : -1;
        if (score > best) {
            best = score;
            bestLength = i + 1 - region.newEnd;
        } else if (score < best - extensionSlack) {
            break;
        }
    }
    return bestLength;
}

// How far a region may grow backward into [limit, region.newStart).
size_t backwardExtension(const Region &region, size_t limit, const uint8_t *old, size_t oldSize, const uint8_t *data)
{
    long score = 0;
    long best = 0;
    size_t bestLength = 0;
    for (size_t i = region.newStart; i > limit; --i) {
        const int64_t oldPos = region.oldStart - int64_t(region.newStart - (i - 1));
        if (oldPos < 0 || size_t(oldPos) >= oldSize)
            break;
        score += matchesAt(old, oldSize, oldPos, data[i - 1]) ? 1 : -1;
        if (score > best) {
            best = score;
            bestLength = region.newStart - (i - 1);
        } else if (score < best - extensionSlack) {
            break;
        }
    }
    return bestLength;
}

void extendRegions(std::vector<Region> &regions, const uint8_t *old, size_t oldSize, const uint8_t *data, size_t size)
{
    for (size_t r = 0; r < regions.size(); ++r) {
        Region &region = regions[r];
        const size_t previousEnd = r == 0 ? 0 : regions[r - 1].newEnd;
        const size_t back = backwardExtension(region, previousEnd, old, oldSize, data);
        region.newStart -= back;
        region.oldStart -= int64_t(back);
        const size_t nextStart = r + 1 < regions.size() ? regions[r + 1].newStart : size;
        region.newEnd += forwardExtension(region, nextStart, old, oldSize, data);
    }
}

void putInteger(std::vector<uint8_t> &out, int64_t value)
{
    uint64_t magnitude = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = uint8_t(magnitude & 0xff);
        magnitude >>= 8;
    }
    if (value < 0)
        bytes[7] |= 0x80;
    out.insert(out.end(), bytes, bytes + 8);
}

std::vector<uint8_t> compress(const std::vector<uint8_t> &input)
{
    std::vector<uint8_t> output;
    bz_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (BZ2_bzCompressInit(&stream, 9, 0, 0) != BZ_OK)
        throw std::runtime_error("cannot start the bzip2 compressor");
    std::vector<char> buffer(1 << 20);
    stream.next_in = reinterpret_cast<char *>(const_cast<uint8_t *>(input.data()));
    size_t remaining = input.size();
    int rc = BZ_RUN_OK;
    do {
        const unsigned feed = unsigned(std::min<size_t>(remaining, 1u << 30));
        stream.avail_in = feed;
        const int action = remaining == feed ? BZ_FINISH : BZ_RUN;
        do {
            stream.next_out = buffer.data();
            stream.avail_out = unsigned(buffer.size());
            rc = BZ2_bzCompress(&stream, action);
            output.insert(output.end(), buffer.data(), buffer.data() + (buffer.size() - stream.avail_out));
        } while ((action == BZ_FINISH && rc == BZ_FINISH_OK) || (action == BZ_RUN && stream.avail_in > 0));
        remaining -= feed - stream.avail_in;
    } while (rc != BZ_STREAM_END && rc >= 0);
    BZ2_bzCompressEnd(&stream);
    if (rc != BZ_STREAM_END)
        throw std::runtime_error("bzip2 compression failed");
    return output;
}

bool readFile(const std::string &path, std::vector<uint8_t> *data)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

std::vector<uint8_t> makePatch(const uint8_t *oldData, size_t oldSize, const uint8_t *newData, size_t newSize)
{
    std::vector<Region> regions = joinAnchors(findAnchors(oldData, oldSize, newData, newSize));
    extendRegions(regions, oldData, oldSize, newData, newSize);

    std::vector<uint8_t> control;
    std::vector<uint8_t> diff;
    std::vector<uint8_t> extra;
    diff.reserve(newSize);

    // Before the first region the new bytes are extra data; then each region is
    // diff data, followed by the extra bytes up to the next region and the jump to
    // that region's old offset.
    const size_t firstStart = regions.empty() ? newSize : regions.front().newStart;
    const int64_t firstOld = regions.empty() ? 0 : regions.front().oldStart;
    putInteger(control, 0);
    putInteger(control, int64_t(firstStart));
    putInteger(control, firstOld);
    extra.insert(extra.end(), newData, newData + firstStart);

    for (size_t r = 0; r < regions.size(); ++r) {
        const Region &region = regions[r];
        const size_t length = region.newEnd - region.newStart;
        for (size_t i = 0; i < length; ++i)
            diff.push_back(uint8_t(newData[region.newStart + i] - oldData[size_t(region.oldStart) + i]));
        const bool last = r + 1 == regions.size();
        const size_t extraEnd = last ? newSize : regions[r + 1].newStart;
        extra.insert(extra.end(), newData + region.newEnd, newData + extraEnd);
        putInteger(control, int64_t(length));
        putInteger(control, int64_t(extraEnd - region.newEnd));
        putInteger(control, last ? 0 : regions[r + 1].oldStart - (region.oldStart + int64_t(length)));
    }

    const std::vector<uint8_t> controlBlock = compress(control);
    const std::vector<uint8_t> diffBlock = compress(diff);
    const std::vector<uint8_t> extraBlock = compress(extra);

    std::vector<uint8_t> patch = {'B', 'S', 'D', 'I', 'F', 'F', '4', '0'};
    putInteger(patch, int64_t(controlBlock.size()));
    putInteger(patch, int64_t(diffBlock.size()));
    putInteger(patch, int64_t(newSize));
    patch.insert(patch.end(), controlBlock.begin(), controlBlock.end());
    patch.insert(patch.end(), diffBlock.begin(), diffBlock.end());
    patch.insert(patch.end(), extraBlock.begin(), extraBlock.end());
    return patch;
}

bool makePatchFile(const std::string &oldPath, const std::string &newPath, const std::string &patchPath,
                   std::string *error)
{
    std::vector<uint8_t> oldData;
    std::vector<uint8_t> newData;
    if (!readFile(oldPath, &oldData)) {
        *error = "cannot read " + oldPath;
        return false;
    }
    if (!readFile(newPath, &newData)) {
        *error = "cannot read " + newPath;
        return false;
    }
    std::vector<uint8_t> patch;
    try {
        patch = makePatch(oldData.data(), oldData.size(), newData.data(), newData.size());
    } catch (const std::exception &e) {
        *error = e.what();
        return false;
    }
    std::ofstream out(patchPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(patch.data()), std::streamsize(patch.size()));
    out.close();
    if (!out) {
        *error = "cannot write " + patchPath;
        return false;
    }
    return true;
}

} // namespace Bsdiff
