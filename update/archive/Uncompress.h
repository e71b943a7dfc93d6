#ifndef VELTORA_UNCOMPRESS_H
#define VELTORA_UNCOMPRESS_H

#include <QObject>
#include <QString>
#include <QStringList>

// Unpacks one 7z packet into a directory; UncompressPacket() ends in exactly
// one of the two signals before it returns, and never throws.
class Uncompress : public QObject
{
    Q_OBJECT

public:
    explicit Uncompress(QObject *parent = nullptr);

    // What ended the last unpack, set before the fail signal: roads are decided on it,
    // the log line says the rest.
    enum Failure {
        NoFailure,
        PacketUnreadable, // the packet file could not be opened
        ExtractionFailed, // a damaged packet, a refused item, or a write that failed
    };

    void UncompressPacket();

    QString packetPath;
    QString outputDirectory;
    // The top-level names the last packet unpacked into outputDirectory.
    QStringList topLevelEntries;
    Failure failure = NoFailure;

signals:
    void UncompressPacketFailSignal();
    void UncompressPacketOKSignal();
};

#endif
