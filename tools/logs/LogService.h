#ifndef VELTORA_LOGSERVICE_H
#define VELTORA_LOGSERVICE_H

#include "UploadCheck.h"

#include <QString>

#include <memory>

class LogStore;

struct ServiceOptions
{
    qint64 windowSeconds = UploadCheck::defaultWindowSeconds;
    qint64 maxLogBytes = 8 * 1024 * 1024;
    int uploadsPerMinute = 60;                   // per client; 0 for no limit
    qint64 bytesPerDay = 64 * 1024 * 1024;       // log bytes per client and UTC day; 0 for no limit
    qint64 maxStoreBytes = 20LL * 1024 * 1024 * 1024; // all logs together; 0 for no limit
    qint64 maxAgeDays = 365;                     // 0 for no limit
    // Behind a reverse proxy on this machine: the client's address is its X-Real-IP.
    bool trustProxy = false;

    // Connections and time: a client that is slow on purpose holds a worker at most this long.
    int workers = 32;
    int connectionsPerClient = 4;   // 0 for no limit; never applied to the trusted proxy
    int headerSeconds = 10;         // from the connection to the end of the request's headers
    int idleSeconds = 30;           // the longest pause within a body
    int bodyBytesPerSecond = 2048;  // the slowest average a body may come at, after 30 s
    int queueCapacity = 24;         // uploads waiting for the writer; past it, 503 at once
    int batchWindowMs = 0;          // see UploadQueue::Options::windowMs
};

// The vendor's end of the failure-log upload: receives the programs' POST, checks it,
// stores it and answers "ok" once it is committed. Also serves the failures page
// (/failures) and each stored log (/failures/log/<digest>). Every answer is one line
// of the service's log on standard error.
class LogService
{
public:
    LogService(LogStore *store, const ServiceOptions &options);
    ~LogService();
    LogService(const LogService &) = delete;
    LogService &operator=(const LogService &) = delete;

    // Binds; port 0 takes a free one. Returns the port, or -1.
    int bind(const QString &host, int port);
    // Serves until stop(); false when it could not.
    bool run();
    // Safe from any thread.
    void stop();

    static QString uploadPath();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif
