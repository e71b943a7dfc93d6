#include "DownloadControl.h"
#include "MessageCapture.h"
#include "TestHome.h"
#include "TestHttpServer.h"
#include "UpdateControl.h"
#include "bsdiff.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include "TestFiles.h"

using TestFiles::readFile;

namespace {

QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

void writeFile(const QString &path, const QByteArray &data, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(data);
    file.close();
    if (executable)
        file.setPermissions(QFileDevice::Permissions(0x7755));
}

// A program that records its arguments, one per line, into `record`.
QByteArray recordingScript(const QString &record)
{
    return "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + QFile::encodeName(record) + "'\n";
}

QByteArray patchOf(const QByteArray &oldData, const QByteArray &newData)
{
    const auto p = Bsdiff::makePatch(reinterpret_cast<const uint8_t *>(oldData.constData()), size_t(oldData.size()),
                                     reinterpret_cast<const uint8_t *>(newData.constData()), size_t(newData.size()));
    return QByteArray(reinterpret_cast<const char *>(p.data()), int(p.size()));
}

// Packs `folder` (one top-level directory inside `parent`) with the 7z tool.
bool pack(const QString &parent, const QString &folder, const QString &archive)
{
    QProcess process;
    process.setWorkingDirectory(parent);
    process.start(QStringLiteral("7z"), {"a", "-t7z", "-snl", "-bd", "-y", archive, folder});
    return process.waitForFinished(60000) && process.exitCode() == 0;
}

// Stands in for the update window: records what the controller tells it.
class WindowRecorder : public QObject
{
    Q_OBJECT
public:
    explicit WindowRecorder(UpdateControl *control)
    {
        connect(control, &UpdateControl::changeLabelTextSignal, this, [this](const QString &t) { events << "label:" + t; });
        connect(control, &UpdateControl::showMovieSignal, this, [this] { events << "movie:show"; });
        connect(control, &UpdateControl::hideMovieSignal, this, [this] { events << "movie:hide"; });
        connect(control, &UpdateControl::progressChangeSignal, this, [this](int, qint64, qint64 total, qint64 ready) {
            lastProgress = {total, ready};
        });
        connect(control, &UpdateControl::showMessageBoxSignal, this, [this](const QString &t, bool upload) {
            messages << QStringLiteral("%1|%2").arg(t, upload ? "upload" : "no-upload");
        });
        connect(control, &UpdateControl::exitSignal, this, [this] { ++exits; });
        connect(control, &UpdateControl::stateChangedSignal, this, [this](int s) { states << s; });
    }
    bool ended() const { return exits > 0 || !messages.isEmpty(); }

    QStringList events;
    QStringList messages;
    QList<int> states;
    QPair<qint64, qint64> lastProgress;
    int exits = 0;
};

const QString version = QStringLiteral("1.0");

// Empty when `expected` occur in `messages` in this order (others may come between);
// otherwise names the first one missing.
QString missingInOrder(const QStringList &messages, const QStringList &expected)
{
    int at = 0;
    for (const QString &message : expected) {
        at = messages.indexOf(message, at);
        if (at < 0)
            return QStringLiteral("missing in order: [%1]\nlog: [%2]").arg(message, messages.join(QStringLiteral("]\n[")));
        ++at;
    }
    return QString();
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

class TestUpdateControl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_server.listen()); }
    void init();
    void cleanup();

    void partialRoad();
    void patchFailureTakesTheReplacePacket();
    void replacePacketAlreadyPresent();
    void partialPacketAlreadyPresent();
    void installerRoad();
    void installerFailingEveryTime();
    void installerDigestMismatch();
    void fixUpdateRelaunch();
    void skipFixIgnoresTheFixSection();
    void missingFixSectionRestartsFiveTimes();
    void packetDigestMismatchRestarts();
    void unwritableDestinationRestarts();
    void brokenDownload_data();
    void brokenDownload();
    void httpsAddressIsRefused();
    void packetNameLosesFourCharacters();
    void lastMatchingFileWins();
    void handOffBacksUpWhatTheInstallReplaces();
    void handOffCopyFailingFiveTimes();
    void renamedPacketIsInstalled();
    void packetWithoutContentsIsRefused();

