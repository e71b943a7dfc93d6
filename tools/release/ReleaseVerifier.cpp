#include "ReleaseVerifier.h"

#include "FileSha256.h"
#include "FileUtils.h"
#include "Lib7z.h"
#include "ReleaseBuilder.h"
#include "ReleaseProgress.h"
#include "ReleaseFreshness.h"
#include "ReleaseSigner.h"
#include "ReleaseSigning.h"
#include "SignedManifest.h"
#include "Uncompress.h"
#include "UpdateManifest.h"
#include "Updateconfig.h"
#include "bspatch.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUrl>

bool ReleaseVerifier::unpack(const QString &packet, const QString &target, QString *error)
{
    Uncompress uncompress;
    uncompress.packetPath = packet;
    uncompress.outputDirectory = target;
    bool ok = false;
    QObject::connect(&uncompress, &Uncompress::UncompressPacketOKSignal, [&ok] { ok = true; });
    uncompress.UncompressPacket();
    const int packets = 1 + 2 * m_options.oldBundles.size();
    ++m_unpacked;
    if (m_progress)
        m_progress->update(m_unpacked, QStringLiteral("%1/%2 packets").arg(m_unpacked).arg(packets));
    const QString top = target + QLatin1Char('/') + UpdateManifest::packetFolderName(QFileInfo(packet).fileName());
    if (!ok || !QFileInfo(top).isDir()) {
        *error = QStringLiteral("the packet %1 does not unpack into %2: %3").arg(packet, top, Lib7z::lastError());
        return false;
    }
    return true;
}

// Checks the signature with the public half of the signing key, as an installation
// carrying that key will, and the rules a signed manifest must meet for every
// version it updates.
bool ReleaseVerifier::verifySignature(QString *error)
{
    ReleaseSigner signer;
    if (!signer.load(m_options.signingKey, error))
        return false;
    QByteArray bytes;
    if (!signer.publicKey().verifyManifest(m_manifestPath, &bytes, error))
        return false;
    for (const auto &old : qAsConst(m_options.oldBundles)) {
        if (!SignedManifest::checkContent(bytes, QStringLiteral("mac"), old.first, error))
            return false;
    }
    // Dates an installation takes, and the key number the chain beside the manifest gives the key.
    ReleaseFreshness fresh;
    int number = 1;
    if (!ReleaseFreshness::read(bytes, QStringLiteral("mac"), &fresh, error)
        || !ReleaseSigning::keyNumberOf(signer, m_manifestPath, &number, error))
        return false;
    if (fresh.signingKey != number) {
        *error = QStringLiteral("the manifest names key %1, the chain beside it makes the signing key key %2").arg(fresh.signingKey).arg(number);
        return false;
    }
    return true;
}

bool ReleaseVerifier::verify(QString *error)
{
    const bool signing = !m_options.signingKey.isEmpty();
    if (signing && !verifySignature(error))
        return false;
    const QString platform = QStringLiteral("mac");
    Updateconfig config;
    config.configFile = m_manifestPath;
    if (!config.getFixUpdatePacketInfo(platform) || !config.getInstallerInfo(platform)) {
        *error = QStringLiteral("the manifest's fix-update or installer entry does not read back");
        return false;
    }
    const QString folder = ReleaseBuilder::releaseFolder(m_options);
    const QString releaseUrl = ReleaseBuilder::releaseUrl(m_options);
    const auto checkDigest = [&](const QString &url, const QByteArray &md5, const QByteArray &sha256) {
        // Every file of the release at an address of its own, below the release's folder.
        if (!url.startsWith(releaseUrl)) {
            *error = QStringLiteral("%1 is not below the release's address %2").arg(url, releaseUrl);
            return false;
        }
        const QString local = folder + QLatin1Char('/') + QUrl::fromPercentEncoding(url.mid(releaseUrl.size()).toLatin1());
        if (getLocalFileMd5Value(local) != md5 || (signing && getLocalFileSha256Value(local) != sha256)) {
            *error = QStringLiteral("%1 does not match its digest in the manifest").arg(local);
            return false;
        }
        return true;
    };
    if (!checkDigest(config.installerUrl, config.installerMd5, config.installerSha256)
        || !checkDigest(config.fixUpdatePacketUrl, config.fixUpdatePacketMd5, config.fixUpdatePacketSha256))
        return false;

    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        *error = QStringLiteral("no scratch folder for the check");
        return false;
    }
    if (m_progress) {
        m_progress->begin(QStringLiteral("reading back"), 1 + 2 * m_options.oldBundles.size());
        m_progress->update(0, QStringLiteral("0/%1 packets").arg(1 + 2 * m_options.oldBundles.size()));
    }
    if (!unpack(folder + QLatin1Char('/') + ReleaseBuilder::fixName(), scratch.path() + QStringLiteral("/fix"), error))
        return false;

    for (const auto &old : qAsConst(m_options.oldBundles)) {
        config.patchList.clear();
        if (!config.getPartialPacketInfo(platform, old.first)) {
            *error = QStringLiteral("the manifest's entry for version %1 does not read back").arg(old.first);
            return false;
        }
        if (!checkDigest(config.partialPacketUrl, config.partialPacketMd5, config.partialPacketSha256)
            || !checkDigest(config.replacePacketUrl, config.replacePacketMd5, config.replacePacketSha256))
            return false;
        const QString target = scratch.path() + QLatin1Char('/') + old.first;
        const QString partial = folder + QLatin1Char('/') + ReleaseBuilder::partialName(old.first);
        if (!unpack(partial, target, error)
            || !unpack(folder + QLatin1Char('/') + ReleaseBuilder::replaceName(old.first), target, error))
            return false;
        const QString unpacked =
            target + QLatin1Char('/') + UpdateManifest::packetFolderName(ReleaseBuilder::partialName(old.first));
        for (auto it = config.patchList.constBegin(); it != config.patchList.constEnd(); ++it) {
            const QString oldFile = old.second + QLatin1Char('/') + it.key();
            const QString result = target + QStringLiteral("/patched");
            if (getLocalFileMd5Value(oldFile) != it.value().oldFileMd5
                || bspatch(QFile::encodeName(oldFile).constData(), QFile::encodeName(result).constData(),
                           QFile::encodeName(unpacked + QLatin1Char('/') + it.value().filePatch).constData()) != 0
                || getLocalFileMd5Value(result) != it.value().newFileMd5) {
                *error = QStringLiteral("the patch of %1 for version %2 does not rebuild the new file").arg(it.key(), old.first);
                return false;
            }
        }
    }
    if (m_progress)
        m_progress->end();
    return true;
}
