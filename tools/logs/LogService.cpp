#include "LogService.h"

#include "FailureLog.h"
#include "FailureReport.h"
#include "LogStore.h"
#include "RateLimiter.h"
#include "UploadCheck.h"
#include "UploadNames.h"
#include "UploadQueue.h"

#include <QDateTime>
#include <QRegularExpression>

#include <httplib.h>
#include <openssl/evp.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

namespace {

// Room for the three small parts and the multipart framing beside the log itself.
const qint64 framingBytes = 64 * 1024;
// The request line and headers together; httplib itself grows its line buffer without end.
const qint64 maxHeaderBytes = 64 * 1024;
const int writeTimeoutMs = 5000;
// After the answer, what the client still sends is read and dropped for this long, so that
// closing does not reset the connection before the client has read the answer.
const int lingerMs = 1000;
const qint64 lingerBytes = 1024 * 1024;
// Every body gets this long before its average rate counts.
const qint64 bodyGraceMs = 30 * 1000;

qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

QByteArray bytes(const std::string &text)
{
    return QByteArray(text.data(), int(qMin<size_t>(text.size(), size_t(std::numeric_limits<int>::max()))));
}

std::string utf8(const QString &text)
{
    return text.toStdString();
}

// What a client chose (a path, a method) goes into the service's log one line per answer.
QString printable(const std::string &text)
{
    QString result = QString::fromStdString(text.substr(0, 512));
    for (QChar &c : result) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QLatin1Char('?');
    }
    return result;
}

void refuse(httplib::Response &res, int status, const QString &why)
{
    res.status = status;
    res.set_content(utf8(QStringLiteral("refused: ") + why + QLatin1Char('\n')), "text/plain; charset=utf-8");
}

// One identity per upload, whoever sends it again: a retried upload is not stored twice.
// OpenSSL's SHA-256 uses the processor's SHA instructions where it has them: for a log of
// 64 KB the digest was a sixth of the service's time with Qt's.
QByteArray digestOf(const UploadParts &parts)
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    for (const QByteArray &part : {parts.timestamp, parts.saveName, parts.saveData}) {
        const QByteArray size = QByteArray::number(part.size()) + ':';
        ok = ok && EVP_DigestUpdate(context.get(), size.constData(), size_t(size.size())) == 1
            && EVP_DigestUpdate(context.get(), part.constData(), size_t(part.size())) == 1;
    }
    ok = ok && EVP_DigestFinal_ex(context.get(), digest, &length) == 1;
    if (!ok)   // OpenSSL out of memory
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

bool isLoopback(const QString &address)
{
    return address == QLatin1String("127.0.0.1") || address == QLatin1String("::1");
}

// One connection, read and written with bounds on time and size that httplib does not
// have: the request line and headers must arrive within their time and size, the body
// within its own time (a grace period plus a slowest average rate), with no pause longer
// than the idle limit, and not longer than the length it declared or the service allows.
class Connection : public httplib::Stream
{
public:
    enum class Cut { None, HeaderTime, HeaderSize, BodyTime, BodyIdle, BodySize };

    Connection(int fd, qint64 headerDeadlineMs, int idleMs)
        : m_fd(fd)
        , m_deadlineMs(headerDeadlineMs)
        , m_idleMs(idleMs)
        , m_limit(maxHeaderBytes)
    {
    }

    // The headers are in: from here the body's bounds hold.
    void startBody(qint64 deadlineMs, qint64 maxBytes)
    {
        m_inBody = true;
        m_deadlineMs = deadlineMs;
        m_limit = m_read + maxBytes;
    }
    Cut cut() const { return m_cut; }
    QString peer() const
    {
        std::string ip;
        int port = 0;
        get_remote_ip_and_port(ip, port);
        return QString::fromStdString(ip);
    }

    bool is_readable() const override { return m_start < m_end || waitFor(POLLIN, m_idleMs) > 0; }
    bool is_writable() const override { return waitFor(POLLOUT, writeTimeoutMs) > 0; }

