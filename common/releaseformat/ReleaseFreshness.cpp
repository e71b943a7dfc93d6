#include "ReleaseFreshness.h"

#include "ReleaseKey.h"
#include "UpdateManifest.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>

namespace {

// JSON numbers are doubles: integers beyond 2^53 are not exact, so none is taken.
constexpr double maxExactInteger = 9007199254740992.0;

bool wholeNumber(const QJsonValue &value, double low, double high, qint64 *out)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (number < low || number > high || number != static_cast<double>(static_cast<qint64>(number)))
        return false;
    *out = static_cast<qint64>(number);
    return true;
}

bool keyNumber(const QJsonObject &section, int *number, QString *error)
{
    const QJsonValue value = section.value(QStringLiteral("signingKey"));
    if (value.isUndefined()) {
        *number = 1;
        return true;
    }
    qint64 whole = 0;
    if (!wholeNumber(value, 1, ReleaseKey::maxNumber, &whole)) {
        *error = QStringLiteral("the manifest's \"signingKey\" is not a key number from 1 to %1").arg(ReleaseKey::maxNumber);
        return false;
    }
    *number = int(whole);
    return true;
}

} // namespace

QString ReleaseFreshness::timeText(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss'Z'"));
}

QDateTime ReleaseFreshness::parseTime(const QString &text)
{
    // One spelling only, so that the vendor's tools and every installation read the same instant.
    static const QRegularExpression exact(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z$"));
    if (!exact.match(text).hasMatch())
        return QDateTime();
    QDateTime time = QDateTime::fromString(text.chopped(1), QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    if (!time.isValid())
        return QDateTime();
    time.setTimeSpec(Qt::UTC);
    return time;
}

QString ReleaseFreshness::spanText(qint64 seconds)
{
    const qint64 magnitude = seconds < 0 ? -seconds : seconds;
    if (magnitude >= 2 * 86400)
        return QStringLiteral("%1 days").arg(magnitude / 86400);
    if (magnitude >= 2 * 3600)
        return QStringLiteral("%1 hours").arg(magnitude / 3600);
    if (magnitude >= 120)
        return QStringLiteral("%1 minutes").arg(magnitude / 60);
    return QStringLiteral("%1 seconds").arg(magnitude);
}

QString ReleaseFreshness::describe() const
{
    return QStringLiteral("signed at %1, valid until %2, sequence %3, key %4")
        .arg(timeText(signedAt), timeText(validUntil))
        .arg(sequence)
        .arg(signingKey);
}

bool ReleaseFreshness::claimedKey(const QByteArray &bytes, const QString &platform, int *number, QString *error)
{
    QJsonObject section;
    if (!UpdateManifest::platformSection(bytes, platform, &section)) {
        *error = QStringLiteral("the manifest is not a JSON object");
        return false;
    }
    return keyNumber(section, number, error);
}

bool ReleaseFreshness::read(const QByteArray &bytes, const QString &platform, ReleaseFreshness *out, QString *error)
{
    QJsonObject section;
    if (!UpdateManifest::platformSection(bytes, platform, &section)) {
        *error = QStringLiteral("the manifest is not a JSON object");
        return false;
    }
    ReleaseFreshness fresh;
    fresh.releaseVersion = section.value(QStringLiteral("releaseVersion")).toString();
    for (const auto &[name, time] : {std::pair{QStringLiteral("signedAt"), &fresh.signedAt},
                                     std::pair{QStringLiteral("validUntil"), &fresh.validUntil}}) {
        *time = parseTime(section.value(name).toString());
        if (!time->isValid()) {
            *error = QStringLiteral("the manifest has no usable \"%1\" (UTC yyyy-MM-ddTHH:mm:ssZ)").arg(name);
            return false;
        }
    }
    if (!wholeNumber(section.value(QStringLiteral("sequence")), 1, maxExactInteger, &fresh.sequence)) {
        *error = QStringLiteral("the manifest has no usable \"sequence\" (a whole number from 1)");
        return false;
    }
    if (!keyNumber(section, &fresh.signingKey, error))
        return false;
    if (fresh.validUntil <= fresh.signedAt) {
        *error = QStringLiteral("the manifest's validity ends before it begins: %1").arg(fresh.describe());
        return false;
    }
    *out = fresh;
    return true;
}
