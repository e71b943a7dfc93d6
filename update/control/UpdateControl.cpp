#include "UpdateControl.h"

#include "Attempts.h"
#include "BsdiffControl.h"
#include "BundleContents.h"
#include "DataPaths.h"
#include "DownloadControl.h"
#include "FileUtils.h"
#include "FileSha256.h"
#include "InstallTransaction.h"
#include "PlatformCommand.h"
#include "ReleaseVersion.h"
#include "Rollout.h"
#include "SafePath.h"
#include "KeyStatement.h"
#include "ReleaseFreshness.h"
#include "SignedManifest.h"
#include "Uncompress.h"
#include "UpdateArguments.h"
#include "UpdateManifest.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QUrl>


void UpdateControl::connectDownloader(UpdateControl *control, DownloadControl *downloader)
{
    QObject::connect(downloader, &DownloadControl::finished, control, &UpdateControl::finishedSlot);
    QObject::connect(downloader, &DownloadControl::progressChange, control, &UpdateControl::progressChangeSignal);
    // The kind comes just before the text, on the same road, so the slots below read this one's.
    QObject::connect(downloader, &DownloadControl::failed, control,
                     [control](DownloadFailure kind) { control->m_downloadFailure = kind; });
    QObject::connect(downloader, &DownloadControl::getFileSizeErrorSignal, control, &UpdateControl::getDownloadFileSizeErrorSlot);
    QObject::connect(downloader, &DownloadControl::error, control, &UpdateControl::DownloadErrorSlot);
}

UpdateControl::UpdateControl(QObject *parent) : QObject(parent)
{
    updateDir = DataPaths::updateDirectory();
    QDir().mkpath(updateDir);

    deployFiles = QStringList{QStringLiteral("Contents/MacOS/finisher"), QStringLiteral("Contents/Resources/qt.conf")};
    for (const QString &module : BundleContents::qtModules())
        deployDirs << QStringLiteral("Contents/Frameworks/Qt%1.framework").arg(module);
    for (const QString &kind : BundleContents::pluginKinds())
        deployDirs << QStringLiteral("Contents/PlugIns/") + kind;

    downloader = new DownloadControl;
    connectDownloader(this, downloader);

    unpacker = new Uncompress;
    connect(unpacker, &Uncompress::UncompressPacketOKSignal, this, &UpdateControl::UncompressPacketSuccessSlot);
    connect(unpacker, &Uncompress::UncompressPacketFailSignal, this, &UpdateControl::UncompressPacketErrorSlot);

    patcher = new BsdiffControl;
    connect(patcher, &BsdiffControl::bsdiffSuccessSignal, this, &UpdateControl::PatchSuccessSlot);
    connect(patcher, &BsdiffControl::bsdiffFailSignal, this, &UpdateControl::PatchErrorSlot);

    state = Start;
    connect(this, &UpdateControl::downloadSuccessSignal, this, &UpdateControl::mainControlSlot);
    connect(this, &UpdateControl::uncompressSuccessSignal, this, &UpdateControl::mainControlSlot);
    connect(this, &UpdateControl::uncompressFalilSignal, this, &UpdateControl::mainControlSlot);
    connect(this, &UpdateControl::patchSuccessSignal, this, &UpdateControl::mainControlSlot);
    connect(this, &UpdateControl::patchFailSignal, this, &UpdateControl::mainControlSlot);
    connect(this, &UpdateControl::callFinisherSignal, this, &UpdateControl::callFinisher);
    connect(this, &UpdateControl::callInstallerSignal, this, &UpdateControl::runInstaller);
    connect(this, &UpdateControl::reStartUpdateSignal, this, &UpdateControl::reStartUpdateSlot);

    startAttempts = 0;
    restartCount = 0;

    workerThread = new QThread;
    moveToThread(workerThread);
    workerThread->start(QThread::InheritPriority);
}

UpdateControl::~UpdateControl()
{
    delete patcher;
    delete unpacker;
    delete downloader.data();
    workerThread->quit();
    if (QThread::currentThread() != workerThread) {
        workerThread->wait();
        delete workerThread;
    } else {
        workerThread->deleteLater();
    }
}

