#include "ReleaseVersion.h"

#include <QStringList>

namespace ReleaseVersion {

namespace {

constexpr int maxComponents = 32;

// A component without its leading zeros; compared by length first, then by digits,
// so arbitrarily long numbers never overflow.
QString normalised(const QStringList &components, int index)
{
    if (index >= components.size())
        return QString();
    QString digits = components.at(index);
    int zeros = 0;
    while (zeros < digits.size() && digits.at(zeros) == QLatin1Char('0'))
        ++zeros;
    return digits.mid(zeros);
}

} // namespace

bool isValid(const QString &version)
{
    const QStringList components = version.split(QLatin1Char('.'));
    if (version.isEmpty() || components.size() > maxComponents)
        return false;
    for (const QString &component : components) {
        if (component.isEmpty())
            return false;
        for (const QChar c : component) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
    }
    return true;
}

int compare(const QString &a, const QString &b)
{
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    for (int i = 0; i < qMax(left.size(), right.size()); ++i) {
        const QString x = normalised(left, i);
        const QString y = normalised(right, i);
        if (x.size() != y.size())
            return x.size() < y.size() ? -1 : 1;
        const int order = QString::compare(x, y);
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    return 0;
}

} // namespace ReleaseVersion
