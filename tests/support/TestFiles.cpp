#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TestFiles {

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool sevenZip(const QString &folder, const QString &archive, const QStringList &options)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral("7z"), QStringList{QStringLiteral("a"), QStringLiteral("-snl"), QStringLiteral("-bd"),
                                                    QStringLiteral("-y")} + options + QStringList{archive, QStringLiteral(".")});
    return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString linkText(const QString &path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return n < 0 ? QString() : QFile::decodeName(QByteArray(buffer, int(n)));
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(generator.generate() & 0xff);
    return data;
}

FileSizeLimit::FileSizeLimit(qint64 bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0) {
        m_before = limit.rlim_cur;
        m_set = true;
        limit.rlim_cur = rlim_t(bytes);
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
}

FileSizeLimit::~FileSizeLimit()
{
    struct rlimit limit;
    if (m_set && ::getrlimit(RLIMIT_FSIZE, &limit) == 0) {
        limit.rlim_cur = m_before;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
}

} // namespace TestFiles
