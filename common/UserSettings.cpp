#include "UserSettings.h"

#include "DataPaths.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QTranslator>

UserSettings UserSettings::read()
{
    UserSettings settings;
    const QString path = DataPaths::settingsFile();
    if (!QFileInfo::exists(path))
        return settings;
    QSettings ini(path, QSettings::IniFormat);
    settings.lang = ini.value(QStringLiteral("lang")).toString();
    settings.catUpdateLog = ini.value(QStringLiteral("CatUpdateLog"), false).toBool();
    return settings;
}

QString UserSettings::catalogue() const
{
    return lang == QLatin1String("zh") ? QStringLiteral(":/en_ch.qm") : QString();
}

QTranslator *installCatalogue(QCoreApplication *app, const QString &catalogue)
{
    auto *translator = new QTranslator(app);
    if (!catalogue.isEmpty())
        translator->load(catalogue);
    QCoreApplication::installTranslator(translator);
    return translator;
}
