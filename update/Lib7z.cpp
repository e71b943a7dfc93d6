#include "Lib7z.h"

#include "DirectoryGuard.h"
#include "ExtractCallbackImpl.h"
#include "OpenArchiveInfo.h"

#include <QFileDevice>
#include <QFileInfo>
#include <QReadWriteLock>
#include <QStringList>

#include <archive.h>
#include <archive_entry.h>

#include <mutex>

namespace Lib7z {
namespace {

QReadWriteLock &errorLock()
{
    static QReadWriteLock lock;
    return lock;
}

QString &lastErrorText()
{
    static QString text;
    return text;
}

QStringList &formats()
{
    static QStringList list;
    return list;
}

} // namespace

ExtractCallback::ExtractCallback() : d(std::make_unique<ExtractCallbackImpl>(this))
{
}

ExtractCallback::~ExtractCallback() = default;

bool ExtractCallback::prepareForFile(const QString &)
{
    return true;
}

void ExtractCallback::setCurrentFile(const QString &)
{
}

int ExtractCallback::setCompleted(quint64, quint64)
{
    return 0;
}

void ExtractCallback::setTarget(const QString &directory)
{
    d->targetDirectory = directory;
}

void init()
{
    static std::once_flag once;
    std::call_once(once, [] { formats().append(QStringLiteral("7z")); });
}

QStringList registeredFormats()
{
    return formats();
}

QString lastError()
{
    QReadLocker locker(&errorLock());
    return lastErrorText();
}

void setLastError(const QString &error)
{
    QWriteLocker locker(&errorLock());
    lastErrorText() = error;
}

bool extractArchive(QFileDevice *archive, const QString &targetDirectory, ExtractCallback *callback)
{
    std::unique_ptr<ExtractCallback> defaultCallback;
    if (!callback) {
        defaultCallback = std::make_unique<ExtractCallback>();
        callback = defaultCallback.get();
    }
    ExtractCallbackImpl *impl = callback->d.get();
    impl->targetDirectory = targetDirectory;

    // The target itself comes into being with its first item.
    DirectoryGuard outer(QFileInfo(targetDirectory).absolutePath());
    outer.tryCreate();

    OpenArchiveInfo *info = OpenArchiveInfo::value(archive);
    struct archive *reader = info->reader();
    info->markConsumed();
    impl->setTotal(quint64(qMax<qint64>(0, archive->size())));

    quint32 index = 0;
    for (;; ++index) {
        struct archive_entry *entry = nullptr;
        const int result = archive_read_next_header(reader, &entry);
        if (result == ARCHIVE_EOF)
            break;
        if (result != ARCHIVE_OK) {
            setLastError(QString::fromLocal8Bit(archive_error_string(reader)));
            return false;
        }
        try {
            if (!impl->extractItem(reader, entry, index))
                return false;
        } catch (const SevenZipException &e) {
            setLastError(e.message());
            return false;
        }
    }
    outer.release();
    return true;
}

} // namespace Lib7z
