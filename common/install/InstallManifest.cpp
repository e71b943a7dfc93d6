#include "InstallManifest.h"

#include "UpdateManifest.h"

InstallManifest InstallManifest::parse(const QByteArray &bytes, const QString &version)
{
    InstallManifest manifest;
    manifest.read = true;
    QJsonObject platform;
    manifest.isObject = UpdateManifest::platformSection(bytes, QStringLiteral("mac"), &platform);
    if (!manifest.isObject)
        return manifest;
    const QJsonObject modify = platform.value(QStringLiteral("partialPacket")).toObject()
                                   .value(version).toObject()
                                   .value(QStringLiteral("modify")).toObject();
    manifest.deleteFiles = modify.value(QStringLiteral("delete")).toArray();
    manifest.addFiles = modify.value(QStringLiteral("add")).toArray();
    const QJsonObject settings = platform.value(QStringLiteral("veltoraSettings")).toObject();
    manifest.settingsDeletions = settings.value(QStringLiteral("delete")).toArray();
    manifest.settingsAdditions = settings.value(QStringLiteral("add")).toObject();
    return manifest;
}

InstallManifest InstallManifest::readFile(const QString &path, const QString &version)
{
    QByteArray bytes;
    if (!UpdateManifest::readFile(path, &bytes))
        return InstallManifest();
    return parse(bytes, version);
}

bool InstallManifest::hasListedChanges() const
{
    return !deleteFiles.isEmpty() || !settingsDeletions.isEmpty() || !settingsAdditions.isEmpty();
}
