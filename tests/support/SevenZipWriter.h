#ifndef VELTORA_SEVENZIPWRITER_H
#define VELTORA_SEVENZIPWRITER_H

#include <QByteArray>
#include <QList>
#include <QString>

// Writes small 7z archives byte by byte, for shapes the 7z tool will not make:
// backslashes or ".." in item paths, items without a modification time or without
// Unix attributes, damaged checksums, symbolic links that lead elsewhere. Items are
// stored with the Copy method, or each packed alone with LZMA2, the shape the
// packet's own index reader takes.
class SevenZipWriter
{
public:
    struct Item
    {
        enum Kind { File, Folder, Link };
        Kind kind = File;
        QString name;
        QByteArray data;         // file content, or the link target
        quint32 mode = 0644;     // Unix permission bits
        bool unixMode = true;    // store the Unix extension of the attributes
        bool hasTime = true;
        qint64 time = 1700000000; // seconds since 1970
        bool badChecksum = false;
    };

    enum Method { Copy, Lzma2 };

    static Item file(const QString &name, const QByteArray &data, quint32 mode = 0644);
    static Item folder(const QString &name, quint32 mode = 0755);
    static Item link(const QString &name, const QByteArray &target);

    void add(const Item &item) { m_items.append(item); }
    void setMethod(Method method) { m_method = method; }
    // Packs the index with LZMA2 behind an encoded header, as the 7z tool does.
    void setPackedIndex(bool packed) { m_packedIndex = packed; }
    QByteArray archive() const;
    bool writeTo(const QString &path) const;

    // For indexes made by hand: a packet of `data` (the packed streams) and `index`,
    // plain or packed with LZMA2.
    static QByteArray packet(const QByteArray &data, const QByteArray &index, bool packedIndex);
    // The index's variable-length number.
    static QByteArray number(quint64 value);

private:
    QList<Item> m_items;
    Method m_method = Copy;
    bool m_packedIndex = false;
};

#endif
