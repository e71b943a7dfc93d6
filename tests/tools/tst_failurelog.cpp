#include "FailureLog.h"

#include <QtTest>

// The fields read from logs that the updater and the setup program wrote on the failure
// roads of the end-to-end tests (captured into tests/data/logs up to the upload).
class TestFailureLog : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

static const QString finalMessage = QStringLiteral(
    "Update error,It will jump to URL <" VELTORA_VENDOR_HOST
    ">.You can download newest version.Note that anti-virus software may intercept to jumping mistakenly");

void TestFailureLog::parse_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QString>("manifest");
    QTest::addColumn<QString>("road");
    QTest::addColumn<QString>("lastError");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("release");
    QTest::addColumn<QString>("share");
    const QString name = QStringLiteral("update_mac_1.0_2026.12.08-18.02.09.020.log");
    QTest::newRow("manifest signature refused")
        << "signature-mismatch.log" << name << "1.0" << "mac" << "http://127.0.0.1:55539/t-manifest/update.json" << "manifest"
        << "Update refused: the signature does not match the manifest and the release key" << finalMessage
        << "Update refused: the signature does not match the manifest and the release key" << "" << "";
    // The download's own error lines come before the refusal that ends the run.
    QTest::newRow("signature not downloadable")
        << "missing-signature.log" << name << "1.0" << "mac" << "http://127.0.0.1:55539/t-nosig/update.json" << "manifest"
        << "Update refused: the update signature could not be downloaded: The download file  is not found,please check the download url"
        << finalMessage
        << "Update refused: the update signature could not be downloaded: The download file is not found,please check the download url" << "" << "";
    QTest::newRow("older release refused")
        << "older-release.log" << name << "1.0" << "mac" << "http://127.0.0.1:55539/t-old/update.json" << "manifest"
        << "Update refused: release 0.9 is older than the installed version 1.0" << finalMessage
        << "Update refused: release 0.9 is older than the installed version 1.0" << "" << "";
    // Paths differ on every machine; the reason keeps what failed without them.
    QTest::newRow("setup program could not copy, backup restored")
        << "setup-copy-failed.log" << name << "1.0" << "mac" << "http://127.0.0.1:55539/mac/update.json" << "partial, setup"
        << "copy failed: \"/tmp/h3-capture/tmp/tst_endtoend-aotSZw/Applications/Veltora Test.app/Contents/Assets/data.txt\""
        << finalMessage << "copy failed: \"…\"" << "" << "";
    // Unpacking failed on every one of the restarts; the last restart ends on the final message.
    QTest::newRow("partial packet does not unpack, restarts used up")
        << "partial-packet-unpack-failed.log" << name << "1.0" << "mac" << "http://127.0.0.1:44795/357753987/update.json"
        << "partial" << "UncompressPartialPacketFailed" << finalMessage << "UncompressPartialPacketFailed" << "" << "";
    // A user name with an underscore: the fields are counted from the name's end.
    QTest::newRow("no banner, fields from the file name")
        << "" << "update_ann_lee_mac_2.1_2024.05.06-13.45.10.123.log" << "2.1" << "mac" << "" << "" << "" << "" << "" << "" << "";
    // The updater's line of what it installs; the log ends before any failure.
    QTest::newRow("release being installed and its share")
        << "" << name << "1.0" << "mac" << "" << "" << "" << "" << "" << "3.0" << "12.5";
    QTest::newRow("a share over 100 is not one")
        << "" << name << "1.0" << "mac" << "" << "" << "" << "" << "" << "" << "";
}

void TestFailureLog::parse()
{
    QFETCH(QString, file);
    QFETCH(QString, fileName);
    QByteArray log;
    if (QByteArray(QTest::currentDataTag()) == "release being installed and its share")
        log = "##update##Debug: (2026-12-09 10:00:00.123) targetRelease: 3.0, rolloutShare: 12.5\r\n";
    if (QByteArray(QTest::currentDataTag()) == "a share over 100 is not one")
        log = "##update##Debug: (2026-12-09 10:00:00.123) targetRelease: 3.0, rolloutShare: 100.5\r\n";
    if (!file.isEmpty()) {
        QFile data(QFINDTESTDATA("../data/logs/" + file));
        QVERIFY(data.open(QIODevice::ReadOnly));
        log = data.readAll();
    }
    const FailureLog fields = FailureLog::parse(fileName, log);
    QTEST(fields.installedVersion, "version");
    QTEST(fields.platform, "platform");
    QTEST(fields.manifestUrl, "manifest");
    QTEST(fields.road, "road");
    QTEST(fields.lastError, "lastError");
    QTEST(fields.finalMessage, "message");
    QTEST(fields.reason, "reason");
    QTEST(fields.targetRelease, "release");
    QTEST(fields.rolloutShare, "share");
}

QTEST_GUILESS_MAIN(TestFailureLog)
#include "tst_failurelog.moc"
