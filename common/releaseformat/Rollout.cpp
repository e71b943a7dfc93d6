#include "Rollout.h"

#include "UpdateManifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QRandomGenerator>
#include <QTemporaryFile>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace Rollout {

namespace {

// A value of the manifest as it is written there, for the log.
QString jsonText(const QJsonValue &value)
{
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2));
}

QString percentText(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// The identifier in `path`; `present` tells whether anything lies there at all.
bool readIdentifier(const QString &path, QByteArray *identifier, bool *present)
{
    const QFileInfo info(path);
    *present = info.exists() || info.isSymLink();
    // Only a small regular file of our own: a link in its place counts as damaged.
    if (!*present || info.isSymLink() || !info.isFile() || info.size() > 256)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.read(257).trimmed();
    if (!isIdentifier(text))
        return false;
    *identifier = text;
    return true;
}

QByteArray drawIdentifier()
{
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex();
}

bool fail(QString *error, const QString &text)
{
    *error = text + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

} // namespace

Share shareOf(const QJsonObject &platformSection)
{
    Share share;
    const auto found = platformSection.constFind(QStringLiteral("rolloutShare"));
    if (found == platformSection.constEnd())
        return share;
    const QJsonValue value = found.value();
    share.text = jsonText(value);
    const double percent = value.toDouble(-1);
    if (!value.isDouble() || !std::isfinite(percent) || percent < 0 || percent > 100) {
        share.wellFormed = false;
        share.percent = 0;
        return share;
    }
    share.percent = percent;
    share.text = percentText(percent);
    return share;
}

bool isIdentifier(const QByteArray &text)
{
    if (text.size() != 64)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool installationIdentifier(const QString &dataDirectory, QByteArray *identifier, QString *error)
{
    const QString path = dataDirectory + QLatin1Char('/') + QLatin1String(identifierFileName);
    bool present = false;
    if (readIdentifier(path, identifier, &present))
        return true;
    if (!QDir().mkpath(dataDirectory))
        return fail(error, QStringLiteral("cannot create %1").arg(dataDirectory));

    // Written whole beside its place first, so that no reader ever sees half of it.
    const QByteArray drawn = drawIdentifier();
    QTemporaryFile temp(dataDirectory + QStringLiteral("/.installation-id-XXXXXX"));
    if (!temp.open() || temp.write(drawn + '\n') != drawn.size() + 1 || !temp.flush() || ::fsync(temp.handle()) != 0)
        return fail(error, QStringLiteral("cannot write %1").arg(temp.fileName()));
    const QByteArray from = QFile::encodeName(temp.fileName());
    const QByteArray to = QFile::encodeName(path);

    if (!present) {
        // link() refuses to replace: of two programs drawing at once, the first one's stays.
        if (::link(from.constData(), to.constData()) == 0) {
            *identifier = drawn;
            return true;
        }
        if (errno != EEXIST)
            return fail(error, QStringLiteral("cannot create %1").arg(path));
        if (readIdentifier(path, identifier, &present))
            return true;
    }
    // A damaged file (or a link in its place) is replaced as a whole; rename() never
    // writes through a link.
    if (::rename(from.constData(), to.constData()) != 0)
        return fail(error, QStringLiteral("cannot replace %1").arg(path));
    temp.setAutoRemove(false);
    *identifier = drawn;
    return true;
}

double placeOf(const QByteArray &identifier, const QString &releaseVersion)
{
    const QByteArray digest =
        QCryptographicHash::hash(identifier + '\n' + releaseVersion.toUtf8(), QCryptographicHash::Sha256);
    quint64 head = 0;
    for (int i = 0; i < 8; ++i)
        head = (head << 8) | quint8(digest.at(i));
    // 53 bits fit a double exactly, so the place never rounds up to 1.
    return double(head >> 11) / double(quint64(1) << 53);
}

bool isOffered(double place, const Share &share)
{
    if (share.percent <= 0)
        return false;
    if (share.percent >= 100)
        return true;
    return place < share.percent / 100.0;
}

Decision decide(const QByteArray &bytes, const QString &platform, const QByteArray &identifier,
                const QString &identifierError)
{
    Decision decision;
    QJsonObject section;
    UpdateManifest::platformSection(bytes, platform, &section);
    decision.release = section.value(QStringLiteral("releaseVersion")).toString();
    decision.share = shareOf(section);
    const Share &share = decision.share;
    const QString release = decision.release.isEmpty() ? QStringLiteral("without a version") : decision.release;

    if (!share.wellFormed) {
        decision.offered = false;
        decision.reason = QStringLiteral("the manifest's rollout share %1 is not a number from 0 to 100, so no installation takes release %2")
                              .arg(share.text, release);
    } else if (share.percent <= 0) {
        decision.offered = false;
        decision.reason = QStringLiteral("release %1 is halted: no installation takes it").arg(release);
    } else if (share.percent >= 100) {
        decision.offered = true;
        decision.reason = QStringLiteral("release %1 is offered to every installation").arg(release);
    } else if (identifier.isEmpty()) {
        decision.offered = false;
        decision.reason = QStringLiteral("this installation keeps no identifier (%1), so it takes release %2 only once it is offered to every installation")
                              .arg(identifierError, release);
    } else {
        const double place = placeOf(identifier, decision.release);
        decision.offered = isOffered(place, share);
        decision.reason = QStringLiteral("this installation's place in the rollout of release %1 is %2%, %3 the share of %4%")
                              .arg(release, QString::number(place * 100, 'f', 2),
                                   decision.offered ? QStringLiteral("below") : QStringLiteral("at or above"), share.text);
    }
    return decision;
}

QString targetReleaseLine(const Decision &decision)
{
    return QStringLiteral("targetRelease: %1, rolloutShare: %2").arg(decision.release, decision.share.text);
}

QString heldBackLine(const Decision &decision)
{
    return QStringLiteral("Update held back: release %1, rollout share %2: %3")
        .arg(decision.release, decision.share.text, decision.reason);
}

} // namespace Rollout
