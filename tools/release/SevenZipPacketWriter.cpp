#include "SevenZipPacketWriter.h"

#include "SevenZipFormat.h"

#include <QtEndian>

#include <lzma.h>
#include <sys/stat.h>

namespace {

const quint64 fileTimeEpoch = 116444736000000000ULL; // 1970-01-01 in 100 ns steps since 1601
const quint32 unixExtension = 0x8000;
const quint32 windowsDirectory = 0x10;
const quint32 windowsArchive = 0x20;

using namespace SevenZipFormat;

template <typename T>
void putLittle(QByteArray &out, T value)
{
    for (size_t i = 0; i < sizeof(T); ++i)
        out.append(char((quint64(value) >> (8 * i)) & 0xff));
}

// The format's variable-length number: the leading one bits of the first byte
// count the bytes that follow, the rest of it holds the highest bits.
void putNumber(QByteArray &out, quint64 value)
{
    quint8 first = 0;
    quint8 mask = 0x80;
    int extra = 0;
    for (; extra < 8; ++extra) {
        if (value < (quint64(1) << (7 * (extra + 1)))) {
            first |= quint8(value >> (8 * extra));
            break;
        }
        first |= mask;
        mask >>= 1;
    }
    out.append(char(first));
    for (int i = 0; i < extra; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
}

void putBits(QByteArray &out, const QVector<bool> &bits)
{
    QByteArray packed((bits.size() + 7) / 8, '\0');
    for (int i = 0; i < bits.size(); ++i) {
        if (bits.at(i))
            packed[i / 8] = char(packed[i / 8] | (0x80 >> (i % 8)));
    }
    out.append(packed);
}

void putProperty(QByteArray &out, char id, const QByteArray &body)
{
    out.append(id);
    putNumber(out, quint64(body.size()));
    out.append(body);
}

// The coder property byte of the smallest LZMA2 dictionary that holds `size`.
char dictionaryProperty(quint32 size)
{
    for (quint32 p = 0; p < 40; ++p) {
        if ((quint64(2 | (p & 1)) << (p / 2 + 11)) >= size)
            return char(p);
    }
    return char(40);
}

// One block as a stream of its own; it starts with a dictionary reset, so the
// chunks can follow the previous block's as they are. Only the last block of the
// folder keeps the end marker, which close() writes.
SevenZipPacketWriter::Block encodeBlock(std::vector<uint8_t> input, quint32 dictionary)
{
    SevenZipPacketWriter::Block block;
    block.unpackedSize = input.size();
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 5)) {
        block.error = QStringLiteral("the compressor has no preset 5");
        return block;
    }
    options.dict_size = qMax<quint32>(dictionary, LZMA_DICT_SIZE_MIN);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    block.data.resize(lzma_stream_buffer_bound(input.size()));
    size_t written = 0;
    const lzma_ret ret = lzma_raw_buffer_encode(filters, nullptr, input.data(), input.size(), block.data.data(), &written,
                                                block.data.size());
    if (ret != LZMA_OK || written == 0 || block.data[written - 1] != 0) {
        block.error = ret == LZMA_MEM_ERROR ? QStringLiteral("out of memory while compressing")
                                            : QStringLiteral("the compressor failed (%1)").arg(int(ret));
        block.data.clear();
        return block;
    }
    block.data.resize(written - 1);
    return block;
}

} // namespace

SevenZipPacketWriter::~SevenZipPacketWriter()
{
    m_running.clear(); // waits for the workers
}

bool SevenZipPacketWriter::fail(const QString &why)
{
    if (!m_failed)
        m_error = why;
    m_failed = true;
    return false;
}

bool SevenZipPacketWriter::open(const QString &path, QString *error)
{
    m_file.setFileName(path);
    // The start header is written last, when the index's place and digest are known.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !m_file.seek(signatureHeaderSize)) {
        *error = QStringLiteral("cannot write the packet %1: %2").arg(path, m_file.errorString());
        return false;
    }
    m_block.reserve(m_blockSize);
    return true;
}