private:
    QString path(const QString &rel) const { return m_home->path() + QLatin1Char('/') + rel; }
    QString installPath() const { return path("Applications/Veltora Test.app"); }
    QString updateDir() const { return m_home->updateDirectory(); }
    void makeBundle();
    // Builds the partial and replace packets and the manifest; returns the manifest object.
    void publish(const QString &packetName = QStringLiteral("partial-1.0.pkt"));
    void writeManifest();
    std::unique_ptr<UpdateControl> makeControl(bool skipFix = false);
    bool run(UpdateControl *control, WindowRecorder *window, int timeoutMs = 60000);

    TestHttpServer m_server;
    std::unique_ptr<TestHome> m_home;
    QJsonObject m_mac;
    QByteArray m_oldApp, m_newApp, m_newResource;
};

void TestUpdateControl::init()
{
    m_home = std::make_unique<TestHome>();
    QVERIFY(m_home->isValid());
    m_home->applyToCurrentProcess();
    m_server.clearRequests();
    m_mac = QJsonObject();
    m_oldApp = QByteArray(20000, 'a') + "old version" + QByteArray(20000, 'b');
    m_newApp = QByteArray(20000, 'a') + "new version!" + QByteArray(20000, 'b');
    m_newResource = "a resource that arrives whole";
    makeBundle();
}

void TestUpdateControl::cleanup()
{
    m_home.reset();
}

void TestUpdateControl::makeBundle()
{
    const QString app = installPath();
    writeFile(app + "/Contents/MacOS/Veltora", m_oldApp, true);
    writeFile(app + "/Contents/MacOS/finisher", recordingScript(path("finisher.args")), true);
    writeFile(app + "/Contents/Resources/qt.conf", "[Paths]\nPlugins = PlugIns\n");
    writeFile(app + "/Contents/Resources/old.txt", "old resource");
    for (const char *module : {"QtConcurrent", "QtCore", "QtDBus", "QtGui", "QtNetwork", "QtPrintSupport", "QtWidgets"}) {
        const QString fw = app + "/Contents/Frameworks/" + module + ".framework";
        writeFile(fw + "/Versions/5/" + module, QByteArray("library ") + module);
        QVERIFY(::symlink("5", QFile::encodeName(fw + "/Versions/Current").constData()) == 0);
    }
    for (const char *plugins : {"bearer", "imageformats", "platforms", "printsupport"})
        writeFile(app + "/Contents/PlugIns/" + plugins + "/lib" + plugins + ".so", "plugin");
}

void TestUpdateControl::publish(const QString &packetName)
{
    const QString top = packetName.left(packetName.size() - 4);
    const QString partialDir = path("publish/partial/") + top;
    writeFile(partialDir + "/Contents/MacOS/Veltora.patch", patchOf(m_oldApp, m_newApp));
    writeFile(partialDir + "/Contents/Resources/new.txt", m_newResource);
    writeFile(partialDir + "/Contents/Resources/old.txt", "old resource, changed whole");
    writeFile(partialDir + "/Contents/MacOS/Veltora.bspatch-4242-1", "left by a killed patcher");
    QVERIFY(pack(path("publish/partial"), top, path("publish/") + packetName));

    const QString replaceDir = path("publish/replace/replace-1.0");
    writeFile(replaceDir + "/Contents/MacOS/Veltora", m_newApp, true);
    writeFile(replaceDir + "/Contents/Resources/new.txt", m_newResource);
    QVERIFY(pack(path("publish/replace"), "replace-1.0", path("publish/replace-1.0.pkt")));

    const QByteArray partial = readFile(path("publish/") + packetName);
    const QByteArray replace = readFile(path("publish/replace-1.0.pkt"));
    m_server.serveContent("/mac/" + packetName.toUtf8(), partial);
    m_server.serveContent("/mac/replace-1.0.pkt", replace);

    QJsonObject patch{{"Contents/MacOS/Veltora", QJsonObject{{"filePatch", "Contents/MacOS/Veltora.patch"},
                                                             {"oldFileMd5", QString::fromLatin1(md5(m_oldApp))},
                                                             {"newFileMd5", QString::fromLatin1(md5(m_newApp))}}}};
    QJsonObject entry{{"partialPacketMd5", QString::fromLatin1(md5(partial))},
                      {"partialPacketUrl", m_server.url("/mac/" + packetName)},
                      {"replacePacketMd5", QString::fromLatin1(md5(replace))},
                      {"replacePacketUrl", m_server.url("/mac/replace-1.0.pkt")},
                      {"modify", QJsonObject{{"patch", patch}, {"add", QJsonArray{"Contents/Resources/new.txt"}}}}};
    const QByteArray installer = "a disk image";
    m_server.serveContent("/mac/Veltora 2.0 $(id) `x` \"q\".dmg", installer);
    m_mac = QJsonObject{{"installerMd5", QString::fromLatin1(md5(installer))},
                        {"installerUrl", m_server.url("/mac/Veltora%202.0%20%24(id)%20%60x%60%20%22q%22.dmg")},
                        {"fixUpdatePacket", QJsonObject{{"fixUpdatePacketMd5", QString::fromLatin1(md5("no such packet"))},
                                                        {"fixUpdatePacketUrl", m_server.url("/mac/fixupdate.pkt")},
                                                        {"fixUpdateUesedVersion", QJsonArray{"0.9"}}}},
                        {"partialPacket", QJsonObject{{version, entry}}}};
    writeManifest();
}

