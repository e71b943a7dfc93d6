#include "ReleaseKey.h"
#include "SetupThread.h"
#include "ReleaseFreshness.h"
#include "SignedManifest.h"
#include "TestHome.h"
#include "TestReleaseKey.h"
#include "MessageCapture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include "TestFiles.h"

using TestFiles::readFile;
using TestFiles::writeFile;

// With a release key in the installation the setup program acts on the manifest's
// delete list and settings edits only when the signature holds again.
class TestSetupSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_key.isValid() && m_otherKey.isValid()); }
    void manifestCheckedAgain_data();
    void manifestCheckedAgain();

private:
    TestReleaseKey m_key;
    TestReleaseKey m_otherKey;
};

void TestSetupSignature::manifestCheckedAgain_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("installed");
    QTest::newRow("signed manifest") << "" << true;
    QTest::newRow("manifest changed after signing") << "tamper" << false;
    QTest::newRow("signature missing") << "no signature" << false;
    QTest::newRow("signature of another key") << "other key" << false;
    QTest::newRow("damaged installed key") << "damaged key" << false;
    QTest::newRow("signed, but older than the installed version") << "rollback" << false;
}

void TestSetupSignature::manifestCheckedAgain()
{
    QFETCH(QString, change);
    QFETCH(bool, installed);
    TestHome home;
    home.applyToCurrentProcess();
    const QString install = home.path() + "/Veltora.app";
    const QString staging = home.updateDirectory() + "/partial-1.0";
    const QString manifest = home.updateDirectory() + "/update.json";
    QVERIFY(writeFile(install + "/Contents/MacOS/Veltora", "old app"));
    QVERIFY(writeFile(install + "/Contents/Resources/gone.png", "to be deleted"));
    QVERIFY(writeFile(staging + "/Contents/MacOS/Veltora", "new app"));
    QVERIFY(m_key.installInto(install));
    home.writeSettings("[Login]\ntoken=secret\n");

    const QJsonObject mac{{"partialPacket", QJsonObject{{"1.0", QJsonObject{{"modify", QJsonObject{
                              {"delete", QJsonArray{"Contents/Resources/gone.png"}}}}}}}},
                          {"veltoraSettings", QJsonObject{{"delete", QJsonArray{"Login/token"}}}},
                          {"releaseVersion", change == "rollback" ? "0.9" : "2.0"},
                          {"signedAt", ReleaseFreshness::timeText(QDateTime::currentDateTimeUtc())},
                          {"validUntil", ReleaseFreshness::timeText(QDateTime::currentDateTimeUtc().addDays(14))},
                          {"sequence", 1}};
    QByteArray bytes = QJsonDocument(QJsonObject{{"mac", mac}}).toJson();
    QVERIFY((change == "other key" ? m_otherKey : m_key).writeSigned(manifest, bytes));
    if (change == "tamper")
        QVERIFY(writeFile(manifest, bytes.replace("Login/token", "Login/user!")));
    if (change == "no signature")
        QVERIFY(QFile::remove(SignedManifest::signaturePathOf(manifest)));
    if (change == "damaged key")
        QVERIFY(writeFile(ReleaseKey::bundleKeyPath(install), "####"));

    SetupThread worker(install, staging);
    worker.configFileName = "update.json";
    worker.version = "1.0";
    QSignalSpy success(&worker, &SetupThread::setupSuccessSignal);
    QSignalSpy failed(&worker, &SetupThread::setupFailedSignal);
    MessageCapture log;
    worker.mainControl();
    QCOMPARE(success.count(), installed ? 1 : 0);
    QCOMPARE(failed.count(), installed ? 0 : 1);
    QCOMPARE(log.messages().filter("Update refused: ").size(), installed ? 0 : 1);
    if (change == "rollback")
        QVERIFY(!log.messages().filter("older than the installed version").isEmpty());
    // Refused before anything was copied, deleted or edited.
    QCOMPARE(readFile(install + "/Contents/MacOS/Veltora"), installed ? QByteArray("new app") : QByteArray("old app"));
    QCOMPARE(QFileInfo::exists(install + "/Contents/Resources/gone.png"), !installed);
    QSettings settings(home.dataDirectory() + "/settings.ini", QSettings::IniFormat);
    QCOMPARE(settings.contains("Login/token"), !installed);
}

QTEST_GUILESS_MAIN(TestSetupSignature)
#include "tst_setupsignature.moc"
