#include "DownloadControl.h"
#include "DownloadThread.h"
#include "FileUtils.h"
#include "LogUpload.h"
#include "MessageCapture.h"
#include "QuickMode.h"
#include "ResumeRecord.h"
#include "TestHttpServer.h"

#include <QCryptographicHash>
#include <QFile>
#include <QNetworkProxy>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include "TestFiles.h"

using TestFiles::readFile;

namespace {

const QString hijackText = QStringLiteral(
    "Your broadband service provider hijacked the download address, please download the latest version from <" VELTORA_VENDOR_HOST ">");

// Spies on the signals of one controller.
struct Spies
{
    explicit Spies(DownloadControl *control)
        : finished(control, &DownloadControl::finished), progress(control, &DownloadControl::progressChange),
          sizeError(control, &DownloadControl::getFileSizeErrorSignal), error(control, &DownloadControl::error),
          failed(control, &DownloadControl::failed)
    {
    }
    // Runs the event loop until the download ended one way or the other, then a little longer.
    bool waitForEnd(int timeoutMs = 30000)
    {
        QElapsedTimer timer;
        timer.start();
        while (finished.isEmpty() && error.isEmpty() && timer.elapsed() < timeoutMs)
            QTest::qWait(10);
        QTest::qWait(100);
        return !finished.isEmpty() || !error.isEmpty();
    }
    QSignalSpy finished, progress, sizeError, error, failed;
};

// Runs download_child; returns its exit code and puts its output line into `out`.
int runChild(const QStringList &arguments, QByteArray *out)
{
    QProcess child;
    // The test server runs on our event loop: wait without blocking it.
    QSignalSpy done(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    child.start(QStringLiteral(DOWNLOAD_CHILD), arguments);
    if (!done.wait(60000))
        return -1;
    *out = child.readAllStandardOutput().trimmed();
    return child.exitCode();
}

using Ranges = QVector<ResumeRecord::Range>;
using Segments = QVector<QPair<qint64, qint64>>;

} // namespace

Q_DECLARE_METATYPE(Ranges)
Q_DECLARE_METATYPE(Segments)
Q_DECLARE_METATYPE(TestHttpServer::Resource)

// Names the kinds in failure messages.
char *toString(DownloadFailure kind)
{
    return qstrdup(DownloadFailures::name(kind));
}

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QProcess::ExitStatus>();
        QVERIFY(m_server.listen());
    }
    void init();

    void segmentRanges_data();
    void segmentRanges();
    void downloadsWholeFiles_data();
    void downloadsWholeFiles();
    void secondDownloadWhileRunningIsRefused();
    void probeFollowsRedirects_data();
    void probeFollowsRedirects();
    void redirectCountSpansTheControllersLife();
    void workersFollowRedirects_data();
    void workersFollowRedirects();
    void probeNotFound();
    void probeRedirectWithoutLocation();
    void segmentsNotFoundGiveOneError();
    void brokenConnectionGivesNoFinished();
    void unopenableDestination();
    void stallCountIsNeverReset();
    void waitsEndWithinTheirBound_data();
    void waitsEndWithinTheirBound();
    void discardedBytesAreNoProgress_data();
    void discardedBytesAreNoProgress();
    void sizesAndAddressesAreHeldTo_data();
    void sizesAndAddressesAreHeldTo();
    void bodiesOfUnknownLength_data();
    void bodiesOfUnknownLength();
    void stalledSegmentFailsAtTheRealInterval();
    void memoryStaysBoundedForLargeFiles();

    void unusableSizesAreProbeFailures_data();
    void unusableSizesAreProbeFailures();
    void failedWritesAreDownloadErrors_data();
    void failedWritesAreDownloadErrors();
    void answersThatAreNotWritten_data();
    void answersThatAreNotWritten();
    void startedFromAnotherThread_data();
    void startedFromAnotherThread();
    void recordsAreUntrusted_data();
    void recordsAreUntrusted();
    void missingRangesAreSplit_data();
    void missingRangesAreSplit();
    void resumesAfterACut_data();
    void resumesAfterACut();

private:
    QString path(const QString &name) const { return m_dir->path() + QLatin1Char('/') + name; }

    TestHttpServer m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestDownload::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_server.clearRequests();
}

void TestDownload::segmentRanges_data()
{
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<qint64>>("bounds");
    QTest::newRow("10 in 2") << qint64(10) << 2 << QList<qint64>{0, 5, 5, 10};
    QTest::newRow("11 in 2") << qint64(11) << 2 << QList<qint64>{0, 5, 5, 11};
    QTest::newRow("1 in 2") << qint64(1) << 2 << QList<qint64>{0, 0, 0, 1};
    QTest::newRow("0 in 2") << qint64(0) << 2 << QList<qint64>{0, 0, 0, 0};
    QTest::newRow("7 in 3") << qint64(7) << 3 << QList<qint64>{0, 2, 2, 4, 4, 7};
    const qint64 near62 = (qint64(1) << 62) + 3;
    QTest::newRow("no overflow near 2^62") << near62 << 2 << QList<qint64>{0, near62 / 2, near62 / 2, near62};
    const qint64 largest = std::numeric_limits<qint64>::max();
    QTest::newRow("no overflow at the largest size") << largest << 3
        << QList<qint64>{0, 3074457345618258602, 3074457345618258602, 6148914691236517204, 6148914691236517204, largest};
}

