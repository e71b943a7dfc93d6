#include "TestHttpServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

struct TestHttpServer::Connection
{
    QByteArray buffer;
    // The body being sent.
    Resource resource;
    qint64 from = 0;
    qint64 length = 0;
    qint64 sent = 0;
    bool sending = false;
    int trickles = 0;
    QTimer *trickle = nullptr;
};

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &TestHttpServer::accept);
}

TestHttpServer::~TestHttpServer()
{
    qDeleteAll(m_connections);
}

bool TestHttpServer::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 TestHttpServer::port() const
{
    return m_server->serverPort();
}

QString TestHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void TestHttpServer::serve(const QByteArray &path, const Resource &resource)
{
    m_resources.insert(path, resource);
    m_closes.remove(path);
    m_gets.remove(path);
}

void TestHttpServer::serveContent(const QByteArray &path, const QByteArray &content)
{
    Resource resource;
    resource.content = content;
    serve(path, resource);
}

void TestHttpServer::servePattern(const QByteArray &path, qint64 size)
{
    Resource resource;
    resource.patternSize = size;
    serve(path, resource);
}

void TestHttpServer::redirect(const QByteArray &from, const QByteArray &to, int status)
{
    Resource resource;
    resource.status = status;
    resource.location = to;
    serve(from, resource);
}

void TestHttpServer::redirectChain(const QByteArray &prefix, int length, const QByteArray &target)
{
    for (int i = 1; i <= length; ++i) {
        const QByteArray next = i == length ? target : prefix + '/' + QByteArray::number(i + 1);
        redirect(prefix + '/' + QByteArray::number(i), next, i % 2 ? 302 : 301);
    }
}

QList<TestHttpServer::Request> TestHttpServer::requestsFor(const QByteArray &method) const
{
    QList<Request> out;
    for (const Request &request : m_requests) {
        if (request.method == method)
            out.append(request);
    }
    return out;
}

QByteArray TestHttpServer::pattern(qint64 from, qint64 length)
{
    QByteArray out(int(length), Qt::Uninitialized);
    for (qint64 i = 0; i < length; ++i)
        out[int(i)] = patternByte(from + i);
    return out;
}

void TestHttpServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_connections.insert(socket, new Connection);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { pump(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            delete m_connections.take(socket);
            socket->deleteLater();
        });
    }
}

void TestHttpServer::readRequest(QTcpSocket *socket)
{
    Connection *connection = m_connections.value(socket);
    if (!connection || connection->sending)
        return;
    connection->buffer += socket->readAll();
    const int end = connection->buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;

    Request request;
    const QList<QByteArray> lines = connection->buffer.left(end).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.target = first.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            request.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    const int bodyLength = request.headers.value("content-length").toInt();
    if (connection->buffer.size() < end + 4 + bodyLength)
        return; // the body is still coming
    request.body = connection->buffer.mid(end + 4, bodyLength);
    connection->buffer.clear();
    m_requests.append(request);
    respond(socket, request);
}

