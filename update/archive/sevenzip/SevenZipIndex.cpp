#include "SevenZipIndex.h"

#include "SevenZipFormat.h"

#include <QIODevice>

#include <lzma.h>
#include <zlib.h>

#include <sys/stat.h>

#include <algorithm>
#include <vector>

namespace Lib7z {
namespace {

using namespace SevenZipFormat;

const quint64 maxHeaderSize = quint64(256) << 20;   // a decoded index beyond this is not ours to hold
// A packed index may decode to at most this multiple of the packet's size (and
// at least 1 MB). The index is names, bit fields and small numbers, which LZMA
// packs very well when the packet holds little data: the packer's own packet of
// 100,000 empty files with long names expands 550 times. Beyond 1024 times the
// index is taken as made to exhaust memory.
const quint64 indexExpansion = 1024;
const quint64 minDecodedLimit = quint64(1) << 20;
// What the items of a packet may take in memory: this multiple of the packet's
// size, and at least 64 MB (some 1,000,000 items).
const quint64 itemMemoryPerByte = 64;
const quint64 minItemMemory = quint64(64) << 20;
// Coders of one folder and streams of one coder: the packers use a handful.
const quint64 maxCoders = 64;
const quint64 maxCoderStreams = 64;
// A dictionary or model any packer's defaults stay within, whatever the data's size.
const quint64 maxCoderMemory = quint64(256) << 20;
const quint32 unixExtension = 0x8000;
const quint32 readOnlyAttribute = 0x01;
const quint64 fileTimeEpoch = 116444736000000000ULL;   // 1970-01-01 in 100 ns steps since 1601

// Reads the index's numbers and bit fields; every read checks what is left,
// and any overrun leaves the reader failed for good.
class ByteReader
{
public:
    ByteReader(const char *data, qint64 size) : p(reinterpret_cast<const uchar *>(data)), left(size) {}

    bool ok() const { return good; }
    qint64 remaining() const { return left; }

    quint8 byte()
    {
        if (!need(1))
            return 0;
        --left;
        return *p++;
    }
    // The index's variable-length number: leading one bits count the extra bytes.
    quint64 number()
    {
        const quint8 first = byte();
        quint8 mask = 0x80;
        quint64 value = 0;
        for (int i = 0; i < 8; ++i) {
            if ((first & mask) == 0)
                return value | (quint64(first & (mask - 1)) << (8 * i));
            value |= quint64(byte()) << (8 * i);
            mask >>= 1;
        }
        return value;
    }
    // A count of things that each take at least 1/perByte of the bytes left;
    // a count beyond that cannot be true and fails the reader before anyone
    // allocates for it.
    int count(qint64 perByte = 8)
    {
        const quint64 n = number();
        if (n > quint64(left) * quint64(perByte) || n > 0x7fffffff) {
            good = false;
            return 0;
        }
        return int(n);
    }
    // A count of things that each take at least `bytes` of what is left.
    int countTaking(qint64 bytes)
    {
        const quint64 n = number();
        if (n > quint64(left) / quint64(bytes) || n > 0x7fffffff) {
            good = false;
            return 0;
        }
        return int(n);
    }
    quint32 uint32()
    {
        quint32 v = 0;
        for (int i = 0; i < 4; ++i)
            v |= quint32(byte()) << (8 * i);
        return v;
    }
    quint64 uint64()
    {
        quint64 v = 0;
        for (int i = 0; i < 8; ++i)
            v |= quint64(byte()) << (8 * i);
        return v;
    }
    const char *take(quint64 n)
    {
        if (n > quint64(left) || !need(qint64(n)))
            return nullptr;
        const char *at = reinterpret_cast<const char *>(p);
        p += n;
        left -= qint64(n);
        return at;
    }
    // A bit field of n bits; fails the reader unless the bytes hold them.
    std::vector<bool> bits(int n)
    {
        if (n < 0 || quint64(n) > quint64(left) * 8) {
            good = false;
            return {};
        }
        std::vector<bool> v(size_t(n), false);
        quint8 current = 0;
        for (int i = 0; i < n && good; ++i) {
            if (i % 8 == 0)
                current = byte();
            v[size_t(i)] = current & (0x80 >> (i % 8));
        }
        return v;
    }
    // "All defined" byte, or a bit field of which ones are.
    std::vector<bool> defined(int n)
    {
        if (byte() != 0)
            return std::vector<bool>(size_t(qMax(0, n)), true);
        return bits(n);
    }
    void fail() { good = false; }

private:
    bool need(qint64 n)
    {
        if (left < n)
            good = false;
        return good;
    }