void TestDownload::segmentRanges()
{
    QFETCH(qint64, total);
    QFETCH(int, count);
    QFETCH(QList<qint64>, bounds);
    QList<qint64> actual;
    for (int i = 1; i <= count; ++i)
        actual << DownloadControl::segmentStart(i, count, total) << DownloadControl::segmentEnd(i, count, total);
    QCOMPARE(actual, bounds);
}

void TestDownload::downloadsWholeFiles_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("empty") << qint64(0);
    QTest::newRow("one byte") << qint64(1);
    QTest::newRow("ten bytes") << qint64(10);
    QTest::newRow("several MB") << qint64(5 * 1024 * 1024 + 3);
}

void TestDownload::downloadsWholeFiles()
{
    QFETCH(qint64, size);
    m_server.servePattern("/file.bin", size);
    DownloadControl control;
    Spies spies(&control);
    MessageCapture log;
    QVERIFY(control.downloadFile(m_server.url("/file.bin"), path("file.bin"), 2));
    // Each segment's range is logged just before that segment starts.
    QStringList order;
    for (const QString &line : log.messages()) {
        if (line.startsWith("startPoint") || line.startsWith("endPoint"))
            order << line.section(' ', 0, 0);
        else if (line.contains("downloadThread connect"))
            order << "connect";
    }
    QCOMPARE(order, (QStringList{"startPoint", "endPoint", "connect", "startPoint", "endPoint", "connect"}));
    QCOMPARE(control.state, 1);
    QVERIFY(spies.waitForEnd());
    QCOMPARE(spies.error.count(), 0);
    QCOMPARE(spies.finished.count(), 1);
    QCOMPARE(spies.finished.first().first().toInt(), 0);
    QCOMPARE(control.state, 3);
    QVERIFY(!control.file);
    QCOMPARE(readFile(path("file.bin")), TestHttpServer::pattern(0, size));

    // Boundaries are fetched by both segments: the byte total ends at T + 1.
    const QList<QVariant> last = spies.progress.last();
    QCOMPARE(last.at(0).toInt(), 0);
    QCOMPARE(last.at(1).toLongLong(), qint64(0));
    QCOMPARE(last.at(2).toLongLong(), size);
    if (size > 0)
        QCOMPARE(last.at(3).toLongLong(), size + 1);

    const QList<TestHttpServer::Request> gets = m_server.requestsFor("GET");
    QCOMPARE(m_server.requestsFor("HEAD").size(), 1);
    QCOMPARE(gets.size(), 2);
    QSet<QByteArray> ranges;
    for (const auto &request : gets)
        ranges << request.headers.value("range");
    QCOMPARE(ranges, (QSet<QByteArray>{"bytes=0-" + QByteArray::number(size / 2),
                                       "bytes=" + QByteArray::number(size / 2) + '-' + QByteArray::number(size)}));
}

void TestDownload::secondDownloadWhileRunningIsRefused()
{
    TestHttpServer::Resource slow;
    slow.patternSize = 20000;
    slow.trickleMs = 20;
    m_server.serve("/slow.bin", slow);
    m_server.servePattern("/other.bin", 10);
    DownloadControl control;
    Spies spies(&control);
    QVERIFY(control.downloadFile(m_server.url("/slow.bin"), path("slow.bin"), 2));
    QVERIFY(!control.downloadFile(m_server.url("/other.bin"), path("other.bin"), 2));
    QCOMPARE(control.url, m_server.url("/slow.bin"));
    QVERIFY(!QFileInfo::exists(path("other.bin")));
    QVERIFY(spies.waitForEnd());
    QCOMPARE(spies.finished.count(), 1);
    QCOMPARE(readFile(path("slow.bin")), TestHttpServer::pattern(0, 20000));

    // After a finished download the next one is accepted.
    QVERIFY(control.downloadFile(m_server.url("/other.bin"), path("other.bin"), 2));
    QTRY_COMPARE(spies.finished.count(), 2);
}

void TestDownload::probeFollowsRedirects_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("ten redirects") << 10 << true;
    QTest::newRow("eleven redirects") << 11 << false;
}

void TestDownload::probeFollowsRedirects()
{
    QFETCH(int, length);
    QFETCH(bool, succeeds);
    m_server.servePattern("/final.bin", 100);
    m_server.redirectChain("/chain", length, "/final.bin");
    DownloadControl control;
    Spies spies(&control);
    QCOMPARE(control.downloadFile(m_server.url("/chain/1"), path("out.bin"), 2), succeeds);
    if (succeeds) {
        QCOMPARE(m_server.requestsFor("HEAD").size(), 11);
        QVERIFY(spies.waitForEnd());
        QCOMPARE(spies.finished.count(), 1);
        QCOMPARE(readFile(path("out.bin")), TestHttpServer::pattern(0, 100));
        return;
    }
    QCOMPARE(m_server.requestsFor("HEAD").size(), 11);
    QCOMPARE(spies.error.count(), 1);
    QCOMPARE(spies.error.first().at(0).toString(), hijackText);
    QCOMPARE(spies.error.first().at(1).toBool(), true);
    QCOMPARE(spies.sizeError.count(), 0);
    QVERIFY(!QFileInfo::exists(path("out.bin")));
}

