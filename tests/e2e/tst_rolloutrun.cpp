#include "BundleSnapshot.h"
#include "Rollout.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "UpdateSite.h"
#include "WholeUpdate.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QtTest>

#include <sys/stat.h>

using BundleSnapshot::run;
using BundleSnapshot::treeOf;
using TestFiles::readFile;
using TestFiles::writeFile;

// A signed release offered to 10% of installations, then widened to all, through the
// real programs and the release tool.
class TestRolloutRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { m_site.stop(); }
    void heldBackUntilWidened();

private:
    // update --check against the release: its exit status and what it printed.
    QPair<int, QString> ask(const TestHome &home, const QString &install) const;
    QString manifestUrl() const { return m_site.url("/mac/update.json"); }

    UpdateSite m_site;
    QString m_old;
    QString m_new;
    QString m_key;
};

void TestRolloutRun::initTestCase()
{
    VELTORA_START_UPDATE_SITE(m_site, APP_OLD, APP_NEW);
    const QString work = m_site.work();
    QString output;
    QVERIFY2(run(RELEASE_TOOL, {"--generate-key", work + "/keys"}, &output), qPrintable(output));
    m_key = work + "/keys/release-signing.key";
    m_old = work + "/bundles/1.0-signed/Veltora.app";
    m_new = work + "/bundles/2.0-signed/Veltora.app";
    QVERIFY(UpdateSite::makeBundle(m_old, APP_OLD, "1.0", work + "/keys/release-signing-key.pub"));
    QVERIFY(UpdateSite::makeBundle(m_new, APP_NEW, "2.0", work + "/keys/release-signing-key.pub"));
    QVERIFY(writeFile(work + "/Veltora-2.0.dmg", "the disk image of 2.0"));
    QVERIFY2(run(RELEASE_TOOL, {"--new", m_new, "--old", "1.0=" + m_old, "--base-url", m_site.url("/mac"), "--out",
                                m_site.www() + "/mac", "--installer", work + "/Veltora-2.0.dmg", "--signing-key", m_key,
                                "--rollout-share", "10"},
                 &output),
             qPrintable(output));
}

QPair<int, QString> TestRolloutRun::ask(const TestHome &home, const QString &install) const
{
    QProcess check;
    QProcessEnvironment env = home.environment();
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    check.setProcessEnvironment(env);
    check.start(install + "/Contents/MacOS/update", {"--check", "1.0", manifestUrl(), "*" + install + "*"});
    if (!check.waitForFinished(120000))
        return {-1, QString::fromUtf8(check.readAllStandardError())};
    return {check.exitCode(), QString::fromUtf8(check.readAllStandardOutput())};
}

// Outside the 10%: nothing installed, nothing uploaded, the application started again and
// the hold-back in the log. Asked first, before and after the share is raised, the updater
// answers without stopping the application. At 100 the same installation updates.
void TestRolloutRun::heldBackUntilWidened()
{
    TestHome home;
    QByteArray id; // one whose place in release 2.0 lies at or above 10%
    for (int i = 0; id.isEmpty() || Rollout::placeOf(id, "2.0") < 0.1; ++i)
        id = QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Sha256).toHex();
    QVERIFY(writeFile(home.dataDirectory() + "/installation-id", id + '\n'));
    const QString started = home.path() + "/application-started";
    QStringList before;
    WholeUpdate::Options options;
    options.proxyPort = m_site.relay().port();
    options.prepare = [&](const QString &install) {
        const QString application = install + "/Contents/MacOS/Veltora";
        writeFile(application, "#!/bin/sh\necho started >> '" + QFile::encodeName(started) + "'\n");
        ::chmod(QFile::encodeName(application).constData(), 0755);
        before = treeOf(install);
    };
    WholeUpdate::Result result = WholeUpdate::run(home, m_old, manifestUrl(), options);
    QCOMPARE(result.updateExit, 2);
    QCOMPARE(treeOf(result.install), before);
    QTRY_COMPARE(readFile(started), QByteArray("started\n"));
    QCOMPARE(result.log.filter(QRegularExpression("^##update##.*\\) Update held back: release 2\\.0, rollout share 10: ")).size(), 1);
    QCOMPARE(result.log.filter(QRegularExpression("^##update##.*\\) targetRelease: 2\\.0, rolloutShare: 10$")).size(), 1);
    QVERIFY(result.log.filter("##finisher##").isEmpty());
    QVERIFY(m_site.relay().requestsFor("POST").isEmpty());

    const int stops = home.stubCalls("killall").size();
    const QPair<int, QString> heldBack = ask(home, result.install);
    QVERIFY2(heldBack.first == 2 && heldBack.second.startsWith("held back: release 2.0, rollout share 10: ")
                 && heldBack.second.count('\n') == 1,
             qPrintable(heldBack.second));
    QString output;
    QVERIFY2(run(RELEASE_TOOL, {"--renew", m_site.www() + "/mac/update.json", "--signing-key", m_key, "--rollout-share", "100"}, &output),
             qPrintable(output));
    QCOMPARE(ask(home, result.install), qMakePair(0, QString("offered: release 2.0, rollout share 100\n")));
    QCOMPARE(home.stubCalls("killall").size(), stops);

    // The same installation again; the first run's log aside, so that the second one is read.
    QVERIFY(QDir(result.install).removeRecursively());
    QVERIFY(QDir(home.desktopDirectory()).removeRecursively());
    options.prepare = {};
    result = WholeUpdate::run(home, m_old, manifestUrl(), options);
    QCOMPARE(result.updateExit, 0);
    QCOMPARE(treeOf(result.install), treeOf(m_new));
    QCOMPARE(result.log.filter(QRegularExpression("^##update##.*\\) targetRelease: 2\\.0, rolloutShare: 100$")).size(), 1);
    QCOMPARE(readFile(home.dataDirectory() + "/installation-id"), id + '\n');
}

QTEST_GUILESS_MAIN(TestRolloutRun)
#include "tst_rolloutrun.moc"
