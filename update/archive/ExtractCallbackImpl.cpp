#include "ExtractCallbackImpl.h"

#include "DirectoryGuard.h"
#include "ItemData.h"
#include "Lib7z.h"
#include "QIODeviceSequentialOutStream.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Lib7z {
namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ExtractCallbackImpl", text);
}

// Whether the archive carries a Unix mode for the item: the reader reports 0666 for
// files and 0777 for folders stored without one.
bool hasUnixMode(struct archive_entry *entry)
{
    const bool folder = archive_entry_filetype(entry) == AE_IFDIR;
    return archive_entry_perm(entry) != (folder ? 0777 : 0666);
}

} // namespace

void ExtractCallbackImpl::begin()
{
    m_absoluteTarget = QFileInfo(targetDirectory).absoluteFilePath();
    m_canonicalTarget.clear();
    m_realFolders.clear();
}

// Packets come over plain HTTP: an item must not reach outside the target, neither by
// its own path nor through a symbolic link that an earlier item left on its way.
bool ExtractCallbackImpl::staysInside(const QString &relativeDirectory)
{
    if (m_realFolders.contains(relativeDirectory))
        return true;
    if (m_canonicalTarget.isEmpty())
        m_canonicalTarget = QFileInfo(m_absoluteTarget).canonicalFilePath();
    const QString &root = m_canonicalTarget;
    QString walk = m_absoluteTarget;
    bool real = true;
    for (const QString &part : relativeDirectory.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        walk += QLatin1Char('/') + part;
        const QFileInfo info(walk);
        if (info.isSymLink()) {
            real = false;
            const QString resolved = info.canonicalFilePath();
            if (resolved.isEmpty() || root.isEmpty())
                return false;
            if (resolved != root && !resolved.startsWith(root + QLatin1Char('/')))
                return false;
        } else if (!info.exists()) {
            return true; // the rest is created as real directories
        } else if (!info.isDir()) {
            real = false;
        }
    }
    // Only a path of real folders is remembered: an item may replace a link.
    if (real && !root.isEmpty())
        m_realFolders.insert(relativeDirectory);
    return true;
}

bool ExtractCallbackImpl::setCompleted(quint64 completed)
{
    m_completed = completed;
    return m_total == 0 || q->setCompleted(m_completed, m_total) == 0;
}

QString ExtractCallbackImpl::itemPath(struct archive_entry *entry, quint32 index) const
{
    const char *raw = archive_entry_pathname_utf8(entry);
    if (!raw)
        raw = archive_entry_pathname(entry);
    if (!raw) {
        setLastError(tr("Could not retrieve path of archive item %1").arg(index));
        return QString();
    }
    QString path = QString::fromUtf8(raw);
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1); // folders are listed with a trailing slash

    const QStringList parts = path.split(QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')) || parts.contains(QStringLiteral(".."))) {
        setLastError(tr("Refusing archive item %1: its path %2 leads outside the target directory").arg(index).arg(path));
        return QString();
    }
    return targetDirectory + QLatin1Char('/') + path;
}

bool ExtractCallbackImpl::extractItem(ItemData &data, struct archive_entry *entry, quint32 index)
{
    if (targetDirectory.isEmpty())
        return false;
    m_currentIndex = index;
    const QString path = itemPath(entry, index);
    if (path.isEmpty())
        return false;
    if (archive_entry_is_encrypted(entry)) {
        setLastError(tr("Could not extract %1: encrypted items are not supported").arg(path));
        return false;
    }

    std::unique_ptr<QIODeviceSequentialOutStream> stream;
    if (!getStream(entry, path, &stream))
        return false;
    // A link's target is its data, unless the reader has already taken it.
    if (archive_entry_filetype(entry) == AE_IFLNK && !archive_entry_symlink(entry)) {
        QByteArray target;
        const char *block = nullptr;
        size_t size = 0;
        int result;
        while ((result = data.next(&block, &size)) > 0 && target.size() < 65536)
            target.append(block, int(size));
        if (result != 0) {
            setLastError(tr("Could not extract %1: %2")
                             .arg(path, result < 0 ? data.errorString() : QStringLiteral("link target too long")));
            return false;
        }
        archive_entry_copy_symlink(entry, target.constData());
    }
    if (stream) {
        if (!writeData(data, path, stream.get()))
            return false;
        // Times and mode through the descriptor just written: no second open by name.
        return setOperationResult(entry, path, stream->handle());
    }
    return setOperationResult(entry, path);
}

