#include "SevenZipWriter.h"

#include <QFile>
#include <QtEndian>

#include <lzma.h>
#include <sys/stat.h>

namespace {

quint32 crc32(const QByteArray &data)
{
    static quint32 table[256];
    static bool ready = false;
    if (!ready) {
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    quint32 crc = 0xFFFFFFFFu;
    for (char ch : data)
        crc = table[(crc ^ quint8(ch)) & 0xff] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

template <typename T>
void putLittle(QByteArray &out, T value)
{
    for (size_t i = 0; i < sizeof(T); ++i)
        out.append(char((quint64(value) >> (8 * i)) & 0xff));
}

// The format's variable-length number: one byte below 0x80, else 0xFF and eight bytes.
void putNumber(QByteArray &out, quint64 value)
{
    if (value < 0x80) {
        out.append(char(value));
        return;
    }
    out.append(char(0xFF));
    putLittle(out, value);
}

QByteArray bitVector(const QList<bool> &bits)
{
    QByteArray out((bits.size() + 7) / 8, '\0');
    for (int i = 0; i < bits.size(); ++i) {
        if (bits.at(i))
            out[i / 8] = char(out[i / 8] | (0x80 >> (i % 8)));
    }
    return out;
}

void putProperty(QByteArray &out, quint8 id, const QByteArray &body)
{
    out.append(char(id));
    putNumber(out, quint64(body.size()));
    out.append(body);
}

quint32 attributesOf(const SevenZipWriter::Item &item)
{
    quint32 type = S_IFREG;
    quint32 windows = 0x20;
    if (item.kind == SevenZipWriter::Item::Folder) {
        type = S_IFDIR;
        windows = 0x10;
    } else if (item.kind == SevenZipWriter::Item::Link) {
        type = S_IFLNK;
    }
    if (!item.unixMode)
        return windows;
    return windows | 0x8000 | ((type | item.mode) << 16);
}

// A 1 MiB dictionary, and the coder property byte that names it.
constexpr quint32 lzma2Dictionary = 1u << 20;
constexpr char lzma2Property = 16;

QByteArray lzma2(const QByteArray &data)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 6);
    options.dict_size = lzma2Dictionary;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    QByteArray out(data.size() + data.size() / 2 + 1024, '\0'); // room for incompressible data
    size_t written = 0;
    if (lzma_raw_buffer_encode(filters, nullptr, reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()),
                               reinterpret_cast<uint8_t *>(out.data()), &written, size_t(out.size())) != LZMA_OK)
        return QByteArray();
    out.truncate(int(written));
    return out;
}

} // namespace

SevenZipWriter::Item SevenZipWriter::file(const QString &name, const QByteArray &data, quint32 mode)
{
    Item item;
    item.name = name;
    item.data = data;
    item.mode = mode;
    return item;
}

SevenZipWriter::Item SevenZipWriter::folder(const QString &name, quint32 mode)
{
    Item item;
    item.kind = Item::Folder;
    item.name = name;
    item.mode = mode;
    return item;
}

SevenZipWriter::Item SevenZipWriter::link(const QString &name, const QByteArray &target)
{
    Item item;
    item.kind = Item::Link;
    item.name = name;
    item.data = target;
    item.mode = 0777;
    return item;
}

