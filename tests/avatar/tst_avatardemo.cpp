#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// The host program in a real X display, with the synthetic camera.
class TestAvatarDemo : public QObject
{
    Q_OBJECT

private slots:
    void unattendedCaptureWritesTheAvatar();
    void usage();
};

void TestAvatarDemo::unattendedCaptureWritesTheAvatar()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
    if (xvfb.isEmpty())
        QSKIP("xvfb-run is not installed");
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("avatar.png"));
    QProcess demo;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ZELCAMERA_TEST_PATTERN"), QStringLiteral("1"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    demo.setProcessEnvironment(environment);
    demo.start(xvfb, {QStringLiteral("-a"), QStringLiteral(AVATAR_DEMO), QStringLiteral("--auto"), output});
    QVERIFY(demo.waitForFinished(60000));
    QCOMPARE(demo.exitCode(), 0);
    QCOMPARE(QString::fromLocal8Bit(demo.readAllStandardOutput()).trimmed(), output);

    const QImage avatar(output);
    QCOMPARE(avatar.size(), QSize(120, 120));
    // The test pattern's coloured bars, not an empty viewfinder.
    QVERIFY(avatar.pixel(5, 60) != avatar.pixel(60, 60));
    QVERIFY(avatar.pixel(60, 60) != qRgb(255, 255, 255));
}

void TestAvatarDemo::usage()
{
    QProcess demo;
    demo.start(QStringLiteral(AVATAR_DEMO), QStringList());
    QVERIFY(demo.waitForFinished(30000));
    QCOMPARE(demo.exitCode(), 2);
    QVERIFY(demo.readAllStandardError().contains("usage: avatar-demo"));
}

QTEST_GUILESS_MAIN(TestAvatarDemo)
#include "tst_avatardemo.moc"
