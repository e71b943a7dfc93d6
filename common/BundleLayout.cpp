#include "BundleLayout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace BundleLayout {

QString usePluginsBesideExecutable()
{
    // No application object yet: the executable is found through the kernel.
    const QString executable = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    if (executable.isEmpty())
        return QString();
    const QDir contents(QFileInfo(executable).absolutePath() + QStringLiteral("/.."));
    const QString conf = contents.absoluteFilePath(QStringLiteral("Resources/qt.conf"));
    if (!QFileInfo::exists(conf))
        return QString();
    QSettings settings(conf, QSettings::IniFormat);
    const QString plugins = settings.value(QStringLiteral("Paths/Plugins")).toString();
    if (plugins.isEmpty())
        return QString();
    const QString folder = QDir::cleanPath(contents.absoluteFilePath(plugins));
    QCoreApplication::setLibraryPaths({folder});
    return folder;
}

} // namespace BundleLayout
