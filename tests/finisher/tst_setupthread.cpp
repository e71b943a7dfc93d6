#include "DataPaths.h"
#include "InstallJournal.h"
#include "MessageCapture.h"
#include "SetupThread.h"
#include "TestHome.h"
#include "Unprivileged.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "TestFiles.h"

using TestFiles::writeFile;
using TestFiles::readFile;
using TestFiles::modeOf;

namespace {

} // namespace

class TestSetupThread : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void installsIdenticalStaging();
    void installsNewFilesAndAppliesTheLists();
    void deletionsOnlyReleaseInstalls();
    void missingDeleteEntryStillSucceeds();
    void noEntryForTheVersionGivesEmptyLists();
    void listsOutsideTheBundleAreIgnored();
    void firstAttemptRunsOnTheWorkerThread();
    void settingsEdits();
    void settingsOfOtherPlatformsIgnored();
    void settingsFileIsNeverCreated();
    void emptyDeleteKeyIsSkipped();
    void fiveFailedCopiesThenRestore();
    void restoreFailingPartWay();
    void linksInTheBundleAreNeverFollowed();
    void refusalsTouchNothing_data();
    void refusalsTouchNothing();

private:
    QString install() const { return m_home->path() + "/Veltora.app"; }
    QString staging() const { return m_home->updateDirectory() + "/partial-1.0"; }
    void writeManifest(const QJsonObject &mac);
    struct ChildResult
    {
        QString summary;
        QStringList log;
    };
    ChildResult runChild();
    // Locks Contents/MacOS/locked for the unprivileged user, checks the refusal is real,
    // runs the worker as that user and unlocks again.
    void runWithLockedFolder(ChildResult *run);

    std::unique_ptr<TestHome> m_home;
};

void TestSetupThread::init()
{
    m_home = std::make_unique<TestHome>();
    QVERIFY(m_home->isValid());
    m_home->applyToCurrentProcess();
    writeFile(install() + "/Contents/MacOS/Veltora", "old app");
    writeFile(install() + "/Contents/Resources/gone.png", "to be deleted");
    writeFile(install() + "/Contents/Resources/old.bak", "leftover");
    QDir().mkpath(QDir::homePath() + "/.cache/Veltora/QtWebEngine");
    // An install needs something staged; an identical file changes nothing.
    writeFile(staging() + "/Contents/MacOS/Veltora", "old app");
}

void TestSetupThread::writeManifest(const QJsonObject &mac)
{
    writeFile(m_home->updateDirectory() + "/update.json", QJsonDocument(QJsonObject{{"mac", mac}}).toJson());
}

void TestSetupThread::installsIdenticalStaging()
{
    writeFile(staging() + "/Contents/MacOS/Veltora", "old app");
    QVERIFY(QFile::setPermissions(install() + "/Contents/MacOS/Veltora", QFileDevice::Permissions(0x6644)));
    m_home->writeSettings("[Login]\ntoken=secret\nuser=anna\n");
    writeManifest(QJsonObject{{"partialPacket", QJsonObject{{"1.0", QJsonObject{{"modify", QJsonObject{}}}}}},
                              {"veltoraSettings", QJsonObject{{"delete", QJsonArray{"Login/token"}}}}});

    SetupThread worker(install(), staging());
    worker.configFileName = "update.json";
    worker.version = "1.0";
    QSignalSpy success(&worker, &SetupThread::setupSuccessSignal);
    QSignalSpy failed(&worker, &SetupThread::setupFailedSignal);
    MessageCapture log;
    worker.mainControl();
    QCOMPARE(success.count(), 1);
    QCOMPARE(failed.count(), 0);
    QVERIFY(log.contains("copy updateFiles to installFiles success"));
    QCOMPARE(readFile(install() + "/Contents/MacOS/Veltora"), QByteArray("old app"));
    QVERIFY(!QFileInfo::exists(install() + "/Contents/Resources/old.bak"));
    QVERIFY(!QFileInfo::exists(m_home->updateDirectory()));
    QVERIFY(!QFileInfo::exists(QDir::homePath() + "/.cache/Veltora"));
    QCOMPARE(modeOf(install() + "/Contents/MacOS/Veltora"), mode_t(0755));
    QSettings settings(m_home->dataDirectory() + "/settings.ini", QSettings::IniFormat);
    QVERIFY(!settings.contains("Login/token"));
    QCOMPARE(settings.value("Login/user").toString(), QStringLiteral("anna"));
}

void TestSetupThread::installsNewFilesAndAppliesTheLists()
{
    writeFile(staging() + "/Contents/MacOS/Veltora", "new app");
    writeFile(staging() + "/Contents/Resources/new.png", "new picture");
    writeManifest(QJsonObject{{"partialPacket", QJsonObject{{"1.0", QJsonObject{{"modify", QJsonObject{
                      {"delete", QJsonArray{"Contents/Resources/gone.png"}},
                      {"add", QJsonArray{"Contents/Resources/new.png"}}}}}}}}});
    SetupThread worker(install(), staging());
    worker.configFileName = "update.json";
    worker.version = "1.0";
    QSignalSpy success(&worker, &SetupThread::setupSuccessSignal);
    worker.mainControl();
    QCOMPARE(success.count(), 1);
    QCOMPARE(readFile(install() + "/Contents/MacOS/Veltora"), QByteArray("new app"));
    QCOMPARE(readFile(install() + "/Contents/Resources/new.png"), QByteArray("new picture"));
    QVERIFY(!QFileInfo::exists(install() + "/Contents/Resources/gone.png"));
    QCOMPARE(readFile(install() + "/Contents/backup/Contents/Resources/gone.png"), QByteArray("to be deleted"));
    QCOMPARE(worker.addFiles, QJsonArray{"Contents/Resources/new.png"});
}

void TestSetupThread::deletionsOnlyReleaseInstalls()
{
    // The release tool writes the packet's top folder even when no file changes.
    QVERIFY(QDir(staging()).removeRecursively() && QDir().mkpath(staging()));
    writeManifest(QJsonObject{{"partialPacket", QJsonObject{{"1.0", QJsonObject{{"modify", QJsonObject{
                      {"delete", QJsonArray{"Contents/Resources/gone.png", "Contents/Resources"}}}}}}}}});
    SetupThread worker(install(), staging());
    worker.configFileName = "update.json";
    worker.version = "1.0";
    QSignalSpy success(&worker, &SetupThread::setupSuccessSignal);
    MessageCapture log;
    worker.mainControl();
    QCOMPARE(success.count(), 1);
    QVERIFY(!QFileInfo::exists(install() + "/Contents/Resources/gone.png"));
    // A folder in the list is passed over, not a reason to fail.
    QVERIFY(!log.messages().filter("Skipping the folder").isEmpty());
}

void TestSetupThread::missingDeleteEntryStillSucceeds()
{
    writeManifest(QJsonObject{{"partialPacket", QJsonObject{{"1.0", QJsonObject{{"modify", QJsonObject{
                      {"delete", QJsonArray{"Contents/Resources/never-there.png"}}}}}}}}});
    SetupThread worker(install(), staging());
    worker.configFileName = "update.json";
    worker.version = "1.0";
    QSignalSpy success(&worker, &SetupThread::setupSuccessSignal);
    worker.mainControl();
    QCOMPARE(success.count(), 1);
}

void TestSetupThread::noEntryForTheVersionGivesEmptyLists()
{
    writeManifest(QJsonObject{{"partialPacket", QJsonObject{{"0.9", QJsonObject{{"modify", QJsonObject{
                      {"delete", QJsonArray{"Contents/Resources/gone.png"}}}}}}}}});
    SetupThread worker(install(), staging());
    worker.getAddAndDelFiles(m_home->updateDirectory() + "/update.json", "1.0");
    QVERIFY(worker.deleteFiles.isEmpty());
    QVERIFY(worker.addFiles.isEmpty());

    MessageCapture log;
    worker.getAddAndDelFiles(m_home->updateDirectory() + "/missing.json", "1.0");
    QVERIFY(log.contains("Get add and del files,Open update config failed"));
}

void TestSetupThread::listsOutsideTheBundleAreIgnored()
{
    writeFile(m_home->path() + "/precious.txt", "outside the bundle");
    writeManifest(QJsonObject{{"partialPacket", QJsonObject{{"1.0", QJsonObject{{"modify", QJsonObject{
                      {"delete", QJsonArray{"../precious.txt", "", 5, "/etc/hostname"}}}}}}}}});
    SetupThread worker(install(), staging());
    worker.configFileName = "update.json";
    worker.version = "1.0";
    QSignalSpy success(&worker, &SetupThread::setupSuccessSignal);
    worker.mainControl();
    QCOMPARE(success.count(), 1);
    QCOMPARE(readFile(m_home->path() + "/precious.txt"), QByteArray("outside the bundle"));
    QVERIFY(QFileInfo::exists(install() + "/Contents/MacOS/Veltora"));
}

