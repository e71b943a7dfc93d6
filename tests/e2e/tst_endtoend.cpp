#include "BundleSnapshot.h"
#include "FileUtils.h"
#include "ReleaseSigner.h"
#include "TestHome.h"
#include "UpdateSite.h"
#include "WholeUpdate.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "TestFiles.h"

using TestFiles::writeFile;
using TestFiles::readFile;

using BundleSnapshot::run;
using BundleSnapshot::treeOf;

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void partialUpdate();
    void alteredFileTakesTheReplacePacket();
    void unknownVersionOpensTheInstaller();
    void updaterFixFirst();
    void unwritableInstallationIsRestored_data();
    void unwritableInstallationIsRestored();
    void manifestThroughRedirects();
    void signedPartialUpdate();
    void signedReleaseRefused_data();
    void signedReleaseRefused();

private:
    using Run = WholeUpdate::Result;
    // Installs the old bundle in a fresh home and runs its updater until the setup program is done.
    Run runUpdate(TestHome &home, const QString &manifestUrl, const QString &version = QStringLiteral("1.0"),
                  const std::function<void(const QString &)> &prepare = {}, const QString &installFrom = QString());
    void checkNewVersionInstalled(const TestHome &home, const Run &run, const QString &expected = QString());
    // The signed release and what an attacker on the way makes of it.
    void publishSigned();
    QString url(const QString &path) const { return m_site.url(path); }

    QString m_old;
    QString m_new;
    // Bundles that carry the vendor's public release key.
    QString m_oldSigned;
    QString m_newSigned;
    UpdateSite m_site;
};

void TestEndToEnd::initTestCase()
{
    VELTORA_START_UPDATE_SITE(m_site, APP_OLD, APP_NEW);
    QString output;
    const QString work = m_site.work();
    m_old = m_site.oldBundle();
    m_new = m_site.newBundle();
    m_oldSigned = work + "/bundles/1.0-signed/Veltora.app";
    m_newSigned = work + "/bundles/2.0-signed/Veltora.app";
    QVERIFY2(run(RELEASE_TOOL, {"--generate-key", work + "/keys"}, &output), qPrintable(output));
    for (const auto &[old, fresh, key] : {std::tuple{m_old, m_new, QString()},
                                          std::tuple{m_oldSigned, m_newSigned, QString(work + "/keys/release-signing-key.pub")}}) {
        if (!key.isEmpty()) {
            QVERIFY(UpdateSite::makeBundle(old, APP_OLD, "1.0", key));
            QVERIFY(UpdateSite::makeBundle(fresh, APP_NEW, "2.0", key));
        }
        QCOMPARE(QFileInfo::exists(old + "/Contents/Resources/release-signing-key.pub"), !key.isEmpty());
        // Content that changes between the versions: a folder that sorts first, a file that
        // goes, one that comes, a name with blanks and umlauts.
        writeFile(old + "/Contents/Assets/data.txt", "assets of 1.0");
        writeFile(fresh + "/Contents/Assets/data.txt", "assets of 2.0");
        writeFile(old + "/Contents/Resources/removed.txt", "only in 1.0");
        writeFile(fresh + "/Contents/Resources/added.txt", "only in 2.0");
        writeFile(old + QStringLiteral("/Contents/Resources/Grüße aus 1.txt"), "hello");
        writeFile(fresh + QStringLiteral("/Contents/Resources/Grüße aus 1.txt"), "hello again");
    }
    writeFile(work + "/Veltora-2.0.dmg", "the disk image of 2.0");
    writeFile(work + "/settings.json", R"({"delete": ["Login/token"], "add": {"Network/server": "updated"}})");

    QDir().mkpath(work + "/www/mac");
    QDir().mkpath(work + "/www/fix");

    for (const auto &[folder, fix] : {std::pair{QStringLiteral("mac"), QString()}, std::pair{QStringLiteral("fix"), QStringLiteral("1.0")}}) {
        QStringList arguments{"--new", m_new, "--old", "1.0=" + m_old, "--base-url", url("/" + folder), "--out",
                              work + "/www/" + folder, "--installer", work + "/Veltora-2.0.dmg", "--settings", work + "/settings.json"};
        if (!fix.isEmpty())
            arguments << "--fix-versions" << fix;
        QVERIFY2(run(RELEASE_TOOL, arguments, &output), qPrintable(output));
    }
    publishSigned();
}

