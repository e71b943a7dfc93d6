#include "ReleaseBuilder.h"

#include "BundleTree.h"
#include "FileUtils.h"
#include "FileSha256.h"
#include "PacketWriter.h"
#include "ReleaseSigner.h"
#include "SignedManifest.h"
#include "UpdateManifest.h"
#include "bsdiff.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSet>
#include <QUrl>

namespace {

// A patch is shipped only when it is at most this share of the new file.
constexpr double patchWorthIt = 0.5;

// The patcher creates files with mode 0644 (under the usual file-creation mask) and
// the setup program makes the entries of Contents/MacOS executable; a file whose mode
// would come out differently is shipped whole, so that its mode survives.
bool patchKeepsMode(const QString &path, quint32 mode)
{
    if (QFileInfo(path).path() == QLatin1String("Contents/MacOS"))
        return mode == 0755;
    return mode == 0644;
}

bool same(const BundleTree::Entry &a, const BundleTree::Entry &b)
{
    if (a.kind != b.kind)
        return false;
    return a.kind == BundleTree::Entry::Link ? a.linkTarget == b.linkTarget : a.md5 == b.md5 && a.mode == b.mode;
}

bool readAll(const QString &path, std::vector<uint8_t> *data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    data->assign(bytes.constBegin(), bytes.constEnd());
    return true;
}

bool addEntry(PacketWriter &packet, const QString &name, const BundleTree::Entry &entry)
{
    if (entry.kind == BundleTree::Entry::Link)
        return packet.addLink(name, entry.linkTarget, entry.mtime);
    return packet.addFile(name, entry.absolutePath, entry.mode, entry.mtime);
}

} // namespace

QString ReleaseBuilder::manifestPath() const
{
    return m_options.outDir + QLatin1Char('/') + m_options.manifestName;
}

QString ReleaseBuilder::urlOf(const QString &fileName) const
{
    return m_options.baseUrl + QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(fileName));
}

bool ReleaseBuilder::build(QString *error)
{
    ReleaseSigner signer;
    if (signing() && !signer.load(m_options.signingKey, error))
        return false;
    if (!QDir().mkpath(m_options.outDir)) {
        *error = QStringLiteral("cannot create the output folder %1").arg(m_options.outDir);
        return false;
    }
    const QString installerName = QFileInfo(m_options.installer).fileName();
    QSet<QString> names{fixName(), m_options.manifestName};
    for (const auto &old : qAsConst(m_options.oldBundles))
        names << partialName(old.first) << replaceName(old.first);
    if (names.contains(installerName)) {
        *error = QStringLiteral("the installer's file name %1 is also the name of a file the release writes").arg(installerName);
        return false;
    }

    BundleTree newTree;
    if (!newTree.scan(m_options.newBundle, error))
        return false;

    QJsonObject versions;
    for (const auto &old : qAsConst(m_options.oldBundles)) {
        BundleTree oldTree;
        if (!oldTree.scan(old.second, error))
            return false;
        QJsonObject entry;
        if (!writeVersion(old.first, oldTree, newTree, &entry, error))
            return false;
        versions.insert(old.first, entry);
    }

    BundleTree fixTree;
    if (!fixTree.scan(m_options.fixBundle, error) || !writeWholeBundle(fixTree, fixName(), error))
        return false;

    const QString installerCopy = m_options.outDir + QLatin1Char('/') + installerName;
    if (QFileInfo(installerCopy).absoluteFilePath() != QFileInfo(m_options.installer).absoluteFilePath()) {
        QFile::remove(installerCopy);
        if (!QFile::copy(m_options.installer, installerCopy)) {
            *error = QStringLiteral("cannot copy the installer to %1").arg(installerCopy);
            return false;
        }
    }

    QJsonArray fixVersions;
    for (const QString &version : qAsConst(m_options.fixVersions))
        fixVersions.append(version);
    QJsonObject mac{
        {QStringLiteral("installerMd5"), QString::fromLatin1(getLocalFileMd5Value(installerCopy))},
        {QStringLiteral("installerUrl"), urlOf(installerName)},
        {QStringLiteral("fixUpdatePacket"),
         QJsonObject{{QStringLiteral("fixUpdatePacketMd5"),
                      QString::fromLatin1(getLocalFileMd5Value(m_options.outDir + QLatin1Char('/') + fixName()))},
                     {QStringLiteral("fixUpdatePacketUrl"), urlOf(fixName())},
                     {QStringLiteral("fixUpdateUesedVersion"), fixVersions}}},
        {QStringLiteral("partialPacket"), versions},
        {QStringLiteral("veltoraSettings"),
         QJsonObject{{QStringLiteral("delete"), m_options.settings.value(QStringLiteral("delete")).toArray()},
                     {QStringLiteral("add"), m_options.settings.value(QStringLiteral("add")).toObject()}}}};

    if (signing())
        addSignedKeys(&mac);

    const QByteArray bytes = QJsonDocument(QJsonObject{{QStringLiteral("mac"), mac}}).toJson();
    QSaveFile manifest(manifestPath());
    if (!manifest.open(QIODevice::WriteOnly) || manifest.write(bytes) < 0 || !manifest.commit()) {
        *error = QStringLiteral("cannot write the manifest %1").arg(manifestPath());
        return false;
    }
    const QString signaturePath = SignedManifest::signaturePathOf(manifestPath());
    if (!signing()) {
        // A signature left from an earlier run would not match this manifest.
        QFile::remove(signaturePath);
        return true;
    }
    // The signature covers exactly the bytes just written, as they will be served.
    const QByteArray signature = signer.sign(bytes);
    QSaveFile sig(signaturePath);
    if (!sig.open(QIODevice::WriteOnly) || sig.write(signature) != signature.size() || !sig.commit()) {
        *error = QStringLiteral("cannot write the signature %1").arg(signaturePath);
        return false;
    }
    return true;
}

