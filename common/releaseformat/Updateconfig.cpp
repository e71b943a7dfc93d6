#include "Updateconfig.h"

#include "UpdateManifest.h"

#include <QDebug>
#include <QJsonObject>
#include <QJsonValue>
#include <QVariant>

namespace {

QByteArray digest(const QJsonValue &value)
{
    return value.toVariant().toByteArray();
}

} // namespace

void Updateconfig::useManifestBytes(const QByteArray &bytes)
{
    m_bytes = bytes;
    m_bytesHeld = true;
}

bool Updateconfig::manifestBytes(QByteArray *bytes) const
{
    if (!m_bytesHeld)
        return UpdateManifest::readFile(configFile, bytes);
    *bytes = m_bytes;
    return true;
}

bool Updateconfig::getInstallerInfo(const QString &platform)
{
    QByteArray bytes;
    if (!manifestBytes(&bytes)) {
        qDebug() << "Get Installer Info,Open update config failed";
        return false;
    }
    installerMd5.clear();
    installerUrl.clear();
    installerSha256.clear();

    QJsonObject mac;
    const bool parsed = UpdateManifest::platformSection(bytes, platform, &mac);
    if (parsed) {
        installerMd5 = digest(mac.value(QStringLiteral("installerMd5")));
        installerUrl = mac.value(QStringLiteral("installerUrl")).toString();
        installerSha256 = digest(mac.value(QStringLiteral("installerSha256")));
        qDebug() << "installerMd5:" << installerMd5;
        qDebug() << "installerUrl:" << installerUrl;
    }
    return !installerMd5.isEmpty() && !installerUrl.isEmpty();
}

bool Updateconfig::getPartialPacketInfo(const QString &platform, const QString &version)
{
    QByteArray bytes;
    if (!manifestBytes(&bytes)) {
        qDebug() << "Get partialPacket Info,Open update config failed";
        return false;
    }
    partialPacketMd5.clear();
    partialPacketUrl.clear();
    replacePacketMd5.clear();
    replacePacketUrl.clear();
    partialPacketSha256.clear();
    replacePacketSha256.clear();

    QJsonObject mac;
    if (UpdateManifest::platformSection(bytes, platform, &mac)) {
        const QJsonObject entry = mac.value(QStringLiteral("partialPacket")).toObject().value(version).toObject();
        partialPacketMd5 = digest(entry.value(QStringLiteral("partialPacketMd5")));
        partialPacketUrl = entry.value(QStringLiteral("partialPacketUrl")).toString();
        replacePacketMd5 = digest(entry.value(QStringLiteral("replacePacketMd5")));
        replacePacketUrl = entry.value(QStringLiteral("replacePacketUrl")).toString();
        partialPacketSha256 = digest(entry.value(QStringLiteral("partialPacketSha256")));
        replacePacketSha256 = digest(entry.value(QStringLiteral("replacePacketSha256")));

        const QJsonObject patches =
            entry.value(QStringLiteral("modify")).toObject().value(QStringLiteral("patch")).toObject();
        for (auto it = patches.constBegin(); it != patches.constEnd(); ++it) {
            const QJsonObject record = it.value().toObject();
            filePatchInfo info;
            info.oldFileMd5 = digest(record.value(QStringLiteral("oldFileMd5")));
            info.newFileMd5 = digest(record.value(QStringLiteral("newFileMd5")));
            info.filePatch = record.value(QStringLiteral("filePatch")).toString();
            patchList.insert(it.key(), info);
        }
    }
    qDebug() << "partialPacketMd5:" << partialPacketMd5;
    qDebug() << "partialPacketUrl:" << partialPacketUrl;
    qDebug() << "replacePacketMd5:" << replacePacketMd5;
    qDebug() << "replacePacketUrl:" << replacePacketUrl;
    return !partialPacketMd5.isEmpty() && !partialPacketUrl.isEmpty() && !replacePacketMd5.isEmpty()
        && !replacePacketUrl.isEmpty();
}

bool Updateconfig::getFixUpdatePacketInfo(const QString &platform)
{
    QByteArray bytes;
    if (!manifestBytes(&bytes)) {
        qDebug() << "Get FixUpdate Info ,Open update config failed";
        return false;
    }
    fixUpdatePacketMd5.clear();
    fixUpdatePacketUrl.clear();
    fixUpdatePacketSha256.clear();

    QJsonObject mac;
    if (UpdateManifest::platformSection(bytes, platform, &mac)) {
        const QJsonObject fix = mac.value(QStringLiteral("fixUpdatePacket")).toObject();
        fixUpdatePacketMd5 = digest(fix.value(QStringLiteral("fixUpdatePacketMd5")));
        fixUpdatePacketUrl = fix.value(QStringLiteral("fixUpdatePacketUrl")).toString();
        fixUpdatePacketSha256 = digest(fix.value(QStringLiteral("fixUpdatePacketSha256")));
        fixUpdateUesedVersion = fix.value(QStringLiteral("fixUpdateUesedVersion")).toArray();
    }
    qDebug() << "fixUpdatePacketMd5" << fixUpdatePacketMd5;
    qDebug() << "fixUpdatePacketUrl" << fixUpdatePacketUrl;
    return !fixUpdatePacketMd5.isEmpty() && !fixUpdatePacketUrl.isEmpty();
}
