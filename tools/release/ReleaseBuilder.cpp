#include "ReleaseBuilder.h"

#include "BundleTree.h"
#include "FileUtils.h"
#include "FileSha256.h"
#include "PatchBatch.h"
#include "ReleaseProgress.h"
#include "SevenZipPacketWriter.h"
#include "ReleaseSigner.h"
#include "ReleaseSigning.h"
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
#include <QTemporaryDir>
#include <QThread>
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

bool addEntry(SevenZipPacketWriter &packet, const QString &name, const BundleTree::Entry &entry)
{
    if (entry.kind == BundleTree::Entry::Link)
        return packet.addLink(name, entry.linkTarget, entry.mtime);
    return packet.addFile(name, entry.absolutePath, entry.mode, entry.mtime);
}

} // namespace

ReleaseBuilder::ReleaseBuilder(const ReleaseOptions &options, ReleaseProgress *progress)
    : m_options(options)
    , m_quiet(progress ? nullptr : std::make_unique<ReleaseProgress>(ReleaseProgress::Quiet))
    , m_progress(progress ? progress : m_quiet.get())
{
}

ReleaseBuilder::~ReleaseBuilder() = default;

QString ReleaseBuilder::manifestPath() const
{
    return m_options.outDir + QLatin1Char('/') + m_options.manifestName;
}

QString ReleaseBuilder::releaseFolder(const ReleaseOptions &options)
{
    return options.outDir + QLatin1Char('/') + options.releaseVersion;
}

QString ReleaseBuilder::releaseUrl(const ReleaseOptions &options)
{
    return options.baseUrl + QLatin1Char('/') + options.releaseVersion + QLatin1Char('/');
}

QString ReleaseBuilder::urlOf(const QString &fileName) const
{
    return releaseUrl(m_options) + QString::fromLatin1(QUrl::toPercentEncoding(fileName));
}

bool ReleaseBuilder::build(QString *error)
{
    ReleaseSigner signer;
    int keyNumber = 1;
    // The key's number comes from the hand-overs published beside the manifest; a key
    // that was handed over already is refused before anything is built.
    if (signing() && (!signer.load(m_options.signingKey, error) || !ReleaseSigning::keyNumberOf(signer, manifestPath(), &keyNumber, error)))
        return false;
    const QString folder = releaseFolder(m_options);
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create the output folder %1").arg(folder);
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

    // Reading every bundle's digests is the first long step.
    // The fix-update bundle is most often the new one itself: read it once.
    const bool fixIsNew = QFileInfo(m_options.fixBundle).canonicalFilePath() == QFileInfo(m_options.newBundle).canonicalFilePath();
    const int bundles = m_options.oldBundles.size() + (fixIsNew ? 1 : 2);
    int scanned = 0;
    qint64 files = 0;
    m_progress->begin(QStringLiteral("comparing"), bundles);
    m_progress->update(0, QStringLiteral("0/%1 bundles").arg(bundles));
    const auto scan = [&](BundleTree *tree, const QString &root) {
        if (!tree->scan(root, error))
            return false;
        files += tree->entries().size();
        ++scanned;
        m_progress->update(scanned, QStringLiteral("%1/%2 bundles, %3 files").arg(scanned).arg(bundles).arg(files));
        return true;
    };
    BundleTree newTree;
    BundleTree fixTree;
    QVector<BundleTree> oldTrees(m_options.oldBundles.size());
    if (!scan(&newTree, m_options.newBundle) || (!fixIsNew && !scan(&fixTree, m_options.fixBundle)))
        return false;
    for (int i = 0; i < oldTrees.size(); ++i) {
        if (!scan(&oldTrees[i], m_options.oldBundles.at(i).second))
            return false;
    }
    m_progress->end();

    QJsonObject versions;
    for (int i = 0; i < oldTrees.size(); ++i) {
        const auto &old = m_options.oldBundles.at(i);
        const BundleTree &oldTree = oldTrees.at(i);
        QJsonObject entry;
        if (!writeVersion(old.first, oldTree, newTree, &entry, error))
            return false;
        versions.insert(old.first, entry);
    }

    if (!writeWholeBundle(fixIsNew ? newTree : fixTree, fixName(), error))
        return false;

    const QString installerCopy = folder + QLatin1Char('/') + installerName;
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
                      QString::fromLatin1(getLocalFileMd5Value(folder + QLatin1Char('/') + fixName()))},
                     {QStringLiteral("fixUpdatePacketUrl"), urlOf(fixName())},
                     {QStringLiteral("fixUpdateUesedVersion"), fixVersions}}},
        {QStringLiteral("partialPacket"), versions},
        {QStringLiteral("veltoraSettings"),
         QJsonObject{{QStringLiteral("delete"), m_options.settings.value(QStringLiteral("delete")).toArray()},
                     {QStringLiteral("add"), m_options.settings.value(QStringLiteral("add")).toObject()}}}};

    if (signing()) {
        addSignedKeys(&mac);
        if (!ReleaseSigning::stamp(&mac, m_options.signingChoice, ReleaseSigning::previousSequence(manifestPath()), keyNumber,
                                   QDateTime::currentDateTimeUtc(), error))
            return false;
    } else if (m_options.signingChoice.hasShare) {
        mac.insert(QStringLiteral("rolloutShare"), m_options.signingChoice.share);
    }

    const QByteArray bytes = QJsonDocument(QJsonObject{{QStringLiteral("mac"), mac}}).toJson();
    return ReleaseSigning::writeSigned(manifestPath(), bytes, signing() ? &signer : nullptr, error);
}