QString UpdateControl::finalFailureMessage()
{
    return tr("Update error,It will jump to URL <" VELTORA_VENDOR_HOST
              ">.You can download newest version.Note that anti-virus software may intercept to jumping mistakenly");
}

void UpdateControl::setState(int next)
{
    state = next;
    emit stateChangedSignal(next);
}

bool UpdateControl::urlIsValid()
{
    const QUrl url(currentUrl, QUrl::TolerantMode);
    if (url.path().isEmpty() || url.scheme() != QLatin1String("http") || !url.isValid()) {
        emit showMessageBoxSignal(tr("Download url is error,Please login and download again"), false);
        return false;
    }
    return true;
}

void UpdateControl::startDownload()
{
    if (!urlIsValid()) {
        emit changeLabelTextSignal(tr("Download url is error"));
        return;
    }
    if (!downloader)
        return; // gone after a download error, whose final message ends the run
    threadCount = 2;
    m_downloadFailure = DownloadFailure::None;
    // Caches on the way may serve packets; the manifest and its signature, and a packet
    // whose cached copy failed its digest, are asked for afresh.
    downloader->revalidate = state == ManifestDownloading || state == SignatureDownloading || state == KeyStatementDownloading
        || packetFailedDigest;
    // The manifest, its signature and the key statements are small: a server sending more is cut off as it sends.
    downloader->sizeLimit = state == ManifestDownloading        ? SignedManifest::maxManifestSize
                            : state == SignatureDownloading     ? SignedManifest::maxSignatureSize
                            : state == KeyStatementDownloading ? KeyStatement::maxSize
                                                                : DownloadControl::maxFileSize;
    savePath = updateDir + QLatin1Char('/') + QUrl(currentUrl).fileName(QUrl::FullyDecoded);
    if (downloader->downloadFile(currentUrl, savePath, threadCount))
        return;
    // A probe failure has reported itself; a destination that cannot be written has
    // not, and would leave the run waiting for ever: start the run again instead.
    if (downloader->totalSize >= 0 && !downloader->file && !downloader->hasError
        && downloader->state != DownloadControl::Downloading) {
        qDebug() << "Could not open the download destination, restarting:" << savePath;
        emit reStartUpdateSignal();
    }
}

QByteArray UpdateControl::getLocalFileMd5Value(const QString &path)
{
    return ::getLocalFileMd5Value(path);
}

QString UpdateControl::findMatchFile(const QString &dir, const QByteArray &md5)
{
    QString match;
    const QFileInfoList files = QDir(dir).entryInfoList(QDir::Files);
    for (const QFileInfo &file : files) {
        if (getLocalFileMd5Value(file.absoluteFilePath()) == md5)
            match = dir + QLatin1Char('/') + file.fileName();
    }
    return match;
}

void UpdateControl::cleanSuffixFile(const QString &dir, const QString &suffix)
{
    FileUtils::cleanSuffixFile(dir, suffix);
}

bool UpdateControl::DeleteDirectory(const QString &dir)
{
    return FileUtils::deleteDirectory(dir);
}

void UpdateControl::showDirAllFiles(const QString &dir)
{
    FileUtils::showDirAllFiles(dir);
}

void UpdateControl::UncompressPacket()
{
    qDebug() << "uncompressing";
    emit showMovieSignal();
    emit changeLabelTextSignal(tr("Updating program"));
    unpacker->packetPath = packetPath;
    unpacker->outputDirectory = updateDir;
    outUncompressFilesPath = UpdateManifest::packetFolderName(packetPath);
    qDebug() << "outUncompressFilesPath" << outUncompressFilesPath;
    // Packet names repeat across releases, so a folder left by an earlier run or another
    // release would be installed with this one: every packet unpacks into emptied ground.
    clearUnpackedFolders();
    unpacker->UncompressPacket();
}

void UpdateControl::clearUnpackedFolders()
{
    // Only packets' folders (and links in their place) lie among the downloads and logs.
    const QFileInfoList entries = QDir(updateDir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        QString error;
        if (entry.isSymLink() ? !SafePath::removeBeneath(updateDir, entry.fileName(), &error)
                              : entry.isDir() && !SafePath::removeTreeBeneath(updateDir, entry.fileName(), &error))
            qDebug() << "Could not remove the earlier unpacked folder" << error;
    }
}

