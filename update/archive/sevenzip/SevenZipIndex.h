#ifndef VELTORA_SEVENZIPINDEX_H
#define VELTORA_SEVENZIPINDEX_H

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

class QIODevice;

namespace Lib7z {

// The table of contents of a 7z packet whose data is plain LZMA2 folders: where
// each folder's packed bytes lie and how the items share its unpacked bytes.
// Packets of any other shape (other or chained methods, encryption, unusual
// item kinds) are declined, and the general reader handles them. A packet
// whose index is absurd (counts its bytes cannot hold, sizes beyond the file,
// damaged structure) is refused: no reader should try it, since the general
// one allocates from such counts before it finds out.
class SevenZipIndex
{
public:
    enum Outcome { Read, Declined, Refused };

    struct Folder
    {
        qint64 packOffset = 0;   // from the start of the file
        qint64 packSize = 0;
        quint64 unpackSize = 0;
        quint32 dictionarySize = 0;
    };
    struct Item
    {
        QString name;
        bool hasStream = false;
        bool isDirectory = false;
        quint32 mode = 0;          // type and permission bits, as the general reader reports them
        bool hasTime = false;
        qint64 mtimeSeconds = 0;
        qint32 mtimeNanoseconds = 0;
        int folder = -1;           // for items with a stream
        quint64 size = 0;
        bool hasCrc = false;
        quint32 crc = 0;
    };

    // Reads the index. False (with a reason for diagnostics) when the packet is
    // refused, or of a shape this reader leaves to the general one. What it holds
    // is bounded by the packet's size: see the limits in the source.
    bool read(QIODevice *device);
    Outcome outcome() const { return result; }
    QString declineReason() const { return reason; }

    QVector<Folder> folders;
    QVector<Item> items;

private:
    bool decline(const QString &why);
    bool refuse(const QString &why);
    bool readHeader(const QByteArray &header, qint64 fileSize);
    bool decodeHeader(QIODevice *device, const QByteArray &encoded, qint64 fileSize, QByteArray *decoded);

    QString reason;
    Outcome result = Declined;
};

} // namespace Lib7z

#endif
