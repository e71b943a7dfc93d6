#include "SafePath.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace SafePath {

namespace {

QString reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The kernel's own beneath-and-no-links resolution; older kernels get a walk of
// the components, each opened without following a link.
int openat2Beneath(int rootFd, const QByteArray &relative, int flags)
{
    struct open_how how
    {
    };
    how.flags = quint64(flags | O_NOFOLLOW | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, rootFd, relative.constData(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS)
        return int(fd);

    const QList<QByteArray> parts = relative.split('/');
    int dir = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    for (int i = 0; dir >= 0 && i < parts.size(); ++i) {
        const QByteArray &part = parts.at(i);
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            ::close(dir);
            errno = EXDEV;
            return -1;
        }
        const bool last = i == parts.size() - 1;
        const int next = ::openat(dir, part.constData(), (last ? flags : O_DIRECTORY | O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        ::close(dir);
        errno = saved;
        dir = next;
    }
    return dir;
}

int openRoot(const QString &root, QString *error)
{
    const int fd = ::open(QFile::encodeName(root).constData(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        *error = QStringLiteral("%1: %2").arg(root, reason(errno));
    return fd;
}

bool validRelative(const QString &relative, QString *error)
{
    if (relative.startsWith(QLatin1Char('/')) || relative.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
        *error = QStringLiteral("%1 leaves its folder").arg(relative);
        return false;
    }
    return true;
}

// The parent folder of relative, opened beneath the root, and the last component.
int openParent(const QString &root, const QString &relative, QByteArray *name, QString *error)
{
    QString path = relative;
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    *name = QFile::encodeName(path.mid(slash + 1));
    if (name->isEmpty() || *name == "." || *name == "..") {
        *error = QStringLiteral("%1 names no entry").arg(relative);
        return -1;
    }
    return openBeneath(root, slash < 0 ? QString() : path.left(slash), O_DIRECTORY | O_RDONLY, error);
}

bool removeContents(int dirFd)
{
    const int listFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return false;
    }
    bool ok = true;
    while (struct dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat st;
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const int child = ::openat(dirFd, entry->d_name, O_DIRECTORY | O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            ok = child >= 0 && removeContents(child) && ok;
            if (child >= 0)
                ::close(child);
            ok = ::unlinkat(dirFd, entry->d_name, AT_REMOVEDIR) == 0 && ok;
        } else {
            ok = ::unlinkat(dirFd, entry->d_name, 0) == 0 && ok;
        }
    }
    ::closedir(dir);
    return ok;
}

} // namespace

int openBeneath(const QString &root, const QString &relative, int flags, QString *error)
{
    if (!validRelative(relative, error))
        return -1;
    const int rootFd = openRoot(root, error);
    if (rootFd < 0)
        return -1;
    const QByteArray path = relative.isEmpty() ? QByteArray(".") : QFile::encodeName(relative);
    const int fd = openat2Beneath(rootFd, path, flags);
    const int saved = errno;
    ::close(rootFd);
    if (fd < 0) {
        *error = saved == ELOOP || saved == EXDEV
            ? QStringLiteral("%1 runs through a symbolic link or leaves %2").arg(relative, root)
            : QStringLiteral("%1: %2").arg(relative, reason(saved));
    }
    return fd;
}

bool parentIsContained(const QString &root, const QString &relative, QString *error)
{
    QByteArray name;
    const int parent = openParent(root, relative, &name, error);
    if (parent < 0) {
        // A folder on the way that does not exist yet is created as a real one.
        return error->endsWith(reason(ENOENT));
    }
    ::close(parent);
    return true;
}

bool removeBeneath(const QString &root, const QString &relative, QString *error)
{
    QByteArray name;
    const int parent = openParent(root, relative, &name, error);
    if (parent < 0)
        return false;
    const bool ok = ::unlinkat(parent, name.constData(), 0) == 0;
    if (!ok)
        *error = QStringLiteral("%1: %2").arg(relative, reason(errno));
    ::close(parent);
    return ok;
}

bool removeTreeBeneath(const QString &root, const QString &relative, QString *error)
{
    QByteArray name;
    const int parent = openParent(root, relative, &name, error);
    if (parent < 0)
        return false;
    bool ok = false;
    const int dir = ::openat(parent, name.constData(), O_DIRECTORY | O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (dir >= 0) {
        ok = removeContents(dir);
        ::close(dir);
        ok = ::unlinkat(parent, name.constData(), AT_REMOVEDIR) == 0 && ok;
    }
    if (!ok)
        *error = QStringLiteral("%1: %2").arg(relative, reason(errno));
    ::close(parent);
    return ok;
}

bool chmodBeneath(const QString &root, const QString &relative, mode_t mode, QString *error)
{
    // Set on the entry itself from its folder: no read access to it is needed, and
    // with AT_SYMLINK_NOFOLLOW a link in its place is refused, never followed.
    QByteArray name;
    const int parent = openParent(root, relative, &name, error);
    if (parent < 0)
        return false;
    const bool ok = ::fchmodat(parent, name.constData(), mode, AT_SYMLINK_NOFOLLOW) == 0;
    if (!ok)
        *error = QStringLiteral("%1: %2").arg(relative, reason(errno));
    ::close(parent);
    return ok;
}

} // namespace SafePath
