#include "BsdiffControl.h"
#include "FileSha256.h"
#include "FileUtils.h"
#include "KeyStatement.h"
#include "ReleaseFreshness.h"
#include "ReleaseKey.h"
#include "TestHome.h"
#include "Uncompress.h"
#include "Updateconfig.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "TestFiles.h"

using TestFiles::randomBytes;

namespace {

void writeFile(const QString &path, const QByteArray &data, quint32 mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(data);
    file.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}

void makeLink(const QByteArray &target, const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    ::symlink(target.constData(), QFile::encodeName(path).constData());
}

// Every entry below root: "path mode md5" for files, "path -> target" for links.
QStringList treeOf(const QString &root, const QStringList &skip = {})
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(root.size() + 1);
        if (std::any_of(skip.begin(), skip.end(), [&](const QString &s) { return relative.startsWith(s); }))
            continue;
        struct stat st;
        ::lstat(QFile::encodeName(path).constData(), &st);
        if (S_ISLNK(st.st_mode))
            out << relative + " -> " + QFileInfo(path).symLinkTarget().mid(QFileInfo(path).absolutePath().size() + 1);
        else if (S_ISREG(st.st_mode))
            out << QStringLiteral("%1 %2 %3").arg(relative).arg(st.st_mode & 0777, 0, 8).arg(QString::fromLatin1(getLocalFileMd5Value(path)));
    }
    out.sort();
    return out;
}

// A bundle of one version: frameworks with version links, binaries, resources.
void makeBundle(const QString &root, int version)
{
    const QByteArray binary = randomBytes(300000, 1);
    QByteArray app = binary;
    for (int i = 0; i < version; ++i)
        app.replace(1000 * (i + 1), 8, "version" + QByteArray::number(i));
    writeFile(root + "/Contents/MacOS/Veltora", app, 0755);
    writeFile(root + "/Contents/MacOS/update", "updater " + QByteArray::number(version), 0755);
    const QString fw = root + "/Contents/Frameworks/QtCore.framework";
    writeFile(fw + "/Versions/5/QtCore", randomBytes(200000, 2) + QByteArray::number(version), 0755);
    makeLink("5", fw + "/Versions/Current");
    makeLink("Versions/Current/QtCore", fw + "/QtCore");
    writeFile(root + "/Contents/Resources/qt.conf", "[Paths]\nPlugins = PlugIns\n");
    writeFile(root + QStringLiteral("/Contents/Resources/Grüße und mehr.txt"), "greetings " + QByteArray::number(version));
    writeFile(root + "/Contents/Resources/theme.css", version >= 2 ? randomBytes(5000, 9) : randomBytes(5000, 8));
    if (version < 2)
        writeFile(root + "/Contents/Resources/obsolete.png", "goes away");
    else
        writeFile(root + "/Contents/Resources/new.png", "arrives");
}

struct ToolRun
{
    int exitCode = -1;
    QString error;
    QString output;
};

} // namespace

class TestRelease : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void writesTheManifest();
    void packetsHoldOneFolderNamedLikeThem();
    void partialPacketRebuildsEachVersion_data();
    void partialPacketRebuildsEachVersion();
    void replacePacketHoldsWholeFiles();
    void signedRelease();
    void renewal();
    void keyHandOver();
    void progressLines();
    void badInput_data();
    void badInput();

private:
    ToolRun runTool(const QStringList &arguments);
    QString path(const QString &rel) const { return m_home.path() + "/" + rel; }
    QJsonObject manifest() const;

    TestHome m_home;
    QByteArray m_publicKey;
    QString m_progress; // standard error of the first run
};