    const uchar *p;
    qint64 left;
    bool good = true;
};

struct Coder
{
    QByteArray id;
    QByteArray properties;
    quint64 inStreams = 1;
    quint64 outStreams = 1;
};

struct FolderInfo
{
    std::vector<Coder> coders;
    quint64 packedStreams = 1;
    quint64 outStreams = 1;
    size_t mainOut = 0;                    // the out stream no other coder takes
    std::vector<quint64> unpackSizes;      // one per out stream
    quint64 unpackSize() const { return mainOut < unpackSizes.size() ? unpackSizes[mainOut] : 0; }
    bool simple() const { return coders.size() == 1 && coders[0].inStreams == 1 && coders[0].outStreams == 1; }
};

struct StreamsInfo
{
    quint64 packPosition = 0;
    std::vector<quint64> packSizes;
    std::vector<FolderInfo> folders;
    std::vector<bool> folderCrcDefined;
    std::vector<quint32> folderCrcs;
    std::vector<int> substreamCounts;
    std::vector<quint64> substreamSizes;
    std::vector<bool> substreamCrcDefined;
    std::vector<quint32> substreamCrcs;
};

// What a pass over the index found: damage (refuse) wins over a shape this
// reader leaves to the general one (decline); the pass goes on after a
// decline so that the whole index is checked for damage.
struct Findings
{
    QString damage;
    QString shape;
    bool damaged(const QString &why)
    {
        if (damage.isEmpty())
            damage = why;
        return false;
    }
    void unusual(const QString &why)
    {
        if (shape.isEmpty())
            shape = why;
    }
};

const QByteArray lzma2Id("\x21", 1);
const QByteArray lzmaId("\x03\x01\x01", 3);
const QByteArray copyId("\x00", 1);
const QByteArray aesId("\x06\xf1\x07\x01", 4);
const QByteArray deflateId("\x04\x01\x08", 3);
const QByteArray ppmdId("\x03\x04\x01", 3);

// One folder: its coders, how they are bound, which streams are packed.
bool readFolder(ByteReader &r, FolderInfo *folder, Findings *f)
{
    const quint64 coders = r.number();
    if (!r.ok() || coders == 0 || coders > maxCoders)
        return f->damaged(QStringLiteral("a folder with %1 coders").arg(coders));
    quint64 totalIn = 0;
    quint64 totalOut = 0;
    for (quint64 i = 0; i < coders; ++i) {
        Coder coder;
        const quint8 flags = r.byte();
        if (flags & 0x80)   // alternative methods: no packer writes them, no reader takes them
            return f->damaged(QStringLiteral("a coder with alternative methods"));
        const char *id = r.take(flags & 0x0f);
        if (!id)
            return f->damaged(QStringLiteral("damaged folder"));
        coder.id = QByteArray(id, flags & 0x0f);
        if (flags & 0x10) {
            coder.inStreams = r.number();
            coder.outStreams = r.number();
            if (coder.inStreams > maxCoderStreams || coder.outStreams == 0 || coder.outStreams > maxCoderStreams)
                return f->damaged(QStringLiteral("a coder with %1 streams").arg(qMax(coder.inStreams, coder.outStreams)));
        }
        if (flags & 0x20) {
            const quint64 size = r.number();
            const char *properties = r.take(size);
            if (!properties)
                return f->damaged(QStringLiteral("damaged folder"));
            coder.properties = QByteArray(properties, int(size));
        }
        totalIn += coder.inStreams;
        totalOut += coder.outStreams;
        folder->coders.push_back(coder);
    }
    const quint64 bindPairs = totalOut - 1;
    if (totalIn < bindPairs + 1)
        return f->damaged(QStringLiteral("a folder without packed streams"));
    std::vector<bool> boundIn(size_t(totalIn), false), boundOut(size_t(totalOut), false);
    for (quint64 i = 0; i < bindPairs; ++i) {
        const quint64 in = r.number();
        const quint64 out = r.number();
        if (!r.ok() || in >= totalIn || out >= totalOut || boundIn[size_t(in)] || boundOut[size_t(out)])
            return f->damaged(QStringLiteral("damaged folder bindings"));
        boundIn[size_t(in)] = true;
        boundOut[size_t(out)] = true;
    }
    folder->packedStreams = totalIn - bindPairs;
    folder->outStreams = totalOut;
    if (folder->packedStreams > 1) {
        for (quint64 i = 0; i < folder->packedStreams; ++i)
            if (r.number() >= totalIn)
                return f->damaged(QStringLiteral("damaged folder bindings"));
    }
    for (size_t i = 0; i < boundOut.size(); ++i)
        if (!boundOut[i])
            folder->mainOut = i;
    return r.ok() || f->damaged(QStringLiteral("damaged folder"));
}

quint32 dictionaryFromProperty(quint8 p)
{
    return p >= 40 ? 0xffffffffU : (2U | (p & 1U)) << (p / 2 + 11);
}

// The most a folder of `packed` bytes can unpack to. A method's densest form is
// known for the stored, Deflate and LZMA2 folders; any other method or chain is
// held to bzip2's, the densest of the methods a 7z packet may use: a block takes
// 16 bytes at least and unpacks to 46 MB at most (900 kB of runs of 255 bytes,
// each written as 5).
quint64 maxUnpackedSize(const FolderInfo &folder, quint64 packed)
{
    const QByteArray id = folder.simple() ? folder.coders[0].id : QByteArray();
    if (id == copyId)
        return packed;
    if (id == deflateId)   // a match of 258 bytes takes two bits at least
        return (packed + 1) * 1032;
    if (id == lzma2Id)     // a chunk takes 6 bytes at least and unpacks to 2 MiB at most
        return (packed / 6 + 1) * (quint64(2) << 20);
    return (packed / 16 + 1) * quint64(46000000);
}

// The memory a coder declares it needs (an LZMA dictionary, a PPMd model), 0 if none.
quint64 declaredMemory(const Coder &coder)
{
    const QByteArray &p = coder.properties;
    if ((coder.id == lzmaId || coder.id == ppmdId) && p.size() == 5)
        return quint32(uchar(p[1])) | quint32(uchar(p[2])) << 8 | quint32(uchar(p[3])) << 16 | quint32(uchar(p[4])) << 24;
    if (coder.id == lzma2Id && p.size() == 1)
        return dictionaryFromProperty(quint8(p[0]));
    return 0;
}

// Every declared size of a folder, whatever its methods, is one its packed bytes can
// hold: the general reader sizes its work from them before it finds out otherwise.
bool declaredSizesFit(const FolderInfo &folder, quint64 packed, Findings *f)
{
    if (folder.simple() && folder.coders[0].id == copyId && folder.unpackSize() != packed)
        return f->damaged(QStringLiteral("a stored folder longer than its data"));
    const quint64 limit = maxUnpackedSize(folder, packed);
    quint64 largest = 0;
    for (quint64 size : folder.unpackSizes) {
        if (size > limit)
            return f->damaged(QStringLiteral("a folder unpacking to more than its packed size can hold"));
        largest = qMax(largest, size);
    }
    // A packer sizes a dictionary or a model to the data (the 7z tool to twice it at
    // most for LZMA, 32 times for PPMd); defaults up to the largest fit anyway.
    const quint64 memoryLimit = qMax(maxCoderMemory, 32 * qMin(largest, quint64(1) << 32));
    for (const Coder &coder : folder.coders) {
        // Our own decoder takes a plain LZMA2 folder and holds no more than its data.
        if (folder.simple() && coder.id == lzma2Id)
            continue;
        if (declaredMemory(coder) > memoryLimit)
            return f->damaged(QStringLiteral("a coder asking for %1 bytes of memory").arg(declaredMemory(coder)));
    }
    return true;
}

void readDigests(ByteReader &r, int n, std::vector<bool> *defined, std::vector<quint32> *crcs)
{
    *defined = r.defined(n);
    const qint64 present = std::count(defined->begin(), defined->end(), true);
    crcs->assign(size_t(qMax(0, n)), 0);
    if (!r.ok() || present > r.remaining() / 4) {
        r.fail();
        return;
    }
    for (int i = 0; i < n && r.ok(); ++i)
        if ((*defined)[size_t(i)])
            (*crcs)[size_t(i)] = r.uint32();
}

// The streams part of an index; false when it is damaged or absurd for a file
// of fileSize bytes. Every count is checked against the bytes left before
// anything is sized from it.
bool readStreamsInfo(ByteReader &r, StreamsInfo *s, qint64 fileSize, Findings *f)
{
    quint64 type = r.number();
    if (type == kPackInfo) {
        s->packPosition = r.number();
        const int n = r.countTaking(1);   // each size takes a byte at least
        if (!r.ok())
            return f->damaged(QStringLiteral("more packed streams than the index can hold"));
        type = r.number();
        if (type == kSize) {
            quint64 total = s->packPosition;
            for (int i = 0; i < n && r.ok(); ++i) {
                const quint64 size = r.number();
                if (size > quint64(fileSize) || total > quint64(fileSize) - size)
                    return f->damaged(QStringLiteral("packed streams beyond the end of the packet"));
                total += size;
                s->packSizes.push_back(size);
            }
            type = r.number();
        }
        if (type == kCrc) {
            std::vector<bool> defined;
            std::vector<quint32> crcs;
            readDigests(r, n, &defined, &crcs);
            type = r.number();
        }
        if (!r.ok() || type != kEnd || int(s->packSizes.size()) != n)
            return f->damaged(QStringLiteral("damaged packed stream list"));
        type = r.number();
    }
    if (type == kUnpackInfo) {
        if (r.number() != kFolder)
            return f->damaged(QStringLiteral("damaged folder list"));
        const int n = r.countTaking(2);   // a coder count and a coder's flags at least
        if (!r.ok())
            return f->damaged(QStringLiteral("more folders than the index can hold"));
        if (r.byte() != 0)   // folders kept elsewhere
            return f->damaged(QStringLiteral("folders kept elsewhere"));
        s->folders.reserve(size_t(n));
        for (int i = 0; i < n; ++i) {
            s->folders.emplace_back();
            if (!readFolder(r, &s->folders.back(), f))
                return false;
        }
        if (r.number() != kCodersUnpackSize)
            return f->damaged(QStringLiteral("damaged folder list"));
        for (FolderInfo &folder : s->folders) {
            for (quint64 i = 0; i < folder.outStreams && r.ok(); ++i)
                folder.unpackSizes.push_back(r.number());
        }
        if (!r.ok())
            return f->damaged(QStringLiteral("damaged folder list"));
        type = r.number();
        if (type == kCrc) {
            readDigests(r, n, &s->folderCrcDefined, &s->folderCrcs);
            type = r.number();
        }
        s->folderCrcDefined.resize(size_t(n), false);
        s->folderCrcs.resize(size_t(n), 0);
        if (!r.ok() || type != kEnd)
            return f->damaged(QStringLiteral("damaged folder list"));
        type = r.number();
    }
    const size_t folders = s->folders.size();
    quint64 packedStreams = 0;
    for (const FolderInfo &folder : s->folders)
        packedStreams += folder.packedStreams;
    if (packedStreams != s->packSizes.size())
        return f->damaged(QStringLiteral("folders and packed streams do not match"));
    for (size_t i = 0, pack = 0; i < folders; pack += s->folders[i].packedStreams, ++i) {
        quint64 packed = 0;   // within the file, checked above
        for (quint64 j = 0; j < s->folders[i].packedStreams; ++j)
            packed += s->packSizes[pack + j];
        if (!declaredSizesFit(s->folders[i], packed, f))
            return false;
    }
    s->substreamCounts.assign(folders, 1);
    if (type == kSubStreamsInfo) {
        type = r.number();
        if (type == kNumUnpackStream) {
            quint64 extra = 0;
            for (size_t i = 0; i < folders && r.ok(); ++i) {
                s->substreamCounts[i] = r.count(1);
                extra += quint64(qMax(0, s->substreamCounts[i] - 1));
            }
            // Each stream after a folder's first has its size written: a byte at least.
            if (!r.ok() || extra > quint64(r.remaining()))
                return f->damaged(QStringLiteral("more streams than the index can hold"));
            type = r.number();
        }
        for (size_t i = 0; i < folders && r.ok(); ++i) {
            const int n = s->substreamCounts[i];
            if (n > 1 && type != kSize)
                return f->damaged(QStringLiteral("streams without sizes"));
            const quint64 unpackSize = s->folders[i].unpackSize();
            quint64 sum = 0;
            for (int j = 1; j < n && r.ok(); ++j) {
                const quint64 size = r.number();
                if (size > unpackSize - sum)
                    return f->damaged(QStringLiteral("streams longer than their folder"));
                sum += size;
                s->substreamSizes.push_back(size);
            }
            if (n > 0)
                s->substreamSizes.push_back(unpackSize - sum);
        }
        if (!r.ok())
            return f->damaged(QStringLiteral("damaged stream list"));
        if (type == kSize)
            type = r.number();
        // Items whose folder has one stream with a known digest take the folder's.
        qint64 unknown = 0;
        for (size_t i = 0; i < folders; ++i)
            if (!(s->substreamCounts[i] == 1 && s->folderCrcDefined[i]))
                unknown += s->substreamCounts[i];
        if (unknown > qint64(s->substreamSizes.size()))
            return f->damaged(QStringLiteral("damaged stream list"));
        std::vector<bool> defined(size_t(unknown), false);
        std::vector<quint32> crcs(size_t(unknown), 0);
        while (type != kEnd && r.ok()) {
            if (type == kCrc)
                readDigests(r, int(unknown), &defined, &crcs);
            else if (!r.take(r.number()))
                return f->damaged(QStringLiteral("damaged stream list"));
            type = r.number();
        }
        if (!r.ok() || defined.size() != size_t(unknown) || crcs.size() != size_t(unknown))
            return f->damaged(QStringLiteral("damaged stream list"));
        size_t k = 0;
        for (size_t i = 0; i < folders; ++i) {
            if (s->substreamCounts[i] == 1 && s->folderCrcDefined[i]) {
                s->substreamCrcDefined.push_back(true);
                s->substreamCrcs.push_back(s->folderCrcs[i]);
                continue;
            }
            for (int j = 0; j < s->substreamCounts[i]; ++j, ++k) {
                s->substreamCrcDefined.push_back(defined[k]);
                s->substreamCrcs.push_back(crcs[k]);
            }
        }
        type = r.number();
    } else {
        for (size_t i = 0; i < folders; ++i) {
            s->substreamSizes.push_back(s->folders[i].unpackSize());
            s->substreamCrcDefined.push_back(s->folderCrcDefined[i]);
            s->substreamCrcs.push_back(s->folderCrcs[i]);
        }
    }
    return (type == kEnd && r.ok()) || f->damaged(QStringLiteral("damaged streams"));
}

// The packed streams' byte ranges in the file, checked against its size.
bool placeStreams(const StreamsInfo &s, qint64 fileSize, std::vector<std::pair<qint64, qint64>> *ranges)
{
    quint64 at = quint64(signatureHeaderSize);
    if (s.packPosition > quint64(fileSize))
        return false;
    at += s.packPosition;
    for (quint64 size : s.packSizes) {
        if (at > quint64(fileSize) || size > quint64(fileSize) - at)
            return false;
        ranges->emplace_back(qint64(at), qint64(size));
        at += size;
    }
    return true;
}

using Folder = SevenZipIndex::Folder;
using Item = SevenZipIndex::Item;

// The plain index: the folders and the items that share their streams. False
// when it is damaged or absurd; shapes left to the general reader go to
// f->shape while the pass goes on.
bool parseHeader(const QByteArray &header, qint64 fileSize, Findings *f, QVector<Folder> *folders, QVector<Item> *items)
{
    ByteReader r(header.constData(), header.size());
    if (r.number() != kHeader)
        return f->damaged(QStringLiteral("unknown index"));
    quint64 type = r.number();
    if (type == kArchiveProperties) {
        while (r.ok() && r.number() != 0)
            r.take(r.number());
        type = r.number();
    }
    if (type == kAdditionalStreamsInfo) {
        StreamsInfo additional;
        if (!readStreamsInfo(r, &additional, fileSize, f))
            return false;
        f->unusual(QStringLiteral("additional streams"));
        type = r.number();
    }
    StreamsInfo s;
    if (type == kMainStreamsInfo) {
        if (!readStreamsInfo(r, &s, fileSize, f))
            return false;
        type = r.number();
    }
    std::vector<std::pair<qint64, qint64>> ranges;
    if (!placeStreams(s, fileSize, &ranges))
        return f->damaged(QStringLiteral("folders outside the packet"));
    for (size_t i = 0, pack = 0; i < s.folders.size(); pack += s.folders[i].packedStreams, ++i) {
        const FolderInfo &folder = s.folders[i];
        const Coder &coder = folder.coders[0];
        if (!folder.simple() || coder.id != lzma2Id || coder.properties.size() != 1 || quint8(coder.properties[0]) > 40) {
            f->unusual(QStringLiteral("a folder not packed with LZMA2 alone"));
            continue;
        }
        if (s.substreamCounts[i] == 0)
            f->unusual(QStringLiteral("a folder without items"));
        // A dictionary beyond the folder's data holds nothing more, and the decoder reserves it whole.
        const quint32 dictionary = quint32(qMin<quint64>(dictionaryFromProperty(quint8(coder.properties[0])),
                                                         qMax<quint64>(folder.unpackSize(), LZMA_DICT_SIZE_MIN)));
        folders->append({ranges[pack].first, ranges[pack].second, folder.unpackSize(), dictionary});
    }

    int fileCount = 0;
    std::vector<bool> emptyStream, emptyFile, timeDefined, attributeDefined;
    std::vector<quint64> times;
    std::vector<quint32> attributes;
    QStringList names;
    bool hasNames = false;
    if (type == kFilesInfo) {
        // Each item takes a byte of the index at least (its name's end).
        fileCount = r.countTaking(1);
        if (!r.ok())
            return f->damaged(QStringLiteral("more items than the index can hold"));
        if (quint64(fileCount) * sizeof(Item) > qMax(minItemMemory, itemMemoryPerByte * quint64(fileSize)))
            return f->damaged(QStringLiteral("%1 items in a packet of %2 bytes").arg(fileCount).arg(fileSize));
        for (;;) {
            const quint64 property = r.number();
            if (!r.ok())
                return f->damaged(QStringLiteral("damaged item list"));
            if (property == kEnd)
                break;
            const quint64 size = r.number();
            const char *data = r.take(size);
            if (!data)
                return f->damaged(QStringLiteral("damaged item list"));
            ByteReader p(data, qint64(size));
            const int emptyCount = int(std::count(emptyStream.begin(), emptyStream.end(), true));
            switch (property) {
            case kEmptyStream:
                emptyStream = p.bits(fileCount);
                break;
            case kEmptyFile:
                emptyFile = p.bits(emptyCount);
                break;
            case kAnti:
                for (bool anti : p.bits(emptyCount))
                    if (anti)
                        f->unusual(QStringLiteral("anti items"));
                break;
            case kName: {
                if (p.byte() != 0) {
                    f->unusual(QStringLiteral("names kept elsewhere"));
                    break;
                }
                hasNames = true;
                names.clear();
                for (int i = 0; i < fileCount && p.ok(); ++i) {
                    QString name;
                    for (;;) {
                        const quint8 low = p.byte();
                        const quint16 unit = quint16(low | p.byte() << 8);
                        if (!p.ok() || unit == 0)
                            break;
                        name.append(QChar(unit));
                    }
                    if (p.ok())
                        names.append(name);
                }
                if (names.size() != fileCount)
                    return f->damaged(QStringLiteral("fewer names than items"));
                break;
            }
            case kMTime:
                timeDefined = p.defined(fileCount);
                if (p.byte() != 0) {
                    f->unusual(QStringLiteral("times kept elsewhere"));
                    timeDefined.clear();
                    break;
                }
                times.clear();
                for (int i = 0; i < fileCount && p.ok(); ++i)
                    times.push_back(timeDefined[size_t(i)] ? p.uint64() : 0);
                break;
            case kWinAttributes:
                attributeDefined = p.defined(fileCount);
                if (p.byte() != 0) {
                    f->unusual(QStringLiteral("attributes kept elsewhere"));
                    attributeDefined.clear();
                    break;
                }
                attributes.clear();
                for (int i = 0; i < fileCount && p.ok(); ++i)
                    attributes.push_back(attributeDefined[size_t(i)] ? p.uint32() : 0);
                break;
            default:
                break;   // creation and access times, padding: not used
            }
            if (!p.ok())
                return f->damaged(QStringLiteral("damaged item list"));
        }
        type = r.number();
    }
    if (type != kEnd || !r.ok())
        return f->damaged(QStringLiteral("damaged index"));
    if (!hasNames && fileCount > 0) {
        f->unusual(QStringLiteral("items without names"));
        return true;
    }
    emptyStream.resize(size_t(fileCount), false);
    times.resize(timeDefined.size(), 0);
    attributes.resize(attributeDefined.size(), 0);

    // Items with data take the folders' streams in order.
    size_t stream = 0;
    int folder = 0;
    int leftInFolder = s.substreamCounts.empty() ? 0 : s.substreamCounts[0];
    size_t emptyIndex = 0;
    items->reserve(fileCount);
    for (int i = 0; i < fileCount; ++i) {
        Item item;
        item.name = names.at(i);
        item.hasStream = !emptyStream[size_t(i)];
        const bool emptyFileItem = !item.hasStream && emptyIndex < emptyFile.size() && emptyFile[emptyIndex];
        if (!item.hasStream)
            ++emptyIndex;
        item.isDirectory = !item.hasStream && !emptyFileItem;
        quint32 mode = item.isDirectory ? (S_IFDIR | 0777) : (S_IFREG | 0666);
        const bool hasAttributes = size_t(i) < attributeDefined.size() && attributeDefined[size_t(i)];
        const quint32 attribute = hasAttributes ? attributes[size_t(i)] : 0;
        if (attribute & unixExtension) {
            const quint32 unixMode = attribute >> 16;
            const quint32 kind = unixMode & S_IFMT;
            const bool fits = kind == 0 || (kind == S_IFDIR && item.isDirectory)
                || (kind == S_IFREG && !item.isDirectory) || (kind == S_IFLNK && item.hasStream);
            if (!fits)
                f->unusual(QStringLiteral("an item whose kind does not fit its data"));
            mode = (kind ? kind : (mode & S_IFMT)) | (unixMode & 07777);
        } else if (attribute & readOnlyAttribute) {
            f->unusual(QStringLiteral("read-only items without a Unix mode"));
        }
        item.mode = mode;
        if (size_t(i) < timeDefined.size() && timeDefined[size_t(i)]) {
            item.hasTime = true;
            const quint64 t = times[size_t(i)];
            if (t >= fileTimeEpoch) {
                item.mtimeSeconds = qint64((t - fileTimeEpoch) / 10000000);
                item.mtimeNanoseconds = qint32((t - fileTimeEpoch) % 10000000) * 100;
            }
        }
        if (item.hasStream) {
            while (leftInFolder == 0 && folder + 1 < int(s.substreamCounts.size()))
                leftInFolder = s.substreamCounts[size_t(++folder)];
            if (leftInFolder == 0 || stream >= s.substreamSizes.size())
                return f->damaged(QStringLiteral("more items with data than streams"));
            item.folder = folder;
            item.size = s.substreamSizes[stream];
            item.hasCrc = s.substreamCrcDefined[stream];
            item.crc = s.substreamCrcs[stream];
            ++stream;
            --leftInFolder;
            if ((mode & S_IFMT) == S_IFLNK && item.size > 4096)
                f->unusual(QStringLiteral("an overlong link"));
        }
        items->append(item);
    }
    if (stream != s.substreamSizes.size())
        return f->damaged(QStringLiteral("streams without items"));
    return true;
}

} // namespace

bool SevenZipIndex::decline(const QString &why)
{
    reason = why;
    result = Declined;
    folders.clear();
    items.clear();
    return false;
}

bool SevenZipIndex::refuse(const QString &why)
{
    decline(why);
    result = Refused;
    return false;
}

bool SevenZipIndex::read(QIODevice *device)
{
    folders.clear();
    items.clear();
    reason.clear();
    result = Declined;
    const qint64 fileSize = device->size();
    if (!device->seek(0))
        return decline(QStringLiteral("cannot seek"));
    const QByteArray start = device->read(signatureHeaderSize);
    if (!start.startsWith(QByteArray("7z\xbc\xaf\x27\x1c", 6))) {
        // The general reader looks for a packet inside self-extracting programs,
        // where this reader cannot check its index first.
        if (start.startsWith("MZ") || start.startsWith("\x7f" "ELF"))
            return refuse(QStringLiteral("a self-extracting program"));
        return decline(QStringLiteral("not a 7z packet"));
    }
    if (start.size() != signatureHeaderSize)
        return refuse(QStringLiteral("cut short"));
    ByteReader r(start.constData() + 12, 20);
    const quint64 offset = r.uint64();
    const quint64 size = r.uint64();
    const quint32 crc = r.uint32();
    if (quint32(crc32(0, reinterpret_cast<const Bytef *>(start.constData() + 12), 20))
        != quint32(uchar(start[8]) | uchar(start[9]) << 8 | uchar(start[10]) << 16 | quint32(uchar(start[11])) << 24))
        return refuse(QStringLiteral("damaged start header"));
    if (size == 0)
        return decline(QStringLiteral("no index"));   // an empty packet
    if (size > maxHeaderSize || offset > quint64(fileSize)
        || size > quint64(fileSize) - quint64(signatureHeaderSize) - qMin(offset, quint64(fileSize)))
        return refuse(QStringLiteral("index outside the packet"));
    if (!device->seek(signatureHeaderSize + qint64(offset)))
        return decline(QStringLiteral("cannot seek"));
    const QByteArray header = device->read(qint64(size));
    if (header.size() != qint64(size) || quint32(crc32(0, reinterpret_cast<const Bytef *>(header.constData()), uInt(size))) != crc)
        return refuse(QStringLiteral("damaged index"));

    QByteArray current = header;
    for (int depth = 0; depth < 4; ++depth) {
        if (current.isEmpty())
            return refuse(QStringLiteral("empty index"));
        if (quint8(current[0]) != kEncodedHeader)
            return readHeader(current, fileSize);
        QByteArray decoded;
        if (!decodeHeader(device, current, fileSize, &decoded))
            return false;
        current = decoded;
    }
    return refuse(QStringLiteral("index packed too deep"));
}

bool SevenZipIndex::decodeHeader(QIODevice *device, const QByteArray &encoded, qint64 fileSize, QByteArray *decoded)
{
    ByteReader r(encoded.constData() + 1, encoded.size() - 1);
    StreamsInfo s;
    Findings f;
    std::vector<std::pair<qint64, qint64>> ranges;
    if (!readStreamsInfo(r, &s, fileSize, &f))
        return refuse(f.damage);
    if (s.folders.size() != 1 || !placeStreams(s, fileSize, &ranges))
        return refuse(QStringLiteral("damaged packed index"));
    const FolderInfo &folder = s.folders[0];
    for (const Coder &coder : folder.coders)
        if (coder.id == aesId)   // no reader here can open it; the general one says so
            return decline(QStringLiteral("encrypted index"));
    if (!folder.simple())
        return refuse(QStringLiteral("a packed index of chained methods"));
    const Coder &coder = folder.coders[0];
    const quint64 unpackSize = folder.unpackSize();
    // What a short packet may make us hold; see indexExpansion.
    const quint64 limit = qMin(maxHeaderSize, qMax(minDecodedLimit, indexExpansion * quint64(fileSize)));
    if (unpackSize == 0 || unpackSize > limit || quint64(ranges[0].second) > maxHeaderSize)
        return refuse(QStringLiteral("packed index of %1 bytes in a packet of %2").arg(unpackSize).arg(fileSize));
    // A dictionary beyond the output holds nothing more, and liblzma reserves it whole.
    const quint32 dictionaryCap = quint32(qMax<quint64>(unpackSize, LZMA_DICT_SIZE_MIN));
    lzma_options_lzma options{};
    lzma_filter filters[2] = {{LZMA_VLI_UNKNOWN, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (coder.id == lzma2Id && coder.properties.size() == 1) {
        filters[0].id = LZMA_FILTER_LZMA2;
        options.dict_size = qMin(dictionaryFromProperty(quint8(coder.properties[0])), dictionaryCap);
    } else if (coder.id == lzmaId && coder.properties.size() == 5) {
        filters[0].id = LZMA_FILTER_LZMA1;
        const quint8 p = quint8(coder.properties[0]);
        if (p >= 9 * 5 * 5)
            return refuse(QStringLiteral("damaged packed index"));
        options.lc = p % 9;
        options.lp = (p / 9) % 5;
        options.pb = p / 45;
        options.dict_size = qMin(quint32(uchar(coder.properties[1])) | quint32(uchar(coder.properties[2])) << 8
                                     | quint32(uchar(coder.properties[3])) << 16 | quint32(uchar(coder.properties[4])) << 24,
                                 dictionaryCap);
    } else {
        // The packers pack indexes with LZMA; anything else may hide counts we cannot check.
        return refuse(QStringLiteral("a packed index of an unusual method"));
    }
    if (!device->seek(ranges[0].first))
        return decline(QStringLiteral("cannot seek"));
    const QByteArray packed = device->read(ranges[0].second);
    if (packed.size() != ranges[0].second)
        return refuse(QStringLiteral("packed index cut short"));

    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&stream, filters) != LZMA_OK)
        return refuse(QStringLiteral("packed index cannot be decoded"));
    decoded->resize(int(unpackSize));
    stream.next_in = reinterpret_cast<const uint8_t *>(packed.constData());
    stream.avail_in = size_t(packed.size());
    stream.next_out = reinterpret_cast<uint8_t *>(decoded->data());
    stream.avail_out = size_t(unpackSize);
    lzma_ret status = LZMA_OK;
    while (status == LZMA_OK && stream.avail_out > 0) {
        const size_t before = stream.avail_in + stream.avail_out;
        status = lzma_code(&stream, LZMA_RUN);
        if (status == LZMA_OK && stream.avail_in + stream.avail_out == before)
            break;   // no progress: the input is exhausted
    }
    const bool complete = stream.avail_out == 0 && (status == LZMA_OK || status == LZMA_STREAM_END);
    lzma_end(&stream);
    if (!complete)
        return refuse(QStringLiteral("damaged packed index"));
    if (s.folderCrcDefined[0]
        && quint32(crc32(0, reinterpret_cast<const Bytef *>(decoded->constData()), uInt(unpackSize))) != s.folderCrcs[0])
        return refuse(QStringLiteral("damaged packed index"));
    return true;
}

bool SevenZipIndex::readHeader(const QByteArray &header, qint64 fileSize)
{
    Findings f;
    if (!parseHeader(header, fileSize, &f, &folders, &items))
        return refuse(f.damage.isEmpty() ? QStringLiteral("damaged index") : f.damage);
    if (!f.shape.isEmpty())
        return decline(f.shape);
    result = Read;
    return true;
}


} // namespace Lib7z