void TestUpdateControl::writeManifest()
{
    m_server.serveContent("/mac/update.json", QJsonDocument(QJsonObject{{"mac", m_mac}}).toJson());
}

std::unique_ptr<UpdateControl> TestUpdateControl::makeControl(bool skipFix)
{
    auto control = std::make_unique<UpdateControl>();
    control->updateUrl = control->currentUrl = m_server.url("/mac/update.json");
    control->platform = QStringLiteral("mac");
    control->version = version;
    control->installPath = installPath();
    control->logFileName = QStringLiteral("update_test.log");
    control->skipFix = skipFix;
    return control;
}

bool TestUpdateControl::run(UpdateControl *control, WindowRecorder *window, int timeoutMs)
{
    control->mainControlSlot(); // the window's one direct call
    QElapsedTimer timer;
    timer.start();
    while (!window->ended() && timer.elapsed() < timeoutMs)
        QTest::qWait(10);
    QTest::qWait(100); // nothing more may follow
    return window->ended();
}

void TestUpdateControl::partialRoad()
{
    publish();
    // Left by an earlier, failed run of another release: none of it may be staged with this one.
    writeFile(updateDir() + "/partial-1.0/Contents/Resources/stale.txt", "from another release");
    auto control = makeControl();
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.messages, QStringList());
    QCOMPARE(window.exits, 1);
    QCOMPARE(window.states, (QList<int>{1, 2, 5, 6, 14, 16, 20, 21}));
    QVERIFY(!QFileInfo::exists(updateDir() + "/partial-1.0/Contents/Resources/stale.txt"));
    QCOMPARE(window.events.mid(0, 5), (QStringList{"label:Preparing configuration file", "movie:show",
                                                   "label:Downloading,Please wait", "movie:hide", "movie:show"}));
    QVERIFY(window.events.contains("label:Updating program"));
    QVERIFY(window.lastProgress.first > 0);

    const QString staging = updateDir() + "/partial-1.0";
    QCOMPARE(readFile(staging + "/Contents/MacOS/Veltora"), m_newApp);
    QCOMPARE(readFile(staging + "/Contents/Resources/new.txt"), m_newResource);
    QVERIFY(!QFileInfo::exists(staging + "/Contents/MacOS/Veltora.patch"));

    // The hand-off: backup of what the setup program runs from and of the patched file.
    const QString backup = installPath() + "/Contents/backup";
    QCOMPARE(readFile(backup + "/Contents/MacOS/Veltora"), m_oldApp);
    QVERIFY(QFileInfo::exists(backup + "/Contents/MacOS/finisher"));
    QVERIFY(QFileInfo::exists(backup + "/Contents/Resources/qt.conf"));
    QCOMPARE(QFileInfo(backup + "/Contents/Frameworks/QtCore.framework/Versions/Current").symLinkTarget(),
             backup + "/Contents/Frameworks/QtCore.framework/Versions/5");
    QVERIFY(QFileInfo(backup + "/Contents/PlugIns/platforms/libplatforms.so").isFile());
    QTRY_VERIFY(QFileInfo::exists(path("finisher.args")));
    QTRY_COMPARE(QString::fromUtf8(readFile(path("finisher.args"))).split('\n', Qt::SkipEmptyParts),
                 (QStringList{"*" + installPath() + "*", "*" + staging + "*", "update_test.log", "update.json", version}));
    const QString inOrder = missingInOrder(log.messages(), {
        "Check whether get newest update packet", "uncompressing", "outUncompressFilesPath " + quoted(staging),
        "UncompressPartialPacketSuccess ", "start patch", "patch success!", "start finisher success"});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
}

