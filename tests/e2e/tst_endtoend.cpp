#include "BundleSnapshot.h"
#include "FileUtils.h"
#include "KeyStatement.h"
#include "ReleaseFreshness.h"
#include "ReleaseSigner.h"
#include "ReleaseTrust.h"
#include "TestHome.h"
#include "UpdateSite.h"
#include "WholeUpdate.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "TestFiles.h"

using TestFiles::writeFile;
using TestFiles::readFile;

using BundleSnapshot::run;
using BundleSnapshot::treeOf;

namespace {

// The updater of an installed copy, and every program it starts, with the clock moved by
// libfaketime's offset ("-365d") while the object lives; an empty offset changes nothing.
// A script takes the updater's place and is put back by restore(). Only libfaketime is
// preloaded, with the sanitizer's link-order check off: its runtime preloaded as well
// would hang the programs built without it (the stubs).
class FakeClock
{
public:
    explicit FakeClock(const QString &offset) : m_offset(offset) {}
    ~FakeClock() { restore(); }

    void wrap(const QString &install)
    {
        if (m_offset.isEmpty())
            return;
        m_updater = install + "/Contents/MacOS/update";
        QVERIFY(QFile::rename(m_updater, m_updater + ".real"));
        QVERIFY(writeFile(m_updater, "#!/bin/sh\nLD_PRELOAD='" FAKETIME_LIBRARY "' FAKETIME='" + m_offset.toLatin1()
                                         + "' FAKETIME_DONT_FAKE_MONOTONIC=1 ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 "
                                           "exec \"$0.real\" \"$@\"\n"));
        QVERIFY(QFile::setPermissions(m_updater, QFile::permissions(m_updater + ".real")));
    }
    void restore()
    {
        if (m_updater.isEmpty())
            return;
        QFile::remove(m_updater);
        QFile::rename(m_updater + ".real", m_updater);
        m_updater.clear();
    }

private:
    QString m_offset;
    QString m_updater;
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void partialUpdate();
    void alteredFileTakesTheReplacePacket();
    void unknownVersionOpensTheInstaller();
    void updaterFixFirst();
    void unwritableInstallationIsRestored_data();
    void unwritableInstallationIsRestored();
    void manifestThroughRedirects();
    void signedPartialUpdate();
    void signedReleaseRefused_data();
    void signedReleaseRefused();
    void signedReleaseThroughKeyChain();

private:
    using Run = WholeUpdate::Result;
    // Installs the old bundle in a fresh home and runs its updater until the setup program is done.
    Run runUpdate(TestHome &home, const QString &manifestUrl, const QString &version = QStringLiteral("1.0"),
                  const std::function<void(const QString &)> &prepare = {}, const QString &installFrom = QString());
    void checkNewVersionInstalled(const TestHome &home, const Run &run, const QString &expected = QString());
    // The signed release and what an attacker on the way makes of it.
    void publishSigned();
    // Keys 2 and 3 after key 1, and release 3.0 signed by key 3 in www/chain.
    void publishKeyChain();
    // The genuine manifest with `fields` changed under `mac`, signed by `signer`, into www/folder.
    void publishVariant(const QString &folder, const QJsonObject &fields, const ReleaseSigner &signer);
    QString url(const QString &path) const { return m_site.url(path); }

    QString m_old;
    QString m_new;
    // Bundles that carry the vendor's public release key.
    QString m_oldSigned;
    QString m_newSigned;
    UpdateSite m_site;
    QByteArray m_signedManifest;
};

void TestEndToEnd::initTestCase()
{
    VELTORA_START_UPDATE_SITE(m_site, APP_OLD, APP_NEW);
    QString output;
    const QString work = m_site.work();
    m_old = m_site.oldBundle();
    m_new = m_site.newBundle();
    m_oldSigned = work + "/bundles/1.0-signed/Veltora.app";
    m_newSigned = work + "/bundles/2.0-signed/Veltora.app";
    QVERIFY2(run(RELEASE_TOOL, {"--generate-key", work + "/keys"}, &output), qPrintable(output));
    for (const auto &[old, fresh, key] : {std::tuple{m_old, m_new, QString()},
                                          std::tuple{m_oldSigned, m_newSigned, QString(work + "/keys/release-signing-key.pub")}}) {
        if (!key.isEmpty()) {
            QVERIFY(UpdateSite::makeBundle(old, APP_OLD, "1.0", key));
            QVERIFY(UpdateSite::makeBundle(fresh, APP_NEW, "2.0", key));
        }
        QCOMPARE(QFileInfo::exists(old + "/Contents/Resources/release-signing-key.pub"), !key.isEmpty());
        // Content that changes between the versions: a folder that sorts first, a file that
        // goes, one that comes, a name with blanks and umlauts.
        writeFile(old + "/Contents/Assets/data.txt", "assets of 1.0");
        writeFile(fresh + "/Contents/Assets/data.txt", "assets of 2.0");
        writeFile(old + "/Contents/Resources/removed.txt", "only in 1.0");
        writeFile(fresh + "/Contents/Resources/added.txt", "only in 2.0");
        writeFile(old + QStringLiteral("/Contents/Resources/Grüße aus 1.txt"), "hello");
        writeFile(fresh + QStringLiteral("/Contents/Resources/Grüße aus 1.txt"), "hello again");
    }
    writeFile(work + "/Veltora-2.0.dmg", "the disk image of 2.0");
    writeFile(work + "/settings.json", R"({"delete": ["Login/token"], "add": {"Network/server": "updated"}})");

    QDir().mkpath(work + "/www/mac");
    QDir().mkpath(work + "/www/fix");

    for (const auto &[folder, fix] : {std::pair{QStringLiteral("mac"), QString()}, std::pair{QStringLiteral("fix"), QStringLiteral("1.0")}}) {
        QStringList arguments{"--new", m_new, "--old", "1.0=" + m_old, "--base-url", url("/" + folder), "--out",
                              work + "/www/" + folder, "--installer", work + "/Veltora-2.0.dmg", "--settings", work + "/settings.json"};
        if (!fix.isEmpty())
            arguments << "--fix-versions" << fix;
        QVERIFY2(run(RELEASE_TOOL, arguments, &output), qPrintable(output));
    }
    publishSigned();
}

void TestEndToEnd::publishSigned()
{
    const QString www = m_site.www();
    const QString key = m_site.work() + "/keys/release-signing.key";
    QString output;
    // The genuine release 2.0, its version taken from the bundle.
    QVERIFY2(run(RELEASE_TOOL, {"--new", m_newSigned, "--old", "1.0=" + m_oldSigned, "--base-url", url("/signed"), "--out",
                                www + "/signed", "--installer", m_site.work() + "/Veltora-2.0.dmg", "--settings",
                                m_site.work() + "/settings.json", "--signing-key", key},
                 &output),
             qPrintable(output));
    const QByteArray manifest = readFile(www + "/signed/update.json");
    const QByteArray signature = readFile(www + "/signed/update.json.sig");
    QVERIFY(manifest.contains("\"releaseVersion\": \"2.0\""));

    // A changed settings edit under the genuine signature.
    QVERIFY(writeFile(www + "/t-manifest/update.json", QByteArray(manifest).replace("\"updated\"", "\"hijacked\"")));
    QVERIFY(writeFile(www + "/t-manifest/update.json.sig", signature));
    // Their own packet, its MD5 rewritten in the manifest, the genuine signature beside it.
    const QByteArray evil = readFile(www + "/signed/2.0/replace-1.0.pkt");
    QVERIFY(writeFile(www + "/t-packet/partial-1.0.pkt", evil));
    const QByteArray genuineMd5 = getLocalFileMd5Value(www + "/signed/2.0/partial-1.0.pkt");
    QVERIFY(manifest.contains(genuineMd5));
    QVERIFY(writeFile(www + "/t-packet/update.json",
                      QByteArray(manifest)
                          .replace(genuineMd5, getLocalFileMd5Value(www + "/t-packet/partial-1.0.pkt"))
                          .replace("/signed/2.0/partial-1.0.pkt", "/t-packet/partial-1.0.pkt")));
    QVERIFY(writeFile(www + "/t-packet/update.json.sig", signature));
    // The genuine manifest without its signature.
    QVERIFY(writeFile(www + "/t-nosig/update.json", manifest));
    // A genuine older release, signed by the vendor in its day, replayed.
    ReleaseSigner vendor;
    QString error;
    QVERIFY2(vendor.load(key, &error), qPrintable(error));
    const QByteArray older = QByteArray(manifest).replace("\"releaseVersion\": \"2.0\"", "\"releaseVersion\": \"0.9\"");
    QVERIFY(writeFile(www + "/t-old/update.json", older));
    QVERIFY(writeFile(www + "/t-old/update.json.sig", vendor.sign(older)));

    // Signed twenty days ago for fourteen days: a mirror that stopped refreshing serves it.
    m_signedManifest = manifest;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    publishVariant("t-expired", {{"signedAt", ReleaseFreshness::timeText(now.addDays(-20))},
                                 {"validUntil", ReleaseFreshness::timeText(now.addDays(-6))}, {"sequence", 2}}, vendor);
    publishKeyChain();
}

void TestEndToEnd::publishVariant(const QString &folder, const QJsonObject &fields, const ReleaseSigner &signer)
{
    QJsonObject document = QJsonDocument::fromJson(m_signedManifest).object();
    QJsonObject mac = document.value("mac").toObject();
    for (auto it = fields.begin(); it != fields.end(); ++it)
        mac.insert(it.key(), it.value());
    document.insert("mac", mac);
    const QByteArray bytes = QJsonDocument(document).toJson();
    QVERIFY(writeFile(m_site.www() + "/" + folder + "/update.json", bytes));
    QVERIFY(writeFile(m_site.www() + "/" + folder + "/update.json.sig", signer.sign(bytes)));
}

void TestEndToEnd::publishKeyChain()
{
    const QString work = m_site.work();
    const QString www = m_site.www();
    QString output;
    // Key 1 hands over to key 2 (release 2.0's time), key 2 to key 3; release 3.0 is signed by
    // key 3, its bundle carries key 3.
    for (const QString &next : {QStringLiteral("keys2"), QStringLiteral("keys3")}) {
        const QString current = work + (next == "keys2" ? "/keys" : "/keys2") + "/release-signing.key";
        QVERIFY2(run(RELEASE_TOOL, {"--generate-key", work + "/" + next}, &output), qPrintable(output));
        QVERIFY2(run(RELEASE_TOOL, {"--hand-over", work + "/" + next, "--signing-key", current, "--out", www + "/chain"}, &output),
                 qPrintable(output));
    }
    const QString bundle3 = work + "/bundles/3.0-signed/Veltora.app";
    QVERIFY(UpdateSite::makeBundle(bundle3, APP_NEW, "3.0", work + "/keys3/release-signing-key.pub"));
    writeFile(bundle3 + "/Contents/Assets/data.txt", "assets of 3.0");
    QVERIFY2(run(RELEASE_TOOL, {"--new", bundle3, "--old", "1.0=" + m_oldSigned, "--base-url", url("/chain"), "--out", www + "/chain",
                                "--installer", work + "/Veltora-2.0.dmg", "--settings", work + "/settings.json", "--signing-key",
                                work + "/keys3/release-signing.key"},
                 &output),
             qPrintable(output));

    // Key 2 hands over "from key 1" alone: the statement is signed by the new key only.
    ReleaseSigner key1;
    ReleaseSigner key2;
    QString error;
    QVERIFY(key1.load(work + "/keys/release-signing.key", &error) && key2.load(work + "/keys2/release-signing.key", &error));
    KeyStatement::Parsed genuine;
    QVERIFY(KeyStatement::parse(readFile(www + "/chain/update.json.key-2"), &genuine, &error));
    QVERIFY(writeFile(www + "/t-newkey-alone/update.json.key-2",
                      genuine.signedPart + "signature-previous " + key2.sign(genuine.signedPart).trimmed() + "\nsignature-key "
                          + key2.sign(genuine.signedPart).trimmed() + "\n"));
    publishVariant("t-newkey-alone", {{"signingKey", 2}}, key2);
}

void TestEndToEnd::cleanupTestCase()
{
    m_site.stop();
}

TestEndToEnd::Run TestEndToEnd::runUpdate(TestHome &home, const QString &manifestUrl, const QString &version,
                                          const std::function<void(const QString &)> &prepare, const QString &installFrom)
{
    WholeUpdate::Options options;
    options.version = version;
    options.proxyPort = m_site.relay().port();
    options.prepare = prepare;
    return WholeUpdate::run(home, installFrom.isEmpty() ? m_old : installFrom, manifestUrl, options);
}

void TestEndToEnd::checkNewVersionInstalled(const TestHome &home, const Run &run, const QString &expected)
{
    QCOMPARE(run.updateExit, 0);
    QCOMPARE(treeOf(run.install), treeOf(expected.isEmpty() ? m_new : expected));
    QSettings settings(home.dataDirectory() + "/settings.ini", QSettings::IniFormat);
    QVERIFY(!settings.contains("Login/token"));
    QCOMPARE(settings.value("Network/server").toString(), QStringLiteral("updated"));
    QCOMPARE(settings.value("Login/user").toString(), QStringLiteral("anna"));
    QVERIFY(!QFileInfo::exists(home.updateDirectory()));
    QVERIFY(!QFileInfo::exists(home.path() + "/.cache/Veltora"));

    // One log: the updater's lines, then the setup program's.
    QVERIFY(!run.log.isEmpty());
    const int firstFinisher = run.log.indexOf(QRegularExpression("^##finisher##.*"));
    QVERIFY(firstFinisher > 0);
    QVERIFY(run.log.mid(0, firstFinisher).filter(QRegularExpression("^##update##")).size() == firstFinisher);
    QVERIFY(run.log.mid(firstFinisher).filter(QRegularExpression("^##finisher##")).size() == run.log.size() - firstFinisher);
    QVERIFY(run.log.at(firstFinisher).endsWith(") start setup"));
}

void TestEndToEnd::partialUpdate()
{
    TestHome home;
    const Run result = runUpdate(home, url("/mac/update.json"));
    checkNewVersionInstalled(home, result);
    QVERIFY(!result.log.filter("start patch").isEmpty());
    QVERIFY(!result.log.filter("patch success!").isEmpty());
    QVERIFY(result.log.filter("partial-1.0.pkt").size() > 0);
    QVERIFY(result.log.filter("UncompressReplacePacketSuccess").isEmpty());
}

void TestEndToEnd::alteredFileTakesTheReplacePacket()
{
    TestHome home;
    const Run result = runUpdate(home, url("/mac/update.json"), "1.0", [](const QString &install) {
        writeFile(install + "/Contents/MacOS/Veltora", "changed by the user");
        ::chmod(QFile::encodeName(install + "/Contents/MacOS/Veltora").constData(), 0755);
    });
    checkNewVersionInstalled(home, result);
    QVERIFY(!result.log.filter("patch failed:").isEmpty());
    QVERIFY(!result.log.filter("UncompressReplacePacketSuccess").isEmpty());
}

void TestEndToEnd::unknownVersionOpensTheInstaller()
{
    TestHome home;
    const Run result = runUpdate(home, url("/mac/update.json"), "0.5");
    QCOMPARE(result.updateExit, 0);
    const QString image = home.updateDirectory() + "/Veltora-2.0.dmg";
    QCOMPARE(readFile(image), QByteArray("the disk image of 2.0"));
    QTRY_COMPARE(home.stubCalls("xdg-open"), QList<QStringList>{QStringList{image}});
    QCOMPARE(treeOf(result.install), treeOf(m_old));
}

void TestEndToEnd::updaterFixFirst()
{
    TestHome home;
    const Run result = runUpdate(home, url("/fix/update.json"));
    checkNewVersionInstalled(home, result);
    QVERIFY(QFileInfo(result.install + "/Contents/fixupdate/Contents/MacOS/update").isExecutable());
    QVERIFY(!result.log.filter("-skipfix").isEmpty());
    QVERIFY(!result.log.filter(result.install + "/Contents/fixupdate/Contents/MacOS/finisher").isEmpty());
}

void TestEndToEnd::unwritableInstallationIsRestored_data()
{
    QTest::addColumn<QString>("lockedFolder");
    QTest::addColumn<QString>("refusedFile");
    // Nothing is written before the refusal.
    QTest::newRow("folder that sorts first") << "Contents/Assets" << "Contents/Assets/data.txt";
    // Frameworks, programs and resources are written before it: the restore undoes them.
    QTest::newRow("folder that sorts last") << "Contents/Resources" << "Contents/Resources/added.txt";
}

void TestEndToEnd::unwritableInstallationIsRestored()
{
    QFETCH(QString, lockedFolder);
    QFETCH(QString, refusedFile);
    if (::geteuid() != 0)
        QSKIP("making a folder immutable needs root");
    TestHome home;
    QString locked;
    m_site.relay().clearRequests();
    const Run result = runUpdate(home, url("/mac/update.json"), "1.0", [&](const QString &install) {
        locked = install + "/" + lockedFolder;
        run("chattr", {"+i", locked});
    });
    run("chattr", {"-i", locked});
    QCOMPARE(result.updateExit, 0);
    QCOMPARE(result.log.filter(QRegularExpression("copy failed: .*" + QRegularExpression::escape(refusedFile))).size(), 5);
    QVERIFY(!result.log.filter(" recover success").isEmpty());
    QCOMPARE(treeOf(result.install), treeOf(m_old));
    QTRY_COMPARE(m_site.relay().requestsFor("POST").size(), 1);
    QCOMPARE(m_site.relay().requestsFor("POST").first().target,
             QByteArray("http://" VELTORA_VENDOR_HOST "/api/file.api.php?action=putFailedData"));
}

void TestEndToEnd::manifestThroughRedirects()
{
    TestHome home;
    const Run result = runUpdate(home, url("/r1/mac/update.json"));
    checkNewVersionInstalled(home, result);
    // Three answers for the size probe, and three for each of the two ranged requests.
    QCOMPARE(result.log.filter(">>>>>>>redirect url").size(), 9);
}

void TestEndToEnd::signedPartialUpdate()
{
    TestHome home;
    const Run result = runUpdate(home, url("/signed/update.json"), "1.0", {}, m_oldSigned);
    checkNewVersionInstalled(home, result, m_newSigned);
    QVERIFY(!result.log.filter("start patch").isEmpty());
    // Checked by the updater before reading the manifest, and by the setup program before acting on it.
    QCOMPARE(result.log.filter(QRegularExpression("^##update##.*Update signature verified$")).size(), 1);
    QCOMPARE(result.log.filter(QRegularExpression("^##finisher##.*Update signature verified$")).size(), 1);
}

void TestEndToEnd::signedReleaseRefused_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("reason");
    // What the installation accepted before ("sequence", "signedAt" days ago, "keyNumber"
    // of the keys made in publishKeyChain()), and the clock's offset for its programs.
    QTest::addColumn<QJsonObject>("accepted");
    QTest::addColumn<QString>("clock");
    QTest::newRow("tampered manifest") << "t-manifest" << "the signature does not match" << QJsonObject() << "";
    QTest::newRow("tampered packet") << "t-packet" << "the signature does not match" << QJsonObject() << "";
    QTest::newRow("missing signature") << "t-nosig" << "the update signature could not be downloaded" << QJsonObject() << "";
    QTest::newRow("older signed release") << "t-old" << "release 0.9 is older than the installed version 1.0" << QJsonObject() << "";
    QTest::newRow("past its validity") << "t-expired" << "expired 6 days ago, clock ahead of signing time by 20 days (release 2.0, signed at "
                                       << QJsonObject() << "";
    QTest::newRow("replayed after a newer one") << "signed" << "replayed release: sequence 1 below accepted 5 (release 2.0"
                                                << QJsonObject{{"sequence", 5}, {"signedAt", 1}} << "";
    QTest::newRow("clock set back a year") << "t-expired"
                                           << "expired: this installation already accepted a release signed at "
                                           << QJsonObject{{"sequence", 3}, {"signedAt", 1}} << "-365d";
    QTest::newRow("key statement signed by the new key alone") << "t-newkey-alone" << "key statement 2 is not signed by key 1"
                                                               << QJsonObject() << "";
    QTest::newRow("key 1 after moving to key 3") << "signed" << "the manifest is signed by key 1, but this installation has moved on to key 3"
                                                 << QJsonObject{{"sequence", 1}, {"signedAt", 1}, {"keyNumber", 3}} << "";
}

// Refused at once: the bundle and the settings stay as they were, the log says why and
// goes to the vendor, nothing is retried.
void TestEndToEnd::signedReleaseRefused()
{
    QFETCH(QString, folder);
    QFETCH(QString, reason);
    QFETCH(QJsonObject, accepted);
    QFETCH(QString, clock);
    if (!clock.isEmpty() && !QFileInfo::exists(QStringLiteral(FAKETIME_LIBRARY)))
        QSKIP("libfaketime is not installed");
    TestHome home;
    m_site.relay().clearRequests();
    if (!accepted.isEmpty()) {
        QJsonObject record{{"sequence", accepted.value("sequence")},
                           {"signedAt", ReleaseFreshness::timeText(QDateTime::currentDateTimeUtc().addDays(-accepted.value("signedAt").toInt()))}};
        if (accepted.contains("keyNumber")) {
            record.insert("keyNumber", 3);
            record.insert("key", QString::fromLatin1(readFile(m_site.work() + "/keys3/release-signing-key.pub").split(' ').first()));
        }
        QVERIFY(writeFile(home.dataDirectory() + "/" + ReleaseTrust::fileName(), QJsonDocument(record).toJson()));
    }
    FakeClock fake(clock);
    const Run result = runUpdate(home, url("/" + folder + "/update.json"), "1.0", [&fake](const QString &install) { fake.wrap(install); },
                                 m_oldSigned);
    fake.restore();
    QVERIFY(result.updateExit != 0);
    QCOMPARE(treeOf(result.install), treeOf(m_oldSigned));
    QVERIFY2(!result.log.filter(QRegularExpression("^##update##.*Update refused: " + QRegularExpression::escape(reason))).isEmpty(),
             qPrintable(result.log.join('\n')));
    QVERIFY(result.log.filter(">>>>>>>>>>>>>>>>>>>>>>>>>>>>>> ReStart Update").isEmpty());
    QVERIFY(result.log.filter("##finisher##").isEmpty());
    QSettings settings(home.dataDirectory() + "/settings.ini", QSettings::IniFormat);
    QCOMPARE(settings.value("Login/token").toString(), QStringLiteral("secret"));
    QTRY_COMPARE(m_site.relay().requestsFor("POST").size(), 1);
}

// A 1.0 installation holding key 1 that missed release 2.0 (key 1 to key 2) takes release
// 3.0, signed by key 3, through the statements 2 and 3 beside the manifest, and from then
// on holds key 3.
void TestEndToEnd::signedReleaseThroughKeyChain()
{
    TestHome home;
    const Run result = runUpdate(home, url("/chain/update.json"), "1.0", {}, m_oldSigned);
    QCOMPARE(result.updateExit, 0);
    QCOMPARE(treeOf(result.install), treeOf(m_site.work() + "/bundles/3.0-signed/Veltora.app"));
    QCOMPARE(result.log.filter(QRegularExpression("^##update##.*Release key 3 reached through key statements 2 to 3$")).size(), 1);
    QCOMPARE(result.log.filter(QRegularExpression("^##finisher##.*Update signature verified$")).size(), 1);
    ReleaseTrust trust;
    QString error;
    QVERIFY2(trust.load(home.dataDirectory() + "/" + ReleaseTrust::fileName(), &error), qPrintable(error));
    QCOMPARE(trust.rememberedKey().number(), 3);
    QCOMPARE(trust.sequence(), qint64(1));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
