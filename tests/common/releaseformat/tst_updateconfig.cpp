#include "MessageCapture.h"
#include "Updateconfig.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestUpdateconfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void readsEverySection();
    void unopenableFileKeepsMembers_data();
    void unopenableFileKeepsMembers();
    void unparsableDocumentClearsMembers_data();
    void unparsableDocumentClearsMembers();
    void missingKeysGiveFalse();
    void versionListAsStringIsEmpty();
    void digestsAreKeptVerbatim();
    void patchListAccumulatesAcrossReads();

private:
    QString write(const QByteArray &content)
    {
        const QString path = m_dir.filePath(QStringLiteral("manifest-%1.json").arg(++m_count));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(content);
        return path;
    }
    static QString manifest() { return QStringLiteral(TEST_DATA_DIR "/manifest.json"); }

    QTemporaryDir m_dir;
    int m_count = 0;
};

void TestUpdateconfig::readsEverySection()
{
    Updateconfig config;
    config.configFile = manifest();
    MessageCapture log;

    QVERIFY(config.getFixUpdatePacketInfo(QStringLiteral("mac")));
    QCOMPARE(config.fixUpdatePacketMd5, QByteArray("92eb5ffee6ae2fec3ad71c777531578f"));
    QCOMPARE(config.fixUpdatePacketUrl, QStringLiteral("http://downloads.example/mac/fixupdate.pkt"));
    QCOMPARE(config.fixUpdateUesedVersion, QJsonArray({QStringLiteral("1.0.0"), QStringLiteral("1.0.1")}));

    QVERIFY(config.getInstallerInfo(QStringLiteral("mac")));
    QCOMPARE(config.installerMd5, QByteArray("0cc175b9c0f1b6a831c399e269772661"));
    QCOMPARE(config.installerUrl, QStringLiteral("http://downloads.example/mac/Veltora-2.0.dmg"));

    QVERIFY(config.getPartialPacketInfo(QStringLiteral("mac"), QStringLiteral("1.5.0")));
    QCOMPARE(config.partialPacketMd5, QByteArray("4a8a08f09d37b73795649038408b5f33"));
    QCOMPARE(config.partialPacketUrl, QStringLiteral("http://downloads.example/mac/partial-1.5.0.pkt"));
    QCOMPARE(config.replacePacketMd5, QByteArray("8277e0910d750195b448797616e091ad"));
    QCOMPARE(config.replacePacketUrl, QStringLiteral("http://downloads.example/mac/replace-1.5.0.pkt"));

    QCOMPARE(config.patchList.keys(),
             QStringList({QStringLiteral("Contents/Frameworks/Core.framework/Versions/5/Core"),
                          QStringLiteral("Contents/MacOS/Veltora")}));
    const filePatchInfo core = config.patchList.first();
    QCOMPARE(core.filePatch, QStringLiteral("Core.patch"));
    QCOMPARE(core.oldFileMd5, QByteArray("b9ece18c950afbfa6b0fdbfa4ff731d3"));
    QCOMPARE(core.newFileMd5, QByteArray("2510c39011c5be704182423e3a695e91"));

    QCOMPARE(log.messages(),
             QStringList({QStringLiteral("fixUpdatePacketMd5 \"92eb5ffee6ae2fec3ad71c777531578f\""),
                          QStringLiteral("fixUpdatePacketUrl \"http://downloads.example/mac/fixupdate.pkt\""),
                          QStringLiteral("installerMd5: \"0cc175b9c0f1b6a831c399e269772661\""),
                          QStringLiteral("installerUrl: \"http://downloads.example/mac/Veltora-2.0.dmg\""),
                          QStringLiteral("partialPacketMd5: \"4a8a08f09d37b73795649038408b5f33\""),
                          QStringLiteral("partialPacketUrl: \"http://downloads.example/mac/partial-1.5.0.pkt\""),
                          QStringLiteral("replacePacketMd5: \"8277e0910d750195b448797616e091ad\""),
                          QStringLiteral("replacePacketUrl: \"http://downloads.example/mac/replace-1.5.0.pkt\"")}));
}

void TestUpdateconfig::unopenableFileKeepsMembers_data()
{
    QTest::addColumn<int>("reader");
    QTest::addColumn<QString>("message");
    QTest::newRow("installer") << 0 << "Get Installer Info,Open update config failed";
    QTest::newRow("partial") << 1 << "Get partialPacket Info,Open update config failed";
    QTest::newRow("fix update") << 2 << "Get FixUpdate Info ,Open update config failed";
}

void TestUpdateconfig::unopenableFileKeepsMembers()
{
    QFETCH(int, reader);
    QFETCH(QString, message);

    Updateconfig config;
    config.configFile = manifest();
    QVERIFY(config.getInstallerInfo(QStringLiteral("mac")));
    QVERIFY(config.getPartialPacketInfo(QStringLiteral("mac"), QStringLiteral("1.5.0")));
    QVERIFY(config.getFixUpdatePacketInfo(QStringLiteral("mac")));
    const Updateconfig before = config;

    config.configFile = m_dir.filePath(QStringLiteral("no-such-manifest.json"));
    MessageCapture log;
    const bool result = reader == 0 ? config.getInstallerInfo(QStringLiteral("mac"))
        : reader == 1 ? config.getPartialPacketInfo(QStringLiteral("mac"), QStringLiteral("1.5.0"))
                      : config.getFixUpdatePacketInfo(QStringLiteral("mac"));
    QVERIFY(!result);
    QCOMPARE(log.messages(), QStringList{message});
    QCOMPARE(config.installerMd5, before.installerMd5);
    QCOMPARE(config.partialPacketUrl, before.partialPacketUrl);
    QCOMPARE(config.fixUpdatePacketMd5, before.fixUpdatePacketMd5);
    QCOMPARE(config.patchList.size(), before.patchList.size());
}

