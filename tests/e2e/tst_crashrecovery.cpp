// Kill anywhere: the setup program is killed with SIGKILL at a random moment of its
// install, then the updater starts again as the application would, with the vendor's
// server unreachable, so that only its recovery at start-up can act. The bundle must
// then be the old version or the new one, byte for byte.
//   VELTORA_CRASH_KILLS=N   number of kills (default 20); scripts/crash-test.sh N
#include "BundleSnapshot.h"
#include "InstallJournal.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "UpdateSite.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using BundleSnapshot::run;

namespace {

// Running, not yet a zombie waiting for whoever adopted it.
bool alive(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.size() > close + 2 && text.at(close + 2) != 'Z' && text.at(close + 2) != 'X';
}

} // namespace

using BundleSnapshot::treeOf;
using TestFiles::writeFile;

namespace {

int killCount()
{
    return qEnvironmentVariableIsSet("VELTORA_CRASH_KILLS") ? qEnvironmentVariableIntValue("VELTORA_CRASH_KILLS") : 20;
}

} // namespace

class TestCrashRecovery : public QObject
{
    Q_OBJECT

public:
    TestCrashRecovery()
    {
        // All kills are one test function: give it the time they take on a loaded machine.
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number((killCount() + 1) * 60000 + 300000));
    }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void killedInstallIsFinishedOrRestored();

private:
    enum class Outcome { Finished, Restored, Mixed };
    // One update whose setup program is killed after `delayUs` (from the start of its
    // install when `fromJournal`, else from its start); -1 lets it run to the end.
    // Returns the install time seen (microseconds) through `installUs`.
    Outcome updateKilledAt(qint64 delayUs, bool fromJournal, qint64 *installUs, QString *detail);
    QString url(const QString &path) const { return m_site.url(path); }

    QString m_old;
    QString m_new;
    QStringList m_oldTree;
    QStringList m_newTree;
    UpdateSite m_site;
};

void TestCrashRecovery::initTestCase()
{
    VELTORA_START_UPDATE_SITE(m_site, APP_OLD, APP_NEW);
    QString output;
    const QString work = m_site.work();
    m_old = m_site.oldBundle();
    m_new = m_site.newBundle();
    // Hundreds of files: a third changes, some go, some come (one in a new folder), a link comes.
    for (int i = 0; i < 300; ++i) {
        const QString name = QStringLiteral("/Contents/Resources/data/d%1.txt").arg(i, 3, 10, QLatin1Char('0'));
        const QByteArray body = QByteArray::number(i).repeated(500 + 37 * i);
        writeFile(m_old + name, body);
        if (i >= 250)
            continue;
        writeFile(m_new + name, i % 3 == 0 ? body + "changed in 2.0" : body);
    }
    for (int i = 0; i < 50; ++i)
        writeFile(m_new + QStringLiteral("/Contents/Resources/extra/n%1.bin").arg(i), QByteArray(20000 + i, char('a' + i % 26)));
    QVERIFY(::symlink("d000.txt", QFile::encodeName(m_new + "/Contents/Resources/data/first").constData()) == 0);
    // A folder that becomes a file, and a file that becomes a folder.
    writeFile(m_old + "/Contents/Resources/swap/inside.txt", "a folder in 1.0");
    writeFile(m_new + "/Contents/Resources/swap", "a file in 2.0");
    writeFile(m_old + "/Contents/Resources/flip", "a file in 1.0");
    writeFile(m_new + "/Contents/Resources/flip/inside.txt", "a folder in 2.0");
    m_oldTree = treeOf(m_old);
    m_newTree = treeOf(m_new);
    QVERIFY(m_oldTree != m_newTree);

    QDir().mkpath(work + "/www/mac");
    writeFile(work + "/Veltora-2.0.dmg", "the disk image of 2.0");
    QVERIFY2(run(RELEASE_TOOL, {"--new", m_new, "--old", "1.0=" + m_old, "--base-url", url("/mac"), "--out",
                                work + "/www/mac", "--installer", work + "/Veltora-2.0.dmg"},
                 &output),
             qPrintable(output));
}

void TestCrashRecovery::cleanupTestCase()
{
    m_site.stop();
}