void TestUpdateControl::patchFailureTakesTheReplacePacket()
{
    publish();
    writeFile(installPath() + "/Contents/MacOS/Veltora", "changed by the user", true);
    auto control = makeControl();
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.exits, 1);
    QCOMPARE(window.states, (QList<int>{1, 2, 5, 6, 14, 16, 20, 22, 7, 8, 17, 19}));
    QCOMPARE(readFile(updateDir() + "/replace-1.0/Contents/MacOS/Veltora"), m_newApp);
    // The failure dumps the whole patch list.
    const QStringList messages = log.messages();
    const int at = messages.indexOf(QRegularExpression(QStringLiteral("^patch failed: .*md5 is not match.*")));
    QVERIFY(at >= 0);
    QCOMPARE(messages.at(at + 1), QStringLiteral("****<file>*****<filepatch>*****<oldFileMd5>****<newFileMd5>************"));
    QVERIFY(messages.at(at + 2).startsWith(QStringLiteral("\"Contents/MacOS/Veltora\" \"Contents/MacOS/Veltora.patch\"")));
    QCOMPARE(messages.at(at + 3), QString(82, QLatin1Char('*')));
    QTRY_VERIFY(readFile(path("finisher.args")).contains("replace-1.0"));
    const QString inOrder = missingInOrder(messages, {
        "UncompressPartialPacketSuccess ", "start patch", messages.value(at), "uncompressing",
        "outUncompressFilesPath " + quoted(updateDir() + "/replace-1.0"), "UncompressReplacePacketSuccess ",
        "start finisher success"});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
}

void TestUpdateControl::replacePacketAlreadyPresent()
{
    publish();
    auto control = makeControl();
    QVERIFY(QFile::copy(path("publish/replace-1.0.pkt"), updateDir() + "/replace-1.0.pkt"));
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.states, (QList<int>{1, 2, 8, 17, 19}));
    QCOMPARE(m_server.requestsFor("GET").size(), 2); // the manifest only, in two ranges
    QCOMPARE(readFile(updateDir() + "/replace-1.0/Contents/MacOS/Veltora"), m_newApp);
    const QString inOrder = missingInOrder(log.messages(), {
        "uncompressing", "outUncompressFilesPath " + quoted(updateDir() + "/replace-1.0"),
        "UncompressReplacePacketSuccess ", "start finisher success"});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
}

void TestUpdateControl::partialPacketAlreadyPresent()
{
    publish();
    auto control = makeControl();
    QVERIFY(QFile::copy(path("publish/partial-1.0.pkt"), updateDir() + "/partial-1.0.pkt"));
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.states, (QList<int>{1, 2, 6, 14, 16, 20, 21}));
    QCOMPARE(window.exits, 1);
    const QString inOrder = missingInOrder(log.messages(), {
        "uncompressing", "UncompressPartialPacketSuccess ", "start patch", "patch success!", "start finisher success"});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
}

void TestUpdateControl::installerRoad()
{
    publish();
    m_mac.insert("partialPacket", QJsonObject{{"0.5", QJsonObject()}});
    writeManifest();
    m_home->addRecordingStub("hdiutil");
    auto control = makeControl();
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.states, (QList<int>{1, 2, 9, 10}));
    const QString inOrder = missingInOrder(log.messages(), {"get PartialPacket Info error", "start installer success"});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
    QCOMPARE(window.exits, 1);
    const QString image = updateDir() + "/Veltora 2.0 $(id) `x` \"q\".dmg";
    QCOMPARE(readFile(image), QByteArray("a disk image"));
    QCOMPARE(m_home->stubCalls("hdiutil"), (QList<QStringList>{QStringList{"attach", image}}));
}