void TestDownload::redirectCountSpansTheControllersLife()
{
    m_server.servePattern("/final.bin", 10);
    m_server.redirectChain("/six", 6, "/final.bin");
    DownloadControl control;
    Spies spies(&control);
    QVERIFY(control.downloadFile(m_server.url("/six/1"), path("a.bin"), 2));
    QVERIFY(spies.waitForEnd());
    QCOMPARE(control.redirectTimes, 6);
    // Six more reach eleven in all: the next probe fails at once.
    QVERIFY(!control.downloadFile(m_server.url("/six/1"), path("b.bin"), 2));
    QCOMPARE(spies.error.count(), 1);
    QCOMPARE(m_server.requestsFor("HEAD").size(), 7 + 5);
}

void TestDownload::workersFollowRedirects_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("ten redirects") << 10 << true;
    QTest::newRow("eleven redirects") << 11 << false;
}

void TestDownload::workersFollowRedirects()
{
    QFETCH(int, length);
    QFETCH(bool, succeeds);
    const QByteArray content = TestHttpServer::pattern(1000, 4000);
    // The probe sees the file; every GET is sent round the chain first.
    TestHttpServer::Resource start;
    start.content = content;
    start.getStatus = 302;
    start.getLocation = "/wchain/2";
    m_server.serve("/wchain/1", start);
    m_server.redirectChain("/wchain", length, "/target.bin");
    m_server.serve("/wchain/1", start);
    m_server.serveContent("/target.bin", content);

    DownloadControl control;
    Spies spies(&control);
    QVERIFY(control.downloadFile(m_server.url("/wchain/1"), path("out.bin"), 2));
    QVERIFY(spies.waitForEnd());
    // Each segment (told apart by its range) makes the first request and follows up to
    // `length` redirects; after the hijack error the other segment may be stopped early.
    QMap<QByteArray, int> perSegment;
    for (const auto &request : m_server.requestsFor("GET"))
        ++perSegment[request.headers.value("range")];
    QCOMPARE(perSegment.size(), 2);
    if (succeeds)
        QCOMPARE(perSegment.values(), (QList<int>{length + 1, length + 1}));
    else
        QCOMPARE(*std::max_element(perSegment.begin(), perSegment.end()), length + 1);
    if (succeeds) {
        QCOMPARE(spies.finished.count(), 1);
        QCOMPARE(readFile(path("out.bin")), content);
        return;
    }
    QCOMPARE(spies.finished.count(), 0);
    QCOMPARE(spies.error.count(), 1);
    QCOMPARE(spies.error.first().at(0).toString(), hijackText);
    QCOMPARE(spies.error.first().at(1).toBool(), true);
    QCOMPARE(control.state, 4);
    QVERIFY(control.hasError);
}

void TestDownload::probeNotFound()
{
    DownloadControl control;
    Spies spies(&control);
    QVERIFY(!control.downloadFile(m_server.url("/nothing-here"), path("out.bin"), 2));
    QCOMPARE(spies.sizeError.count(), 1);
    QCOMPARE(spies.sizeError.first().first().toString(),
             QStringLiteral("The download file  is not found,please check the download url"));
    QCOMPARE(spies.error.count(), 0);
    QVERIFY(!QFileInfo::exists(path("out.bin")));
}

void TestDownload::probeRedirectWithoutLocation()
{
    m_server.redirect("/nowhere.bin", QByteArray(), 301);
    DownloadControl control;
    Spies spies(&control);
    QVERIFY(!control.downloadFile(m_server.url("/nowhere.bin"), path("out.bin"), 2));
    // Not ten more probes of the same address and the hijack message.
    QCOMPARE(m_server.requestsFor("HEAD").size(), 1);
    QCOMPARE(spies.error.count(), 0);
    QCOMPARE(spies.sizeError.count(), 1);
    QCOMPARE(spies.sizeError.first().first().toString(),
             QStringLiteral("The server redirected the download without a new address,please check the download url"));
    QVERIFY(!QFileInfo::exists(path("out.bin")));
}

void TestDownload::segmentsNotFoundGiveOneError()
{
    TestHttpServer::Resource gone;
    gone.content = "exists for HEAD only";
    gone.getStatus = 404;
    m_server.serve("/gone.bin", gone);
    DownloadControl control;
    Spies spies(&control);
    QVERIFY(control.downloadFile(m_server.url("/gone.bin"), path("out.bin"), 2));
    QVERIFY(spies.waitForEnd());
    QTest::qWait(300);
    QCOMPARE(spies.error.count(), 1);
    QCOMPARE(spies.error.first().at(0).toString(), QStringLiteral("The download file is not found,please check the download url"));
    QCOMPARE(spies.error.first().at(1).toBool(), false);
    QCOMPARE(spies.finished.count(), 0);
}

void TestDownload::brokenConnectionGivesNoFinished()
{
    TestHttpServer::Resource broken;
    broken.patternSize = 1000000;
    broken.closeAfter = 1000;
    m_server.serve("/broken.bin", broken);
    DownloadControl control;
    Spies spies(&control);
    QVERIFY(control.downloadFile(m_server.url("/broken.bin"), path("out.bin"), 2));
    QVERIFY(spies.waitForEnd());
    QTest::qWait(300);
    QCOMPARE(spies.error.count(), 1);
    QCOMPARE(spies.error.first().at(0).toString(), QStringLiteral("The connection has been broken,please login and download again"));
    QCOMPARE(spies.finished.count(), 0);
    // The partly written file keeps its preallocated length.
    QCOMPARE(QFileInfo(path("out.bin")).size(), qint64(1000000));
}

