#ifndef VELTORA_SEVENZIPWRITER_H
#define VELTORA_SEVENZIPWRITER_H

#include <QByteArray>
#include <QList>
#include <QString>

// Writes small 7z archives byte by byte (items stored with the Copy method), for
// shapes the 7z tool will not make: backslashes or ".." in item paths, items
// without a modification time or without Unix attributes, damaged checksums,
// symbolic links that lead elsewhere.
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

    static Item file(const QString &name, const QByteArray &data, quint32 mode = 0644);
    static Item folder(const QString &name, quint32 mode = 0755);
    static Item link(const QString &name, const QByteArray &target);

    void add(const Item &item) { m_items.append(item); }
    QByteArray archive() const;
    bool writeTo(const QString &path) const;

private:
    QList<Item> m_items;
};

#endif