void TestUpdateControl::installerFailingEveryTime()
{
    publish();
    m_mac.insert("partialPacket", QJsonObject());
    writeManifest();
    m_home->addRecordingStub("hdiutil", 1);
    auto control = makeControl();
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(m_home->stubCalls("hdiutil").size(), 5);
    QCOMPARE(log.messages().count("start installer failed"), 5);
    QVERIFY(!log.contains("start installer success"));
    QCOMPARE(window.messages, QStringList{UpdateControl::finalFailureMessage() + "|upload"});
    QCOMPARE(window.exits, 0);
}

void TestUpdateControl::installerDigestMismatch()
{
    publish();
    m_mac.insert("partialPacket", QJsonObject());
    m_mac.insert("installerMd5", QString::fromLatin1(md5("another image")));
    writeManifest();
    m_home->addRecordingStub("hdiutil");
    auto control = makeControl();
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.messages, QStringList{UpdateControl::finalFailureMessage() + "|upload"});
    QCOMPARE(control->restartCount, 0);
    QVERIFY(m_home->stubCalls("hdiutil").isEmpty());
    const QString inOrder = missingInOrder(log.messages(), {
        "Download installer md5 is not match",
        QStringLiteral("\"json: installer's md5 %1\" \"file: installer's md5 %2\"")
            .arg(QString::fromLatin1(md5("another image")), QString::fromLatin1(md5("a disk image")))});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
}

void TestUpdateControl::fixUpdateRelaunch()
{
    publish();
    // The fix-update packet holds a new updater; here it records how it was started.
    writeFile(path("publish/fix/fixupdate/Contents/MacOS/update"), recordingScript(path("relaunch.args")), true);
    QVERIFY(pack(path("publish/fix"), "fixupdate", updateDir() + "/fixupdate.pkt"));
    QJsonObject fix = m_mac.value("fixUpdatePacket").toObject();
    fix.insert("fixUpdatePacketMd5", QString::fromLatin1(md5(readFile(updateDir() + "/fixupdate.pkt"))));
    fix.insert("fixUpdateUesedVersion", QJsonArray{"0.9", version});
    m_mac.insert("fixUpdatePacket", fix);
    writeManifest();

    auto control = makeControl();
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.states, (QList<int>{1, 2, 4, 11, 13}));
    const QString program = installPath() + "/Contents/fixupdate/Contents/MacOS/update";
    const QString inOrder = missingInOrder(log.messages(), {
        "Check whether get newest update packet", "download fixUpdatePacket Success", "uncompressing",
        "outUncompressFilesPath " + quoted(updateDir() + "/fixupdate"), "UncompressFixUpdatePacketSuccess ",
        "outUncompressFilesPath " + quoted(updateDir() + "/fixupdate"), "updateProcess " + quoted(program), "start update"});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
    QCOMPARE(window.exits, 1);
    QVERIFY(QFileInfo(installPath() + "/Contents/fixupdate/Contents/MacOS/update").isExecutable());
    QTRY_COMPARE(QString::fromUtf8(readFile(path("relaunch.args"))).split('\n', Qt::SkipEmptyParts),
                 (QStringList{"-skipfix", version, m_server.url("/mac/update.json"), "*" + installPath() + "*",
                              "update_test.log"}));

    // The relaunched updater ignores the fix section and finishes the update with the
    // fix-update copy's setup program.
    writeFile(installPath() + "/Contents/fixupdate/Contents/MacOS/finisher", recordingScript(path("fixfinisher.args")), true);
    auto relaunched = makeControl(true);
    WindowRecorder second(relaunched.get());
    QVERIFY(run(relaunched.get(), &second));
    QCOMPARE(second.states, (QList<int>{1, 2, 5, 6, 14, 16, 20, 21}));
    QTRY_VERIFY(readFile(path("fixfinisher.args")).contains("partial-1.0"));
    QVERIFY(!QFileInfo::exists(installPath() + "/Contents/backup/Contents/MacOS/finisher"));
}