bool SevenZipPacketWriter::append(const char *data, size_t size)
{
    while (size > 0) {
        const size_t n = qMin(size, size_t(m_blockSize) - m_block.size());
        m_block.insert(m_block.end(), reinterpret_cast<const uint8_t *>(data), reinterpret_cast<const uint8_t *>(data) + n);
        data += n;
        size -= n;
        if (m_block.size() == m_blockSize && !flushBlock())
            return false;
    }
    return true;
}

bool SevenZipPacketWriter::flushBlock()
{
    if (m_block.empty())
        return true;
    if (!drain(size_t(m_threads) - 1))
        return false;
    std::vector<uint8_t> input;
    input.reserve(m_blockSize);
    input.swap(m_block);
    m_running.push_back(std::async(std::launch::async, encodeBlock, std::move(input), m_blockSize));
    return true;
}

// Writes finished blocks in order until at most `keep` are still running.
bool SevenZipPacketWriter::drain(size_t keep)
{
    while (m_running.size() > keep) {
        Block block = m_running.front().get();
        m_running.pop_front();
        if (!block.error.isEmpty())
            return fail(block.error);
        if (m_file.write(reinterpret_cast<const char *>(block.data.data()), qint64(block.data.size())) != qint64(block.data.size()))
            return fail(QStringLiteral("cannot write the packet: %1").arg(m_file.errorString()));
        m_packed += block.data.size();
        m_written += qint64(block.unpackedSize);
        if (m_progress)
            m_progress(m_written);
    }
    return true;
}

bool SevenZipPacketWriter::addFile(const QString &name, const QString &source, quint32 mode, qint64 mtime)
{
    if (m_failed)
        return false;
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1").arg(source));
    Item item;
    item.name = name;
    item.attributes = windowsArchive | unixExtension | ((S_IFREG | (mode & 07777)) << 16);
    item.mtime = mtime;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            return fail(QStringLiteral("cannot read %1").arg(source));
        if (n == 0)
            break;
        item.crc = quint32(lzma_crc32(reinterpret_cast<const uint8_t *>(buffer.constData()), size_t(n), item.crc));
        item.size += quint64(n);
        if (!append(buffer.constData(), size_t(n)))
            return false;
    }
    item.hasStream = item.size > 0;
    m_unpacked += item.size;
    m_items.append(item);
    return true;
}

bool SevenZipPacketWriter::addData(const QString &name, const QByteArray &data, quint32 mode, qint64 mtime)
{
    if (m_failed)
        return false;
    Item item;
    item.name = name;
    item.attributes = windowsArchive | unixExtension | ((S_IFREG | (mode & 07777)) << 16);
    item.mtime = mtime;
    item.size = quint64(data.size());
    item.hasStream = !data.isEmpty();
    item.crc = quint32(lzma_crc32(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()), 0));
    if (!append(data.constData(), size_t(data.size())))
        return false;
    m_unpacked += item.size;
    m_items.append(item);
    return true;
}

bool SevenZipPacketWriter::addLink(const QString &name, const QByteArray &target, qint64 mtime)
{
    if (!addData(name, target, 0777, mtime))
        return false;
    m_items.last().attributes = windowsArchive | unixExtension | ((S_IFLNK | 0777u) << 16);
    return true;
}

bool SevenZipPacketWriter::addFolder(const QString &name, qint64 mtime)
{
    if (m_failed)
        return false;
    Item item;
    item.name = name;
    item.isFolder = true;
    item.attributes = windowsDirectory | unixExtension | ((S_IFDIR | 0755u) << 16);
    item.mtime = mtime;
    m_items.append(item);
    return true;
}

