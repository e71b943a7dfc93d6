#include "PlatformCommand.h"

#include <QProcess>
#include <QStandardPaths>

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
