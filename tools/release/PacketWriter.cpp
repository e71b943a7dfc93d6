#include "PacketWriter.h"

#include <QFile>

#include <archive.h>
#include <archive_entry.h>

#include <sys/stat.h>

PacketWriter::~PacketWriter()
{
    if (m_archive)
        archive_write_free(m_archive);
}

bool PacketWriter::open(const QString &path, QString *error)
{
    m_archive = archive_write_new();
    if (!m_archive || archive_write_set_format_7zip(m_archive) != ARCHIVE_OK
        || archive_write_set_format_option(m_archive, "7zip", "compression", "lzma2") != ARCHIVE_OK
        || archive_write_open_filename(m_archive, QFile::encodeName(path).constData()) != ARCHIVE_OK) {
        *error = QStringLiteral("cannot write the packet %1: %2")
                     .arg(path, m_archive ? QString::fromLocal8Bit(archive_error_string(m_archive)) : QStringLiteral("out of memory"));
        return false;
    }
    return true;
}

bool PacketWriter::writeEntry(const QString &name, unsigned type, quint32 mode, qint64 size, qint64 mtime,
                              const QByteArray &link)
{
    struct archive_entry *entry = archive_entry_new();
    archive_entry_set_pathname_utf8(entry, name.toUtf8().constData());
    archive_entry_set_filetype(entry, type);
    archive_entry_set_perm(entry, mode & 0777);
    archive_entry_set_size(entry, size);
    archive_entry_set_mtime(entry, time_t(mtime), 0);
    if (type == AE_IFLNK)
        archive_entry_set_symlink(entry, link.constData());
    const bool ok = archive_write_header(m_archive, entry) == ARCHIVE_OK;
    if (!ok)
        m_error = QStringLiteral("cannot add %1: %2").arg(name, QString::fromLocal8Bit(archive_error_string(m_archive)));
    archive_entry_free(entry);
    return ok;
}

bool PacketWriter::addFile(const QString &name, const QString &source, quint32 mode, qint64 mtime)
{
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read %1").arg(source);
        return false;
    }
    if (!writeEntry(name, AE_IFREG, mode, file.size(), mtime, QByteArray()))
        return false;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0) {
            m_error = QStringLiteral("cannot read %1").arg(source);
            return false;
        }
        if (n == 0)
            return true;
        if (archive_write_data(m_archive, buffer.constData(), size_t(n)) != n) {
            m_error = QStringLiteral("cannot compress %1: %2").arg(name, QString::fromLocal8Bit(archive_error_string(m_archive)));
            return false;
        }
    }
}

bool PacketWriter::addData(const QString &name, const QByteArray &data, quint32 mode, qint64 mtime)
{
    if (!writeEntry(name, AE_IFREG, mode, data.size(), mtime, QByteArray()))
        return false;
    if (!data.isEmpty() && archive_write_data(m_archive, data.constData(), size_t(data.size())) != data.size()) {
        m_error = QStringLiteral("cannot compress %1").arg(name);
        return false;
    }
    return true;
}

bool PacketWriter::addLink(const QString &name, const QByteArray &target, qint64 mtime)
{
    return writeEntry(name, AE_IFLNK, 0777, 0, mtime, target);
}

bool PacketWriter::addFolder(const QString &name, qint64 mtime)
{
    return writeEntry(name, AE_IFDIR, 0755, 0, mtime, QByteArray());
}

bool PacketWriter::close(QString *error)
{
    const bool ok = archive_write_close(m_archive) == ARCHIVE_OK;
    if (!ok)
        *error = QStringLiteral("cannot finish the packet: %1").arg(QString::fromLocal8Bit(archive_error_string(m_archive)));
    archive_write_free(m_archive);
    m_archive = nullptr;
    return ok;
}