void TestSetupThread::firstAttemptRunsOnTheWorkerThread()
{
    writeManifest(QJsonObject());
    SetupThread worker(install(), staging());
    worker.configFileName = "update.json";
    QThread *ranOn = nullptr;
    connect(&worker, &SetupThread::setupSuccessSignal, this, [&ranOn] { ranOn = QThread::currentThread(); },
            Qt::DirectConnection);
    QSignalSpy success(&worker, &SetupThread::setupSuccessSignal);
    worker.start();
    QVERIFY(success.wait(10000));
    QVERIFY(worker.wait(10000));
    QCOMPARE(ranOn, static_cast<QThread *>(&worker));
}

void TestSetupThread::settingsEdits()
{
    m_home->writeSettings("[General]\nlang=zh\n[Login]\ntoken=secret\nuser=anna\n[Network]\nserver=old\n");
    writeManifest(QJsonObject{{"veltoraSettings", QJsonObject{
                      {"delete", QJsonArray{"Login/token", "Network/server"}},
                      {"add", QJsonObject{{"Network/server", "x"}, {"A", "1"}, {"Flag", true}, {"Count", 3}}}}}});
    SetupThread worker(install(), staging());
    worker.modifyVeltoraSettings(m_home->updateDirectory() + "/update.json");
    QSettings settings(m_home->dataDirectory() + "/settings.ini", QSettings::IniFormat);
    QVERIFY(!settings.contains("Login/token"));
    QCOMPARE(settings.value("Login/user").toString(), QStringLiteral("anna"));
    QCOMPARE(settings.value("Network/server").toString(), QStringLiteral("x")); // deleted, then set
    QCOMPARE(settings.value("A").toString(), QStringLiteral("1"));
    QCOMPARE(settings.value("Flag").toString(), QString());
    QCOMPARE(settings.value("Count").toString(), QString());
    QCOMPARE(settings.value("lang").toString(), QStringLiteral("zh"));

    MessageCapture log;
    worker.modifyVeltoraSettings(m_home->updateDirectory() + "/missing.json");
    QCOMPARE(log.messages(), (QStringList{"\"" + m_home->updateDirectory() + "/missing.json\"",
                                          "Get add and del ini key,Open update config failed"}));
}

void TestSetupThread::settingsOfOtherPlatformsIgnored()
{
    m_home->writeSettings("[Login]\ntoken=secret\n");
    writeFile(m_home->updateDirectory() + "/update.json",
              R"({"win": {"veltoraSettings": {"delete": ["Login/token"], "add": {"A": "1"}}}})");
    SetupThread worker(install(), staging());
    worker.modifyVeltoraSettings(m_home->updateDirectory() + "/update.json");
    QSettings settings(m_home->dataDirectory() + "/settings.ini", QSettings::IniFormat);
    QCOMPARE(settings.value("Login/token").toString(), QStringLiteral("secret"));
    QVERIFY(!settings.contains("A"));
}

void TestSetupThread::settingsFileIsNeverCreated()
{
    writeManifest(QJsonObject{{"veltoraSettings", QJsonObject{{"add", QJsonObject{{"A", "1"}}}}}});
    SetupThread worker(install(), staging());
    worker.modifyVeltoraSettings(m_home->updateDirectory() + "/update.json");
    QVERIFY(!QFileInfo::exists(m_home->dataDirectory() + "/settings.ini"));
}

void TestSetupThread::emptyDeleteKeyIsSkipped()
{
    m_home->writeSettings("[General]\nlang=zh\n[Login]\nuser=anna\n");
    writeManifest(QJsonObject{{"veltoraSettings", QJsonObject{{"delete", QJsonArray{"", QJsonValue(), 7}}}}});
    SetupThread worker(install(), staging());
    MessageCapture log;
    worker.modifyVeltoraSettings(m_home->updateDirectory() + "/update.json");
    QSettings settings(m_home->dataDirectory() + "/settings.ini", QSettings::IniFormat);
    QCOMPARE(settings.value("lang").toString(), QStringLiteral("zh"));
    QCOMPARE(settings.value("Login/user").toString(), QStringLiteral("anna"));
    QCOMPARE(log.messages().count("Skipping an empty or non-text settings key to delete"), 3);
}

