#include "Uncompress.h"

#include "Lib7z.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QSet>

#include <memory>

namespace {

// Notes the top-level names of what the packet puts into the target.
class TopLevelRecorder : public Lib7z::ExtractCallback
{
public:
    TopLevelRecorder(const QString &target, QStringList *names)
        : m_prefix(QDir::cleanPath(QFileInfo(target).absoluteFilePath()) + QLatin1Char('/')), m_names(names) {}

    void setCurrentFile(const QString &filePath) override
    {
        if (!filePath.startsWith(m_prefix))
            return;
        const QString top = filePath.mid(m_prefix.size()).section(QLatin1Char('/'), 0, 0);
        // A set beside the list: a packet may hold a hundred thousand top-level items.
        if (!top.isEmpty() && !m_seen.contains(top)) {
            m_seen.insert(top);
            m_names->append(top);
        }
    }

private:
    QString m_prefix;
    QStringList *m_names;
    QSet<QString> m_seen;
};

} // namespace

Uncompress::Uncompress(QObject *parent) : QObject(parent)
{
}

void Uncompress::UncompressPacket()
{
    Lib7z::init();
    Lib7z::setLastError(QString());
    topLevelEntries.clear();
    failure = NoFailure;
    TopLevelRecorder recorder(outputDirectory, &topLevelEntries);
    bool ok = false;
    {
        // Destroying the file drops the facade's cached state of this archive.
        auto file = std::make_unique<QFile>(packetPath);
        if (!file->open(QIODevice::ReadOnly))
            failure = PacketUnreadable;
        try {
            ok = Lib7z::extractArchive(file.get(), outputDirectory, &recorder);
        } catch (const Lib7z::SevenZipException &e) {
            Lib7z::setLastError(e.message());
            ok = false;
        } catch (const std::exception &e) {
            Lib7z::setLastError(QString::fromLocal8Bit(e.what()));
            ok = false;
        }
        file->close();
    }
    if (ok) {
        emit UncompressPacketOKSignal();
    } else {
        // The reason, for whoever reads the log: a damaged download or a refused item.
        if (failure == NoFailure)
            failure = ExtractionFailed;
        qDebug().noquote() << "Could not unpack" << packetPath << ":" << Lib7z::lastError();
        emit UncompressPacketFailSignal();
    }
}