void TestUpdateControl::skipFixIgnoresTheFixSection()
{
    publish();
    m_mac.remove("fixUpdatePacket");
    writeManifest();
    auto control = makeControl(true);
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.states.mid(0, 3), (QList<int>{1, 2, 5}));
    QVERIFY(!log.contains("Check whether get newest update packet"));
    // Relaunched, the hand-off looks for the setup program in the fix-update copy, absent here.
    const QString inOrder = missingInOrder(log.messages(), {
        "uncompressing", "UncompressPartialPacketSuccess ", "start patch", "patch success!", "start finisher failed"});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
}

void TestUpdateControl::missingFixSectionRestartsFiveTimes()
{
    publish();
    m_mac.remove("fixUpdatePacket");
    writeManifest();
    auto control = makeControl();
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.messages, QStringList{UpdateControl::finalFailureMessage() + "|upload"});
    QCOMPARE(control->restartCount, 5);
    QCOMPARE(log.messages().count("Get FixUpdatePacket Info error"), 6);
    QCOMPARE(log.messages().count(">>>>>>>>>>>>>>>>>>>>>>>>>>>>>> ReStart Update"), 5);
    const QString inOrder = missingInOrder(log.messages(), {
        "Check whether get newest update packet", "Get FixUpdatePacket Info error", ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>> ReStart Update",
        "Check whether get newest update packet", "Get FixUpdatePacket Info error"});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
    QCOMPARE(m_server.requestsFor("HEAD").size(), 6);
}