TestSetupThread::ChildResult TestSetupThread::runChild()
{
    const QString child = m_home->path() + "/setupthread_child";
    QFile::copy(QStringLiteral(SETUPTHREAD_CHILD), child);
    ChildResult result;
    const QByteArray out = Unprivileged::run(child, {install(), staging(), "update.json", "1.0"}, 120000, m_home->environment());
    for (const QString &line : QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith("LOG "))
            result.log << line.mid(4);
        else
            result.summary = line;
    }
    return result;
}

void TestSetupThread::runWithLockedFolder(ChildResult *run)
{
    const QString locked = install() + "/Contents/MacOS/locked";
    Unprivileged::giveAway(m_home->path());
    QVERIFY(Unprivileged::openFolder(m_home->path()));
    QVERIFY(Unprivileged::lockFolder(locked));
    Unprivileged::run(QStringLiteral("/bin/rm"), {locked + "/f"}, 10000);
    const bool refused = QFileInfo::exists(locked + "/f");
    if (refused)
        *run = runChild();
    Unprivileged::openFolder(locked);
    QVERIFY2(refused, "the unprivileged user could remove the file");
}

void TestSetupThread::fiveFailedCopiesThenRestore()
{
    // The staging directory holds a file the installation will not take (a locked folder),
    // listed after a new file that the failed attempts do write.
    writeFile(install() + "/Contents/MacOS/locked/f", "old f");
    writeFile(install() + "/Contents/backup/Contents/MacOS/locked/f", "old f");
    writeFile(staging() + "/Contents/Frameworks/added.dylib", "added by the update");
    // Added too, though the add list does not name them: the journal does.
    writeFile(staging() + "/Contents/Frameworks/New.framework/New", "a new folder");
    QVERIFY(::symlink("Veltora", QFile::encodeName(staging() + "/Contents/MacOS/alias").constData()) == 0);
    writeFile(staging() + "/Contents/MacOS/locked/f", "new f");
    writeManifest(QJsonObject{{"partialPacket", QJsonObject{{"1.0", QJsonObject{{"modify", QJsonObject{
                      {"add", QJsonArray{"Contents/Frameworks/added.dylib"}}}}}}}}});
    ChildResult run;
    runWithLockedFolder(&run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.summary, QStringLiteral("SUCCESS 0 FAILED 1 RETRIES 5"));
    QVERIFY2(run.log.filter(QRegularExpression("^copy failed: ")).size() == 5, qPrintable(run.log.join('\n')));
    QVERIFY(run.log.contains(" recover success"));
    QVERIFY(!QFileInfo::exists(install() + "/Contents/Frameworks/added.dylib"));
    QVERIFY(!QFileInfo::exists(install() + "/Contents/Frameworks/New.framework"));
    QVERIFY(!QFileInfo(install() + "/Contents/MacOS/alias").isSymLink());
    QVERIFY(!InstallJournal::exists(install()));
    QVERIFY(!QFileInfo::exists(install() + "/Contents/Resources/old.bak"));
    QCOMPARE(readFile(install() + "/Contents/MacOS/locked/f"), QByteArray("old f"));
    QVERIFY(QFileInfo::exists(m_home->updateDirectory() + "/update.json")); // kept for the log upload
}

void TestSetupThread::restoreFailingPartWay()
{
    writeFile(install() + "/Contents/MacOS/locked/f", "old f");
    writeFile(install() + "/Contents/backup/Contents/MacOS/locked/f", "backed up f");
    writeFile(install() + "/Contents/backup/Contents/Resources/z-after.png", "never restored");
    writeFile(staging() + "/Contents/MacOS/locked/f", "new f");
    writeManifest(QJsonObject());
    ChildResult run;
    runWithLockedFolder(&run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.summary, QStringLiteral("SUCCESS 0 FAILED 1 RETRIES 5"));
    QVERIFY(run.log.contains("recover fail"));
    QVERIFY(!run.log.contains(" recover success"));
    QVERIFY(!QFileInfo::exists(install() + "/Contents/Resources/z-after.png"));
}

