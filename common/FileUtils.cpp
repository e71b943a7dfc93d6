#include "FileUtils.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <vector>

namespace {

const QString bakSuffix = QStringLiteral(".bak");

// Four lower-case hex digits: the second group of a fresh UUID.
QString makeTag()
{
    return QUuid::createUuid().toString().split(QLatin1Char('-')).at(1);
}

// The link's target read one level, made absolute against the link's own directory,
// then expressed relative to the absolute directory holding the link.
QString relativeLinkText(const QFileInfo &link, QString *absoluteTarget = nullptr)
{
    const QByteArray raw = QFile::encodeName(link.absoluteFilePath());
    std::vector<char> buffer(4096);
    const ssize_t length = ::readlink(raw.constData(), buffer.data(), buffer.size() - 1);
    const QString text = length > 0 ? QFile::decodeName(QByteArray(buffer.data(), int(length))) : QString();
    const QDir linkDir(link.absolutePath());
    const QString target = QDir::cleanPath(linkDir.absoluteFilePath(text));
    if (absoluteTarget)
        *absoluteTarget = target;
    return linkDir.relativeFilePath(target);
}

bool createSymLink(const QString &text, const QString &path)
{
    return ::symlink(QFile::encodeName(text).constData(), QFile::encodeName(path).constData()) == 0;
}

// Writes the source's content into a destination that must not exist yet, then
// gives it the source's permission bits. A partial destination is removed.
bool copyContent(const QString &source, const QString &destination)
{
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat st;
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return false;
    }
    const QByteArray target = QFile::encodeName(destination);
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        ::close(in);
        return false;
    }

    bool ok = true;
    bool kernelCopy = true;
    std::vector<char> buffer;
    for (;;) {
        ssize_t done = -1;
        if (kernelCopy) {
            done = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
            if (done < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
                kernelCopy = false;
                continue;
            }
            if (done < 0 && errno == EINTR)
                continue;
        } else {
            if (buffer.empty())
                buffer.resize(1 << 20);
            done = ::read(in, buffer.data(), buffer.size());
            if (done < 0 && errno == EINTR)
                continue;
            for (ssize_t written = 0; done > 0 && written < done;) {
                const ssize_t n = ::write(out, buffer.data() + written, size_t(done - written));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    done = -1;
                    break;
                }
                written += n;
            }
        }
        if (done == 0)
            break;
        if (done < 0) {
            ok = false;
            break;
        }
    }
    if (ok && ::fchmod(out, st.st_mode & 0777) != 0)
        ok = false;
    if (::close(out) != 0)
        ok = false;
    ::close(in);
    if (!ok)
        ::unlink(target.constData());
    return ok;
}

// Clears every permission bit but others' write, then removes. Never through a symbolic
// link: that would strip the permissions of whatever file it points to. A file that
// stays gets its permissions back, so a refused removal does not leave it unreadable.
bool removeForReplacement(const QString &path)
{
    const QFileInfo info(path);
    const bool isLink = info.isSymLink();
    const QFileDevice::Permissions before = info.permissions();
    if (!isLink)
        QFile::setPermissions(path, QFileDevice::WriteOther);
    if (QFile::remove(path))
        return true;
    if (!isLink)
        QFile::setPermissions(path, before);
    return false;
}

void removeTagIfPresent(const QString &tagName)
{
    if (FileUtils::entryExists(tagName))
        QFile::remove(tagName);
}

// Regular files below dir in name order; hidden entries and links are neither visited nor followed.
void forEachRegularFile(const QString &dir, const std::function<void(const QFileInfo &)> &visit)
{
    const QFileInfoList entries =
        QDir(dir).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &entry : entries) {
        if (entry.isSymLink())
            continue;
        if (entry.isDir())
            forEachRegularFile(entry.absoluteFilePath(), visit);
        else if (entry.isFile())
            visit(entry);
    }
}