QByteArray ReleaseBuilder::sha256Of(const QString &fileName) const
{
    return getLocalFileSha256Value(m_options.outDir + QLatin1Char('/') + fileName);
}

// The stronger digest beside every MD5, and the release's own version.
void ReleaseBuilder::addSignedKeys(QJsonObject *mac) const
{
    mac->insert(QStringLiteral("releaseVersion"), m_options.releaseVersion);
    mac->insert(QStringLiteral("installerSha256"), QString::fromLatin1(sha256Of(QFileInfo(m_options.installer).fileName())));
    QJsonObject fix = mac->value(QStringLiteral("fixUpdatePacket")).toObject();
    fix.insert(QStringLiteral("fixUpdatePacketSha256"), QString::fromLatin1(sha256Of(fixName())));
    mac->insert(QStringLiteral("fixUpdatePacket"), fix);
    QJsonObject versions = mac->value(QStringLiteral("partialPacket")).toObject();
    for (const auto &old : qAsConst(m_options.oldBundles)) {
        QJsonObject entry = versions.value(old.first).toObject();
        entry.insert(QStringLiteral("partialPacketSha256"), QString::fromLatin1(sha256Of(partialName(old.first))));
        entry.insert(QStringLiteral("replacePacketSha256"), QString::fromLatin1(sha256Of(replaceName(old.first))));
        versions.insert(old.first, entry);
    }
    mac->insert(QStringLiteral("partialPacket"), versions);
}

