// Uploads per second and latency of the failure-log service on SQLite and on a throw-away
// PostgreSQL: N parallel clients for a fixed time, as bench/logs.sh runs it; then what clients
// see when far more of them upload at once than the writer keeps up with, and while 60
// connections that never finish their headers are open.
#include "LogsService.h"
#include "ThrowawayPostgres.h"
#include "UploadLoad.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

#include <cstdio>
#include <vector>

namespace {

// The log's lines repeated up to `bytes`, so a larger log still reads like a real one.
QByteArray padded(const QByteArray &log, int bytes)
{
    QByteArray result = log;
    while (result.size() < bytes)
        result += log;
    return result.left(qMax(bytes, 1));
}

QString failureText(const QMap<int, int> &failures)
{
    QStringList parts;
    for (auto it = failures.cbegin(); it != failures.cend(); ++it)
        parts.append(QStringLiteral("%1 × %2").arg(it.value()).arg(it.key() == 0 ? QStringLiteral("none") : QString::number(it.key())));
    return parts.isEmpty() ? QStringLiteral("0") : parts.join(QStringLiteral(", "));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 6) {
        std::fprintf(stderr, "usage: bench_logs VELTORA_LOGS CLIENTS[,CLIENTS...] SECONDS LOG_FILE LOG_BYTES\n");
        return 2;
    }
    const QStringList clientCounts = args.at(2).split(QLatin1Char(','));
    const int seconds = args.at(3).toInt();
    QFile logFile(args.at(4));
    if (!logFile.open(QIODevice::ReadOnly))
        return 2;
    const QByteArray log = padded(logFile.readAll(), args.at(5).toInt());

    ThrowawayPostgres postgres;
    QString why;
    const bool havePostgres = postgres.start(&why);
    if (!havePostgres)
        std::fprintf(stderr, "PostgreSQL skipped: %s\n", qPrintable(why));
    const auto run = [&](const QString &store, int clients, const QString &scenario) {
        QTemporaryDir dir;
        const QString connection = store == QLatin1String("SQLite") ? dir.filePath(QStringLiteral("logs.sqlite")) : postgres.connection();
        LogsService service(args.at(1));
        // Every client is a machine of its own here: no per-address limits on the uploads. With slow
        // connections the service runs as behind the vendor's proxy: the uploads come from the
        // trusted proxy (127.0.0.1), the slow connections from elsewhere, held to their share.
        const bool withSlow = scenario == QLatin1String("60 slow connections");
        if (!service.start({QStringLiteral("--db"), connection, QStringLiteral("--rate"), QStringLiteral("0"), QStringLiteral("--day-volume"),
                            QStringLiteral("0"), withSlow ? QStringLiteral("--trust-proxy") : QStringLiteral("--connections"),
                            withSlow ? QStringLiteral("--rate=0") : QStringLiteral("0")})) {
            std::fprintf(stderr, "%s: the service did not start\n%s", qPrintable(store), qPrintable(service.log()));
            return false;
        }
        // Half-sent requests from another address, held open for the whole run.
        std::vector<int> slow;
        if (withSlow) {
            for (int i = 0; i < 60; ++i)
                slow.push_back(UploadLoad::halfSentFrom("127.0.0.2", service.port()));
        }
        UploadLoad load(service.port(), QStringLiteral("update_mac_1.0_bench"), log);
        load.start(clients);
        QThread::sleep(seconds);
        load.stop();
        std::printf("| %s | %s | %d | %d | %.0f | %.1f | %.1f | %s |\n", qPrintable(store), qPrintable(scenario), clients, log.size(),
                    load.uploadsPerSecond(), load.percentileMs(0.5), load.percentileMs(0.99), qPrintable(failureText(load.failures())));
        std::fflush(stdout);
        for (int fd : slow) {
            if (fd >= 0)
                ::close(fd);
        }
        return true;
    };
    for (const QString &store : {QStringLiteral("SQLite"), QStringLiteral("PostgreSQL")}) {
        if (store == QLatin1String("PostgreSQL") && !havePostgres)
            continue;
        for (const QString &clients : clientCounts) {
            if (!run(store, clients.toInt(), QStringLiteral("steady")))
                return 1;
        }
    }
    if (!run(QStringLiteral("SQLite"), 256, QStringLiteral("overload")) || !run(QStringLiteral("SQLite"), 8, QStringLiteral("60 slow connections")))
        return 1;
    return 0;
}