void TestRelease::initTestCase()
{
    QVERIFY(m_home.isValid());
    makeBundle(path("v1.0"), 0);
    makeBundle(path("v1.2.3"), 1);
    makeBundle(path("v2.0"), 2);
    writeFile(path("Veltora-2.0.dmg"), "disk image");
    writeFile(path("settings.json"), R"({"delete": ["Login/token"], "add": {"Network/server": "x", "A": "1"}})");
    const ToolRun run = runTool({"--new", path("v2.0"), "--old", "1.0=" + path("v1.0"), "--old", "1.2.3=" + path("v1.2.3"),
                                 "--base-url", "http://127.0.0.1:8080/mac/", "--out", path("out"), "--installer",
                                 path("Veltora-2.0.dmg"), "--fix-versions", "1.0", "--settings", path("settings.json"),
                                 "--release-version", "2.0"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.error));
    m_progress = run.error;

    QProcess keys;
    keys.start(QStringLiteral(RELEASE_TOOL), {"--generate-key", path("keys")});
    QVERIFY(keys.waitForFinished(60000) && keys.exitCode() == 0);
    m_publicKey = keys.readAllStandardOutput().trimmed();
}

ToolRun TestRelease::runTool(const QStringList &arguments)
{
    QProcess process;
    process.setProcessEnvironment(m_home.environment());
    process.start(QStringLiteral(RELEASE_TOOL), arguments);
    ToolRun run;
    if (!process.waitForFinished(300000))
        return run;
    run.exitCode = process.exitCode();
    run.error = QString::fromUtf8(process.readAllStandardError());
    run.output = QString::fromUtf8(process.readAllStandardOutput());
    return run;
}

QJsonObject TestRelease::manifest() const
{
    QFile file(m_home.path() + "/out/update.json");
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object().value("mac").toObject();
}

void TestRelease::writesTheManifest()
{
    const QJsonObject mac = manifest();
    // Each release's files at addresses of their own, the manifest at the one address.
    QVERIFY(QFileInfo::exists(path("out/update.json")));
    QCOMPARE(mac.value("installerUrl").toString(), QStringLiteral("http://127.0.0.1:8080/mac/2.0/Veltora-2.0.dmg"));
    QCOMPARE(mac.value("installerMd5").toString().toLatin1(), getLocalFileMd5Value(path("out/2.0/Veltora-2.0.dmg")));
    const QJsonObject fix = mac.value("fixUpdatePacket").toObject();
    QCOMPARE(fix.value("fixUpdatePacketUrl").toString(), QStringLiteral("http://127.0.0.1:8080/mac/2.0/fixupdate.pkt"));
    QCOMPARE(fix.value("fixUpdateUesedVersion").toArray(), QJsonArray{"1.0"});
    QCOMPARE(mac.value("veltoraSettings").toObject().value("delete").toArray(), QJsonArray{"Login/token"});
    QCOMPARE(mac.value("veltoraSettings").toObject().value("add").toObject().value("A").toString(), QStringLiteral("1"));

    const QJsonObject entry = mac.value("partialPacket").toObject().value("1.0").toObject();
    QCOMPARE(entry.value("partialPacketUrl").toString(), QStringLiteral("http://127.0.0.1:8080/mac/2.0/partial-1.0.pkt"));
    QCOMPARE(entry.value("replacePacketMd5").toString().toLatin1(), getLocalFileMd5Value(path("out/2.0/replace-1.0.pkt")));
    const QJsonObject modify = entry.value("modify").toObject();
    QCOMPARE(modify.value("delete").toArray(), QJsonArray{"Contents/Resources/obsolete.png"});
    QCOMPARE(modify.value("add").toArray(), QJsonArray{"Contents/Resources/new.png"});
    // The binary changed a little: a patch; the style sheet changed completely: whole.
    const QJsonObject patches = modify.value("patch").toObject();
    QVERIFY(patches.contains("Contents/MacOS/Veltora"));
    QVERIFY(!patches.contains("Contents/Resources/theme.css"));
    QCOMPARE(patches.value("Contents/MacOS/Veltora").toObject().value("filePatch").toString(),
             QStringLiteral("Contents/MacOS/Veltora.patch"));

    // The updater's own reader takes it.
    Updateconfig config;
    config.configFile = path("out/update.json");
    QVERIFY(config.getFixUpdatePacketInfo("mac"));
    QVERIFY(config.getInstallerInfo("mac"));
    QVERIFY(config.getPartialPacketInfo("mac", "1.2.3"));
    QCOMPARE(config.partialPacketUrl, QStringLiteral("http://127.0.0.1:8080/mac/2.0/partial-1.2.3.pkt"));
}

