#include "BundleSnapshot.h"
#include "HandOff.h"
#include "InstallJournal.h"
#include "InstallRecovery.h"
#include "InstallTransaction.h"
#include "Logging.h"
#include "MessageCapture.h"
#include "ReleaseFreshness.h"
#include "ReleaseKey.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "TestReleaseKey.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <memory>

using TestFiles::readFile;
using TestFiles::writeFile;

class TestInstallRecovery : public QObject
{
    Q_OBJECT

private slots:
    void interruptedInstall_data();
    void interruptedInstall();
    void kindChangesAreUndone_data();
    void kindChangesAreUndone();
    void handOffRoundTrips();
};

// What a row does to the scene a killed install left.
enum Scene {
    NoRecord,
    Plain,
    StagingGone,
    UnsignedOnSignedInstall, // the manifest would delete the key and edit settings
    StagingOutsideUpdateData,
    BackupCannotBeWritten,
    BackupIsALink,     // Contents/backup leads outside the bundle
    AddedNamesContents, // a damaged record claims the install made Contents/
    SignedCutBeforeExpiry, // a signed release, valid when the install began, expired since
    SignedCutAfterExpiry,  // the same release, the install begun after it expired
};

void TestInstallRecovery::interruptedInstall_data()
{
    QTest::addColumn<int>("scene");
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QByteArray>("app");
    const int copying = InstallJournal::Copying;
    QTest::newRow("no record: nothing to do") << int(NoRecord) << copying << int(InstallRecovery::NothingToDo) << QByteArray("half new");
    QTest::newRow("cut while copying: finished from the staging folder")
        << int(Plain) << copying << int(InstallRecovery::Finished) << QByteArray("new app");
    QTest::newRow("cut while copying, staging gone: restored")
        << int(StagingGone) << copying << int(InstallRecovery::Restored) << QByteArray("old app");
    QTest::newRow("cut in the clean-up: finished")
        << int(StagingGone) << int(InstallJournal::Installed) << int(InstallRecovery::Finished) << QByteArray("half new");
    QTest::newRow("unsigned manifest on a signed installation: restored, not finished")
        << int(UnsignedOnSignedInstall) << copying << int(InstallRecovery::Restored) << QByteArray("old app");
    QTest::newRow("staging folder outside the update data: restored, nothing copied from it")
        << int(StagingOutsideUpdateData) << copying << int(InstallRecovery::Restored) << QByteArray("old app");
    QTest::newRow("backup cannot be put back: record and backup kept")
        << int(BackupCannotBeWritten) << copying << int(InstallRecovery::Failed) << QByteArray("<missing>");
    QTest::newRow("backup folder a link out of the bundle: nothing restored from it")
        << int(BackupIsALink) << copying << int(InstallRecovery::Failed) << QByteArray("half new");
    QTest::newRow("added list naming Contents/: restored, the bundle kept")
        << int(AddedNamesContents) << copying << int(InstallRecovery::Restored) << QByteArray("old app");
    QTest::newRow("signed release expired since the install began: finished")
        << int(SignedCutBeforeExpiry) << copying << int(InstallRecovery::Finished) << QByteArray("new app");
    QTest::newRow("install begun after its release expired: restored")
        << int(SignedCutAfterExpiry) << copying << int(InstallRecovery::Restored) << QByteArray("old app");
}

