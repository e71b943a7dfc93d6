#include "DirectoryGuard.h"

#include "SevenZipException.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace Lib7z {

DirectoryGuard::DirectoryGuard(const QString &path) : m_path(path)
{
    m_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

DirectoryGuard::~DirectoryGuard()
{
    if (!m_created || m_released)
        return;
    if (!QDir().rmdir(m_path))
        qWarning() << "Could not delete directory " << m_path;
}

QStringList DirectoryGuard::tryCreate()
{
    if (m_path.isEmpty())
        return {};
    const QFileInfo info(m_path);
    if (info.exists() && info.isDir())
        return {};
    if (info.exists()) {
        throw SevenZipException(
            QCoreApplication::translate("DirectoryGuard", "Path exists but is not a folder: %1").arg(m_path));
    }

    QStringList created;
    QString walk = QFileInfo(m_path).absoluteFilePath();
    while (!walk.isEmpty() && !QFileInfo(walk).exists()) {
        created.prepend(walk);
        walk = walk.left(walk.lastIndexOf(QLatin1Char('/')));
    }
    m_created = QDir().mkpath(m_path);
    if (!m_created) {
        throw SevenZipException(
            QCoreApplication::translate("DirectoryGuard", "Could not create folder: %1").arg(m_path));
    }
    return created;
}

} // namespace Lib7z