QByteArray SevenZipWriter::archive() const
{
    QByteArray packed;
    QList<const Item *> streams;
    QList<quint64> packSizes;
    QList<bool> empty;
    QList<bool> emptyFile;
    for (const Item &item : m_items) {
        const bool hasStream = item.kind != Item::Folder && !item.data.isEmpty();
        empty.append(!hasStream);
        if (hasStream) {
            streams.append(&item);
            const QByteArray stored = m_method == Lzma2 ? lzma2(item.data) : item.data;
            packSizes.append(quint64(stored.size()));
            packed.append(stored);
        } else {
            emptyFile.append(item.kind != Item::Folder);
        }
    }

    QByteArray header;
    if (!m_items.isEmpty()) {
        header.append(char(0x01)); // header
        if (!streams.isEmpty()) {
            header.append(char(0x04)); // main streams info
            header.append(char(0x06)); // pack info
            putNumber(header, 0);
            putNumber(header, quint64(streams.size()));
            header.append(char(0x09));
            for (const quint64 size : packSizes)
                putNumber(header, size);
            header.append(char(0x00));
            header.append(char(0x07)); // unpack info
            header.append(char(0x0B));
            putNumber(header, quint64(streams.size()));
            header.append(char(0x00)); // not external
            for (int i = 0; i < streams.size(); ++i) {
                putNumber(header, 1); // one coder
                if (m_method == Lzma2) {
                    header.append(char(0x21)); // codec id of one byte with properties, simple coder
                    header.append(char(0x21)); // LZMA2
                    putNumber(header, 1);
                    header.append(lzma2Property);
                } else {
                    header.append(char(0x01)); // codec id of one byte, simple coder
                    header.append(char(0x00)); // Copy
                }
            }
            header.append(char(0x0C));
            for (const Item *item : streams)
                putNumber(header, quint64(item->data.size()));
            header.append(char(0x00));
            header.append(char(0x08)); // substreams info: one stream a folder, with its checksum
            header.append(char(0x0A));
            header.append(char(0x01));
            for (const Item *item : streams)
                putLittle(header, crc32(item->data) ^ (item->badChecksum ? 0x1u : 0u));
            header.append(char(0x00));
            header.append(char(0x00));
        }

        header.append(char(0x05)); // files info
        putNumber(header, quint64(m_items.size()));
        if (empty.contains(true)) {
            putProperty(header, 0x0E, bitVector(empty));
            putProperty(header, 0x0F, bitVector(emptyFile));
        }
        QByteArray names(1, '\0');
        for (const Item &item : m_items) {
            for (QChar c : item.name)
                putLittle(names, c.unicode());
            putLittle(names, quint16(0));
        }
        putProperty(header, 0x11, names);

        QList<bool> timed;
        QByteArray times;
        for (const Item &item : m_items) {
            timed.append(item.hasTime);
            if (item.hasTime)
                putLittle(times, quint64((item.time + 11644473600LL) * 10000000LL));
        }
        if (timed.contains(true)) {
            QByteArray body;
            if (!timed.contains(false)) {
                body.append(char(0x01));
            } else {
                body.append(char(0x00));
                body.append(bitVector(timed));
            }
            body.append(char(0x00));
            body.append(times);
            putProperty(header, 0x14, body);
        }
        QByteArray attributes;
        attributes.append(char(0x01));
        attributes.append(char(0x00));
        for (const Item &item : m_items)
            putLittle(attributes, attributesOf(item));
        putProperty(header, 0x15, attributes);
        header.append(char(0x00));
        header.append(char(0x00));
    }

    return packet(packed, header, m_packedIndex);
}

QByteArray SevenZipWriter::packet(const QByteArray &data, const QByteArray &index, bool packedIndex)
{
    QByteArray packed = data;
    QByteArray header = index;
    if (packedIndex && !index.isEmpty()) {
        const QByteArray coded = lzma2(index);
        header = QByteArray(1, char(0x17)); // encoded header
        header.append(char(0x06));
        putNumber(header, quint64(packed.size()));
        putNumber(header, 1);
        header.append(char(0x09));
        putNumber(header, quint64(coded.size()));
        header.append(char(0x00));
        header.append(char(0x07));
        header.append(char(0x0B));
        putNumber(header, 1);
        header.append(char(0x00));
        putNumber(header, 1);
        header.append(char(0x21));
        header.append(char(0x21));
        putNumber(header, 1);
        header.append(lzma2Property);
        header.append(char(0x0C));
        putNumber(header, quint64(index.size()));
        header.append(char(0x0A));
        header.append(char(0x01));
        putLittle(header, crc32(index));
        header.append(char(0x00));
        header.append(char(0x00));
        packed.append(coded);
    }
    QByteArray start;
    putLittle(start, quint64(packed.size()));
    putLittle(start, quint64(header.size()));
    putLittle(start, header.isEmpty() ? quint32(0) : crc32(header));
    QByteArray out("7z\xBC\xAF\x27\x1C\x00\x04", 8);
    putLittle(out, crc32(start));
    out.append(start);
    out.append(packed);
    out.append(header);
    return out;
}

QByteArray SevenZipWriter::number(quint64 value)
{
    QByteArray out;
    putNumber(out, value);
    return out;
}

bool SevenZipWriter::writeTo(const QString &path) const
{
    QFile file(path);
    const QByteArray data = archive();
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}
