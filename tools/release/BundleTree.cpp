#include "BundleTree.h"

#include "FileUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

bool BundleTree::scan(const QString &root, QString *error)
{
    const QFileInfo info(root);
    if (!info.isDir()) {
        *error = QStringLiteral("not a folder: %1").arg(root);
        return false;
    }
    m_root = info.absoluteFilePath();
    m_entries.clear();
    walk(QString());
    return true;
}

void BundleTree::walk(const QString &relative)
{
    const QString folder = relative.isEmpty() ? m_root : m_root + QLatin1Char('/') + relative;
    const QFileInfoList list = QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &item : list) {
        const QString path = relative.isEmpty() ? item.fileName() : relative + QLatin1Char('/') + item.fileName();
        if (item.fileName() == QLatin1String("HNLog.txt"))
            continue;
        struct stat st;
        if (::lstat(QFile::encodeName(item.absoluteFilePath()).constData(), &st) != 0)
            continue;
        Entry entry;
        entry.absolutePath = item.absoluteFilePath();
        entry.mode = st.st_mode & 07777;
        entry.mtime = st.st_mtime;
        if (S_ISLNK(st.st_mode)) {
            char buffer[4096];
            const ssize_t n = ::readlink(QFile::encodeName(entry.absolutePath).constData(), buffer, sizeof buffer);
            if (n <= 0)
                continue;
            entry.kind = Entry::Link;
            entry.linkTarget = QByteArray(buffer, int(n));
            entry.size = n;
            m_entries.insert(path, entry);
        } else if (S_ISDIR(st.st_mode)) {
            const QString base = item.baseName();
            if (base != QLatin1String("backup") && base != QLatin1String("fixupdate"))
                walk(path);
        } else if (S_ISREG(st.st_mode)) {
            entry.md5 = getLocalFileMd5Value(entry.absolutePath);
            entry.size = st.st_size;
            m_entries.insert(path, entry);
        }
    }
}
