#include "InstallJournal.h"
#include "InstallRecovery.h"
#include "MessageCapture.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QDir>
#include <QtTest>

using TestFiles::readFile;
using TestFiles::writeFile;

class TestInstallRecovery : public QObject
{
    Q_OBJECT

private slots:
    void interruptedInstall_data();
    void interruptedInstall();
};

void TestInstallRecovery::interruptedInstall_data()
{
    QTest::addColumn<bool>("withRecord");
    QTest::addColumn<int>("phase");
    QTest::addColumn<bool>("stagingKept");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QByteArray>("app");
    QTest::newRow("no record: nothing to do")
        << false << int(InstallJournal::Copying) << true << int(InstallRecovery::NothingToDo) << QByteArray("half new");
    QTest::newRow("cut while copying: finished from the staging folder")
        << true << int(InstallJournal::Copying) << true << int(InstallRecovery::Finished) << QByteArray("new app");
    QTest::newRow("cut while copying, staging gone: restored")
        << true << int(InstallJournal::Copying) << false << int(InstallRecovery::Restored) << QByteArray("old app");
    QTest::newRow("cut in the clean-up: finished")
        << true << int(InstallJournal::Installed) << false << int(InstallRecovery::Finished) << QByteArray("half new");
}

void TestInstallRecovery::interruptedInstall()
{
    QFETCH(bool, withRecord);
    QFETCH(int, phase);
    QFETCH(bool, stagingKept);
    QFETCH(int, outcome);
    QFETCH(QByteArray, app);
    TestHome home;
    home.applyToCurrentProcess();
    const QString install = home.path() + "/Veltora.app";
    const QString staging = home.updateDirectory() + "/partial-1.0";
    // The bundle as a killed install left it: one file replaced half-way, one added,
    // one of the delete list already gone.
    writeFile(install + "/Contents/MacOS/Veltora", "half new");
    writeFile(install + "/Contents/Resources/added/new.png", "added");
    writeFile(install + "/Contents/backup/Contents/MacOS/Veltora", "old app");
    writeFile(install + "/Contents/backup/Contents/Resources/gone.png", "deleted");
    writeFile(home.updateDirectory() + "/update.json",
              R"({"mac": {"partialPacket": {"1.0": {"modify": {"delete": ["Contents/Resources/gone.png"]}}}}})");
    if (stagingKept) {
        writeFile(staging + "/Contents/MacOS/Veltora", "new app");
        writeFile(staging + "/Contents/Resources/added/new.png", "added");
    }
    if (withRecord) {
        InstallJournal journal;
        journal.installPath = install;
        journal.updatePath = staging;
        journal.configFileName = "update.json";
        journal.version = "1.0";
        journal.added = QStringList{"Contents/Resources/added/"};
        journal.phase = InstallJournal::Phase(phase);
        QString error;
        QVERIFY2(journal.write(&error), qPrintable(error));
    }

    MessageCapture log;
    QCOMPARE(int(InstallRecovery::run(install)), outcome);
    QCOMPARE(readFile(install + "/Contents/MacOS/Veltora"), app);
    QVERIFY(!InstallJournal::exists(install));
    const bool restored = outcome == InstallRecovery::Restored;
    QCOMPARE(QFileInfo::exists(install + "/Contents/Resources/added"), !restored);
    QCOMPARE(QFileInfo::exists(install + "/Contents/Resources/gone.png"), restored);
    // A finished install ends like an uninterrupted one: the update data is gone.
    QCOMPARE(QFileInfo::exists(home.updateDirectory()), outcome != InstallRecovery::Finished);
    if (withRecord)
        QVERIFY(!log.messages().filter(install).filter("was interrupted").isEmpty());
}

QTEST_GUILESS_MAIN(TestInstallRecovery)
#include "tst_installrecovery.moc"