void UpdateControl::mainControlSlot()
{
    switch (state) {
    case Start:
        emit changeLabelTextSignal(tr("Preparing configuration file"));
        emit showMovieSignal();
        setState(ManifestDownloading);
        startDownload();
        break;
    case ManifestPresent:
        takeManifest();
        break;
    case SignaturePresent:
        walkToManifestKey();
        break;
    case KeyStatementPresent:
        takeKeyStatement();
        break;
    case FixPacketPresent:
        qDebug() << "download fixUpdatePacket Success";
        verifyAndUnpack(fixUpdatePacketPath, config.fixUpdatePacketMd5, config.fixUpdatePacketSha256, FixPacketUnpacking, "Download FixUpdate Packet md5 is not match",
                        "json: fixUpdatePacket's md5 %1", "file: fixUpdatePacket's md5 %1");
        break;
    case PartialPacketPresent:
        verifyAndUnpack(partialPacketPath, config.partialPacketMd5, config.partialPacketSha256, PartialPacketUnpacking, "Download Partial Packet md5 is not match",
                        "json: PartialPacket's md5 %1", "file: PartialPacket's md5 %1");
        break;
    case ReplacePacketPresent:
        verifyAndUnpack(replacePacketPath, config.replacePacketMd5, config.replacePacketSha256, ReplacePacketUnpacking, "Download Replace Packet md5 is not match",
                        "json: replacePacket's md5 %1", "file: replace Packet's md5 %1");
        break;
    case InstallerPresent: {
        const QByteArray md5 = getLocalFileMd5Value(installerPath);
        if (md5 == config.installerMd5) {
            if (sha256Matches(installerPath, config.installerSha256))
                runInstaller();
        } else {
            qDebug() << "Download installer md5 is not match";
            qDebug() << QStringLiteral("json: installer's md5 %1").arg(QString::fromLatin1(config.installerMd5))
                     << QStringLiteral("file: installer's md5 %1").arg(QString::fromLatin1(md5));
            emit showMessageBoxSignal(finalFailureMessage(), true);
        }
        break;
    }
    case FixPacketUnpacked:
        relaunchFixUpdate();
        break;
    case PartialPacketUnpacked:
        qDebug() << "start patch";
        setState(Patching);
        patcher->patchList = config.patchList;
        patcher->sourceDirectory = installPath;
        patcher->patchDirectory = outUncompressFilesPath;
        patcher->outputDirectory = outUncompressFilesPath;
        patcher->bspatchControl();
        break;
    case ReplacePacketUnpacked:
    case Patched:
        emit callFinisherSignal(outUncompressFilesPath);
        break;
    case PatchFailed:
        useOrDownload(config.replacePacketMd5, ReplacePacketPresent, &replacePacketPath, ReplacePacketDownloading, config.replacePacketUrl);
        break;
    default: // failed unpacking, or called while something is in progress
        emit reStartUpdateSignal();
        break;
    }
}

void UpdateControl::chooseUpdate()
{
    config.configFile = configFilePath;
    if (!QFileInfo::exists(configFilePath)) {
        qDebug() << "Download update config is not exist";
        emit reStartUpdateSignal();
        return;
    }
    if (!rolloutOffers())
        return;

    if (!skipFix) {
        qDebug() << "Check whether get newest update packet";
        if (!config.getFixUpdatePacketInfo(platform)) {
            qDebug() << "Get FixUpdatePacket Info error";
            emit reStartUpdateSignal();
            return;
        }
        for (const QJsonValue &used : qAsConst(config.fixUpdateUesedVersion)) {
            if (used.toString() != version)
                continue;
            fixUpdateDir = installPath + QStringLiteral("/Contents/fixupdate");
            if (!QFileInfo::exists(fixUpdateDir))
                QDir().mkpath(fixUpdateDir);
            const QString found = findMatchFile(updateDir, config.fixUpdatePacketMd5);
            if (!found.isEmpty()) {
                setState(FixPacketPresent);
                fixUpdatePacketPath = found;
                emit downloadSuccessSignal();
            } else {
                currentUrl = config.fixUpdatePacketUrl;
                setState(FixPacketDownloading);
                emit changeLabelTextSignal(tr("Preparing new update program"));
                emit hideMovieSignal();
                startDownload();
            }
            return;
        }
    }

    if (!config.getInstallerInfo(platform)) {
        qDebug() << "Get Installer Info error";
        emit reStartUpdateSignal();
        return;
    }
    if (!config.getPartialPacketInfo(platform, version)) {
        qDebug() << "get PartialPacket Info error";
        useOrDownload(config.installerMd5, InstallerPresent, &installerPath, InstallerDownloading, config.installerUrl);
        return;
    }
    const QString replace = findMatchFile(updateDir, config.replacePacketMd5);
    if (!replace.isEmpty()) {
        setState(ReplacePacketPresent);
        replacePacketPath = replace;
        emit downloadSuccessSignal();
        return;
    }
    useOrDownload(config.partialPacketMd5, PartialPacketPresent, &partialPacketPath, PartialPacketDownloading, config.partialPacketUrl);
}

// A file with the digest already in the download directory is used at once; else it is downloaded.
void UpdateControl::useOrDownload(const QByteArray &md5, int presentState, QString *presentPath, int downloadState,
                                  const QString &url)
{
    const QString found = findMatchFile(updateDir, md5);
    if (!found.isEmpty()) {
        setState(presentState);
        *presentPath = found;
        emit downloadSuccessSignal();
        return;
    }
    currentUrl = url;
    setState(downloadState);
    emit changeLabelTextSignal(tr("Downloading,Please wait"));
    emit hideMovieSignal();
    startDownload();
}

void UpdateControl::verifyAndUnpack(const QString &file, const QByteArray &expected, const QByteArray &expectedSha256,
                                    int next, const char *mismatch, const char *jsonLabel, const char *fileLabel)
{
    const QByteArray md5 = getLocalFileMd5Value(file);
    if (md5 == expected) {
        if (!sha256Matches(file, expectedSha256))
            return;
        packetPath = file;
        setState(next);
        UncompressPacket();
        return;
    }
    qDebug() << mismatch;
    qDebug() << QString::fromLatin1(jsonLabel).arg(QString::fromLatin1(expected))
             << QString::fromLatin1(fileLabel).arg(QString::fromLatin1(md5));
    packetFailedDigest = true;
    emit reStartUpdateSignal();
}

void UpdateControl::takeManifest()
{
    takeManifestBytes(QByteArray()); // nothing of an earlier run's manifest counts
    QString error;
    if (!ReleaseKey::installed(installPath, &releaseKey, &error)) {
        refuseRelease(QStringLiteral("the installed release key is unusable: ") + error);
        return;
    }
    // A manifest that did not arrive is the restart that chooseUpdate() reports.
    if (!releaseKey.isNull() && QFileInfo::exists(configFilePath)) {
        fetchSignature();
        return;
    }
    // Without a key the manifest is read once too: what the hand-off acts on is what was chosen from.
    QByteArray bytes;
    if (UpdateManifest::readFile(configFilePath, &bytes))
        takeManifestBytes(bytes);
    chooseUpdate();
}

void UpdateControl::takeManifestBytes(const QByteArray &bytes)
{
    m_manifestBytes = bytes;
    config.useManifestBytes(bytes);
}

void UpdateControl::fetchSignature()
{
    qDebug() << "Download update signature";
    currentUrl = SignedManifest::signatureUrlOf(updateUrl);
    setState(SignatureDownloading);
    startDownload();
}

// Only the number of the key that signed it is read from the manifest before its exact
// bytes have passed the signature check: it says which hand-overs to fetch.
void UpdateControl::walkToManifestKey()
{
    QString damage;
    // A damaged record loses only the memory of what was accepted; the key walk starts
    // again from the bundle's key, and every statement is verified again.
    if (!m_trust.load(ReleaseTrust::defaultPath(), &damage))
        qDebug().noquote() << QStringLiteral("Release trust record unusable, starting afresh: ") + damage;
    QString error;
    m_walkKey = m_trust.currentKey(releaseKey);
    QByteArray unverified;
    m_walkTarget = m_walkKey.number();
    if (!UpdateManifest::readFile(configFilePath, &unverified)
        || !ReleaseFreshness::claimedKey(unverified, platform, &m_walkTarget, &error)
        || !KeyStatement::checkReach(m_walkKey, m_walkTarget, &error)) {
        refuseRelease(error.isEmpty() ? QStringLiteral("the manifest cannot be read") : error);
        return;
    }
    if (m_walkTarget > m_walkKey.number())
        fetchKeyStatement();
    else if (manifestTrusted())
        chooseUpdate();
}

