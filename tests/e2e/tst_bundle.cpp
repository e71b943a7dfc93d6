#include "FileUtils.h"
#include "TestHome.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

// The setup program copied with its frameworks, plug-ins and qt.conf into the backup
// folder (as the hand-off does) loads its Qt libraries and plug-ins from there.
class TestBundle : public QObject
{
    Q_OBJECT

private slots:
    void backupCopyLoadsWhatLiesBesideIt();
    void runPathStaysInsideTheBundle();
    void detachedChildOutlivesItsParent();
};

void TestBundle::backupCopyLoadsWhatLiesBesideIt()
{
    TestHome home;
    const QString app = home.path() + "/Veltora.app";
    QProcess layout;
    layout.start("bash", {SOURCE_DIR "/scripts/make-bundle.sh", BUILD_DIR, app, APP_OLD, "1.0"});
    QVERIFY(layout.waitForFinished(120000) && layout.exitCode() == 0);

    // What the hand-off copies into Contents/backup.
    const QString backup = app + "/Contents/backup";
    for (const QString file : {"Contents/MacOS/finisher", "Contents/Resources/qt.conf"})
        QVERIFY(copyFile(app + "/" + file, backup + "/" + file));
    for (const QString dir : {"Contents/Frameworks/QtCore.framework", "Contents/Frameworks/QtGui.framework",
                              "Contents/Frameworks/QtNetwork.framework", "Contents/Frameworks/QtWidgets.framework",
                              "Contents/Frameworks/QtConcurrent.framework", "Contents/Frameworks/QtDBus.framework",
                              "Contents/Frameworks/QtPrintSupport.framework", "Contents/PlugIns/platforms"})
        QVERIFY(copyDirectoryFiles(app + "/" + dir, backup + "/" + dir));
    QCOMPARE(QFileInfo(backup + "/Contents/Frameworks/QtCore.framework/Versions/Current").symLinkTarget(),
             backup + "/Contents/Frameworks/QtCore.framework/Versions/5");

    QProcess finisher;
    QProcessEnvironment env = home.environment();
    env.insert("LD_DEBUG", "libs");
    env.insert("QT_DEBUG_PLUGINS", "1");
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    finisher.setProcessEnvironment(env);
    finisher.start(backup + "/Contents/MacOS/finisher", {"one", "two"}); // wrong count: loads Qt, then leaves
    QVERIFY(finisher.waitForFinished(60000));
    const QString trace = QString::fromLocal8Bit(finisher.readAllStandardError());
    for (const char *module : {"Core", "Gui", "Widgets", "Network"}) {
        const QRegularExpression init(QStringLiteral("calling init: (\\S*libQt5%1\\.so\\.5)\\n").arg(module));
        const auto match = init.match(trace);
        QVERIFY2(match.hasMatch(), module);
        QVERIFY2(QFileInfo(match.captured(1)).canonicalFilePath().startsWith(backup + "/Contents/Frameworks/"),
                 qPrintable(match.captured(1)));
    }
    QVERIFY(trace.contains(QStringLiteral("loaded library \"%1/Contents/PlugIns/platforms/libqoffscreen.so\"").arg(backup)));
}

// An empty run-path entry means the current folder: a library planted there would be loaded.
void TestBundle::runPathStaysInsideTheBundle()
{
    TestHome home;
    const QString app = home.path() + "/Veltora.app";
    QProcess layout;
    layout.start("bash", {SOURCE_DIR "/scripts/make-bundle.sh", BUILD_DIR, app, APP_OLD});
    QVERIFY(layout.waitForFinished(120000) && layout.exitCode() == 0);
    for (const QString program : {"update", "finisher"}) {
        QProcess readelf;
        readelf.start("readelf", {"-d", app + "/Contents/MacOS/" + program});
        QVERIFY(readelf.waitForFinished(30000) && readelf.exitCode() == 0);
        const auto match = QRegularExpression("\\(RUNPATH\\)\\s+Library runpath: \\[(.*)\\]").match(readelf.readAllStandardOutput());
        QVERIFY2(match.hasMatch(), qPrintable(program));
        for (const QString &entry : match.captured(1).split(':'))
            QVERIFY2(entry.startsWith("$ORIGIN/../Frameworks/"), qPrintable(program + ": " + match.captured(1)));
    }
}

void TestBundle::detachedChildOutlivesItsParent()
{
    // The parent starts a child that writes to standard error after the parent is gone;
    // a child left on the parent's pipes would die of SIGPIPE there.
    TestHome home;
    const QString marker = home.path() + "/survived";
    const QString child = home.path() + "/late-writer.sh";
    QFile script(child);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nsleep 1\necho 'late warning' >&2\necho 'late output'\ntouch '" + QFile::encodeName(marker) + "'\n");
    script.close();
    script.setPermissions(QFileDevice::Permissions(0x7755));

    // The updater itself is the parent: its fix-update relaunch starts the child this way.
    QProcess parent;
    parent.start(QStringLiteral(BUILD_DIR "/tests/e2e/detach_parent"), {child});
    QVERIFY(parent.waitForFinished(30000));
    QCOMPARE(parent.exitCode(), 0);
    parent.close(); // our end of its pipes is gone now
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker), 10000);
}

QTEST_GUILESS_MAIN(TestBundle)
#include "tst_bundle.moc"