QByteArray ReleaseBuilder::sha256Of(const QString &fileName) const
{
    return getLocalFileSha256Value(releaseFolder(m_options) + QLatin1Char('/') + fileName);
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

bool ReleaseBuilder::pack(const QString &packetName, qint64 total,
                          const std::function<bool(SevenZipPacketWriter &, QString *)> &fill, QString *error)
{
    SevenZipPacketWriter packet;
    packet.setThreads(QThread::idealThreadCount());
    const QString totalText = ReleaseProgress::megabytes(total);
    m_progress->begin(QStringLiteral("packing %1").arg(packetName), total);
    packet.setProgress([&](qint64 done) {
        m_progress->update(done, ReleaseProgress::megabytes(done) + QLatin1Char('/') + totalText);
    });
    m_progress->update(0, ReleaseProgress::megabytes(0) + QLatin1Char('/') + totalText);
    const QString top = UpdateManifest::packetFolderName(packetName);
    const bool ok = packet.open(releaseFolder(m_options) + QLatin1Char('/') + packetName, error)
        && packet.addFolder(top, QDateTime::currentSecsSinceEpoch()) && fill(packet, error) && packet.close(error);
    m_progress->update(total, totalText + QLatin1Char('/') + totalText);
    m_progress->end();
    return ok;
}

bool ReleaseBuilder::writeVersion(const QString &version, const BundleTree &oldTree, const BundleTree &newTree,
                                  QJsonObject *entry, QString *error)
{
    const QString partialFile = releaseFolder(m_options) + QLatin1Char('/') + partialName(version);
    const QString replaceFile = releaseFolder(m_options) + QLatin1Char('/') + replaceName(version);
    const QString partialTop = UpdateManifest::packetFolderName(partialName(version));
    const QString replaceTop = UpdateManifest::packetFolderName(replaceName(version));

    // What changed, and which of the changed regular files may get a patch.
    struct Change
    {
        QString path;
        const BundleTree::Entry *now = nullptr;
        const BundleTree::Entry *old = nullptr; // null for new entries
        int job = -1;
    };
    QVector<Change> changes;
    QVector<PatchBatch::Job> jobs;
    QJsonArray added;
    QSet<QString> taken;
    qint64 replaceBytes = 0;
    for (auto it = newTree.entries().constBegin(); it != newTree.entries().constEnd(); ++it) {
        taken.insert(it.key());
        const auto old = oldTree.entries().constFind(it.key());
        const bool existed = old != oldTree.entries().constEnd();
        if (existed && same(old.value(), it.value()))
            continue;
        if (!existed)
            added.append(it.key());
        Change change{it.key(), &it.value(), existed ? &old.value() : nullptr, -1};
        replaceBytes += it.value().size;
        if (existed && old.value().kind == BundleTree::Entry::File && it.value().kind == BundleTree::Entry::File
            && patchKeepsMode(it.key(), it.value().mode)) {
            change.job = jobs.size();
            jobs.append({old.value().absolutePath, it.value().absolutePath, old.value().size, it.value().size});
        }
        changes.append(change);
    }

    QTemporaryDir patchFolder(m_options.outDir + QStringLiteral("/.patches-XXXXXX"));
    if (!patchFolder.isValid()) {
        *error = QStringLiteral("cannot create a scratch folder in %1").arg(m_options.outDir);
        return false;
    }
    qint64 jobBytes = 0;
    for (const PatchBatch::Job &job : qAsConst(jobs))
        jobBytes += job.newSize;
    PatchBatch batch(QThread::idealThreadCount(), m_options.patchMemory, m_options.patchSizeLimit);
    QVector<PatchBatch::Result> results;
    m_progress->begin(QStringLiteral("making patches for %1").arg(version), jobs.size());
    const auto reportPatches = [&](int done, qint64 bytes) {
        m_progress->update(done, QStringLiteral("%1/%2 files, %3").arg(done).arg(jobs.size()).arg(ReleaseProgress::megabytes(bytes)));
    };
    if (!batch.run(jobs, patchFolder.path(), patchWorthIt, &results, reportPatches, error))
        return false;
    m_progress->end();
    qint64 partialBytes = 0;
    for (const Change &change : qAsConst(changes)) {
        if (change.job >= 0 && results.at(change.job).tooLarge)
            m_progress->note(QStringLiteral("%1 goes whole into %2: at %3 bytes it is beyond the patch writer's limit of %4 bytes")
                                 .arg(change.path, partialName(version))
                                 .arg(qMax(change.now->size, change.old->size))
                                 .arg(m_options.patchSizeLimit));
        partialBytes += change.job >= 0 && !results.at(change.job).patchFile.isEmpty() ? results.at(change.job).patchSize
                                                                                       : change.now->size;
    }

    QJsonObject patches;
    const auto fillPartial = [&](SevenZipPacketWriter &partial, QString *fault) {
        for (const Change &change : qAsConst(changes)) {
            const QString patchFile = change.job >= 0 ? results.at(change.job).patchFile : QString();
            if (patchFile.isEmpty()) {
                if (!addEntry(partial, partialTop + QLatin1Char('/') + change.path, *change.now)) {
                    *fault = partial.errorString();
                    return false;
                }
                continue;
            }
            QString patchName = change.path + QStringLiteral(".patch");
            for (int n = 1; taken.contains(patchName); ++n)
                patchName = change.path + QStringLiteral(".%1.patch").arg(n);
            taken.insert(patchName);
            if (!partial.addFile(partialTop + QLatin1Char('/') + patchName, patchFile, 0644, change.now->mtime)) {
                *fault = partial.errorString();
                return false;
            }
            patches.insert(change.path, QJsonObject{{QStringLiteral("filePatch"), patchName},
                                                    {QStringLiteral("oldFileMd5"), QString::fromLatin1(change.old->md5)},
                                                    {QStringLiteral("newFileMd5"), QString::fromLatin1(change.now->md5)}});
        }
        return true;
    };
    const auto fillReplace = [&](SevenZipPacketWriter &replace, QString *fault) {
        for (const Change &change : qAsConst(changes)) {
            if (!addEntry(replace, replaceTop + QLatin1Char('/') + change.path, *change.now)) {
                *fault = replace.errorString();
                return false;
            }
        }
        return true;
    };
    if (!pack(partialName(version), partialBytes, fillPartial, error) || !pack(replaceName(version), replaceBytes, fillReplace, error))
        return false;

    QJsonArray deleted;
    for (auto it = oldTree.entries().constBegin(); it != oldTree.entries().constEnd(); ++it) {
        if (!newTree.entries().contains(it.key()))
            deleted.append(it.key());
    }
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
    const QString top = UpdateManifest::packetFolderName(packetName);
    qint64 total = 0;
    for (const BundleTree::Entry &entry : tree.entries())
        total += entry.size;
    return pack(packetName, total, [&](SevenZipPacketWriter &packet, QString *fault) {
        for (auto it = tree.entries().constBegin(); it != tree.entries().constEnd(); ++it) {
            if (!addEntry(packet, top + QLatin1Char('/') + it.key(), it.value())) {
                *fault = packet.errorString();
                return false;
            }
        }
        return true;
    }, error);
}