void TestUpdateconfig::unparsableDocumentClearsMembers_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("invalid json") << QByteArray("{\"mac\": {\"installerMd5\": ");
    QTest::newRow("array document") << QByteArray("[{\"mac\": {}}]");
    QTest::newRow("empty file") << QByteArray();
}

void TestUpdateconfig::unparsableDocumentClearsMembers()
{
    QFETCH(QByteArray, content);
    Updateconfig config;
    config.configFile = manifest();
    QVERIFY(config.getInstallerInfo(QStringLiteral("mac")));
    QVERIFY(config.getPartialPacketInfo(QStringLiteral("mac"), QStringLiteral("1.5.0")));
    QVERIFY(config.getFixUpdatePacketInfo(QStringLiteral("mac")));

    config.configFile = write(content);
    MessageCapture log;
    QVERIFY(!config.getInstallerInfo(QStringLiteral("mac")));
    QVERIFY(!config.getPartialPacketInfo(QStringLiteral("mac"), QStringLiteral("1.5.0")));
    QVERIFY(!config.getFixUpdatePacketInfo(QStringLiteral("mac")));
    QVERIFY(config.installerMd5.isEmpty() && config.installerUrl.isEmpty());
    QVERIFY(config.partialPacketMd5.isEmpty() && config.replacePacketUrl.isEmpty());
    QVERIFY(config.fixUpdatePacketMd5.isEmpty() && config.fixUpdatePacketUrl.isEmpty());
    // Neither list is cleared by a failed read.
    QCOMPARE(config.patchList.size(), 2);
    QCOMPARE(config.fixUpdateUesedVersion.size(), 2);
    // The installer reader logs its values only when the text parsed; the others always.
    QCOMPARE(log.messages().size(), 6);
    QCOMPARE(log.messages().first(), QStringLiteral("partialPacketMd5: \"\""));
}

void TestUpdateconfig::missingKeysGiveFalse()
{
    Updateconfig config;
    config.configFile = manifest();
    QVERIFY(!config.getInstallerInfo(QStringLiteral("linux")));
    QVERIFY(!config.getPartialPacketInfo(QStringLiteral("mac"), QStringLiteral("9.9.9")));
    QVERIFY(config.patchList.isEmpty());

    config.configFile = write(R"({"mac": {"installerUrl": "http://h/a.dmg",
        "partialPacket": {"1.0": {"partialPacketMd5": "a", "partialPacketUrl": "http://h/p.pkt",
                                  "replacePacketMd5": "b"}}}})");
    QVERIFY(!config.getInstallerInfo(QStringLiteral("mac")));
    QCOMPARE(config.installerUrl, QStringLiteral("http://h/a.dmg"));
    QVERIFY(!config.getPartialPacketInfo(QStringLiteral("mac"), QStringLiteral("1.0")));
    QVERIFY(!config.getFixUpdatePacketInfo(QStringLiteral("mac")));
    QVERIFY(config.fixUpdateUesedVersion.isEmpty());
}

void TestUpdateconfig::versionListAsStringIsEmpty()
{
    Updateconfig config;
    config.configFile = write(R"({"mac": {"fixUpdatePacket": {"fixUpdatePacketMd5": "abc",
        "fixUpdatePacketUrl": "http://h/f.pkt", "fixUpdateUesedVersion": "1.0.0"}}})");
    QVERIFY(config.getFixUpdatePacketInfo(QStringLiteral("mac")));
    QVERIFY(config.fixUpdateUesedVersion.isEmpty());
}

void TestUpdateconfig::digestsAreKeptVerbatim()
{
    Updateconfig config;
    config.configFile = write(R"({"mac": {"installerMd5": "0CC175B9C0F1B6A831C399E269772661",
        "installerUrl": "http://h/a.dmg"}})");
    QVERIFY(config.getInstallerInfo(QStringLiteral("mac")));
    // An upper-case digest never equals what the updater computes for a file.
    QVERIFY(config.installerMd5 != QCryptographicHash::hash("a", QCryptographicHash::Md5).toHex());
    QCOMPARE(config.installerMd5.toLower(), QCryptographicHash::hash("a", QCryptographicHash::Md5).toHex());
}

void TestUpdateconfig::patchListAccumulatesAcrossReads()
{
    Updateconfig config;
    config.configFile = manifest();
    QVERIFY(config.getPartialPacketInfo(QStringLiteral("mac"), QStringLiteral("1.5.0")));
    QVERIFY(config.getPartialPacketInfo(QStringLiteral("mac"), QStringLiteral("1.5.0")));
    QCOMPARE(config.patchList.size(), 2);

    QVERIFY(config.getPartialPacketInfo(QStringLiteral("mac"), QStringLiteral("1.6.0")));
    QCOMPARE(config.patchList.size(), 3);
    QCOMPARE(config.patchList.value(QStringLiteral("Contents/MacOS/Veltora")).filePatch,
             QStringLiteral("Veltora-1.6.patch"));
    QCOMPARE(config.patchList.value(QStringLiteral("Contents/Frameworks/Core.framework/Versions/5/Core")).filePatch,
             QStringLiteral("Core.patch"));
}

QTEST_GUILESS_MAIN(TestUpdateconfig)
#include "tst_updateconfig.moc"
