#include "HandOff.h"
#include "InstallJournal.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "TextProbe.h"
#include "UpdateArguments.h"
#include "UserSettings.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTranslator>
#include <QtTest>

namespace {

const QString stars(76, QLatin1Char('*'));
const char logTimePattern[] = R"(\(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\))";

struct RunResult
{
    int exitCode = -2;
    QByteArray errorOutput;
};

// With `drawnTexts`, what the program draws is recorded there, and the final box
// stays long enough to be drawn.
RunResult runUpdate(const TestHome &home, const QStringList &arguments, const QString &drawnTexts = QString())
{
    QProcess process;
    QProcessEnvironment env = home.environment();
    env.insert(QStringLiteral("VELTORA_MESSAGEBOX_AUTOCLOSE_MS"), drawnTexts.isEmpty() ? QStringLiteral("0") : QStringLiteral("2000"));
    if (!drawnTexts.isEmpty())
        TextProbe::enable(&env, drawnTexts);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(UPDATE_BINARY), arguments);
    RunResult result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -3;
    result.errorOutput = process.readAllStandardError();
    return result;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The log lines of one file, without tag, level and time.
QStringList logMessages(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QRegularExpression prefix(QStringLiteral("^##update##Debug: %1 ").arg(QLatin1String(logTimePattern)));
    QStringList messages;
    for (QString line : QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
        const auto match = prefix.match(line);
        messages << (match.hasMatch() ? line.mid(match.capturedLength()) : QStringLiteral("UNEXPECTED: ") + line);
    }
    return messages;
}

QStringList banner(const QString &userName, const QString &version, const QString &installPath, const QString &url)
{
    return {stars,
            QStringLiteral("******** userName:  \"%1\"").arg(userName),
            QStringLiteral("******** VeltoraVersion:  \"%1\"").arg(version),
            QStringLiteral("******** systemInfo: \"mac\""),
            stars,
            QStringLiteral("installPath \"%1\"").arg(installPath),
            QStringLiteral("downloadurl \"%1\"").arg(url)};
}

} // namespace

class TestUpdateStartup : public QObject
{
    Q_OBJECT

private slots:
    void parsesTheThreeForms_data();
    void parsesTheThreeForms();
    void manifestAddress_data();
    void manifestAddress();
    void settingsChooseTheCatalogue();
    void chineseReachesTheScreen();

    void wrongArgumentCountStopsTheApplicationOnly_data();
    void wrongArgumentCountStopsTheApplicationOnly();
    void writesTheBanner_data();
    void writesTheBanner();
    void catUpdateLogMovesTheLogToTheDesktop();
    void failedRecoveryStopsTheRun_data();
    void failedRecoveryStopsTheRun();
};

void TestUpdateStartup::parsesTheThreeForms_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("installPath");
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QString>("logFileName");
    QTest::addColumn<bool>("skipFix");

    QTest::newRow("four") << QStringList{"update", "1.5.0", "http://h/u.json", "*/Applications/Veltora.app*"}
                          << "1.5.0" << "http://h/u.json" << "/Applications/Veltora.app" << ""
                          << "update_mac_1.5.0_2024.05.06-13.45.10.123.log" << false;
    QTest::newRow("five") << QStringList{"update", "1.5.0", "http://h/u.json", "/Apps/V.app", "anna"}
                          << "1.5.0" << "http://h/u.json" << "/Apps/V.app" << "anna"
                          << "update_anna_mac_1.5.0_2024.05.06-13.45.10.123.log" << false;
    QTest::newRow("six") << QStringList{"update", "-skipfix", "1.5.0", "http://h/u.json", "*/My Apps/V.app*", "earlier.log"}
                         << "1.5.0" << "http://h/u.json" << "/My Apps/V.app" << "" << "earlier.log" << true;
    QTest::newRow("six, first word not examined")
        << QStringList{"update", "whatever", "2.0", "http://h/u.json", "/V.app", "run.log"}
        << "2.0" << "http://h/u.json" << "/V.app" << "" << "run.log" << true;
}