void TestRelease::packetsHoldOneFolderNamedLikeThem()
{
    for (const QString name : {"partial-1.0.pkt", "partial-1.2.3.pkt", "replace-1.2.3.pkt", "fixupdate.pkt"}) {
        QTemporaryDir target;
        Uncompress uncompress;
        uncompress.packetPath = path("out/2.0/") + name;
        uncompress.outputDirectory = target.path();
        QSignalSpy ok(&uncompress, &Uncompress::UncompressPacketOKSignal);
        uncompress.UncompressPacket();
        QCOMPARE(ok.count(), 1);
        QCOMPARE(QDir(target.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{name.chopped(4)});
    }
}

void TestRelease::partialPacketRebuildsEachVersion_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("1.0") << "1.0";
    QTest::newRow("1.2.3") << "1.2.3";
}

void TestRelease::partialPacketRebuildsEachVersion()
{
    QFETCH(QString, version);
    // An installation of the old version, updated the way the updater and setup program do it.
    const QString installed = path("installed-" + version);
    QVERIFY(copyDirectoryFiles(path("v" + version), installed));
    Updateconfig config;
    config.configFile = path("out/update.json");
    QVERIFY(config.getPartialPacketInfo("mac", version));

    QTemporaryDir updateDir;
    Uncompress uncompress;
    uncompress.packetPath = path("out/2.0/partial-" + version + ".pkt");
    uncompress.outputDirectory = updateDir.path();
    QSignalSpy unpacked(&uncompress, &Uncompress::UncompressPacketOKSignal);
    uncompress.UncompressPacket();
    QCOMPARE(unpacked.count(), 1);
    const QString staging = updateDir.path() + "/partial-" + version;

    BsdiffControl patcher;
    patcher.patchList = config.patchList;
    patcher.sourceDirectory = installed;
    patcher.patchDirectory = staging;
    patcher.outputDirectory = staging;
    QSignalSpy patched(&patcher, &BsdiffControl::bsdiffSuccessSignal);
    patcher.bspatchControl();
    QCOMPARE(patched.count(), 1);
    FileUtils::cleanSuffixFile(staging, "patch");

    QVERIFY(copyDirectoryFiles(staging, installed));
    QFile manifestFile(path("out/update.json"));
    QVERIFY(manifestFile.open(QIODevice::ReadOnly));
    const QJsonArray deleted = QJsonDocument::fromJson(manifestFile.readAll())
                                   .object().value("mac").toObject().value("partialPacket").toObject()
                                   .value(version).toObject().value("modify").toObject().value("delete").toArray();
    for (const QJsonValue &entry : deleted)
        QVERIFY(QFile::remove(installed + "/" + entry.toString()));
    // The setup program's last step: everything in Contents/MacOS becomes executable.
    for (const QFileInfo &entry : QDir(installed + "/Contents/MacOS").entryInfoList(QDir::Files))
        ::chmod(QFile::encodeName(entry.absoluteFilePath()).constData(), 0755);

    QCOMPARE(treeOf(installed), treeOf(path("v2.0")));
}

void TestRelease::replacePacketHoldsWholeFiles()
{
    QTemporaryDir target;
    Uncompress uncompress;
    uncompress.packetPath = path("out/2.0/replace-1.0.pkt");
    uncompress.outputDirectory = target.path();
    QSignalSpy ok(&uncompress, &Uncompress::UncompressPacketOKSignal);
    uncompress.UncompressPacket();
    QCOMPARE(ok.count(), 1);
    const QStringList tree = treeOf(target.path() + "/replace-1.0");
    QCOMPARE(tree.filter(".patch").size(), 0);
    QVERIFY(tree.contains(QStringLiteral("Contents/MacOS/Veltora 755 %1").arg(QString::fromLatin1(getLocalFileMd5Value(path("v2.0/Contents/MacOS/Veltora"))))));
    QVERIFY(!tree.filter(QStringLiteral("Grüße und mehr.txt")).isEmpty());
}