    ssize_t read(char *ptr, size_t size) override
    {
        if (m_start == m_end && !fill())
            return m_eof ? 0 : -1;
        const size_t n = std::min(size, m_end - m_start);
        std::memcpy(ptr, m_buffer + m_start, n);
        m_start += n;
        return ssize_t(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        if (waitFor(POLLOUT, writeTimeoutMs) <= 0)
            return -1;
        ssize_t n;
        do
            n = ::send(m_fd, ptr, size, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override { address(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override { address(::getsockname, ip, port); }
    socket_t socket() const override { return m_fd; }

    void writeAll(const QByteArray &data)
    {
        for (int at = 0; at < data.size();) {
            const ssize_t n = write(data.constData() + at, size_t(data.size() - at));
            if (n <= 0)
                return;
            at += int(n);
        }
    }

    // Ends the connection without resetting it under an answer the client has not read yet.
    void close()
    {
        ::shutdown(m_fd, SHUT_WR);
        const qint64 until = monotonicMs() + lingerMs;
        qint64 dropped = 0;
        char scratch[16384];
        for (qint64 left = lingerMs; left > 0 && dropped < lingerBytes; left = until - monotonicMs()) {
            if (waitFor(POLLIN, int(left)) <= 0)
                break;
            const ssize_t n = ::recv(m_fd, scratch, sizeof scratch, 0);
            if (n <= 0)
                break;
            dropped += n;
        }
        ::close(m_fd);
    }

private:
    int waitFor(short events, int timeoutMs) const
    {
        pollfd p{m_fd, events, 0};
        int ready;
        do
            ready = ::poll(&p, 1, timeoutMs);
        while (ready < 0 && errno == EINTR);
        return ready;
    }

    bool fill()
    {
        if (m_read >= m_limit) {
            m_cut = m_inBody ? Cut::BodySize : Cut::HeaderSize;
            return false;
        }
        const qint64 left = m_deadlineMs - monotonicMs();
        if (left <= 0 || waitFor(POLLIN, int(std::min<qint64>(left, m_idleMs))) <= 0) {
            m_cut = !m_inBody ? Cut::HeaderTime : left <= m_idleMs ? Cut::BodyTime : Cut::BodyIdle;
            return false;
        }
        ssize_t n;
        do
            n = ::recv(m_fd, m_buffer, size_t(std::min<qint64>(sizeof m_buffer, m_limit - m_read)), 0);
        while (n < 0 && errno == EINTR);
        if (n <= 0) {
            m_eof = n == 0;
            return false;
        }
        m_read += n;
        m_start = 0;
        m_end = size_t(n);
        return true;
    }

    void address(int (*get)(int, sockaddr *, socklen_t *), std::string &ip, int &port) const
    {
        sockaddr_storage storage{};
        socklen_t length = sizeof storage;
        char text[INET6_ADDRSTRLEN] = {};
        port = 0;
        if (get(m_fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0)
            return;
        if (storage.ss_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(&storage);
            ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            port = ntohs(in->sin_port);
        } else if (storage.ss_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&storage);
            ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
            port = ntohs(in6->sin6_port);
        }
        ip = text;
    }

    const int m_fd;
    char m_buffer[16384];
    size_t m_start = 0;
    size_t m_end = 0;
    qint64 m_deadlineMs;
    const int m_idleMs;
    qint64 m_limit;
    qint64 m_read = 0;
    bool m_inBody = false;
    bool m_eof = false;
    Cut m_cut = Cut::None;
};

// The connection this worker thread serves, for the handlers that httplib calls on it.
thread_local Connection *currentConnection = nullptr;

QString cutText(Connection::Cut cut, const ServiceOptions &o)
{
    switch (cut) {
    case Connection::Cut::None: break;
    case Connection::Cut::HeaderTime: return QStringLiteral("headers not received within %1 s").arg(o.headerSeconds);
    case Connection::Cut::HeaderSize: return QStringLiteral("headers longer than %1 bytes").arg(maxHeaderBytes);
    case Connection::Cut::BodyTime: return QStringLiteral("body slower than %1 bytes/s").arg(o.bodyBytesPerSecond);
    case Connection::Cut::BodyIdle: return QStringLiteral("body paused for %1 s").arg(o.idleSeconds);
    case Connection::Cut::BodySize: return QStringLiteral("body longer than allowed");
    }
    return QString();
}

// httplib's server with each connection served by the service (one request, bounded in time
// and size, a bounded number held open per client) instead of by httplib's own loop.
class Server : public httplib::Server
{
public:
    std::function<bool(Server &, socket_t)> serve;

    bool processRequest(httplib::Stream &stream)
    {
        bool closed = false;
        return process_request(stream, true, closed, nullptr);
    }
    // httplib listens with a backlog of 5: a burst of clients (a school whose machines fail
    // at once) would see dropped connection requests and wait a second for their retry.
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

private:
    bool process_and_close_socket(socket_t sock) override { return serve(*this, sock); }
};

} // namespace

struct LogService::Private
{
    Private(LogStore *s, const ServiceOptions &o)
        : store(s)
        , options(o)
        , limiter(o.uploadsPerMinute, o.bytesPerDay)
        , connections(o.connectionsPerClient)
    {
        server.serve = [this](Server &, socket_t sock) { return serveConnection(sock); };
        check.windowSeconds = o.windowSeconds;
        check.maxLogBytes = o.maxLogBytes;
        UploadQueue::Options q;
        q.capacity = qMax(1, o.queueCapacity);
        // PostgreSQL groups concurrent commits itself: several writers and no window to wait out.
        const bool postgres = s->driverName() == QLatin1String("QPSQL");
        q.windowMs = postgres ? 0 : o.batchWindowMs;
        q.writers = postgres ? 8 : 1;
        q.maxAgeMs = o.maxAgeDays * 24 * 3600 * 1000;
        q.maxLogBytes = o.maxStoreBytes;
        queue = std::make_unique<UploadQueue>(s, q, [this](const QString &line) { log(line); });
    }

    bool serveConnection(socket_t sock);
    QString addressOf(const httplib::Request &req) const;
    void log(const QString &line);
    httplib::Server::HandlerResponse beforeBody(const httplib::Request &req, httplib::Response &res);
    void upload(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader);
    void failures(const httplib::Request &req, httplib::Response &res);
    void storedLog(const httplib::Request &req, httplib::Response &res);

    LogStore *store;
    ServiceOptions options;
    UploadCheck check;
    RateLimiter limiter;
    ConnectionLimit connections;
    std::unique_ptr<UploadQueue> queue;
    Server server;
    std::mutex logLock;
};

bool LogService::Private::serveConnection(socket_t sock)
{
    const ServiceOptions &o = options;
    Connection connection(sock, monotonicMs() + o.headerSeconds * 1000LL, o.idleSeconds * 1000);
    const QString peer = connection.peer();
    const QString client = RateLimiter::clientOf(peer);
    // Behind the proxy every connection is the proxy's; it buffers what clients send.
    const bool counted = !(o.trustProxy && isLoopback(peer));
    if (counted && !connections.acquire(client)) {
        const QByteArray why = "refused: more than " + QByteArray::number(o.connectionsPerClient) + " connections from this address\n";
        connection.writeAll("HTTP/1.1 429 Too Many Requests\r\nContent-Type: text/plain; charset=utf-8\r\nRetry-After: 10\r\n"
                            "Connection: close\r\nContent-Length: "
                            + QByteArray::number(why.size()) + "\r\n\r\n" + why);
        log(QStringLiteral("%1 429 %2").arg(peer, QString::fromLatin1(why.trimmed())));
        connection.close();
        return true;
    }
    currentConnection = &connection;
    const bool served = server.processRequest(connection);
    currentConnection = nullptr;
    if (counted)
        connections.release(client);
    if (connection.cut() != Connection::Cut::None)
        log(QStringLiteral("%1 cut off: %2").arg(peer, cutText(connection.cut(), o)));
    connection.close();
    return served;
}

QString LogService::Private::addressOf(const httplib::Request &req) const
{
    const QString peer = QString::fromStdString(req.remote_addr);
    if (options.trustProxy && isLoopback(peer) && req.has_header("X-Real-IP")) {
        const QString real = QString::fromStdString(req.get_header_value("X-Real-IP")).left(64);
        static const QRegularExpression address(QStringLiteral("^[0-9A-Fa-f:.]+$"));
        if (address.match(real).hasMatch())
            return real;
    }
    return peer;
}

void LogService::Private::log(const QString &line)
{
    const QByteArray text = (QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + QLatin1Char(' ') + line).toUtf8() + '\n';
    std::lock_guard<std::mutex> lock(logLock);
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

// Runs once the headers are in and before any of the body is read: what can be refused from
// the headers is refused here, without reading the body.
httplib::Server::HandlerResponse LogService::Private::beforeBody(const httplib::Request &req, httplib::Response &res)
{
    using R = httplib::Server::HandlerResponse;
    const bool isUpload = req.path == UploadNames::path;
    if (req.method == "GET" || req.method == "HEAD") {
        if (isUpload)
            refuse(res, 405, QStringLiteral("uploads are POST requests"));
        return isUpload ? R::Handled : R::Unhandled;
    }
    // Only the upload carries a body; nothing else is read.
    if (req.method != "POST" || !isUpload) {
        refuse(res, isUpload ? 405 : 404, isUpload ? QStringLiteral("uploads are POST requests") : QStringLiteral("no such page"));
        return R::Handled;
    }
    if (req.has_header("Content-Encoding") && req.get_header_value("Content-Encoding") != "identity") {
        refuse(res, 415, QStringLiteral("the programs send their log uncompressed"));
        return R::Handled;
    }
    // Counted before the body is read, so a flood costs no more than its headers.
    if (!limiter.allow(RateLimiter::clientOf(addressOf(req)), QDateTime::currentMSecsSinceEpoch())) {
        refuse(res, 429, QStringLiteral("too many uploads from this address, at most %1 a minute").arg(options.uploadsPerMinute));
        res.set_header("Retry-After", "60");
        return R::Handled;
    }
    const qint64 allowed = options.maxLogBytes + framingBytes;
    qint64 expected = allowed;
    const bool chunked = req.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
    if (!chunked && req.has_header("Content-Length")) {
        bool ok = false;
        expected = QByteArray::fromStdString(req.get_header_value("Content-Length")).toLongLong(&ok);
        if (!ok || expected < 0) {
            refuse(res, 400, QStringLiteral("the request or its multipart body is malformed"));
            return R::Handled;
        }
        if (expected > allowed) {
            refuse(res, 413, QStringLiteral("the upload is larger than %1 bytes").arg(allowed));
            return R::Handled;
        }
    }
    // Chunk sizes are framing of their own: room for them, while the parts stay bounded by
    // their own limits as they are read.
    const qint64 raw = chunked || !req.has_header("Content-Length") ? 2 * allowed : expected;
    if (currentConnection)
        currentConnection->startBody(monotonicMs() + bodyGraceMs + expected * 1000 / qMax(1, options.bodyBytesPerSecond), raw);
    return R::Unhandled;
}

void LogService::Private::upload(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader)
{
    if (req.get_param_value(UploadNames::actionParameter) != UploadNames::action)
        return refuse(res, 404, QStringLiteral("unknown action"));
    if (!req.is_multipart_form_data())
        return refuse(res, 400, QStringLiteral("not a multipart form"));

    // Each part is bounded as it is read: nothing past its limit is held.
    UploadParts parts;
    QByteArray *const targets[] = {&parts.key, &parts.timestamp, &parts.saveName, &parts.saveData};
    const qint64 limits[] = {UploadCheck::maxKeyBytes, UploadCheck::maxTimestampBytes, UploadCheck::maxNameBytes + 1,
                             options.maxLogBytes};
    bool seen[UploadNames::partCount] = {};
    int count = 0;
    int current = -1;
    QString problem;
    bool tooLarge = false;
    const bool read = reader(
        [&](const httplib::MultipartFormData &file) {
            ++count;
            current = -1;
            for (int i = 0; i < UploadNames::partCount; ++i) {
                if (file.name == UploadNames::parts[i])
                    current = i;
            }
            if (current < 0 || seen[current]) {
                problem = QStringLiteral("the part %1 is unknown or sent twice").arg(printable(file.name.substr(0, 64)));
                return false;
            }
            seen[current] = true;
            return true;
        },
        [&](const char *data, size_t length) {
            QByteArray &target = *targets[current];
            if (qint64(target.size()) + qint64(length) > limits[current]) {
                tooLarge = current == 3;
                // Short parts too long are refused by the check below, from what was read.
                if (!tooLarge)
                    target.append(data, int(limits[current] - target.size()));
                return tooLarge ? false : true;
            }
            target.append(data, int(length));
            return true;
        });
    if (tooLarge)
        return refuse(res, 413, QStringLiteral("the log is larger than %1 bytes").arg(options.maxLogBytes));
    if (!problem.isEmpty())
        return refuse(res, 400, problem);
    const Connection::Cut cut = currentConnection ? currentConnection->cut() : Connection::Cut::None;
    if (cut == Connection::Cut::BodySize)
        return refuse(res, 413, QStringLiteral("the upload is larger than %1 bytes").arg(options.maxLogBytes + framingBytes));
    if (cut != Connection::Cut::None)
        return refuse(res, 408, cutText(cut, options));
    if (!read)
        return refuse(res, 400, QStringLiteral("the request or its multipart body is malformed"));
    if (count != UploadNames::partCount)
        return refuse(res, 400, QStringLiteral("%1 parts instead of key, timestamp, save_name and save_data").arg(count));

    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    const UploadCheck::Verdict verdict = check.check(parts, nowMs / 1000);
    if (!verdict.accepted())
        return refuse(res, verdict.status, verdict.refusal);

    StoredLog row;
    row.address = addressOf(req);
    if (!limiter.allowBytes(RateLimiter::clientOf(row.address), parts.saveData.size(), nowMs)) {
        res.set_header("Retry-After", "3600");
        return refuse(res, 429, QStringLiteral("more than %1 bytes of logs today from this address").arg(options.bytesPerDay));
    }
    row.digest = digestOf(parts);
    if (row.digest.isEmpty()) {
        res.set_header("Retry-After", "10");
        return refuse(res, 503, QStringLiteral("the log could not be stored, try again later"));
    }
    row.receivedAtMs = nowMs;
    row.clockSkewSeconds = verdict.skewSeconds;
    // The programs send the name as Latin-1.
    row.fileName = FailureLog::plainText(QString::fromLatin1(parts.saveName));
    row.log = parts.saveData;
    row.fields = FailureLog::parse(row.fileName, row.log);
    QString error;
    switch (queue->submit(row, &error)) {
    case UploadQueue::Result::Full:
        res.set_header("Retry-After", "1");
        return refuse(res, 503, QStringLiteral("too many uploads are waiting to be stored, try again in a second"));
    case UploadQueue::Result::Failed:
        log(QStringLiteral("store failed: ") + error);
        res.set_header("Retry-After", "10");
        return refuse(res, 503, QStringLiteral("the log could not be stored, try again later"));
    case UploadQueue::Result::AlreadyStored:
        log(QStringLiteral("%1 sent %2 again").arg(row.address, QString::fromLatin1(row.digest)));
        break;
    case UploadQueue::Result::Stored:
        log(QStringLiteral("%1 stored %2 as %3").arg(row.address, row.fileName, QString::fromLatin1(row.digest)));
        break;
    }
    res.status = 200;
    res.set_content("ok", "text/plain");
}

void LogService::Private::failures(const httplib::Request &req, httplib::Response &res)
{
    FailureReport report;
    QString error;
    if (!report.setRange(QString::fromStdString(req.get_param_value("from")), QString::fromStdString(req.get_param_value("to")),
                         QDateTime::currentMSecsSinceEpoch(), &error))
        return refuse(res, 400, error);
    report.setPageLimits(QString::fromStdString(req.get_param_value("rows")), QString::fromStdString(req.get_param_value("latest")));
    if (!report.load(*store, &error)) {
        log(QStringLiteral("report failed: ") + error);
        return refuse(res, 503, QStringLiteral("the store cannot be read"));
    }
    res.status = 200;
    res.set_content(utf8(report.toHtml()), "text/html; charset=utf-8");
}

void LogService::Private::storedLog(const httplib::Request &req, httplib::Response &res)
{
    StoredLog row;
    QString error;
    if (!store->find(bytes(req.matches[1].str()), &row, &error)) {
        if (!error.isEmpty())
            log(QStringLiteral("log lookup failed: ") + error);
        return refuse(res, error.isEmpty() ? 404 : 503, QStringLiteral("no such log"));
    }
    res.status = 200;
    // Shown as text whatever it holds; never as a page of the service's origin.
    res.set_content(std::string(row.log.constData(), size_t(row.log.size())), "text/plain; charset=utf-8");
}

LogService::LogService(LogStore *store, const ServiceOptions &options)
    : d(std::make_unique<Private>(store, options))
{
    httplib::Server &server = d->server;
    Private *p = d.get();
    const int workers = qMax(2, options.workers);
    server.new_task_queue = [workers] { return new httplib::ThreadPool(size_t(workers)); };
    // What httplib reads itself (a length it was told) stays within the upload's bound.
    server.set_payload_max_length(size_t(options.maxLogBytes + framingBytes));
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'"}});
    server.set_pre_routing_handler([p](const httplib::Request &req, httplib::Response &res) { return p->beforeBody(req, res); });
    const std::string uploadPattern = QString::fromLatin1(UploadNames::path).replace(QLatin1Char('.'), QLatin1String("\\.")).toStdString();
    server.Post(uploadPattern,
                [p](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader) { p->upload(req, res, reader); });
    server.Get("/failures", [p](const httplib::Request &req, httplib::Response &res) { p->failures(req, res); });
    server.Get("/failures/log/([0-9a-f]{64})", [p](const httplib::Request &req, httplib::Response &res) { p->storedLog(req, res); });
    // What httplib refuses itself (a broken request) says so too.
    server.set_error_handler([p](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty())
            return;
        if (res.status == 413)
            refuse(res, 413, QStringLiteral("the upload is larger than %1 bytes").arg(p->options.maxLogBytes + framingBytes));
        else if (res.status == 400)
            refuse(res, 400, QStringLiteral("the request or its multipart body is malformed"));
        else if (res.status == 404)
            refuse(res, 404, QStringLiteral("no such page"));
        else
            refuse(res, res.status, QStringLiteral("HTTP status %1").arg(res.status));
    });
    server.set_logger([p](const httplib::Request &req, const httplib::Response &res) {
        const QString answer = printable(res.body.substr(0, res.body.find('\n')));
        p->log(QStringLiteral("%1 %2 %3 %4 %5")
                   .arg(p->addressOf(req), printable(req.method), printable(req.path), QString::number(res.status),
                        res.status == 200 ? QStringLiteral("ok") : answer));
    });
}

LogService::~LogService()
{
    stop();
    d->queue->stop();
}

QString LogService::uploadPath()
{
    return QLatin1String(UploadNames::path);
}

int LogService::bind(const QString &host, int port)
{
    const int bound = port == 0 ? d->server.bind_to_any_port(utf8(host)) : (d->server.bind_to_port(utf8(host), port) ? port : -1);
    if (bound > 0)
        d->server.widenBacklog();
    return bound;
}

bool LogService::run()
{
    return d->server.listen_after_bind();
}

void LogService::stop()
{
    d->server.stop();
}