void TestUpdateStartup::parsesTheThreeForms()
{
    QFETCH(QStringList, arguments);
    const QDateTime now(QDate(2024, 5, 6), QTime(13, 45, 10, 123));
    const UpdateArguments start = UpdateArguments::parse(arguments, now);
    QTEST(start.version, "version");
    QTEST(start.manifestUrl, "url");
    QTEST(start.installPath, "installPath");
    QTEST(start.userName, "userName");
    QTEST(start.logFileName, "logFileName");
    QTEST(start.skipFix, "skipFix");
    QCOMPARE(start.platform, QStringLiteral("mac"));
}

void TestUpdateStartup::manifestAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("expected");
    QTest::newRow("dmg") << "http://h/mac/setup.dmg" << "http://h/mac/setup.dmg.json";
    QTest::newRow("exe") << "http://h/win/setup.exe" << "http://h/win/setup.exe.json";
    QTest::newRow("upper-case suffix stays") << "http://h/mac/setup.DMG" << "http://h/mac/setup.DMG";
    QTest::newRow("json stays") << "http://h/mac/update.json" << "http://h/mac/update.json";
    QTest::newRow("query after the path") << "http://h/setup.exe?channel=beta" << "http://h/setup.exe?channel=beta.json";
    QTest::newRow("suffix of a folder only") << "http://h/setup.dmg/manifest" << "http://h/setup.dmg/manifest";
    QTest::newRow("no suffix") << "http://h/update" << "http://h/update";
    QTest::newRow("suffix containing dmg") << "http://h/setup.dmgx" << "http://h/setup.dmgx";
}

void TestUpdateStartup::manifestAddress()
{
    QFETCH(QString, address);
    QFETCH(QString, expected);
    QCOMPARE(UpdateArguments::manifestAddress(address), expected);
}

void TestUpdateStartup::settingsChooseTheCatalogue()
{
    TestHome home;
    QVERIFY(home.isValid());
    home.applyToCurrentProcess();

    UserSettings missing = UserSettings::read();
    QVERIFY(missing.lang.isEmpty());
    QVERIFY(!missing.catUpdateLog);
    QVERIFY(missing.catalogue().isEmpty());

    home.writeSettings(QStringLiteral("lang=en\nCatUpdateLog=true\n"));
    UserSettings english = UserSettings::read();
    QVERIFY(english.catUpdateLog);
    QVERIFY(english.catalogue().isEmpty());

    home.writeSettings(QStringLiteral("lang=zh\n"));
    const UserSettings chinese = UserSettings::read();
    QCOMPARE(chinese.catalogue(), QStringLiteral(":/en_ch.qm"));

    QTranslator *translator = installCatalogue(QCoreApplication::instance(), chinese.catalogue());
    QCOMPARE(QCoreApplication::translate("UpdateWidget", "update"), QStringLiteral("更新"));
    QCOMPARE(QCoreApplication::translate("MessageBox", "No"), QStringLiteral("取消"));
    QCOMPARE(QCoreApplication::translate("DownloadControl",
                                         "The download file  is not found,please check the download url"),
             QStringLiteral("下载文件未找到,请检查下载地址"));
    QCOMPARE(QCoreApplication::translate("DownloadThread",
                                         "Your broadband service provider hijacked the download address, please "
                                         "download the latest version from <" VELTORA_VENDOR_HOST ">"),
             QStringLiteral("您的宽带服务提供商劫持下载地址,请从<" VELTORA_VENDOR_HOST ">下载最新版本"));
    QCOMPARE(QCoreApplication::translate("UpdateControl",
                                         "Update error,It will jump to URL <" VELTORA_VENDOR_HOST
                                         ">.You can download newest version.Note that anti-virus software may "
                                         "intercept to jumping mistakenly"),
             QStringLiteral("升级错误,将会跳转到\"" VELTORA_VENDOR_HOST "\".你可以下载最新版本.注意杀毒软件可能会拦截跳转."));
    // "%1" has no translation: the source text comes back.
    QCOMPARE(QCoreApplication::translate("UpdateControl", "%1"), QStringLiteral("%1"));
    QCoreApplication::removeTranslator(translator);
    delete translator;
}

