#include "BundleSnapshot.h"

#include "FileUtils.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>
#include <unistd.h>

namespace BundleSnapshot {

namespace {

QList<pid_t> otherProcesses()
{
    QList<pid_t> out;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (numeric && pid != int(::getpid()))
            out << pid_t(pid);
    }
    return out;
}

} // namespace

bool run(const QString &program, const QStringList &arguments, QString *output, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return ok;
}

QStringList treeOf(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(root.size() + 1);
        if (relative.startsWith(QLatin1String("Contents/backup")) || relative.startsWith(QLatin1String("Contents/fixupdate")))
            continue;
        struct stat st;
        ::lstat(QFile::encodeName(path).constData(), &st);
        if (S_ISLNK(st.st_mode)) {
            char buffer[4096];
            const ssize_t n = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
            out << relative + QStringLiteral(" -> ") + QString::fromLocal8Bit(buffer, int(qMax<ssize_t>(n, 0)));
        } else if (S_ISREG(st.st_mode)) {
            out << QStringLiteral("%1 %2 %3")
                       .arg(relative)
                       .arg(st.st_mode & 0777, 0, 8)
                       .arg(QString::fromLatin1(getLocalFileMd5Value(path)));
        } else if (S_ISDIR(st.st_mode) && QDir(path).isEmpty()) {
            out << relative + QLatin1Char('/');
        }
    }
    out.sort();
    return out;
}

QStringList stateOf(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    QStringList paths{root};
    while (it.hasNext())
        paths << it.next();
    for (const QString &path : qAsConst(paths)) {
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
            out << path + QStringLiteral(" gone");
            continue;
        }
        QString line = QStringLiteral("%1 %2 %3.%4").arg(path).arg(st.st_mode, 0, 8)
                           .arg(qint64(st.st_mtim.tv_sec)).arg(qint64(st.st_mtim.tv_nsec));
        if (S_ISREG(st.st_mode))
            line += QLatin1Char(' ') + QString::fromLatin1(getLocalFileMd5Value(path));
        else if (S_ISLNK(st.st_mode))
            line += QStringLiteral(" -> ") + QFileInfo(path).symLinkTarget();
        out << line;
    }
    out.sort();
    return out;
}

bool processRunning(const QString &needle)
{
    for (pid_t pid : otherProcesses()) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly)
            && QString::fromLocal8Bit(cmdline.readAll().replace('\0', ' ')).contains(needle))
            return true;
    }
    return false;
}

pid_t processOf(const QString &executable)
{
    for (pid_t pid : otherProcesses()) {
        if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget() == executable)
            return pid;
    }
    return 0;
}

} // namespace BundleSnapshot