bool ReleaseBuilder::writeVersion(const QString &version, const BundleTree &oldTree, const BundleTree &newTree,
                                  QJsonObject *entry, QString *error)
{
    const QString partialFile = m_options.outDir + QLatin1Char('/') + partialName(version);
    const QString replaceFile = m_options.outDir + QLatin1Char('/') + replaceName(version);
    const QString partialTop = UpdateManifest::packetFolderName(partialName(version));
    const QString replaceTop = UpdateManifest::packetFolderName(replaceName(version));
    const qint64 stamp = QDateTime::currentSecsSinceEpoch();

    PacketWriter partial;
    PacketWriter replace;
    if (!partial.open(partialFile, error) || !replace.open(replaceFile, error))
        return false;
    partial.addFolder(partialTop, stamp);
    replace.addFolder(replaceTop, stamp);

    QJsonObject patches;
    QJsonArray added;
    QSet<QString> taken;
    for (auto it = newTree.entries().constBegin(); it != newTree.entries().constEnd(); ++it)
        taken.insert(it.key());

    for (auto it = newTree.entries().constBegin(); it != newTree.entries().constEnd(); ++it) {
        const QString &path = it.key();
        const BundleTree::Entry &now = it.value();
        const auto old = oldTree.entries().constFind(path);
        const bool existed = old != oldTree.entries().constEnd();
        if (existed && same(old.value(), now))
            continue;
        if (!existed)
            added.append(path);
        if (!addEntry(replace, replaceTop + QLatin1Char('/') + path, now)) {
            *error = replace.errorString();
            return false;
        }

        // Changed regular files get a patch when it pays; everything else goes whole.
        if (existed && old.value().kind == BundleTree::Entry::File && now.kind == BundleTree::Entry::File
            && patchKeepsMode(path, now.mode)) {
            std::vector<uint8_t> oldData;
            std::vector<uint8_t> newData;
            if (!readAll(old.value().absolutePath, &oldData) || !readAll(now.absolutePath, &newData)) {
                *error = QStringLiteral("cannot read %1").arg(path);
                return false;
            }
            const std::vector<uint8_t> patch = Bsdiff::makePatch(oldData.data(), oldData.size(), newData.data(), newData.size());
            if (double(patch.size()) <= patchWorthIt * double(newData.size())) {
                QString patchName = path + QStringLiteral(".patch");
                for (int n = 1; taken.contains(patchName); ++n)
                    patchName = path + QStringLiteral(".%1.patch").arg(n);
                taken.insert(patchName);
                const QByteArray bytes(reinterpret_cast<const char *>(patch.data()), int(patch.size()));
                if (!partial.addData(partialTop + QLatin1Char('/') + patchName, bytes, 0644, now.mtime)) {
                    *error = partial.errorString();
                    return false;
                }
                patches.insert(path, QJsonObject{{QStringLiteral("filePatch"), patchName},
                                                 {QStringLiteral("oldFileMd5"), QString::fromLatin1(old.value().md5)},
                                                 {QStringLiteral("newFileMd5"), QString::fromLatin1(now.md5)}});
                continue;
            }
        }
        if (!addEntry(partial, partialTop + QLatin1Char('/') + path, now)) {
            *error = partial.errorString();
            return false;
        }
    }

    QJsonArray deleted;
    for (auto it = oldTree.entries().constBegin(); it != oldTree.entries().constEnd(); ++it) {
        if (!newTree.entries().contains(it.key()))
            deleted.append(it.key());
    }
    if (!partial.close(error) || !replace.close(error))
        return false;

    *entry = QJsonObject{
        {QStringLiteral("partialPacketMd5"), QString::fromLatin1(getLocalFileMd5Value(partialFile))},
        {QStringLiteral("partialPacketUrl"), urlOf(partialName(version))},
        {QStringLiteral("replacePacketMd5"), QString::fromLatin1(getLocalFileMd5Value(replaceFile))},
        {QStringLiteral("replacePacketUrl"), urlOf(replaceName(version))},
        {QStringLiteral("modify"), QJsonObject{{QStringLiteral("patch"), patches},
                                              {QStringLiteral("delete"), deleted},
                                              {QStringLiteral("add"), added}}}};
    return true;
}

bool ReleaseBuilder::writeWholeBundle(const BundleTree &tree, const QString &packetName, QString *error)
{
    PacketWriter packet;
    const QString top = UpdateManifest::packetFolderName(packetName);
    if (!packet.open(m_options.outDir + QLatin1Char('/') + packetName, error))
        return false;
    packet.addFolder(top, QDateTime::currentSecsSinceEpoch());
    for (auto it = tree.entries().constBegin(); it != tree.entries().constEnd(); ++it) {
        if (!addEntry(packet, top + QLatin1Char('/') + it.key(), it.value())) {
            *error = packet.errorString();
            return false;
        }
    }
    return packet.close(error);
}
