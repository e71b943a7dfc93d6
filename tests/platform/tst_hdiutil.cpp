#include "TestHome.h"

#include <QFile>
#include <QProcess>
#include <QtTest>

class TestHdiutil : public QObject
{
    Q_OBJECT

private slots:
    void refusesMissingImage();
    void handsImageToTheDesktop();
    void wrongUsage();

private:
    struct Result
    {
        int status;
        QByteArray error;
    };
    Result run(const TestHome &home, const QStringList &arguments)
    {
        QProcess process;
        QProcessEnvironment env = home.environment();
        env.insert("PATH", home.stubDirectory() + ":/usr/bin:/bin");
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(HDIUTIL), arguments);
        process.waitForFinished(30000);
        return {process.exitCode(), process.readAllStandardError()};
    }
};

void TestHdiutil::refusesMissingImage()
{
    TestHome home;
    home.addRecordingStub("xdg-open");
    const Result result = run(home, {"attach", home.path() + "/missing.dmg"});
    QCOMPARE(result.status, 1);
    QCOMPARE(result.error, "hdiutil: attach failed - no such image: " + (home.path() + "/missing.dmg").toUtf8() + "\n");
    QVERIFY(home.stubCalls("xdg-open").isEmpty());
}

void TestHdiutil::handsImageToTheDesktop()
{
    if (QFile::exists("/usr/bin/udisksctl"))
        QSKIP("udisksctl is installed and would be used instead of xdg-open");
    TestHome home;
    home.addRecordingStub("xdg-open");
    const QString image = home.path() + "/Veltora 2.0 $(id) `x` \"q\".dmg";
    QFile file(image);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("image");
    file.close();
    const Result result = run(home, {"attach", image});
    QCOMPARE(result.status, 0);
    QCOMPARE(home.stubCalls("xdg-open"), QList<QStringList>{QStringList{image}});
}

void TestHdiutil::wrongUsage()
{
    TestHome home;
    QCOMPARE(run(home, {"detach", "x"}).status, 2);
    QCOMPARE(run(home, {}).status, 2);
}

QTEST_GUILESS_MAIN(TestHdiutil)
#include "tst_hdiutil.moc"
