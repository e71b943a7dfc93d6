#include "BusyIndicator.h"
#include "Finisher.h"
#include "FinalPathRun.h"
#include "TestHome.h"
#include "TestHttpServer.h"
#include "TextProbe.h"
#include "UserSettings.h"
#include "ui_Finisher.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include "TestFiles.h"

using TestFiles::writeFile;
using TestFiles::readFile;

namespace {

// With `drawnTexts`, what the program draws is recorded there, and its box stays
// long enough to be drawn.
int runFinisher(const TestHome &home, const QStringList &arguments, const QString &drawnTexts = QString())
{
    QProcess process;
    QProcessEnvironment env = home.environment();
    env.insert("VELTORA_MESSAGEBOX_AUTOCLOSE_MS", drawnTexts.isEmpty() ? "0" : "2000");
    if (!drawnTexts.isEmpty())
        TextProbe::enable(&env, drawnTexts);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(FINISHER_BINARY), arguments);
    if (!process.waitForFinished(60000))
        return -2;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -3;
}

} // namespace

class TestFinisher : public QObject
{
    Q_OBJECT

private slots:
    void wrongArgumentCount_data();
    void wrongArgumentCount();
    void installsAndRemovesTheUpdateData();
    void catUpdateLogWritesOnTheDesktop();
    void form();
    void finalPaths_data();
    void finalPaths();
    // Last: its success path tells the application to quit.
    void translatorComesAfterTheWindow();
    void chineseReachesTheScreen();
};

void TestFinisher::wrongArgumentCount_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("four") << QStringList{"*/a*", "*/b*", "x.log", "update.json"};
    QTest::newRow("six") << QStringList{"*/a*", "*/b*", "x.log", "update.json", "1.0", "extra"};
}

void TestFinisher::wrongArgumentCount()
{
    QFETCH(QStringList, arguments);
    TestHome home;
    home.addRecordingStub("killall");
    QCOMPARE(runFinisher(home, arguments), 255);
    QCOMPARE(home.stubCalls("killall"), (QList<QStringList>{QStringList{"Veltora", "update"}}));
    QVERIFY(!QFileInfo::exists(home.updateDirectory()));
}

void TestFinisher::installsAndRemovesTheUpdateData()
{
    TestHome home;
    home.addRecordingStub("killall");
    const QString install = home.path() + "/My Apps/Veltora.app";
    const QString staging = home.updateDirectory() + "/partial-1.0";
    writeFile(install + "/Contents/MacOS/Veltora", "old");
    writeFile(staging + "/Contents/MacOS/Veltora", "new");
    writeFile(home.updateDirectory() + "/update.json", "{}");
    writeFile(home.updateDirectory() + "/run.log", "##update##Debug: (2024-05-06 13:45:10.123) start finisher success\r\n");

    QCOMPARE(runFinisher(home, {"*" + install + "*", "*" + staging + "*", "run.log", "update.json", "1.0"}), 0);
    QCOMPARE(readFile(install + "/Contents/MacOS/Veltora"), QByteArray("new"));
    // Success removes the update data directory, and the default log with it.
    QVERIFY(!QFileInfo::exists(home.updateDirectory()));
    QCOMPARE(home.stubCalls("killall"), (QList<QStringList>{QStringList{"Veltora", "update"}}));
}

void TestFinisher::catUpdateLogWritesOnTheDesktop()
{
    TestHome home;
    home.addRecordingStub("killall");
    home.writeSettings("[General]\nCatUpdateLog=true\n");
    QDir().mkpath(home.desktopDirectory());
    const QString install = home.path() + "/Veltora.app";
    writeFile(install + "/Contents/MacOS/Veltora", "same");
    writeFile(home.updateDirectory() + "/partial-1.0/Contents/MacOS/Veltora", "same");
    writeFile(home.desktopDirectory() + "/run.log", "##update##Debug: (2024-05-06 13:45:10.123) before\r\n");

    QCOMPARE(runFinisher(home, {"*" + install + "*", "*" + home.updateDirectory() + "/partial-1.0*", "run.log",
                                "update.json", "1.0"}), 0);
    const QStringList lines = QString::fromUtf8(readFile(home.desktopDirectory() + "/run.log")).split("\r\n", Qt::SkipEmptyParts);
    QVERIFY(lines.size() > 3);
    QVERIFY(lines.first().startsWith("##update##"));
    const QRegularExpression finisherLine(R"(^##finisher##Debug: \(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\) )");
    for (const QString &line : lines.mid(1))
        QVERIFY2(finisherLine.match(line).hasMatch(), qPrintable(line));
    QVERIFY(lines.at(1).endsWith(") start setup"));
    QVERIFY(lines.indexOf(QRegularExpression(".*copy updateFiles to installFiles success$")) > 0);
}