// What an overlay of dir visits, in its order: the default listing (no hidden entries,
// no dangling links, names ignoring case) less the log file and the folders of the
// backup and the fix-update copy.
QFileInfoList overlayListing(const QString &dir)
{
    QFileInfoList out;
    const QFileInfoList entries = QDir(dir).entryInfoList();
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (name == QLatin1String(".") || name == QLatin1String("..") || name == QLatin1String("HNLog.txt"))
            continue;
        if (entry.isDir() && !entry.isSymLink()) {
            const QString base = entry.baseName();
            if (base == QLatin1String("backup") || base == QLatin1String("fixupdate"))
                continue;
        }
        out << entry;
    }
    return out;
}

void collectOverlayEntries(const QString &root, const QString &relative, QVector<FileUtils::OverlayEntry> *out)
{
    const QFileInfoList entries = overlayListing(relative.isEmpty() ? root : root + QLatin1Char('/') + relative);
    for (const QFileInfo &entry : entries) {
        const QString path = relative.isEmpty() ? entry.fileName() : relative + QLatin1Char('/') + entry.fileName();
        if (entry.isSymLink()) {
            out->append({path, FileUtils::OverlayEntry::Link});
        } else if (entry.isDir()) {
            out->append({path, FileUtils::OverlayEntry::Folder});
            collectOverlayEntries(root, path, out);
        } else if (entry.isFile()) {
            out->append({path, FileUtils::OverlayEntry::File});
        }
    }
}

} // namespace

bool readFileInPieces(const QString &path, const std::function<void(const char *data, qint64 size)> &consume)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray buffer(1 << 18, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        consume(buffer.constData(), n);
    }
}

QByteArray getLocalFileMd5Value(const QString &path)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!readFileInPieces(path, [&hash](const char *data, qint64 size) { hash.addData(data, int(size)); }))
        return QByteArray();
    return hash.result().toHex();
}

bool copyFile(const QString &source, const QString &destination)
{
    if (source.isEmpty())
        return false;

    if (FileUtils::entryExists(destination)) {
        if (getLocalFileMd5Value(source) == getLocalFileMd5Value(destination))
            return true;
        removeForReplacement(destination);
    }

    const QString tagName = destination + QLatin1Char('.') + makeTag();
    if (FileUtils::entryExists(destination) && !QFile::rename(destination, destination + bakSuffix)) {
        qDebug() << "rename failed: " << destination;
        if (!QFile::rename(destination, tagName))
            qDebug() << "rename failed:" << tagName;
    }

    QDir().mkpath(QFileInfo(destination).absolutePath());

    const QFileInfo sourceInfo(source);
    if (sourceInfo.isSymLink()) {
        QString absoluteTarget;
        const QString text = relativeLinkText(sourceInfo, &absoluteTarget);
        QFile::remove(destination);
        if (!createSymLink(text, destination)) {
            qDebug() << QStringLiteral("%1 link error").arg(absoluteTarget);
            return false;
        }
        return true;
    }

    const bool copied = copyContent(source, destination);
    removeTagIfPresent(tagName);
    if (!copied) {
        qDebug() << QStringLiteral("%1 copy failed").arg(destination);
        return false;
    }
    return true;
}

