// Resuming against nginx through a connection that is cut, with a file large enough
// that the share fetched again means something.
#include "CutProxy.h"
#include "DownloadControl.h"
#include "FileUtils.h"
#include "MessageCapture.h"
#include "NginxSite.h"
#include "ResumeRecord.h"
#include "TestFiles.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestDownloadResume : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void continuesAfterACut();
    void changedFileStartsOver();

private:
    // Downloads through the proxy; true when the download finished, false when it failed.
    bool download(CutProxy *proxy);
    bool serve(const QByteArray &content, const QDateTime &modified);

    QTemporaryDir m_work;
    NginxSite m_site;
    QByteArray m_content;
    QString m_target;
};

namespace {
constexpr qint64 fileSize = 64LL << 20;

} // namespace

void TestDownloadResume::initTestCase()
{
    if (!NginxSite::installed())
        QSKIP("nginx is not installed");
    QVERIFY(m_work.isValid());
    QVERIFY(QDir().mkpath(m_work.path() + "/www"));
    QVERIFY(serve(TestFiles::randomBytes(int(fileSize), 19), QDateTime::fromSecsSinceEpoch(1700000000)));
    QString error;
    QVERIFY2(m_site.start(m_work.path() + "/www", m_work.path() + "/nginx", &error), qPrintable(error));
    m_target = m_work.path() + "/big.bin";
}

void TestDownloadResume::cleanupTestCase()
{
    m_site.stop();
}

bool TestDownloadResume::serve(const QByteArray &content, const QDateTime &modified)
{
    m_content = content;
    QFile file(m_work.path() + "/www/big.bin");
    // nginx's ETag is made of the time and the size: a new time is a new validator.
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
           && file.setFileTime(modified, QFileDevice::FileModificationTime);
}

bool TestDownloadResume::download(CutProxy *proxy)
{
    DownloadControl control;
    QSignalSpy finished(&control, &DownloadControl::finished);
    QSignalSpy failed(&control, &DownloadControl::error);
    if (!control.downloadFile(proxy->url("/big.bin"), m_target, 2))
        return false;
    if (!QTest::qWaitFor([&] { return !finished.isEmpty() || !failed.isEmpty(); }, 120000))
        return false;
    return !finished.isEmpty();
}

void TestDownloadResume::continuesAfterACut()
{
    CutProxy proxy(m_site.port());
    QVERIFY(proxy.listen());
    proxy.cutAt(fileSize * 6 / 10);
    QVERIFY(!download(&proxy));
    QVERIFY(proxy.hasCut());
    QVERIFY(QFileInfo::exists(ResumeRecord::pathFor(m_target)));

    proxy.resetCount();
    MessageCapture log;
    QVERIFY(download(&proxy));
    QVERIFY2(proxy.bytesToClients() <= fileSize * 45 / 100,
             qPrintable(QStringLiteral("second run: %1 of %2 bytes").arg(proxy.bytesToClients()).arg(fileSize)));
    QCOMPARE(log.messages().filter("resumed bytes").size(), 1);
    QCOMPARE(getLocalFileMd5Value(m_target), QCryptographicHash::hash(m_content, QCryptographicHash::Md5).toHex());
    QVERIFY(!QFileInfo::exists(ResumeRecord::pathFor(m_target)));
}

void TestDownloadResume::changedFileStartsOver()
{
    QFile::remove(m_target);
    CutProxy proxy(m_site.port());
    QVERIFY(proxy.listen());
    proxy.cutAt(fileSize * 3 / 10);
    QVERIFY(!download(&proxy));
    QVERIFY(QFileInfo::exists(ResumeRecord::pathFor(m_target)));

    // Same size, new content and time on the server.
    QByteArray changed = m_content;
    changed.replace(0, 4096, QByteArray(4096, 'x'));
    changed.replace(int(fileSize) - 4096, 4096, QByteArray(4096, 'y'));
    QVERIFY(serve(changed, QDateTime::fromSecsSinceEpoch(1700000100)));
    proxy.resetCount();
    MessageCapture log;
    QVERIFY(download(&proxy));
    QVERIFY(proxy.bytesToClients() >= fileSize);
    QCOMPARE(log.messages().filter("resumed bytes").size(), 0);
    QCOMPARE(getLocalFileMd5Value(m_target), QCryptographicHash::hash(changed, QCryptographicHash::Md5).toHex());
}

QTEST_GUILESS_MAIN(TestDownloadResume)
#include "tst_download_resume.moc"