void TestDownload::unopenableDestination()
{
    m_server.servePattern("/file.bin", 10);
    DownloadControl control;
    Spies spies(&control);
    QVERIFY(!control.downloadFile(m_server.url("/file.bin"), path("missing-folder/out.bin"), 2));
    QVERIFY(!control.file);
    QCOMPARE(control.state, 0);
    QTest::qWait(100);
    QCOMPARE(spies.error.count() + spies.sizeError.count() + spies.finished.count(), 0);
    QCOMPARE(m_server.requestsFor("GET").size(), 0);
}

void TestDownload::stallCountIsNeverReset()
{
    DownloadThread worker;
    QSignalSpy error(&worker, &DownloadThread::error);
    worker.index = 1;
    worker.downloadTimeOut(); // no progress: the first stall is tolerated
    QCOMPARE(error.count(), 0);
    QCOMPARE(worker.stallCount, 1);
    worker.readySize = 500;
    worker.downloadTimeOut(); // progress
    QCOMPARE(error.count(), 0);
    worker.downloadTimeOut(); // a later stall, however much later, is reported
    QCOMPARE(error.count(), 1);
    QCOMPARE(error.first().at(1).toString(), QStringLiteral("The connection has been broken,please login and download again"));
    QCOMPARE(error.first().at(2).toBool(), false);
    QCOMPARE(worker.state, 0); // a stall does not change the state
}

void TestDownload::waitsEndWithinTheirBound_data()
{
    QTest::addColumn<TestHttpServer::Resource>("resource");
    QTest::addColumn<QString>("waiter");
    TestHttpServer::Resource silent;
    silent.patternSize = 100000;
    silent.silentTo = {"HEAD"};
    QTest::newRow("probe: a listener that never answers") << silent << "probe";
    silent.silentTo = {"GET"};
    QTest::newRow("segment: a listener that never answers") << silent << "segment";
    silent.silentTo = {"POST"};
    QTest::newRow("upload: an endpoint that never answers") << silent << "upload";
    // Nothing was kept: no resume record, so the caller does not restart to continue it.
    TestHttpServer::Resource stalls;
    stalls.patternSize = 100000;
    stalls.etag = "\"e1\"";
    stalls.stallAfter = 0;
    QTest::newRow("segment: a server with ETag that stalls at once") << stalls << "segment";
}

// Every wait ends after two intervals without an answer: a download on the
// broken-connection road, the log upload by returning to its caller.
void TestDownload::waitsEndWithinTheirBound()
{
    QFETCH(TestHttpServer::Resource, resource);
    QFETCH(QString, waiter);
    const int interval = 100;
    const qint64 boundMs = 5000;
    if (waiter == "upload") {
        m_server.serve("/api/file.api.php", resource);
        const QNetworkProxy before = QNetworkProxy::applicationProxy();
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", m_server.port()));
        const auto restore = qScopeGuard([&] { QNetworkProxy::setApplicationProxy(before); });
        QObject parent;
        QElapsedTimer timer;
        timer.start();
        LogUpload::upload(&parent, QStringLiteral("missing.log"), 2 * interval);
        QVERIFY2(timer.elapsed() >= 2 * interval - 20 && timer.elapsed() < boundMs, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(m_server.requestsFor("POST").size(), 1);
        return;
    }
    const bool probeFails = waiter == "probe";
    m_server.serve("/wait.bin", resource);
    DownloadControl control;
    control.stallInterval = interval;
    Spies spies(&control);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(control.downloadFile(m_server.url("/wait.bin"), path("out.bin"), 2), !probeFails);
    QTRY_COMPARE_WITH_TIMEOUT(spies.error.count() + spies.sizeError.count(), 1, int(boundMs));
    QVERIFY2(timer.elapsed() >= 2 * interval - 20 && timer.elapsed() < boundMs, qPrintable(QString::number(timer.elapsed())));
    const QSignalSpy &ended = probeFails ? spies.sizeError : spies.error;
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.first().first().toString(), QStringLiteral("The connection has been broken,please login and download again"));
    QCOMPARE(spies.finished.count(), 0);
    QVERIFY(!QFileInfo::exists(ResumeRecord::pathFor(path("out.bin"))));
}

void TestDownload::discardedBytesAreNoProgress_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("a 503 page that trickles") << 503;
    QTest::newRow("a 302 whose body trickles") << 302;
}

// An answer whose body is thrown away makes no progress however long it trickles:
// the stall checks end the download.
void TestDownload::discardedBytesAreNoProgress()
{
    QFETCH(int, status);
    TestHttpServer::Resource resource;
    resource.patternSize = 100000;
    resource.getStatus = status;
    resource.getLocation = "/elsewhere.bin";
    resource.errorBody = QByteArray(4 << 20, 'x'); // 80 s at 1 KB every 20 ms
    resource.trickleMs = 20;
    m_server.serve("/trickle.bin", resource);
    DownloadControl control;
    // Longer than the pause between the network library's progress reports, so that
    // every check would see counted bytes.
    control.stallInterval = 500;
    Spies spies(&control);
    QVERIFY(control.downloadFile(m_server.url("/trickle.bin"), path("out.bin"), 2));
    QVERIFY(spies.error.wait(20000));
    QCOMPARE(spies.error.first().first().toString(), QStringLiteral("The connection has been broken,please login and download again"));
    QCOMPARE(spies.finished.count(), 0);
}

