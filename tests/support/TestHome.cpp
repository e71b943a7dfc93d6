#include "TestHome.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

TestHome::TestHome()
{
    QDir(path()).mkpath(QStringLiteral("bin"));
    QDir(path()).mkpath(QStringLiteral(".local/share"));
    QDir(path()).mkpath(QStringLiteral(".config"));
    QDir(path()).mkpath(QStringLiteral(".cache"));
    QDir(path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(path() + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QProcessEnvironment TestHome::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), path() + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), path() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), path() + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path() + QStringLiteral("/runtime"));
    env.insert(QStringLiteral("PATH"), stubDirectory() + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

void TestHome::applyToCurrentProcess() const
{
    const QProcessEnvironment env = environment();
    for (const char *name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "PATH"})
        qputenv(name, env.value(QString::fromLatin1(name)).toLocal8Bit());
}

void TestHome::addRecordingStub(const QString &name, int exitCode)
{
    const QString script = stubDirectory() + QLatin1Char('/') + name;
    QFile file(script);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    QTextStream(&file) << "#!/bin/sh\n"
                       << "printf '%s\\0' \"$#\" \"$@\" >> '" << path() << "/" << name << ".calls'\n"
                       << "exit " << exitCode << "\n";
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
}

QList<QStringList> TestHome::stubCalls(const QString &name) const
{
    QFile file(path() + QLatin1Char('/') + name + QStringLiteral(".calls"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Each call: its argument count, then the arguments, every field ending in NUL.
    const QList<QByteArray> fields = file.readAll().split('\0');
    QList<QStringList> calls;
    for (int i = 0; i + 1 < fields.size();) {
        bool ok = false;
        const int count = fields.at(i++).toInt(&ok);
        if (!ok || count < 0 || i + count >= fields.size())
            break;
        QStringList arguments;
        for (int k = 0; k < count; ++k)
            arguments << QString::fromUtf8(fields.at(i++));
        calls << arguments;
    }
    return calls;
}

void TestHome::writeSettings(const QString &iniText) const
{
    QDir().mkpath(dataDirectory());
    QFile file(dataDirectory() + QStringLiteral("/settings.ini"));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(iniText.toUtf8());
}