void TestUpdateControl::packetDigestMismatchRestarts()
{
    publish();
    QJsonObject versions = m_mac.value("partialPacket").toObject();
    QJsonObject entry = versions.value(version).toObject();
    entry.insert("partialPacketMd5", QString::fromLatin1(md5("not the packet")));
    versions.insert(version, entry);
    m_mac.insert("partialPacket", versions);
    writeManifest();
    auto control = makeControl();
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(control->restartCount, 5);
    QCOMPARE(log.messages().count("Download Partial Packet md5 is not match"), 6);
    const QString inOrder = missingInOrder(log.messages(), {
        "Download Partial Packet md5 is not match",
        QStringLiteral("\"json: PartialPacket's md5 %1\" \"file: PartialPacket's md5 %2\"")
            .arg(QString::fromLatin1(md5("not the packet")), QString::fromLatin1(md5(readFile(path("publish/partial-1.0.pkt"))))),
        ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>> ReStart Update", "Download Partial Packet md5 is not match"});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
    QCOMPARE(window.messages, QStringList{UpdateControl::finalFailureMessage() + "|upload"});

    // Caches on the way: the manifest is always asked for afresh, the packet may come from
    // a cache until a copy of it failed the digest (probe and both segments alike).
    QStringList manifest, packet;
    for (const TestHttpServer::Request &request : m_server.requests()) {
        const QString seen = QString::fromLatin1(request.method + ' ' + request.headers.value("cache-control")
                                                 + request.headers.value("pragma"));
        (request.target.endsWith("update.json") ? manifest : packet) << seen;
    }
    const QStringList fresh{"HEAD no-cache", "GET no-cache", "GET no-cache"};
    QStringList expected;
    for (int run = 0; run < 6; ++run)
        expected << fresh;
    QCOMPARE(manifest, expected);
    QCOMPARE(packet, QStringList({"HEAD ", "GET ", "GET "}) + expected.mid(3));
}

void TestUpdateControl::unwritableDestinationRestarts()
{
    publish();
    QVERIFY(QDir().mkpath(updateDir() + "/partial-1.0.pkt/in the way"));
    auto control = makeControl();
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(control->restartCount, 5);
    QCOMPARE(window.messages, QStringList{UpdateControl::finalFailureMessage() + "|upload"});
    const QStringList refused = log.messages().filter("Could not open the download destination");
    QCOMPARE(refused.size(), 6);
    const QString inOrder = missingInOrder(log.messages(), {
        refused.first(), ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>> ReStart Update", refused.at(1)});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
}

void TestUpdateControl::brokenDownload_data()
{
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("headContentLength");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<bool>("changesAfterHead");
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<int>("stallFrom");
    QTest::newRow("continued after a restart") << QByteArray("\"p1\"") << QByteArray() << QStringList() << false
                                               << QList<int>{1, 2, 5, 0, 1, 2, 5, 6, 14, 16, 20, 21} << -1;
    // The ranged requests of the second run find the file changed: a third run starts over.
    QTest::newRow("changed while continued") << QByteArray("\"p1\"") << QByteArray() << QStringList() << true
                                             << QList<int>{1, 2, 5, 0, 1, 2, 5, 0, 1, 2, 5, 6, 14, 16, 20, 21} << -1;
    // Nothing to continue from: the download error ends the run as before.
    QTest::newRow("without a validator it ends")
        << QByteArray() << QByteArray() << QStringList{"The connection has been broken,please login and download again|no-upload"}
        << false << QList<int>() << -1;
    // The continued run gets nothing: no more restarts to continue nothing.
    QTest::newRow("continued run that stalls ends")
        << QByteArray("\"p1\"") << QByteArray() << QStringList{"The connection has been broken,please login and download again|no-upload"}
        << false << QList<int>() << 2;
    // Not a hang at "Downloading": the size error ends the run.
    QTest::newRow("a size of -1 ends") << QByteArray("\"p1\"") << QByteArray("-1")
                                       << QStringList{"The server reported an invalid file size (-1),please check the download url|no-upload"}
                                       << false << QList<int>() << -1;
}

void TestUpdateControl::brokenDownload()
{
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, headContentLength);
    QFETCH(QStringList, messages);
    QFETCH(bool, changesAfterHead);
    QFETCH(QList<int>, states);
    QFETCH(int, stallFrom);
    publish();
    TestHttpServer::Resource packet;
    packet.content = readFile(path("publish/partial-1.0.pkt"));
    packet.etag = etag;
    packet.headContentLength = headContentLength;
    packet.closeAfter = packet.content.size() / 4; // both segments, once
    packet.closeTimes = 2;
    packet.changesAfterHead = changesAfterHead;
    packet.stallFrom = stallFrom;
    m_server.serve("/mac/partial-1.0.pkt", packet);
    auto control = makeControl();
    if (stallFrom >= 0)
        control->downloader->stallInterval = 300;
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.messages, messages);
    if (!messages.isEmpty()) {
        QCOMPARE(control->restartCount, stallFrom < 0 ? 0 : 1);
        return;
    }
    QCOMPARE(window.exits, 1);
    QCOMPARE(window.states, states);
    QCOMPARE(control->restartCount, states.count(0));
    QCOMPARE(log.messages().filter("resumed bytes").size(), 1);
}

void TestUpdateControl::httpsAddressIsRefused()
{
    auto control = makeControl();
    control->updateUrl = control->currentUrl = QStringLiteral("https://127.0.0.1/mac/update.json");
    WindowRecorder window(control.get());
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.messages, QStringList{"Download url is error,Please login and download again|no-upload"});
    QVERIFY(window.events.contains("label:Download url is error"));
    QVERIFY(m_server.requests().isEmpty());
}

void TestUpdateControl::packetNameLosesFourCharacters()
{
    publish(QStringLiteral("update.7z"));
    // The packet is unpacked next to itself; its top folder must be named like it less four characters.
    auto control = makeControl();
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(control->outUncompressFilesPath, updateDir() + "/updat");
    const QString inOrder = missingInOrder(log.messages(), {
        "uncompressing", "outUncompressFilesPath " + quoted(updateDir() + "/updat"), "UncompressPartialPacketSuccess "});
    QVERIFY2(inOrder.isEmpty(), qPrintable(inOrder));
    QCOMPARE(window.exits, 1);
    QCOMPARE(readFile(updateDir() + "/updat/Contents/MacOS/Veltora"), m_newApp);
}

void TestUpdateControl::lastMatchingFileWins()
{
    auto control = makeControl();
    // Listed by name ignoring case, "B.pkt" comes after "a.pkt"; by code point it would not.
    writeFile(updateDir() + "/B.pkt", "same");
    writeFile(updateDir() + "/a.pkt", "same");
    writeFile(updateDir() + "/C.pkt", "other");
    writeFile(updateDir() + "/.hidden", "hidden");
    QCOMPARE(control->findMatchFile(updateDir(), md5("same")), updateDir() + "/B.pkt");
    QCOMPARE(control->findMatchFile(updateDir(), md5("nothing")), QString());
    QCOMPARE(control->findMatchFile(updateDir(), md5("hidden")), QString());
}

void TestUpdateControl::handOffBacksUpWhatTheInstallReplaces()
{
    publish();
    auto control = makeControl();
    WindowRecorder window(control.get());
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.exits, 1);
    // A file shipped whole over an installed one is backed up like a patched one; a new
    // file has nothing to back up.
    const QString backup = installPath() + "/Contents/backup";
    QCOMPARE(readFile(backup + "/Contents/Resources/old.txt"), QByteArray("old resource"));
    QCOMPARE(readFile(backup + "/Contents/MacOS/Veltora"), m_oldApp);
    QVERIFY(!QFileInfo::exists(backup + "/Contents/Resources/new.txt"));
    // Nothing of the patcher reaches the bundle.
    QVERIFY(!QFileInfo::exists(updateDir() + "/partial-1.0/Contents/MacOS/Veltora.bspatch-4242-1"));
}

