#include "BundleSnapshot.h"
#include "ReleaseSigner.h"
#include "TestHome.h"
#include "TestHttpServer.h"
#include "UpdateSite.h"
#include "WholeUpdate.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtTest>

#include <memory>
#include <vector>

#include "TestFiles.h"

using TestFiles::readFile;
using TestFiles::writeFile;

namespace {

const QString cacheScript = QStringLiteral(SOURCE_DIR "/deploy/cache.sh");

// bench/class.sh sets these to measure a 20 MB packet, one machine alone, and a class
// without a cache; the test is a class of thirty and a packet of 3 MB.
int fromEnvironment(const char *name, int fallback)
{
    const int value = qEnvironmentVariableIntValue(name);
    return value > 0 ? value : fallback;
}
const int classSize = fromEnvironment("VELTORA_CLASS_SIZE", 30);

// The lesson data that changes whole from release to release, and so makes up the packet.
int payloadBytes()
{
    return fromEnvironment("VELTORA_CLASS_MB", 3) << 20;
}

// What the origin sent, from its access log ("status bytes method uri ...").
qint64 bytesSent(const QString &accessLog)
{
    qint64 total = 0;
    for (const QByteArray &line : readFile(accessLog).split('\n'))
        total += line.split(' ').value(1).toLongLong();
    return total;
}

struct ClassRun
{
    QStringList failures; // one line per machine not on the release afterwards
    QStringList logs;     // every machine's log, joined
    qint64 wallMs = 0;
};

} // namespace

// A class of thirty machines updating at once through one cache in front of the vendor's
// origin, as a school runs it: every machine ends on the release while the origin sends
// the packet about once; the next release's manifest reaches every machine at once, and a
// corrupt copy of its packet in the cache costs a second download, not the class.
class TestClassCache : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void classUpdatesThroughOneCache_data();
    void classUpdatesThroughOneCache();
    void otherSitesRangesPassThroughSquid();

private:
    bool script(const QStringList &arguments, QString *output);
    bool makeRelease(const QString &version, const QString &previous);
    // Puts release `version`'s manifest at the one address, its files addressed below `base`.
    bool serve(const QString &version, const QString &base);
    ClassRun runClass(const QString &bundle, const QString &fromVersion, const QString &manifestUrl,
                      const WholeUpdate::Options &options, const QString &release);

    QString m_work;
    QTemporaryDir m_dir;
    QString m_origin; // http://127.0.0.1:PORT
    TestHttpServer m_relay;
    QStringList m_running; // state folders of what deploy/cache.sh started
};

bool TestClassCache::script(const QStringList &arguments, QString *output)
{
    return BundleSnapshot::run(QStringLiteral("bash"), QStringList{cacheScript} + arguments, output, 60000);
}

void TestClassCache::initTestCase()
{
    if (!NginxSite::installed() || QStandardPaths::findExecutable(QStringLiteral("squid"), {"/usr/sbin", "/usr/bin"}).isEmpty())
        QSKIP("nginx or squid is not installed");
    QVERIFY(m_dir.isValid() && m_relay.listen());
    // Squid's own user reaches its folder through this one when the tests run as root.
    QVERIFY(QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7711)));
    m_work = m_dir.path();
    m_relay.serveContent("/api/file.api.php", "stored");
    QString output;
    QVERIFY(QDir().mkpath(m_work + "/www/mac"));
    QVERIFY2(script({"origin", m_work + "/www", m_work + "/origin"}, &output), qPrintable(output));
    m_running << m_work + "/origin";
    m_origin = QStringLiteral("http://127.0.0.1:") + output.trimmed();

    QVERIFY2(BundleSnapshot::run(RELEASE_TOOL, {"--generate-key", m_work + "/keys"}, &output), qPrintable(output));
    const QString key = m_work + "/keys/release-signing-key.pub";
    QVERIFY(UpdateSite::makeBundle(m_work + "/bundles/1.0/Veltora.app", APP_OLD, "1.0", key));
    for (const QString version : {"2.0", "3.0"})
        QVERIFY(UpdateSite::makeBundle(m_work + "/bundles/" + version + "/Veltora.app", APP_NEW, version, key));
    for (const QString version : {"1.0", "2.0", "3.0"})
        QVERIFY(writeFile(m_work + "/bundles/" + version + "/Veltora.app/Contents/Resources/lesson.bin",
                          TestFiles::randomBytes(payloadBytes(), quint32(version.toDouble() * 10))));
    QVERIFY(writeFile(m_work + "/Veltora.dmg", "the disk image"));
    // No machine here needs its updater replaced first: a small fix-update packet saves packing a bundle.
    QVERIFY(writeFile(m_work + "/fix/Contents/MacOS/readme", "no fix"));
    QVERIFY(makeRelease("2.0", "1.0"));
    QVERIFY(makeRelease("3.0", "2.0"));
}