void UpdateControl::fetchKeyStatement()
{
    const int number = m_walkKey.number() + 1;
    qDebug() << "Download key statement" << number;
    currentUrl = KeyStatement::urlOf(updateUrl, number);
    setState(KeyStatementDownloading);
    startDownload();
}

void UpdateControl::takeKeyStatement()
{
    const int first = m_trust.currentKey(releaseKey).number() + 1;
    QFile file(savePath);
    QByteArray text;
    QString error;
    if (!file.open(QIODevice::ReadOnly) || (text = file.read(KeyStatement::maxSize + 1)).size() > KeyStatement::maxSize) {
        refuseRelease(QStringLiteral("key statement %1 cannot be read").arg(m_walkKey.number() + 1));
        return;
    }
    if (!KeyStatement::verifyStep(text, m_walkKey, &m_walkKey, &error)) {
        refuseRelease(error);
        return;
    }
    if (m_walkKey.number() < m_walkTarget) {
        fetchKeyStatement();
        return;
    }
    qDebug().noquote() << QStringLiteral("Release key %1 reached through key statements %2 to %1").arg(m_walkTarget).arg(first);
    if (manifestTrusted())
        chooseUpdate();
}

bool UpdateControl::manifestTrusted()
{
    QByteArray bytes;
    ReleaseFreshness release;
    QString error;
    QString note;
    if (!m_trust.verifyManifest(m_walkKey, configFilePath, platform, version, QDateTime::currentDateTimeUtc(), &bytes, &release,
                                &error, &note)) {
        refuseRelease(error);
        return false;
    }
    if (!note.isEmpty())
        qDebug().noquote() << note;
    // Accepted now, whatever becomes of the install: a replay of anything older is refused from here on.
    m_trust.accept(release, m_walkKey);
    if (!m_trust.save(ReleaseTrust::defaultPath(), &error)) {
        refuseRelease(QStringLiteral("what this installation accepted cannot be kept: ") + error);
        return false;
    }
    takeManifestBytes(bytes);
    qDebug().noquote() << QStringLiteral("Release %1 accepted: %2").arg(release.releaseVersion, release.describe());
    qDebug() << "Update signature verified";
    return true;
}

bool UpdateControl::sha256Matches(const QString &file, const QByteArray &expected)
{
    if (releaseKey.isNull())
        return true;
    const QByteArray sha256 = getLocalFileSha256Value(file);
    if (!expected.isEmpty() && sha256 == expected)
        return true;
    refuseRelease(QStringLiteral("the SHA-256 of %1 does not match the manifest: json %2, file %3")
                      .arg(QFileInfo(file).fileName(), QString::fromLatin1(expected), QString::fromLatin1(sha256)));
    return false;
}

void UpdateControl::refuseRelease(const QString &reason)
{
    if (checkOnly) {
        emit checkAnsweredSignal(UpdateArguments::CheckFailed, QStringLiteral("error: Update refused: ") + reason);
        return;
    }
    qDebug().noquote() << QStringLiteral("Update refused: ") + reason;
    emit showMessageBoxSignal(finalFailureMessage(), true);
}