void TestUpdateControl::handOffCopyFailingFiveTimes()
{
    publish();
    QVERIFY(QFile::remove(installPath() + "/Contents/Resources/qt.conf"));
    auto control = makeControl();
    WindowRecorder window(control.get());
    MessageCapture log;
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.exits, 0);
    QCOMPARE(window.messages, QStringList{UpdateControl::finalFailureMessage() + "|upload"});
    QVERIFY(!QFileInfo::exists(path("finisher.args")));
    // Each attempt: the text and the path, then the listing of the backup folder.
    const QStringList messages = log.messages();
    const QString retry = QStringLiteral("Copy deploy file error: \"Contents/Resources/qt.conf\"");
    QCOMPARE(messages.count(retry), 5);
    const QString rule = QStringLiteral("=============================== \"%1/Contents/backup\"").arg(installPath());
    for (int at = messages.indexOf(retry); at >= 0; at = messages.indexOf(retry, at + 1))
        QCOMPARE(messages.value(at + 1), rule);
}

void TestUpdateControl::renamedPacketIsInstalled()
{
    publish();
    auto control = makeControl();
    // The right packet under another name: it unpacks into the folder it holds.
    QVERIFY(QFile::copy(path("publish/partial-1.0.pkt"), updateDir() + "/partial-renamed.pkt"));
    WindowRecorder window(control.get());
    QVERIFY(run(control.get(), &window));
    QCOMPARE(window.exits, 1);
    const QString staging = updateDir() + "/partial-1.0";
    QCOMPARE(control->outUncompressFilesPath, staging);
    QCOMPARE(readFile(staging + "/Contents/MacOS/Veltora"), m_newApp);
    QTRY_VERIFY(readFile(path("finisher.args")).contains("*" + QFile::encodeName(staging) + "*\n"));
}

void TestUpdateControl::packetWithoutContentsIsRefused()
{
    publish();
    // Built without its top folder: one folder holding MacOS/ where Contents/ belongs.
    writeFile(path("bad/partial-x/MacOS/Veltora"), "at the bundle's root");
    QVERIFY(pack(path("bad"), "partial-x", path("bad.pkt")));
    const QByteArray bad = readFile(path("bad.pkt"));
    m_server.serveContent("/mac/partial-1.0.pkt", bad);
    QJsonObject entry = m_mac.value("partialPacket").toObject().value(version).toObject();
    entry.insert("partialPacketMd5", QString::fromLatin1(md5(bad)));
    entry.insert("modify", QJsonObject());
    m_mac.insert("partialPacket", QJsonObject{{version, entry}});
    writeManifest();
    auto control = makeControl();
    WindowRecorder window(control.get());
    run(control.get(), &window, 20000);
    // Handed over as the packet's own, missing folder, which the setup program refuses.
    QVERIFY(!readFile(path("finisher.args")).contains("partial-x"));
}

QTEST_GUILESS_MAIN(TestUpdateControl)
#include "tst_updatecontrol.moc"