void TestDownload::sizesAndAddressesAreHeldTo_data()
{
    QTest::addColumn<TestHttpServer::Resource>("resource");
    QTest::addColumn<qint64>("sizeLimit");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<qint64>("maxOnDisk"); // -1: no file at all
    QTest::addColumn<DownloadFailure>("kind");
    const QString longer = QStringLiteral("The server sent more of the file than asked for,please download again");
    const qint64 manifestLimit = 16 << 20;
    const qint64 signatureLimit = 1024;

    TestHttpServer::Resource resource;
    resource.content = "0123456789";
    resource.ignoreRange = true;
    QTest::newRow("segment body longer than its range") << resource << DownloadControl::maxFileSize << longer << qint64(10)
                                                        << DownloadFailure::LongerThanAsked;

    resource = {};
    resource.patternSize = 15000;
    resource.headContentLength = "20000";
    QTest::newRow("short file") << resource << DownloadControl::maxFileSize
                                << "The connection has been broken,please login and download again" << qint64(20000)
                                << DownloadFailure::BrokenConnection;

    resource = {};
    resource.patternSize = 20 << 20;
    QTest::newRow("20 MB manifest") << resource << manifestLimit
                                    << "The download file has 20971520 bytes, more than the 16777216 allowed,please check the download url"
                                    << qint64(-1) << DownloadFailure::TooLarge;

    // A probe without a length gives a size of 0: the body is taken up to the cap.
    resource = {};
    resource.patternSize = 10 << 10;
    resource.omitContentLength = true;
    QTest::newRow("10 KB signature without a length")
        << resource << signatureLimit << "The download file has more than the 1024 bytes allowed,please check the download url"
        << signatureLimit << DownloadFailure::TooLarge;

    resource = {};
    resource.status = 302;
    resource.location = "file:///etc/passwd";
    QTest::newRow("probe redirected to file:")
        << resource << DownloadControl::maxFileSize
        << "The server redirected the download to an unsupported address (file),please check the download url" << qint64(-1)
        << DownloadFailure::UnsupportedAddress;

    resource = {};
    resource.patternSize = 100;
    resource.getStatus = 302;
    resource.getLocation = "data:,secret";
    QTest::newRow("segment redirected to data:")
        << resource << DownloadControl::maxFileSize
        << "The server redirected the download to an unsupported address (data),please check the download url" << qint64(100)
        << DownloadFailure::UnsupportedAddress;
}

// Each ends on one download error, with nothing on disk past the size the probe found.
void TestDownload::sizesAndAddressesAreHeldTo()
{
    QFETCH(TestHttpServer::Resource, resource);
    QFETCH(qint64, sizeLimit);
    QFETCH(QString, expected);
    QFETCH(qint64, maxOnDisk);
    QFETCH(DownloadFailure, kind);
    m_server.serve("/sized.bin", resource);
    DownloadControl control;
    control.sizeLimit = sizeLimit;
    Spies spies(&control);
    QCOMPARE(control.downloadFile(m_server.url("/sized.bin"), path("out.bin"), 2), maxOnDisk >= 0);
    QTRY_COMPARE(spies.error.count() + spies.sizeError.count(), 1);
    const QSignalSpy &ended = maxOnDisk >= 0 ? spies.error : spies.sizeError;
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.first().first().toString(), expected);
    // The kind travels beside the text, and callers decide on it.
    QCOMPARE(spies.failed.count(), 1);
    QCOMPARE(spies.failed.first().first().value<DownloadFailure>(), kind);
    QCOMPARE(spies.finished.count(), 0);
    const QStringList written = QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    QCOMPARE(written, maxOnDisk >= 0 ? QStringList{"out.bin"} : QStringList());
    if (maxOnDisk >= 0)
        QVERIFY(QFileInfo(path("out.bin")).size() <= maxOnDisk);
}

void TestDownload::bodiesOfUnknownLength_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("a manifest") << qint64(100000);
    QTest::newRow("an empty document") << qint64(0);
}

// A generated document: no length on HEAD, none on GET, Range ignored. The body is the
// file, from one plain request, and no resume record claims any of it.
void TestDownload::bodiesOfUnknownLength()
{
    QFETCH(qint64, size);
    TestHttpServer::Resource resource;
    resource.patternSize = size;
    resource.omitContentLength = true;
    resource.closeDelimited = true;
    resource.ignoreRange = true;
    resource.etag = "\"m1\"";
    m_server.serve("/update.json", resource);
    DownloadControl control;
    control.sizeLimit = 16 << 20;
    Spies spies(&control);
    MessageCapture log;
    QVERIFY(control.downloadFile(m_server.url("/update.json"), path("update.json"), 2));
    QVERIFY(spies.finished.wait(10000));
    QCOMPARE(spies.error.count(), 0);
    QCOMPARE(readFile(path("update.json")), TestHttpServer::pattern(0, size));
    const QList<TestHttpServer::Request> gets = m_server.requestsFor("GET");
    QCOMPARE(gets.size(), 1);
    QVERIFY(!gets.first().headers.contains("range"));
    QCOMPARE(log.messages().filter("is unknown").size(), 1);
    QVERIFY(!QFileInfo::exists(ResumeRecord::pathFor(path("update.json"))));
}

