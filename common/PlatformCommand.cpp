#include "PlatformCommand.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

QString findPlatformProgram(const QString &name)
{
    const QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
    const QFileInfo info(beside);
    if (info.isFile() && info.isExecutable())
        return beside;
    return QStandardPaths::findExecutable(name);
}

bool startDetachedProgram(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

int runPlatformCommand(const QString &program, const QStringList &arguments)
{
    const QString path = QStandardPaths::findExecutable(program);
    if (path.isEmpty())
        return -1;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(path, arguments);
    if (!process.waitForStarted() || !process.waitForFinished(-1))
        return -1;
    if (process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}
