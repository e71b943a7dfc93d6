#ifndef VELTORA_UPDATECONTROL_H
#define VELTORA_UPDATECONTROL_H

#include "DownloadFailure.h"
#include "ReleaseKey.h"
#include "ReleaseTrust.h"
#include "Updateconfig.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class BsdiffControl;
class DownloadControl;
class QThread;
class Uncompress;

// One update run of the updater, as a state machine of 23 states: manifest,
// choice of the kind of update, downloads (or files already present with the
// right digest), unpacking, patching, and the hand-off to the setup program or
// the installer. Recoverable failures restart the run, at most five times.
// When the installation carries a release key, two more states fetch and check
// the manifest's signature, and a release that fails a check is refused at once.
// The controller lives in a thread of its own; the window runs state 0 by one
// direct call and hears back through queued signals.
class UpdateControl : public QObject
{
    Q_OBJECT

public:
    // The states of an update run. The numbers are part of the interface: the log,
    // stateChangedSignal and the tests see them.
    enum State : int {
        Start = 0,
        ManifestDownloading = 1,
        ManifestPresent = 2,
        FixPacketDownloading = 3,
        FixPacketPresent = 4,
        PartialPacketDownloading = 5,
        PartialPacketPresent = 6,
        ReplacePacketDownloading = 7,
        ReplacePacketPresent = 8,
        InstallerDownloading = 9,
        InstallerPresent = 10,
        FixPacketUnpacking = 11,
        FixPacketUnpackFailed = 12,
        FixPacketUnpacked = 13,
        PartialPacketUnpacking = 14,
        PartialPacketUnpackFailed = 15,
        PartialPacketUnpacked = 16,
        ReplacePacketUnpacking = 17,
        ReplacePacketUnpackFailed = 18,
        ReplacePacketUnpacked = 19,
        Patching = 20,
        Patched = 21,
        PatchFailed = 22,
        // Signed releases only: the manifest's detached signature, fetched after it.
        SignatureDownloading = 23,
        SignaturePresent = 24,
        // A manifest signed by a later key: the key statements beside it, one at a time.
        KeyStatementDownloading = 25,
        KeyStatementPresent = 26,
    };

    explicit UpdateControl(QObject *parent = nullptr);
    ~UpdateControl() override;

    // "Update error,It will jump to URL <host>..." in this class's translation context.
    static QString finalFailureMessage();

    bool urlIsValid();
    void startDownload();
    QByteArray getLocalFileMd5Value(const QString &path);
    QString findMatchFile(const QString &dir, const QByteArray &md5);
    void UncompressPacket();
    void cleanSuffixFile(const QString &dir, const QString &suffix);
    bool DeleteDirectory(const QString &dir);
    void showDirAllFiles(const QString &dir);

    QString updateUrl;
    QString currentUrl;
    QString platform;
    QString version;
    QString installPath;
    QString logFileName;
    QString updateDir;
    QString backupPath;
    bool skipFix = false;
    Updateconfig config;
    int state = Start;
    BsdiffControl *patcher = nullptr;
    Uncompress *unpacker = nullptr;
    QPointer<DownloadControl> downloader;
    int threadCount = 2;
    QString savePath;
    QString configFilePath;
    QString installerPath;
    QString partialPacketPath;
    QString fixUpdatePacketPath;
    QString replacePacketPath;
    QString fixUpdateDir;
    QString packetPath;
    QString outUncompressFilesPath;
    int startAttempts = 0;
    int restartCount = 0;
    QThread *workerThread = nullptr;
    QStringList deployFiles;
    QStringList deployDirs;
    // Only asks (update --check): the run ends, once the manifest is verified, in
    // checkAnsweredSignal instead of going on to the update.
    bool checkOnly = false;

signals:
    void downloadSuccessSignal();
    void uncompressSuccessSignal();
    void uncompressFalilSignal();
    void patchSuccessSignal();
    void patchFailSignal();
    void callFinisherSignal(const QString &stagingDirectory);
    void callInstallerSignal();
    void progressChangeSignal(int index, qint64 startPoint, qint64 endPoint, qint64 readySize);
    void changeLabelTextSignal(const QString &text);
    void showMessageBoxSignal(const QString &text, bool isUploadLog);
    void showMovieSignal();
    void hideMovieSignal();
    void exitSignal();
    void reStartUpdateSignal();
    // The release's rollout does not include this installation: nothing was installed and
    // the application runs again; the window ends the process with UpdateArguments::HeldBack.
    void heldBackSignal();
    // checkOnly: the answer, an UpdateArguments exit status and its one line.
    void checkAnsweredSignal(int status, const QString &line);
    // Every state entered, for diagnostics and tests.
    void stateChangedSignal(int state);

public slots:
    void finishedSlot(int index);
    void DownloadErrorSlot(const QString &errorString, bool isUploadLog);
    void getDownloadFileSizeErrorSlot(const QString &errorString);
    void UncompressPacketErrorSlot();
    void UncompressPacketSuccessSlot();
    void PatchSuccessSlot();
    void PatchErrorSlot(const QString &message);
    void mainControlSlot();
    void callFinisher(const QString &stagingDirectory);
    void reStartUpdateSlot();
    void runInstaller();

private:
    void setState(int next);
    void chooseUpdate();
    void verifyAndUnpack(const QString &file, const QByteArray &expected, const QByteArray &expectedSha256, int next,
                         const char *mismatch, const char *jsonLabel, const char *fileLabel);
    // Signed releases: the signature after the manifest, its check, the stronger digests.
    void takeManifest();
    void fetchSignature();
    // Walks the vendor's hand-overs from the installation's key to the manifest's, then checks it.
    void walkToManifestKey();
    void fetchKeyStatement();
    void takeKeyStatement();
    bool manifestTrusted();
    bool sha256Matches(const QString &file, const QByteArray &expected);
    // A release that fails its signature checks is final: no retry, no install.
    void refuseRelease(const QString &reason);
    void useOrDownload(const QByteArray &md5, int presentState, QString *presentPath, int downloadState,
                       const QString &url);
    void relaunchFixUpdate();
    // Removes every folder an earlier unpack left in the download folder.
    void clearUnpackedFolders();
    // Retry of the hand-off after a failed copy: count, log, list the backup, run again.
    void retryHandOff(const QString &stagingDirectory, const char *text, const QString &path);
    void scheduleDownloaderDeletion();
    static void connectDownloader(UpdateControl *control, DownloadControl *downloader);
    // The manifest's bytes as read once (and verified, with a key): the choice of the
    // update and the hand-off read these, never the file again.
    void takeManifestBytes(const QByteArray &bytes);
    // The rollout decides before anything is downloaded: false when this run goes no further
    // (held back, or only asked).
    bool rolloutOffers();

    // A downloaded packet failed its digest: later packet downloads bypass caches.
    bool packetFailedDigest = false;
    // The installation's release key; null: unsigned releases are taken, as always.
    // The signature is downloaded beside the manifest, as "<manifest file>.sig".
    ReleaseKey releaseKey;
    // What this installation accepted before (release-trust.json), the key reached so far
    // on the way to the manifest's and the number of that key.
    ReleaseTrust m_trust;
    ReleaseKey m_walkKey;
    int m_walkTarget = 1;
    QByteArray m_manifestBytes;
    // The targetRelease line last logged: one a run, however often it restarts.
    QString m_loggedTarget;
    // The kind of the download failure whose text comes next (see connectDownloader).
    DownloadFailure m_downloadFailure = DownloadFailure::None;
};

#endif
