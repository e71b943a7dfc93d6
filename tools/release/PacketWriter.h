#ifndef VELTORA_PACKETWRITER_H
#define VELTORA_PACKETWRITER_H

#include <QByteArray>
#include <QString>

struct archive;

// Writes a 7z packet compressed with LZMA2: files, symbolic links and folders
// under one top-level folder, with their Unix modes and modification times.
class PacketWriter
{
public:
    PacketWriter() = default;
    ~PacketWriter();
    PacketWriter(const PacketWriter &) = delete;
    PacketWriter &operator=(const PacketWriter &) = delete;

    bool open(const QString &path, QString *error);
    bool addFile(const QString &name, const QString &source, quint32 mode, qint64 mtime);
    bool addData(const QString &name, const QByteArray &data, quint32 mode, qint64 mtime);
    bool addLink(const QString &name, const QByteArray &target, qint64 mtime);
    bool addFolder(const QString &name, qint64 mtime);
    bool close(QString *error);
    QString errorString() const { return m_error; }

private:
    bool writeEntry(const QString &name, unsigned type, quint32 mode, qint64 size, qint64 mtime, const QByteArray &link);

    struct archive *m_archive = nullptr;
    QString m_error;
};

#endif
