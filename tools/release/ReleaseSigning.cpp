#include "ReleaseSigning.h"

#include "KeyStatement.h"
#include "ReleaseFreshness.h"
#include "ReleaseSigner.h"
#include "SignedManifest.h"
#include "UpdateManifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QJsonDocument>
#include <QSaveFile>

namespace ReleaseSigning {

namespace {

const QString platform = QStringLiteral("mac");

bool readSmall(const QString &path, qint64 limit, QByteArray *bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > limit)
        return false;
    *bytes = file.read(limit);
    return true;
}

bool writeAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    return true;
}

// The keys of the chain beside the manifest: chain[0] is key 1 (as statement 2 names
// it), chain[i] key i + 1. Empty without statements.
bool readChain(const QString &manifestPath, QList<ReleaseKey> *chain, QString *error)
{
    chain->clear();
    for (int number = 2; number <= ReleaseKey::maxNumber; ++number) {
        const QString path = KeyStatement::pathOf(manifestPath, number);
        if (!QFileInfo::exists(path))
            return true;
        QByteArray text;
        KeyStatement::Parsed parsed;
        if (!readSmall(path, KeyStatement::maxSize, &text) || !KeyStatement::parse(text, &parsed, error)) {
            *error = QStringLiteral("%1: %2").arg(path, error->isEmpty() ? QStringLiteral("unreadable") : *error);
            return false;
        }
        if (chain->isEmpty())
            chain->append(parsed.previous);
        ReleaseKey next;
        if (!KeyStatement::verifyStep(text, chain->last(), &next, error)) {
            *error = QStringLiteral("%1: %2").arg(path, *error);
            return false;
        }
        chain->append(next);
    }
    return true;
}

QJsonObject manifestObject(const QByteArray &bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

// Little time left before a renewal means the renewal timer nearly failed; on inspection, that one is due.
void warnAboutTimeLeft(const QString &manifestPath, const ReleaseFreshness &fresh, const QDateTime &now, bool renewing,
                       std::FILE *warnings)
{
    const qint64 left = now.secsTo(fresh.validUntil);
    const QString until = ReleaseFreshness::timeText(fresh.validUntil);
    if (left < 0)
        std::fprintf(warnings, "veltora-release: warning: %s expired %s ago (valid until %s); %s\n", qPrintable(manifestPath),
                     qPrintable(ReleaseFreshness::spanText(-left)), qPrintable(until),
                     renewing ? "installations refused it until now: check the renewal timer" : "installations refuse it");
    else if (left < ReleaseFreshness::warnSecondsLeft)
        std::fprintf(warnings, "veltora-release: warning: %s %s only %s left (valid until %s); %s\n", qPrintable(manifestPath),
                     renewing ? "had" : "has", qPrintable(ReleaseFreshness::spanText(left)), qPrintable(until),
                     renewing ? "check the renewal timer" : "renew it before then");
}

} // namespace

bool keyNumberOf(const ReleaseSigner &signer, const QString &manifestPath, int *number, QString *error)
{
    QList<ReleaseKey> chain;
    if (!readChain(manifestPath, &chain, error))
        return false;
    if (chain.isEmpty()) {
        *number = 1;
        return true;
    }
    const ReleaseKey mine = signer.publicKey();
    for (const ReleaseKey &key : qAsConst(chain)) {
        if (!key.sameKey(mine))
            continue;
        if (key.number() != chain.last().number()) {
            *error = QStringLiteral("the signing key is key %1, which was handed over to key %2: installations that moved on "
                                    "refuse it; sign with key %2")
                         .arg(key.number())
                         .arg(chain.last().number());
            return false;
        }
        *number = key.number();
        return true;
    }
    *error = QStringLiteral("the signing key is not in the key chain beside %1 (keys 1 to %2)").arg(manifestPath).arg(chain.size());
    return false;
}

