#include "SignedManifest.h"

#include "ReleaseVersion.h"
#include "UpdateManifest.h"

#include <QJsonObject>
#include <QUrl>

namespace SignedManifest {

namespace {

// Every object that names an MD5 under `md5Key` must carry its SHA-256 under `shaKey`.
bool pairComplete(const QJsonObject &object, const QString &md5Key, const QString &shaKey, const QString &where,
                  QString *error)
{
    if (!object.contains(md5Key))
        return true;
    if (!isSha256(object.value(shaKey).toString())) {
        *error = QStringLiteral("the manifest has no SHA-256 digest \"%1\" for %2").arg(shaKey, where);
        return false;
    }
    return true;
}

} // namespace

QString signaturePathOf(const QString &manifestPath)
{
    return manifestPath + QStringLiteral(".sig");
}

QString signatureUrlOf(const QString &manifestUrl)
{
    QUrl url(manifestUrl, QUrl::TolerantMode);
    url.setPath(url.path(QUrl::FullyDecoded) + QStringLiteral(".sig"), QUrl::DecodedMode);
    return url.toString(QUrl::FullyEncoded);
}

bool isSha256(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

bool checkContent(const QByteArray &bytes, const QString &platform, const QString &installedVersion, QString *error)
{
    QJsonObject section;
    if (!UpdateManifest::platformSection(bytes, platform, &section)) {
        *error = QStringLiteral("the manifest is not a JSON object");
        return false;
    }
    const QString release = section.value(QStringLiteral("releaseVersion")).toString();
    if (!ReleaseVersion::isValid(release)) {
        *error = QStringLiteral("the manifest has no usable \"releaseVersion\": \"%1\"").arg(release);
        return false;
    }
    if (!ReleaseVersion::isValid(installedVersion)) {
        *error = QStringLiteral("the installed version \"%1\" cannot be compared with release %2").arg(installedVersion, release);
        return false;
    }
    if (ReleaseVersion::compare(release, installedVersion) < 0) {
        *error = QStringLiteral("release %1 is older than the installed version %2").arg(release, installedVersion);
        return false;
    }

    if (!pairComplete(section, QStringLiteral("installerMd5"), QStringLiteral("installerSha256"), QStringLiteral("the installer"), error)
        || !pairComplete(section.value(QStringLiteral("fixUpdatePacket")).toObject(), QStringLiteral("fixUpdatePacketMd5"),
                         QStringLiteral("fixUpdatePacketSha256"), QStringLiteral("the fix-update packet"), error))
        return false;
    const QJsonObject versions = section.value(QStringLiteral("partialPacket")).toObject();
    for (auto it = versions.constBegin(); it != versions.constEnd(); ++it) {
        const QJsonObject entry = it.value().toObject();
        const QString where = QStringLiteral("version %1").arg(it.key());
        if (!pairComplete(entry, QStringLiteral("partialPacketMd5"), QStringLiteral("partialPacketSha256"), where, error)
            || !pairComplete(entry, QStringLiteral("replacePacketMd5"), QStringLiteral("replacePacketSha256"), where, error))
            return false;
    }
    return true;
}

} // namespace SignedManifest
