#include "Lib7z.h"

#include "ArchiveItemData.h"
#include "DirectoryGuard.h"
#include "ExtractCallbackImpl.h"
#include "IndexedItemData.h"
#include "OpenArchiveInfo.h"
#include "SevenZipIndex.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileDevice>
#include <QFileInfo>
#include <QReadWriteLock>
#include <QStringList>
#include <QThread>

#include <archive.h>
#include <archive_entry.h>

#include <atomic>
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

std::atomic<bool> indexedReader{true};

struct EntryDeleter
{
    void operator()(struct archive_entry *entry) const { archive_entry_free(entry); }
};

// Runs one step of an extraction; an item's exception fails it with its message.
template<typename Work>
bool failingOnException(Work &&work)
{
    try {
        return work();
    } catch (const SevenZipException &e) {
        setLastError(e.message());
        return false;
    }
}

// Any packet through the general reader. Throws SevenZipException when the
// packet cannot be opened at all.
bool extractGeneral(QFileDevice *archive, ExtractCallbackImpl *impl)
{
    OpenArchiveInfo *info = OpenArchiveInfo::value(archive);
    struct archive *reader = info->reader();
    info->markConsumed();
    ArchiveItemData data(reader);
    for (quint32 index = 0;; ++index) {
        struct archive_entry *entry = nullptr;
        const int result = archive_read_next_header(reader, &entry);
        if (result == ARCHIVE_EOF)
            return true;
        if (result != ARCHIVE_OK) {
            setLastError(QString::fromLocal8Bit(archive_error_string(reader)));
            return false;
        }
        data.reset();
        if (!failingOnException([&] { return impl->extractItem(data, entry, index); }))
            return false;
    }
}

// Packets of plain LZMA2 folders are unpacked from their own index, with the
// folders' blocks decoded on several threads where the packer made that possible.
bool extractIndexed(QFileDevice *archive, const SevenZipIndex &index, ExtractCallbackImpl *impl)
{
    IndexedItemData data(archive->handle(), index, QThread::idealThreadCount());
    for (int i = 0; i < index.items.size(); ++i) {
        const SevenZipIndex::Item &item = index.items.at(i);
        std::unique_ptr<struct archive_entry, EntryDeleter> entry(archive_entry_new());
        archive_entry_set_pathname_utf8(entry.get(), item.name.toUtf8().constData());
        archive_entry_set_mode(entry.get(), mode_t(item.mode));
        archive_entry_set_size(entry.get(), la_int64_t(item.size));
        if (item.hasTime)
            archive_entry_set_mtime(entry.get(), time_t(item.mtimeSeconds), item.mtimeNanoseconds);
        data.begin(item);
        if (!impl->extractItem(data, entry.get(), quint32(i)))
            return false;
        if (!data.finish()) {
            setLastError(QCoreApplication::translate("ExtractCallbackImpl", "Could not extract %1: %2")
                             .arg(impl->targetDirectory + QLatin1Char('/') + item.name, data.errorString()));
            return false;
        }
    }
    return true;
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

void setIndexedReaderEnabled(bool enabled)
{
    indexedReader = enabled;
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
    impl->begin();

    // The target itself comes into being with its first item.
    DirectoryGuard outer(QFileInfo(targetDirectory).absolutePath());
    outer.tryCreate();

    impl->setTotal(quint64(qMax<qint64>(0, archive->size())));
    // Every packet's index is checked first, also when the general reader is to
    // unpack it: that reader allocates from absurd counts before it finds them out.
    SevenZipIndex packetIndex;
    const bool readable = packetIndex.read(archive);
    if (packetIndex.outcome() == SevenZipIndex::Refused) {
        qWarning().noquote() << QStringLiteral("Refused packet %1: %2").arg(archive->fileName(), packetIndex.declineReason());
        throw SevenZipException(QCoreApplication::translate("OpenArchiveInfo", "Could not open archive"));
    }
    const bool extracted = indexedReader && archive->handle() >= 0 && readable
        ? failingOnException([&] { return extractIndexed(archive, packetIndex, impl); })
        : extractGeneral(archive, impl);
    if (!extracted)
        return false;
    outer.release();
    return true;
}

} // namespace Lib7z
