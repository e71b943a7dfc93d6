#include "BundleSnapshot.h"
#include "FileUtils.h"
#include "TestHome.h"
#include "TestHttpServer.h"

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

using BundleSnapshot::processRunning;
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

private:
    struct Run
    {
        int updateExit = -1;
        QString install;
        QStringList log;
    };
    // Installs the old bundle in a fresh home and runs its updater until the setup program is done.
    Run runUpdate(TestHome &home, const QString &manifestUrl, const QString &version = QStringLiteral("1.0"),
                  const std::function<void(const QString &)> &prepare = {});
    void checkNewVersionInstalled(const TestHome &home, const Run &run);
    QString url(const QString &path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path); }

    QTemporaryDir m_work;
    QString m_old;
    QString m_new;
    quint16 m_port = 0;
    TestHttpServer m_proxy;
};

void TestEndToEnd::initTestCase()
{
    if (QStandardPaths::findExecutable("nginx").isEmpty() && !QFileInfo::exists("/usr/sbin/nginx"))
        QSKIP("nginx is not installed");
    QVERIFY(m_work.isValid());
    QVERIFY(m_proxy.listen());
    m_proxy.serveContent("/api/file.api.php", "stored");
    const QString work = m_work.path();
    m_old = work + "/bundles/1.0/Veltora.app";
    m_new = work + "/bundles/2.0/Veltora.app";
    QVERIFY(run("bash", {SOURCE_DIR "/scripts/make-bundle.sh", BUILD_DIR, m_old, APP_OLD, "1.0"}));
    QVERIFY(run("bash", {SOURCE_DIR "/scripts/make-bundle.sh", BUILD_DIR, m_new, APP_NEW, "2.0"}));
    // Content that changes between the versions: a folder that sorts first, a file that
    // goes, one that comes, a name with blanks and umlauts.
    writeFile(m_old + "/Contents/Assets/data.txt", "assets of 1.0");
    writeFile(m_new + "/Contents/Assets/data.txt", "assets of 2.0");
    writeFile(m_old + "/Contents/Resources/removed.txt", "only in 1.0");
    writeFile(m_new + "/Contents/Resources/added.txt", "only in 2.0");
    writeFile(m_old + QStringLiteral("/Contents/Resources/Grüße aus 1.txt"), "hello");
    writeFile(m_new + QStringLiteral("/Contents/Resources/Grüße aus 1.txt"), "hello again");
    writeFile(work + "/Veltora-2.0.dmg", "the disk image of 2.0");
    writeFile(work + "/settings.json", R"({"delete": ["Login/token"], "add": {"Network/server": "updated"}})");

    QDir().mkpath(work + "/www/mac");
    QDir().mkpath(work + "/www/fix");
    QString output;
    QVERIFY2(run("bash", {SOURCE_DIR "/scripts/nginx-serve.sh", "start", work + "/www", work + "/nginx"}, &output, 30000),
             qPrintable(output));
    m_port = quint16(output.trimmed().toUInt());
    QVERIFY(m_port > 0);

    for (const auto &[folder, fix] : {std::pair{QStringLiteral("mac"), QString()}, std::pair{QStringLiteral("fix"), QStringLiteral("1.0")}}) {
        QStringList arguments{"--new", m_new, "--old", "1.0=" + m_old, "--base-url", url("/" + folder), "--out",
                              work + "/www/" + folder, "--installer", work + "/Veltora-2.0.dmg", "--settings", work + "/settings.json"};
        if (!fix.isEmpty())
            arguments << "--fix-versions" << fix;
        QVERIFY2(run(RELEASE_TOOL, arguments, &output), qPrintable(output));
    }
}

void TestEndToEnd::cleanupTestCase()
{
    run("bash", {SOURCE_DIR "/scripts/nginx-serve.sh", "stop", m_work.path() + "/nginx"});
}

TestEndToEnd::Run TestEndToEnd::runUpdate(TestHome &home, const QString &manifestUrl, const QString &version,
                                          const std::function<void(const QString &)> &prepare)
{
    Run result;
    result.install = home.path() + "/Applications/Veltora Test.app";
    QDir().mkpath(home.path() + "/Applications");
    if (!run("cp", {"-a", m_old, result.install}))
        return result;
    home.addRecordingStub("killall");
    home.addRecordingStub("xdg-open");
    home.writeSettings("[General]\nCatUpdateLog=true\n[Login]\ntoken=secret\nuser=anna\n");
    QDir().mkpath(home.desktopDirectory());
    QDir().mkpath(QDir(home.path()).filePath(".cache/Veltora"));
    if (prepare)
        prepare(result.install);

    QProcessEnvironment env = home.environment();
    env.insert("VELTORA_MESSAGEBOX_AUTOCLOSE_MS", "0");
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    env.insert("http_proxy", QStringLiteral("http://127.0.0.1:%1").arg(m_proxy.port()));
    env.insert("no_proxy", "127.0.0.1,localhost");
    QProcess update;
    update.setProcessEnvironment(env);
    QSignalSpy done(&update, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    update.start(result.install + "/Contents/MacOS/update", {version, manifestUrl, "*" + result.install + "*"});
    if (!done.wait(300000))
        return result;
    result.updateExit = update.exitCode();

    // The setup program runs on after the updater; wait until every program of the bundle is gone.
    QElapsedTimer timer;
    timer.start();
    while (processRunning(result.install) && timer.elapsed() < 300000)
        QTest::qWait(100);
    const QStringList logs = QDir(home.desktopDirectory()).entryList({"update_*.log"}, QDir::Files);
    if (logs.size() == 1)
        result.log = QString::fromUtf8(readFile(home.desktopDirectory() + "/" + logs.first())).split("\r\n", Qt::SkipEmptyParts);
    return result;
}

void TestEndToEnd::checkNewVersionInstalled(const TestHome &home, const Run &run)
{
    QCOMPARE(run.updateExit, 0);
    QCOMPARE(treeOf(run.install), treeOf(m_new));
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
    m_proxy.clearRequests();
    const Run result = runUpdate(home, url("/mac/update.json"), "1.0", [&](const QString &install) {
        locked = install + "/" + lockedFolder;
        run("chattr", {"+i", locked});
    });
    run("chattr", {"-i", locked});
    QCOMPARE(result.updateExit, 0);
    QCOMPARE(result.log.filter(QRegularExpression("copy failed: .*" + QRegularExpression::escape(refusedFile))).size(), 5);
    QVERIFY(!result.log.filter(" recover success").isEmpty());
    QCOMPARE(treeOf(result.install), treeOf(m_old));
    QTRY_COMPARE(m_proxy.requestsFor("POST").size(), 1);
    QCOMPARE(m_proxy.requestsFor("POST").first().target,
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

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
