#include "UpdateArguments.h"

#include "Logging.h"

#include <QUrl>

bool UpdateArguments::isValidCount(int count)
{
    return count >= 4 && count <= 6;
}

UpdateArguments UpdateArguments::parse(const QStringList &arguments, const QDateTime &now)
{
    UpdateArguments result;
    const int count = arguments.size();
    if (!isValidCount(count))
        return result;

    const int first = count == 6 ? 2 : 1; // the 6-argument form starts with "-skipfix"
    result.version = arguments.at(first);
    result.manifestUrl = arguments.at(first + 1);
    result.installPath = removeSpFlag(arguments.at(first + 2));

    const QString timestamp = now.toString(QStringLiteral("yyyy.MM.dd-hh.mm.ss.zzz"));
    const QString tail = result.platform + QLatin1Char('_') + result.version + QLatin1Char('_') + timestamp
        + QStringLiteral(".log");
    if (count == 4) {
        result.logFileName = QStringLiteral("update_") + tail;
    } else if (count == 5) {
        result.userName = arguments.at(4);
        result.logFileName = QStringLiteral("update_") + result.userName + QLatin1Char('_') + tail;
    } else {
        result.logFileName = arguments.at(5);
        result.skipFix = true;
    }
    return result;
}

QStringList UpdateArguments::skipFixArguments() const
{
    return {QStringLiteral("-skipfix"), version, manifestUrl, addSpFlag(installPath), logFileName};
}

QString UpdateArguments::manifestAddress(const QString &address)
{
    const QString path = QUrl(address).path();
    const QString lastSegment = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    const int dot = lastSegment.lastIndexOf(QLatin1Char('.'));
    const QString suffix = dot < 0 ? QString() : lastSegment.mid(dot + 1);
    if (suffix == QLatin1String("exe") || suffix == QLatin1String("dmg"))
        return address + QStringLiteral(".json");
    return address;
}
