#include "SevenZipIndex.h"

#include <QIODevice>

#include <lzma.h>
#include <zlib.h>

#include <sys/stat.h>

#include <vector>

namespace Lib7z {
namespace {

enum PropertyId : quint64 {
    kEnd = 0x00,
    kHeader = 0x01,
    kArchiveProperties = 0x02,
    kAdditionalStreamsInfo = 0x03,
    kMainStreamsInfo = 0x04,
    kFilesInfo = 0x05,
    kPackInfo = 0x06,
    kUnpackInfo = 0x07,
    kSubStreamsInfo = 0x08,
    kSize = 0x09,
    kCrc = 0x0A,
    kFolder = 0x0B,
    kCodersUnpackSize = 0x0C,
    kNumUnpackStream = 0x0D,
    kEmptyStream = 0x0E,
    kEmptyFile = 0x0F,
    kAnti = 0x10,
    kName = 0x11,
    kMTime = 0x14,
    kWinAttributes = 0x15,
    kEncodedHeader = 0x17,
};

const qint64 signatureHeaderSize = 32;
const quint64 maxHeaderSize = quint64(256) << 20;   // a decoded index beyond this is not ours to hold
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
    // A count that must fit the bytes left (each counted thing takes at least one bit).
    int count(qint64 perByte = 8)
    {
        const quint64 n = number();
        if (n > quint64(left) * quint64(perByte) + 1 || n > 0x7fffffff) {
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
    std::vector<bool> bits(int n)
    {
        std::vector<bool> v(size_t(qMax(0, n)), false);
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
};

struct StreamsInfo
{
    quint64 packPosition = 0;
    std::vector<quint64> packSizes;
    std::vector<Coder> coders;            // one per folder; other folders are declined
    std::vector<quint64> unpackSizes;
    std::vector<bool> folderCrcDefined;
    std::vector<quint32> folderCrcs;
    std::vector<int> substreamCounts;
    std::vector<quint64> substreamSizes;
    std::vector<bool> substreamCrcDefined;
    std::vector<quint32> substreamCrcs;
};

const QByteArray lzma2Id("\x21", 1);
const QByteArray lzmaId("\x03\x01\x01", 3);

// Fails the reader (returns false) for shapes other than one simple coder per folder.
bool readFolder(ByteReader &r, Coder *coder)
{
    if (r.number() != 1)
        return false;
    const quint8 flags = r.byte();
    if ((flags & 0x10) || (flags & 0x80))   // several streams, or alternative methods
        return false;
    const char *id = r.take(flags & 0x0f);
    if (!id)
        return false;
    coder->id = QByteArray(id, flags & 0x0f);
    if (flags & 0x20) {
        const quint64 size = r.number();
        const char *properties = r.take(size);
        if (!properties)
            return false;
        coder->properties = QByteArray(properties, int(size));
    }
    return r.ok();
}

void readDigests(ByteReader &r, int n, std::vector<bool> *defined, std::vector<quint32> *crcs)
{
    *defined = r.defined(n);
    crcs->assign(size_t(n), 0);
    for (int i = 0; i < n && r.ok(); ++i)
        if ((*defined)[size_t(i)])
            (*crcs)[size_t(i)] = r.uint32();
}

bool readStreamsInfo(ByteReader &r, StreamsInfo *s)
{
    quint64 type = r.number();
    if (type == kPackInfo) {
        s->packPosition = r.number();
        const int n = r.count(1);
        type = r.number();
        if (type == kSize) {
            for (int i = 0; i < n && r.ok(); ++i)
                s->packSizes.push_back(r.number());
            type = r.number();
        }
        if (type == kCrc) {
            std::vector<bool> defined;
            std::vector<quint32> crcs;
            readDigests(r, n, &defined, &crcs);
            type = r.number();
        }
        if (type != kEnd || int(s->packSizes.size()) != n)
            return false;
        type = r.number();
    }
    if (type == kUnpackInfo) {
        if (r.number() != kFolder)
            return false;
        const int n = r.count(1);
        if (r.byte() != 0)   // folders kept elsewhere
            return false;
        s->coders.resize(size_t(n));
        for (int i = 0; i < n; ++i)
            if (!readFolder(r, &s->coders[size_t(i)]))
                return false;
        if (r.number() != kCodersUnpackSize)
            return false;
        for (int i = 0; i < n && r.ok(); ++i)
            s->unpackSizes.push_back(r.number());
        if (!r.ok())
            return false;
        type = r.number();
        if (type == kCrc) {
            readDigests(r, n, &s->folderCrcDefined, &s->folderCrcs);
            type = r.number();
        }
        s->folderCrcDefined.resize(size_t(n), false);
        s->folderCrcs.resize(size_t(n), 0);
        if (type != kEnd)
            return false;
        type = r.number();
    }
    const size_t folders = s->coders.size();
    s->substreamCounts.assign(folders, 1);
    if (type == kSubStreamsInfo) {
        type = r.number();
        if (type == kNumUnpackStream) {
            for (size_t i = 0; i < folders && r.ok(); ++i)
                s->substreamCounts[i] = r.count();
            type = r.number();
        }
        for (size_t i = 0; i < folders && r.ok(); ++i) {
            const int n = s->substreamCounts[i];
            if (n > 1 && type != kSize)
                return false;
            quint64 sum = 0;
            for (int j = 1; j < n && r.ok(); ++j) {
                const quint64 size = r.number();
                if (size > s->unpackSizes[i] - sum)
                    return false;
                sum += size;
                s->substreamSizes.push_back(size);
            }
            if (n > 0)
                s->substreamSizes.push_back(s->unpackSizes[i] - sum);
        }
        if (!r.ok())
            return false;
        if (type == kSize)
            type = r.number();
        // Items whose folder has one stream with a known digest take the folder's.
        qint64 unknown = 0;
        for (size_t i = 0; i < folders; ++i)
            if (!(s->substreamCounts[i] == 1 && s->folderCrcDefined[i]))
                unknown += s->substreamCounts[i];
        if (unknown > r.remaining() * 8 + qint64(s->substreamSizes.size()))
            return false;
        std::vector<bool> defined(size_t(unknown), false);
        std::vector<quint32> crcs(size_t(unknown), 0);
        while (type != kEnd && r.ok()) {
            if (type == kCrc)
                readDigests(r, int(unknown), &defined, &crcs);
            else if (!r.take(r.number()))
                return false;
            type = r.number();
        }
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
            s->substreamSizes.push_back(s->unpackSizes[i]);
            s->substreamCrcDefined.push_back(s->folderCrcDefined[i]);
            s->substreamCrcs.push_back(s->folderCrcs[i]);
        }
    }
    return type == kEnd && r.ok() && s->unpackSizes.size() == folders;
}

// The folders' byte ranges in the file, checked against its size.
bool placeFolders(const StreamsInfo &s, qint64 fileSize, std::vector<std::pair<qint64, qint64>> *ranges)
{
    if (s.packSizes.size() != s.coders.size())
        return false;
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

quint32 dictionaryFromProperty(quint8 p)
{
    return p >= 40 ? 0xffffffffU : (2U | (p & 1U)) << (p / 2 + 11);
}

} // namespace

bool SevenZipIndex::decline(const QString &why)
{
    reason = why;
    folders.clear();
    items.clear();
    return false;
}

bool SevenZipIndex::read(QIODevice *device)
{
    folders.clear();
    items.clear();
    const qint64 fileSize = device->size();
    if (!device->seek(0))
        return decline(QStringLiteral("cannot seek"));
    const QByteArray start = device->read(signatureHeaderSize);
    if (start.size() != signatureHeaderSize || !start.startsWith(QByteArray("7z\xbc\xaf\x27\x1c", 6)))
        return decline(QStringLiteral("not a 7z packet"));
    ByteReader r(start.constData() + 12, 20);
    const quint64 offset = r.uint64();
    const quint64 size = r.uint64();
    const quint32 crc = r.uint32();
    if (quint32(crc32(0, reinterpret_cast<const Bytef *>(start.constData() + 12), 20))
        != quint32(uchar(start[8]) | uchar(start[9]) << 8 | uchar(start[10]) << 16 | quint32(uchar(start[11])) << 24))
        return decline(QStringLiteral("damaged start header"));
    if (size == 0 || size > maxHeaderSize || offset > quint64(fileSize)
        || size > quint64(fileSize) - quint64(signatureHeaderSize) - qMin(offset, quint64(fileSize)))
        return decline(QStringLiteral("index outside the packet"));
    if (!device->seek(signatureHeaderSize + qint64(offset)))
        return decline(QStringLiteral("cannot seek"));
    const QByteArray header = device->read(qint64(size));
    if (header.size() != qint64(size) || quint32(crc32(0, reinterpret_cast<const Bytef *>(header.constData()), uInt(size))) != crc)
        return decline(QStringLiteral("damaged index"));

    QByteArray current = header;
    for (int depth = 0; depth < 4; ++depth) {
        if (current.isEmpty())
            return decline(QStringLiteral("empty index"));
        if (quint8(current[0]) != kEncodedHeader)
            return readHeader(current, fileSize);
        QByteArray decoded;
        if (!decodeHeader(device, current, fileSize, &decoded))
            return false;
        current = decoded;
    }
    return decline(QStringLiteral("index packed too deep"));
}

bool SevenZipIndex::decodeHeader(QIODevice *device, const QByteArray &encoded, qint64 fileSize, QByteArray *decoded)
{
    ByteReader r(encoded.constData() + 1, encoded.size() - 1);
    StreamsInfo s;
    std::vector<std::pair<qint64, qint64>> ranges;
    if (!readStreamsInfo(r, &s) || s.coders.size() != 1 || !placeFolders(s, fileSize, &ranges))
        return decline(QStringLiteral("unsupported packed index"));
    const Coder &coder = s.coders[0];
    lzma_options_lzma options{};
    lzma_filter filters[2] = {{LZMA_VLI_UNKNOWN, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (coder.id == lzma2Id && coder.properties.size() == 1) {
        filters[0].id = LZMA_FILTER_LZMA2;
        options.dict_size = dictionaryFromProperty(quint8(coder.properties[0]));
    } else if (coder.id == lzmaId && coder.properties.size() == 5) {
        filters[0].id = LZMA_FILTER_LZMA1;
        const quint8 p = quint8(coder.properties[0]);
        if (p >= 9 * 5 * 5)
            return decline(QStringLiteral("damaged packed index"));
        options.lc = p % 9;
        options.lp = (p / 9) % 5;
        options.pb = p / 45;
        options.dict_size = quint32(uchar(coder.properties[1])) | quint32(uchar(coder.properties[2])) << 8
            | quint32(uchar(coder.properties[3])) << 16 | quint32(uchar(coder.properties[4])) << 24;
    } else {
        return decline(QStringLiteral("unsupported packed index method"));
    }
    const quint64 unpackSize = s.unpackSizes[0];
    if (unpackSize == 0 || unpackSize > maxHeaderSize || quint64(ranges[0].second) > maxHeaderSize)
        return decline(QStringLiteral("packed index too large"));
    if (!device->seek(ranges[0].first))
        return decline(QStringLiteral("cannot seek"));
    const QByteArray packed = device->read(ranges[0].second);
    if (packed.size() != ranges[0].second)
        return decline(QStringLiteral("packed index cut short"));

    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&stream, filters) != LZMA_OK)
        return decline(QStringLiteral("packed index cannot be decoded"));
    decoded->resize(int(unpackSize));
    stream.next_in = reinterpret_cast<const uint8_t *>(packed.constData());
    stream.avail_in = size_t(packed.size());
    stream.next_out = reinterpret_cast<uint8_t *>(decoded->data());
    stream.avail_out = size_t(unpackSize);
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK && stream.avail_out > 0) {
        const size_t before = stream.avail_in + stream.avail_out;
        result = lzma_code(&stream, LZMA_RUN);
        if (result == LZMA_OK && stream.avail_in + stream.avail_out == before)
            break;   // no progress: the input is exhausted
    }
    const bool complete = stream.avail_out == 0 && (result == LZMA_OK || result == LZMA_STREAM_END);
    lzma_end(&stream);
    if (!complete)
        return decline(QStringLiteral("damaged packed index"));
    if (s.folderCrcDefined[0]
        && quint32(crc32(0, reinterpret_cast<const Bytef *>(decoded->constData()), uInt(unpackSize))) != s.folderCrcs[0])
        return decline(QStringLiteral("damaged packed index"));
    return true;
}

bool SevenZipIndex::readHeader(const QByteArray &header, qint64 fileSize)
{
    ByteReader r(header.constData(), header.size());
    if (r.number() != kHeader)
        return decline(QStringLiteral("unknown index"));
    quint64 type = r.number();
    if (type == kArchiveProperties) {
        while (r.ok() && r.number() != 0)
            r.take(r.number());
        type = r.number();
    }
    if (type == kAdditionalStreamsInfo)
        return decline(QStringLiteral("additional streams"));
    StreamsInfo s;
    if (type == kMainStreamsInfo) {
        if (!readStreamsInfo(r, &s))
            return decline(QStringLiteral("unsupported streams"));
        type = r.number();
    }
    std::vector<std::pair<qint64, qint64>> ranges;
    if (!placeFolders(s, fileSize, &ranges))
        return decline(QStringLiteral("folders outside the packet"));
    for (size_t i = 0; i < s.coders.size(); ++i) {
        const Coder &coder = s.coders[i];
        if (coder.id != lzma2Id || coder.properties.size() != 1 || quint8(coder.properties[0]) > 40)
            return decline(QStringLiteral("a folder not packed with LZMA2 alone"));
        if (s.substreamCounts[i] == 0)
            return decline(QStringLiteral("a folder without items"));
        folders.append({ranges[i].first, ranges[i].second, s.unpackSizes[i], dictionaryFromProperty(quint8(coder.properties[0]))});
    }

    int fileCount = 0;
    std::vector<bool> emptyStream, emptyFile, timeDefined, attributeDefined;
    std::vector<quint64> times;
    std::vector<quint32> attributes;
    QStringList names;
    if (type == kFilesInfo) {
        fileCount = r.count(1);
        for (;;) {
            const quint64 property = r.number();
            if (!r.ok())
                return decline(QStringLiteral("damaged item list"));
            if (property == kEnd)
                break;
            const quint64 size = r.number();
            const char *data = r.take(size);
            if (!data)
                return decline(QStringLiteral("damaged item list"));
            ByteReader p(data, qint64(size));
            int emptyCount = 0;
            for (bool e : emptyStream)
                emptyCount += e;
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
                        return decline(QStringLiteral("anti items"));
                break;
            case kName: {
                if (p.byte() != 0)
                    return decline(QStringLiteral("names kept elsewhere"));
                for (int i = 0; i < fileCount && p.ok(); ++i) {
                    QString name;
                    for (;;) {
                        const quint8 low = p.byte();
                        const quint16 unit = quint16(low | p.byte() << 8);
                        if (!p.ok() || unit == 0)
                            break;
                        name.append(QChar(unit));
                    }
                    names.append(name);
                }
                break;
            }
            case kMTime:
                timeDefined = p.defined(fileCount);
                if (p.byte() != 0)
                    return decline(QStringLiteral("times kept elsewhere"));
                for (int i = 0; i < fileCount && p.ok(); ++i)
                    times.push_back(timeDefined[size_t(i)] ? p.uint64() : 0);
                break;
            case kWinAttributes:
                attributeDefined = p.defined(fileCount);
                if (p.byte() != 0)
                    return decline(QStringLiteral("attributes kept elsewhere"));
                for (int i = 0; i < fileCount && p.ok(); ++i)
                    attributes.push_back(attributeDefined[size_t(i)] ? p.uint32() : 0);
                break;
            default:
                break;   // creation and access times, padding: not used
            }
            if (!p.ok())
                return decline(QStringLiteral("damaged item list"));
        }
        type = r.number();
    }
    if (type != kEnd || !r.ok())
        return decline(QStringLiteral("damaged index"));
    if (names.size() != fileCount)
        return decline(QStringLiteral("items without names"));
    emptyStream.resize(size_t(fileCount), false);

    // Items with data take the folders' streams in order.
    size_t stream = 0;
    int folder = 0;
    int leftInFolder = s.substreamCounts.empty() ? 0 : s.substreamCounts[0];
    size_t emptyIndex = 0;
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
                return decline(QStringLiteral("an item whose kind does not fit its data"));
            mode = (kind ? kind : (mode & S_IFMT)) | (unixMode & 07777);
        } else if (attribute & readOnlyAttribute) {
            return decline(QStringLiteral("read-only items without a Unix mode"));
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
                return decline(QStringLiteral("more items with data than streams"));
            item.folder = folder;
            item.size = s.substreamSizes[stream];
            item.hasCrc = s.substreamCrcDefined[stream];
            item.crc = s.substreamCrcs[stream];
            ++stream;
            --leftInFolder;
            if ((mode & S_IFMT) == S_IFLNK && item.size > 4096)
                return decline(QStringLiteral("an overlong link"));
        }
        items.append(item);
    }
    if (stream != s.substreamSizes.size())
        return decline(QStringLiteral("streams without items"));
    return true;
}

} // namespace Lib7z
