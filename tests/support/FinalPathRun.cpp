#include "FinalPathRun.h"

#include "TestHome.h"

#include <QDir>
#include <QElapsedTimer>
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
    env.insert(QStringLiteral("VELTORA_MESSAGEBOX_AUTOCLOSE_MS"), QStringLiteral("50"));
    env.insert(QStringLiteral("http_proxy"), QStringLiteral("http://127.0.0.1:%1").arg(proxy.port()));
    env.remove(QStringLiteral("no_proxy"));
    QProcess child;
    QSignalSpy done(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    if (realDisplay) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.remove(QStringLiteral("DISPLAY"));
        child.setProcessEnvironment(env);
        child.start(QStandardPaths::findExecutable(QStringLiteral("xvfb-run")), QStringList{QStringLiteral("-a"), program} + arguments);
    } else {
        child.setProcessEnvironment(env);
        child.start(program, arguments);
    }
    if (!done.wait(60000))
        return result;
    result.ran = true;
    result.exitCode = child.exitCode();
    // The browser is started detached; give it a moment to leave its record.
    QElapsedTimer timer;
    timer.start();
    while (home.stubCalls(QStringLiteral("xdg-open")).isEmpty() && timer.elapsed() < 1500)
        QTest::qWait(50);
    result.opened = home.stubCalls(QStringLiteral("xdg-open"));
    result.uploads = proxy.requestsFor("POST");
    return result;
}

} // namespace FinalPathRun
