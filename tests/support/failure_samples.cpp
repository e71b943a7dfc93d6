// Fills a failure-log store with the logs of a folder, spread over the last 30 days, two
// installed versions and two releases being installed (the newer one from two weeks ago on),
// a few from machines with a wrong clock, so that the failures page has something to show
// (scripts/failures-page.sh).
#include "FailureLog.h"
#include "LogStore.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: failure_samples DB LOG_FOLDER\n");
        return 2;
    }
    LogStore store(args.at(1));
    QString error;
    if (!store.open(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QDir folder(args.at(2));
    const QStringList files = folder.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 day = 24 * 3600 * 1000;
    int stored = 0;
    // Seeded: the same picture every time.
    QRandomGenerator random(7);
    for (int d = 29; d >= 0; --d) {
        for (int f = 0; f < files.size(); ++f) {
            QFile file(folder.filePath(files.at(f)));
            if (!file.open(QIODevice::ReadOnly))
                return 1;
            const QByteArray original = file.readAll();
            // A different number of each failure each day, the older version now and then.
            const int copies = int(random.bounded(5));
            for (int c = 0; c < copies; ++c) {
                const bool older = (d + c + f) % 3 == 0;
                StoredLog row;
                row.log = older ? QByteArray(original).replace("VeltoraVersion:  \"1.0\"", "VeltoraVersion:  \"0.9\"") : original;
                const QByteArray release = d < 14 && (d + c) % 2 == 0 ? "1.2" : "1.1";
                row.log.prepend("##update##Debug: (2026-12-08 10:00:00.000) targetRelease: " + release + ", rolloutShare: "
                                + (release == "1.2" ? "20" : "100") + "\r\n");
                row.clockSkewSeconds = (d * 7 + f + c) % 23 == 0 ? -2 * 24 * 3600 : 0;
                row.fileName = QStringLiteral("update_mac_%1_sample-%2-%3.log").arg(older ? QStringLiteral("0.9") : QStringLiteral("1.0")).arg(d).arg(c);
                row.receivedAtMs = now - d * day - (f * 3 + c) * 60000;
                row.address = QStringLiteral("192.0.2.%1").arg(10 + (d * 5 + f + c) % 200);
                row.digest = QCryptographicHash::hash(row.fileName.toUtf8() + files.at(f).toUtf8(), QCryptographicHash::Sha256).toHex();
                row.fields = FailureLog::parse(row.fileName, row.log);
                if (store.store(row, &error) == LogStore::Outcome::Failed) {
                    std::fprintf(stderr, "%s\n", qPrintable(error));
                    return 1;
                }
                ++stored;
            }
        }
    }
    std::printf("%d sample failures stored\n", stored);
    return 0;
}
