#ifndef VELTORA_TESTHTTPSERVER_H
#define VELTORA_TESTHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// A scriptable HTTP/1.1 server on 127.0.0.1 for the network tests: it serves
// resources with HEAD and Range, and can leave out the length, redirect, answer
// nothing at all, 404, close or stall in the middle of a body, trickle, ignore Range, send a
// made-up Content-Length or an error page, carry validators and honour If-Range,
// and records every request it saw. Bodies are streamed, so large ones cost no memory.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray target;                 // as sent: a path, or an absolute URL through a proxy
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    struct Resource
    {
        QByteArray content;
        qint64 patternSize = -1;   // >= 0: a generated body of this size instead of content
        int status = 200;          // 404 and others answer with an empty body
        QByteArray location;       // with a 301 or 302 status
        int getStatus = 0;         // non-zero: GET (not HEAD) is answered with this status
        QByteArray getLocation;    // and this location
        bool ignoreRange = false;
        bool omitContentLength = false; // in HEAD answers
        bool closeDelimited = false;    // GET answers have no length: the body ends with the connection
        qint64 closeAfter = -1;    // close the connection after this many body bytes
        int closeTimes = -1;       // only in the first this many GET answers (-1: in every one)
        qint64 stallAfter = -1;    // stop sending (keep the connection) after this many body bytes
        int trickleMs = 0;         // send 1 KB every trickleMs (of the error page too, on GET)
        int trickleCount = -1;     // trickle this many times, then send the rest at once (-1: never)
        QByteArray headContentLength; // non-null: sent as the Content-Length of HEAD answers
        QByteArray errorBody;      // the body of non-200 answers (default: a short text)
        QByteArray etag;           // sent when set; If-Range must match it (or lastModified)
        QByteArray lastModified;
        bool changesAfterHead = false; // GET answers take every If-Range as stale
        qint64 rangeShift = 0;     // partial answers start this many bytes after the range asked for
        QList<QByteArray> silentTo; // requests of these methods are read and never answered
        int stallFrom = -1;        // GET answers from this one on (the first is 0) send no body
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    bool listen();
    quint16 port() const;
    QString url(const QString &path) const;

    void serve(const QByteArray &path, const Resource &resource);
    void serveContent(const QByteArray &path, const QByteArray &content);
    void servePattern(const QByteArray &path, qint64 size);
    void redirect(const QByteArray &from, const QByteArray &to, int status = 302);
    // /<prefix>/1 -> /<prefix>/2 -> ... -> /<prefix>/<length> -> target: `length` redirect answers.
    void redirectChain(const QByteArray &prefix, int length, const QByteArray &target);

    QList<Request> requests() const { return m_requests; }
    QList<Request> requestsFor(const QByteArray &method) const;
    void clearRequests() { m_requests.clear(); }

    // The byte at position i of a generated body.
    static char patternByte(qint64 i) { return char((i * 131 + (i >> 12)) & 0xff); }
    static QByteArray pattern(qint64 from, qint64 length);

private:
    struct Connection;
    void accept();
    void readRequest(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const Request &request);
    // Sends `length` body bytes from `from` of the resource, pumped (or trickled).
    void startBody(QTcpSocket *socket, const Resource &resource, qint64 from, qint64 length);
    // Sends the next piece of the body; while trickling only the timer's tick sends.
    void pump(QTcpSocket *socket, bool tick = false);

    QTcpServer *m_server;
    QHash<QByteArray, Resource> m_resources;
    QList<Request> m_requests;
    QHash<QTcpSocket *, Connection *> m_connections;
    QHash<QByteArray, int> m_closes; // cut GET answers by path
    QHash<QByteArray, int> m_gets;   // GET answers by path, for stallFrom
};

#endif
