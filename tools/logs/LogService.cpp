#include "LogService.h"

#include "FailureLog.h"
#include "FailureReport.h"
#include "LogStore.h"
#include "RateLimiter.h"
#include "UploadCheck.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRegularExpression>

#include <httplib.h>

#include <sys/socket.h>

#include <cstdio>
#include <limits>
#include <mutex>

namespace {

const char uploadAction[] = "putFailedData";
const char *const partNames[] = {"key", "timestamp", "save_name", "save_data"};
// Room for the three small parts and the multipart framing beside the log itself.
const qint64 framingBytes = 64 * 1024;

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
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
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
QByteArray digestOf(const UploadParts &parts)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray &part : {parts.timestamp, parts.saveName, parts.saveData}) {
        hash.addData(QByteArray::number(part.size()) + ':');
        hash.addData(part);
    }
    return hash.result().toHex();
}

// httplib listens with a backlog of 5: a burst of clients (a school whose machines fail at
// once) would see dropped connection requests and wait a second for their retry.
class Server : public httplib::Server
{
public:
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
};

} // namespace

struct LogService::Private
{
    Private(LogStore *s, const ServiceOptions &o)
        : store(s)
        , options(o)
        , limiter(o.uploadsPerMinute)
    {
        check.windowSeconds = o.windowSeconds;
        check.maxLogBytes = o.maxLogBytes;
    }

    QString addressOf(const httplib::Request &req) const;
    void log(const QString &line);
    void upload(const httplib::Request &req, httplib::Response &res);
    void failures(const httplib::Request &req, httplib::Response &res);
    void storedLog(const httplib::Request &req, httplib::Response &res);

    LogStore *store;
    ServiceOptions options;
    UploadCheck check;
    RateLimiter limiter;
    Server server;
    std::mutex logLock;
};

QString LogService::Private::addressOf(const httplib::Request &req) const
{
    const QString peer = QString::fromStdString(req.remote_addr);
    if (options.trustProxy && (peer == QLatin1String("127.0.0.1") || peer == QLatin1String("::1"))
        && req.has_header("X-Real-IP")) {
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

void LogService::Private::upload(const httplib::Request &req, httplib::Response &res)
{
    if (req.get_param_value("action") != uploadAction)
        return refuse(res, 404, QStringLiteral("unknown action"));
    if (!req.is_multipart_form_data())
        return refuse(res, 400, QStringLiteral("not a multipart form"));
    if (req.files.size() != 4)
        return refuse(res, 400, QStringLiteral("%1 parts instead of key, timestamp, save_name and save_data").arg(req.files.size()));
    QByteArray *targets[4];
    UploadParts parts;
    targets[0] = &parts.key;
    targets[1] = &parts.timestamp;
    targets[2] = &parts.saveName;
    targets[3] = &parts.saveData;
    for (int i = 0; i < 4; ++i) {
        if (req.files.count(partNames[i]) != 1)
            return refuse(res, 400, QStringLiteral("the part %1 is missing").arg(QLatin1String(partNames[i])));
        *targets[i] = bytes(req.files.find(partNames[i])->second.content);
    }
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    const UploadCheck::Verdict verdict = check.check(parts, nowMs / 1000);
    if (!verdict.accepted())
        return refuse(res, verdict.status, verdict.refusal);

    StoredLog row;
    row.digest = digestOf(parts);
    row.receivedAtMs = nowMs;
    row.address = addressOf(req);
    // The programs send the name as Latin-1.
    row.fileName = QString::fromLatin1(parts.saveName).remove(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f]")));
    row.log = parts.saveData;
    row.fields = FailureLog::parse(row.fileName, row.log);
    QString error;
    switch (store->store(row, &error)) {
    case LogStore::Outcome::Failed:
        log(QStringLiteral("store failed: ") + error);
        return refuse(res, 503, QStringLiteral("the log could not be stored, try again later"));
    case LogStore::Outcome::AlreadyStored:
        log(QStringLiteral("%1 sent %2 again").arg(row.address, QString::fromLatin1(row.digest)));
        break;
    case LogStore::Outcome::Stored:
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
    // httplib answers 413 before it reads more than this.
    server.set_payload_max_length(size_t(options.maxLogBytes + framingBytes));
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'"}});
    // Counted before the body is read, so a flood costs no more than its headers.
    server.set_pre_routing_handler([p](const httplib::Request &req, httplib::Response &res) {
        if (req.method != "POST" || req.path != utf8(uploadPath()))
            return httplib::Server::HandlerResponse::Unhandled;
        if (p->limiter.allow(p->addressOf(req), QDateTime::currentMSecsSinceEpoch()))
            return httplib::Server::HandlerResponse::Unhandled;
        refuse(res, 429, QStringLiteral("too many uploads from this address, at most %1 a minute").arg(p->options.uploadsPerMinute));
        res.set_header("Retry-After", "60");
        res.set_header("Connection", "close");
        return httplib::Server::HandlerResponse::Handled;
    });
    const std::string uploadPattern = R"(/api/file\.api\.php)";
    server.Post(uploadPattern, [p](const httplib::Request &req, httplib::Response &res) { p->upload(req, res); });
    server.Get(uploadPattern, [](const httplib::Request &, httplib::Response &res) {
        refuse(res, 405, QStringLiteral("uploads are POST requests"));
    });
    server.Get("/failures", [p](const httplib::Request &req, httplib::Response &res) { p->failures(req, res); });
    server.Get("/failures/log/([0-9a-f]{64})", [p](const httplib::Request &req, httplib::Response &res) { p->storedLog(req, res); });
    // What httplib refuses itself (a body over the limit, a broken multipart) says so too.
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
