#include "DataPaths.h"

#include <QDir>
#include <QStandardPaths>

namespace DataPaths {

QString dataDirectory()
{
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    // Cleaned so that the parent resolves even while the program's own folder does not exist.
    return QDir::cleanPath(QDir(appData).absolutePath() + QStringLiteral("/../") + QStringLiteral("/Veltora"));
}

QString updateDirectory()
{
    return dataDirectory() + QStringLiteral("/update");
}

QString settingsFile()
{
    return dataDirectory() + QStringLiteral("/settings.ini");
}

QString cacheDirectory()
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    return QDir::cleanPath(QDir(cache).absolutePath() + QStringLiteral("/../") + QStringLiteral("/Veltora"));
}

QString backupDirectory(const QString &installPath)
{
    return installPath + QStringLiteral("/Contents/backup");
}

} // namespace DataPaths
