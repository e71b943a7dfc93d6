#include "Uncompress.h"

#include "Lib7z.h"

#include <QDebug>
#include <QFile>

#include <memory>

Uncompress::Uncompress(QObject *parent) : QObject(parent)
{
}

void Uncompress::UncompressPacket()
{
    Lib7z::init();
    bool ok = false;
    {
        // Destroying the file drops the facade's cached state of this archive.
        auto file = std::make_unique<QFile>(packetPath);
        file->open(QIODevice::ReadOnly);
        try {
            ok = Lib7z::extractArchive(file.get(), outputDirectory, nullptr);
        } catch (const Lib7z::SevenZipException &e) {
            Lib7z::setLastError(e.message());
            ok = false;
        } catch (const std::exception &e) {
            Lib7z::setLastError(QString::fromLocal8Bit(e.what()));
            ok = false;
        }
        file->close();
    }
    if (ok)
        emit UncompressPacketOKSignal();
    else
        emit UncompressPacketFailSignal();
}