void TestEndToEnd::publishSigned()
{
    const QString www = m_site.www();
    const QString key = m_site.work() + "/keys/release-signing.key";
    QString output;
    // The genuine release 2.0, its version taken from the bundle.
    QVERIFY2(run(RELEASE_TOOL, {"--new", m_newSigned, "--old", "1.0=" + m_oldSigned, "--base-url", url("/signed"), "--out",
                                www + "/signed", "--installer", m_site.work() + "/Veltora-2.0.dmg", "--settings",
                                m_site.work() + "/settings.json", "--signing-key", key},
                 &output),
             qPrintable(output));
    const QByteArray manifest = readFile(www + "/signed/update.json");
    const QByteArray signature = readFile(www + "/signed/update.json.sig");
    QVERIFY(manifest.contains("\"releaseVersion\": \"2.0\""));

    // A changed settings edit under the genuine signature.
    QVERIFY(writeFile(www + "/t-manifest/update.json", QByteArray(manifest).replace("\"updated\"", "\"hijacked\"")));
    QVERIFY(writeFile(www + "/t-manifest/update.json.sig", signature));
    // Their own packet, its MD5 rewritten in the manifest, the genuine signature beside it.
    const QByteArray evil = readFile(www + "/signed/2.0/replace-1.0.pkt");
    QVERIFY(writeFile(www + "/t-packet/partial-1.0.pkt", evil));
    const QByteArray genuineMd5 = getLocalFileMd5Value(www + "/signed/2.0/partial-1.0.pkt");
    QVERIFY(manifest.contains(genuineMd5));
    QVERIFY(writeFile(www + "/t-packet/update.json",
                      QByteArray(manifest)
                          .replace(genuineMd5, getLocalFileMd5Value(www + "/t-packet/partial-1.0.pkt"))
                          .replace("/signed/2.0/partial-1.0.pkt", "/t-packet/partial-1.0.pkt")));
    QVERIFY(writeFile(www + "/t-packet/update.json.sig", signature));
    // The genuine manifest without its signature.
    QVERIFY(writeFile(www + "/t-nosig/update.json", manifest));
    // A genuine older release, signed by the vendor in its day, replayed.
    ReleaseSigner vendor;
    QString error;
    QVERIFY2(vendor.load(key, &error), qPrintable(error));
    const QByteArray older = QByteArray(manifest).replace("\"releaseVersion\": \"2.0\"", "\"releaseVersion\": \"0.9\"");
    QVERIFY(writeFile(www + "/t-old/update.json", older));
    QVERIFY(writeFile(www + "/t-old/update.json.sig", vendor.sign(older)));
}

void TestEndToEnd::cleanupTestCase()
{
    m_site.stop();
}

TestEndToEnd::Run TestEndToEnd::runUpdate(TestHome &home, const QString &manifestUrl, const QString &version,
                                          const std::function<void(const QString &)> &prepare, const QString &installFrom)
{
    WholeUpdate::Options options;
    options.version = version;
    options.proxyPort = m_site.relay().port();
    options.prepare = prepare;
    return WholeUpdate::run(home, installFrom.isEmpty() ? m_old : installFrom, manifestUrl, options);
}