void TestDownload::stalledSegmentFailsAtTheRealInterval()
{
    VELTORA_SLOW_CASE();
    TestHttpServer::Resource stalled;
    stalled.patternSize = 100000;
    stalled.stallAfter = 10;
    m_server.serve("/stalled2.bin", stalled);
    DownloadControl control;
    Spies spies(&control);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(control.downloadFile(m_server.url("/stalled2.bin"), path("out.bin"), 2));
    QVERIFY(spies.waitForEnd(45000));
    QCOMPARE(spies.error.count(), 1);
    QVERIFY(timer.elapsed() >= 29000);
}

void TestDownload::memoryStaysBoundedForLargeFiles()
{
    VELTORA_SLOW_CASE();
    const qint64 size = 200LL * 1024 * 1024;
    m_server.servePattern("/large.bin", size);
    QProcess child;
    // The address sanitizer keeps freed memory in quarantine; keep that small so the
    // figure shows what the download itself holds.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("quarantine_size_mb=4"));
    child.setProcessEnvironment(env);
    QSignalSpy done(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    child.start(QStringLiteral(DOWNLOAD_CHILD), {m_server.url("/large.bin"), path("large.bin")});
    QVERIFY(done.wait(300000));
    const QByteArray out = child.readAllStandardOutput().trimmed();
    QVERIFY2(out.startsWith("OK "), out.constData());
    const qint64 peakKb = out.mid(3).toLongLong();
    qInfo("peak memory of a 200 MB download: %lld KB", peakKb);
    // Holding the body would take at least the file's size; the sanitizer's own
    // allocator and shadow memory vary with scheduling, so the bound leaves room.
    QVERIFY2(peakKb < 150 * 1024, out.constData());

    QCryptographicHash expected(QCryptographicHash::Md5);
    for (qint64 at = 0; at < size; at += 1 << 20)
        expected.addData(TestHttpServer::pattern(at, qMin<qint64>(1 << 20, size - at)));
    QCOMPARE(getLocalFileMd5Value(path("large.bin")), expected.result().toHex());
}

void TestDownload::unusableSizesAreProbeFailures_data()
{
    QTest::addColumn<QByteArray>("contentLength");
    QTest::newRow("minus one") << QByteArray("-1");
    QTest::newRow("negative") << QByteArray("-5000");
    QTest::newRow("above 2^62") << QByteArray("4611686018427387905");
    QTest::newRow("beyond 64 bits") << QByteArray("99999999999999999999");
    QTest::newRow("one past the limit") << QByteArray::number(DownloadControl::maxFileSize + 1);
    QTest::newRow("not a number") << QByteArray("12abc");
}

void TestDownload::unusableSizesAreProbeFailures()
{
    QFETCH(QByteArray, contentLength);
    TestHttpServer::Resource lying;
    lying.content = "0123456789";
    lying.headContentLength = contentLength;
    m_server.serve("/lying.bin", lying);
    DownloadControl control;
    Spies spies(&control);
    QVERIFY(!control.downloadFile(m_server.url("/lying.bin"), path("out.bin"), 2));
    // The road of a failed probe: one size error, so the caller ends instead of waiting.
    QCOMPARE(spies.sizeError.count(), 1);
    QVERIFY2(spies.sizeError.first().first().toString().contains("invalid file size"),
             qPrintable(spies.sizeError.first().first().toString()));
    QCOMPARE(control.totalSize, qint64(-1));
    QCOMPARE(spies.error.count(), 0);
    QVERIFY(m_server.requestsFor("GET").isEmpty());
    QVERIFY(!QFileInfo::exists(path("out.bin")));
}

void TestDownload::failedWritesAreDownloadErrors_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<QString>("expected");
    // Before the start the file cannot be made full size: a probe failure.
    QTest::newRow("file cannot be made full size") << "before" << "Cannot create the file %1 at its full size: File too large";
    // After the start the segments' writes fail: a download error.
    QTest::newRow("write fails") << "after" << "Cannot write the file %1: File too large";
}

void TestDownload::failedWritesAreDownloadErrors()
{
    QFETCH(QString, when);
    QFETCH(QString, expected);
    m_server.servePattern("/big.bin", 4 << 20);
    QByteArray out;
    QCOMPARE(runChild({m_server.url("/big.bin"), path("big.bin"), QString::number(1 << 20), when}, &out), 1);
    QCOMPARE(QString::fromUtf8(out), "ERROR " + expected.arg(path("big.bin")));
}

void TestDownload::answersThatAreNotWritten_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<qint64>("rangeShift");
    QTest::newRow("error page 500") << 500 << QByteArray() << QString() << qint64(0);
    QTest::newRow("error page 416") << 416 << QByteArray() << QString() << qint64(0);
    QTest::newRow("302 without Location")
        << 302 << QByteArray() << "The server redirected the download without a new address,please check the download url" << qint64(0);
    QTest::newRow("307, which is not followed")
        << 307 << QByteArray("/elsewhere") << "The server answered the download with status 307,please check the download url" << qint64(0);
    QTest::newRow("206 of another range")
        << 0 << QByteArray() << "The server sent another part of the file than asked for,please download again" << qint64(10);
}