// The catalogue is built into the program and installed by its start-up, and the
// status line can be read: its font has the glyphs (a CJK font is installed).
void TestUpdateStartup::chineseReachesTheScreen()
{
    TestHome home;
    home.addRecordingStub(QStringLiteral("killall"));
    home.writeSettings(QStringLiteral("lang=zh\n"));
    const QString record = home.path() + QStringLiteral("/drawn.txt");
    const RunResult run = runUpdate(home, {"-skipfix", "1.5.0", "http://127.0.0.1:9/u.json", "/tmp/V.app", "run.log"}, record);
    QVERIFY2(run.exitCode == 255, run.errorOutput.constData());
    const QString status = QStringLiteral("正在准备配置文件"); // "Preparing configuration file"
    bool drawn = false;
    for (const TextProbe::DrawnText &text : TextProbe::read(record)) {
        if (text.text == status) {
            drawn = true;
            QVERIFY2(text.hasGlyphs, "the status line's font has no glyphs for it");
        }
    }
    QVERIFY2(drawn, qPrintable(QFile::exists(record) ? QString::fromUtf8(readAll(record)) : QStringLiteral("nothing drawn")));
}

void TestUpdateStartup::wrongArgumentCountStopsTheApplicationOnly_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("three") << QStringList{"1.5.0", "http://127.0.0.1:9/u.json"};
    QTest::newRow("seven") << QStringList{"-skipfix", "1.5.0", "http://127.0.0.1:9/u.json", "/V.app", "a.log", "x"};
    QTest::newRow("one") << QStringList{};
}

void TestUpdateStartup::wrongArgumentCountStopsTheApplicationOnly()
{
    QFETCH(QStringList, arguments);
    TestHome home;
    home.addRecordingStub(QStringLiteral("killall"));
    const RunResult run = runUpdate(home, arguments);
    QCOMPARE(run.exitCode, 255);
    QCOMPARE(home.stubCalls(QStringLiteral("killall")), QList<QStringList>{QStringList{"Veltora"}});
    QVERIFY(!QFileInfo::exists(home.updateDirectory()));
}

void TestUpdateStartup::writesTheBanner_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("logPattern");
    QTest::addColumn<QStringList>("expected");

    const QString ts = QStringLiteral(R"(\d{4}\.\d\d\.\d\d-\d\d\.\d\d\.\d\d\.\d{3})");
    QTest::newRow("four") << QStringList{"1.5.0", "http://127.0.0.1:9/mac/setup.dmg", "*/tmp/Veltora Test.app*"}
                          << QStringLiteral("^update_mac_1\\.5\\.0_%1\\.log$").arg(ts)
                          << banner("", "1.5.0", "/tmp/Veltora Test.app", "http://127.0.0.1:9/mac/setup.dmg.json");
    QTest::newRow("five") << QStringList{"1.5.0", "http://127.0.0.1:9/u.json", "/tmp/V.app", "anna"}
                          << QStringLiteral("^update_anna_mac_1\\.5\\.0_%1\\.log$").arg(ts)
                          << banner("anna", "1.5.0", "/tmp/V.app", "http://127.0.0.1:9/u.json");
    QTest::newRow("six") << QStringList{"-skipfix", "1.5.0", "http://127.0.0.1:9/u.json", "*/tmp/V.app*", "run.log"}
                         << QStringLiteral("^run\\.log$")
                         << banner("", "1.5.0", "/tmp/V.app", "http://127.0.0.1:9/u.json");
}

void TestUpdateStartup::writesTheBanner()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, logPattern);
    QFETCH(QStringList, expected);

    TestHome home;
    home.addRecordingStub(QStringLiteral("killall"));
    // Nothing listens on port 9: the run ends with its final message, accepted at once.
    const RunResult run = runUpdate(home, arguments);
    QVERIFY2(run.exitCode == 255, run.errorOutput.constData());
    QCOMPARE(home.stubCalls(QStringLiteral("killall")), QList<QStringList>{QStringList{"Veltora"}});

    const QStringList logs = QDir(home.updateDirectory()).entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    QVERIFY2(QRegularExpression(logPattern).match(logs.first()).hasMatch(), qPrintable(logs.first()));
    const QStringList messages = logMessages(home.updateDirectory() + QLatin1Char('/') + logs.first());
    QCOMPARE(messages.mid(0, expected.size()), expected);
    QVERIFY(messages.contains(QStringLiteral("get files sizes==== http_status:  0")));
}