void TestSetupThread::linksInTheBundleAreNeverFollowed()
{
    // The packet installs links to the user's files; the delete list and the chmod step
    // then meet them.
    const QString outside = m_home->path() + "/Documents";
    writeFile(outside + "/thesis.txt", "the user's work");
    writeFile(outside + "/script.sh", "echo");
    QVERIFY(QFile::setPermissions(outside + "/script.sh", QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(QDir().mkpath(staging() + "/Contents/Resources"));
    // Relative, so that from the installed bundle they lead to the user's Documents (and,
    // not to be dropped as dangling, to a folder of the same name beside the staging folder).
    writeFile(m_home->updateDirectory() + "/Documents/thesis.txt", "staged side");
    writeFile(m_home->updateDirectory() + "/Documents/script.sh", "staged side");
    QVERIFY(::symlink("../../../Documents", QFile::encodeName(staging() + "/Contents/Resources/docs").constData()) == 0);
    QVERIFY(::symlink("../../../Documents/script.sh", QFile::encodeName(staging() + "/Contents/MacOS/helper").constData()) == 0);
    writeManifest(QJsonObject{{"partialPacket", QJsonObject{{"1.0", QJsonObject{{"modify", QJsonObject{
                      {"delete", QJsonArray{"Contents/Resources/docs/thesis.txt"}}}}}}}}});
    SetupThread worker(install(), staging());
    worker.configFileName = "update.json";
    worker.version = "1.0";
    QSignalSpy success(&worker, &SetupThread::setupSuccessSignal);
    MessageCapture log;
    worker.mainControl();
    QCOMPARE(success.count(), 1);
    QVERIFY(QFileInfo(install() + "/Contents/Resources/docs/thesis.txt").isFile()); // the link is real
    QCOMPARE(readFile(outside + "/thesis.txt"), QByteArray("the user's work"));
    QCOMPARE(modeOf(outside + "/script.sh"), mode_t(0600));
    QVERIFY(!log.messages().filter("Refusing delete entry").isEmpty());
}

void TestSetupThread::refusalsTouchNothing_data()
{
    QTest::addColumn<QString>("installSubPath");
    QTest::addColumn<bool>("removeStaging");
    QTest::addColumn<bool>("emptyStaging");
    QTest::newRow("install path without Contents/MacOS") << "/Contents/Resources" << false << false;
    QTest::newRow("staging folder missing") << "" << true << false;
    QTest::newRow("staging folder empty, nothing to delete or edit") << "" << false << true;
}

void TestSetupThread::refusalsTouchNothing()
{
    QFETCH(QString, installSubPath);
    QFETCH(bool, removeStaging);
    QFETCH(bool, emptyStaging);
    writeFile(staging() + "/Contents/MacOS/Veltora", "new app");
    if (removeStaging || emptyStaging)
        QVERIFY(QDir(staging()).removeRecursively());
    if (emptyStaging)
        QVERIFY(QDir().mkpath(staging()));
    writeManifest(emptyStaging ? QJsonObject()
                               : QJsonObject{{"partialPacket", QJsonObject{{"1.0", QJsonObject{{"modify", QJsonObject{
                                     {"delete", QJsonArray{"Contents/Resources/gone.png"}}}}}}}}});
    SetupThread worker(install() + installSubPath, staging());
    worker.configFileName = "update.json";
    worker.version = "1.0";
    QSignalSpy success(&worker, &SetupThread::setupSuccessSignal);
    QSignalSpy failed(&worker, &SetupThread::setupFailedSignal);
    worker.mainControl();
    QCOMPARE(success.count(), 0);
    QCOMPARE(failed.count(), 1);
    // Not even the leftovers are swept.
    QCOMPARE(readFile(install() + "/Contents/Resources/old.bak"), QByteArray("leftover"));
    QCOMPARE(readFile(install() + "/Contents/Resources/gone.png"), QByteArray("to be deleted"));
    QCOMPARE(readFile(install() + "/Contents/MacOS/Veltora"), QByteArray("old app"));
    QVERIFY(QFileInfo::exists(m_home->updateDirectory() + "/update.json"));
}

QTEST_GUILESS_MAIN(TestSetupThread)
#include "tst_setupthread.moc"
