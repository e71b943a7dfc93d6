#include "OpenArchiveInfo.h"

#include "SevenZipException.h"

#include <QCoreApplication>
#include <QFileDevice>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <archive.h>

namespace {

QMutex &tableMutex()
{
    static QMutex mutex;
    return mutex;
}

QHash<QObject *, OpenArchiveInfo *> &table()
{
    static QHash<QObject *, OpenArchiveInfo *> instances;
    return instances;
}

QString tr(const char *text)
{
    return QCoreApplication::translate("OpenArchiveInfo", text);
}

la_ssize_t readCallback(struct archive *, void *data, const void **buffer)
{
    return static_cast<OpenArchiveInfo *>(data)->readBlock(buffer);
}

la_int64_t seekCallback(struct archive *, void *data, la_int64_t offset, int whence)
{
    return static_cast<OpenArchiveInfo *>(data)->seek(offset, whence);
}

la_int64_t skipCallback(struct archive *, void *data, la_int64_t request)
{
    auto *info = static_cast<OpenArchiveInfo *>(data);
    const qint64 before = info->device()->pos();
    const qint64 after = info->seek(request, SEEK_CUR);
    return after < 0 ? 0 : after - before;
}

} // namespace

void OpenArchiveInfoCleaner::deviceDestroyed(QObject *device)
{
    OpenArchiveInfo *info = nullptr;
    {
        QMutexLocker locker(&tableMutex());
        info = table().take(device);
    }
    delete info;
}

OpenArchiveInfo *OpenArchiveInfo::value(QFileDevice *device)
{
    QMutexLocker locker(&tableMutex());
    if (OpenArchiveInfo *cached = table().value(device))
        return cached;

    auto *info = new OpenArchiveInfo(device);
    try {
        info->open();
    } catch (...) {
        delete info; // a state whose opening failed is not cached
        throw;
    }
    info->m_cleaner = new OpenArchiveInfoCleaner;
    info->m_cleaner->moveToThread(device->thread());
    QObject::connect(device, &QObject::destroyed, info->m_cleaner, &OpenArchiveInfoCleaner::deviceDestroyed);
    table().insert(device, info);
    return info;
}

OpenArchiveInfo::OpenArchiveInfo(QFileDevice *device) : m_device(device)
{
}

OpenArchiveInfo::~OpenArchiveInfo()
{
    close();
    if (m_cleaner)
        m_cleaner->deleteLater();
}

struct archive *OpenArchiveInfo::reader()
{
    if (m_consumed) {
        close();
        open();
        m_consumed = false;
    }
    return m_archive;
}

void OpenArchiveInfo::open()
{
    m_archive = archive_read_new();
    if (!m_archive)
        throw Lib7z::SevenZipException(tr("Could not load codecs"));
    // 7z is the only format packets come in; the format is recognised by its signature.
    if (archive_read_support_format_7zip(m_archive) != ARCHIVE_OK)
        throw Lib7z::SevenZipException(tr("Could not retrieve default format"));
    if (!m_device || !m_device->isOpen() || !m_device->isReadable() || !m_device->seek(0))
        throw Lib7z::SevenZipException(tr("Could not open archive"));
    archive_read_set_read_callback(m_archive, readCallback);
    archive_read_set_seek_callback(m_archive, seekCallback);
    archive_read_set_skip_callback(m_archive, skipCallback);
    archive_read_set_callback_data(m_archive, this);
    if (archive_read_open1(m_archive) != ARCHIVE_OK)
        throw Lib7z::SevenZipException(tr("Could not open archive"));
}

void OpenArchiveInfo::close()
{
    if (m_archive)
        archive_read_free(m_archive);
    m_archive = nullptr;
}

qint64 OpenArchiveInfo::readBlock(const void **buffer)
{
    if (!m_device)
        return -1;
    if (m_buffer.isEmpty())
        m_buffer.resize(1 << 20);
    const qint64 n = m_device->read(m_buffer.data(), m_buffer.size());
    *buffer = m_buffer.constData();
    return n;
}

qint64 OpenArchiveInfo::seek(qint64 offset, int whence)
{
    if (!m_device)
        return ARCHIVE_FATAL;
    qint64 base = 0;
    switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = m_device->pos(); break;
    case SEEK_END: base = m_device->size(); break;
    default: return ARCHIVE_FATAL;
    }
    qint64 position = 0;
    if (__builtin_add_overflow(base, offset, &position) || position < 0)
        return ARCHIVE_FATAL;
    position = qMin(position, m_device->size());
    if (!m_device->seek(position))
        return ARCHIVE_FATAL;
    return position;
}