void TestEndToEnd::checkNewVersionInstalled(const TestHome &home, const Run &run, const QString &expected)
{
    QCOMPARE(run.updateExit, 0);
    QCOMPARE(treeOf(run.install), treeOf(expected.isEmpty() ? m_new : expected));
    QSettings settings(home.dataDirectory() + "/settings.ini", QSettings::IniFormat);
    QVERIFY(!settings.contains("Login/token"));
    QCOMPARE(settings.value("Network/server").toString(), QStringLiteral("updated"));
    QCOMPARE(settings.value("Login/user").toString(), QStringLiteral("anna"));
    QVERIFY(!QFileInfo::exists(home.updateDirectory()));
    QVERIFY(!QFileInfo::exists(home.path() + "/.cache/Veltora"));

    // One log: the updater's lines, then the setup program's.
    QVERIFY(!run.log.isEmpty());
    const int firstFinisher = run.log.indexOf(QRegularExpression("^##finisher##.*"));
    QVERIFY(firstFinisher > 0);
    QVERIFY(run.log.mid(0, firstFinisher).filter(QRegularExpression("^##update##")).size() == firstFinisher);
    QVERIFY(run.log.mid(firstFinisher).filter(QRegularExpression("^##finisher##")).size() == run.log.size() - firstFinisher);
    QVERIFY(run.log.at(firstFinisher).endsWith(") start setup"));
}

void TestEndToEnd::partialUpdate()
{
    TestHome home;
    const Run result = runUpdate(home, url("/mac/update.json"));
    checkNewVersionInstalled(home, result);
    QVERIFY(!result.log.filter("start patch").isEmpty());
    QVERIFY(!result.log.filter("patch success!").isEmpty());
    QVERIFY(result.log.filter("partial-1.0.pkt").size() > 0);
    QVERIFY(result.log.filter("UncompressReplacePacketSuccess").isEmpty());
}

void TestEndToEnd::alteredFileTakesTheReplacePacket()
{
    TestHome home;
    const Run result = runUpdate(home, url("/mac/update.json"), "1.0", [](const QString &install) {
        writeFile(install + "/Contents/MacOS/Veltora", "changed by the user");
        ::chmod(QFile::encodeName(install + "/Contents/MacOS/Veltora").constData(), 0755);
    });
    checkNewVersionInstalled(home, result);
    QVERIFY(!result.log.filter("patch failed:").isEmpty());
    QVERIFY(!result.log.filter("UncompressReplacePacketSuccess").isEmpty());
}

void TestEndToEnd::unknownVersionOpensTheInstaller()
{
    TestHome home;
    const Run result = runUpdate(home, url("/mac/update.json"), "0.5");
    QCOMPARE(result.updateExit, 0);
    const QString image = home.updateDirectory() + "/Veltora-2.0.dmg";
    QCOMPARE(readFile(image), QByteArray("the disk image of 2.0"));
    QTRY_COMPARE(home.stubCalls("xdg-open"), QList<QStringList>{QStringList{image}});
    QCOMPARE(treeOf(result.install), treeOf(m_old));
}

void TestEndToEnd::updaterFixFirst()
{
    TestHome home;
    const Run result = runUpdate(home, url("/fix/update.json"));
    checkNewVersionInstalled(home, result);
    QVERIFY(QFileInfo(result.install + "/Contents/fixupdate/Contents/MacOS/update").isExecutable());
    QVERIFY(!result.log.filter("-skipfix").isEmpty());
    QVERIFY(!result.log.filter(result.install + "/Contents/fixupdate/Contents/MacOS/finisher").isEmpty());
}

void TestEndToEnd::unwritableInstallationIsRestored_data()
{
    QTest::addColumn<QString>("lockedFolder");
    QTest::addColumn<QString>("refusedFile");
    // Nothing is written before the refusal.
    QTest::newRow("folder that sorts first") << "Contents/Assets" << "Contents/Assets/data.txt";
    // Frameworks, programs and resources are written before it: the restore undoes them.
    QTest::newRow("folder that sorts last") << "Contents/Resources" << "Contents/Resources/added.txt";
}