void TestDownload::answersThatAreNotWritten()
{
    QFETCH(int, status);
    QFETCH(QByteArray, location);
    QFETCH(QString, expected);
    QFETCH(qint64, rangeShift);
    TestHttpServer::Resource resource;
    resource.patternSize = 200000;
    resource.rangeShift = rangeShift;
    resource.getStatus = status;
    resource.getLocation = location;
    resource.errorBody = QByteArray("<html>error page</html>").repeated(2000);
    m_server.serve("/answer.bin", resource);
    DownloadControl control;
    Spies spies(&control);
    QVERIFY(control.downloadFile(m_server.url("/answer.bin"), path("out.bin"), 2));
    QVERIFY(spies.waitForEnd());
    QCOMPARE(spies.finished.count(), 0);
    QCOMPARE(spies.error.count(), 1);
    if (!expected.isEmpty())
        QCOMPARE(spies.error.first().first().toString(), expected);
    QCOMPARE(spies.error.first().at(1).toBool(), false);
    QVERIFY(m_server.requestsFor("GET").size() <= 2); // no loop round the same address (the other segment may be cut before it asks)
    QCOMPARE(readFile(path("out.bin")), QByteArray(200000, '\0'));
}

void TestDownload::startedFromAnotherThread_data()
{
    QTest::addColumn<qint64>("cutAfter");
    QTest::newRow("finishes") << qint64(-1);
    QTest::newRow("fails while the other segment reports") << qint64(300000);
}

// As in the updater: the controller lives on this (the window's) thread, the
// downloads are started from the update controller's thread.
void TestDownload::startedFromAnotherThread()
{
    QFETCH(qint64, cutAfter);
    const qint64 size = 3 << 20;
    TestHttpServer::Resource resource;
    resource.patternSize = size;
    resource.closeAfter = cutAfter;
    m_server.serve("/threads.bin", resource);
    QThread starter;
    starter.start();
    QObject onStarter;
    onStarter.moveToThread(&starter);
    auto control = std::make_unique<DownloadControl>();
    Spies spies(control.get());
    QSignalSpy started(&onStarter, &QObject::objectNameChanged);
    QMetaObject::invokeMethod(&onStarter, [&] {
        onStarter.setObjectName(control->downloadFile(m_server.url("/threads.bin"), path("out.bin"), 2) ? "yes" : "no");
    });
    QVERIFY(started.wait());
    QCOMPARE(onStarter.objectName(), QStringLiteral("yes"));
    QVERIFY(spies.waitForEnd());
    if (cutAfter < 0) {
        QCOMPARE(spies.finished.count(), 1);
        QCOMPARE(spies.progress.last().at(3).toLongLong(), size + 1);
        QCOMPARE(readFile(path("out.bin")), TestHttpServer::pattern(0, size));
    } else {
        // Reports queued before the error must not reach the deleted workers.
        const int reports = spies.progress.count();
        QTest::qWait(300);
        QCOMPARE(spies.error.count(), 1);
        QCOMPARE(spies.progress.count(), reports);
        QVERIFY(control->threadList.isEmpty());
    }
    control.reset();
    starter.quit();
    QVERIFY(starter.wait());
}

void TestDownload::recordsAreUntrusted_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<Ranges>("done");
    const QByteArray head = R"({"url":"http://h/f","validator":"\"v\"","size":1000,)";
    QTest::newRow("overlapping ranges merge") << head + R"("ranges":[[500,700],[0,100],[50,200]]})" << true
                                              << Ranges{{0, 200}, {500, 700}};
    QTest::newRow("range up to the size") << head + R"("ranges":[[900,1000]]})" << true << Ranges{{900, 1000}};
    QTest::newRow("range past the size") << head + R"("ranges":[[900,1001]]})" << false << Ranges{};
    QTest::newRow("negative begin") << head + R"("ranges":[[-1,10]]})" << false << Ranges{};
    QTest::newRow("empty range") << head + R"("ranges":[[10,10]]})" << false << Ranges{};
    QTest::newRow("fractional offset") << head + R"("ranges":[[0,10.5]]})" << false << Ranges{};
    QTest::newRow("three numbers") << head + R"("ranges":[[0,10,20]]})" << false << Ranges{};
    QTest::newRow("size past the limit") << QByteArray(R"({"url":"u","validator":"v","size":1e300,"ranges":[]})") << false << Ranges{};
    QTest::newRow("no validator") << QByteArray(R"({"url":"u","size":10,"ranges":[]})") << false << Ranges{};
    QTest::newRow("not JSON") << QByteArray("{\"url\":") << false << Ranges{};
}

void TestDownload::recordsAreUntrusted()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, valid);
    QFETCH(Ranges, done);
    QVERIFY(TestFiles::writeFile(path("r.json"), json));
    ResumeRecord record;
    QString error;
    QCOMPARE(ResumeRecord::load(path("r.json"), &record, &error), valid);
    if (valid)
        QCOMPARE(record.done, done);
}

void TestDownload::missingRangesAreSplit_data()
{
    QTest::addColumn<Ranges>("missing");
    QTest::addColumn<int>("count");
    QTest::addColumn<Segments>("segments");
    QTest::newRow("one range in two") << Ranges{{100, 200}} << 2 << Segments{{100, 150}, {150, 200}};
    QTest::newRow("two ranges, two segments") << Ranges{{10, 20}, {60, 100}} << 2 << Segments{{10, 20}, {60, 100}};
    QTest::newRow("the larger one is split") << Ranges{{0, 10}, {50, 150}} << 3 << Segments{{0, 10}, {50, 100}, {100, 150}};
    QTest::newRow("the closest are joined") << Ranges{{0, 10}, {12, 20}, {90, 100}} << 2 << Segments{{0, 20}, {90, 100}};
    QTest::newRow("one byte in two") << Ranges{{7, 8}} << 2 << Segments{{7, 7}, {7, 8}};
}