QByteArray SevenZipPacketWriter::header() const
{
    QByteArray out;
    out.append(kHeader);
    QVector<const Item *> streams;
    QVector<bool> emptyStream;
    QVector<bool> emptyFile;
    for (const Item &item : m_items) {
        emptyStream.append(!item.hasStream);
        if (item.hasStream)
            streams.append(&item);
        else
            emptyFile.append(!item.isFolder);
    }
    if (!streams.isEmpty()) {
        out.append(kMainStreamsInfo);
        out.append(kPackInfo);
        putNumber(out, 0);
        putNumber(out, 1);
        out.append(kSize);
        putNumber(out, m_packed + 1);   // with the end marker
        out.append(kEnd);

        out.append(kUnpackInfo);
        out.append(kFolder);
        putNumber(out, 1);
        out.append(char(0));            // folders described here
        putNumber(out, 1);              // one coder
        out.append(char(0x21));         // a one-byte codec id, with properties
        out.append(char(0x21));         // LZMA2
        putNumber(out, 1);
        out.append(dictionaryProperty(m_blockSize));
        out.append(kCodersUnpackSize);
        putNumber(out, m_unpacked);
        out.append(kEnd);

        out.append(kSubStreamsInfo);
        if (streams.size() != 1) {
            out.append(kNumUnpackStream);
            putNumber(out, quint64(streams.size()));
            out.append(kSize);
            for (int i = 0; i + 1 < streams.size(); ++i)
                putNumber(out, streams.at(i)->size);
        }
        out.append(kCrc);
        out.append(char(1));            // all defined
        for (const Item *item : qAsConst(streams))
            putLittle(out, item->crc);
        out.append(kEnd);
        out.append(kEnd);
    }

    if (!m_items.isEmpty()) {
        out.append(kFilesInfo);
        putNumber(out, quint64(m_items.size()));
        if (emptyStream.contains(true)) {
            QByteArray bits;
            putBits(bits, emptyStream);
            putProperty(out, kEmptyStream, bits);
            bits.clear();
            putBits(bits, emptyFile);
            putProperty(out, kEmptyFile, bits);
        }
        QByteArray names(1, '\0');      // names follow here
        for (const Item &item : m_items) {
            for (const QChar c : item.name)
                putLittle(names, c.unicode());
            putLittle(names, quint16(0));
        }
        putProperty(out, kName, names);
        QByteArray times;
        times.append(char(1));          // all defined
        times.append(char(0));          // kept here
        for (const Item &item : m_items)
            putLittle(times, quint64(qMax<qint64>(0, item.mtime)) * 10000000ULL + fileTimeEpoch);
        putProperty(out, kMTime, times);
        QByteArray attributes;
        attributes.append(char(1));
        attributes.append(char(0));
        for (const Item &item : m_items)
            putLittle(attributes, item.attributes);
        putProperty(out, kWinAttributes, attributes);
        out.append(kEnd);
    }
    out.append(kEnd);
    return out;
}

bool SevenZipPacketWriter::close(QString *error)
{
    if (!m_failed && flushBlock() && drain(0) && m_unpacked > 0) {
        const char endMarker = 0;
        if (m_file.write(&endMarker, 1) != 1)
            fail(QStringLiteral("cannot write the packet: %1").arg(m_file.errorString()));
    }
    m_running.clear();
    if (m_failed) {
        *error = m_error;
        m_file.close();
        return false;
    }
    const QByteArray index = m_items.isEmpty() ? QByteArray() : header();
    QByteArray start;
    putLittle(start, quint64(m_unpacked > 0 ? m_packed + 1 : 0));
    putLittle(start, quint64(index.size()));
    putLittle(start, index.isEmpty() ? quint32(0) : quint32(lzma_crc32(reinterpret_cast<const uint8_t *>(index.constData()), size_t(index.size()), 0)));
    QByteArray signature("7z\xBC\xAF\x27\x1C\x00\x04", 8);
    putLittle(signature, quint32(lzma_crc32(reinterpret_cast<const uint8_t *>(start.constData()), size_t(start.size()), 0)));
    signature.append(start);
    const bool ok = m_file.write(index) == index.size() && m_file.seek(0) && m_file.write(signature) == signature.size()
        && m_file.flush();
    m_file.close();
    if (!ok || m_file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot finish the packet %1: %2").arg(m_file.fileName(), m_file.errorString());
        return false;
    }
    return true;
}