bool UpdateControl::rolloutOffers()
{
    QByteArray identifier;
    QString identifierError;
    if (!Rollout::installationIdentifier(DataPaths::dataDirectory(), &identifier, &identifierError))
        identifier.clear();
    const Rollout::Decision decision = Rollout::decide(m_manifestBytes, platform, identifier, identifierError);
    const QString target = Rollout::targetReleaseLine(decision);
    if (target != m_loggedTarget) {
        qDebug().noquote() << target;
        m_loggedTarget = target;
    }
    if (checkOnly) {
        if (ReleaseVersion::isValid(decision.release) && ReleaseVersion::isValid(version)
            && ReleaseVersion::compare(decision.release, version) <= 0)
            emit checkAnsweredSignal(UpdateArguments::UpToDate,
                                     QStringLiteral("up to date: release %1, installed %2").arg(decision.release, version));
        else if (decision.offered)
            emit checkAnsweredSignal(UpdateArguments::Offered, QStringLiteral("offered: release %1, rollout share %2")
                                                                   .arg(decision.release, decision.share.text));
        else
            emit checkAnsweredSignal(UpdateArguments::HeldBack, QStringLiteral("held back: release %1, rollout share %2: %3")
                                                                    .arg(decision.release, decision.share.text, decision.reason));
        return false;
    }
    if (decision.offered)
        return true;
    qDebug().noquote() << Rollout::heldBackLine(decision);
    // As after a finished update, the application the updater stopped runs again.
    const QString application = installPath + QStringLiteral("/Contents/MacOS/Veltora");
    if (!startDetachedProgram(application, {}))
        qDebug() << "Could not start the application again:" << application;
    emit heldBackSignal();
    return false;
}

void UpdateControl::relaunchFixUpdate()
{
    qDebug() << "outUncompressFilesPath" << outUncompressFilesPath;
    if (!copyDirectoryFiles(outUncompressFilesPath, fixUpdateDir)) {
        qDebug() << "copy fixUpdate Files failed";
        emit reStartUpdateSignal();
        return;
    }
    const QString program = fixUpdateDir + QStringLiteral("/Contents/MacOS/update");
    UpdateArguments fixUpdate;
    fixUpdate.version = version;
    fixUpdate.manifestUrl = updateUrl;
    fixUpdate.installPath = installPath;
    fixUpdate.logFileName = logFileName;
    const QStringList arguments = fixUpdate.skipFixArguments();
    qDebug() << "updateProcess" << program;
    qDebug() << "arguments" << arguments;
    if (!startDetachedProgram(program, arguments)) {
        qDebug() << "===========start update failed";
        emit reStartUpdateSignal();
        return;
    }
    qDebug() << "start update";
    emit exitSignal();
}

void UpdateControl::finishedSlot(int index)
{
    if (index != 0 || !downloader || downloader->hasError)
        return;
    switch (state) {
    case ManifestDownloading: setState(ManifestPresent); configFilePath = savePath; break;
    case FixPacketDownloading: setState(FixPacketPresent); fixUpdatePacketPath = savePath; break;
    case PartialPacketDownloading: setState(PartialPacketPresent); partialPacketPath = savePath; break;
    case ReplacePacketDownloading: setState(ReplacePacketPresent); replacePacketPath = savePath; break;
    case InstallerDownloading: setState(InstallerPresent); installerPath = savePath; break;
    case SignatureDownloading: setState(SignaturePresent); break;
    case KeyStatementDownloading: setState(KeyStatementPresent); break;
    default: break;
    }
    emit downloadSuccessSignal();
}

void UpdateControl::scheduleDownloaderDeletion()
{
    // The downloader may still be on our stack (its probe reports from inside
    // downloadFile); hand it to its own thread only once we are back in our loop.
    QPointer<DownloadControl> doomed = downloader;
    QTimer::singleShot(0, this, [doomed] {
        if (doomed)
            doomed->deleteLater();
    });
}

void UpdateControl::DownloadErrorSlot(const QString &errorString, bool isUploadLog)
{
    scheduleDownloaderDeletion();
    if (state == SignatureDownloading) {
        refuseRelease(QStringLiteral("the update signature could not be downloaded: ") + errorString);
        return;
    }
    if (state == KeyStatementDownloading) {
        refuseRelease(QStringLiteral("key statement %1 could not be downloaded: %2").arg(m_walkKey.number() + 1).arg(errorString));
        return;
    }
    // A connection that broke off after part of the file was kept: run again with a
    // fresh downloader, which continues from that part instead of starting over. A
    // file that changed on the server while we continued it starts over the same way.
    // Decided on the kind: the text is for the user, in the user's language.
    const DownloadFailure kind = m_downloadFailure;
    m_downloadFailure = DownloadFailure::None;
    qDebug() << "download error:" << DownloadFailures::name(kind);
    const bool continuable = DownloadFailures::isBrokenConnection(kind) && downloader && downloader->keptNewBytes;
    if (restartCount < Attempts::limit && (continuable || kind == DownloadFailure::ChangedOnServer)) {
        qDebug() << "download broken off, continuing after a restart:" << savePath;
        auto *fresh = new DownloadControl;
        fresh->stallInterval = downloader ? downloader->stallInterval : fresh->stallInterval;
        // Like the first one, it lives on the window's thread.
        fresh->moveToThread(downloader ? downloader->thread() : QCoreApplication::instance()->thread());
        connectDownloader(this, fresh);
        downloader = fresh;
        emit reStartUpdateSignal();
        return;
    }
    emit showMessageBoxSignal(tr("%1").arg(errorString), isUploadLog);
}