bool copyDirectoryFiles(const QString &fromDir, const QString &toDir)
{
    QDir target(toDir);
    if (!target.exists() && !target.mkpath(target.absolutePath()))
        return false;

    const QFileInfoList entries = overlayListing(fromDir);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        const QString targetPath = target.absolutePath() + QLatin1Char('/') + name;

        if (entry.isSymLink()) {
            QFile::remove(targetPath);
            if (!createSymLink(relativeLinkText(entry), targetPath)) {
                qDebug() << QStringLiteral("%1 link error").arg(targetPath);
                return false;
            }
        } else if (entry.isDir()) {
            // Never through a link: a link where the tree has a folder may lead anywhere.
            if (FileUtils::entryExists(targetPath) && !FileUtils::isRealFolder(targetPath)) {
                qDebug() << "Refusing to copy into a folder that is not one:" << targetPath;
                return false;
            }
            if (!copyDirectoryFiles(entry.absoluteFilePath(), targetPath))
                return false;
        } else if (entry.isFile()) {
            if (FileUtils::entryExists(targetPath)) {
                if (getLocalFileMd5Value(entry.absoluteFilePath()) == getLocalFileMd5Value(targetPath))
                    continue;
                if (!removeForReplacement(targetPath))
                    qDebug() << "del failed:" << targetPath;
            }
            const QString tagName = targetPath + QLatin1Char('.') + makeTag();
            if (FileUtils::entryExists(targetPath) && !QFile::rename(targetPath, targetPath + bakSuffix)) {
                qDebug() << "rename failed: " << targetPath;
                if (!QFile::rename(targetPath, tagName))
                    qDebug() << "rename failed:" << tagName;
            }
            const bool copied = copyContent(entry.absoluteFilePath(), targetPath);
            removeTagIfPresent(tagName);
            if (!copied) {
                qDebug() << "copy failed:" << targetPath;
                return false;
            }
        }
    }
    return true;
}

namespace FileUtils {

bool entryExists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool isRealFolder(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')))
        return false;
    const QStringList parts = QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    return !parts.contains(QStringLiteral(".."));
}

void cleanSuffixFile(const QString &dir, const QString &suffix)
{
    if (!QFileInfo(dir).isDir())
        return;
    forEachRegularFile(dir, [&suffix](const QFileInfo &file) {
        if (file.suffix() == suffix)
            QFile::remove(file.absoluteFilePath());
    });
}

bool deleteDirectory(const QString &dir)
{
    const QFileInfo info(dir);
    if (info.isSymLink())
        return QFile::remove(dir);
    if (!info.exists())
        return true;

    bool ok = true;
    const QFileInfoList entries =
        QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink())
            ok = deleteDirectory(entry.absoluteFilePath()) && ok;
        else
            ok = QFile::remove(entry.absoluteFilePath()) && ok;
    }
    return QDir().rmdir(info.absoluteFilePath()) && ok;
}

QVector<OverlayEntry> overlayEntries(const QString &fromDir)
{
    QVector<OverlayEntry> out;
    collectOverlayEntries(fromDir, QString(), &out);
    return out;
}

bool sameEntry(const QString &a, const QString &b)
{
    struct stat sa;
    struct stat sb;
    const bool hasA = ::lstat(QFile::encodeName(a).constData(), &sa) == 0;
    const bool hasB = ::lstat(QFile::encodeName(b).constData(), &sb) == 0;
    if (!hasA || !hasB)
        return hasA == hasB;
    if ((sa.st_mode & S_IFMT) != (sb.st_mode & S_IFMT))
        return false;
    if (S_ISLNK(sa.st_mode))
        return relativeLinkText(QFileInfo(a)) == relativeLinkText(QFileInfo(b));
    if (S_ISREG(sa.st_mode))
        return (sa.st_mode & 07777) == (sb.st_mode & 07777) && sa.st_size == sb.st_size
            && getLocalFileMd5Value(a) == getLocalFileMd5Value(b);
    return true;
}

void cleanPatcherLeftovers(const QString &dir)
{
    if (!QFileInfo(dir).isDir())
        return;
    static const QRegularExpression leftover(QStringLiteral("\\.bspatch-\\d+-\\d+$"));
    forEachRegularFile(dir, [](const QFileInfo &file) {
        if (leftover.match(file.fileName()).hasMatch())
            QFile::remove(file.absoluteFilePath());
    });
}

bool syncFileSystem(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

void showDirAllFiles(const QString &dir)
{
    const char *rule = "===============================";
    qDebug() << rule << dir;
    if (!QFileInfo(dir).isDir())
        return;
    forEachRegularFile(dir, [](const QFileInfo &file) {
        qDebug() << file.absoluteFilePath() << file.permissions();
    });
    qDebug() << rule;
}

} // namespace FileUtils