void TestInstallRecovery::interruptedInstall()
{
    QFETCH(int, scene);
    QFETCH(int, phase);
    QFETCH(int, outcome);
    QFETCH(QByteArray, app);
    TestHome home;
    home.applyToCurrentProcess();
    const QString install = home.path() + "/Veltora.app";
    const QString staging = scene == StagingOutsideUpdateData ? QString(home.path() + "/elsewhere/partial-1.0")
                                                              : QString(home.updateDirectory() + "/partial-1.0");
    const QString keyFile = ReleaseKey::bundleKeyPath(install);
    // The bundle as a killed install left it: one file replaced half-way, one added,
    // one of the delete list already gone.
    writeFile(install + "/Contents/MacOS/Veltora", "half new");
    writeFile(install + "/Contents/Resources/added/new.png", "added");
    const QByteArray oldApp = scene == BackupCannotBeWritten ? QByteArray("old app").repeated(1000) : QByteArray("old app");
    const QString backup = scene == BackupIsALink ? QString(home.path() + "/elsewhere") : QString(install + "/Contents/backup");
    writeFile(backup + "/Contents/MacOS/Veltora", oldApp);
    writeFile(backup + "/Contents/Resources/gone.png", "deleted");
    if (scene == BackupIsALink)
        QVERIFY(QFile::link(backup, install + "/Contents/backup"));
    home.writeSettings("lang=en\n");
    QJsonObject modify{{"delete", QJsonArray{"Contents/Resources/gone.png"}}};
    QJsonObject platform{{"partialPacket", QJsonObject{{"1.0", QJsonObject{{"modify", modify}}}}}};
    TestReleaseKey key;
    if (scene == UnsignedOnSignedInstall) {
        QVERIFY(key.isValid() && key.installInto(install));
        modify.insert("delete", QJsonArray{"Contents/Resources/gone.png", QString("Contents/Resources/" + ReleaseKey::fileName())});
        platform = {{"partialPacket", QJsonObject{{"1.0", QJsonObject{{"modify", modify}}}}},
                    {"veltoraSettings", QJsonObject{{"add", QJsonObject{{"planted", "yes"}}}}}};
    }
    const bool signedRelease = scene == SignedCutBeforeExpiry || scene == SignedCutAfterExpiry;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (signedRelease) {
        // Valid from twenty days ago until six days ago.
        platform.insert("releaseVersion", "2.0");
        platform.insert("signedAt", ReleaseFreshness::timeText(now.addDays(-20)));
        platform.insert("validUntil", ReleaseFreshness::timeText(now.addDays(-6)));
        platform.insert("sequence", 1);
        QVERIFY(key.isValid() && key.installInto(install));
        QVERIFY(key.writeSigned(home.updateDirectory() + "/update.json", QJsonDocument(QJsonObject{{"mac", platform}}).toJson()));
    } else {
        writeFile(home.updateDirectory() + "/update.json", QJsonDocument(QJsonObject{{"mac", platform}}).toJson());
    }
    const bool stagingGone = scene == StagingGone || scene == BackupCannotBeWritten || scene == BackupIsALink
        || scene == AddedNamesContents;
    if (!stagingGone) {
        writeFile(staging + "/Contents/MacOS/Veltora", "new app");
        writeFile(staging + "/Contents/Resources/added/new.png", "added");
    }
    // This run's log lies in the update data folder, which a finished install removes.
    logFileName = "this-run.log";
    updateAppdataPath = home.updateDirectory();
    writeFile(home.updateDirectory() + "/this-run.log", "banner\n");
    if (scene != NoRecord) {
        InstallJournal journal;
        journal.handOff = HandOff{install, staging, logFileName, "update.json", "1.0"};
        journal.added = QStringList{scene == AddedNamesContents ? "Contents/" : "Contents/Resources/added/"};
        journal.written = QStringList{"Contents/MacOS/Veltora", "Contents/Resources/added/new.png"};
        journal.phase = InstallJournal::Phase(phase);
        if (signedRelease)
            journal.begunAt = now.addDays(scene == SignedCutBeforeExpiry ? -10 : -2);
        QString error;
        QVERIFY2(journal.write(&error), qPrintable(error));
    }

    MessageCapture log;
    std::unique_ptr<TestFiles::FileSizeLimit> fullDisk;
    if (scene == BackupCannotBeWritten)
        fullDisk = std::make_unique<TestFiles::FileSizeLimit>(1000);
    QCOMPARE(int(InstallRecovery::run(install)), outcome);
    fullDisk.reset();
    QCOMPARE(readFile(install + "/Contents/MacOS/Veltora"), app);
    const bool failed = outcome == InstallRecovery::Failed;
    QCOMPARE(InstallJournal::exists(install), failed);
    QCOMPARE(readFile(backup + "/Contents/MacOS/Veltora"), oldApp);
    if (failed)
        return;
    const bool restored = outcome == InstallRecovery::Restored;
    QCOMPARE(QFileInfo::exists(install + "/Contents/Resources/added"), !restored || scene == AddedNamesContents);
    QCOMPARE(QFileInfo::exists(install + "/Contents/Resources/gone.png"), restored);
    // An unverified manifest deletes nothing and edits nothing.
    if (scene == UnsignedOnSignedInstall) {
        QVERIFY(QFileInfo::exists(keyFile));
        QVERIFY(!readFile(home.dataDirectory() + "/settings.ini").contains("planted"));
        QVERIFY(!log.messages().filter("Update refused: ").isEmpty());
    }
    // A finished install ends like an uninterrupted one: the update data is gone, but
    // for the log of the run that finished it.
    QCOMPARE(QFileInfo::exists(home.updateDirectory() + "/update.json"), outcome != InstallRecovery::Finished);
    QVERIFY(QFileInfo::exists(home.updateDirectory() + "/this-run.log"));
    if (scene != NoRecord)
        QVERIFY(!log.messages().filter(install).filter("was interrupted").isEmpty());
}

