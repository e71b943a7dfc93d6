#ifndef VELTORA_LOGSERVICE_H
#define VELTORA_LOGSERVICE_H

#include <QString>

#include <memory>

class LogStore;

struct ServiceOptions
{
    qint64 windowSeconds = 600;
    qint64 maxLogBytes = 8 * 1024 * 1024;
    int uploadsPerMinute = 60; // per address; 0 for no limit
    // Behind a reverse proxy on this machine: the client's address is its X-Real-IP.
    bool trustProxy = false;
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

    static QString uploadPath() { return QStringLiteral("/api/file.api.php"); }

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif
