#include "FinalPathRun.h"

#include "TestHome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

namespace FinalPathRun {

bool realDisplayAvailable()
{
    return !QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty();
}

Result run(const QString &program, const QStringList &arguments, const QByteArray &logContent, bool realDisplay)
{
    Result result;
    TestHome home;
    home.addRecordingStub(QStringLiteral("xdg-open"));
    TestHttpServer proxy;
    if (!proxy.listen())
        return result;
    proxy.serveContent("/api/file.api.php", "ok");
    QDir().mkpath(home.updateDirectory());
    QFile log(home.updateDirectory() + QStringLiteral("/run.log"));
    if (!log.open(QIODevice::WriteOnly) || log.write(logContent) != logContent.size())
        return result;
    log.close();

    QProcessEnvironment env = home.environment();
    // Long enough that anything done after the box closes is seen after it.
    env.insert(QStringLiteral("VELTORA_MESSAGEBOX_AUTOCLOSE_MS"), QStringLiteral("300"));
    env.insert(QStringLiteral("http_proxy"), QStringLiteral("http://127.0.0.1:%1").arg(proxy.port()));
    env.remove(QStringLiteral("no_proxy"));
    QProcess child;
    QSignalSpy done(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    // Uploads and the browser are noted as they are first seen: at a box or at the end.
    int uploadsNoted = 0;
    const auto noteUploadsAndBrowser = [&] {
        for (const int uploads = proxy.requestsFor("POST").size(); uploadsNoted < uploads; ++uploadsNoted)
            result.events << QStringLiteral("upload");
        if (!result.events.contains(QStringLiteral("open")) && !home.stubCalls(QStringLiteral("xdg-open")).isEmpty())
            result.events << QStringLiteral("open");
    };
    const auto readBoxes = [&] {
        while (child.canReadLine()) {
            if (child.readLine().trimmed() == "box") {
                noteUploadsAndBrowser();
                result.events << QStringLiteral("box");
            }
        }
    };
    QObject::connect(&child, &QProcess::readyReadStandardOutput, readBoxes);
    if (realDisplay) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.remove(QStringLiteral("DISPLAY"));
        child.setProcessEnvironment(env);
        child.start(QStandardPaths::findExecutable(QStringLiteral("xvfb-run")), QStringList{QStringLiteral("-a"), program} + arguments);
    } else {
        child.setProcessEnvironment(env);
        child.start(program, arguments);
    }
    if (!done.wait(30000)) {
        child.kill();
        child.waitForFinished();
        return result;
    }
    readBoxes();
    result.ran = true;
    result.exitCode = child.exitCode();
    // The browser is started detached; give it a moment to leave its record (it may
    // rightly never come).
    (void)QTest::qWaitFor([&] { return !home.stubCalls(QStringLiteral("xdg-open")).isEmpty(); }, 1500);
    noteUploadsAndBrowser();
    result.opened = home.stubCalls(QStringLiteral("xdg-open"));
    result.uploads = proxy.requestsFor("POST");
    return result;
}

} // namespace FinalPathRun
