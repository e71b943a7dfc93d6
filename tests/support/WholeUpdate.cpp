#include "WholeUpdate.h"

#include "BundleSnapshot.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

namespace WholeUpdate {

std::unique_ptr<Launch> start(TestHome &home, const QString &bundle, const QString &manifestUrl, const Options &options)
{
    auto launch = std::make_unique<Launch>();
    Result &result = launch->result;
    launch->desktop = home.desktopDirectory();
    result.install = home.path() + QStringLiteral("/Applications/Veltora Test.app");
    QDir().mkpath(home.path() + QStringLiteral("/Applications"));
    if (!BundleSnapshot::run(QStringLiteral("cp"), {QStringLiteral("-a"), bundle, result.install}))
        return launch;
    home.addRecordingStub(QStringLiteral("killall"));
    home.addRecordingStub(QStringLiteral("xdg-open"));
    home.writeSettings(QStringLiteral("[General]\nCatUpdateLog=true\n[Login]\ntoken=secret\nuser=anna\n"));
    QDir().mkpath(home.desktopDirectory());
    QDir().mkpath(QDir(home.path()).filePath(QStringLiteral(".cache/Veltora")));
    if (options.prepare)
        options.prepare(result.install);

    QProcessEnvironment env = home.environment();
    env.insert(QStringLiteral("VELTORA_MESSAGEBOX_AUTOCLOSE_MS"), QStringLiteral("0"));
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    if (options.proxyPort != 0) {
        env.insert(QStringLiteral("http_proxy"), QStringLiteral("http://127.0.0.1:%1").arg(options.proxyPort));
        env.insert(QStringLiteral("no_proxy"), QStringLiteral("127.0.0.1,localhost"));
    } else if (!options.proxyUrl.isEmpty()) {
        env.insert(QStringLiteral("http_proxy"), options.proxyUrl);
        env.remove(QStringLiteral("no_proxy"));
    }
    launch->update = std::make_unique<QProcess>();
    launch->update->setProcessEnvironment(env);
    launch->update->start(result.install + QStringLiteral("/Contents/MacOS/update"),
                          {options.version, manifestUrl, QLatin1Char('*') + result.install + QLatin1Char('*')});
    return launch;
}

Result finish(Launch &launch, int timeoutMs)
{
    Result &result = launch.result;
    QProcess *update = launch.update.get();
    if (!update)
        return result;
    QElapsedTimer timer;
    timer.start();
    qRegisterMetaType<QProcess::ExitStatus>();
    QSignalSpy done(update, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    if (update->state() != QProcess::NotRunning && !done.wait(timeoutMs)) {
        update->kill();
        update->waitForFinished();
        return result;
    }
    result.updateCrashed = update->exitStatus() == QProcess::CrashExit;
    result.updateErrors = QString::fromLocal8Bit(update->readAllStandardError().right(20000));
    result.updateExit = update->exitCode();

    while (BundleSnapshot::processRunning(result.install) && timer.elapsed() < timeoutMs)
        QTest::qWait(100);
    const QStringList logs = QDir(launch.desktop).entryList({QStringLiteral("update_*.log")}, QDir::Files);
    if (logs.size() == 1)
        result.log = QString::fromUtf8(TestFiles::readFile(launch.desktop + QLatin1Char('/') + logs.first()))
                         .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    return result;
}

Result run(TestHome &home, const QString &bundle, const QString &manifestUrl, const Options &options)
{
    const std::unique_ptr<Launch> launch = start(home, bundle, manifestUrl, options);
    return finish(*launch);
}

} // namespace WholeUpdate
