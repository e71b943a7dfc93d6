// Uploads per second and latency of the failure-log service on SQLite and on a
// throw-away PostgreSQL: N parallel clients for a fixed time, as bench/logs.sh runs it.
#include "LogsService.h"
#include "ThrowawayPostgres.h"
#include "UploadLoad.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: bench_logs VELTORA_LOGS CLIENTS SECONDS LOG_FILE\n");
        return 2;
    }
    const int clients = args.at(2).toInt();
    const int seconds = args.at(3).toInt();
    QFile logFile(args.at(4));
    if (!logFile.open(QIODevice::ReadOnly))
        return 2;
    const QByteArray log = logFile.readAll();

    QTemporaryDir dir;
    ThrowawayPostgres postgres;
    QString why;
    const bool havePostgres = postgres.start(&why);
    if (!havePostgres)
        std::fprintf(stderr, "PostgreSQL skipped: %s\n", qPrintable(why));
    for (const QString &store : {QStringLiteral("SQLite"), QStringLiteral("PostgreSQL")}) {
        if (store == QLatin1String("PostgreSQL") && !havePostgres)
            continue;
        const QString connection = store == QLatin1String("SQLite") ? dir.filePath(QStringLiteral("logs.sqlite")) : postgres.connection();
        LogsService service(args.at(1));
        if (!service.start({QStringLiteral("--db"), connection, QStringLiteral("--rate"), QStringLiteral("0")})) {
            std::fprintf(stderr, "%s: the service did not start\n%s", qPrintable(store), qPrintable(service.log()));
            return 1;
        }
        UploadLoad load(service.port(), QStringLiteral("update_mac_1.0_bench"), log);
        load.start(clients);
        QThread::sleep(seconds);
        load.stop();
        std::printf("| %s | %d | %d | %.0f | %.1f | %.1f | %d |\n", qPrintable(store), clients, seconds, load.uploadsPerSecond(),
                    load.percentileMs(0.5), load.percentileMs(0.99), load.failed());
        std::fflush(stdout);
    }
    return 0;
}
