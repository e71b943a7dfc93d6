#include "Unprivileged.h"

#include <QDirIterator>
#include <QFile>
#include <QProcessEnvironment>

#include <unistd.h>

namespace Unprivileged {

bool dropsPrivileges()
{
    return ::geteuid() == 0;
}

QByteArray run(const QString &program, const QStringList &arguments, int timeoutMs,
               const QProcessEnvironment &environment)
{
    QProcess process;
    QProcessEnvironment env = environment;
    // The suppression file may lie where the unprivileged user cannot read it.
    env.remove(QStringLiteral("LSAN_OPTIONS"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (dropsPrivileges()) {
        QStringList all{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                        QStringLiteral("--clear-groups"), program};
        all << arguments;
        process.start(QStringLiteral("setpriv"), all);
    } else {
        process.start(program, arguments);
    }
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        process.kill();
        return QByteArray();
    }
    return process.readAllStandardOutput();
}

void giveAway(const QString &path)
{
    if (!dropsPrivileges())
        return;
    ::lchown(QFile::encodeName(path).constData(), 65534, 65534);
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        ::lchown(QFile::encodeName(it.next()).constData(), 65534, 65534);
}

bool lockFolder(const QString &path)
{
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadUser
                                           | QFileDevice::ExeUser | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                           | QFileDevice::ReadOther | QFileDevice::ExeOther);
}

bool openFolder(const QString &path)
{
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                           | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
                                           | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                           | QFileDevice::ReadOther | QFileDevice::ExeOther);
}

} // namespace Unprivileged
