#include "DataPaths.h"
#include "LogStore.h"
#include "LogUpload.h"
#include "LogsService.h"
#include "TestHome.h"
#include "TestHttpServer.h"
#include "UploadCheck.h"
#include "UploadKey.h"

#include <QDateTime>
#include <QDir>
#include <QNetworkProxyFactory>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

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

enum class Change { None, Again, WrongKey, OldTimestamp, MissingPart, LogOverLimit, BodyFarOverLimit, Truncated, Get, UnknownAction, Flood };
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
    QTest::newRow("timestamp outside the window") << Change::OldTimestamp << 403 << 0 << "403 refused: the timestamp is -66";
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
    const quint32 old = now - 660;
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
    check.maxLogBytes = 1000;
    const qint64 now = 1700000000;
    const quint32 time = quint32(now + offset);
    const UploadParts parts{UploadKey::keyFor(time), QByteArray::number(time), "update_mac_1.0_x.log", QByteArray(logBytes, 'x')};
    QCOMPARE(check.check(parts, now).status, status);
}

QTEST_GUILESS_MAIN(TestLogService)
#include "tst_logservice.moc"
