#include "LogsService.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

LogsService::LogsService(const QString &program)
    : m_program(program)
{
}

LogsService::~LogsService()
{
    kill();
}

bool LogsService::start(const QStringList &arguments, quint16 port)
{
    kill();
    m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    // Appended to, so the log of a run before a restart stays.
    m_process.setStandardErrorFile(m_dir.filePath(QStringLiteral("service.log")), QIODevice::Append);
    const int earlier = log().size();
    m_process.start(m_program, QStringList{QStringLiteral("serve"), QStringLiteral("--listen"),
                                           QStringLiteral("127.0.0.1:%1").arg(port)}
                                   + arguments);
    if (!m_process.waitForStarted(10000))
        return false;
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        const QRegularExpressionMatch match = listening.match(log(), earlier);
        if (match.hasMatch()) {
            m_port = quint16(match.captured(1).toUInt());
            return true;
        }
        if (m_process.state() != QProcess::Running)
            return false;
        QThread::msleep(20);
    }
    return false;
}

void LogsService::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(10000);
}

QString LogsService::log()
{
    QFile file(m_dir.filePath(QStringLiteral("service.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
