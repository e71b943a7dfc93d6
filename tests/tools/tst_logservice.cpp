#include "DataPaths.h"
#include "FailureReport.h"
#include "LogStore.h"
#include "LogUpload.h"
#include "LogsService.h"
#include "TestHome.h"
#include "TestHttpServer.h"
#include "RateLimiter.h"
#include "ThrowawayPostgres.h"
#include "UploadCheck.h"
#include "UploadKey.h"
#include "UploadLoad.h"

#include <QDateTime>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QNetworkProxyFactory>
#include <QSqlError>
#include <QSqlQuery>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Reply
{
    int status = 0;
    QByteArray headers;
    QByteArray body;
};

// One request on a connection of its own, as raw bytes: truncated bodies stay truncated.
Reply exchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    Reply reply;
    if (!socket.waitForConnected(5000))
        return reply;
    socket.write(request);
    QByteArray answer;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        answer += socket.readAll();
    answer += socket.readAll();
    const int headerEnd = answer.indexOf("\r\n\r\n");
    reply.status = answer.mid(9, 3).toInt();
    reply.headers = answer.left(headerEnd);
    reply.body = answer.mid(headerEnd + 4);
    return reply;
}

QByteArray post(const QByteArray &contentType, const QByteArray &body, const QByteArray &target = "/api/file.api.php?action=putFailedData")
{
    return "POST " + target + " HTTP/1.1\r\nHost: " VELTORA_VENDOR_HOST "\r\nConnection: close\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// Replaces the content of the named part of a multipart body.
QByteArray withPart(QByteArray body, const QByteArray &name, const QByteArray &content)
{
    const int header = body.indexOf("name=\"" + name + "\"");
    const int start = body.indexOf("\r\n\r\n", header) + 4;
    const int end = body.indexOf("\r\n--", start);
    return body.replace(start, end - start, content);
}

QByteArray withoutPart(QByteArray body, const QByteArray &name)
{
    const int header = body.indexOf("name=\"" + name + "\"");
    const int start = body.lastIndexOf("--", body.lastIndexOf("\r\n", header - 1) - 1);
    const int end = body.indexOf("\r\n--", header) + 2;
    return body.remove(start, end - start);
}

// The service's peak resident memory so far, from /proc.
qint64 peakKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Rows of the programs' own upload made for a given time and name, for the store tests.
StoredLog storedRow(const QString &name, const QByteArray &log, qint64 receivedAtMs)
{
    StoredLog row;
    row.fileName = name;
    row.log = log;
    row.receivedAtMs = receivedAtMs;
    row.address = QStringLiteral("192.0.2.1");
    row.digest = QCryptographicHash::hash(name.toUtf8() + log, QCryptographicHash::Sha256).toHex();
    row.fields = FailureLog::parse(name, log);
    return row;
}

QByteArray failingLog(const QByteArray &release, const QByteArray &reason)
{
    return "##update##Debug: (2026-12-09 10:00:00.000) ******** VeltoraVersion:  \"2.9\"\r\n"
           "##update##Debug: (2026-12-09 10:00:00.123) targetRelease: " + release + ", rolloutShare: 20\r\n"
           "##update##Debug: (2026-12-09 10:00:01.000) Update refused: " + reason + "\r\n";
}

} // namespace

class TestLogService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void requests_data();
    void requests();
    void failuresPageAndReport();
    void uploadCheckEdges_data();
    void uploadCheckEdges();
    void abuse_data();
    void abuse();
    void olderStoreUpgraded_data();
    void olderStoreUpgraded();
    void failuresPerDayByRelease();
    void fullQueueAnsweredAtOnce();

private:
    // The request the programs send, made by their own upload code, for a log of this name.
    TestHttpServer::Request clientRequest(const QString &name);
    int rowsNamed(const QString &name);

    TestHome m_home;
    TestHttpServer m_proxy;
    QTemporaryDir m_dir;
    LogsService m_service{QStringLiteral(LOGS_SERVICE)};
    QByteArray m_log;
    TestHttpServer::Request m_first;
    QString m_firstName;
};

static const int maxSize = 64 * 1024;
static const int ratePerMinute = 20;