void TestRelease::signedRelease()
{
    QCOMPARE(TestFiles::modeOf(path("keys/release-signing.key")), mode_t(0600));
    QCOMPARE(TestFiles::readFile(path("keys/") + ReleaseKey::fileName()).trimmed(), m_publicKey);
    QVERIFY(!QFileInfo::exists(path("out/update.json.sig")));

    const ToolRun run = runTool({"--new", path("v2.0"), "--old", "1.0=" + path("v1.0"), "--base-url", "http://127.0.0.1:8080/mac",
                                 "--out", path("signed"), "--installer", path("Veltora-2.0.dmg"), "--signing-key",
                                 path("keys/release-signing.key"), "--release-version", "2.0"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.error));
    ReleaseKey key;
    QString error;
    QVERIFY(ReleaseKey::fromText(m_publicKey, &key, &error));
    QByteArray bytes;
    QVERIFY2(key.verifyManifest(path("signed/update.json"), &bytes, &error), qPrintable(error));

    const QJsonObject mac = QJsonDocument::fromJson(bytes).object().value("mac").toObject();
    const QJsonObject entry = mac.value("partialPacket").toObject().value("1.0").toObject();
    QCOMPARE(mac.value("releaseVersion").toString(), QStringLiteral("2.0"));
    const auto sha = [this](const QString &file) { return QString::fromLatin1(getLocalFileSha256Value(path("signed/2.0/") + file)); };
    QCOMPARE(mac.value("installerSha256").toString(), sha("Veltora-2.0.dmg"));
    QCOMPARE(mac.value("fixUpdatePacket").toObject().value("fixUpdatePacketSha256").toString(), sha("fixupdate.pkt"));
    QCOMPARE(entry.value("partialPacketSha256").toString(), sha("partial-1.0.pkt"));
    QCOMPARE(entry.value("replacePacketSha256").toString(), sha("replace-1.0.pkt"));
    // The MD5 keys stay as unsigned releases have them.
    QCOMPARE(entry.value("partialPacketMd5").toString().toLatin1(), getLocalFileMd5Value(path("signed/2.0/partial-1.0.pkt")));
    // Fourteen days from now, the first sequence in this folder, key 1.
    ReleaseFreshness fresh;
    QVERIFY2(ReleaseFreshness::read(bytes, "mac", &fresh, &error), qPrintable(error));
    QVERIFY(qAbs(fresh.signedAt.secsTo(QDateTime::currentDateTimeUtc())) < 300);
    QCOMPARE(fresh.signedAt.daysTo(fresh.validUntil), 14);
    QCOMPARE(fresh.sequence, qint64(1));
    QCOMPARE(mac.value("signingKey").toInt(), 1);
    QVERIFY(!mac.contains("rolloutShare"));
}

// A release signed for two days is renewed from a timer: new dates, the next sequence and
// a new share under a fresh signature, the packets as they were.
void TestRelease::renewal()
{
    const QString manifestPath = path("renew/update.json");
    const QString key = path("keys/release-signing.key");
    ToolRun run = runTool({"--new", path("v2.0"), "--old", "1.0=" + path("v1.0"), "--base-url", "http://127.0.0.1:8080/mac", "--out",
                           path("renew"), "--installer", path("Veltora-2.0.dmg"), "--signing-key", key, "--release-version", "2.0",
                           "--valid-days", "2", "--rollout-share", "12.5", "--quiet"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.error));
    run = runTool({"--inspect", manifestPath});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.output.contains("rollout share: 12.5\nsigned at ") && run.output.contains(", sequence 1, key 1\ntime left: 47 hours"),
             qPrintable(run.output));
    QVERIFY2(run.error.startsWith("veltora-release: warning: " + manifestPath + " has only 47 hours left"), qPrintable(run.error));

    const QByteArray packet = getLocalFileMd5Value(path("renew/2.0/partial-1.0.pkt"));
    const QDateTime packetTime = QFileInfo(path("renew/2.0/partial-1.0.pkt")).lastModified();
    run = runTool({"--renew", manifestPath, "--signing-key", key, "--rollout-share", "20"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.error));
    QVERIFY2(run.error.contains(" had only 47 hours left"), qPrintable(run.error));
    ReleaseKey publicKey;
    QString error;
    QVERIFY(ReleaseKey::fromText(m_publicKey, &publicKey, &error));
    QByteArray bytes;
    QVERIFY2(publicKey.verifyManifest(manifestPath, &bytes, &error), qPrintable(error));
    ReleaseFreshness fresh;
    QVERIFY2(ReleaseFreshness::read(bytes, "mac", &fresh, &error), qPrintable(error));
    QCOMPARE(fresh.sequence, qint64(2));
    QCOMPARE(fresh.signedAt.daysTo(fresh.validUntil), 14);
    const QJsonObject mac = QJsonDocument::fromJson(bytes).object().value("mac").toObject();
    QVERIFY(bytes.contains("\"rolloutShare\": 20,"));
    QCOMPARE(mac.value("partialPacket").toObject().value("1.0").toObject().value("partialPacketMd5").toString().toLatin1(), packet);
    QCOMPARE(QFileInfo(path("renew/2.0/partial-1.0.pkt")).lastModified(), packetTime);

    // What changed on the server after signing is not signed again.
    QVERIFY(TestFiles::writeFile(path("tampered/update.json"), QByteArray(bytes).replace("\"rolloutShare\": 20", "\"rolloutShare\": 100")));
    QVERIFY(TestFiles::writeFile(path("tampered/update.json.sig"), TestFiles::readFile(manifestPath + ".sig")));
    run = runTool({"--renew", path("tampered/update.json"), "--signing-key", key});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.error.startsWith("veltora-release: the manifest's signature does not verify with key 1"), qPrintable(run.error));
}