void TestHttpServer::respond(QTcpSocket *socket, const Request &request)
{
    const QByteArray rawPath = request.target.startsWith("http") ? QUrl(QString::fromLatin1(request.target)).path(QUrl::FullyEncoded).toLatin1()
                                                                 : request.target.left(request.target.indexOf('?') < 0 ? request.target.size() : request.target.indexOf('?'));
    const QByteArray path = QByteArray::fromPercentEncoding(rawPath);
    if (!m_resources.contains(path)) {
        socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    Resource resource = m_resources.value(path);
    if (resource.silentTo.contains(request.method))
        return; // the connection stays open, and nothing comes
    if (resource.getStatus != 0 && request.method == "GET") {
        resource.status = resource.getStatus;
        resource.location = resource.getLocation;
    }
    if (resource.status != 200) {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(resource.status) + " Status\r\n";
        if (!resource.location.isEmpty())
            head += "Location: " + resource.location + "\r\n";
        const QByteArray body = resource.errorBody.isNull() ? QByteArray("moved or missing") : resource.errorBody;
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
        if (resource.trickleMs > 0 && request.method == "GET") {
            // The error page trickles like a body would.
            socket->write(head);
            resource.content = body;
            resource.patternSize = -1;
            startBody(socket, resource, 0, body.size());
            return;
        }
        socket->write(head + (request.method == "HEAD" ? QByteArray() : body));
        socket->disconnectFromHost();
        return;
    }

    const qint64 size = resource.patternSize >= 0 ? resource.patternSize : resource.content.size();
    qint64 from = 0;
    qint64 to = size - 1;
    bool partial = false;
    const QByteArray range = request.headers.value("range");
    // A stale If-Range asks for the whole (changed) file instead of the range.
    const QByteArray ifRange = request.headers.value("if-range");
    const bool current = ifRange.isEmpty()
                         || (!resource.changesAfterHead && ((!resource.etag.isEmpty() && ifRange == resource.etag)
                                                            || (!resource.lastModified.isEmpty() && ifRange == resource.lastModified)));
    if (!resource.ignoreRange && current && range.startsWith("bytes=") && size > 0) {
        const QList<QByteArray> bounds = range.mid(6).split('-');
        from = qMin(bounds.value(0).toLongLong() + resource.rangeShift, size - 1);
        if (!bounds.value(1).isEmpty())
            to = qMin(bounds.value(1).toLongLong(), size - 1);
        partial = true;
    }
    const qint64 length = qMax<qint64>(0, to - from + 1);

    QByteArray head = partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    if (partial)
        head += "Content-Range: bytes " + QByteArray::number(from) + '-' + QByteArray::number(to) + '/' + QByteArray::number(size) + "\r\n";
    if (request.method == "HEAD" && !resource.headContentLength.isNull())
        head += "Content-Length: " + resource.headContentLength + "\r\n";
    else if (!(request.method == "HEAD" && resource.omitContentLength) && !(request.method == "GET" && resource.closeDelimited))
        head += "Content-Length: " + QByteArray::number(request.method == "HEAD" ? size : length) + "\r\n";
    if (!resource.etag.isEmpty())
        head += "ETag: " + resource.etag + "\r\n";
    if (!resource.lastModified.isEmpty())
        head += "Last-Modified: " + resource.lastModified + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    if (request.method == "HEAD") {
        socket->disconnectFromHost();
        return;
    }

    if (resource.closeAfter >= 0 && resource.closeTimes >= 0 && m_closes[path]++ >= resource.closeTimes)
        resource.closeAfter = -1;
    if (resource.stallFrom >= 0 && m_gets[path]++ >= resource.stallFrom)
        resource.stallAfter = 0;
    startBody(socket, resource, from, length);
}

void TestHttpServer::startBody(QTcpSocket *socket, const Resource &resource, qint64 from, qint64 length)
{
    Connection *connection = m_connections.value(socket);
    connection->resource = resource;
    connection->from = from;
    connection->length = length;
    connection->sending = true;
    if (resource.trickleMs > 0) {
        connection->trickle = new QTimer(socket);
        connect(connection->trickle, &QTimer::timeout, this, [this, socket] { pump(socket, true); });
        connection->trickle->start(resource.trickleMs);
    }
    pump(socket);
}

void TestHttpServer::pump(QTcpSocket *socket, bool tick)
{
    Connection *connection = m_connections.value(socket);
    if (!connection || !connection->sending)
        return;
    const Resource &resource = connection->resource;
    const bool trickling = resource.trickleMs > 0 && (resource.trickleCount < 0 || connection->trickles < resource.trickleCount);
    if (trickling && !tick)
        return; // only the timer sends while trickling
    if (socket->bytesToWrite() > (1 << 18))
        return;

    qint64 limit = connection->length;
    if (resource.closeAfter >= 0)
        limit = qMin(limit, resource.closeAfter);
    if (resource.stallAfter >= 0)
        limit = qMin(limit, resource.stallAfter);
    const qint64 chunk = qMin<qint64>(trickling ? 1024 : (1 << 16), limit - connection->sent);
    if (chunk > 0) {
        const qint64 at = connection->from + connection->sent;
        socket->write(resource.patternSize >= 0 ? pattern(at, chunk) : resource.content.mid(int(at), int(chunk)));
        connection->sent += chunk;
        if (trickling)
            ++connection->trickles;
    }
    if (connection->sent < limit)
        return;
    if (resource.stallAfter >= 0 && connection->sent < connection->length)
        return; // hold the connection open without sending
    connection->sending = false;
    if (connection->trickle)
        connection->trickle->stop();
    if (resource.closeAfter >= 0 && connection->sent < connection->length) {
        socket->flush(); // the bytes counted reach the client before the reset
        socket->abort();
    }
    else
        socket->disconnectFromHost();
}