void UpdateControl::getDownloadFileSizeErrorSlot(const QString &errorString)
{
    // Every kind of probe failure ends the run: the kind only goes to the log.
    qDebug() << "download size error:" << DownloadFailures::name(m_downloadFailure);
    m_downloadFailure = DownloadFailure::None;
    scheduleDownloaderDeletion();
    if (state == SignatureDownloading) {
        refuseRelease(QStringLiteral("the update signature could not be downloaded: ") + errorString);
        return;
    }
    if (state == KeyStatementDownloading) {
        refuseRelease(QStringLiteral("key statement %1 could not be downloaded: %2").arg(m_walkKey.number() + 1).arg(errorString));
        return;
    }
    emit changeLabelTextSignal(tr("Get download file size error"));
    emit showMessageBoxSignal(tr("%1").arg(errorString), false);
}

void UpdateControl::UncompressPacketSuccessSlot()
{
    // A packet found under another name than its address gives (renamed between
    // releases, left from an earlier download) unpacks into its own one folder.
    const QStringList unpacked = unpacker->topLevelEntries;
    // Only a bundle's tree: a packet built without its top folder must not put MacOS/ at the bundle's root.
    if (!FileUtils::entryExists(outUncompressFilesPath) && unpacked.size() == 1
        && FileUtils::isRealFolder(updateDir + QLatin1Char('/') + unpacked.first())
        && FileUtils::isRealFolder(updateDir + QLatin1Char('/') + unpacked.first() + QStringLiteral("/Contents"))) {
        outUncompressFilesPath = updateDir + QLatin1Char('/') + unpacked.first();
        qDebug() << "The packet unpacked into" << outUncompressFilesPath;
    }
    // The staging folder is acted on as the bundle's own: a link in its place (a link
    // item of the packet) would lead the clean-up and the install anywhere.
    if (FileUtils::entryExists(outUncompressFilesPath) && !FileUtils::isRealFolder(outUncompressFilesPath)) {
        qDebug() << "Refusing the unpacked packet:" << outUncompressFilesPath << "is not a folder";
        UncompressPacketErrorSlot();
        return;
    }
    switch (state) {
    case FixPacketUnpacking: setState(FixPacketUnpacked); qDebug() << "UncompressFixUpdatePacketSuccess "; break;
    case PartialPacketUnpacking: setState(PartialPacketUnpacked); qDebug() << "UncompressPartialPacketSuccess "; break;
    case ReplacePacketUnpacking: setState(ReplacePacketUnpacked); qDebug() << "UncompressReplacePacketSuccess "; break;
    default: break;
    }
    emit uncompressSuccessSignal();
}

void UpdateControl::UncompressPacketErrorSlot()
{
    switch (state) {
    case FixPacketUnpacking: setState(FixPacketUnpackFailed); qDebug() << "UncompressFixUpdatePacketFailed "; break;
    case PartialPacketUnpacking: setState(PartialPacketUnpackFailed); qDebug() << "UncompressPartialPacketFailed "; break;
    case ReplacePacketUnpacking: setState(ReplacePacketUnpackFailed); qDebug() << "UncompressReplacePacketFailed "; break;
    default: break;
    }
    emit uncompressFalilSignal();
}

void UpdateControl::PatchSuccessSlot()
{
    qDebug() << "patch success!";
    setState(Patched);
    emit patchSuccessSignal();
}

void UpdateControl::PatchErrorSlot(const QString &message)
{
    qDebug() << "patch failed:" << message;
    qDebug() << "****<file>*****<filepatch>*****<oldFileMd5>****<newFileMd5>************";
    for (auto it = config.patchList.constBegin(); it != config.patchList.constEnd(); ++it)
        qDebug() << it.key() << it.value().filePatch << it.value().oldFileMd5 << it.value().newFileMd5;
    qDebug() << "**********************************************************************************";
    setState(PatchFailed);
    emit patchFailSignal();
}

