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

    void UncompressPacket();

    QString packetPath;
    QString outputDirectory;
    // The top-level names the last packet unpacked into outputDirectory.
    QStringList topLevelEntries;

signals:
    void UncompressPacketFailSignal();
    void UncompressPacketOKSignal();
};

#endif
