#ifndef VELTORA_UPDATECONFIG_H
#define VELTORA_UPDATECONFIG_H

#include "filePatchInfo.h"

#include <QByteArray>
#include <QJsonArray>
#include <QMap>
#include <QString>

// The update manifest as the updater reads it. Each reader parses configFile (or the
// bytes it was given) and returns true only when every value it fills is non-empty.
// patchList and fixUpdateUesedVersion survive failed reads and restarts.
class Updateconfig
{
public:
    bool getInstallerInfo(const QString &platform);
    bool getPartialPacketInfo(const QString &platform, const QString &version);
    bool getFixUpdatePacketInfo(const QString &platform);
    // The readers take these bytes (the ones whose signature was checked) instead of
    // reading configFile again, so a file swapped after the check never counts.
    void useManifestBytes(const QByteArray &bytes);

    QString configFile;
    QByteArray installerMd5;
    QString installerUrl;
    QByteArray replacePacketMd5;
    QString replacePacketUrl;
    QByteArray partialPacketMd5;
    QString partialPacketUrl;
    QString fixUpdatePacketUrl;
    QByteArray fixUpdatePacketMd5;
    QJsonArray fixUpdateUesedVersion;
    QMap<QString, filePatchInfo> patchList;

    // The SHA-256 digests a signed release carries beside each MD5; empty in an unsigned one.
    QByteArray installerSha256;
    QByteArray partialPacketSha256;
    QByteArray replacePacketSha256;
    QByteArray fixUpdatePacketSha256;

private:
    bool manifestBytes(QByteArray *bytes) const;

    QByteArray m_bytes;
    bool m_bytesHeld = false;
};

#endif
