#include "LogStore.h"
#include "LogsService.h"
#include "ThrowawayPostgres.h"
#include "UploadLoad.h"

#include <QHash>
#include <QTemporaryDir>
#include <QtTest>

// Parallel clients against the service on each store; the service is killed with
// SIGKILL in the middle and started again. Every upload answered "ok" must be in the
// store, and none twice.
class TestLogLoad : public QObject
{
    Q_OBJECT

private slots:
    void crashUnderLoad_data();
    void crashUnderLoad();
};

void TestLogLoad::crashUnderLoad_data()
{
    QTest::addColumn<bool>("postgres");
    QTest::newRow("SQLite") << false;
    QTest::newRow("PostgreSQL") << true;
}

void TestLogLoad::crashUnderLoad()
{
    QFETCH(bool, postgres);
    QTemporaryDir dir;
    ThrowawayPostgres server;
    QString why;
    const QString connection = server.storeFor(postgres, dir, &why);
    if (connection.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no PostgreSQL to test with: ") + why));
    const QStringList arguments{QStringLiteral("--db"), connection, QStringLiteral("--rate"), QStringLiteral("0")};
    LogsService service{QStringLiteral(LOGS_SERVICE)};
    QVERIFY2(service.start(arguments), qPrintable(service.log()));

    const QByteArray log = "##update##Debug: (2026-12-08 10:00:00.000) Update refused: the signature does not match\r\n";
    UploadLoad load(service.port(), QStringLiteral("update_mac_1.0_load"), log);
    load.start(8);
    // Generous bounds for a loaded machine; a quiet one takes a few seconds. A service that
    // ended on its own is told at once, with what it wrote last.
    QTRY_VERIFY2_WITH_TIMEOUT(load.answeredOk() >= 100 || !service.running(), qPrintable(service.log().right(3000)), 60000);
    QVERIFY2(service.running(), qPrintable(QStringLiteral("the service ended: ") + service.log().right(3000)));
    service.kill();
    const int beforeRestart = load.answeredOk();
    QVERIFY2(service.start(arguments, service.port()), qPrintable(service.log()));
    QTRY_VERIFY2_WITH_TIMEOUT(load.answeredOk() >= beforeRestart + 100 || !service.running(), qPrintable(service.log().right(3000)), 60000);
    QVERIFY2(service.running(), qPrintable(QStringLiteral("the service ended: ") + service.log().right(3000)));
    load.stop();
    qInfo("%s: %.0f uploads/s, p99 %.1f ms, %d refused or cut off", QTest::currentDataTag(), load.uploadsPerSecond(),
          load.percentileMs(0.99), load.failed());

    LogStore store(connection);
    QString error;
    QVERIFY2(store.open(&error), qPrintable(error));
    QHash<QString, int> stored;
    for (const StoredLog &row : store.latest(0, std::numeric_limits<qint64>::max(), 1000000, &error))
        ++stored[row.fileName];
    QVERIFY2(error.isEmpty(), qPrintable(error));
    for (const QString &name : load.okNames())
        QVERIFY2(stored.value(name) == 1, qPrintable(name + QStringLiteral(" answered ok, stored %1 times").arg(stored.value(name))));
    for (auto it = stored.cbegin(); it != stored.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key() + QStringLiteral(" stored twice")));
}

QTEST_GUILESS_MAIN(TestLogLoad)
#include "tst_logload.moc"