void TestInstallRecovery::kindChangesAreUndone_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("a folder becomes a file") << "folder>file";
    QTest::newRow("a file becomes a folder") << "file>folder";
    QTest::newRow("a link becomes a file") << "link>file";
    // The copy writes the content, then the mode: a kill between the two leaves this.
    QTest::newRow("a file copied but for its mode") << "mode";
    // A packet without modes must not strip the bits of a file it does not change.
    QTest::newRow("an unchanged file keeps its own mode") << "unchanged";
}

// The hand-off's backup, the install and a late failure's restore, through the steps
// both programs share: the old tree comes back byte for byte.
void TestInstallRecovery::kindChangesAreUndone()
{
    QFETCH(QString, change);
    TestHome home;
    home.applyToCurrentProcess();
    const QString install = home.path() + "/Veltora.app";
    const QString staging = home.updateDirectory() + "/partial-1.0";
    const QString subject = "/Contents/Resources/subject";
    writeFile(install + "/Contents/MacOS/Veltora", "old app");
    writeFile(staging + "/Contents/MacOS/Veltora", "new app");
    if (change == "folder>file") {
        writeFile(install + subject + "/a.png", "old a");
        writeFile(install + subject + "/deep/.hidden", "old hidden");
        writeFile(staging + subject, "new file");
    } else if (change == "file>folder") {
        writeFile(install + subject, "old file");
        writeFile(staging + subject + "/a.png", "new a");
    } else if (change == "mode" || change == "unchanged") {
        writeFile(install + subject, change == "mode" ? "old content" : "same content");
        writeFile(staging + subject, "same content");
        QVERIFY(QFile::setPermissions(install + subject, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    } else {
        writeFile(install + "/Contents/Resources/target.png", "target");
        QVERIFY(QFile::link("target.png", install + subject));
        writeFile(staging + subject, "new file");
    }
    writeFile(home.updateDirectory() + "/update.json", "{}");
    const QStringList before = BundleSnapshot::treeOf(install);
    InstallTransaction transaction(HandOff{install, staging, "run.log", "update.json", "1.0"});
    transaction.useManifest("{}");

    QString error;
    QVERIFY2(transaction.prepareBackup() && transaction.backUp({}, &error), qPrintable(error));
    QVERIFY2(transaction.begin(&error), qPrintable(error));
    if (change == "mode")
        writeFile(install + subject, "same content"); // the content went in; the kill came before the mode
    QVERIFY(transaction.overlay());
    QCOMPARE(readFile(install + "/Contents/MacOS/Veltora"), QByteArray("new app"));
    QCOMPARE(BundleSnapshot::treeOf(install).filter("/subject"),
             (change == "unchanged" ? before : BundleSnapshot::treeOf(staging)).filter("/subject"));
    QVERIFY(transaction.restore());
    QCOMPARE(BundleSnapshot::treeOf(install), before);
}

void TestInstallRecovery::handOffRoundTrips()
{
    TestHome home;
    const HandOff handOff{home.path() + "/My Apps/Veltora.app", home.updateDirectory() + "/partial 1.0", "2026-12-08 update.log",
                          "update.json", "1.0"};
    QStringList arguments = handOff.arguments();
    QCOMPARE(arguments.size(), 5);
    QCOMPARE(arguments.first(), "*" + handOff.installPath + "*");
    HandOff read;
    QVERIFY(HandOff::fromArguments(arguments, &read));
    QCOMPARE(read, handOff);
    QVERIFY(!HandOff::fromArguments(arguments.mid(1), &read));

    InstallJournal journal;
    journal.handOff = handOff;
    QString error;
    QVERIFY2(journal.write(&error), qPrintable(error));
    InstallJournal stored;
    QVERIFY2(stored.read(handOff.installPath, &error), qPrintable(error));
    QCOMPARE(stored.handOff, handOff);
}

QTEST_GUILESS_MAIN(TestInstallRecovery)
#include "tst_installrecovery.moc"