void UpdateControl::reStartUpdateSlot()
{
    if (restartCount < Attempts::limit) {
        qDebug() << ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>> ReStart Update";
        currentUrl = updateUrl;
        setState(Start);
        ++restartCount;
        mainControlSlot();
        return;
    }
    emit showMessageBoxSignal(finalFailureMessage(), true);
}

void UpdateControl::runInstaller()
{
    if (startAttempts >= Attempts::limit) {
        emit showMessageBoxSignal(finalFailureMessage(), true);
        return;
    }
    // The disk-image tool gets the path as one argument; no shell ever sees it.
    const QString tool = findPlatformProgram(QStringLiteral("hdiutil"));
    int status = -1;
    if (!tool.isEmpty()) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(tool, {QStringLiteral("attach"), installerPath});
        if (process.waitForStarted() && process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit)
            status = process.exitCode();
    }
    if (status == 0) {
        qDebug() << "start installer success";
        emit exitSignal();
        return;
    }
    qDebug() << "start installer failed";
    ++startAttempts;
    emit callInstallerSignal();
}

void UpdateControl::retryHandOff(const QString &stagingDirectory, const char *text, const QString &path)
{
    ++startAttempts;
    qDebug() << text << path;
    showDirAllFiles(backupPath);
    emit callFinisherSignal(stagingDirectory);
}

void UpdateControl::callFinisher(const QString &stagingDirectory)
{
    if (startAttempts >= Attempts::limit) {
        emit showMessageBoxSignal(finalFailureMessage(), true);
        return;
    }
    InstallTransaction transaction(
        HandOff{installPath, stagingDirectory, logFileName, QFileInfo(configFilePath).fileName(), version});
    backupPath = transaction.backupPath();
    if (!transaction.prepareBackup()) {
        retryHandOff(stagingDirectory, "Copy backup file error :", QStringLiteral("Contents/backup"));
        return;
    }

    if (!skipFix) {
        for (const QString &file : qAsConst(deployFiles)) {
            const QString target = backupPath + QLatin1Char('/') + file;
            QDir().mkpath(QFileInfo(target).absolutePath());
            if (!copyFile(installPath + QLatin1Char('/') + file, target)) {
                retryHandOff(stagingDirectory, "Copy deploy file error:", file);
                return;
            }
        }
        for (const QString &dir : qAsConst(deployDirs)) {
            const QString target = backupPath + QLatin1Char('/') + dir;
            QDir().mkpath(QFileInfo(target).absolutePath());
            DeleteDirectory(target);
            if (!copyDirectoryFiles(installPath + QLatin1Char('/') + dir, target)) {
                retryHandOff(stagingDirectory, "Copy deploy dir error:", dir);
                return;
            }
        }
    }

    // Everything the install will overwrite or remove, in one place with the setup
    // program's and the recovery's own steps.
    transaction.useManifest(m_manifestBytes);
    QString failedEntry;
    if (!transaction.backUp(config.patchList.keys(), &failedEntry)) {
        retryHandOff(stagingDirectory, "Copy backup file error :", failedEntry);
        return;
    }

    cleanSuffixFile(stagingDirectory, QStringLiteral("patch"));
    // A patcher killed half-way leaves its temporary files beside the results.
    FileUtils::cleanPatcherLeftovers(stagingDirectory);
    cleanSuffixFile(backupPath, QStringLiteral("bak"));

    const QString program = skipFix ? installPath + QStringLiteral("/Contents/fixupdate/Contents/MacOS/finisher")
                                    : backupPath + QStringLiteral("/Contents/MacOS/finisher");
    const QStringList arguments = transaction.handOff().arguments();
    qDebug() << "program" << program;
    qDebug() << "arguments" << arguments;
    if (startDetachedProgram(program, arguments)) {
        qDebug() << "start finisher success";
        emit exitSignal();
        return;
    }
    qDebug() << "start finisher failed";
    ++startAttempts;
    emit callFinisherSignal(stagingDirectory);
}