bool ExtractCallbackImpl::getStream(struct archive_entry *entry, const QString &path,
                                    std::unique_ptr<QIODeviceSequentialOutStream> *stream)
{
    // The item's path below the target, made absolute without asking the
    // working directory for every item.
    const QFileInfo info(m_absoluteTarget + path.mid(targetDirectory.size()));
    const QString relativeDirectory = info.absolutePath().mid(m_absoluteTarget.size());
    if (!staysInside(relativeDirectory)) {
        setLastError(tr("Refusing archive item %1: a symbolic link leads its folder outside the target directory").arg(path));
        return false;
    }

    // A folder known to be real exists: no need to look again.
    DirectoryGuard guard(m_realFolders.contains(relativeDirectory) ? QString() : info.absolutePath());
    const QStringList created = guard.tryCreate();

    const unsigned type = archive_entry_filetype(entry);
    const bool folder = type == AE_IFDIR;
    if (folder) {
        QDir(info.absolutePath()).mkdir(info.fileName());
        // A link an earlier item left where the folder goes: its times and mode would be
        // set on whatever the link points to.
        struct stat st;
        if (::lstat(QFile::encodeName(info.absoluteFilePath()).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            setLastError(tr("Refusing archive item %1: a symbolic link or a file stands where its folder goes").arg(path));
            return false;
        }
    }

    for (const QString &directory : created)
        q->setCurrentFile(directory);

    const QString absolutePath = info.absoluteFilePath();
    if (!folder && !q->prepareForFile(absolutePath))
        return false;
    q->setCurrentFile(absolutePath);

    if (!folder) {
        const QByteArray encoded = QFile::encodeName(absolutePath);
        // A file is never written through a link: one standing in its place is
        // removed first (found by the open refusing it, which costs no extra lookup).
        const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
        int fd = -1;
        if (type != AE_IFLNK) {
            fd = ::open(encoded.constData(), flags, 0666);
            if (fd < 0 && errno == ELOOP) {
                if (!QFile::remove(absolutePath)) {
                    setLastError(tr("Could not remove already existing symlink. %1").arg(absolutePath));
                    return false;
                }
                fd = ::open(encoded.constData(), flags, 0666);
            }
        } else if (QFileInfo(absolutePath).isSymLink() && !QFile::remove(absolutePath)) {
            setLastError(tr("Could not remove already existing symlink. %1").arg(absolutePath));
            return false;
        }
        if (type == AE_IFLNK) {
            // The link replaces whatever file stands there; a folder makes the item fail.
            if (QFileInfo(absolutePath).isDir()) {
                setLastError(tr("Could not open file: %1 (%2)").arg(absolutePath, QString::fromLocal8Bit(std::strerror(EISDIR))));
                return false;
            }
            QFile::remove(absolutePath);
        } else {
            if (fd < 0) {
                setLastError(tr("Could not open file: %1 (%2)").arg(absolutePath, QString::fromLocal8Bit(std::strerror(errno))));
                return false;
            }
            auto file = new QFile(absolutePath);
            file->open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle);
            *stream = std::make_unique<QIODeviceSequentialOutStream>(file, QIODeviceSequentialOutStream::Ownership::CloseAndDelete);
        }
    }
    guard.release();
    return true;
}

bool ExtractCallbackImpl::writeData(ItemData &data, const QString &path, QIODeviceSequentialOutStream *stream)
{
    for (;;) {
        const char *block = nullptr;
        size_t size = 0;
        const int result = data.next(&block, &size);
        if (result == 0)
            return true;
        // A damaged or undecodable item must not pass as extracted.
        if (result < 0) {
            setLastError(tr("Could not extract %1: %2").arg(path, data.errorString()));
            return false;
        }
        for (size_t done = 0; done < size;) {
            const qint64 n = stream->write(block + done, qint64(size - done));
            if (n <= 0) {
                setLastError(tr("Could not write file: %1 (%2)").arg(path, stream->errorString()));
                return false;
            }
            done += size_t(n);
        }
        if (!setCompleted(data.packetPosition())) {
            setLastError(tr("Extraction cancelled at %1").arg(path));
            return false;
        }
    }
}

bool ExtractCallbackImpl::setOperationResult(struct archive_entry *entry, const QString &path, int writtenFd)
{
    const bool unixMode = hasUnixMode(entry);
    const QString absolutePath = QFileInfo(m_absoluteTarget + path.mid(targetDirectory.size())).absoluteFilePath();

    if (archive_entry_filetype(entry) == AE_IFLNK) {
        if (QFileInfo(absolutePath).isSymLink()) {
            setLastError(tr("Could not create symlink at '%1'. Another one is already existing.").arg(absolutePath));
            return false;
        }
        // The stored target text, byte for byte, relative or absolute.
        const char *target = archive_entry_symlink(entry);
        if (!target || ::symlink(target, QFile::encodeName(absolutePath).constData()) != 0) {
            setLastError(tr("Could not create symlink at %1. %2")
                             .arg(absolutePath, QString::fromLocal8Bit(std::strerror(target ? errno : EINVAL))));
            return false;
        }
        return true;
    }

    if (!archive_entry_mtime_is_set(entry)) {
        throw SevenZipException(QCoreApplication::translate("Lib7z", "Property %1 for item %2 not of type VT_FILETIME but %3")
                                    .arg(12)
                                    .arg(m_currentIndex)
                                    .arg(0));
    }
    const time_t seconds = archive_entry_mtime(entry);
    const long nanoseconds = archive_entry_mtime_nsec(entry);
    const bool folder = archive_entry_filetype(entry) == AE_IFDIR;
    // Times and mode go through a descriptor of the item itself, never through a link.
    const int fd = writtenFd >= 0 ? writtenFd
                                  : ::open(QFile::encodeName(absolutePath).constData(),
                                           (folder ? O_RDONLY | O_DIRECTORY : O_WRONLY) | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ELOOP) {
        setLastError(tr("Refusing archive item %1: a symbolic link stands in its place").arg(absolutePath));
        return false;
    }
    if (fd >= 0) {
        // Folders keep the time their creation gave them.
        if (!folder && (seconds != 0 || nanoseconds != 0)) {
            const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
            ::futimens(fd, times);
        }
        if (unixMode)
            ::fchmod(fd, archive_entry_perm(entry) & 0777);
        if (fd != writtenFd)
            ::close(fd);
    }
    return true;
}

} // namespace Lib7z