void TestUpdateStartup::catUpdateLogMovesTheLogToTheDesktop()
{
    TestHome home;
    home.addRecordingStub(QStringLiteral("killall"));
    home.writeSettings(QStringLiteral("[General]\nCatUpdateLog=true\n"));
    QVERIFY(QDir().mkpath(home.desktopDirectory()));

    const RunResult run = runUpdate(home, {"-skipfix", "1.5.0", "http://127.0.0.1:9/u.json", "/tmp/V.app", "run.log"});
    QCOMPARE(run.exitCode, 255);
    QCOMPARE(logMessages(home.desktopDirectory() + QStringLiteral("/run.log")).mid(0, 2),
             (QStringList{stars, QStringLiteral("******** userName:  \"\"")}));
    // The default log directory is still created; it is the download directory too.
    QVERIFY(QFileInfo(home.updateDirectory()).isDir());
    QVERIFY(QDir(home.updateDirectory()).entryList(QDir::Files).isEmpty());
}

void TestUpdateStartup::failedRecoveryStopsTheRun_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("updater") << QStringLiteral(UPDATE_BINARY);
    QTest::newRow("setup program") << QStringLiteral(FINISHER_BINARY);
}

// An interrupted install whose backup cannot be put back (the disk is full): the
// program says so and ends on the final message; nothing new starts, and the journal
// and the backup stay for the next start.
void TestUpdateStartup::failedRecoveryStopsTheRun()
{
    QFETCH(QString, program);
    TestHome home;
    home.addRecordingStub(QStringLiteral("killall"));
    home.addRecordingStub(QStringLiteral("xdg-open"));
    const QString install = home.path() + QStringLiteral("/Veltora.app");
    const QString staging = home.updateDirectory() + QStringLiteral("/partial-1.0");
    const QByteArray oldApp = QByteArray("old app ").repeated(40000);
    QVERIFY(TestFiles::writeFile(install + "/Contents/MacOS/Veltora", "half new"));
    QVERIFY(TestFiles::writeFile(install + "/Contents/backup/Contents/MacOS/Veltora", oldApp));
    QVERIFY(TestFiles::writeFile(staging + "/Contents/Resources/new.txt", "staged by a new update"));
    QVERIFY(TestFiles::writeFile(home.updateDirectory() + "/update.json", "{}"));
    const HandOff handOff{install, staging, QStringLiteral("run.log"), QStringLiteral("update.json"), QStringLiteral("1.0")};
    InstallJournal journal; // the earlier install's staging folder is gone
    journal.handOff = HandOff{install, home.updateDirectory() + "/partial-0.9", handOff.logFileName, "update.json", "1.0"};
    QString error;
    QVERIFY2(journal.write(&error), qPrintable(error));

    QProcess process;
    QProcessEnvironment env = home.environment();
    env.insert(QStringLiteral("VELTORA_MESSAGEBOX_AUTOCLOSE_MS"), QStringLiteral("0"));
    process.setProcessEnvironment(env);
    {
        const TestFiles::FileSizeLimit fullDisk(64 * 1024); // the child inherits it
        process.start(program, program == QLatin1String(UPDATE_BINARY)
                                   ? QStringList{"-skipfix", "1.0", "http://127.0.0.1:9/u.json", "*" + install + "*", "run.log"}
                                   : handOff.arguments());
        QVERIFY(process.waitForStarted());
    }
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 255);
    QVERIFY(InstallJournal::exists(install));
    QCOMPARE(TestFiles::readFile(install + "/Contents/backup/Contents/MacOS/Veltora"), oldApp);
    QVERIFY(!QFileInfo::exists(install + "/Contents/Resources/new.txt"));
    const QString log = QString::fromUtf8(readAll(home.updateDirectory() + "/run.log"));
    QVERIFY2(log.contains("could be neither finished nor undone"), qPrintable(log));
    QVERIFY2(!log.contains("get files sizes"), qPrintable(log)); // no manifest was asked for
}

QTEST_MAIN(TestUpdateStartup)
#include "tst_updatestartup.moc"
