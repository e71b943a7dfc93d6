#include "ReleaseTrust.h"

#include "DataPaths.h"
#include "KeyStatement.h"
#include "SignedManifest.h"
#include "UpdateManifest.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

// The record is a few lines; a larger file is not ours.
constexpr qint64 maxRecordSize = 4096;

} // namespace

QString ReleaseTrust::defaultPath()
{
    return DataPaths::dataDirectory() + QLatin1Char('/') + fileName();
}

bool ReleaseTrust::load(const QString &path, QString *error)
{
    *this = ReleaseTrust();
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxRecordSize) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    QJsonParseError parse;
    const QJsonObject object = QJsonDocument::fromJson(file.read(maxRecordSize), &parse).object();
    const double sequence = object.value(QStringLiteral("sequence")).toDouble(-1);
    const QDateTime signedAt = ReleaseFreshness::parseTime(object.value(QStringLiteral("signedAt")).toString());
    ReleaseKey key;
    QString keyError;
    const bool hasKey = object.contains(QStringLiteral("key"));
    const int number = object.value(QStringLiteral("keyNumber")).toInt(0);
    if (parse.error != QJsonParseError::NoError || sequence < 1 || sequence != double(qint64(sequence)) || !signedAt.isValid()
        || (hasKey && (!ReleaseKey::fromText(object.value(QStringLiteral("key")).toString().toLatin1(), &key, &keyError)
                       || number < 1 || number > ReleaseKey::maxNumber))) {
        *error = QStringLiteral("%1 is damaged").arg(path);
        return false;
    }
    m_sequence = qint64(sequence);
    m_signedAt = signedAt;
    if (hasKey) {
        m_key = key;
        m_key.setNumber(number);
    }
    return true;
}

bool ReleaseTrust::save(const QString &path, QString *error) const
{
    QJsonObject object{{QStringLiteral("sequence"), double(m_sequence)},
                       {QStringLiteral("signedAt"), ReleaseFreshness::timeText(m_signedAt)}};
    if (!m_key.isNull()) {
        object.insert(QStringLiteral("keyNumber"), m_key.number());
        object.insert(QStringLiteral("key"), QString::fromLatin1(m_key.toText()));
    }
    const QByteArray bytes = QJsonDocument(object).toJson();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    return true;
}

ReleaseKey ReleaseTrust::currentKey(const ReleaseKey &bundleKey) const
{
    if (bundleKey.isNull() || m_key.isNull() || m_key.number() <= bundleKey.number())
        return bundleKey;
    return m_key;
}

QDateTime ReleaseTrust::judgingTime(const QDateTime &clock) const
{
    return m_signedAt.isValid() && m_signedAt > clock ? m_signedAt : clock.toUTC();
}

bool ReleaseTrust::check(const ReleaseFreshness &release, const QDateTime &clock, QString *error, QString *note) const
{
    const QString clockText = ReleaseFreshness::timeText(clock);
    const QString dates = QStringLiteral("release %1, %2").arg(release.releaseVersion, release.describe());
    const QDateTime judged = judgingTime(clock);
    if (release.validUntil < judged) {
        if (judged != clock.toUTC()) {
            // The clock alone would have let it through: it is behind what this installation has seen.
            *error = QStringLiteral("expired: this installation already accepted a release signed at %1, after the "
                                    "validity of this one ended; the clock is behind that by %2 (%3; clock %4)")
                         .arg(ReleaseFreshness::timeText(m_signedAt),
                              ReleaseFreshness::spanText(clock.secsTo(m_signedAt)), dates, clockText);
        } else {
            // A stale mirror or cache shows as a modest span, a clock far ahead as a large one.
            *error = QStringLiteral("expired %1 ago, clock ahead of signing time by %2 (%3; clock %4)")
                         .arg(ReleaseFreshness::spanText(release.validUntil.secsTo(judged)),
                              ReleaseFreshness::spanText(release.signedAt.secsTo(judged)), dates, clockText);
        }
        return false;
    }
    if (release.sequence < m_sequence) {
        *error = QStringLiteral("replayed release: sequence %1 below accepted %2 (%3; clock %4)")
                     .arg(release.sequence)
                     .arg(m_sequence)
                     .arg(dates, clockText);
        return false;
    }
    if (note) {
        *note = release.signedAt > clock
            ? QStringLiteral("the clock %1 is behind the signing time %2 by %3; judged by the signing time")
                  .arg(clockText, ReleaseFreshness::timeText(release.signedAt),
                       ReleaseFreshness::spanText(clock.secsTo(release.signedAt)))
            : QString();
    }
    return true;
}

void ReleaseTrust::accept(const ReleaseFreshness &release, const ReleaseKey &key)
{
    m_sequence = qMax(m_sequence, release.sequence);
    if (!m_signedAt.isValid() || release.signedAt > m_signedAt)
        m_signedAt = release.signedAt;
    // Only a key reached through a hand-over needs remembering; key 1 is every bundle's.
    if (!key.isNull() && key.number() > 1 && (m_key.isNull() || key.number() >= m_key.number()))
        m_key = key;
}

bool ReleaseTrust::verifyManifest(const ReleaseKey &key, const QString &manifestPath, const QString &platform,
                                  const QString &installedVersion, const QDateTime &clock, QByteArray *bytes,
                                  ReleaseFreshness *release, QString *error, QString *note) const
{
    // Which key signed it is the one thing read before the signature holds, so that a
    // manifest of another key is refused for what it is rather than as a bad signature.
    QByteArray unverified;
    int claimed = 1;
    if (!UpdateManifest::readFile(manifestPath, &unverified)) {
        *error = QStringLiteral("cannot read the manifest %1").arg(manifestPath);
        return false;
    }
    if (!ReleaseFreshness::claimedKey(unverified, platform, &claimed, error) || !KeyStatement::checkReach(key, claimed, error))
        return false;
    if (claimed != key.number()) {
        *error = QStringLiteral("the manifest is signed by key %1, and this installation holds key %2 without the hand-overs to it")
                     .arg(claimed)
                     .arg(key.number());
        return false;
    }
    QByteArray verified;
    ReleaseFreshness fresh;
    if (!key.verifyManifest(manifestPath, &verified, error) || !SignedManifest::checkContent(verified, platform, installedVersion, error)
        || !ReleaseFreshness::read(verified, platform, &fresh, error))
        return false;
    if (fresh.signingKey != key.number()) {
        // The file changed between the two reads.
        *error = QStringLiteral("the manifest changed while it was read");
        return false;
    }
    if (!check(fresh, clock, error, note))
        return false;
    *bytes = verified;
    *release = fresh;
    return true;
}