bool TestClassCache::makeRelease(const QString &version, const QString &previous)
{
    QString output;
    const bool ok = BundleSnapshot::run(RELEASE_TOOL, {"--quiet", "--new", m_work + "/bundles/" + version + "/Veltora.app",
                                                       "--old", previous + "=" + m_work + "/bundles/" + previous + "/Veltora.app",
                                                       "--base-url", m_origin + "/mac", "--out", m_work + "/www/mac",
                                                       "--installer", m_work + "/Veltora.dmg", "--fix-bundle", m_work + "/fix",
                                                       "--signing-key",
                                                       m_work + "/keys/release-signing.key"},
                                        &output);
    if (!ok)
        qWarning().noquote() << output;
    // Kept aside: the one address is served from these per row.
    return ok && QDir().mkpath(m_work + "/manifests/" + version)
        && QFile::copy(m_work + "/www/mac/update.json", m_work + "/manifests/" + version + "/update.json");
}

bool TestClassCache::serve(const QString &version, const QString &base)
{
    const QByteArray manifest = readFile(m_work + "/manifests/" + version + "/update.json")
                                    .replace((m_origin + "/mac/").toUtf8(), base.toUtf8());
    ReleaseSigner vendor;
    QString error;
    return vendor.load(m_work + "/keys/release-signing.key", &error) && writeFile(m_work + "/www/mac/update.json", manifest)
        && writeFile(m_work + "/www/mac/update.json.sig", vendor.sign(manifest));
}

void TestClassCache::cleanupTestCase()
{
    QString output;
    for (const QString &state : qAsConst(m_running))
        script({"stop", state}, &output);
}

ClassRun TestClassCache::runClass(const QString &bundle, const QString &fromVersion, const QString &manifestUrl,
                                  const WholeUpdate::Options &options, const QString &release)
{
    ClassRun run;
    std::vector<std::unique_ptr<TestHome>> homes;
    std::vector<std::unique_ptr<WholeUpdate::Launch>> launches;
    WholeUpdate::Options machine = options;
    machine.version = fromVersion;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < classSize; ++i) {
        homes.push_back(std::make_unique<TestHome>());
        launches.push_back(WholeUpdate::start(*homes.back(), bundle, manifestUrl, machine));
    }
    const QByteArray lesson = readFile(m_work + "/bundles/" + release + "/Veltora.app/Contents/Resources/lesson.bin");
    for (int i = 0; i < classSize; ++i) {
        const int left = int(qMax<qint64>(1000, 600000 - clock.elapsed()));
        const WholeUpdate::Result result = WholeUpdate::finish(*launches[size_t(i)], left);
        run.logs << result.log.join('\n');
        const QByteArray version = readFile(result.install + "/Contents/Resources/version.txt").trimmed();
        if (version != release.toUtf8() || readFile(result.install + "/Contents/Resources/lesson.bin") != lesson)
            run.failures << QStringLiteral("machine %1 on %2 (exit %3): %4")
                                .arg(i).arg(QString::fromUtf8(version)).arg(result.updateExit)
                                .arg(result.log.mid(result.log.size() - 5).join(" | ") + result.updateErrors.right(2000));
    }
    run.wallMs = clock.elapsed();
    return run;
}

void TestClassCache::classUpdatesThroughOneCache_data()
{
    QTest::addColumn<QString>("cache");
    QTest::newRow("squid as the forward proxy") << "squid";
    QTest::newRow("nginx as a reverse cache with slices") << "nginx";
    if (qEnvironmentVariableIsSet("VELTORA_CLASS_BENCH"))
        QTest::newRow("no cache") << "none";
}

void TestClassCache::classUpdatesThroughOneCache()
{
    QFETCH(QString, cache);
    const QString state = m_work + "/" + cache;
    QString output;
    if (cache != "none") {
        QVERIFY2(cache == "squid" ? script({"squid", state}, &output) : script({"nginx", m_origin, state}, &output),
                 qPrintable(output));
        m_running << state;
    }
    const QString cacheUrl = QStringLiteral("http://127.0.0.1:") + output.trimmed();
    // Squid is every machine's http_proxy; the reverse cache stands where the vendor's
    // address points (the log upload goes to the relay, as always in these tests).
    WholeUpdate::Options options;
    QString base = m_origin + "/mac/";
    if (cache == "squid") {
        // Programs send no loopback address through a proxy: the trial Squid knows the origin by name.
        options.proxyUrl = cacheUrl;
        base = QString(m_origin).replace("127.0.0.1", "origin.veltora.test") + "/mac/";
    } else {
        options.proxyPort = m_relay.port();
        if (cache == "nginx")
            base = cacheUrl + "/mac/";
    }
    const QString accessLog = m_work + "/origin/access.log";

    // 1.0 -> 2.0: the origin sends the packet about once for the whole class.
    QVERIFY(serve("2.0", base));
    QVERIFY(writeFile(accessLog, QByteArray()));
    const ClassRun first = runClass(m_work + "/bundles/1.0/Veltora.app", "1.0", base + "update.json", options, "2.0");
    QVERIFY2(first.failures.isEmpty(), qPrintable(first.failures.join('\n')));
    const qint64 packet = QFileInfo(m_work + "/www/mac/2.0/partial-1.0.pkt").size();
    const qint64 manifests = classSize * (QFileInfo(m_work + "/www/mac/update.json").size()
                                          + QFileInfo(m_work + "/www/mac/update.json.sig").size());
    const qint64 uplink = bytesSent(accessLog);
    qInfo("%s: class of %d, packet %lld bytes, origin sent %lld bytes (%.2f x packet + manifests + signatures), %lld ms",
          qPrintable(cache), classSize, packet, uplink, double(uplink) / double(packet + manifests), first.wallMs);
    if (cache == "none")
        return;
    QVERIFY2(uplink <= 1.1 * double(packet + manifests), qPrintable(QString::number(uplink)));

    // 2.0 -> 3.0, published while the cache holds a corrupt copy of the new packet.
    QVERIFY(serve("3.0", base));
    const QString packetPath = m_work + "/www/mac/3.0/partial-2.0.pkt";
    const QByteArray genuine = readFile(packetPath);
    QByteArray corrupt = genuine;
    corrupt[corrupt.size() / 2] = char(corrupt.at(corrupt.size() / 2) ^ 0x55);
    QVERIFY(writeFile(packetPath, corrupt));
    QStringList fetch{"-s", "-f", "-o", "/dev/null", base + "3.0/partial-2.0.pkt"};
    if (!options.proxyUrl.isEmpty())
        fetch << "-x" << options.proxyUrl;
    QVERIFY(BundleSnapshot::run("curl", fetch));
    QVERIFY(writeFile(packetPath, genuine));
    const ClassRun second = runClass(m_work + "/bundles/2.0/Veltora.app", "2.0", base + "update.json", options, "3.0");
    QVERIFY2(second.failures.isEmpty(), qPrintable(second.failures.join('\n')));
    QVERIFY(second.logs.join('\n').contains("Download Partial Packet md5 is not match"));
}

// The whole-object rules are the update host's: a school's proxy must not turn every
// other site's ranged request (a video seek) into a fetch of the whole object.
void TestClassCache::otherSitesRangesPassThroughSquid()
{
    const QString state = m_work + "/squid-other-sites";
    QString output;
    QVERIFY2(script({"squid", state}, &output), qPrintable(output));
    m_running << state;
    const QByteArray video = TestFiles::randomBytes(4 << 20, 11);
    QVERIFY(writeFile(m_work + "/www/other/video.bin", video));
    const QString accessLog = m_work + "/origin/access.log";
    QVERIFY(writeFile(accessLog, QByteArray()));
    // To this Squid, localhost is a site other than the update host (origin.veltora.test).
    const QString url = "http://localhost:" + m_origin.section(':', -1) + "/other/video.bin";
    QVERIFY(BundleSnapshot::run("curl", {"-s", "-f", "-o", "/dev/null", "-r", "0-99", "-x",
                                         "http://127.0.0.1:" + output.trimmed(), url}));
    QTRY_VERIFY(bytesSent(accessLog) > 0);
    QVERIFY2(bytesSent(accessLog) < video.size() / 2, qPrintable(QString::number(bytesSent(accessLog))));
}

QTEST_GUILESS_MAIN(TestClassCache)
#include "tst_classcache.moc"