TestCrashRecovery::Outcome TestCrashRecovery::updateKilledAt(qint64 delayUs, bool fromJournal, qint64 *installUs,
                                                             QString *detail)
{
    TestHome home;
    const QString install = home.path() + "/Applications/Veltora.app";
    QDir().mkpath(home.path() + "/Applications");
    if (!run("cp", {"-a", m_old, install}))
        return Outcome::Mixed;
    home.addRecordingStub("killall");
    home.addRecordingStub("xdg-open");
    home.writeSettings("[General]\nCatUpdateLog=true\n");
    QDir().mkpath(home.desktopDirectory());

    QProcessEnvironment env = home.environment();
    env.insert("VELTORA_MESSAGEBOX_AUTOCLOSE_MS", "0");
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    env.insert("http_proxy", QStringLiteral("http://127.0.0.1:%1").arg(m_site.relay().port()));
    env.insert("no_proxy", "127.0.0.1,localhost");

    // The update, up to the setup program started from the backup folder.
    QProcess update;
    update.setProcessEnvironment(env);
    update.start(install + "/Contents/MacOS/update", {"1.0", url("/mac/update.json"), "*" + install + "*"});
    const QString finisher = install + "/Contents/backup/Contents/MacOS/finisher";
    const QString journal = InstallJournal::path(install);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    while (pid == 0 && clock.elapsed() < 300000) {
        pid = BundleSnapshot::processOf(finisher);
        if (pid == 0 && update.state() == QProcess::NotRunning && clock.elapsed() > 60000)
            break;
        if (pid == 0)
            update.waitForFinished(1);
    }
    if (pid == 0) {
        // Say how the updater ended, with the tail of what it printed.
        *detail = QStringLiteral("the setup program never started; the updater %1 (%2): %3")
                      .arg(update.state() != QProcess::NotRunning ? QStringLiteral("still runs")
                               : update.exitStatus() == QProcess::CrashExit ? QStringLiteral("crashed")
                                                                             : QStringLiteral("exited"))
                      .arg(update.exitCode())
                      .arg(QString::fromLocal8Bit(update.readAllStandardError().right(3000)));
        return Outcome::Mixed;
    }
    QElapsedTimer since;
    since.start();
    if (fromJournal) {
        while (!QFileInfo::exists(journal) && alive(pid))
            ::usleep(100);
        since.start();
    }
    if (delayUs >= 0) {
        while (since.nsecsElapsed() / 1000 < delayUs && alive(pid))
            ::usleep(50);
        ::kill(pid, SIGKILL);
    } else {
        // Run to the end: the install lasts until its record goes.
        while (QFileInfo::exists(journal) && alive(pid))
            ::usleep(100);
    }
    *installUs = since.nsecsElapsed() / 1000;
    while (alive(pid))
        ::usleep(500);
    update.waitForFinished(60000);

    // The application starts the updater again; the vendor's server is out of reach.
    // Its failure uploads the log through the proxy of this process: keep our loop running.
    QProcess again;
    again.setProcessEnvironment(env);
    QSignalSpy ended(&again, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    again.start(install + "/Contents/MacOS/update", {"1.0", "http://127.0.0.1:1/update.json", "*" + install + "*"});
    if (!ended.wait(120000)) {
        *detail = "the updater did not end";
        return Outcome::Mixed;
    }
    const QStringList tree = treeOf(install);
    if (QFileInfo::exists(journal)) {
        *detail = "the install record is still there";
        return Outcome::Mixed;
    }
    if (tree == m_newTree)
        return Outcome::Finished;
    if (tree == m_oldTree)
        return Outcome::Restored;
    QStringList differences;
    for (const QString &line : tree) {
        if (!m_oldTree.contains(line) && !m_newTree.contains(line))
            differences << line;
    }
    *detail = "neither version: " + differences.mid(0, 5).join(", ");
    return Outcome::Mixed;
}

void TestCrashRecovery::killedInstallIsFinishedOrRestored()
{
    const int kills = killCount();
    // One run to the end gives the length of an install, which the kills then fall into.
    qint64 installUs = 0;
    QString detail;
    QCOMPARE(updateKilledAt(-1, true, &installUs, &detail), Outcome::Finished);
    qInfo("an install lasts %lld us", installUs);
    installUs = qMax<qint64>(installUs, 1000);

    int finished = 0;
    int restored = 0;
    QStringList mixed;
    QRandomGenerator random(quint32(QDateTime::currentMSecsSinceEpoch()));
    for (int i = 0; i < kills; ++i) {
        // Most kills fall into the install itself, some anywhere from the program's start.
        const bool fromJournal = i % 4 != 3;
        const qint64 delay = qint64(random.bounded(double(fromJournal ? installUs : 3 * installUs)));
        qint64 seen = 0;
        QString why;
        QElapsedTimer took;
        took.start();
        const Outcome outcome = updateKilledAt(delay, fromJournal, &seen, &why);
        qInfo("kill %d at %lld us of %s: %s in %lld ms", i, delay, fromJournal ? "the install" : "the program",
              outcome == Outcome::Finished ? "finished" : outcome == Outcome::Restored ? "restored" : "mixed",
              took.elapsed());
        switch (outcome) {
        case Outcome::Finished: ++finished; break;
        case Outcome::Restored: ++restored; break;
        case Outcome::Mixed: mixed << QStringLiteral("kill %1 after %2 us: %3").arg(i).arg(delay).arg(why); break;
        }
    }
    qInfo("%d kills: %d finished, %d restored, %d mixed", kills, finished, restored, int(mixed.size()));
    QVERIFY2(mixed.isEmpty(), qPrintable(mixed.join('\n')));
}

QTEST_GUILESS_MAIN(TestCrashRecovery)
#include "tst_crashrecovery.moc"
