#include "FileSha256.h"
#include "MessageCapture.h"
#include "ReleaseFreshness.h"
#include "ReleaseKey.h"
#include "SevenZipWriter.h"
#include "TestHome.h"
#include "TestHttpServer.h"
#include "TestReleaseKey.h"
#include "UpdateControl.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "TestFiles.h"

using TestFiles::readFile;
using TestFiles::writeFile;

namespace {

// What a network attacker (or a vendor's mistake) does to a signed release.
enum class Attack {
    None,
    TamperedManifest,  // their packet, and its MD5 rewritten in the manifest; the old signature
    MissingSignature,  // no .sig at all
    OtherKey,          // signed, but not by the vendor
    NoSha256,          // signed manifest without the SHA-256 digests
    OlderRelease,      // a genuine older signed release, replayed
    PacketSha256,      // a packet whose MD5 matches but whose SHA-256 does not
    InstallerSha256,   // the same for the installer image
    BrokenInstalledKey, // the installation's key file is damaged
    LargeSignature,    // a signature file of 10 KB
    MissingKeyStatement // signed by key 2, the hand-over from key 1 not published
};

QString hex(const QByteArray &data, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, algorithm).toHex());
}

QByteArray packet(const QByteArray &content)
{
    SevenZipWriter writer;
    writer.add(SevenZipWriter::folder("partial-1.0"));
    writer.add(SevenZipWriter::folder("partial-1.0/Contents"));
    writer.add(SevenZipWriter::folder("partial-1.0/Contents/Resources"));
    writer.add(SevenZipWriter::file("partial-1.0/Contents/Resources/new.txt", content));
    return writer.archive();
}

} // namespace

Q_DECLARE_METATYPE(Attack)

class TestSignedUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void signedPartialRoad();
    void refusedRelease_data();
    void refusedRelease();

private:
    QString installPath() const { return m_home->path() + "/Applications/Veltora.app"; }
    void publish(Attack attack);
    // Runs an update of the installed 1.0 until it hands over or shows its final message.
    void runUpdate();

    TestHttpServer m_server;
    TestReleaseKey m_key;
    TestReleaseKey m_otherKey;
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<UpdateControl> m_control;
    QStringList m_messages;
    QList<int> m_states;
    int m_exits = 0;
};

void TestSignedUpdate::initTestCase()
{
    QVERIFY(m_server.listen());
    QVERIFY(m_key.isValid());
    QVERIFY(m_otherKey.isValid());
}

void TestSignedUpdate::init()
{
    m_home = std::make_unique<TestHome>();
    m_home->applyToCurrentProcess();
    m_server.clearRequests();
    m_messages.clear();
    m_states.clear();
    m_exits = 0;
    // Relaunched after a fix-update, so the hand-off runs the recording finisher there.
    QVERIFY(writeFile(installPath() + "/Contents/Resources/old.txt", "1.0"));
    QVERIFY(writeFile(installPath() + "/Contents/fixupdate/Contents/MacOS/finisher",
                      "#!/bin/sh\necho \"$@\" > '" + QFile::encodeName(m_home->path()) + "/finisher.args'\n"));
    QVERIFY(QFile::setPermissions(installPath() + "/Contents/fixupdate/Contents/MacOS/finisher", QFileDevice::Permissions(0x7755)));
    QVERIFY(m_key.installInto(installPath()));
    m_home->addRecordingStub("hdiutil");
}

void TestSignedUpdate::cleanup()
{
    m_control.reset();
    m_home.reset();
}

void TestSignedUpdate::publish(Attack attack)
{
    const QByteArray genuine = packet("new in 2.0");
    const QByteArray image = "disk image of 2.0";
    m_server.serveContent("/mac/partial-1.0.pkt", genuine);
    m_server.serveContent("/mac/Veltora-2.0.dmg", image);
    QJsonObject entry{{"partialPacketMd5", hex(genuine, QCryptographicHash::Md5)},
                      {"partialPacketSha256", hex(genuine, QCryptographicHash::Sha256)},
                      {"partialPacketUrl", m_server.url("/mac/partial-1.0.pkt")},
                      {"replacePacketMd5", hex("replace", QCryptographicHash::Md5)},
                      {"replacePacketSha256", hex("replace", QCryptographicHash::Sha256)},
                      {"replacePacketUrl", m_server.url("/mac/replace-1.0.pkt")},
                      {"modify", QJsonObject{{"add", QJsonArray{"Contents/Resources/new.txt"}}}}};
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QJsonObject mac{{"releaseVersion", "2.0"},
                    {"signedAt", ReleaseFreshness::timeText(now)},
                    {"validUntil", ReleaseFreshness::timeText(now.addDays(14))},
                    {"sequence", 1},
                    {"installerMd5", hex(image, QCryptographicHash::Md5)},
                    {"installerSha256", hex(image, QCryptographicHash::Sha256)},
                    {"installerUrl", m_server.url("/mac/Veltora-2.0.dmg")},
                    {"partialPacket", QJsonObject{{"1.0", entry}}}};
    const auto bytesOf = [&mac, &entry] {
        mac.insert("partialPacket", QJsonObject{{"1.0", entry}});
        return QJsonDocument(QJsonObject{{"mac", mac}}).toJson();
    };

    switch (attack) {
    case Attack::NoSha256:
        entry.remove("partialPacketSha256");
        entry.remove("replacePacketSha256");
        break;
    case Attack::OlderRelease:
        mac.insert("releaseVersion", "0.9");
        break;
    case Attack::PacketSha256:
        entry.insert("partialPacketSha256", hex("another packet", QCryptographicHash::Sha256));
        break;
    case Attack::InstallerSha256:
        entry = QJsonObject();
        mac.insert("installerSha256", hex("another image", QCryptographicHash::Sha256));
        break;
    case Attack::MissingKeyStatement:
        mac.insert("signingKey", 2);
        break;
    case Attack::BrokenInstalledKey:
        QVERIFY(writeFile(ReleaseKey::bundleKeyPath(installPath()), "not a key\n"));
        break;
    default:
        break;
    }
    QByteArray bytes = bytesOf();
    QByteArray signature = (attack == Attack::OtherKey ? m_otherKey : m_key).sign(bytes);
    if (attack == Attack::TamperedManifest) {
        const QByteArray evil = packet("the attacker's file");
        m_server.serveContent("/mac/partial-1.0.pkt", evil);
        entry.insert("partialPacketMd5", hex(evil, QCryptographicHash::Md5));
        bytes = bytesOf();
    }
    m_server.serveContent("/mac/update.json", bytes);
    TestHttpServer::Resource sig;
    sig.content = attack == Attack::LargeSignature ? signature.repeated(120) : signature;
    sig.status = attack == Attack::MissingSignature ? 404 : 200;
    m_server.serve("/mac/update.json.sig", sig);
}