void TestLogService::initTestCase()
{
    m_home.applyToCurrentProcess();
    QVERIFY(m_proxy.listen());
    qputenv("http_proxy", QStringLiteral("http://127.0.0.1:%1").arg(m_proxy.port()).toLatin1());
    qunsetenv("no_proxy");
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    m_proxy.serveContent("/api/file.api.php", "ok");
    QFile log(QFINDTESTDATA("../data/logs/signature-mismatch.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    m_log = log.readAll();
    QVERIFY(m_service.start({QStringLiteral("--db"), m_dir.filePath(QStringLiteral("logs.sqlite")), QStringLiteral("--max-size"),
                             QString::number(maxSize), QStringLiteral("--rate"), QString::number(ratePerMinute)}));
}

TestHttpServer::Request TestLogService::clientRequest(const QString &name)
{
    QDir().mkpath(DataPaths::updateDirectory());
    QFile file(DataPaths::updateDirectory() + QLatin1Char('/') + name);
    file.open(QIODevice::WriteOnly);
    file.write(m_log);
    file.close();
    m_proxy.clearRequests();
    QObject parent;
    LogUpload::upload(&parent, name);
    return m_proxy.requests().value(0);
}

int TestLogService::rowsNamed(const QString &name)
{
    LogStore store(m_dir.filePath(QStringLiteral("logs.sqlite")));
    QString error;
    int rows = 0;
    for (const StoredLog &row : store.latest(0, std::numeric_limits<qint64>::max(), 100000, &error))
        rows += row.fileName == name;
    return rows;
}

enum class Change { None, Again, WrongKey, OldTimestamp, SlowClock, MissingPart, LogOverLimit, BodyFarOverLimit, Truncated, Get, UnknownAction, Flood };
Q_DECLARE_METATYPE(Change)

void TestLogService::requests_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("logLine");
    // In this order: the first row's upload is sent again, the flood uses up the rate.
    QTest::newRow("the clients' real request") << Change::None << 200 << 1 << "POST /api/file.api.php 200 ok";
    QTest::newRow("the same upload again") << Change::Again << 200 << 1 << "127.0.0.1 sent";
    QTest::newRow("wrong key") << Change::WrongKey << 403 << 0 << "403 refused: the key does not match";
    QTest::newRow("timestamp outside the window") << Change::OldTimestamp << 403 << 0 << "403 refused: the timestamp is -7776";
    // The programs never read the answer: a machine whose clock is days off keeps its log.
    QTest::newRow("clock two days slow") << Change::SlowClock << 200 << 1 << "stored update_mac_1.0_clock-two-days-slow.log";
    QTest::newRow("missing part") << Change::MissingPart << 400 << 0 << "400 refused: 3 parts instead of";
    QTest::newRow("log over the limit") << Change::LogOverLimit << 413 << 0 << "413 refused: the log is larger than 65536 bytes";
    QTest::newRow("body far over the limit, refused unread") << Change::BodyFarOverLimit << 413 << 0 << "413 refused: the upload is larger";
    QTest::newRow("truncated multipart") << Change::Truncated << 400 << 0 << "400 refused: the request or its multipart body is malformed";
    QTest::newRow("GET on the upload path") << Change::Get << 405 << 0 << "GET /api/file.api.php 405";
    QTest::newRow("unknown action") << Change::UnknownAction << 404 << 0 << "404 refused: unknown action";
    QTest::newRow("flood from one address") << Change::Flood << 429 << 0 << "429 refused: too many uploads";
}

void TestLogService::requests()
{
    QFETCH(Change, change);
    QFETCH(int, status);
    QFETCH(int, rows);
    QFETCH(QString, logLine);
    QString name = QStringLiteral("update_mac_1.0_%1.log").arg(QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')));
    if (change == Change::Again)
        name = m_firstName;
    const TestHttpServer::Request real = change == Change::Again ? m_first : clientRequest(name);
    QVERIFY(!real.body.isEmpty());
    const QByteArray type = real.headers.value("content-type");
    QByteArray body = real.body;
    QByteArray request;
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());
    const quint32 old = now - 9 * 24 * 3600;
    const quint32 slow = now - 2 * 24 * 3600;
    switch (change) {
    case Change::None:
        m_first = real;
        m_firstName = name;
        Q_FALLTHROUGH();
    case Change::Again: request = post(type, body); break;
    case Change::WrongKey: request = post(type, withPart(body, "key", UploadKey::keyFor(now + 1))); break;
    case Change::OldTimestamp:
        request = post(type, withPart(withPart(body, "timestamp", QByteArray::number(old)), "key", UploadKey::keyFor(old)));
        break;
    case Change::SlowClock:
        request = post(type, withPart(withPart(body, "timestamp", QByteArray::number(slow)), "key", UploadKey::keyFor(slow)));
        break;
    case Change::MissingPart: request = post(type, withoutPart(body, "save_name")); break;
    case Change::LogOverLimit: request = post(type, withPart(body, "save_data", QByteArray(maxSize + 1, 'x'))); break;
    case Change::BodyFarOverLimit: request = post(type, withPart(body, "save_data", QByteArray(maxSize + 70 * 1024, 'x'))); break;
    case Change::Truncated: request = post(type, body.left(body.lastIndexOf("\r\n--"))); break;
    case Change::Get: request = "GET /api/file.api.php?action=putFailedData HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"; break;
    case Change::UnknownAction: request = post(type, body, "/api/file.api.php?action=getFailedData"); break;
    case Change::Flood: break;
    }
    Reply reply;
    if (change == Change::Flood) {
        // Every upload a new one, each claiming another address in a header the service does not
        // trust; the last of a minute's worth is refused whatever came before.
        for (int i = 0; i <= ratePerMinute; ++i) {
            const QByteArray renamed = name.toLatin1() + (i < ratePerMinute ? QByteArray::number(i) : QByteArray());
            const QByteArray spoofed = post(type, withPart(body, "save_name", renamed))
                                           .replace("Connection: close\r\n", "Connection: close\r\nX-Real-IP: 10.0.0." + QByteArray::number(i) + "\r\n");
            reply = exchange(m_service.port(), spoofed);
        }
    } else {
        reply = exchange(m_service.port(), request);
    }
    QCOMPARE(reply.status, status);
    QCOMPARE(rowsNamed(name), rows);
    QTRY_VERIFY2(m_service.log().contains(logLine), qPrintable(m_service.log().right(600)));
    if (change == Change::SlowClock) {
        LogStore store(m_dir.filePath(QStringLiteral("logs.sqlite")));
        QString error;
        const QVector<StoredLog> latest = store.latest(0, std::numeric_limits<qint64>::max(), 1, &error);
        QCOMPARE(latest.size(), 1);
        QVERIFY2(qAbs(latest.first().clockSkewSeconds + 2 * 24 * 3600) <= 5, qPrintable(QString::number(latest.first().clockSkewSeconds)));
    }
}

void TestLogService::failuresPageAndReport()
{
    // A log whose texts would be markup if the page did not escape them.
    const QByteArray hostile = "##update##Debug: (2026-12-08 10:00:00.000) ******** VeltoraVersion:  \"1.0<b>\"\r\n"
                               "##update##Debug: (2026-12-08 10:00:01.000) Update refused: <img src=x onerror=alert(1)>\r\n"
                               "##update##Debug: (2026-12-08 10:00:02.000) ========upload Log========\r\n";
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());
    const TestHttpServer::Request real = m_first;
    QByteArray body = withPart(withPart(real.body, "timestamp", QByteArray::number(now)), "key", UploadKey::keyFor(now));
    body = withPart(withPart(body, "save_name", "update_mac_1.0<i>_x.log"), "save_data", hostile);
    // A second service on the same store, whose rate the flood has not used up.
    LogsService service{QStringLiteral(LOGS_SERVICE)};
    QVERIFY(service.start({QStringLiteral("--db"), m_dir.filePath(QStringLiteral("logs.sqlite"))}));
    QCOMPARE(exchange(service.port(), post(real.headers.value("content-type"), body)).status, 200);

    const Reply page = exchange(service.port(), "GET /failures HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("Update refused: &lt;img src=x onerror=alert(1)&gt;"));
    QVERIFY(page.body.contains("1.0&lt;b&gt;"));
    QVERIFY(page.body.contains("update_mac_1.0&lt;i&gt;_x.log"));
    QVERIFY(!page.body.contains("<img") && !page.body.contains("<b>") && !page.body.contains("<i>"));
    QVERIFY(page.body.contains("<svg"));
    const QRegularExpressionMatch link = QRegularExpression(QStringLiteral("href=\"(/failures/log/[0-9a-f]{64})\">update_mac_1.0&lt;i&gt;"))
                                             .match(QString::fromUtf8(page.body));
    QVERIFY(link.hasMatch());
    const Reply stored = exchange(service.port(), "GET " + link.captured(1).toLatin1() + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(stored.status, 200);
    QCOMPARE(stored.body, hostile);
    QVERIFY(stored.headers.contains("Content-Type: text/plain"));

    QProcess report;
    report.start(QStringLiteral(LOGS_SERVICE), {QStringLiteral("report"), QStringLiteral("--db"), m_dir.filePath(QStringLiteral("logs.sqlite"))});
    QVERIFY(report.waitForFinished(30000));
    QCOMPARE(report.exitCode(), 0);
    const QString text = QString::fromUtf8(report.readAllStandardOutput());
    // The real request and the flood's accepted copies make one group.
    QVERIFY2(text.contains(QRegularExpression(QStringLiteral(
                 "\\n1\\.0 +\\d+  Update refused: the signature does not match the manifest and the release key\\n"))),
             qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression(QStringLiteral("\\n1\\.0<b> +1  Update refused: <img src=x onerror=alert\\(1\\)>\\n"))), qPrintable(text));
}

void TestLogService::uploadCheckEdges_data()
{
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<int>("logBytes");
    QTest::addColumn<int>("status");
    QTest::newRow("at the window's past edge") << qint64(-600) << 10 << 200;
    QTest::newRow("a second past it") << qint64(-601) << 10 << 403;
    QTest::newRow("at the window's future edge") << qint64(600) << 10 << 200;
    QTest::newRow("a second beyond it") << qint64(601) << 10 << 403;
    QTest::newRow("log at the size limit") << qint64(0) << 1000 << 200;
    QTest::newRow("log a byte over it") << qint64(0) << 1001 << 413;
}

void TestLogService::uploadCheckEdges()
{
    QFETCH(qint64, offset);
    QFETCH(int, logBytes);
    QFETCH(int, status);
    UploadCheck check;
    check.windowSeconds = 600;
    check.maxLogBytes = 1000;
    const qint64 now = 1700000000;
    const quint32 time = quint32(now + offset);
    const UploadParts parts{UploadKey::keyFor(time), QByteArray::number(time), "update_mac_1.0_x.log", QByteArray(logBytes, 'x')};
    QCOMPARE(check.check(parts, now).status, status);
}

enum class Abuse { ChunkedBody, BodyWithoutLength, DeclaredLength, HalfSentRequests, AddressTableFilled, OneIpv6Network, StoreUnbounded, DayVolume, ManyReasons, ControlCharacters };
Q_DECLARE_METATYPE(Abuse)

// What an attacker on loopback tried; each row fails when the bound it names does not hold.
void TestLogService::abuse_data()
{
    QTest::addColumn<Abuse>("abuse");
    QTest::newRow("chunked body far over the limit held in memory") << Abuse::ChunkedBody;
    QTest::newRow("body without a length far over the limit held in memory") << Abuse::BodyWithoutLength;
    QTest::newRow("declared length over the limit not refused at once") << Abuse::DeclaredLength;
    QTest::newRow("60 half-sent requests keep an upload waiting") << Abuse::HalfSentRequests;
    QTest::newRow("a full table of addresses refuses new ones") << Abuse::AddressTableFilled;
    QTest::newRow("one IPv6 /64 counted as many clients") << Abuse::OneIpv6Network;
    QTest::newRow("the store grows without bound") << Abuse::StoreUnbounded;
    QTest::newRow("one address sends more than a day's volume") << Abuse::DayVolume;
    QTest::newRow("the failures page lists 20,000 reasons") << Abuse::ManyReasons;
    QTest::newRow("control characters beyond C0 reach the report") << Abuse::ControlCharacters;
}

void TestLogService::abuse()
{
    QFETCH(Abuse, abuse);
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("logs.sqlite"));
    QStringList options{QStringLiteral("--db"), db, QStringLiteral("--max-size"), QString::number(maxSize), QStringLiteral("--rate"), QStringLiteral("0")};
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());
    QByteArray type;
    const auto upload = [&](quint16 port, const QByteArray &name, const QByteArray &log, const QByteArray &extraHeaders = QByteArray()) {
        const QByteArray body = UploadLoad::body(now, name, log, &type);
        return exchange(port, post(type, body).replace("Connection: close\r\n", "Connection: close\r\n" + extraHeaders));
    };

    switch (abuse) {
    case Abuse::ChunkedBody:
    case Abuse::BodyWithoutLength: {
        LogsService service{QStringLiteral(LOGS_SERVICE)};
        QVERIFY(service.start(options));
        const QByteArray body = UploadLoad::body(now, "update_mac_1.0_big.log", "x", &type);
        const bool chunked = abuse == Abuse::ChunkedBody;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, service.port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("POST /api/file.api.php?action=putFailedData HTTP/1.1\r\nHost: x\r\nContent-Type: " + type + "\r\n"
                     + (chunked ? "Transfer-Encoding: chunked\r\n" : "Connection: close\r\n") + "\r\n");
        const QByteArray start = body.left(body.lastIndexOf("x\r\n--"));
        const QByteArray mb(1024 * 1024, 'x');
        const qint64 before = peakKb(service.pid());
        // 128 MB in a log part whose limit is 64 KB, as fast as the service takes it.
        int sent = 0;
        for (int i = 0; i < 128 && socket.state() == QAbstractSocket::ConnectedState; ++i) {
            const QByteArray data = i == 0 ? start + mb : mb;
            socket.write(chunked ? QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n" : data);
            while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) {
            }
            if (socket.bytesToWrite() > 0)
                break;
            ++sent;
        }
        const qint64 grown = peakKb(service.pid()) - before;
        QVERIFY2(sent < 128, "the service read all of it");
        QVERIFY2(grown < 32 * 1024, qPrintable(QStringLiteral("%1 kB more").arg(grown)));
        break;
    }
    case Abuse::DeclaredLength: {
        LogsService service{QStringLiteral(LOGS_SERVICE)};
        QVERIFY(service.start(options));
        QElapsedTimer timer;
        timer.start();
        const Reply reply = exchange(service.port(), "POST /api/file.api.php?action=putFailedData HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                                                     "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: 1000000000\r\n\r\n--b\r\n");
        QCOMPARE(reply.status, 413);
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        break;
    }
    case Abuse::HalfSentRequests: {
        LogsService service{QStringLiteral(LOGS_SERVICE)};
        QVERIFY(service.start(options));
        std::vector<int> slow;
        const auto closeAll = qScopeGuard([&] {
            for (int fd : slow)
                ::close(fd);
        });
        for (int i = 0; i < 60; ++i) {
            slow.push_back(UploadLoad::halfSentFrom("127.0.0.2", service.port()));
            QVERIFY(slow.back() >= 0);
        }
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(upload(service.port(), "update_mac_1.0_after-slow.log", m_log).status, 200);
        QVERIFY2(timer.elapsed() < 4000, qPrintable(QString::number(timer.elapsed())));
        break;
    }
    case Abuse::AddressTableFilled: {
        RateLimiter limiter(1, 0, 1000);
        for (int i = 0; i < 1000; ++i)
            QVERIFY(limiter.allow(QStringLiteral("10.0.%1.%2").arg(i / 256).arg(i % 256), 1000));
        QVERIFY(limiter.allow(QStringLiteral("192.0.2.1"), 1001));
        QCOMPARE(limiter.clients(), 1000);
        break;
    }
    case Abuse::OneIpv6Network: {
        LogsService service{QStringLiteral(LOGS_SERVICE)};
        options.replace(options.indexOf(QStringLiteral("--rate")) + 1, QStringLiteral("3"));
        QVERIFY(service.start(options + QStringList{QStringLiteral("--trust-proxy")}));
        QVector<int> statuses;
        for (int i = 1; i <= 4; ++i)
            statuses.append(upload(service.port(), "update_mac_1.0_v6-" + QByteArray::number(i) + ".log", m_log,
                                   "X-Real-IP: 2001:db8:0:7::" + QByteArray::number(i, 16) + "\r\n")
                                .status);
        QCOMPARE(statuses, (QVector<int>{200, 200, 200, 429}));
        break;
    }
    case Abuse::StoreUnbounded: {
        {
            LogStore store(db);
            QString error;
            QVERIFY2(store.open(&error), qPrintable(error));
            const qint64 old = QDateTime::currentMSecsSinceEpoch() - 400LL * 24 * 3600 * 1000;
            QCOMPARE(store.store(storedRow(QStringLiteral("update_mac_1.0_old.log"), "old", old), &error), LogStore::Outcome::Stored);
        }
        LogsService service{QStringLiteral(LOGS_SERVICE)};
        QVERIFY(service.start(options + QStringList{QStringLiteral("--max-store"), QStringLiteral("200000"), QStringLiteral("--keep-days"), QStringLiteral("30")}));
        for (int i = 0; i < 8; ++i)
            QCOMPARE(upload(service.port(), "update_mac_1.0_fill-" + QByteArray::number(i) + ".log", QByteArray(60000, char('a' + i))).status, 200);
        // Trimmed once the group's answers are out.
        LogStore store(db);
        QString error;
        QVector<StoredLog> rows;
        const auto total = [&] {
            rows = store.latest(0, std::numeric_limits<qint64>::max(), 100, &error);
            qint64 bytes = 0;
            for (const StoredLog &row : qAsConst(rows))
                bytes += row.logBytes;
            return bytes;
        };
        QTRY_VERIFY2(total() <= 200000, qPrintable(QString::number(total())));
        QCOMPARE(rows.first().fileName, QStringLiteral("update_mac_1.0_fill-7.log"));
        QCOMPARE(rows.last().fileName, QStringLiteral("update_mac_1.0_fill-5.log"));
        break;
    }
    case Abuse::DayVolume: {
        LogsService service{QStringLiteral(LOGS_SERVICE)};
        QVERIFY(service.start(options + QStringList{QStringLiteral("--day-volume"), QStringLiteral("100000")}));
        QCOMPARE(upload(service.port(), "update_mac_1.0_day-1.log", QByteArray(60000, 'a')).status, 200);
        QCOMPARE(upload(service.port(), "update_mac_1.0_day-2.log", QByteArray(60000, 'b')).status, 429);
        break;
    }
    case Abuse::ManyReasons: {
        {
            LogStore store(db);
            QString error;
            QVERIFY2(store.open(&error), qPrintable(error));
            const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
            QVector<StoredLog> rows;
            for (int i = 0; i < 20000; ++i) {
                rows.append(storedRow(QStringLiteral("update_mac_1.0_r%1.log").arg(i), failingLog("3.0", "reason " + QByteArray::number(i)), nowMs - i));
                if (rows.size() == 5000) {
                    for (LogStore::Outcome o : store.storeAll(rows, &error))
                        QCOMPARE(o, LogStore::Outcome::Stored);
                    rows.clear();
                }
            }
        }
        LogsService service{QStringLiteral(LOGS_SERVICE)};
        QVERIFY(service.start(options));
        const Reply page = exchange(service.port(), "GET /failures HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        QCOMPARE(page.status, 200);
        QVERIFY2(page.body.size() < 1024 * 1024, qPrintable(QString::number(page.body.size())));
        QVERIFY(page.body.contains("rows=1000\">Show more"));
        break;
    }
    case Abuse::ControlCharacters: {
        LogsService service{QStringLiteral(LOGS_SERVICE)};
        QVERIFY(service.start(options));
        // CSI (U+009B) starts a terminal escape; U+202E turns the text around.
        QCOMPARE(upload(service.port(), "update_mac_1.0_c1\xc2\x9b.log", failingLog("3.0\xe2\x80\xae", "\xc2\x9b" "31m red \xe2\x80\xae")).status, 200);
        QProcess report;
        report.start(QStringLiteral(LOGS_SERVICE), {QStringLiteral("report"), QStringLiteral("--db"), db});
        QVERIFY(report.waitForFinished(30000));
        const QString text = QString::fromUtf8(report.readAllStandardOutput());
        const QString page = QString::fromUtf8(exchange(service.port(), "GET /failures HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").body);
        QVERIFY2(text.contains(QStringLiteral("31m red")), qPrintable(text));
        for (const QString &shown : {text, page}) {
            for (const QChar c : shown)
                QVERIFY2(c == QLatin1Char('\n') || (c.category() != QChar::Other_Control && c.category() != QChar::Other_Format),
                         qPrintable(QStringLiteral("U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0'))));
        }
        break;
    }
    }
}

// A store the service wrote before its schema had a version is brought up to date, its rows
// kept; one of a newer schema is refused rather than written wrongly.
void TestLogService::olderStoreUpgraded_data()
{
    QTest::addColumn<bool>("postgres");
    QTest::newRow("SQLite") << false;
    QTest::newRow("PostgreSQL") << true;
}

void TestLogService::olderStoreUpgraded()
{
    QFETCH(bool, postgres);
    QTemporaryDir dir;
    ThrowawayPostgres server;
    QString why;
    const QString connection = server.storeFor(postgres, dir, &why);
    if (connection.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no PostgreSQL to test with: ") + why));
    {
        // The table as the first version of the service made it, with one row.
        LogStore store(connection);
        QString error;
        QSqlDatabase db = postgres ? QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("old"))
                                   : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
        if (postgres) {
            const QUrl url(connection);
            db.setHostName(url.host());
            db.setPort(url.port());
            db.setUserName(url.userName());
            db.setDatabaseName(url.path().mid(1));
        } else {
            db.setDatabaseName(connection);
        }
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
        QSqlQuery query(db);
        QVERIFY2(query.exec(QStringLiteral("CREATE TABLE failure_logs (digest CHAR(64) PRIMARY KEY, received_at BIGINT NOT NULL,"
                                           " address TEXT NOT NULL, file_name TEXT NOT NULL, installed_version TEXT NOT NULL,"
                                           " platform TEXT NOT NULL, manifest_url TEXT NOT NULL, road TEXT NOT NULL,"
                                           " last_error TEXT NOT NULL, final_message TEXT NOT NULL, reason TEXT NOT NULL, log BYTEA NOT NULL)")),
                 qPrintable(query.lastError().text()));
        QVERIFY2(query.exec(QStringLiteral("INSERT INTO failure_logs VALUES ('%1', 1000, 'a', 'update_mac_1.0_old.log', '1.0', 'mac', '', '',"
                                           " 'e', '', 'r', '%2')")
                                .arg(QString(64, QLatin1Char('a')), postgres ? QStringLiteral("\\x616263") : QStringLiteral("abc"))),
                 qPrintable(query.lastError().text()));
        query.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("old"));
    LogStore store(connection);
    QString error;
    QCOMPARE(store.storedSchemaVersion(&error), 0);
    QVERIFY2(store.open(&error), qPrintable(error));
    QCOMPARE(store.storedSchemaVersion(&error), LogStore::schemaVersion);
    StoredLog old;
    QVERIFY2(store.find(QByteArray(64, 'a'), &old, &error), qPrintable(error));
    QCOMPARE(old.fileName, QStringLiteral("update_mac_1.0_old.log"));
    QCOMPARE(old.logBytes, qint64(3));
    QCOMPARE(old.clockSkewSeconds, qint64(0));
    QCOMPARE(old.fields.targetRelease, QString());
    QCOMPARE(store.store(storedRow(QStringLiteral("update_mac_1.0_new.log"), failingLog("3.0", "x"), 2000), &error), LogStore::Outcome::Stored);
    // Opened again: nothing to upgrade, nothing lost.
    QVERIFY2(store.open(&error), qPrintable(error));
    QCOMPARE(store.latest(0, 3000, 10, &error).size(), 2);
}

// Two releases failing on different days: the report and the page count each release's failures per day.
void TestLogService::failuresPerDayByRelease()
{
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("logs.sqlite"));
    const qint64 day = 24 * 3600 * 1000;
    const qint64 today = QDateTime::currentMSecsSinceEpoch() / day * day;
    {
        LogStore store(db);
        QString error;
        QVERIFY2(store.open(&error), qPrintable(error));
        int n = 0;
        const auto add = [&](const QByteArray &release, qint64 at) {
            const QString name = QStringLiteral("update_mac_2.9_%1.log").arg(n++);
            return store.store(storedRow(name, failingLog(release, "the packet does not unpack"), at), &error);
        };
        for (int i = 0; i < 3; ++i)
            QCOMPARE(add("3.0", today - day + i), LogStore::Outcome::Stored);
        QCOMPARE(add("3.0", today + 1), LogStore::Outcome::Stored);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(add("3.1", today + 2 + i), LogStore::Outcome::Stored);
    }
    QProcess report;
    report.start(QStringLiteral(LOGS_SERVICE), {QStringLiteral("report"), QStringLiteral("--db"), db});
    QVERIFY(report.waitForFinished(30000));
    const QString text = QString::fromUtf8(report.readAllStandardOutput());
    const QString yesterday = QDateTime::fromMSecsSinceEpoch(today - day, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd"));
    const QString now = QDateTime::fromMSecsSinceEpoch(today, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd"));
    QVERIFY2(text.contains(QStringLiteral("By release being installed, per day:\nDay         Failures  Release\n%1         3  3.0\n%2         1  3.0\n%2         2  3.1\n")
                               .arg(yesterday, now)),
             qPrintable(text));

    LogsService service{QStringLiteral(LOGS_SERVICE)};
    QVERIFY(service.start({QStringLiteral("--db"), db}));
    const QByteArray page = exchange(service.port(), "GET /failures HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").body;
    QVERIFY2(page.contains("<tr><th>Day (UTC)</th><th>3.0</th><th>3.1</th><th>Other releases</th></tr>\n<tr><td>" + now.toLatin1()
                           + "</td><td class=\"n\">1</td><td class=\"n\">2</td><td class=\"n\">0</td></tr>\n<tr><td>" + yesterday.toLatin1()
                           + "</td><td class=\"n\">3</td><td class=\"n\">0</td><td class=\"n\">0</td></tr>"),
             page.constData());
}

// More uploads waiting for the store than the writer's queue holds (24): the rest are answered
// 503 with Retry-After at once instead of waiting behind them, and every upload that waited is
// stored and answered "ok" once the store moves again.
void TestLogService::fullQueueAnsweredAtOnce()
{
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("logs.sqlite"));
    LogsService service{QStringLiteral(LOGS_SERVICE)};
    QVERIFY(service.start({QStringLiteral("--db"), db, QStringLiteral("--rate"), QStringLiteral("0"), QStringLiteral("--connections"),
                           QStringLiteral("0"), QStringLiteral("--day-volume"), QStringLiteral("0")}));
    // The test holds the store's write lock, so the writer's first group waits on it.
    QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
    holder.setDatabaseName(db);
    QVERIFY(holder.open());
    QVERIFY(QSqlQuery(holder).exec(QStringLiteral("BEGIN IMMEDIATE")));

    const int uploads = 30;
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());
    std::vector<Reply> replies(uploads);
    std::atomic<int> refused{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < uploads; ++i) {
        clients.emplace_back([&, i] {
            QByteArray type;
            const QByteArray body = UploadLoad::body(now, "update_mac_1.0_queued-" + QByteArray::number(i) + ".log", m_log, &type);
            Reply &reply = replies[size_t(i)];
            reply = exchange(service.port(), post(type, body));
            if (reply.status == 503 && reply.headers.contains("\r\nRetry-After: 1"))
                ++refused;
        });
    }
    bool released = false;
    const auto release = [&] {
        released = QSqlQuery(holder).exec(QStringLiteral("ROLLBACK"));
        for (std::thread &client : clients)
            client.join();
        clients.clear();
    };
    const auto releaseOnFailure = qScopeGuard(release);
    QTRY_COMPARE_WITH_TIMEOUT(refused.load(), uploads - 24, 20000);
    release();
    QVERIFY(released);
    int ok = 0;
    for (const Reply &reply : replies)
        ok += reply.status == 200 && reply.body == "ok";
    QCOMPARE(ok, 24);
    LogStore store(db);
    QString error;
    QVERIFY2(store.open(&error), qPrintable(error));
    QCOMPARE(store.latest(0, std::numeric_limits<qint64>::max(), 100, &error).size(), 24);
}

QTEST_GUILESS_MAIN(TestLogService)
#include "tst_logservice.moc"