qint64 previousSequence(const QString &manifestPath)
{
    QByteArray bytes;
    if (!readSmall(manifestPath, SignedManifest::maxManifestSize, &bytes))
        return 0;
    const QJsonValue value = manifestObject(bytes).value(platform).toObject().value(QStringLiteral("sequence"));
    return value.isDouble() && value.toDouble() >= 1 ? qint64(value.toDouble()) : 0;
}

bool stamp(QJsonObject *mac, const Choice &choice, qint64 previous, int keyNumber, const QDateTime &now, QString *error)
{
    if (choice.sequence != 0 && choice.sequence <= previous) {
        *error = QStringLiteral("--sequence %1 is not above the published manifest's sequence %2").arg(choice.sequence).arg(previous);
        return false;
    }
    const QDateTime signedAt = QDateTime::fromSecsSinceEpoch(now.toSecsSinceEpoch(), Qt::UTC);
    mac->insert(QStringLiteral("signedAt"), ReleaseFreshness::timeText(signedAt));
    mac->insert(QStringLiteral("validUntil"), ReleaseFreshness::timeText(signedAt.addDays(choice.validDays)));
    mac->insert(QStringLiteral("sequence"), double(choice.sequence != 0 ? choice.sequence : previous + 1));
    mac->insert(QStringLiteral("signingKey"), keyNumber);
    if (choice.hasShare)
        mac->insert(QStringLiteral("rolloutShare"), choice.share);
    return true;
}

bool writeSigned(const QString &manifestPath, const QByteArray &bytes, const ReleaseSigner *signer, QString *error)
{
    const QString signaturePath = SignedManifest::signaturePathOf(manifestPath);
    if (!writeAtomically(manifestPath, bytes, error))
        return false;
    if (!signer) {
        // A signature left from an earlier run would not match this manifest.
        QFile::remove(signaturePath);
        return true;
    }
    // The signature covers exactly the bytes just written, as they will be served.
    return writeAtomically(signaturePath, signer->sign(bytes), error);
}

bool renew(const QString &manifestPath, const QString &signingKey, const Choice &choice, std::FILE *warnings, QString *error)
{
    QByteArray bytes;
    if (!readSmall(manifestPath, SignedManifest::maxManifestSize, &bytes)) {
        *error = QStringLiteral("cannot read the manifest %1").arg(manifestPath);
        return false;
    }
    QJsonObject document = manifestObject(bytes);
    QJsonObject mac = document.value(platform).toObject();
    if (mac.isEmpty()) {
        *error = QStringLiteral("%1 is no update manifest").arg(manifestPath);
        return false;
    }
    const bool signedBefore = QFileInfo::exists(SignedManifest::signaturePathOf(manifestPath));
    if (signingKey.isEmpty()) {
        if (signedBefore) {
            *error = QStringLiteral("%1 is signed: renewing it needs --signing-key").arg(manifestPath);
            return false;
        }
        if (!choice.hasShare) {
            *error = QStringLiteral("an unsigned release has no dates to renew; give --rollout-share to change its share");
            return false;
        }
        mac.insert(QStringLiteral("rolloutShare"), choice.share);
        document.insert(platform, mac);
        return writeSigned(manifestPath, QJsonDocument(document).toJson(), nullptr, error);
    }

    ReleaseSigner signer;
    int number = 1;
    if (!signer.load(signingKey, error) || !keyNumberOf(signer, manifestPath, &number, error))
        return false;
    // Only what the vendor signed is renewed: a manifest changed on the server stays refused.
    if (signedBefore) {
        QList<ReleaseKey> chain;
        int named = 1;
        if (!readChain(manifestPath, &chain, error) || !ReleaseFreshness::claimedKey(bytes, platform, &named, error))
            return false;
        const ReleaseKey key = named == number ? signer.publicKey() : named >= 1 && named <= chain.size() ? chain.at(named - 1) : ReleaseKey();
        QByteArray verified;
        if (key.isNull() || !key.verifyManifest(manifestPath, &verified, error)) {
            *error = QStringLiteral("the manifest's signature does not verify with key %1, so it is not renewed: %2")
                         .arg(named)
                         .arg(key.isNull() ? QStringLiteral("no such key in the chain") : *error);
            return false;
        }
    }
    ReleaseFreshness before;
    QString ignored;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (ReleaseFreshness::read(bytes, platform, &before, &ignored))
        warnAboutTimeLeft(manifestPath, before, now, true, warnings);
    if (!stamp(&mac, choice, previousSequence(manifestPath), number, now, error))
        return false;
    document.insert(platform, mac);
    if (choice.validDays * qint64(86400) < ReleaseFreshness::warnSecondsLeft)
        std::fprintf(warnings, "veltora-release: warning: a validity of %d days leaves little room for a renewal that fails\n",
                     choice.validDays);
    return writeSigned(manifestPath, QJsonDocument(document).toJson(), &signer, error);
}