void TestSignedUpdate::runUpdate()
{
    m_control = std::make_unique<UpdateControl>();
    m_control->updateUrl = m_control->currentUrl = m_server.url("/mac/update.json");
    m_control->platform = QStringLiteral("mac");
    m_control->version = QStringLiteral("1.0");
    m_control->installPath = installPath();
    m_control->logFileName = QStringLiteral("update_test.log");
    m_control->skipFix = true;
    connect(m_control.get(), &UpdateControl::showMessageBoxSignal, this,
            [this](const QString &text, bool upload) { m_messages << text + (upload ? "|upload" : "|no-upload"); });
    connect(m_control.get(), &UpdateControl::exitSignal, this, [this] { ++m_exits; });
    connect(m_control.get(), &UpdateControl::stateChangedSignal, this, [this](int state) { m_states << state; });
    m_control->mainControlSlot();
    QTRY_VERIFY_WITH_TIMEOUT(m_exits > 0 || !m_messages.isEmpty(), 60000);
}

void TestSignedUpdate::signedPartialRoad()
{
    publish(Attack::None);
    MessageCapture log;
    runUpdate();
    QCOMPARE(m_messages, QStringList());
    QCOMPARE(m_states, (QList<int>{1, 2, 23, 24, 5, 6, 14, 16, 20, 21}));
    QVERIFY(log.contains("Update signature verified"));
    QCOMPARE(readFile(m_home->updateDirectory() + "/partial-1.0/Contents/Resources/new.txt"), QByteArray("new in 2.0"));
    QTRY_VERIFY(QFileInfo::exists(m_home->path() + "/finisher.args"));
}

void TestSignedUpdate::refusedRelease_data()
{
    QTest::addColumn<Attack>("attack");
    QTest::addColumn<QString>("reason");
    QTest::newRow("tampered manifest and packet") << Attack::TamperedManifest << "the signature does not match";
    QTest::newRow("missing signature") << Attack::MissingSignature << "the update signature could not be downloaded";
    QTest::newRow("signature of another key") << Attack::OtherKey << "the signature does not match";
    QTest::newRow("no SHA-256 digests") << Attack::NoSha256 << "no SHA-256 digest \"partialPacketSha256\"";
    QTest::newRow("older release") << Attack::OlderRelease << "release 0.9 is older than the installed version 1.0";
    QTest::newRow("packet SHA-256 differs") << Attack::PacketSha256 << "the SHA-256 of partial-1.0.pkt does not match";
    QTest::newRow("installer SHA-256 differs") << Attack::InstallerSha256 << "the SHA-256 of Veltora-2.0.dmg does not match";
    QTest::newRow("damaged installed key") << Attack::BrokenInstalledKey << "the installed release key is unusable";
    QTest::newRow("signature of 10 KB")
        << Attack::LargeSignature << "the update signature could not be downloaded: The download file has 10680 bytes, more than the 1024 allowed";
    QTest::newRow("key statement not published") << Attack::MissingKeyStatement << "key statement 2 could not be downloaded: ";
}

// Refused at once with the final message and the log upload: no retry, nothing unpacked,
// no setup program, no installer.
void TestSignedUpdate::refusedRelease()
{
    QFETCH(Attack, attack);
    QFETCH(QString, reason);
    publish(attack);
    MessageCapture log;
    runUpdate();
    QCOMPARE(m_messages, QStringList{UpdateControl::finalFailureMessage() + "|upload"});
    QCOMPARE(m_exits, 0);
    QCOMPARE(m_control->restartCount, 0);
    QVERIFY2(!log.messages().filter(QRegularExpression("^Update refused: .*" + QRegularExpression::escape(reason))).isEmpty(),
             qPrintable(log.messages().join('\n')));
    QVERIFY(!log.contains("Update signature verified") || attack == Attack::PacketSha256 || attack == Attack::InstallerSha256);
    QVERIFY(!QFileInfo::exists(m_home->updateDirectory() + "/partial-1.0"));
    QVERIFY(!QFileInfo::exists(m_home->updateDirectory() + "/update.json.sig") || attack != Attack::LargeSignature);
    QVERIFY(!QFileInfo::exists(m_home->path() + "/finisher.args"));
    QVERIFY(m_home->stubCalls("hdiutil").isEmpty());
}

QTEST_GUILESS_MAIN(TestSignedUpdate)
#include "tst_signedupdate.moc"
