#include "DataPaths.h"
#include "LogUpload.h"
#include "TestHome.h"
#include "TestHttpServer.h"
#include "UploadKey.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QNetworkProxyFactory>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

struct Part
{
    QByteArray disposition;
    QByteArray body;
};

// Splits a multipart/form-data body at the boundary given in the content type.
QList<Part> partsOf(const TestHttpServer::Request &request)
{
    const QByteArray type = request.headers.value("content-type");
    const QByteArray boundary = "--" + type.mid(type.indexOf("boundary=") + 9).replace("\"", "");
    QList<Part> parts;
    int at = request.body.indexOf(boundary);
    while (at >= 0) {
        const int start = at + boundary.size() + 2; // "\r\n"
        const int next = request.body.indexOf(boundary, start);
        if (next < 0)
            break;
        const QByteArray chunk = request.body.mid(start, next - start - 2);
        const int headerEnd = chunk.indexOf("\r\n\r\n");
        Part part;
        for (const QByteArray &line : chunk.left(headerEnd).split('\n')) {
            if (line.toLower().startsWith("content-disposition:"))
                part.disposition = line.mid(line.indexOf(':') + 1).trimmed();
        }
        part.body = chunk.mid(headerEnd + 4);
        parts.append(part);
        at = next;
    }
    return parts;
}

} // namespace

class TestLogUpload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keyIsMd5OfUploadKeyAndTime();
    void postsTheFourParts();
    void unreachableHostReturns();
    void slowSteadyUploadIsNotCut();

private:
    TestHttpServer m_proxy;
    TestHome m_home;
};

void TestLogUpload::initTestCase()
{
    QVERIFY(m_proxy.listen());
    m_home.applyToCurrentProcess();
    // The vendor host is reached through the proxy, which records what it is sent.
    qputenv("http_proxy", QStringLiteral("http://127.0.0.1:%1").arg(m_proxy.port()).toLatin1());
    qunsetenv("no_proxy");
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    m_proxy.serveContent("/api/file.api.php", "stored");
}

void TestLogUpload::keyIsMd5OfUploadKeyAndTime()
{
    QCOMPARE(UploadKey::keyFor(1700000000),
             QCryptographicHash::hash("5d0c8a7e1f3b49a2c6e8d4b07a91f35c1700000000", QCryptographicHash::Md5).toHex());
    QCOMPARE(UploadKey::keyFor(1700000000), UploadKey::keyFor(1700000000));
    QVERIFY(UploadKey::keyFor(1700000000) != UploadKey::keyFor(1700000001));
}

void TestLogUpload::postsTheFourParts()
{
    QDir().mkpath(DataPaths::updateDirectory());
    const QString name = QStringLiteral("update_mac_1.0_2024.05.06-13.45.10.123.log");
    QFile log(DataPaths::updateDirectory() + "/" + name);
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write("##update##Debug: (2024-05-06 13:45:10.123) start patch\r\n");
    log.close();

    m_proxy.clearRequests();
    QObject parent;
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    LogUpload::upload(&parent, name);
    const qint64 after = QDateTime::currentSecsSinceEpoch();

    QCOMPARE(m_proxy.requests().size(), 1);
    const TestHttpServer::Request request = m_proxy.requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("http://" VELTORA_VENDOR_HOST "/api/file.api.php?action=putFailedData"));
    QCOMPARE(request.headers.value("host"), QByteArray(VELTORA_VENDOR_HOST));
    QVERIFY(request.headers.value("content-type").startsWith("multipart/form-data; boundary="));

    const QList<Part> parts = partsOf(request);
    QCOMPARE(parts.size(), 4);
    QCOMPARE(parts.at(0).disposition, QByteArray("form-data; name=\"key\""));
    QCOMPARE(parts.at(1).disposition, QByteArray("form-data; name=\"timestamp\""));
    QCOMPARE(parts.at(2).disposition, QByteArray("form-data; name=\"save_name\""));
    QCOMPARE(parts.at(3).disposition, QByteArray("form-data; name=\"save_data\";filename=\"text.txt\""));
    const qint64 timestamp = parts.at(1).body.toLongLong();
    QVERIFY(timestamp >= before && timestamp <= after);
    QCOMPARE(parts.at(0).body, UploadKey::keyFor(quint32(timestamp)));
    QCOMPARE(parts.at(2).body, name.toLatin1());
    QCOMPARE(parts.at(3).body, QByteArray("##update##Debug: (2024-05-06 13:45:10.123) start patch\r\n"));
}

void TestLogUpload::unreachableHostReturns()
{
    // A proxy that is not there: the call gives up and returns.
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", 1));
    QObject parent;
    QElapsedTimer timer;
    timer.start();
    LogUpload::upload(&parent, QStringLiteral("missing.log"));
    QVERIFY(timer.elapsed() < 30000);
}

// The limit is on silence, not on the whole upload: a large log that a slow uplink carries
// steadily for longer than the limit arrives whole.
void TestLogUpload::slowSteadyUploadIsNotCut()
{
    const QString name = QStringLiteral("update_mac_1.0_slow.log");
    QDir().mkpath(DataPaths::updateDirectory());
    QFile log(DataPaths::updateDirectory() + "/" + name);
    QVERIFY(log.open(QIODevice::WriteOnly));
    const QByteArray content(24 * 1024 * 1024, 'x');
    log.write(content);
    log.close();

    // A proxy that takes 256 KB every 20 ms from a small socket buffer, and answers once it has it all.
    QTcpServer slow;
    QVERIFY(slow.listen(QHostAddress::LocalHost));
    QTcpSocket *peer = nullptr;
    QByteArray received;
    QTimer reader;
    reader.setInterval(20);
    QObject::connect(&slow, &QTcpServer::newConnection, [&] {
        peer = slow.nextPendingConnection();
        peer->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 64 * 1024);
        peer->setReadBufferSize(256 * 1024);
        reader.start();
    });
    QObject::connect(&reader, &QTimer::timeout, [&] {
        received += peer->read(256 * 1024);
        if (received.size() >= content.size() && received.endsWith("--\r\n")) {
            peer->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
            reader.stop();
        }
    });
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", slow.serverPort()));
    const auto restore = qScopeGuard([] { QNetworkProxyFactory::setUseSystemConfiguration(true); });
    QObject parent;
    QElapsedTimer timer;
    timer.start();
    LogUpload::upload(&parent, name, 500);
    QVERIFY2(timer.elapsed() > 1000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY2(received.size() > content.size(), qPrintable(QString::number(received.size())));
    QVERIFY(received.endsWith("--\r\n"));
}

QTEST_GUILESS_MAIN(TestLogUpload)
#include "tst_logupload.moc"