void TestFinisher::form()
{
    Finisher window;
    QCOMPARE(window.size(), QSize(200, 150));
    QCOMPARE(window.ui->playLabel->geometry(), QRect(60, 20, 80, 80));
    QCOMPARE(window.ui->stateLabel->geometry(), QRect(15, 110, 180, 20));
    QCOMPARE(window.ui->backLabel->geometry(), QRect(0, 0, 200, 150));
    QCOMPARE(window.windowTitle(), QStringLiteral("Veltora update"));
    QCOMPARE(window.progressIndicator->parentWidget(), window.ui->playLabel);
    QVERIFY(window.progressIndicator->isAnimated());
    QCOMPARE(window.progressIndicator->color(), QColor(Qt::white));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QImage shot = window.grab().toImage();
    shot.save("finisher.png");
    const QColor panel = shot.pixelColor(5, 140);
    QCOMPARE(panel.alpha(), 170); // black at alpha 170 over nothing
    QCOMPARE(panel.red(), 0);
}

void TestFinisher::finalPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("events");
    QTest::newRow("installation failed: upload, message, web site") << "failed" << 255 << QStringList{"upload", "box", "open"};
    QTest::newRow("worker message: message only") << "message" << 255 << QStringList{"box"};
    QTest::newRow("success: message, then the loop quits") << "succeeded" << 0 << QStringList{"box"};
}

void TestFinisher::finalPaths()
{
    QFETCH(QString, path);
    QFETCH(int, exitCode);
    QFETCH(QStringList, events);
    // Only the failure path opens the web site, which needs a real display.
    const bool opensTheSite = events.contains("open");
    if (opensTheSite && !FinalPathRun::realDisplayAvailable())
        QSKIP("xvfb-run is not installed");
    const FinalPathRun::Result result = FinalPathRun::run(QStringLiteral(FINISHER_WINDOW_CHILD), {path, "run.log"},
                                                          "update and finisher lines\r\n", opensTheSite);
    QVERIFY(result.ran);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.events, events);
    if (opensTheSite) {
        QVERIFY(result.uploads.first().body.contains("update and finisher lines\r\n"));
        QCOMPARE(result.opened, QList<QStringList>{QStringList{Finisher::vendorSite()}});
    }
}

void TestFinisher::translatorComesAfterTheWindow()
{
    TestHome home;
    home.applyToCurrentProcess();
    home.writeSettings("lang=zh\n");
    const QString install = home.path() + "/Veltora.app";
    writeFile(install + "/Contents/MacOS/Veltora", "same");
    writeFile(home.updateDirectory() + "/partial-1.0/Contents/MacOS/Veltora", "same");

    Finisher window;
    window.show();
    QTranslator *translator = installCatalogue(QCoreApplication::instance(), UserSettings::read().catalogue());
    QCOMPARE(window.windowTitle(), QStringLiteral("Veltora update")); // set while constructing: English
    window.installPath = install;
    window.updatePath = home.updateDirectory() + "/partial-1.0";
    window.configFileName = "update.json";
    window.version = "1.0";

    qputenv("VELTORA_MESSAGEBOX_AUTOCLOSE_MS", "200");
    bool hiddenAndStopped = false;
    QString boxText;
    window.startSetup();
    QCOMPARE(window.ui->stateLabel->text(), QStringLiteral("正在安装新文件..."));
    // While the final box is up, the window is hidden and its spinner stopped.
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto *box = QApplication::activeModalWidget()) {
            hiddenAndStopped = !window.isVisible() && !window.progressIndicator->isAnimated();
            boxText = box->findChildren<QLabel *>().last()->text();
            poll.stop();
        }
    });
    poll.start(10);
    QTRY_VERIFY_WITH_TIMEOUT(!boxText.isEmpty(), 20000);
    qunsetenv("VELTORA_MESSAGEBOX_AUTOCLOSE_MS");
    QVERIFY(hiddenAndStopped);
    QCOMPARE(boxText, QStringLiteral("更新成功,请手动打开Veltora"));
    QCoreApplication::removeTranslator(translator);
}

// The real program with "lang=zh": its own catalogue, installed by its start-up,
// and a font that has the glyphs.
void TestFinisher::chineseReachesTheScreen()
{
    TestHome home;
    home.addRecordingStub("killall");
    home.writeSettings("lang=zh\n");
    const QString install = home.path() + "/Veltora.app";
    const QString staging = home.updateDirectory() + "/partial-1.0";
    writeFile(install + "/Contents/MacOS/Veltora", "old");
    writeFile(staging + "/Contents/MacOS/Veltora", "new");
    const QString record = home.path() + "/drawn.txt";
    QCOMPARE(runFinisher(home, {"*" + install + "*", "*" + staging + "*", "run.log", "update.json", "1.0"}, record), 0);
    QStringList drawn;
    for (const TextProbe::DrawnText &text : TextProbe::read(record)) {
        drawn << text.text;
        if (text.text == QStringLiteral("更新成功,请手动打开Veltora"))
            QVERIFY2(text.hasGlyphs, "the message's font has no glyphs for it");
    }
    QVERIFY2(drawn.contains(QStringLiteral("更新成功,请手动打开Veltora")), qPrintable(drawn.join(" | ")));
}

QTEST_MAIN(TestFinisher)
#include "tst_finisher.moc"