// Key 1 hands over to key 2: the statement beside the manifest takes an installation
// holding key 1 to key 2, and key 1 signs nothing there any more.
void TestRelease::keyHandOver()
{
    const QString manifestPath = path("renew/update.json");
    QProcess keys;
    keys.start(QStringLiteral(RELEASE_TOOL), {"--generate-key", path("keys2")});
    QVERIFY(keys.waitForFinished(60000) && keys.exitCode() == 0);
    ToolRun run = runTool({"--hand-over", path("keys2"), "--signing-key", path("keys/release-signing.key"), "--out", path("renew")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.error));
    QCOMPARE(run.output.trimmed(), KeyStatement::pathOf(manifestPath, 2));
    // Bundles made with the new public key start at key 2.
    ReleaseKey second;
    QString error;
    QVERIFY(ReleaseKey::fromText(TestFiles::readFile(path("keys2/") + ReleaseKey::fileName()), &second, &error));
    QCOMPARE(second.number(), 2);

    run = runTool({"--renew", manifestPath, "--signing-key", path("keys2/release-signing.key")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.error));
    ReleaseKey first;
    QVERIFY(ReleaseKey::fromText(m_publicKey, &first, &error));
    ReleaseKey reached;
    QVERIFY2(KeyStatement::walk(first, 2, {TestFiles::readFile(KeyStatement::pathOf(manifestPath, 2))}, &reached, &error),
             qPrintable(error));
    QCOMPARE(reached, second);
    QByteArray bytes;
    QVERIFY2(reached.verifyManifest(manifestPath, &bytes, &error), qPrintable(error));
    QCOMPARE(QJsonDocument::fromJson(bytes).object().value("mac").toObject().value("signingKey").toInt(), 2);

    run = runTool({"--renew", manifestPath, "--signing-key", path("keys/release-signing.key")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.error.startsWith("veltora-release: the signing key is key 1, which was handed over to key 2"), qPrintable(run.error));
}

// Not on a terminal: plain lines, each phase from its start to its end.
void TestRelease::progressLines()
{
    const QStringList lines = m_progress.split('\n', Qt::SkipEmptyParts);
    QVERIFY2(!m_progress.contains('\r'), qPrintable(m_progress));
    QCOMPARE(lines.first(), QStringLiteral("comparing: 0/3 bundles"));
    for (const QString phase : {"comparing: 3/3 bundles, ", "making patches for 1.0: 0/", "making patches for 1.2.3: ",
                                "packing partial-1.0.pkt: 0.0 MB/", "packing replace-1.2.3.pkt: ", "packing fixupdate.pkt: ",
                                "reading back: 0/5 packets"})
        QVERIFY2(std::any_of(lines.begin(), lines.end(), [&](const QString &line) { return line.startsWith(phase); }), qPrintable(phase));
    QCOMPARE(lines.last(), QStringLiteral("reading back: 5/5 packets"));
    QVERIFY2(lines.size() < 60, qPrintable(m_progress));
}

void TestRelease::badInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");
    const QStringList common{"--installer", "%H/Veltora-2.0.dmg", "--base-url", "http://127.0.0.1/mac"};
    QTest::newRow("missing folder") << (QStringList{"--new", "%H/nowhere", "--old", "1.0=%H/v1.0", "--out", "%H/o1"} + common)
                                    << "the new bundle is not a folder";
    QTest::newRow("version twice") << (QStringList{"--new", "%H/v2.0", "--old", "1.0=%H/v1.0", "--old", "1.0=%H/v1.2.3", "--out", "%H/o2"} + common)
                                   << "version 1.0 is listed twice";
    QTest::newRow("output is a file") << (QStringList{"--new", "%H/v2.0", "--old", "1.0=%H/v1.0", "--out", "%H/settings.json"} + common)
                                      << "the output is not a folder";
    QTest::newRow("https base URL") << QStringList{"--new", "%H/v2.0", "--old", "1.0=%H/v1.0", "--out", "%H/o3", "--installer",
                                                   "%H/Veltora-2.0.dmg", "--base-url", "https://127.0.0.1/mac"}
                                    << "the base URL must be a plain http";
    QTest::newRow("no installer") << QStringList{"--new", "%H/v2.0", "--old", "1.0=%H/v1.0", "--out", "%H/o4", "--base-url", "http://h/m"}
                                  << "--installer is required";
    QTest::newRow("version with a slash") << (QStringList{"--new", "%H/v2.0", "--old", "1/0=%H/v1.0", "--out", "%H/o5"} + common)
                                          << "--old takes VERSION=DIR";
    const QStringList release{"--new", "%H/v2.0", "--old", "1.0=%H/v1.0", "--out", "%H/o6"};
    QTest::newRow("no release version") << (release + common) << "a release needs a dotted numeric --release-version";
    QTest::newRow("signing key missing") << (release + common + QStringList{"--signing-key", "%H/keys/none.key"})
                                         << "the signing key is not a file";
    QTest::newRow("signing with the public key")
        << (release + common + QStringList{"--signing-key", "%H/keys/release-signing-key.pub", "--release-version", "2.0"})
        << "the signing key %H/keys/release-signing-key.pub is not one base64 line of 64 bytes";
    QTest::newRow("release older than a previous version")
        << (QStringList{"--new", "%H/v2.0", "--old", "1.2.3=%H/v1.2.3", "--out", "%H/o7", "--signing-key",
                        "%H/keys/release-signing.key", "--release-version", "1.1"} + common)
        << "check failed: release 1.1 is older than the installed version 1.2.3";
    QTest::newRow("patch memory not a size") << (QStringList{"--new", "%H/v2.0", "--old", "1.0=%H/v1.0", "--out", "%H/o8",
                                                             "--patch-memory", "0"} + common)
                                             << "--patch-memory takes a number of MB: 0";
    QTest::newRow("validity beyond 31 days") << (release + common + QStringList{"--release-version", "2.0", "--valid-days", "32"})
                                             << "--valid-days takes a number of days from 1 to 31: 32";
    QTest::newRow("share above 100") << (release + common + QStringList{"--release-version", "2.0", "--rollout-share", "100.5"})
                                     << "--rollout-share takes a share from 0 to 100: 100.5";
    QTest::newRow("sequence not above the published one")
        << QStringList{"--renew", "%H/renew/update.json", "--signing-key", "%H/keys2/release-signing.key", "--sequence", "2"}
        << "--sequence 2 is not above the published manifest's sequence";
    QTest::newRow("key made twice") << QStringList{"--generate-key", "%H/keys"} << "%H/keys/release-signing.key exists already";
}

void TestRelease::badInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    arguments.replaceInStrings("%H", m_home.path());
    reason.replace("%H", m_home.path());
    const ToolRun run = runTool(arguments + QStringList{"--quiet"});
    QVERIFY(run.exitCode != 0);
    const QStringList lines = run.error.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith("veltora-release: " + reason), qPrintable(lines.first()));
}

QTEST_GUILESS_MAIN(TestRelease)
#include "tst_release.moc"