void TestDownload::missingRangesAreSplit()
{
    QFETCH(Ranges, missing);
    QFETCH(int, count);
    QFETCH(Segments, segments);
    QCOMPARE(ResumeRecord::plan(missing, count), segments);
}

void TestDownload::resumesAfterACut_data()
{
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("lastModified");
    QTest::addColumn<QByteArray>("newEtag");
    QTest::addColumn<qint64>("newSize");
    QTest::addColumn<bool>("resumes");
    QTest::addColumn<bool>("changesAfterHead");
    const qint64 size = 1 << 20;
    const QByteArray date = "Tue, 08 Dec 2026 08:00:00 GMT";
    QTest::newRow("same ETag") << QByteArray("\"v1\"") << QByteArray() << QByteArray("\"v1\"") << size << true << false;
    QTest::newRow("same Last-Modified") << QByteArray() << date << QByteArray() << size << true << false;
    QTest::newRow("weak ETag, same Last-Modified") << QByteArray("W/\"v1\"") << date << QByteArray("W/\"v1\"") << size << true << false;
    QTest::newRow("changed ETag") << QByteArray("\"v1\"") << QByteArray() << QByteArray("\"v2\"") << size << false << false;
    QTest::newRow("changed size") << QByteArray("\"v1\"") << QByteArray() << QByteArray("\"v1\"") << size + 10 << false << false;
    QTest::newRow("no validator") << QByteArray() << QByteArray() << QByteArray() << size << false << false;
    // The probe still sees the old validator, the ranged requests get the whole new file.
    QTest::newRow("changed after the probe") << QByteArray("\"v1\"") << QByteArray() << QByteArray("\"v1\"") << size << false << true;
}

void TestDownload::resumesAfterACut()
{
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, lastModified);
    QFETCH(QByteArray, newEtag);
    QFETCH(qint64, newSize);
    QFETCH(bool, resumes);
    QFETCH(bool, changesAfterHead);
    TestHttpServer::Resource resource;
    resource.patternSize = 1 << 20;
    resource.etag = etag;
    resource.lastModified = lastModified;
    resource.closeAfter = 150000; // per segment
    m_server.serve("/resume.bin", resource);
    {
        DownloadControl control;
        Spies spies(&control);
        QVERIFY(control.downloadFile(m_server.url("/resume.bin"), path("out.bin"), 2));
        QVERIFY(spies.waitForEnd());
        QCOMPARE(spies.error.count(), 1);
    }
    ResumeRecord kept;
    QString error;
    QCOMPARE(ResumeRecord::load(ResumeRecord::pathFor(path("out.bin")), &kept, &error), !etag.isEmpty() || !lastModified.isEmpty());

    resource.closeAfter = -1;
    resource.patternSize = newSize;
    resource.etag = newEtag;
    resource.changesAfterHead = changesAfterHead;
    m_server.serve("/resume.bin", resource);
    if (changesAfterHead) {
        // The whole-file answer is not written at a range's offset; the record goes.
        const QByteArray before = readFile(path("out.bin"));
        DownloadControl control;
        Spies spies(&control);
        QVERIFY(control.downloadFile(m_server.url("/resume.bin"), path("out.bin"), 2));
        QVERIFY(spies.waitForEnd());
        QCOMPARE(spies.error.count(), 1);
        QCOMPARE(spies.error.first().first().toString(),
                 QStringLiteral("The download file has changed on the server,please download again"));
        QVERIFY(!QFileInfo::exists(ResumeRecord::pathFor(path("out.bin"))));
        QCOMPARE(readFile(path("out.bin")), before);
    }
    m_server.clearRequests();
    MessageCapture log;
    DownloadControl control;
    Spies spies(&control);
    QVERIFY(control.downloadFile(m_server.url("/resume.bin"), path("out.bin"), 2));
    QVERIFY(spies.waitForEnd());
    QCOMPARE(spies.finished.count(), 1);
    QCOMPARE(readFile(path("out.bin")), TestHttpServer::pattern(0, newSize));
    QVERIFY(!QFileInfo::exists(ResumeRecord::pathFor(path("out.bin"))));
    qint64 requested = 0;
    for (const auto &request : m_server.requestsFor("GET")) {
        const QList<QByteArray> bounds = request.headers.value("range").mid(6).split('-');
        requested += qMin(bounds.at(1).toLongLong(), newSize - 1) - bounds.at(0).toLongLong() + 1;
        QCOMPARE(request.headers.value("if-range"), resumes ? (etag.startsWith("W/") || etag.isEmpty() ? lastModified : etag) : QByteArray());
    }
    const QStringList resumedLines = log.messages().filter("resumed bytes");
    QCOMPARE(resumedLines.size(), resumes ? 1 : 0);
    if (resumes) {
        // Only what the record lacks is asked for again (boundaries twice).
        QVERIFY(kept.doneBytes() > 0);
        QVERIFY2(requested <= newSize - kept.doneBytes() + 2, qPrintable(QString::number(requested)));
        QVERIFY(resumedLines.first().contains(QString::number(kept.doneBytes())));
        QCOMPARE(spies.progress.last().at(3).toLongLong(), newSize + 1);
    } else {
        QCOMPARE(requested, newSize + 1);
    }
}

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