void TestEndToEnd::unwritableInstallationIsRestored()
{
    QFETCH(QString, lockedFolder);
    QFETCH(QString, refusedFile);
    if (::geteuid() != 0)
        QSKIP("making a folder immutable needs root");
    TestHome home;
    QString locked;
    m_site.relay().clearRequests();
    const Run result = runUpdate(home, url("/mac/update.json"), "1.0", [&](const QString &install) {
        locked = install + "/" + lockedFolder;
        run("chattr", {"+i", locked});
    });
    run("chattr", {"-i", locked});
    QCOMPARE(result.updateExit, 0);
    QCOMPARE(result.log.filter(QRegularExpression("copy failed: .*" + QRegularExpression::escape(refusedFile))).size(), 5);
    QVERIFY(!result.log.filter(" recover success").isEmpty());
    QCOMPARE(treeOf(result.install), treeOf(m_old));
    QTRY_COMPARE(m_site.relay().requestsFor("POST").size(), 1);
    QCOMPARE(m_site.relay().requestsFor("POST").first().target,
             QByteArray("http://" VELTORA_VENDOR_HOST "/api/file.api.php?action=putFailedData"));
}

void TestEndToEnd::manifestThroughRedirects()
{
    TestHome home;
    const Run result = runUpdate(home, url("/r1/mac/update.json"));
    checkNewVersionInstalled(home, result);
    // Three answers for the size probe, and three for each of the two ranged requests.
    QCOMPARE(result.log.filter(">>>>>>>redirect url").size(), 9);
}

void TestEndToEnd::signedPartialUpdate()
{
    TestHome home;
    const Run result = runUpdate(home, url("/signed/update.json"), "1.0", {}, m_oldSigned);
    checkNewVersionInstalled(home, result, m_newSigned);
    QVERIFY(!result.log.filter("start patch").isEmpty());
    // Checked by the updater before reading the manifest, and by the setup program before acting on it.
    QCOMPARE(result.log.filter(QRegularExpression("^##update##.*Update signature verified$")).size(), 1);
    QCOMPARE(result.log.filter(QRegularExpression("^##finisher##.*Update signature verified$")).size(), 1);
}

void TestEndToEnd::signedReleaseRefused_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("reason");
    QTest::newRow("tampered manifest") << "t-manifest" << "the signature does not match";
    QTest::newRow("tampered packet") << "t-packet" << "the signature does not match";
    QTest::newRow("missing signature") << "t-nosig" << "the update signature could not be downloaded";
    QTest::newRow("older signed release") << "t-old" << "release 0.9 is older than the installed version 1.0";
}

// Refused at once: the bundle and the settings stay as they were, the log says why and
// goes to the vendor, nothing is retried.
void TestEndToEnd::signedReleaseRefused()
{
    QFETCH(QString, folder);
    QFETCH(QString, reason);
    TestHome home;
    m_site.relay().clearRequests();
    const Run result = runUpdate(home, url("/" + folder + "/update.json"), "1.0", {}, m_oldSigned);
    QVERIFY(result.updateExit != 0);
    QCOMPARE(treeOf(result.install), treeOf(m_oldSigned));
    QVERIFY2(!result.log.filter(QRegularExpression("^##update##.*Update refused: " + QRegularExpression::escape(reason))).isEmpty(),
             qPrintable(result.log.join('\n')));
    QVERIFY(result.log.filter(">>>>>>>>>>>>>>>>>>>>>>>>>>>>>> ReStart Update").isEmpty());
    QVERIFY(result.log.filter("##finisher##").isEmpty());
    QSettings settings(home.dataDirectory() + "/settings.ini", QSettings::IniFormat);
    QCOMPARE(settings.value("Login/token").toString(), QStringLiteral("secret"));
    QTRY_COMPARE(m_site.relay().requestsFor("POST").size(), 1);
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