bool handOver(const QString &manifestPath, const QString &currentKeyFile, const QString &newKeyDir, QString *statementPath,
              QString *error)
{
    ReleaseSigner current;
    ReleaseSigner next;
    int number = 1;
    if (!current.load(currentKeyFile, error) || !next.load(newKeyDir + QLatin1Char('/') + ReleaseSigner::secretKeyFileName(), error)
        || !keyNumberOf(current, manifestPath, &number, error))
        return false;
    if (next.publicKey().sameKey(current.publicKey())) {
        *error = QStringLiteral("the new key is the current key");
        return false;
    }
    ReleaseKey currentKey = current.publicKey();
    currentKey.setNumber(number);
    ReleaseKey nextKey = next.publicKey();
    nextKey.setNumber(number + 1);
    *statementPath = KeyStatement::pathOf(manifestPath, number + 1);
    if (QFileInfo::exists(*statementPath) || QFileInfo(*statementPath).isSymLink()) {
        *error = QStringLiteral("%1 exists already").arg(*statementPath);
        return false;
    }
    // The hand-over may come before the first release into a new output folder.
    if (!QDir().mkpath(QFileInfo(*statementPath).absolutePath())) {
        *error = QStringLiteral("cannot create the folder of %1").arg(*statementPath);
        return false;
    }
    return writeAtomically(*statementPath, KeyStatement::make(current, currentKey, next), error)
        && ReleaseSigner::writePublicKeyFile(newKeyDir + QLatin1Char('/') + ReleaseKey::fileName(), nextKey, error);
}

bool inspect(const QString &manifestPath, std::FILE *out, std::FILE *warnings, QString *error)
{
    QByteArray bytes;
    if (!readSmall(manifestPath, SignedManifest::maxManifestSize, &bytes)) {
        *error = QStringLiteral("cannot read the manifest %1").arg(manifestPath);
        return false;
    }
    const QJsonObject mac = manifestObject(bytes).value(platform).toObject();
    const QJsonValue share = mac.value(QStringLiteral("rolloutShare"));
    std::fprintf(out, "release: %s\n", qPrintable(mac.value(QStringLiteral("releaseVersion")).toString(QStringLiteral("(none)"))));
    std::fprintf(out, "rollout share: %s\n",
                 share.isUndefined() ? "100 (not set)"
                 : share.isDouble() ? QByteArray::number(share.toDouble(), 'g', QLocale::FloatingPointShortest).constData()
                                    : "not a number: installations hold the release back");
    if (!QFileInfo::exists(SignedManifest::signaturePathOf(manifestPath))) {
        std::fprintf(out, "unsigned: no dates, taken by installations without a release key\n");
        return true;
    }
    ReleaseFreshness fresh;
    if (!ReleaseFreshness::read(bytes, platform, &fresh, error))
        return false;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    std::fprintf(out, "%s\n", qPrintable(fresh.describe()));
    const qint64 left = now.secsTo(fresh.validUntil);
    std::fprintf(out, "time left: %s\n", left < 0 ? "none" : qPrintable(ReleaseFreshness::spanText(left)));
    warnAboutTimeLeft(manifestPath, fresh, now, false, warnings);
    if (left < 0) {
        *error = QStringLiteral("%1 has expired").arg(manifestPath);
        return false;
    }
    return true;
}

} // namespace ReleaseSigning
